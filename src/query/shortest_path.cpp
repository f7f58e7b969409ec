#include "query/shortest_path.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

namespace kovalith {
namespace {

// "No route known yet". Deliberately finite: a sum that overflows to +inf,
// or a NaN cost, then never compares below it.
constexpr double unreached = std::numeric_limits<double>::max();

double centroid_distance(const Vector3D& a, const Vector3D& b) {
  const double dx = a.x - b.x;
  const double dy = a.y - b.y;
  const double dz = a.z - b.z;
  return std::sqrt((dx * dx + dy * dy) + dz * dz);
}

Result<void> check_edges(std::size_t node_count, std::span<const EdgeEnds> edges) {
  for (std::size_t k = 0; k < edges.size(); ++k) {
    for (const std::uint64_t end : {edges[k].node_a, edges[k].node_b}) {
      if (end >= node_count) {
        return fail(ErrorKind::index, "Edge " + std::to_string(k) +
                                          " references out-of-bounds node " +
                                          std::to_string(end) + ".");
      }
    }
  }
  return {};
}

// Neighbour lists in flat arrays (node u's list is entries [first[u],
// first[u + 1]) of `node` and `cost`), entries in edge-list order. Id is the
// narrowest unsigned type that holds every node position and entry count:
// on large graphs the search is bound by memory traffic, not arithmetic.
template <class Id>
struct Adjacency {
  std::vector<Id> first;
  std::vector<Id> node;
  std::vector<double> cost;
};

template <class Id>
Adjacency<Id> build_adjacency(std::span<const Vector3D> centroids,
                              std::span<const EdgeEnds> edges) {
  const std::size_t n = centroids.size();
  Adjacency<Id> adj;
  adj.first.assign(n + 1, 0);
  for (const EdgeEnds& e : edges) {
    ++adj.first[e.node_a + 1];
    ++adj.first[e.node_b + 1];
  }
  for (std::size_t u = 0; u < n; ++u) adj.first[u + 1] += adj.first[u];

  // Each edge appends (b, cost) to a's list, then (a, cost) to b's list; a
  // self-loop thus adds two entries to one list, in that order. first[u]
  // serves as u's fill cursor and ends at the old first[u + 1], so the
  // array is shifted back by one place afterwards.
  adj.node.resize(adj.first[n]);
  adj.cost.resize(adj.first[n]);
  for (const EdgeEnds& e : edges) {
    const double cost = centroid_distance(centroids[e.node_a], centroids[e.node_b]);
    const Id slot_a = adj.first[e.node_a]++;
    adj.node[slot_a] = static_cast<Id>(e.node_b);
    adj.cost[slot_a] = cost;
    const Id slot_b = adj.first[e.node_b]++;
    adj.node[slot_b] = static_cast<Id>(e.node_a);
    adj.cost[slot_b] = cost;
  }
  std::copy_backward(adj.first.begin(), adj.first.end() - 1, adj.first.end());
  adj.first[0] = 0;
  return adj;
}

template <class Id>
struct QueueEntry {
  double distance;
  Id node;
};

// Min-heap order on (distance, position). Distances in the heap are never
// NaN (a NaN never passes the strict relaxation test), so this is a strict
// weak order.
struct Later {
  template <class Entry>
  bool operator()(const Entry& l, const Entry& r) const {
    return l.distance > r.distance || (l.distance == r.distance && l.node > r.node);
  }
};

template <class Id>
std::vector<std::uint64_t> search(std::span<const Vector3D> centroids,
                                  std::span<const EdgeEnds> edges, Id start, Id end) {
  const std::size_t n = centroids.size();
  const Adjacency<Id> adj = build_adjacency<Id>(centroids, edges);
  constexpr Id no_predecessor = std::numeric_limits<Id>::max();

  std::vector<double> distance(n, unreached);
  std::vector<Id> predecessor(n, no_predecessor);
  std::vector<std::uint8_t> visited(n, 0);

  // Every unsettled node with a known distance has exactly one entry holding
  // that distance; older entries for it carry larger distances (distances
  // only decrease) and are skipped when they surface. The top valid entry is
  // therefore the lowest (distance, position) pair among unsettled reachable
  // nodes: the node a linear scan in position order would pick.
  std::vector<QueueEntry<Id>> heap;
  distance[start] = 0.0;
  heap.push_back({0.0, start});
  while (!heap.empty()) {
    std::pop_heap(heap.begin(), heap.end(), Later{});
    const QueueEntry<Id> top = heap.back();
    heap.pop_back();
    const Id u = top.node;
    if (visited[u] || top.distance != distance[u]) continue;
    if (u == end) break;
    visited[u] = 1;
    for (Id i = adj.first[u]; i < adj.first[u + 1]; ++i) {
      const Id v = adj.node[i];
      if (visited[v]) continue;
      const double alt = adj.cost[i] + distance[u];
      if (distance[v] > alt) {
        distance[v] = alt;
        predecessor[v] = u;
        heap.push_back({alt, v});
        std::push_heap(heap.begin(), heap.end(), Later{});
      }
    }
  }

  std::vector<std::uint64_t> route;
  if (distance[end] == unreached) return route;
  for (Id x = end; x != no_predecessor; x = predecessor[x]) route.push_back(x);
  std::reverse(route.begin(), route.end());
  return route;
}

}  // namespace

Result<void> check_route_ends(std::size_t node_count, std::uint64_t start, std::uint64_t end) {
  if (start >= node_count || end >= node_count) {
    return fail(ErrorKind::value, "Start or End node index out of bounds.");
  }
  return {};
}

Result<std::vector<std::uint64_t>> find_shortest_path(std::span<const Vector3D> centroids,
                                                      std::span<const EdgeEnds> edges,
                                                      std::uint64_t start, std::uint64_t end) {
  const std::size_t n = centroids.size();
  if (auto ends = check_route_ends(n, start, end); !ends) return std::unexpected(ends.error());
  if (auto valid = check_edges(n, edges); !valid) return std::unexpected(valid.error());
  // 32-bit positions whenever every node position, every list entry and the
  // "no predecessor" mark fit.
  constexpr std::uint64_t narrow_limit = std::numeric_limits<std::uint32_t>::max();
  if (n < narrow_limit && 2 * static_cast<std::uint64_t>(edges.size()) < narrow_limit) {
    return search<std::uint32_t>(centroids, edges, static_cast<std::uint32_t>(start),
                                 static_cast<std::uint32_t>(end));
  }
  return search<std::uint64_t>(centroids, edges, start, end);
}

}  // namespace kovalith
