// The parallel and coplanarity tests of the contact search, shared by face
// pairs and aperture faces.
//
// Parallel: |n1.n2| > 1 - tolerance (strict; NaN fails). Coplanar: with s the
// sign of n1.n2 (+1 when positive, else -1), |d1 - s*d2| < tolerance (strict):
// the distance between the two parallel planes measured along n1, at the
// world origin. A zero, negative or NaN tolerance therefore never passes.
#pragma once

#include <cmath>

#include "kernel/plane.h"

namespace kovalith {

inline bool coplanar_within(const FacePlane& reference, const FacePlane& other,
                            double tolerance) noexcept {
  const double k = dot(reference.normal, other.normal);
  if (!(std::fabs(k) > 1.0 - tolerance)) return false;
  const double s = k > 0.0 ? 1.0 : -1.0;
  return std::fabs(reference.offset - s * other.offset) < tolerance;
}

}  // namespace kovalith
