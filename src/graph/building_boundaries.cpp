// Space boundaries from the compiled contacts: the rooms' sheets, the
// contact pieces on both sides, the exterior remainder, the element behind
// each piece and its openings.
#include "graph/building_boundaries.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <memory>
#include <utility>

#include "graph/building_search.h"

namespace kovalith {
namespace {

// Pieces below this share of their sheet's area are rounding, not surface.
constexpr double sliver_share = 1e-9;

struct Frame {
  Vector3D origin, normal;
  PlaneFrame axes;

  Point2 to_plane(const Vector3D& p) const {
    const Vector3D d = p - origin;
    return {dot(d, axes.u), dot(d, axes.v)};
  }
  Vector3D to_space(const Point2& p) const { return origin + axes.u * p.x + axes.v * p.y; }
  // Distance of p from the plane along the normal.
  double height(const Vector3D& p) const { return dot(normal, p - origin); }
};

// One plane of a room's surface: its faces, united.
struct Sheet {
  Frame frame;
  Region region;
  double area = 0.0;
};

double signed_ring_area(const Ring& ring) {
  double twice = 0.0;
  for (std::size_t k = 0; k + 1 < ring.size(); ++k) {
    twice += ring[k].x * ring[k + 1].y - ring[k + 1].x * ring[k].y;
  }
  return 0.5 * twice;
}

// Outer ring counter-clockwise in the frame, holes clockwise.
void orient(Polygon& p) {
  if (signed_ring_area(p.outer) < 0.0) std::reverse(p.outer.begin(), p.outer.end());
  for (Ring& hole : p.holes) {
    if (signed_ring_area(hole) > 0.0) std::reverse(hole.begin(), hole.end());
  }
}

std::vector<const Polygon*> pointers(const Region& region) {
  std::vector<const Polygon*> out;
  out.reserve(region.size());
  for (const Polygon& p : region) out.push_back(&p);
  return out;
}

std::vector<Sheet> room_sheets(const BuildingInputs& in, std::size_t i) {
  const Mesh& mesh = in.meshes[i];
  const std::vector<PlaneGroup> groups =
      group_by_plane(mesh, in.planes.subspan(in.offsets[i], mesh.face_count()),
                     in.settings.distance, in.parallel);
  std::vector<Sheet> sheets;
  sheets.reserve(groups.size());
  std::vector<Polygon> faces;
  std::vector<const Polygon*> all;
  for (const PlaneGroup& g : groups) {
    Sheet sheet{{g.origin, g.normal, plane_frame(g.normal)}, {}, 0.0};
    faces.resize(g.faces.size());
    all.clear();
    for (std::size_t k = 0; k < g.faces.size(); ++k) {
      project_into(faces[k], mesh, mesh.face(g.faces[k]), g.origin, sheet.frame.axes);
      all.push_back(&faces[k]);
    }
    sheet.region = unite_fused(all, in.settings.distance);
    sheet.area = region_area(sheet.region);
    sheets.push_back(std::move(sheet));
  }
  return sheets;
}

// The sheet of a room that a polygon at `p` with normal n lies on (facing
// the same way), or, with `facing`, the one across from it: opposed first,
// else one facing the same way in the same plane. Nearest within `reach`.
std::size_t find_sheet(const std::vector<Sheet>& sheets, const Vector3D& n, const Vector3D& p,
                       double parallel, double reach, bool facing) {
  std::size_t best = no_piece;
  double best_distance = reach;
  for (int pass = 0; pass < (facing ? 2 : 1); ++pass) {
    const double want = facing && pass == 0 ? -1.0 : 1.0;
    for (std::size_t s = 0; s < sheets.size(); ++s) {
      const Frame& fr = sheets[s].frame;
      if (!(want * dot(fr.normal, n) > parallel)) continue;
      const double distance = std::fabs(fr.height(p));
      if (distance <= best_distance) {
        best_distance = distance;
        best = s;
      }
    }
    if (best != no_piece) break;
  }
  return best;
}

// The polygon's rings moved from one frame into another (through space:
// orthogonal projection onto the second plane), oriented for the second.
Polygon move(const Polygon& p, const Frame& from, const Frame& to) {
  auto ring = [&](const Ring& r) {
    Ring out;
    out.reserve(r.size());
    for (const Point2& q : r) out.push_back(to.to_plane(from.to_space(q)));
    return out;
  };
  Polygon out;
  out.outer = ring(p.outer);
  for (const Ring& hole : p.holes) out.holes.push_back(ring(hole));
  orient(out);
  return out;
}

Box3 band_box(const Frame& fr, const Box2& box, double lo, double hi, double pad) {
  Box3 out{{INFINITY, INFINITY, INFINITY}, {-INFINITY, -INFINITY, -INFINITY}};
  for (int c = 0; c < 8; ++c) {
    const Vector3D p = fr.to_space({(c & 1) ? box.hi[0] : box.lo[0], (c & 2) ? box.hi[1] : box.lo[1]}) +
                       fr.normal * ((c & 4) ? hi : lo);
    const double xyz[3] = {p.x, p.y, p.z};
    for (int a = 0; a < 3; ++a) {
      out.lo[a] = std::fmin(out.lo[a], xyz[a] - pad);
      out.hi[a] = std::fmax(out.hi[a], xyz[a] + pad);
    }
  }
  return out;
}

// The faces of one side mesh parallel to the frame with every corner's
// height in [lo, hi], projected; the lowest and highest heights of all of
// the mesh's faces that the query found.
struct SideFaces {
  std::vector<Polygon> polygons;
  Span body;
};

SideFaces side_faces(const BuildingInputs& in, std::span<const Mesh> meshes,
                     std::span<const MeshFace> entries, std::span<const std::size_t> hits,
                     std::size_t first, std::size_t end, const Frame& fr, double lo, double hi) {
  SideFaces out;
  const Mesh& mesh = meshes[entries[hits[first]].mesh];
  for (std::size_t q = first; q < end; ++q) {
    const MeshFace& entry = entries[hits[q]];
    const Span t = distances(mesh, mesh.face(entry.face), fr.origin, fr.normal);
    out.body.lo = std::fmin(out.body.lo, t.lo);
    out.body.hi = std::fmax(out.body.hi, t.hi);
    if (!(std::fabs(dot(fr.normal, entry.normal)) > in.parallel)) continue;
    if (!(t.lo >= lo && t.hi <= hi)) continue;
    Polygon p;
    project_into(p, mesh, mesh.face(entry.face), fr.origin, fr.axes);
    out.polygons.push_back(std::move(p));
  }
  return out;
}

// Runs of hits that belong to one mesh (the index reports a mesh's faces in a row).
template <class Visit>
void for_each_mesh(std::span<const MeshFace> entries, std::span<const std::size_t> hits, Visit&& visit) {
  std::size_t first = 0;
  while (first < hits.size()) {
    const std::size_t m = entries[hits[first]].mesh;
    std::size_t end = first;
    while (end < hits.size() && entries[hits[end]].mesh == m) ++end;
    visit(m, first, end);
    first = end;
  }
}

struct Split {
  std::size_t element = no_piece;
  double depth = 0.0;
  Region region;
};

// The region split by the elements whose faces lie in the band [lo, hi]
// above it and whose bodies reach past `reach_lo` (and, when the band has an
// open middle, below `reach_hi`), nearest first; the rest without element.
std::vector<Split> split_by_elements(const BuildingInputs& in, const Frame& fr, const Region& region,
                                     double lo, double hi, double reach_lo, double reach_hi,
                                     double rest_depth, double sliver) {
  std::vector<Split> out;
  Region remaining = region;
  if (!in.element_faces.empty() && !region.empty()) {
    std::vector<std::size_t> hits;
    in.element_index->query(band_box(fr, bounds(region), lo, hi, in.settings.distance), 0, hits);
    struct Found {
      double near = 0.0;
      std::size_t element = 0;
      SideFaces faces;
    };
    std::vector<Found> found;
    const Box2 reach = bounds(region);
    for_each_mesh(in.element_faces, hits, [&](std::size_t e, std::size_t first, std::size_t end) {
      if (!in.element_kinds.empty() && in.element_kinds[e] == ElementKind::crossing) return;
      SideFaces faces = side_faces(in, in.elements, in.element_faces, hits, first, end, fr, lo, hi);
      if (faces.polygons.empty()) return;
      if (!(faces.body.hi > reach_lo && faces.body.lo < reach_hi)) return;
      Box2 box;
      for (const Polygon& p : faces.polygons) box.add(p);
      if (!overlap_has_area(box, reach)) return;
      const double near = std::fmax(faces.body.lo, lo);
      found.push_back({near, e, std::move(faces)});
    });
    std::stable_sort(found.begin(), found.end(),
                     [](const Found& a, const Found& b) { return a.near < b.near; });
    for (Found& f : found) {
      if (remaining.empty()) break;
      const std::vector<const Polygon*> cover = pointers(f.faces.polygons);
      Region next = subtract_union(remaining, cover);
      Region piece = subtract_union(remaining, pointers(next));
      if (region_area(piece) > sliver) {
        out.push_back({f.element, std::fmin(f.faces.body.hi, hi), std::move(piece)});
      }
      remaining = std::move(next);
    }
  }
  if (region_area(remaining) > sliver) out.push_back({no_piece, rest_depth, std::move(remaining)});
  return out;
}

struct PieceOpening {
  std::uint64_t opening = 0;
  Polygon polygon;  // in the piece's frame
};

// The openings on one polygon of a piece: their faces in the band, cut to it.
std::vector<PieceOpening> openings_on(const BuildingInputs& in, const Frame& fr, const Polygon& piece,
                                      double lo, double hi, double sliver) {
  std::vector<PieceOpening> out;
  if (in.aperture_faces.empty()) return out;
  const bool slab = is_slab_normal(fr.normal);
  const Box2 reach = bounds(piece);
  std::vector<std::size_t> hits;
  in.aperture_index->query(band_box(fr, reach, lo, hi, in.settings.distance), 0, hits);
  const Region whole{piece};
  for_each_mesh(in.aperture_faces, hits, [&](std::size_t m, std::size_t first, std::size_t end) {
    if (!opening_admits(in, m, slab)) return;
    SideFaces faces = side_faces(in, in.apertures, in.aperture_faces, hits, first, end, fr, lo, hi);
    if (faces.polygons.empty()) return;
    Box2 box;
    for (const Polygon& p : faces.polygons) box.add(p);
    if (!overlap_has_area(box, reach)) return;
    const Region outside = subtract_union(whole, pointers(faces.polygons));
    for (Polygon& p : subtract_union(whole, pointers(outside))) {
      if (!(polygon_area(p) > sliver)) continue;
      p.holes.clear();
      orient(p);
      out.push_back({m, std::move(p)});
    }
  });
  return out;
}

// One polygon of a contact, as seen from each of its two rooms.
struct Side {
  std::size_t sheet = no_piece;
  Polygon polygon;  // in the sheet's frame
  std::vector<PieceOpening> openings;
};

struct EdgePiece {
  Side a, b;
  std::size_t element = no_piece;
  double depth = 0.0;
};

struct RoomPiece {
  std::size_t sheet = 0;
  Polygon polygon;
  std::size_t element = no_piece;
  double depth = 0.0;
  std::vector<PieceOpening> openings;
};

Vector3D newell(const std::vector<Vector3D>& points, std::size_t first, std::size_t end) {
  Vector3D n{0.0, 0.0, 0.0};
  for (std::size_t k = first; k + 1 < end; ++k) {
    const Vector3D& p = points[k];
    const Vector3D& q = points[k + 1];
    n.x += (p.y - q.y) * (p.z + q.z);
    n.y += (p.z - q.z) * (p.x + q.x);
    n.z += (p.x - q.x) * (p.y + q.y);
  }
  const double length = std::sqrt(dot(n, n));
  return length > 0.0 ? n * (1.0 / length) : n;
}

class Boundaries {
 public:
  Boundaries(const BuildingInputs& in, const std::vector<BuildingEdge>& edges)
      : in_(in), edges_(edges), sheets_(in.meshes.size()), edge_pieces_(edges.size()),
        room_pieces_(in.meshes.size()) {}

  bool run(Execution execution) {
    if (!for_each_index(
            in_.meshes.size(), [&](std::size_t i) { sheets_[i] = room_sheets(in_, i); }, execution,
            in_.interrupt)) {
      return false;
    }
    if (!for_each_index(
            edges_.size(), [&](std::size_t k) { edge_pieces_[k] = contact_pieces(edges_[k]); },
            execution, in_.interrupt)) {
      return false;
    }
    on_room_.assign(in_.meshes.size(), {});
    for (std::size_t k = 0; k < edges_.size(); ++k) {
      on_room_[edges_[k].node_a].push_back(k);
      on_room_[edges_[k].node_b].push_back(k);
    }
    for (std::vector<std::size_t>& list : on_room_) {
      std::sort(list.begin(), list.end());
      list.erase(std::unique(list.begin(), list.end()), list.end());
    }
    return for_each_index(
        in_.meshes.size(), [&](std::size_t i) { room_pieces_[i] = remainder(i); }, execution,
        in_.interrupt);
  }

  std::vector<BoundaryPiece> pieces() const {
    std::vector<BoundaryPiece> out;
    // Position of each contact piece's two sides, for the pairing.
    std::vector<std::vector<std::array<std::size_t, 2>>> at(edges_.size());
    for (std::size_t k = 0; k < edges_.size(); ++k) {
      at[k].assign(edge_pieces_[k].size(), {no_piece, no_piece});
    }
    for (std::size_t i = 0; i < in_.meshes.size(); ++i) {
      for (std::size_t k : on_room_[i]) {
        const BuildingEdge& e = edges_[k];
        const int side = e.node_a == i ? 0 : 1;
        const std::size_t room = side == 0 ? e.node_a : e.node_b;
        const std::size_t other = side == 0 ? e.node_b : e.node_a;
        for (std::size_t q = 0; q < edge_pieces_[k].size(); ++q) {
          const EdgePiece& p = edge_pieces_[k][q];
          const Side& s = side == 0 ? p.a : p.b;
          if (s.sheet == no_piece) continue;
          at[k][q][side] = out.size();
          BoundaryPiece piece = emit(room, sheets_[room][s.sheet].frame, s.polygon, s.openings);
          piece.other = other;
          piece.edge = k;
          piece.element = p.element;
          piece.depth = p.depth;
          out.push_back(std::move(piece));
        }
      }
      for (const RoomPiece& p : room_pieces_[i]) {
        BoundaryPiece piece = emit(i, sheets_[i][p.sheet].frame, p.polygon, p.openings);
        piece.element = p.element;
        piece.depth = p.depth;
        out.push_back(std::move(piece));
      }
    }
    for (const auto& list : at) {
      for (const auto& pair : list) {
        if (pair[0] == no_piece || pair[1] == no_piece) continue;
        out[pair[0]].corresponding = pair[1];
        out[pair[1]].corresponding = pair[0];
      }
    }
    return out;
  }

 private:
  double gap_of(const Vector3D& n) const {
    return is_slab_normal(n) ? in_.settings.slab_gap : in_.settings.wall_gap;
  }

  std::vector<EdgePiece> contact_pieces(const BuildingEdge& e) const {
    std::vector<EdgePiece> out;
    const ContactRegion& r = e.region;
    const double d = in_.settings.distance;
    const std::vector<Sheet>& sheets_a = sheets_[e.node_a];
    const std::vector<Sheet>& sheets_b = sheets_[e.node_b];
    for (std::size_t ring = 0; ring + 1 < r.ring_offsets.size(); ++ring) {
      if (r.is_hole[ring]) continue;
      const std::size_t first = r.ring_offsets[ring];
      Vector3D n = newell(r.points, first, r.ring_offsets[ring + 1]);
      if (!(dot(n, n) > 0.5)) n = r.normal;
      const Vector3D& p0 = r.points[first];
      const std::size_t sa = find_sheet(sheets_a, n, p0, in_.parallel, 2.0 * d, false);
      if (sa == no_piece) continue;
      const Frame& fa = sheets_a[sa].frame;
      const std::size_t sb = find_sheet(sheets_b, n, p0, in_.parallel, gap_of(n) + 2.0 * d, true);
      Polygon polygon;
      auto ring_of = [&](std::size_t k) {
        Ring out;
        for (std::size_t q = r.ring_offsets[k]; q < r.ring_offsets[k + 1]; ++q) {
          out.push_back(fa.to_plane(r.points[q]));
        }
        return out;
      };
      polygon.outer = ring_of(ring);
      for (std::size_t h = ring + 1; h + 1 < r.ring_offsets.size() && r.is_hole[h]; ++h) {
        polygon.holes.push_back(ring_of(h));
      }
      orient(polygon);
      const double depth = sb == no_piece ? 0.0 : std::fabs(sheets_b[sb].frame.height(p0));
      const double sliver = sliver_share * polygon_area(polygon);
      const bool open_middle = depth > 2.0 * d;
      for (Split& split : split_by_elements(in_, fa, Region{polygon}, -d, depth + d, d,
                                            open_middle ? depth - d : INFINITY, depth, sliver)) {
        for (Polygon& p : split.region) {
          EdgePiece piece;
          piece.element = split.element;
          piece.depth = depth;
          orient(p);
          const double proud = depth + d;
          piece.a.sheet = sa;
          piece.a.openings = openings_on(in_, fa, p, -d - proud, depth + d + proud, sliver);
          if (sb != no_piece) {
            const Frame& fb = sheets_b[sb].frame;
            piece.b.sheet = sb;
            piece.b.polygon = move(p, fa, fb);
            for (const PieceOpening& o : piece.a.openings) {
              piece.b.openings.push_back({o.opening, move(o.polygon, fa, fb)});
            }
          }
          piece.a.polygon = std::move(p);
          out.push_back(std::move(piece));
        }
      }
    }
    return out;
  }

  std::vector<RoomPiece> remainder(std::size_t i) const {
    std::vector<RoomPiece> out;
    const double d = in_.settings.distance;
    const std::vector<Sheet>& sheets = sheets_[i];
    std::vector<std::vector<const Polygon*>> claimed(sheets.size());
    for (std::size_t k : on_room_[i]) {
      const bool a = edges_[k].node_a == i;
      for (const EdgePiece& p : edge_pieces_[k]) {
        const Side& s = a ? p.a : p.b;
        if (s.sheet != no_piece) claimed[s.sheet].push_back(&s.polygon);
      }
    }
    for (std::size_t s = 0; s < sheets.size(); ++s) {
      const Sheet& sheet = sheets[s];
      const double sliver = sliver_share * sheet.area;
      const Region rest = claimed[s].empty() ? sheet.region : subtract_union(sheet.region, claimed[s]);
      if (!(region_area(rest) > sliver)) continue;
      const double gap = gap_of(sheet.frame.normal);
      for (Split& split :
           split_by_elements(in_, sheet.frame, rest, -d, gap + d, d, INFINITY, 0.0, sliver)) {
        for (Polygon& p : split.region) {
          orient(p);
          RoomPiece piece;
          piece.sheet = s;
          piece.element = split.element;
          piece.depth = split.depth;
          const double proud = std::fmax(split.depth, d) + d;
          piece.openings = openings_on(in_, sheet.frame, p, -d - proud, split.depth + d + proud, sliver);
          piece.polygon = std::move(p);
          out.push_back(std::move(piece));
        }
      }
    }
    return out;
  }

  static BoundaryPiece emit(std::size_t room, const Frame& fr, const Polygon& p,
                            const std::vector<PieceOpening>& openings) {
    BoundaryPiece out;
    out.room = room;
    out.normal = fr.normal;
    out.ring_offsets.push_back(0);
    auto add = [&](const Ring& ring) {
      for (const Point2& q : ring) out.points.push_back(fr.to_space(q));
      out.ring_offsets.push_back(out.points.size());
    };
    add(p.outer);
    for (const Ring& hole : p.holes) add(hole);
    out.area = polygon_area(p);
    for (const PieceOpening& o : openings) {
      BoundaryOpening opening;
      opening.opening = o.opening;
      for (const Point2& q : o.polygon.outer) opening.ring.push_back(fr.to_space(q));
      opening.area = polygon_area(o.polygon);
      out.openings.push_back(std::move(opening));
    }
    return out;
  }

  const BuildingInputs& in_;
  const std::vector<BuildingEdge>& edges_;
  std::vector<std::vector<Sheet>> sheets_;
  std::vector<std::vector<EdgePiece>> edge_pieces_;
  std::vector<std::vector<RoomPiece>> room_pieces_;
  std::vector<std::vector<std::size_t>> on_room_;
};

}  // namespace

Result<BoundaryGraph> compile_space_boundaries(const Registry& registry,
                                               const BuildingSettings& settings,
                                               const BuildingExtras& extras, Interrupt* interrupt,
                                               Execution execution) {
  BuildingExtras with_regions = extras;
  with_regions.keep_regions = true;
  with_regions.gross_regions = true;
  std::unique_ptr<PreparedBuilding> prepared;
  Result<BuildingGraph> built =
      compile_building(registry, settings, with_regions, interrupt, execution, &prepared);
  if (!built) return fail(built.error().kind, built.error().message);
  BoundaryGraph out;
  out.graph = std::move(*built);
  if (prepared == nullptr) {
    // Fewer than two rooms: nothing was prepared, so prepare now for the sheets.
    prepared = prepare_building(registry, settings, with_regions, interrupt, execution);
  }
  Boundaries boundaries(prepared->inputs, out.graph.edges);
  if (!boundaries.run(execution) || (interrupt != nullptr && interrupt->stopped())) {
    return fail(ErrorKind::interrupted, "interrupted");
  }
  out.pieces = boundaries.pieces();
  for (BuildingEdge& e : out.graph.edges) e.region = ContactRegion();
  return out;
}

}  // namespace kovalith
