#pragma once

#include "records/mesh.h"

namespace kovalith {

// Arithmetic mean of every vertex-list entry (used or not), each coordinate
// summed in list order from 0 and divided by the count as a double. No
// vertices: 0/0, so all three coordinates are NaN.
Vector3D vertex_mean(const Mesh& mesh);

}  // namespace kovalith
