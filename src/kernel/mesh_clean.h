// Vertex welding on a cubic grid and removal of collapsed faces.
//
// A vertex's weld key is (Q(x / t), Q(y / t), Q(z / t)) for tolerance t, where
// Q rounds half away from zero and converts to int64 with saturation (NaN
// gives 0). Cell k along an axis holds the quotients in [k - 0.5, k + 0.5)
// for k > 0, mirrored for k < 0, and (-0.5, 0.5) for k = 0; neighbouring cells
// are never searched. A negative t welds as |t|; t = 0 welds by the sign
// pattern of the coordinates, a NaN t welds everything into the first vertex.
//
// Output vertices: one exact copy of the first vertex of each key, in order of
// first appearance (unused vertices included, nothing compacted). Faces are
// remapped in order: a corner repeating the previous kept corner is dropped,
// then one repeat across the closing pair; a face left with fewer than 3
// corners is dropped. Nothing else (collinearity, area) is tested.
//
// A corner index not below the vertex count fails with IndexError "Face {n}
// references invalid index." for the first such face n (counting every face).
#pragma once

#include <cstdint>
#include <limits>

#include "records/error.h"
#include "records/mesh.h"
#include "support/interrupt.h"

namespace kovalith {

// Q above: round half away from zero, saturating, NaN -> 0. Inline: it runs
// three times per vertex.
inline std::int64_t weld_coordinate(double q) {
  constexpr double two_63 = 9223372036854775808.0;
  if (q != q) return 0;
  if (q >= two_63) return std::numeric_limits<std::int64_t>::max();
  if (q < -two_63) return std::numeric_limits<std::int64_t>::min();
  // In range: truncation is exact, and so is the fraction q - t (for
  // |q| >= 2^52, q is an integer and the fraction is 0).
  std::int64_t t = static_cast<std::int64_t>(q);
  const double fraction = q - static_cast<double>(t);
  if (fraction >= 0.5) {
    ++t;
  } else if (fraction <= -0.5) {
    --t;
  }
  return t;
}

// Stops with ErrorKind::interrupted (the mesh untouched) once the interrupt
// says so.
Result<Mesh> clean_mesh(const Mesh& mesh, double tolerance, Interrupt* interrupt = nullptr);

}  // namespace kovalith
