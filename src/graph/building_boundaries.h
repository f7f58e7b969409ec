// Space boundaries: every room's surface split into pieces, each knowing
// what lies on its other side.
//
// A room's faces are merged per plane first (faces whose outward normals are
// parallel within the angle limit and whose first corners lie within
// `distance` of the plane of the first such face), so a triangulated wall is
// one sheet. Each sheet is then cut into:
//
// - contact pieces: the gross region of each compiled edge on it (before
//   openings are cut out; the parts nearer rooms own are not in it), split by
//   the element behind it. The same piece is written for both rooms, on each
//   room's own sheet (the node_b side is the node_a polygon projected onto
//   node_b's plane), and each names the other as its corresponding piece.
// - exterior pieces: what is left of the sheet, split by the element that
//   lies behind it within the gap (wall_gap for walls, slab_gap for slabs),
//   or with no element where nothing lies there.
//
// An element lies behind a piece when one of its faces parallel to the sheet
// lies in the band between the sheet and the far side (the other room's
// face, or the gap) over the piece, and its body reaches beyond the sheet
// into that band. Elements claim the sheet nearest first, so each piece has
// one element at most; crossing elements (stairs, ramps) never bound a room.
// The openings on a piece are the admitted openings whose faces parallel to
// it lie within the band (widened by the band's depth on both sides: opening
// boxes stand proud of their wall), each cut to the piece.
//
// Per room the pieces partition the faces that have a plane: their areas sum
// to the room's surface area, up to the clipper's rounding.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "graph/building_contacts.h"

namespace kovalith {

inline constexpr std::size_t no_piece = static_cast<std::size_t>(-1);

struct BoundaryOpening {
  std::uint64_t opening = 0;   // aperture position
  std::vector<Vector3D> ring;  // closed, counter-clockwise about the piece's normal
  double area = 0.0;
};

struct BoundaryPiece {
  std::size_t room = 0;
  Vector3D normal;  // the room's outward normal on this sheet
  std::vector<Vector3D> points;
  // Rings: points [ring_offsets[r], ring_offsets[r + 1]); ring 0 is the outer
  // ring (counter-clockwise about `normal`), the rest are holes (clockwise).
  std::vector<std::size_t> ring_offsets;
  double area = 0.0;  // outer less holes
  std::size_t other = no_piece;          // the room on the other side
  std::size_t edge = no_piece;           // the compiled edge it belongs to
  std::size_t corresponding = no_piece;  // the same piece seen from the other room
  std::size_t element = no_piece;        // the element behind it
  double depth = 0.0;  // to the other room's face, or the element's far side
  std::vector<BoundaryOpening> openings;
};

struct BoundaryGraph {
  BuildingGraph graph;
  std::vector<BoundaryPiece> pieces;  // by room; per room contacts by edge, then the rest
};

// The compiled graph (as compile_building gives it for the same settings and
// extras; the edges carry no region) and the pieces. Fails only with
// ErrorKind::interrupted.
Result<BoundaryGraph> compile_space_boundaries(const Registry& registry,
                                               const BuildingSettings& settings,
                                               const BuildingExtras& extras,
                                               Interrupt* interrupt = nullptr,
                                               Execution execution = Execution::pool);

}  // namespace kovalith
