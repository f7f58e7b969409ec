#include "query/route_index.h"

#include <algorithm>
#include <cmath>
#include <string>

namespace kovalith {
namespace {

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

}  // namespace

double centroid_distance(const Vector3D& a, const Vector3D& b) noexcept {
  const double dx = a.x - b.x;
  const double dy = a.y - b.y;
  const double dz = a.z - b.z;
  return std::sqrt((dx * dx + dy * dy) + dz * dz);
}

Result<RouteIndex> build_route_index(std::vector<Vector3D> centroids, std::vector<EdgeEnds> ends) {
  const std::size_t n = centroids.size();
  if (auto valid = check_edges(n, ends); !valid) return std::unexpected(valid.error());
  // Every node position, entry count and the "none" mark must fit.
  constexpr std::uint64_t id_limit = no_route_id;
  if (n >= id_limit || 2 * static_cast<std::uint64_t>(ends.size()) >= id_limit) {
    return fail(ErrorKind::value, "The graph is too large to route on: " + std::to_string(n) +
                                      " nodes, " + std::to_string(ends.size()) + " edges.");
  }

  RouteIndex index;
  index.centroids = std::move(centroids);
  index.ends = std::move(ends);
  const std::size_t entries = 2 * index.ends.size();
  index.first.assign(n + 1, 0);
  for (const EdgeEnds& e : index.ends) {
    ++index.first[e.node_a + 1];
    ++index.first[e.node_b + 1];
  }
  for (std::size_t u = 0; u < n; ++u) index.first[u + 1] += index.first[u];

  // first[u] serves as u's fill cursor and ends at the old first[u + 1], so
  // the offsets are shifted back by one place afterwards.
  index.entries.resize(entries);
  index.edge.resize(entries);
  for (std::size_t k = 0; k < index.ends.size(); ++k) {
    const EdgeEnds& e = index.ends[k];
    const double cost = centroid_distance(index.centroids[e.node_a], index.centroids[e.node_b]);
    const auto edge = static_cast<RouteId>(k);
    const RouteId slot_a = index.first[e.node_a]++;
    index.entries[slot_a] = {cost, static_cast<RouteId>(e.node_b)};
    index.edge[slot_a] = edge;
    const RouteId slot_b = index.first[e.node_b]++;
    index.entries[slot_b] = {cost, static_cast<RouteId>(e.node_a)};
    index.edge[slot_b] = edge;
  }
  std::copy_backward(index.first.begin(), index.first.end() - 1, index.first.end());
  index.first[0] = 0;
  return index;
}

}  // namespace kovalith
