#include "graph/face_index.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

#include <boost/iterator/function_output_iterator.hpp>
#include <boost/geometry.hpp>
#include <boost/geometry/index/rtree.hpp>

namespace kovalith {

namespace bg = boost::geometry;
namespace bgi = boost::geometry::index;

namespace {

using BgPoint = bg::model::point<double, 3, bg::cs::cartesian>;
using BgBox = bg::model::box<BgPoint>;
using TreeValue = std::pair<BgBox, std::size_t>;

// Bulk loading ignores the insertion strategy; the node capacity trades tree
// depth against the boxes tested per visited node.
constexpr std::size_t node_capacity = 16;

BgBox to_bg(const Box3& box) {
  return BgBox(BgPoint(box.lo[0], box.lo[1], box.lo[2]), BgPoint(box.hi[0], box.hi[1], box.hi[2]));
}

bool has_nan(const Box3& box) noexcept {
  for (int a = 0; a < 3; ++a) {
    if (std::isnan(box.lo[a]) || std::isnan(box.hi[a])) return true;
  }
  return false;
}

}  // namespace

bool is_finite(const Box3& box) noexcept {
  for (int a = 0; a < 3; ++a) {
    if (!std::isfinite(box.lo[a]) || !std::isfinite(box.hi[a])) return false;
  }
  return true;
}

Box3 padded_face_box(const std::vector<Vector3D>& vertices, std::span<const Index> face,
                     double pad) noexcept {
  constexpr double big = std::numeric_limits<double>::max();
  std::array<double, 3> lo{big, big, big};
  std::array<double, 3> hi{-big, -big, -big};
  for (Index corner : face) {
    const Vector3D& p = vertices[corner];
    const std::array<double, 3> c{p.x, p.y, p.z};
    for (int a = 0; a < 3; ++a) {
      lo[a] = std::min(lo[a], c[a]);
      hi[a] = std::max(hi[a], c[a]);
    }
  }
  Box3 box;
  for (int a = 0; a < 3; ++a) {
    const double low = lo[a] - pad;
    const double high = hi[a] + pad;
    box.lo[a] = std::min(low, high);
    box.hi[a] = std::max(low, high);
  }
  return box;
}

std::vector<std::size_t> leaf_offsets(std::span<const Mesh> meshes) {
  std::vector<std::size_t> offsets;
  offsets.reserve(meshes.size() + 1);
  std::size_t total = 0;
  for (const Mesh& mesh : meshes) {
    offsets.push_back(total);
    total += mesh.face_count();
  }
  offsets.push_back(total);
  return offsets;
}

namespace {

// Ranges of at most faces_per_range faces of one mesh: the per-face tables
// are filled range by range on the pool, so one mesh of a million faces is
// spread over the workers like a million small meshes.
constexpr std::size_t faces_per_range = 4096;

struct FaceRange {
  std::size_t mesh, first, end;
};

std::vector<FaceRange> face_ranges(std::span<const Mesh> meshes) {
  std::vector<FaceRange> ranges;
  for (std::size_t i = 0; i < meshes.size(); ++i) {
    const std::size_t n = meshes[i].face_count();
    for (std::size_t f = 0; f < n; f += faces_per_range) {
      ranges.push_back({i, f, std::min(n, f + faces_per_range)});
    }
  }
  return ranges;
}

}  // namespace

std::vector<SpatialFaceLeaf> build_leaves(std::span<const Mesh> meshes, double tolerance,
                                          Execution execution) {
  const std::vector<std::size_t> offsets = leaf_offsets(meshes);
  const std::vector<FaceRange> ranges = face_ranges(meshes);
  std::vector<SpatialFaceLeaf> leaves(offsets.back());
  for_each_index(
      ranges.size(),
      [&](std::size_t k) {
        const FaceRange& r = ranges[k];
        const Mesh& mesh = meshes[r.mesh];
        for (std::size_t f = r.first; f < r.end; ++f) {
          leaves[offsets[r.mesh] + f] = {padded_face_box(mesh.vertices, mesh.face(f), tolerance),
                                         r.mesh, f};
        }
      },
      execution);
  return leaves;
}

std::vector<std::optional<FacePlane>> build_face_planes(std::span<const Mesh> meshes,
                                                        Execution execution) {
  const std::vector<std::size_t> offsets = leaf_offsets(meshes);
  const std::vector<FaceRange> ranges = face_ranges(meshes);
  std::vector<std::optional<FacePlane>> planes(offsets.back());
  for_each_index(
      ranges.size(),
      [&](std::size_t k) {
        const FaceRange& r = ranges[k];
        const Mesh& mesh = meshes[r.mesh];
        for (std::size_t f = r.first; f < r.end; ++f) {
          planes[offsets[r.mesh] + f] = face_plane(mesh.vertices, mesh.face(f));
        }
      },
      execution);
  return planes;
}

struct FaceIndex::Tree {
  bgi::rtree<TreeValue, bgi::rstar<node_capacity>> rtree;
};

FaceIndex::FaceIndex(std::span<const SpatialFaceLeaf> leaves)
    : FaceIndex(leaves, std::span<const std::optional<FacePlane>>()) {}

FaceIndex::FaceIndex(std::span<const SpatialFaceLeaf> leaves,
                     std::span<const std::optional<FacePlane>> planes)
    : tree_(std::make_unique<Tree>()) {
  std::vector<TreeValue> values;
  values.reserve(leaves.size());
  for (std::size_t k = 0; k < leaves.size(); ++k) {
    if (!planes.empty() && !planes[k]) continue;
    // The tree's packing sorts by coordinates and its queries assume ordered
    // boxes; NaN or infinite boxes are kept out of it.
    if (is_finite(leaves[k].envelope)) {
      values.emplace_back(to_bg(leaves[k].envelope), k);
    } else {
      unindexed_.emplace_back(leaves[k].envelope, k);
    }
  }
  tree_->rtree = decltype(tree_->rtree)(values.begin(), values.end());
}

FaceIndex::~FaceIndex() = default;
FaceIndex::FaceIndex(FaceIndex&&) noexcept = default;
FaceIndex& FaceIndex::operator=(FaceIndex&&) noexcept = default;

template <class Emit>
void FaceIndex::visit(const Box3& box, std::size_t first_leaf, Emit&& emit) const {
  if (!has_nan(box)) {
    tree_->rtree.query(bgi::intersects(to_bg(box)) &&
                           bgi::satisfies([first_leaf](const TreeValue& v) {
                             return v.second >= first_leaf;
                           }),
                       boost::make_function_output_iterator([&emit](const TreeValue& v) {
                         const BgPoint& lo = v.first.min_corner();
                         const BgPoint& hi = v.first.max_corner();
                         emit(Box3{{lo.get<0>(), lo.get<1>(), lo.get<2>()},
                                   {hi.get<0>(), hi.get<1>(), hi.get<2>()}},
                              v.second);
                       }));
  }
  for (const auto& [envelope, k] : unindexed_) {
    if (k >= first_leaf && intersects(envelope, box)) emit(envelope, k);
  }
}

void FaceIndex::query(const Box3& box, std::size_t first_leaf,
                      std::vector<std::size_t>& out) const {
  const std::size_t start = out.size();
  visit(box, first_leaf, [&out](const Box3&, std::size_t k) { out.push_back(k); });
  std::sort(out.begin() + static_cast<std::ptrdiff_t>(start), out.end());
}

void FaceIndex::query(const Box3& box, std::size_t first_leaf, std::vector<LeafHit>& out) const {
  const std::size_t start = out.size();
  visit(box, first_leaf, [&out](const Box3& envelope, std::size_t k) { out.push_back({envelope, k}); });
  std::sort(out.begin() + static_cast<std::ptrdiff_t>(start), out.end(),
            [](const LeafHit& a, const LeafHit& b) { return a.leaf < b.leaf; });
}

bool FaceIndex::query_at_most(const Box3& box, const Box3* skip, std::size_t limit,
                              std::vector<std::size_t>& out) const {
  std::size_t found = 0;
  auto take = [&](std::size_t k) {
    out.push_back(k);
    return ++found <= limit;
  };
  if (!has_nan(box)) {
    // The query iterator walks the tree lazily, so stopping early skips the
    // rest of the walk: a box holding most of the model costs `limit` hits.
    const auto fresh = [skip](const TreeValue& v) {
      if (skip == nullptr) return true;
      const BgPoint& lo = v.first.min_corner();
      const BgPoint& hi = v.first.max_corner();
      return !intersects(Box3{{lo.get<0>(), lo.get<1>(), lo.get<2>()},
                              {hi.get<0>(), hi.get<1>(), hi.get<2>()}},
                         *skip);
    };
    for (auto it = tree_->rtree.qbegin(bgi::intersects(to_bg(box)) && bgi::satisfies(fresh));
         it != tree_->rtree.qend(); ++it) {
      if (!take(it->second)) return false;
    }
  }
  for (const auto& [envelope, k] : unindexed_) {
    if (intersects(envelope, box) && !(skip != nullptr && intersects(envelope, *skip)) && !take(k)) {
      return false;
    }
  }
  return true;
}

void scan_leaves(std::span<const SpatialFaceLeaf> leaves, const Box3& box, std::size_t first_leaf,
                 std::vector<std::size_t>& out) {
  for (std::size_t k = first_leaf; k < leaves.size(); ++k) {
    if (intersects(leaves[k].envelope, box)) out.push_back(k);
  }
}

void scan_leaves(std::span<const SpatialFaceLeaf> leaves, const Box3& box, std::size_t first_leaf,
                 std::vector<LeafHit>& out) {
  for (std::size_t k = first_leaf; k < leaves.size(); ++k) {
    if (intersects(leaves[k].envelope, box)) out.push_back({leaves[k].envelope, k});
  }
}

}  // namespace kovalith
