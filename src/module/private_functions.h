// Private entry points of the toolkit submodules (kovalith.building,
// kovalith.routes, kovalith.arrays, ...). They are module attributes with a
// leading underscore, registered between the classes and the public
// function, and documented only through the submodules that wrap them.
#pragma once

#include "module/py_ref.h"

namespace kovalith::py {

// Each adds one concern's private functions to `module`; 0 on success, -1
// with an exception set.
int add_building_functions(PyObject* module) noexcept;
int add_route_functions(PyObject* module) noexcept;
int add_array_functions(PyObject* module) noexcept;
int add_testing_functions(PyObject* module) noexcept;

inline int add_private_functions(PyObject* module) noexcept {
  if (add_building_functions(module) < 0) return -1;
  if (add_route_functions(module) < 0) return -1;
  if (add_testing_functions(module) < 0) return -1;
  return add_array_functions(module);
}

}  // namespace kovalith::py
