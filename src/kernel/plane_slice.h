// Split of a mesh by a plane into two uncapped triangle meshes.
//
// The plane is (normal / |normal|, origin); |normal| < 1e-8 fails with
// ValueError "Invalid plane normal vector." (a NaN length passes, and then
// every distance is NaN). A finite normal too long to square is scaled by a
// power of two first, so that it keeps its direction. Every vertex gets the
// signed distance
// d = ((v.x - o.x) n.x + (v.y - o.y) n.y) + (v.z - o.z) n.z; it is above when
// d >= 0 (on the plane counts as above, NaN as below); there is no tolerance
// band. Each face is fanned from its first corner into triangles (c0, ci,
// ci+1). A triangle wholly on one side is carried to it through that side's
// index map (a receiver vertex is copied there once, at its first use). A
// straddling triangle is cut at the two edges from its lone corner L (the
// rotation L, P, Q keeps the winding): t = d(L) / (d(L) - d(P)), point
// (P - L) * t + L per coordinate. L's side gets fresh copies of L and the two
// cut points and one triangle; the other side maps P and Q, gets the cut
// points fresh and the triangles [XP, P, Q], [XP, Q, XQ]. Cut points and lone
// corners are never shared between triangles, so the results are not welded.
#pragma once

#include <utility>

#include "records/error.h"
#include "records/mesh.h"
#include "support/interrupt.h"

namespace kovalith {

// (above, below); ErrorKind::interrupted once the interrupt says so.
Result<std::pair<Mesh, Mesh>> slice_by_plane(const Mesh& mesh, const Vector3D& normal,
                                             const Vector3D& origin,
                                             Interrupt* interrupt = nullptr);

}  // namespace kovalith
