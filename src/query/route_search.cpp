#include "query/route_search.h"

#include <algorithm>

namespace kovalith {
namespace {

struct QueueEntry {
  double distance;
  RouteId node;
};

// (distance, position) order. Distances in the queue are never NaN (a NaN
// never passes the strict relaxation test), so this is a strict weak order.
inline bool before(const QueueEntry& l, const QueueEntry& r) noexcept {
  return l.distance < r.distance || (l.distance == r.distance && l.node < r.node);
}

// A 4-ary min-heap: half the depth of a binary heap, and the four children
// of a slot share a cache line or two. Pops dominate a search, so they sink
// the hole left by the top to a leaf without comparing against the moved
// element on the way down, then let that element rise (it usually rises
// little: it came from the bottom).
class Queue {
 public:
  bool empty() const noexcept { return items_.empty(); }
  void reserve(std::size_t n) { items_.reserve(n); }

  void push(QueueEntry entry) {
    items_.push_back(entry);
    rise(items_.size() - 1, entry);
  }

  QueueEntry pop() noexcept {
    const QueueEntry top = items_.front();
    const QueueEntry last = items_.back();
    items_.pop_back();
    const std::size_t n = items_.size();
    if (n == 0) return top;
    std::size_t hole = 0;
    for (;;) {
      const std::size_t child = arity * hole + 1;
      if (child >= n) break;
      std::size_t best = child;
      const std::size_t end = std::min(child + arity, n);
      for (std::size_t c = child + 1; c < end; ++c) {
        if (before(items_[c], items_[best])) best = c;
      }
      items_[hole] = items_[best];
      hole = best;
    }
    rise(hole, last);
    return top;
  }

 private:
  static constexpr std::size_t arity = 4;

  void rise(std::size_t hole, QueueEntry entry) noexcept {
    while (hole > 0) {
      const std::size_t parent = (hole - 1) / arity;
      if (!before(entry, items_[parent])) break;
      items_[hole] = items_[parent];
      hole = parent;
    }
    items_[hole] = entry;
  }

  std::vector<QueueEntry> items_;
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
  tree.arrival.assign(n, Arrival{no_route_id, no_route_id});
  if (request.track_origin) tree.origin.assign(n, no_route_id);

  const RouteId* first = index.first.data();
  const RouteEntry* entries = request.entries.data();
  double* distance = tree.distance.data();
  Arrival* arrival = tree.arrival.data();
  const double limit = request.limit;

  // Every unsettled room with a known distance has exactly one entry holding
  // that distance; older entries for it carry larger distances (distances
  // only decrease) and are skipped when they surface. A settled room's entry
  // is popped once: later relaxations cannot lower a settled distance (costs
  // are non-negative), so no second entry with its final distance is pushed
  // and no visited flags are needed.
  Queue heap;
  heap.reserve(request.sources.size() + 64);
  for (const RouteId s : request.sources) {
    if (distance[s] == 0.0) continue;  // a repeated source
    distance[s] = 0.0;
    if (request.track_origin) tree.origin[s] = s;
    heap.push({0.0, s});
  }

  unsigned until_poll = poll_every;
  while (!heap.empty()) {
    const QueueEntry top = heap.pop();
    const RouteId u = top.node;
    if (top.distance != distance[u]) continue;
    if (u == request.target) break;
    if (--until_poll == 0) {
      until_poll = poll_every;
      if (interrupted(interrupt)) return fail(ErrorKind::interrupted, "interrupted");
    }
    const double du = top.distance;
    for (RouteId i = first[u]; i < first[u + 1]; ++i) {
      const RouteEntry& e = entries[i];
      const RouteId v = e.node;
      const double alt = e.cost + du;
      if (distance[v] > alt && alt <= limit) {
        distance[v] = alt;
        arrival[v] = {u, i};
        if (request.track_origin) tree.origin[v] = tree.origin[u];
        heap.push({alt, v});
      }
    }
  }
  return tree;
}

RoomRoute route_to(const RouteIndex& index, const RouteTree& tree, RouteId end) {
  RoomRoute route;
  if (tree.distance[end] == unreached_distance) return route;
  route.length = tree.distance[end];
  for (RouteId x = end; x != no_route_id; x = tree.arrival[x].predecessor) {
    route.rooms.push_back(x);
    const RouteId i = tree.arrival[x].entry;
    if (i != no_route_id) route.edges.push_back(index.entries[i].edge);
  }
  std::reverse(route.rooms.begin(), route.rooms.end());
  std::reverse(route.edges.begin(), route.edges.end());
  return route;
}

}  // namespace kovalith
