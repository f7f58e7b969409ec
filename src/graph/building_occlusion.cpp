// Occlusion: where a third room's face lies between the two faces of a pair,
// the rooms behind it are nearer, and that part of the region is theirs.
#include <cmath>

#include "graph/building_search.h"

namespace kovalith {

// A face that faces f has its room beyond it, so it may lie on f's plane but
// not on g's; a face that faces g the other way round.
Region remove_occluded(const BuildingInputs& in, const PairGeometry& pair,
                       std::span<const std::size_t> hits, Region region) {
  const BuildingSettings& set = in.settings;
  BuildingScratch& s = building_scratch();
  const Box2 reach = bounds(region);
  std::size_t count = 0;
  for (std::size_t leaf : hits) {
    const std::size_t k = static_cast<std::size_t>(in.leaves[leaf].mesh_index);
    if (k == pair.i || k == pair.j) continue;
    const std::optional<FacePlane>& plane = in.planes[leaf];
    if (!plane) continue;
    const double c = dot(pair.n, plane->normal);
    if (!(std::fabs(c) > in.parallel)) continue;
    const Mesh& mesh = in.meshes[k];
    const std::span<const Index> h = mesh.face(static_cast<std::size_t>(in.leaves[leaf].face_index));
    const Span th = distances(mesh, h, pair.o, pair.n);
    if (!(th.lo >= -set.distance && th.hi <= pair.t.hi + set.distance)) continue;
    if (c < 0.0 ? !(th.mean < pair.t.lo - set.distance) : !(th.mean > set.distance)) continue;
    Polygon& p = pool_slot(s.polygons, count + 1);
    project_into(p, mesh, h, pair.o, pair.axes);
    if (overlap_has_area(bounds(p), reach)) ++count;
  }
  if (count == 0) return region;
  s.pointers.clear();
  for (std::size_t q = 0; q < count; ++q) s.pointers.push_back(&s.polygons[q]);
  return subtract_union(region, s.pointers);
}

}  // namespace kovalith
