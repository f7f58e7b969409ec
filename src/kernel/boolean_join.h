// Boolean join of two vertically extruded cells whose plans overlap.
//
// The plan of each mesh is its face 0 projected onto XY (z dropped); the other
// faces and all heights are ignored. The plans A and B are split into A & B,
// A - B and B - A (even-odd), and every resulting polygon whose net area (outer
// less holes) exceeds min_cell_area is extruded from z_base to z_base + height
// by its outer ring alone: holes are not extruded, so a remainder around an
// enclosed plan overlaps the shared cell. Output order: the shared cells, then
// A's, then B's, each in the clipper's order.
//
// A mesh without faces has no plan: ErrorKind::value "the first operand has
// no faces" (or "second"); the caller, which knows what the operands are
// called, checks first and says so in its own words.
#pragma once

#include <vector>

#include "records/error.h"
#include "records/mesh.h"
#include "support/interrupt.h"

namespace kovalith {

// Cells of at most this plan area (square input units) are dropped as slivers.
inline constexpr double min_cell_area = 1e-5;

Result<std::vector<Mesh>> boolean_join_extruded(const Mesh& mesh_a, const Mesh& mesh_b,
                                                double z_base, double height,
                                                Interrupt* interrupt = nullptr);

}  // namespace kovalith
