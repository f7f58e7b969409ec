// Reader of points and polygon loops from IFC (STEP physical file) text.
//
// One forward pass over the lines. Only lines of the form
//   #<number> = ...IFCCARTESIANPOINT((x, y, z...))...
//   #<number> = ...IFCPOLYLOOP((#p, #q, #r...))...
// are read; every other or malformed line is skipped without a message, and
// malformed parts are dropped (a coordinate that is not a number reads 0.0,
// a loop reference that names no earlier point is left out, a loop with
// fewer than three references is dropped). A point becomes a mesh vertex at
// its first use by a loop, with the coordinates it has at that moment; the
// faces are the loops in file order. A line whose first "))" comes before
// its first "((" has no coordinate group and is skipped. Lines are examined
// in place; the text is never copied.
#pragma once

#include <string_view>

#include "records/error.h"
#include "records/mesh.h"
#include "support/interrupt.h"

namespace kovalith {

// Text is UTF-8. The mesh satisfies the Mesh invariant by construction; the
// validation is run anyway and its failure would be returned.
// ErrorKind::interrupted once the interrupt says so.
Result<Mesh> parse_ifc_points_and_faces(std::string_view text, Interrupt* interrupt = nullptr);

}  // namespace kovalith
