// Shortest route between two cells of a spatial graph.
//
// Dijkstra over an undirected graph whose edge costs are the straight-line
// distances between the centroids of the two nodes an edge joins, computed
// as sqrt((dx*dx + dy*dy) + dz*dz) of centroid(a) - centroid(b).
//
// Which route comes back when several have the same cost is fixed: at each
// step the unsettled node with the smallest distance is settled, the lowest
// position winning among equal distances; a neighbour's distance changes only
// when the new one is strictly smaller, so an equal alternative keeps the
// earlier predecessor. Distances start at the largest finite double (not
// +infinity) and a node still at that value is unreachable, so an edge whose
// cost is infinite or NaN (a non-finite centroid) never takes part in a route.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "records/error.h"
#include "records/vector3d.h"

namespace kovalith {

struct EdgeEnds {
  std::uint64_t node_a = 0;
  std::uint64_t node_b = 0;
};

// ValueError "Start or End node index out of bounds." unless both ends are
// below node_count.
Result<void> check_route_ends(std::size_t node_count, std::uint64_t start, std::uint64_t end);

// Node positions of a shortest route from `start` to `end`, in travel order;
// [start] when start == end, empty when `end` cannot be reached.
// Errors:
//   ValueError "Start or End node index out of bounds." when start or end is
//     not below centroids.size(), checked before anything else;
//   IndexError "Edge {k} references out-of-bounds node {n}." for the first
//     edge (in list order) that names a position outside the node list.
// Runs in O((N + E) log E): a binary heap keyed on (distance, position) with
// lazy deletion settles exactly the node that a full scan for the lowest
// (distance, position) pair would.
Result<std::vector<std::uint64_t>> find_shortest_path(std::span<const Vector3D> centroids,
                                                      std::span<const EdgeEnds> edges,
                                                      std::uint64_t start, std::uint64_t end);

}  // namespace kovalith
