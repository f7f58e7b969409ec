// A processing order that keeps spatial neighbours close in time.
//
// The per-mesh searches (and the per-wire tests) read the data of nearby
// meshes; walked in list order, a tall building's floor above lies a whole
// floor of meshes further on, and at campus scale that working set outgrows
// the caches. Walking the points along a Morton (Z-order) curve keeps the
// meshes that one task reads close to those its neighbours read. Only the
// order of work changes: every result still goes to its own slot.
#pragma once

#include <cstddef>
#include <vector>

#include "records/vector3d.h"

namespace kovalith {

// A permutation of 0 .. points.size() - 1 along the Z-order curve of the
// points' bounding box; points with a non-finite coordinate come last, in
// list order.
std::vector<std::size_t> spatial_order(const std::vector<Vector3D>& points);

}  // namespace kovalith
