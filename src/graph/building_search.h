// The pieces of the building compiler's contact search, shared by its steps:
// what every worker reads (BuildingInputs), the geometry of one face pair
// (PairGeometry), one accepted face pair before merging (Contact) and the
// lists a task fills. Internal to src/graph.
//
// Steps, one file each: candidate search (building_search.cpp), occlusion by
// third rooms (building_occlusion.cpp), opening attribution
// (building_openings.cpp), elements behind a contact (building_elements.cpp),
// merging face pairs into edges (building_merge.cpp); the driver is
// building_contacts.cpp.
#pragma once

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "graph/building_contacts.h"
#include "graph/face_index.h"
#include "kernel/box2.h"
#include "kernel/plane.h"
#include "kernel/polygon.h"

namespace kovalith {

// One face of an opening or element mesh, with its outward normal.
struct MeshFace {
  std::size_t mesh = 0;
  std::size_t face = 0;
  Vector3D normal;
};

struct BuildingInputs {
  std::span<const Mesh> meshes;
  std::span<const std::size_t> offsets;
  std::span<const SpatialFaceLeaf> leaves;           // each knows its mesh and face
  std::span<const std::optional<FacePlane>> planes;  // outward, numbered like the leaves
  const FaceIndex* faces = nullptr;
  std::span<const Box3> room_boxes;  // per room: the envelopes of its faces with a plane
  std::array<double, 3> widest{};    // the widest such envelope, per axis

  std::span<const Mesh> apertures;
  std::span<const OpeningOrientation> orientations;  // one per aperture, or empty
  std::span<const MeshFace> aperture_faces;
  const FaceIndex* aperture_index = nullptr;

  std::span<const Mesh> elements;
  std::span<const ElementKind> element_kinds;  // one per element, or empty
  std::span<const MeshFace> element_faces;
  const FaceIndex* element_index = nullptr;
  bool search_elements = false;
  bool keep_regions = false;
  bool gross_regions = false;

  BuildingSettings settings;
  double parallel = 1.0;  // cosine of the angle limit
  Interrupt* interrupt = nullptr;
};

// The faces of opening or element meshes that have a plane and a finite box,
// with the index over their padded boxes.
struct SideIndex {
  std::vector<MeshFace> faces;
  FaceIndex index;
};

// What every step of one compile reads: the room faces' outward planes and
// index, the opening and element indexes, and the inputs pointing at them.
struct PreparedBuilding {
  std::vector<Mesh> sheets;  // the rooms merged per plane, when the merge mode allows
  std::vector<std::size_t> offsets;
  std::vector<SpatialFaceLeaf> leaves;
  std::vector<std::optional<FacePlane>> planes;
  std::optional<FaceIndex> faces;
  std::vector<Box3> room_boxes;
  SideIndex apertures{{}, FaceIndex(std::span<const SpatialFaceLeaf>{})};
  SideIndex elements{{}, FaceIndex(std::span<const SpatialFaceLeaf>{})};
  BuildingInputs inputs;
};

// Faces of one plane whose shared edges came out a rounding apart (their
// corners from different triangulations) are fused over this share of the
// larger of the distance and the plane's extent.
inline constexpr double fuse_share = 1e-7;

// One plane of a room: the first corner of its first face, that face's
// outward normal, and the faces on it (parallel within the angle limit,
// first corners within `distance` of the plane), in face order.
struct PlaneGroup {
  Vector3D origin, normal;
  std::vector<std::size_t> faces;
};

// A room's faces with a plane (`planes`: one per face, outward), grouped.
std::vector<PlaneGroup> group_by_plane(const Mesh& mesh,
                                       std::span<const std::optional<FacePlane>> planes,
                                       double distance, double parallel);

// The polygons (in one plane's frame) united, fused as `fuse_share` says.
Region unite_fused(std::span<const Polygon* const> polygons, double distance);

// The room with its faces merged per plane (parallel within the angle limit,
// first corners within `distance` of the first face's plane): each plane's
// faces united into polygons on that plane, wound about the outward normal.
// `planes` are the faces' outward planes (faces without one are left out);
// `reversed` says the room's faces are wound inward. A plane whose faces
// unite into a polygon with a hole keeps its faces, turned outward.
Mesh sheet_mesh(const Mesh& mesh, std::span<const std::optional<FacePlane>> planes, bool reversed,
                double distance, double parallel);

std::unique_ptr<PreparedBuilding> prepare_building(const Registry& registry,
                                                   const BuildingSettings& settings,
                                                   const BuildingExtras& extras, Interrupt* interrupt,
                                                   Execution execution);

// compile_building, handing out what it prepared (left empty when there were
// fewer than two rooms) for a later step over the same inputs.
Result<BuildingGraph> compile_building(const Registry& registry, const BuildingSettings& settings,
                                       const BuildingExtras& extras, Interrupt* interrupt,
                                       Execution execution, std::unique_ptr<PreparedBuilding>* keep);

// Distances of corners from a plane: lowest, highest and mean.
struct Span {
  double lo = INFINITY, hi = -INFINITY, mean = 0.0;
};

// Distances of the face's corners from the plane through o with normal n.
Span distances(const Mesh& mesh, std::span<const Index> face, const Vector3D& o,
               const Vector3D& n);

// Writes the face's corners, projected into the frame through o, into `out`
// (keeping its storage), closed like GeometryKernel::project_and_build_polygon.
void project_into(Polygon& out, const Mesh& mesh, std::span<const Index> face, const Vector3D& o,
                  const PlaneFrame& axes);

struct PairGeometry;

// Whether the face is parallel to the pair (within the angle limit) and lies
// in the slab between its faces; if so, its projection is written to `out`.
bool project_in_slab(const BuildingInputs& in, const PairGeometry& pair, const Mesh& mesh,
                     std::span<const Index> face, const Vector3D& normal, Polygon& out);

// A face pair under test: face f of room i (its plane through o, normal n),
// face g of room j in front of it at distances t.
struct PairGeometry {
  std::size_t i = 0, j = 0;
  std::span<const Index> f, g;
  const Mesh* f_mesh = nullptr;
  const Mesh* g_mesh = nullptr;
  Vector3D o, n;
  PlaneFrame axes;
  Span t;
  bool slab = false;
  double sliver = 0.0;  // areas below this are rounding on the scale of face f

  // The slab between the two planes, padded by the distance on both sides.
  double low(double distance) const { return std::fmin(0.0, t.lo) - distance; }
  double high(double distance) const { return std::fmax(0.0, t.hi) + distance; }
  // Both faces' boxes, padded: what lies between them meets this box.
  Box3 between(double distance) const;
};

// An opening that cut one face pair: the part of its cross-section inside the
// pair's region, and its whole cross-section in the pair's plane.
struct OpeningPiece {
  std::uint64_t mesh = 0;
  double inside = 0.0;
  double cross_section = 0.0;
};

// One accepted face pair, before merging. Its openings, elements and
// crossings are runs of the task's lists.
struct Contact {
  std::size_t leaf = 0;  // g's face, for the output order
  std::uint64_t other = 0;
  Vector3D normal;       // outward normal of the face of node_a
  Vector3D plane_point;  // a point of that face's plane
  double area = 0.0;     // net
  double gross = 0.0;    // net plus what the openings removed
  Vector3D centroid;     // on the mid-plane
  Vector3D gross_moment;  // gross * the gross region's centre on the mid-plane
  double gap = 0.0;
  double opening_area = 0.0;
  Vector3D opening_moment;  // opening_area * its centre on the mid-plane
  std::size_t openings_first = 0, openings_count = 0;
  std::size_t elements_first = 0, elements_count = 0;
  std::size_t crossings_first = 0, crossings_count = 0;
  std::size_t regions_first = 0, regions_count = 0;  // net region, in the frame of f
  ContactType type = ContactType::vertical_wall;
};

struct ContactLists {
  std::vector<Contact> contacts;
  std::vector<OpeningPiece> openings;
  std::vector<std::uint64_t> elements;
  std::vector<std::uint64_t> crossings;
  std::vector<Polygon> regions;

  // Appends another task's lists (of the same room), shifting its runs.
  void append(ContactLists&& part);
};

// Working storage of one worker, reused across faces and rooms.
// A corner projected into a pair's frame, with its distance from the plane.
struct BandCorner {
  Point2 p;
  double t = 0.0;
};

// A face of another room parallel to the face under search and near it:
// its distances from that face's plane and the cosine between the normals.
struct NearFace {
  std::size_t leaf = 0;
  std::size_t room = 0;
  Span t;
  double cosine = 0.0;
};

struct BuildingScratch {
  std::vector<std::size_t> hits;       // room faces near face f: the candidate search's only
  std::vector<NearFace> near;          // those parallel to f, of other rooms
  std::vector<std::size_t> nearest;    // candidates (into `near`): a heap, nearest on top
  std::vector<std::size_t> far_side;   // the same candidates: a heap by far side
  std::vector<std::size_t> side_hits;  // opening or element faces of one pair
  Polygon a, b;
  std::vector<Polygon> polygons;
  std::vector<Polygon> more;
  std::vector<const Polygon*> pointers;
  std::vector<std::pair<std::uint64_t, std::size_t>> runs;  // (mesh, first polygon)
  std::vector<std::size_t> occluders;
  std::vector<Polygon> shadow;
  std::vector<std::uint64_t> shadow_stamp;  // per room: the face whose shadow it is in
  std::uint64_t face_stamp = 0;
  std::vector<BandCorner> band, band_next;  // clipping a face to a band
};
BuildingScratch& building_scratch();

// Grows `pool` to hold at least n polygons and returns polygon n - 1.
Polygon& pool_slot(std::vector<Polygon>& pool, std::size_t n);

// Contacts of faces [first_face, end_face) of room i with rooms j > i.
void search_room_faces(const BuildingInputs& in, std::size_t i, std::size_t first_face,
                       std::size_t end_face, ContactLists& out);

// The region less the faces of third rooms lying between the pair's planes
// (`near`: the faces of other rooms parallel to f, holding every face whose
// near side is within the pair's far side plus the distance).
Region remove_occluded(const BuildingInputs& in, const PairGeometry& pair,
                       std::span<const NearFace> near, Region region);

// Sets how many room faces a face's search box may hold before the search
// fetches them nearest first in widening steps (for tests: 0 always does);
// returns the previous value.
std::size_t set_near_face_limit(std::size_t limit) noexcept;

// Whether the opening may cut a wall contact (slab false) or a slab contact,
// by its orientation.
bool opening_admits(const BuildingInputs& in, std::size_t mesh, bool slab);

// Cuts the openings out of `region`; returns the net measure and appends the
// openings that cut it to `pieces`. Given `net`, the net region goes there.
RegionMeasure cut_openings(const BuildingInputs& in, const PairGeometry& pair,
                           const Region& region, std::vector<OpeningPiece>& pieces,
                           Region* net = nullptr);

// Appends the positions of the elements behind the pair's region to
// `elements`, and of the crossing elements through it to `crossings`.
void find_elements(const BuildingInputs& in, const PairGeometry& pair, const Region& region,
                   std::vector<std::uint64_t>& elements, std::vector<std::uint64_t>& crossings);

// The edges of room i from its contacts, in the merge mode's order.
std::vector<BuildingEdge> merge_contacts(std::size_t i, const ContactLists& lists,
                                         const BuildingInputs& in);

}  // namespace kovalith
