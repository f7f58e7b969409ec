// Face planes and the 2D frames laid into them.
//
// face_plane: Newell's normal over the face's corner order, normalised; the
// plane passes exactly through the face's first vertex (normal.p + offset = 0).
// Absent for faces of fewer than 3 corners and for faces whose Newell vector
// is shorter than 1e-8 (twice the area of a planar face, so faces below an
// area of 5e-9 square units have no plane); absent too when that length is
// NaN or infinite (a non-finite coordinate, or sums beyond the double range).
//
// plane_frame: axes U, V for a unit normal n, with U x V = n. The reference
// axis is X unless |n.x| >= 0.9 (then Y); U = n x h / |n x h|, V = n x U (not
// renormalised).
#pragma once

#include <optional>
#include <span>
#include <vector>

#include "records/mesh.h"

namespace kovalith {

struct FacePlane {
  Vector3D normal;  // unit length
  double offset = 0.0;
};

struct PlaneFrame {
  Vector3D u;
  Vector3D v;
};

std::optional<FacePlane> face_plane(const std::vector<Vector3D>& vertices,
                                    std::span<const Index> face);

PlaneFrame plane_frame(const Vector3D& unit_normal);

}  // namespace kovalith
