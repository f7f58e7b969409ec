// Native values of the graph classes that hold Python references: nodes and
// edges with their attribute maps, and the graph that shares them.
#pragma once

#include "graph/graph_records.h"
#include "module/attribute_map.h"
#include "module/instance.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace kovalith {
struct RouteIndex;
}

namespace kovalith::py {

struct GraphNodeValue {
  std::uint64_t index = 0;
  Vector3D centroid;
  AttributeMap attributes;
};

struct GraphEdgeValue {
  std::uint64_t node_a = 0;
  std::uint64_t node_b = 0;
  double shared_area = 0.0;
  Vector3D contact_centroid;
  std::string contact_type;
  AttributeMap attributes;
};

// Nodes and edges are the caller's very objects (shared, not copied); the
// wire contacts are owned values.
//
// `routes` caches the routing structure (neighbour lists with centroid
// costs), built by the first route query and reused by every later one. It
// can never go stale: the two lists have no setters, and what it reads of
// their objects (node centroids, edge ends) is read-only. Only tp_clear
// empties the lists, and it drops the cache with them.
struct SpatialGraphValue {
  std::vector<PyRef> nodes;
  std::vector<PyRef> edges;
  std::vector<WireContact> wire_contacts;
  std::shared_ptr<const RouteIndex> routes;
};

using GraphNodeObject = Instance<GraphNodeValue>;
using GraphEdgeObject = Instance<GraphEdgeValue>;
using SpatialGraphObject = Instance<SpatialGraphValue>;

// New Python objects around native values (new reference, or nullptr with an
// exception set).
PyObject* new_graph_node(GraphNodeValue&& value) noexcept;
PyObject* new_graph_edge(GraphEdgeValue&& value) noexcept;
PyObject* new_wire_contact(const WireContact& value) noexcept;
PyObject* new_spatial_graph(SpatialGraphValue&& value) noexcept;

// Appends one new GraphNode per centroid (index k for centroids[k]); false
// with an exception set when an object cannot be made.
bool append_graph_nodes(SpatialGraphValue& graph, const std::vector<Vector3D>& centroids) noexcept;

}  // namespace kovalith::py
