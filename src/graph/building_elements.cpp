// Elements behind a contact: the walls, slabs, coverings (or virtual
// boundaries) whose bodies fill the gap between a pair's two faces, and the
// stairs and ramps whose bodies pass through a floor build-up.
#include <cmath>

#include "graph/building_search.h"

namespace kovalith {
namespace {

// The part of the face whose distance from the pair's plane lies in
// [lo, hi], projected into the pair's frame (Sutherland-Hodgman against the
// two planes, interpolating the projection along each cut edge).
void clip_to_band(const Mesh& mesh, std::span<const Index> face, const PairGeometry& pair,
                  double lo, double hi, std::vector<BandCorner>& work, std::vector<BandCorner>& next,
                  Polygon& out) {
  work.clear();
  for (Index k : face) {
    const Vector3D d = mesh.vertices[k] - pair.o;
    work.push_back({{dot(d, pair.axes.u), dot(d, pair.axes.v)}, dot(d, pair.n)});
  }
  for (int side = 0; side < 2; ++side) {
    // Keep t >= lo on the first pass and t <= hi on the second.
    auto inside = [&](const BandCorner& c) { return side == 0 ? c.t >= lo : c.t <= hi; };
    const double limit = side == 0 ? lo : hi;
    next.clear();
    for (std::size_t q = 0; q < work.size(); ++q) {
      const BandCorner& a = work[q];
      const BandCorner& b = work[(q + 1) % work.size()];
      const bool in_a = inside(a), in_b = inside(b);
      if (in_a) next.push_back(a);
      if (in_a != in_b) {
        const double s = (limit - a.t) / (b.t - a.t);
        next.push_back({{a.p.x + s * (b.p.x - a.p.x), a.p.y + s * (b.p.y - a.p.y)}, limit});
      }
    }
    work.swap(next);
  }
  out.holes.clear();
  out.outer.clear();
  for (const BandCorner& c : work) out.outer.push_back(c.p);
  if (!out.outer.empty()) out.outer.push_back(out.outer.front());
}

}  // namespace

void find_elements(const BuildingInputs& in, const PairGeometry& pair, const Region& region,
                   std::vector<std::uint64_t>& elements, std::vector<std::uint64_t>& crossings) {
  if (in.element_faces.empty()) return;
  const double d = in.settings.distance;
  BuildingScratch& s = building_scratch();
  s.side_hits.clear();
  in.element_index->query(pair.between(d), 0, s.side_hits);
  if (s.side_hits.empty()) return;
  const double region_area = measure(region).area();
  const Box2 reach = bounds(region);
  // The open gap between the faces, where an element's body must reach:
  // a body only touching f's plane or g's stands beside the gap, not in it.
  const double open_lo = d, open_hi = pair.t.lo - d;
  const bool has_interior = open_hi > open_lo;

  auto covers = [&](std::size_t count) {
    if (count == 0) return false;
    s.pointers.clear();
    for (std::size_t q = 0; q < count; ++q) {
      if (overlap_has_area(bounds(s.polygons[q]), reach)) s.pointers.push_back(&s.polygons[q]);
    }
    if (s.pointers.empty()) return false;
    return region_area - measure_difference(region, s.pointers).area() > pair.sliver;
  };

  std::size_t first = 0;
  while (first < s.side_hits.size()) {
    const std::size_t e = in.element_faces[s.side_hits[first]].mesh;
    std::size_t end = first;
    while (end < s.side_hits.size() && in.element_faces[s.side_hits[end]].mesh == e) ++end;
    const Mesh& mesh = in.elements[e];
    const ElementKind kind = in.element_kinds.empty() ? ElementKind::physical : in.element_kinds[e];
    Span body;
    for (std::size_t q = first; q < end; ++q) {
      const Span ts = distances(mesh, mesh.face(in.element_faces[s.side_hits[q]].face), pair.o, pair.n);
      body.lo = std::fmin(body.lo, ts.lo);
      body.hi = std::fmax(body.hi, ts.hi);
    }
    std::size_t count = 0;
    if (kind == ElementKind::crossing) {
      // From f's plane through to g's, and out beyond at least one of them:
      // a body that stays inside the build-up is part of it, not a way through.
      const bool crosses = pair.slab && body.lo <= d && body.hi >= pair.t.lo - d &&
                           (body.lo < -d || body.hi > pair.t.hi + d);
      if (crosses) {
        for (std::size_t q = first; q < end; ++q) {
          const MeshFace& entry = in.element_faces[s.side_hits[q]];
          clip_to_band(mesh, mesh.face(entry.face), pair, pair.low(d), pair.high(d), s.band, s.band_next,
                       pool_slot(s.polygons, count + 1));
          if (s.polygons[count].outer.size() >= 4) ++count;
        }
        if (covers(count)) crossings.push_back(e);
      }
    } else if (!has_interior || (body.hi > open_lo && body.lo < open_hi)) {
      for (std::size_t q = first; q < end; ++q) {
        const MeshFace& entry = in.element_faces[s.side_hits[q]];
        if (project_in_slab(in, pair, mesh, mesh.face(entry.face), entry.normal,
                            pool_slot(s.polygons, count + 1))) {
          ++count;
        }
      }
      if (covers(count)) elements.push_back(e);
    }
    first = end;
  }
}

}  // namespace kovalith
