#include "graph/aperture_index.h"

#include <algorithm>
#include <cmath>
#include <iterator>

#include "graph/coplanarity.h"

namespace kovalith {
namespace {

// Normals closer than this (after aligning their signs) share a cluster. Faces
// of one wall differ only by rounding, so a building yields one cluster per
// wall direction.
constexpr double cluster_width = 1e-6;
// Beyond this many clusters the tilt is bounded from the tolerance alone.
constexpr std::size_t max_clusters = 64;
// Rounding margin of the query box, relative to the coordinates involved.
constexpr double relative_slack = 1e-9;
// Margin on the tilt: |n| of a unit normal is 1 only up to rounding.
constexpr double tilt_slack = 1e-7;

double magnitude(const Box3& box) {
  double m = 0.0;
  for (int a = 0; a < 3; ++a) m = std::max({m, std::fabs(box.lo[a]), std::fabs(box.hi[a])});
  return m;
}

bool is_finite(const FacePlane& plane) {
  return std::isfinite(plane.normal.x) && std::isfinite(plane.normal.y) &&
         std::isfinite(plane.normal.z) && std::isfinite(plane.offset);
}

}  // namespace

double face_thickness(const std::vector<Vector3D>& vertices, std::span<const Index> face,
                      const FacePlane& plane) noexcept {
  double h = 0.0;
  for (Index corner : face) {
    h = std::fmax(h, std::fabs(dot(plane.normal, vertices[corner]) + plane.offset));
  }
  return h;
}

ApertureFaces::ApertureFaces(std::span<const Mesh> apertures, double tolerance,
                             ApertureSearch search)
    : tolerance_(tolerance), search_(search) {
  for (std::size_t m = 0; m < apertures.size(); ++m) {
    const Mesh& mesh = apertures[m];
    for (std::size_t f = 0; f < mesh.face_count(); ++f) {
      const std::span<const Index> face = mesh.face(f);
      if (face.size() < 3) continue;
      const std::optional<FacePlane> plane = face_plane(mesh.vertices, face);
      // A NaN or infinite plane fails the parallel or the distance test
      // against every face.
      if (!plane || !is_finite(*plane)) continue;
      ApertureFace entry{m, f, *plane, padded_face_box(mesh.vertices, face, 0.0), true};
      const double h = face_thickness(mesh.vertices, face, *plane);
      for (int a = 0; a < 3; ++a) {
        entry.envelope.lo[a] -= h;
        entry.envelope.hi[a] += h;
      }
      entry.finite = std::isfinite(h) && kovalith::is_finite(entry.envelope);
      if (entry.finite) {
        for (Index corner : face) {
          max_radius_ = std::max(max_radius_, length(mesh.vertices[corner]));
        }
      }
      faces_.push_back(entry);
    }
  }
  max_radius_ *= 1.0 + relative_slack;

  for (const ApertureFace& entry : faces_) {
    if (clusters_overflowed_) break;
    const Vector3D& n = entry.plane.normal;
    bool placed = false;
    for (Cluster& cluster : clusters_) {
      const Vector3D aligned = dot(n, cluster.normal) < 0.0 ? n * -1.0 : n;
      const double gap = length(aligned - cluster.normal);
      if (gap <= cluster_width) {
        cluster.radius = std::max(cluster.radius, gap);
        placed = true;
        break;
      }
    }
    if (placed) continue;
    if (clusters_.size() == max_clusters) {
      clusters_overflowed_ = true;
    } else {
      clusters_.push_back({n, 0.0});
    }
  }

  if (search_ == ApertureSearch::indexed) {
    std::vector<SpatialFaceLeaf> leaves;
    for (std::size_t k = 0; k < faces_.size(); ++k) {
      if (faces_[k].finite) {
        leaves.push_back({faces_[k].envelope, k, 0});
      } else {
        always_.push_back(k);
      }
    }
    // The leaves' mesh_index carries the aperture face's number; the index
    // reports leaf numbers, which map back through this table.
    leaf_faces_.reserve(leaves.size());
    for (const SpatialFaceLeaf& leaf : leaves) leaf_faces_.push_back(leaf.mesh_index);
    index_ = std::make_unique<FaceIndex>(leaves);
  }
}

ApertureFaces::~ApertureFaces() = default;

double ApertureFaces::tilt_bound(const Vector3D& normal) const {
  const double m = 1.0 - tolerance_;
  double widest = 0.0;
  for (const Cluster& cluster : clusters_) widest = std::max(widest, cluster.radius);
  // Within a cluster every member has the sign of the representative's dot
  // product only when m exceeds twice the radius; otherwise, and for too many
  // clusters, fall back to |n1 - s*n2|^2 = 2 - 2|k| < 2 - 2m (at most 2).
  if (clusters_overflowed_ || !(m > 2.0 * widest + tilt_slack)) {
    return std::sqrt(std::clamp(2.0 - 2.0 * m, 0.0, 2.0)) + tilt_slack;
  }
  double tilt = 0.0;
  for (const Cluster& cluster : clusters_) {
    const double c = dot(normal, cluster.normal);
    if (!(std::fabs(c) > m - cluster.radius - tilt_slack)) continue;
    const Vector3D apart = c > 0.0 ? normal - cluster.normal : normal + cluster.normal;
    tilt = std::max(tilt, length(apart) + cluster.radius);
  }
  return tilt + tilt_slack;
}

Box3 ApertureFaces::reach(const FacePlane& plane, const Box3& face_box,
                          double face_thickness) const {
  const double depth =
      face_thickness + tolerance_ + tilt_bound(plane.normal) * max_radius_;
  const double slack = relative_slack * (1.0 + magnitude(face_box) + max_radius_ + depth);
  const double n[3] = {plane.normal.x, plane.normal.y, plane.normal.z};
  Box3 box = face_box;
  for (int a = 0; a < 3; ++a) {
    const double pad = depth * std::fabs(n[a]) + slack;
    box.lo[a] -= pad;
    box.hi[a] += pad;
  }
  return box;
}

void ApertureFaces::select(const FacePlane& plane, const Box3& face_box, double face_thickness,
                           std::vector<std::size_t>& out) const {
  if (faces_.empty()) return;
  auto take = [&](std::size_t k) {
    if (coplanar_within(plane, faces_[k].plane, tolerance_)) out.push_back(k);
  };
  if (search_ == ApertureSearch::every_coplanar) {
    for (std::size_t k = 0; k < faces_.size(); ++k) take(k);
    return;
  }
  const Box3 box = reach(plane, face_box, face_thickness);
  if (search_ == ApertureSearch::scan) {
    for (std::size_t k = 0; k < faces_.size(); ++k) {
      if (!faces_[k].finite || intersects(faces_[k].envelope, box)) take(k);
    }
    return;
  }
  std::vector<std::size_t> hits;
  index_->query(box, 0, hits);
  for (std::size_t& leaf : hits) leaf = leaf_faces_[leaf];
  const std::size_t middle = hits.size();
  hits.insert(hits.end(), always_.begin(), always_.end());
  std::inplace_merge(hits.begin(), hits.begin() + static_cast<std::ptrdiff_t>(middle), hits.end());
  for (std::size_t k : hits) take(k);
}

}  // namespace kovalith
