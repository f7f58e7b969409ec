// Opening attribution: which openings cut a face pair's region, what they
// remove, and how much of each lies there (so that the merged edge lists only
// the openings that lie mostly in it).
#include <algorithm>
#include <cmath>

#include "graph/building_search.h"

namespace kovalith {
namespace {

// Above this many faces an opening's cross-section is taken from the faces
// near the pair only: a mesh that large is no door, and reading all of it
// for every contact it meets would make its size a factor of the search.
constexpr std::size_t whole_opening_faces = 64;

// The area the polygons cover together without the clipper where that is
// plain: one polygon, or convex copies of one polygon (the two faces of an
// opening box through a wall); NaN when it is not.
double plain_union_area(std::span<const Polygon* const> polygons) {
  const Polygon& first = *polygons.front();
  if (!first.holes.empty()) return NAN;
  if (polygons.size() == 1) return polygon_area(first);
  double sign = 0.0;
  if (!is_convex_ring(first.outer, sign)) return NAN;
  Ring corners(first.outer.begin(), first.outer.end() - 1);
  auto by_xy = [](const Point2& a, const Point2& b) { return a.x < b.x || (a.x == b.x && a.y < b.y); };
  std::sort(corners.begin(), corners.end(), by_xy);
  for (const Polygon* p : polygons.subspan(1)) {
    if (!p->holes.empty() || p->outer.size() != first.outer.size()) return NAN;
    Ring other(p->outer.begin(), p->outer.end() - 1);
    std::sort(other.begin(), other.end(), by_xy);
    if (other != corners) return NAN;
  }
  return polygon_area(first);
}

double union_area(std::span<const Polygon* const> polygons) {
  if (polygons.empty()) return 0.0;
  const double plain = plain_union_area(polygons);
  if (!std::isnan(plain)) return plain;
  Box2 box;
  for (const Polygon* p : polygons) box.add(*p);
  const Region whole{rectangle(box)};
  return std::fmax(0.0, measure(whole).area() - measure_difference(whole, polygons).area());
}

// The opening's cross-section in the pair's plane: the union of its faces
// parallel to the pair that lie in the slab.
double cross_section(const BuildingInputs& in, const PairGeometry& pair, std::size_t m,
                     std::span<const Polygon* const> near) {
  const Mesh& mesh = in.apertures[m];
  if (mesh.face_count() > whole_opening_faces) return union_area(near);
  BuildingScratch& s = building_scratch();
  std::vector<const Polygon*> faces;
  std::size_t count = 0;
  for (std::size_t f = 0; f < mesh.face_count(); ++f) {
    const std::optional<FacePlane> plane = face_plane(mesh.vertices, mesh.face(f));
    if (!plane) continue;
    if (project_in_slab(in, pair, mesh, mesh.face(f), plane->normal, pool_slot(s.more, count + 1))) ++count;
  }
  // An opening that spans the wall has no face in it: its faces near the
  // pair give the cross-section.
  if (count == 0) return union_area(near);
  faces.reserve(count);
  for (std::size_t q = 0; q < count; ++q) faces.push_back(&s.more[q]);
  return union_area(faces);
}

}  // namespace

bool opening_admits(const BuildingInputs& in, std::size_t mesh, bool slab) {
  if (in.orientations.empty()) return true;
  switch (in.orientations[mesh]) {
    case OpeningOrientation::wall:
      return !slab;
    case OpeningOrientation::slab:
      return slab;
    case OpeningOrientation::any:
      break;
  }
  return true;
}

RegionMeasure cut_openings(const BuildingInputs& in, const PairGeometry& pair,
                           const Region& region, std::vector<OpeningPiece>& pieces, Region* net_region) {
  const RegionMeasure open = measure(region);
  if (net_region != nullptr) *net_region = region;
  if (in.aperture_faces.empty()) return open;
  BuildingScratch& s = building_scratch();
  s.side_hits.clear();
  // Opening boxes often stand proud of the wall's faces (so that they cut it
  // cleanly), by up to a wall's thickness here: the query reaches that far.
  const double d = in.settings.distance;
  const double proud = std::fmax(0.0, pair.t.hi) + d;
  in.aperture_index->query(pair.between(d + proud), 0, s.side_hits);
  const Box2 reach = bounds(region);
  s.runs.clear();
  std::size_t count = 0;
  std::size_t first = 0;
  while (first < s.side_hits.size()) {
    // Thousands of openings over one contact make one long task: the
    // caller's result is dropped once a stop is seen, so stop here too.
    if (interrupted(in.interrupt)) return open;
    const std::size_t m = in.aperture_faces[s.side_hits[first]].mesh;
    std::size_t end = first;
    while (end < s.side_hits.size() && in.aperture_faces[s.side_hits[end]].mesh == m) ++end;
    if (!opening_admits(in, m, pair.slab)) {
      first = end;
      continue;
    }
    const Mesh& mesh = in.apertures[m];
    const std::size_t run_start = count;
    // Faces of one opening come in a row (the index reports them in
    // registry order): those lying in the wall or slab cut it.
    bool near_side = false, far_side = false;
    for (std::size_t q = first; q < end; ++q) {
      const MeshFace& entry = in.aperture_faces[s.side_hits[q]];
      Polygon& p = pool_slot(s.polygons, count + 1);
      if (project_in_slab(in, pair, mesh, mesh.face(entry.face), entry.normal, p)) {
        if (overlap_has_area(bounds(p), reach)) ++count;
      } else if (std::fabs(dot(pair.n, entry.normal)) > in.parallel) {
        const Span ta = distances(mesh, mesh.face(entry.face), pair.o, pair.n);
        near_side = near_side || (ta.hi < pair.low(d) && ta.lo >= pair.low(d) - proud);
        far_side = far_side || (ta.lo > pair.high(d) && ta.hi <= pair.high(d) + proud);
      }
    }
    // No face inside, but faces just proud of both sides: the opening's body
    // spans the wall or slab, and its faces outside give its section.
    if (count == run_start && near_side && far_side) {
      for (std::size_t q = first; q < end; ++q) {
        const MeshFace& entry = in.aperture_faces[s.side_hits[q]];
        if (!(std::fabs(dot(pair.n, entry.normal)) > in.parallel)) continue;
        Polygon& p = pool_slot(s.polygons, count + 1);
        project_into(p, mesh, mesh.face(entry.face), pair.o, pair.axes);
        if (overlap_has_area(bounds(p), reach)) ++count;
      }
    }
    if (count > run_start) s.runs.emplace_back(m, run_start);
    first = end;
  }
  if (count == 0) return open;
  s.pointers.clear();
  for (std::size_t q = 0; q < count; ++q) s.pointers.push_back(&s.polygons[q]);
  const RegionMeasure net = measure_difference(region, s.pointers);
  if (net_region != nullptr) *net_region = subtract_union(region, s.pointers);
  const std::span<const Polygon* const> all(s.pointers);
  // A convex region (a wall's rectangle) holds an opening wholly when it
  // holds its corners: then no clipper pass is needed to measure its part.
  double convex_sign = 0.0;
  const bool convex = region.size() == 1 && region.front().holes.empty() &&
                      is_convex_ring(region.front().outer, convex_sign);
  auto contained = [&](std::span<const Polygon* const> own) {
    if (!convex) return false;
    for (const Polygon* p : own) {
      for (const Point2& q : p->outer) {
        if (!inside_convex_ring(region.front().outer, convex_sign, q)) return false;
      }
    }
    return true;
  };
  for (std::size_t r = 0; r < s.runs.size(); ++r) {
    if (interrupted(in.interrupt)) return net;
    const std::size_t first = s.runs[r].second;
    const std::size_t end = r + 1 < s.runs.size() ? s.runs[r + 1].second : count;
    const std::span<const Polygon* const> own = all.subspan(first, end - first);
    const double inside = s.runs.size() == 1 ? open.area() - net.area()
                          : contained(own)   ? union_area(own)
                                             : open.area() - measure_difference(region, own).area();
    if (!(inside > pair.sliver)) continue;
    const std::uint64_t m = s.runs[r].first;
    pieces.push_back({m, inside, cross_section(in, pair, static_cast<std::size_t>(m), own)});
  }
  return net;
}

}  // namespace kovalith
