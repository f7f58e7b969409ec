// Module-level functions, added by the execution step after the classes.
#pragma once

#include "module/py_ref.h"

namespace kovalith::py {

// Adds every module function to `module`; 0 on success, -1 with an exception.
int add_module_functions(PyObject* module) noexcept;

}  // namespace kovalith::py
