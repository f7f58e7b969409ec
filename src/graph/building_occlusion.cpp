// Occlusion: where a third room's face lies between the two faces of a pair,
// the rooms behind it are nearer, and that part of the region is theirs.
#include <algorithm>
#include <cmath>

#include "graph/building_search.h"

namespace kovalith {

// A face that faces f has its room beyond it, so it may lie on f's plane but
// not on g's; a face that faces g the other way round.
Region remove_occluded(const BuildingInputs& in, const PairGeometry& pair,
                       std::span<const NearFace> near, Region region) {
  const BuildingSettings& set = in.settings;
  BuildingScratch& s = building_scratch();
  s.occluders.clear();
  for (std::size_t q = 0; q < near.size(); ++q) {
    const NearFace& h = near[q];
    if (h.room == pair.i || h.room == pair.j) continue;
    const Span& th = h.t;
    if (!(th.lo >= -set.distance && th.hi <= pair.t.hi + set.distance)) continue;
    if (h.cosine < 0.0 ? !(th.mean < pair.t.lo - set.distance) : !(th.mean > set.distance)) continue;
    s.occluders.push_back(q);
  }
  // In face order, whatever order the search fetched them in: the union's
  // rounding then never depends on it.
  std::sort(s.occluders.begin(), s.occluders.end(),
            [&](std::size_t x, std::size_t y) { return near[x].leaf < near[y].leaf; });
  const Box2 reach = bounds(region);
  std::size_t count = 0;
  for (std::size_t q : s.occluders) {
    const NearFace& h = near[q];
    const Mesh& mesh = in.meshes[h.room];
    Polygon& p = pool_slot(s.polygons, count + 1);
    project_into(p, mesh, mesh.face(static_cast<std::size_t>(in.leaves[h.leaf].face_index)),
                 pair.o, pair.axes);
    if (overlap_has_area(bounds(p), reach)) ++count;
  }
  if (count == 0) return region;
  s.pointers.clear();
  for (std::size_t q = 0; q < count; ++q) s.pointers.push_back(&s.polygons[q]);
  return subtract_union(region, s.pointers);
}

}  // namespace kovalith
