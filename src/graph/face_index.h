// The face index of one graph build: a padded box per mesh face, the R*-tree
// over those boxes, and the face plane table.
//
// Envelope of a face: the bounding box of its vertices with `tolerance`
// subtracted from the lower and added to the upper corner, then re-spanned
// (componentwise min/max of the two corners), so a negative tolerance that
// makes the corners cross still gives a valid box. A face without vertices
// starts from the empty box (lower corner +DBL_MAX, upper -DBL_MAX) and so
// covers nearly all of space after the same rule.
//
// Query semantics: two boxes intersect when, in every axis, each lower
// coordinate is <= the other's upper coordinate (touching counts; a NaN
// coordinate never intersects anything).
//
// Leaves are numbered in mesh order and, within a mesh, in face order; a
// query reports leaf numbers in ascending order, so the contacts of one face
// come out in (mesh, face) order whatever the tree's layout.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "graph/parallel.h"
#include "kernel/plane.h"
#include "records/mesh.h"

namespace kovalith {

struct Box3 {
  std::array<double, 3> lo{};
  std::array<double, 3> hi{};
};

inline bool intersects(const Box3& a, const Box3& b) noexcept {
  for (int k = 0; k < 3; ++k) {
    if (!(a.lo[k] <= b.hi[k] && b.lo[k] <= a.hi[k])) return false;
  }
  return true;
}
bool is_finite(const Box3& box) noexcept;

// The face's vertex box padded by `pad` under the envelope rule above.
Box3 padded_face_box(const std::vector<Vector3D>& vertices, std::span<const Index> face,
                     double pad) noexcept;

struct SpatialFaceLeaf {
  Box3 envelope;
  std::uint64_t mesh_index = 0;
  std::uint64_t face_index = 0;
};

// Position of each mesh's first leaf, plus the total as the last entry.
std::vector<std::size_t> leaf_offsets(std::span<const Mesh> meshes);

// Every face of every mesh, in mesh order then face order. Filled by ranges
// (on the worker pool unless told otherwise) into preallocated slots.
std::vector<SpatialFaceLeaf> build_leaves(std::span<const Mesh> meshes, double tolerance,
                                          Execution execution = Execution::serial);

// Face planes of every face of every mesh, numbered like the leaves.
std::vector<std::optional<FacePlane>> build_face_planes(std::span<const Mesh> meshes,
                                                        Execution execution = Execution::serial);

// A leaf reported by a query, with its envelope (read from the tree, so the
// caller need not reach back into the leaf list for it).
struct LeafHit {
  Box3 envelope;
  std::size_t leaf = 0;
};

// R*-tree bulk-loaded (packing constructor) from a complete leaf list. Leaves
// with a non-finite envelope are kept in a side list that every query scans
// with the same rule, so the tree only ever sees finite boxes.
//
// Given the face plane table, leaves of faces without a plane are left out
// altogether: such a face can never make a contact, and its box can be most
// of space (a face of NaN corners keeps the empty box, which padding turns
// inside out), which would make it a candidate of every query.
class FaceIndex {
 public:
  FaceIndex(std::span<const SpatialFaceLeaf> leaves);
  FaceIndex(std::span<const SpatialFaceLeaf> leaves,
            std::span<const std::optional<FacePlane>> planes);
  ~FaceIndex();
  FaceIndex(FaceIndex&&) noexcept;
  FaceIndex& operator=(FaceIndex&&) noexcept;

  // Appends, in ascending order, the number of every leaf at or above
  // `first_leaf` whose envelope intersects `box`. Safe to call concurrently.
  void query(const Box3& box, std::size_t first_leaf, std::vector<std::size_t>& out) const;
  void query(const Box3& box, std::size_t first_leaf, std::vector<LeafHit>& out) const;

  // Appends, in no particular order, the number of every leaf whose
  // envelope intersects `box` but not `skip` (when given). Stops and returns
  // false as soon as more than `limit` were appended, having visited only
  // the part of the tree that found them; true when all are appended.
  bool query_at_most(const Box3& box, const Box3* skip, std::size_t limit,
                     std::vector<std::size_t>& out) const;

 private:
  template <class Emit>
  void visit(const Box3& box, std::size_t first_leaf, Emit&& emit) const;

  struct Tree;
  std::unique_ptr<Tree> tree_;
  std::vector<std::pair<Box3, std::size_t>> unindexed_;
};

// The reference for FaceIndex::query: every leaf tested in turn.
void scan_leaves(std::span<const SpatialFaceLeaf> leaves, const Box3& box, std::size_t first_leaf,
                 std::vector<std::size_t>& out);
void scan_leaves(std::span<const SpatialFaceLeaf> leaves, const Box3& box, std::size_t first_leaf,
                 std::vector<LeafHit>& out);

}  // namespace kovalith
