#include "graph/wire_contacts.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <optional>

#include "graph/face_index.h"
#include "graph/spatial_order.h"

namespace kovalith {
namespace {

constexpr Vector3D ray_direction{1e-7, 2e-7, 1.0};
constexpr double min_determinant = 1e-8;
constexpr double min_distance = 1e-8;

// Padding of the prefilter's boxes, relative to the coordinates' magnitude.
// The triangle test decides in floating point: a crossing it accepts may lie
// off the exact triangle by the rounding of u and v, which grows with the
// distance between the ray's origin and the triangle and with how nearly
// parallel they are. For rays of this direction against walls and slabs that
// error stays below ~1e-9 of the coordinates; 1e-6 leaves a wide margin while
// keeping the padded boxes tight enough to select only nearby meshes.
constexpr double relative_slack = 1e-6;

bool triangle_crossed(const Vector3D& origin, const Vector3D& r0, const Vector3D& r1,
                      const Vector3D& r2) noexcept {
  const Vector3D e1 = r1 - r0;
  const Vector3D e2 = r2 - r0;
  const Vector3D p = cross(ray_direction, e2);
  const double det = dot(e1, p);
  // Written as negated acceptance tests so that a NaN always misses.
  if (!(std::fabs(det) >= min_determinant)) return false;
  const double inv = 1.0 / det;
  const Vector3D t_vec = origin - r0;
  const double u = dot(t_vec, p) * inv;
  if (!(u >= 0.0 && u <= 1.0)) return false;
  const Vector3D q = cross(t_vec, e1);
  const double v = dot(ray_direction, q) * inv;
  if (!(v >= 0.0 && u + v <= 1.0)) return false;
  const double t = dot(e2, q) * inv;
  return t > min_distance;
}

Vector3D midpoint(const Wire& wire) {
  return (wire.start + wire.end) * 0.5;
}

double magnitude(const Vector3D& p) {
  return std::max({std::fabs(p.x), std::fabs(p.y), std::fabs(p.z)});
}

// Box of the vertices the faces use, padded by the slack; absent when a
// coordinate is not finite (such meshes are always tested in full).
std::optional<Box3> prefilter_box(const Mesh& mesh) {
  Box3 box;
  box.lo = {INFINITY, INFINITY, INFINITY};
  box.hi = {-INFINITY, -INFINITY, -INFINITY};
  for (Index corner : mesh.corners) {
    const Vector3D& p = mesh.vertices[corner];
    const double c[3] = {p.x, p.y, p.z};
    for (int a = 0; a < 3; ++a) {
      if (!std::isfinite(c[a])) return std::nullopt;
      box.lo[a] = std::min(box.lo[a], c[a]);
      box.hi[a] = std::max(box.hi[a], c[a]);
    }
  }
  double extent = 1.0;
  for (int a = 0; a < 3; ++a) {
    extent += std::max(std::fabs(box.lo[a]), std::fabs(box.hi[a])) + (box.hi[a] - box.lo[a]);
  }
  const double slack = relative_slack * extent;
  for (int a = 0; a < 3; ++a) {
    box.lo[a] -= slack;
    box.hi[a] += slack;
  }
  if (!is_finite(box)) return std::nullopt;  // huge coordinates overflowed
  return box;
}

// Meshes whose padded box the ray may pass, in mesh order.
class MeshBoxIndex {
 public:
  explicit MeshBoxIndex(std::span<const Mesh> meshes) {
    std::vector<SpatialFaceLeaf> leaves;
    for (std::size_t m = 0; m < meshes.size(); ++m) {
      if (meshes[m].face_count() == 0) continue;  // crosses nothing
      if (auto box = prefilter_box(meshes[m])) {
        leaves.push_back({*box, m, 0});
        top_ = std::max(top_, box->hi[2]);
      } else {
        always_.push_back(m);
      }
    }
    mesh_of_leaf_.reserve(leaves.size());
    for (const SpatialFaceLeaf& leaf : leaves) mesh_of_leaf_.push_back(leaf.mesh_index);
    index_ = FaceIndex(leaves);
  }

  void candidates(const Vector3D& origin, std::vector<std::size_t>& out) const {
    out.clear();
    if (origin.z <= top_) {
      // The ray's own box from its origin up to the highest mesh box; the
      // ray climbs 1 per unit of t and drifts by the direction's x and y.
      const double rise = top_ - origin.z;
      const double slack = relative_slack * (1.0 + magnitude(origin));
      Box3 ray;
      ray.lo = {origin.x - slack, origin.y - slack, origin.z - slack};
      ray.hi = {origin.x + ray_direction.x * rise + slack, origin.y + ray_direction.y * rise + slack,
                top_};
      std::vector<std::size_t> hits;
      index_.query(ray, 0, hits);
      for (std::size_t k : hits) out.push_back(mesh_of_leaf_[k]);
    }
    out.insert(out.end(), always_.begin(), always_.end());
    std::sort(out.begin(), out.end());
  }

 private:
  FaceIndex index_{std::span<const SpatialFaceLeaf>{}};
  std::vector<std::size_t> mesh_of_leaf_;
  std::vector<std::size_t> always_;
  double top_ = -INFINITY;
};

}  // namespace

int count_crossings(const Vector3D& origin, const Mesh& mesh) noexcept {
  int crossings = 0;
  for (std::size_t f = 0; f < mesh.face_count(); ++f) {
    const std::span<const Index> face = mesh.face(f);
    if (face.size() < 3) continue;
    const Vector3D& p0 = mesh.vertices[face[0]];
    for (std::size_t k = 2; k < face.size(); ++k) {
      if (triangle_crossed(origin, p0, mesh.vertices[face[k - 1]], mesh.vertices[face[k]])) {
        ++crossings;
      }
    }
  }
  return crossings;
}

std::vector<WireContact> find_wire_contacts(std::span<const Wire> wires,
                                            std::span<const Mesh> meshes, WireSearch search,
                                            Execution execution, Interrupt* interrupt) {
  std::vector<WireContact> contacts;
  if (wires.empty() || meshes.empty()) return contacts;

  std::optional<MeshBoxIndex> index;
  if (search == WireSearch::prefiltered) index.emplace(meshes);

  std::vector<Vector3D> midpoints;
  midpoints.reserve(wires.size());
  for (const Wire& wire : wires) midpoints.push_back(midpoint(wire));
  const std::vector<std::size_t> order = spatial_order(midpoints);

  std::vector<std::vector<std::uint64_t>> per_wire(wires.size());
  for_each_index(
      wires.size(),
      [&](std::size_t k) {
        const std::size_t w = order[k];
        const Vector3D& origin = midpoints[w];
        std::vector<std::uint64_t>& found = per_wire[w];
        auto test = [&](std::size_t m) {
          if (count_crossings(origin, meshes[m]) % 2 != 0) found.push_back(m);
        };
        const bool finite =
            std::isfinite(origin.x) && std::isfinite(origin.y) && std::isfinite(origin.z);
        if (index && finite) {
          std::vector<std::size_t> candidates;
          index->candidates(origin, candidates);
          for (std::size_t m : candidates) test(m);
        } else {
          for (std::size_t m = 0; m < meshes.size(); ++m) test(m);
        }
      },
      execution, interrupt);

  for (std::size_t w = 0; w < per_wire.size(); ++w) {
    for (std::uint64_t m : per_wire[w]) contacts.push_back({w, m});
  }
  return contacts;
}

}  // namespace kovalith
