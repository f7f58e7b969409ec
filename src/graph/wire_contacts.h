// Which wires stand in which meshes: a wire is in contact with a mesh when its
// midpoint is inside the mesh by ray parity.
//
// The ray starts at the midpoint (start + end) * 0.5 and runs along
// (1e-7, 2e-7, 1) (not normalised; the tilt keeps it off the edges and
// diagonals of axis-aligned geometry). Every face is fan-triangulated from its
// first corner and each triangle is tested with Moller-Trumbore: |det| < 1e-8
// misses, the barycentric bounds are inclusive (a ray through a shared edge
// counts twice), and only crossings at t > 1e-8 count (so a midpoint on a face
// does not cross that face). NaN anywhere misses. An odd count is a contact.
//
// Output: (wire, mesh) pairs by wire ascending, then mesh ascending; each pair
// at most once. Meshes without faces never contain anything.
#pragma once

#include <span>
#include <vector>

#include "graph/graph_records.h"
#include "graph/parallel.h"
#include "records/mesh.h"
#include "records/wire.h"

namespace kovalith {

enum class WireSearch {
  // Every triangle of every mesh for every wire.
  brute_force,
  // Only meshes whose (slightly padded) box the ray passes, found through an
  // R*-tree of mesh boxes; the same triangles decide, so the pairs are the
  // brute force's.
  prefiltered,
};

std::vector<WireContact> find_wire_contacts(std::span<const Wire> wires,
                                            std::span<const Mesh> meshes,
                                            WireSearch search = WireSearch::prefiltered,
                                            Execution execution = Execution::pool,
                                            Interrupt* interrupt = nullptr);

// Crossings of the ray from `origin` with the fan triangles of every face.
int count_crossings(const Vector3D& origin, const Mesh& mesh) noexcept;

}  // namespace kovalith
