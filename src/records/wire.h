// A 1D linear element (column, beam, cable run) given by its end points.
// Held by value; zero length allowed.
#pragma once

#include "records/vector3d.h"

namespace kovalith {

struct Wire {
  Vector3D start;
  Vector3D end;
};

}  // namespace kovalith
