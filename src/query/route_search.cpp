#include "query/route_search.h"

#include <algorithm>

namespace kovalith {
namespace {

struct QueueEntry {
  double distance;
  RouteId node;
};

// Min-heap order on (distance, position). Distances in the heap are never
// NaN (a NaN never passes the strict relaxation test), so this is a strict
// weak order.
struct Later {
  bool operator()(const QueueEntry& l, const QueueEntry& r) const noexcept {
    return l.distance > r.distance || (l.distance == r.distance && l.node > r.node);
  }
};

// Settled rooms between two polls of the interrupt: the poll reads a clock,
// which costs about as much as settling a few rooms.
constexpr unsigned poll_every = 4096;

}  // namespace

Result<RouteTree> search_routes(const RouteIndex& index, const RouteRequest& request,
                                Interrupt* interrupt) {
  const std::size_t n = index.node_count();
  RouteTree tree;
  tree.distance.assign(n, unreached_distance);
  tree.predecessor.assign(n, no_route_id);
  tree.entry.assign(n, no_route_id);
  if (request.track_origin) tree.origin.assign(n, no_route_id);

  const RouteId* first = index.first.data();
  const RouteId* node = index.node.data();
  const double* cost = request.cost.data();
  double* distance = tree.distance.data();
  RouteId* predecessor = tree.predecessor.data();
  RouteId* entry = tree.entry.data();
  const double limit = request.limit;

  // Every unsettled room with a known distance has exactly one entry holding
  // that distance; older entries for it carry larger distances (distances
  // only decrease) and are skipped when they surface. A settled room's entry
  // is popped once: later relaxations cannot lower a settled distance (costs
  // are non-negative), so no second entry with its final distance is pushed
  // and no visited flags are needed.
  std::vector<QueueEntry> heap;
  heap.reserve(request.sources.size() + 64);
  for (const RouteId s : request.sources) {
    if (distance[s] == 0.0) continue;  // a repeated source
    distance[s] = 0.0;
    if (request.track_origin) tree.origin[s] = s;
    heap.push_back({0.0, s});
  }
  std::make_heap(heap.begin(), heap.end(), Later{});

  unsigned until_poll = poll_every;
  while (!heap.empty()) {
    std::pop_heap(heap.begin(), heap.end(), Later{});
    const QueueEntry top = heap.back();
    heap.pop_back();
    const RouteId u = top.node;
    if (top.distance != distance[u]) continue;
    if (u == request.target) break;
    if (--until_poll == 0) {
      until_poll = poll_every;
      if (interrupted(interrupt)) return fail(ErrorKind::interrupted, "interrupted");
    }
    const double du = top.distance;
    for (RouteId i = first[u]; i < first[u + 1]; ++i) {
      const RouteId v = node[i];
      const double alt = cost[i] + du;
      if (distance[v] > alt && alt <= limit) {
        distance[v] = alt;
        predecessor[v] = u;
        entry[v] = i;
        if (request.track_origin) tree.origin[v] = tree.origin[u];
        heap.push_back({alt, v});
        std::push_heap(heap.begin(), heap.end(), Later{});
      }
    }
  }
  return tree;
}

RoomRoute route_to(const RouteIndex& index, const RouteTree& tree, RouteId end) {
  RoomRoute route;
  if (tree.distance[end] == unreached_distance) return route;
  route.length = tree.distance[end];
  for (RouteId x = end; x != no_route_id; x = tree.predecessor[x]) {
    route.rooms.push_back(x);
    if (tree.entry[x] != no_route_id) route.edges.push_back(index.edge[tree.entry[x]]);
  }
  std::reverse(route.rooms.begin(), route.rooms.end());
  std::reverse(route.edges.begin(), route.edges.end());
  return route;
}

}  // namespace kovalith
