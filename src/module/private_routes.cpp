// Private entry points behind kovalith.routes.
#include "module/private_functions.h"

namespace kovalith::py {
namespace {

PyMethodDef route_functions[] = {
    {},
};

}  // namespace

int add_route_functions(PyObject* module) noexcept {
  return PyModule_AddFunctions(module, route_functions);
}

}  // namespace kovalith::py
