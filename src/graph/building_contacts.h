// Room adjacency of a real building: contacts across walls and slabs.
//
// Two faces f (of room i) and g (of room j > i) touch when their outward
// normals are parallel within `angle_degrees` and either face each other or
// lie in one plane, and every corner of g lies in front of f's plane at a
// distance t (measured from f's first vertex along n_f, never through offsets
// at the world origin) with -distance <= t <= gap + distance; `gap` is
// `wall_gap` for walls (|n_f.z| <= 0.707) and `slab_gap` above that. Faces
// that face the same way must lie within `distance` of one plane.
//
// The shared region is the overlap of the two faces in f's plane, less the
// faces of third rooms that lie between the two (the nearer pair owns that
// part), less every opening face parallel to f that lies in the slab between
// f and g. It must exceed `min_area` (strictly). A closed room wound inside
// out (negative signed volume) is read as wound outward.
//
// Openings: an opening face cuts the contact when it is parallel to f and lies
// in the slab between f and g, and its opening's orientation admits the
// contact's (wall openings cut wall contacts only, slab openings slab contacts
// only). Every cutting face removes its area. An opening is *listed* on the
// edge only when it lies mostly there: the part of its cross-section inside
// the region is at least half of its cross-section, or at least half of the
// region (a contact lying wholly inside a stair hole). `min_area` applies to
// the gross contact: net area plus the area the openings removed.
//
// Elements (optional): bodies of walls, slabs, coverings and the like. An
// element lies behind a contact when one of its faces parallel to f lies in
// the slab between f and g over the region (more than a sliver), and, where
// the gap leaves room, its body reaches into the open gap: an element only
// touching or standing on one of the faces does not count. A *crossing*
// element (stair, ramp) lies behind a slab contact when its body passes from
// f's plane through to g's over the region.
//
// All lengths are in the model's unit; areas in its square. Output: edges by
// node_a, then in the order the merge mode keeps (see MergeMode).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "graph/graph_records.h"
#include "graph/parallel.h"
#include "graph/registry.h"
#include "records/error.h"
#include "support/interrupt.h"

namespace kovalith {

enum class MergeMode {
  face,   // one edge per face pair, in face order then candidate order
  plane,  // one edge per room pair and contact plane, by node_b then plane
  room,   // one edge per room pair, by node_b
};

struct BuildingSettings {
  double distance = 1e-3;
  double angle_degrees = 1.0;
  double min_area = 0.01;
  double wall_gap = 0.5;
  double slab_gap = 2.0;
  MergeMode merge = MergeMode::plane;
};

// Which contacts an opening may cut, by the orientation of its host.
enum class OpeningOrientation : std::uint8_t {
  any,   // every contact (plain meshes of unknown origin)
  wall,  // wall contacts only: doors, windows, openings voiding a wall
  slab,  // slab contacts only: openings voiding a slab or roof
};

enum class ElementKind : std::uint8_t {
  physical,  // a wall, slab, roof, covering, plate, member, railing, ...
  virtual_,  // a virtual boundary drawn between open-plan rooms
  crossing,  // a stair or ramp, joining the storeys its body passes between
};

// Inputs beyond the registry. Empty spans mean: every opening `any`, and no
// element search at all (the edges then carry no element lists).
struct BuildingExtras {
  std::span<const OpeningOrientation> opening_orientations;  // empty, or one per aperture
  std::span<const Mesh> elements;
  std::span<const ElementKind> element_kinds;  // empty (all physical), or one per element
  bool search_elements = false;
  bool keep_regions = false;  // fill BuildingEdge::region
  bool gross_regions = false;  // with keep_regions: the region before openings are cut out
};

// The net region of an edge (gross with BuildingExtras::gross_regions) as polygons in 3D, on the plane of node_a's face
// (the first face pair's plane), seen along node_a's outward normal: outer
// rings counter-clockwise, holes clockwise, each ring closed (last point =
// first). The face pairs of a merged edge are united, so a triangulated wall
// gives one polygon.
struct ContactRegion {
  Vector3D normal;
  std::vector<Vector3D> points;
  std::vector<std::size_t> ring_offsets;  // rings r: points [ring_offsets[r], ring_offsets[r + 1])
  std::vector<std::uint8_t> is_hole;      // per ring; a hole belongs to the outer ring before it
};

struct BuildingEdge {
  std::uint64_t node_a = 0;
  std::uint64_t node_b = 0;
  double shared_area = 0.0;     // net of occluded parts and openings
  Vector3D contact_centroid;    // on the mid-plane between the faces
  ContactType contact_type = ContactType::vertical_wall;
  double gap = 0.0;             // area-weighted distance of the faces; 0 when touching
  std::vector<std::uint64_t> openings;  // aperture positions that cut it, ascending
  double opening_area = 0.0;
  std::optional<Vector3D> opening_centroid;  // on the mid-plane; none when nothing was cut
  // With the element search only:
  std::vector<std::uint64_t> elements;   // physical and virtual elements behind it, ascending
  std::vector<std::uint64_t> crossings;  // crossing elements through it, ascending
  bool is_virtual = true;                // no physical element behind it
  ContactRegion region;                  // with keep_regions only
};

struct BuildingGraph {
  std::vector<Vector3D> centroids;  // vertex mean of each room
  std::vector<WireContact> wire_contacts;
  std::vector<BuildingEdge> edges;
};

// Fails only with ErrorKind::interrupted (inputs untouched). Settings are
// validated by the caller: finite distance, angle, gaps and area, none negative;
// the extras' spans are empty or sized as documented there.
Result<BuildingGraph> compile_building(const Registry& registry, const BuildingSettings& settings,
                                       const BuildingExtras& extras,
                                       Interrupt* interrupt = nullptr,
                                       Execution execution = Execution::pool);

inline Result<BuildingGraph> compile_building(const Registry& registry,
                                              const BuildingSettings& settings,
                                              Interrupt* interrupt = nullptr,
                                              Execution execution = Execution::pool) {
  return compile_building(registry, settings, BuildingExtras{}, interrupt, execution);
}

}  // namespace kovalith
