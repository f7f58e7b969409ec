// Private entry points behind kovalith.building.
#include "module/private_functions.h"

namespace kovalith::py {
namespace {

PyMethodDef building_functions[] = {
    {},
};

}  // namespace

int add_building_functions(PyObject* module) noexcept {
  return PyModule_AddFunctions(module, building_functions);
}

}  // namespace kovalith::py
