// Routing structure of a spatial graph: the undirected neighbour lists of its
// nodes with centroid-distance costs, in flat (CSR) arrays.
//
// Built once from the centroids and edge ends of a graph and then only read,
// by any number of searches (src/query/route_search.h). Node u's entries are
// [first[u], first[u + 1]); they come in edge-list order, each edge adding
// (b, cost) to a's list and then (a, cost) to b's, so a self-loop adds two
// entries to one list. The cost of edge (a, b) is
// sqrt((dx*dx + dy*dy) + dz*dz) of centroid(a) - centroid(b): the same value
// in both directions, +inf or NaN when a centroid is not finite.
//
// Positions are 32-bit: every node and entry position, and the "none" mark,
// must be below 2^32 - 1. A graph of that size would hold billions of Python
// node or edge objects, so the limit is far beyond any graph that can exist;
// it is still checked, and refused with ValueError.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <vector>

#include "records/error.h"
#include "records/vector3d.h"
#include "support/interrupt.h"

namespace kovalith {

struct EdgeEnds {
  std::uint64_t node_a = 0;
  std::uint64_t node_b = 0;
};

using RouteId = std::uint32_t;
inline constexpr RouteId no_route_id = std::numeric_limits<RouteId>::max();

// One neighbour of a node: the two fields a search reads, packed into 12
// bytes. On large graphs the search is bound by the memory traffic of these
// entries (each settled room reads its whole list once), so a smaller entry
// is a faster search; x86 and ARM64 load an unaligned double at full speed.
struct __attribute__((packed)) RouteEntry {
  double cost;   // the centroid distance
  RouteId node;  // the neighbour
};
static_assert(sizeof(RouteEntry) == 12);

struct RouteIndex {
  std::vector<Vector3D> centroids;  // per node
  std::vector<EdgeEnds> ends;       // per edge, as given (all below the node count)
  std::vector<RouteId> first;       // node count + 1 offsets into `entries`
  std::vector<RouteEntry> entries;
  std::vector<RouteId> edge;        // per entry: the edge's position in the edge list

  std::size_t node_count() const noexcept { return centroids.size(); }
  std::size_t edge_count() const noexcept { return ends.size(); }
};

double centroid_distance(const Vector3D& a, const Vector3D& b) noexcept;

// Takes the centroids and edge ends over. Errors:
//   IndexError "Edge {k} references out-of-bounds node {n}." for the first
//     edge (in list order) naming a position outside the node list;
//   ValueError when the graph is too large for 32-bit positions.
Result<RouteIndex> build_route_index(std::vector<Vector3D> centroids, std::vector<EdgeEnds> ends);

}  // namespace kovalith
