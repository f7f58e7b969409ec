// The query methods of SpatialGraph (routes, Cypher export), kept apart from
// the container itself.
#pragma once

#include "module/py_ref.h"

#include <memory>

namespace kovalith {
struct RouteIndex;
}

namespace kovalith::py {

extern PyMethodDef spatial_graph_methods[];

// The routing structure of a SpatialGraph object, built from its node
// centroids and edge ends on first use and cached on the graph (see
// SpatialGraphValue). The caller holds a shared borrow of the graph. Returns
// nullptr with a Python exception set when a node or edge object is borrowed
// elsewhere, when an edge names a node outside the list (IndexError, not
// cached: every call reports it again), or on memory exhaustion.
std::shared_ptr<const RouteIndex> graph_route_index(PyObject* graph) noexcept;

}  // namespace kovalith::py
