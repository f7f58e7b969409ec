#include "query/route_search.h"

#include <algorithm>
#include <bit>

namespace kovalith {
namespace {

// A queue key: the distance's bits above the room position, so that one
// unsigned comparison orders by (distance, position). Distances in the queue
// are finite and non-negative (a NaN or infinite sum never passes the strict
// relaxation test, and costs are non-negative), and the bit patterns of such
// doubles order as the values do.
using QueueKey = unsigned __int128;

inline QueueKey queue_key(double distance, RouteId node) noexcept {
  return (static_cast<QueueKey>(std::bit_cast<std::uint64_t>(distance)) << 32) | node;
}
inline RouteId key_node(QueueKey key) noexcept { return static_cast<RouteId>(key); }
inline double key_distance(QueueKey key) noexcept {
  return std::bit_cast<double>(static_cast<std::uint64_t>(key >> 32));
}

// A 4-ary min-heap: half the depth of a binary heap, and the four children
// of a slot share one cache line. Pops dominate a search, so they sink the
// hole left by the top to a leaf without comparing against the moved element
// on the way down, then let that element rise (it usually rises little: it
// came from the bottom).
class Queue {
 public:
  bool empty() const noexcept { return items_.empty(); }
  void reserve(std::size_t n) { items_.reserve(n); }

  void push(QueueKey key) {
    items_.push_back(key);
    rise(items_.size() - 1, key);
  }

  QueueKey pop() noexcept {
    const QueueKey top = items_.front();
    const QueueKey last = items_.back();
    items_.pop_back();
    const std::size_t n = items_.size();
    if (n == 0) return top;
    std::size_t hole = 0;
    for (;;) {
      const std::size_t child = arity * hole + 1;
      if (child + arity <= n) {
        // The common case: four children, picked without branches.
        const QueueKey* c = &items_[child];
        const std::size_t low = c[1] < c[0] ? 1 : 0;
        const std::size_t high = c[3] < c[2] ? 3 : 2;
        const std::size_t best = c[high] < c[low] ? high : low;
        items_[hole] = c[best];
        hole = child + best;
        continue;
      }
      if (child >= n) break;
      std::size_t best = child;
      for (std::size_t k = child + 1; k < n; ++k) {
        if (items_[k] < items_[best]) best = k;
      }
      items_[hole] = items_[best];
      hole = best;
    }
    rise(hole, last);
    return top;
  }

 private:
  static constexpr std::size_t arity = 4;

  void rise(std::size_t hole, QueueKey key) noexcept {
    while (hole > 0) {
      const std::size_t parent = (hole - 1) / arity;
      if (!(key < items_[parent])) break;
      items_[hole] = items_[parent];
      hole = parent;
    }
    items_[hole] = key;
  }

  std::vector<QueueKey> items_;
};

// Settled rooms between two polls of the interrupt: the poll reads a clock,
// which costs about as much as settling a few rooms.
constexpr unsigned poll_every = 4096;

}  // namespace

Result<RouteTree> search_routes(const RouteIndex& index, const RouteRequest& request,
                                Interrupt* interrupt) {
  const std::size_t n = index.node_count();
  RouteTree tree;
  tree.room.assign(n, RoomState{unreached_distance, no_route_id, no_route_id});
  if (request.track_origin) tree.origin.assign(n, no_route_id);

  const RouteId* first = index.first.data();
  const RouteEntry* entries = request.entries.data();
  RoomState* room = tree.room.data();
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
    if (room[s].distance == 0.0) continue;  // a repeated source
    room[s].distance = 0.0;
    if (request.track_origin) tree.origin[s] = s;
    heap.push(queue_key(0.0, s));
  }

  unsigned until_poll = poll_every;
  while (!heap.empty()) {
    const QueueKey top = heap.pop();
    const RouteId u = key_node(top);
    const double du = key_distance(top);
    if (du != room[u].distance) continue;
    if (u == request.target) break;
    if (--until_poll == 0) {
      until_poll = poll_every;
      if (interrupted(interrupt)) return fail(ErrorKind::interrupted, "interrupted");
    }
    for (RouteId i = first[u]; i < first[u + 1]; ++i) {
      const RouteId v = entries[i].node;
      const double alt = entries[i].cost + du;
      if (room[v].distance > alt && alt <= limit) {
        room[v] = {alt, u, i};
        // v's list is read when v is settled, typically after the few
        // hundred rooms of the search front ahead of it: start loading it
        // now, while this room's work goes on.
        __builtin_prefetch(entries + first[v]);
        if (request.track_origin) tree.origin[v] = tree.origin[u];
        heap.push(queue_key(alt, v));
      }
    }
  }
  return tree;
}

RoomRoute route_to(const RouteIndex& index, const RouteTree& tree, RouteId end) {
  RoomRoute route;
  if (tree.room[end].distance == unreached_distance) return route;
  route.length = tree.room[end].distance;
  for (RouteId x = end; x != no_route_id; x = tree.room[x].predecessor) {
    route.rooms.push_back(x);
    const RouteId i = tree.room[x].entry;
    if (i != no_route_id) route.edges.push_back(index.edge[i]);
  }
  std::reverse(route.rooms.begin(), route.rooms.end());
  std::reverse(route.edges.begin(), route.edges.end());
  return route;
}

}  // namespace kovalith
