#include "module/spatial_graph_methods.h"

namespace kovalith::py {

PyMethodDef spatial_graph_methods[] = {
    {},
};

}  // namespace kovalith::py
