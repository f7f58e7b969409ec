// Shortest route between two cells of a spatial graph.
//
// Dijkstra over an undirected graph whose edge costs are the straight-line
// distances between the centroids of the two nodes an edge joins, computed
// as sqrt((dx*dx + dy*dy) + dz*dz) of centroid(a) - centroid(b). The
// neighbour lists come from a RouteIndex, which a caller may build once and
// reuse for any number of routes; the tie rule is that of
// src/query/route_search.h (lowest position among equal distances, strict
// improvement only), so the result is the one a full linear scan gives.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "query/route_index.h"
#include "records/error.h"
#include "support/interrupt.h"

namespace kovalith {

// ValueError "Start or End node index out of bounds." unless both ends are
// below node_count.
Result<void> check_route_ends(std::size_t node_count, std::uint64_t start, std::uint64_t end);

// Node positions of a shortest route from `start` to `end`, in travel order;
// [start] when start == end, empty when `end` cannot be reached.
// Errors: the bounds error above, checked first; ErrorKind::interrupted.
// Runs in O((N + E) log E) plus O(N) to set up the per-call arrays.
Result<std::vector<std::uint64_t>> find_shortest_path(const RouteIndex& index,
                                                      std::uint64_t start, std::uint64_t end,
                                                      Interrupt* interrupt);

}  // namespace kovalith
