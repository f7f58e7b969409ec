// Vertical prism over a closed plan ring.
//
// The ring is closed (its last point repeats its first) and the last point is
// never read: m points give n = m - 1 corners per cap. Vertices 0..n-1 are the
// bottom ring at z_base, n..2n-1 the top ring at z_base + height (one double
// sum). Faces: bottom cap [n-1 .. 0], top cap [n .. 2n-1], then one side quad
// [i, j, j + n, i + n] per edge i -> j = (i + 1) mod n. Windings follow the
// ring's order; nothing is welded, reoriented or dropped, and a negative or
// zero height is used as given. Fewer than 4 ring points give an empty mesh.
#pragma once

#include "kernel/polygon.h"
#include "records/mesh.h"

namespace kovalith {

Mesh extrude_polygon_to_mesh(const Ring& closed_ring, double z_base, double height);

}  // namespace kovalith
