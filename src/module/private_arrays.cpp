// Private entry points behind kovalith.arrays.
#include "module/private_functions.h"

namespace kovalith::py {
namespace {

PyMethodDef array_functions[] = {
    {},
};

}  // namespace

int add_array_functions(PyObject* module) noexcept {
  return PyModule_AddFunctions(module, array_functions);
}

}  // namespace kovalith::py
