#include "module/functions.h"

namespace kovalith::py {
namespace {

PyMethodDef module_functions[] = {
    {},
};

}  // namespace

int add_module_functions(PyObject* module) noexcept {
  return PyModule_AddFunctions(module, module_functions);
}

}  // namespace kovalith::py
