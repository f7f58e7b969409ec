// Polygon mesh of one cell, opening or solid.
//
// Stored flat so that a mesh costs three allocations whatever its face count:
// vertices contiguous, and the faces as one corner array plus offsets (CSR):
// face k is corners[offsets[k], offsets[k + 1]).
//
// Invariant of every Mesh that reaches the kernel or the graph build: every
// face has at least three corners and every corner is below the vertex count.
// `validate` establishes it for meshes built from outside data; producers in
// the kernel and the IFC reader build only meshes that satisfy it. Nothing else
// is required: repeated corners, non-planar faces, any orientation, unused
// vertices and empty meshes are all valid.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "records/error.h"
#include "records/vector3d.h"

namespace kovalith {

using Index = std::uint64_t;

struct Mesh {
  std::vector<Vector3D> vertices;
  std::vector<Index> corners;
  std::vector<std::size_t> offsets{0};

  std::size_t face_count() const { return offsets.empty() ? 0 : offsets.size() - 1; }

  std::span<const Index> face(std::size_t k) const {
    return {corners.data() + offsets[k], offsets[k + 1] - offsets[k]};
  }

  // Appends one face; for builders that know the whole face at once.
  void add_face(std::span<const Index> face_corners) {
    corners.insert(corners.end(), face_corners.begin(), face_corners.end());
    offsets.push_back(corners.size());
  }
  void add_face(std::initializer_list<Index> face_corners) {
    add_face(std::span<const Index>(face_corners.begin(), face_corners.size()));
  }

  // For builders that push corners one by one: closes the face made of every
  // corner pushed since the previous close.
  void close_face() { offsets.push_back(corners.size()); }
  // Drops the corners pushed since the last close.
  void discard_open_face() { corners.resize(offsets.back()); }

  void reserve(std::size_t vertex_count, std::size_t face_count, std::size_t corner_count) {
    vertices.reserve(vertex_count);
    offsets.reserve(face_count + 1);
    corners.reserve(corner_count);
  }
};

// Checks the invariant. Reports the lowest failing face; within a face the
// length check precedes the index checks, and the first offending corner is
// named:
//   ValueError "Face {n} has < 3 vertices."
//   IndexError "Face {n} references out-of-bounds index {e}."
Result<void> validate(const Mesh& mesh);

}  // namespace kovalith
