// The query methods of SpatialGraph (routes, Cypher export), kept apart from
// the container itself.
#pragma once

#include "module/py_ref.h"

namespace kovalith::py {

extern PyMethodDef spatial_graph_methods[];

}  // namespace kovalith::py
