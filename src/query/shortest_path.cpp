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
constexpr std::uint64_t no_predecessor = std::numeric_limits<std::uint64_t>::max();

struct Neighbour {
  std::uint64_t node;
  double cost;
};

// Neighbour lists in one flat array: node u's list is
// neighbours[first[u], first[u + 1]), entries in edge-list order.
struct Adjacency {
  std::vector<std::size_t> first;
  std::vector<Neighbour> neighbours;
};

double centroid_distance(const Vector3D& a, const Vector3D& b) {
  const double dx = a.x - b.x;
  const double dy = a.y - b.y;
  const double dz = a.z - b.z;
  return std::sqrt((dx * dx + dy * dy) + dz * dz);
}

Result<Adjacency> build_adjacency(std::span<const Vector3D> centroids,
                                  std::span<const EdgeEnds> edges) {
  const std::size_t n = centroids.size();
  Adjacency adj;
  adj.first.assign(n + 1, 0);
  for (std::size_t k = 0; k < edges.size(); ++k) {
    for (const std::uint64_t end : {edges[k].node_a, edges[k].node_b}) {
      if (end >= n) {
        return fail(ErrorKind::index, "Edge " + std::to_string(k) +
                                          " references out-of-bounds node " +
                                          std::to_string(end) + ".");
      }
    }
    ++adj.first[edges[k].node_a + 1];
    ++adj.first[edges[k].node_b + 1];
  }
  for (std::size_t u = 0; u < n; ++u) adj.first[u + 1] += adj.first[u];

  // Each edge appends (b, cost) to a's list, then (a, cost) to b's list; a
  // self-loop thus adds two entries to one list, in that order.
  adj.neighbours.resize(adj.first[n]);
  std::vector<std::size_t> cursor(adj.first.begin(), adj.first.end() - 1);
  for (const EdgeEnds& e : edges) {
    const double cost = centroid_distance(centroids[e.node_a], centroids[e.node_b]);
    adj.neighbours[cursor[e.node_a]++] = {e.node_b, cost};
    adj.neighbours[cursor[e.node_b]++] = {e.node_a, cost};
  }
  return adj;
}

struct QueueEntry {
  double distance;
  std::uint64_t node;
};

// Min-heap order on (distance, position). Distances in the heap are never
// NaN (a NaN never passes the strict relaxation test), so this is a strict
// weak order.
struct Later {
  bool operator()(const QueueEntry& l, const QueueEntry& r) const {
    return l.distance > r.distance || (l.distance == r.distance && l.node > r.node);
  }
};

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
  auto adjacency = build_adjacency(centroids, edges);
  if (!adjacency) return std::unexpected(std::move(adjacency.error()));
  const Adjacency& adj = *adjacency;

  std::vector<double> distance(n, unreached);
  std::vector<std::uint64_t> predecessor(n, no_predecessor);
  std::vector<std::uint8_t> visited(n, 0);

  // Every unsettled node with a known distance has exactly one entry holding
  // that distance; older entries for it carry larger distances (distances
  // only decrease) and are skipped when they surface. The top valid entry is
  // therefore the lowest (distance, position) pair among unsettled reachable
  // nodes: the node a linear scan in position order would pick.
  std::vector<QueueEntry> heap;
  distance[start] = 0.0;
  heap.push_back({0.0, start});
  while (!heap.empty()) {
    std::pop_heap(heap.begin(), heap.end(), Later{});
    const QueueEntry top = heap.back();
    heap.pop_back();
    const std::uint64_t u = top.node;
    if (visited[u] || top.distance != distance[u]) continue;
    if (u == end) break;
    visited[u] = 1;
    for (std::size_t i = adj.first[u]; i < adj.first[u + 1]; ++i) {
      const Neighbour& nb = adj.neighbours[i];
      if (visited[nb.node]) continue;
      const double alt = nb.cost + distance[u];
      if (distance[nb.node] > alt) {
        distance[nb.node] = alt;
        predecessor[nb.node] = u;
        heap.push_back({alt, nb.node});
        std::push_heap(heap.begin(), heap.end(), Later{});
      }
    }
  }

  std::vector<std::uint64_t> route;
  if (distance[end] == unreached) return route;
  for (std::uint64_t x = end; x != no_predecessor; x = predecessor[x]) route.push_back(x);
  std::reverse(route.begin(), route.end());
  return route;
}

}  // namespace kovalith
