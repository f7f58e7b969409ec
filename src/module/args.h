// Matching of a call's arguments against a fixed list of required parameters.
//
// Every constructor, method and function of the module takes only required
// parameters, each by position or by keyword. A missing, surplus, unknown or
// duplicated argument raises TypeError before any conversion runs. The
// matched objects are borrowed from the call.
#pragma once

#include "module/py_ref.h"

#include <array>
#include <cstddef>
#include <span>

namespace kovalith::py {

// Vectorcall form (METH_FASTCALL | METH_KEYWORDS).
bool match_arguments(const char* function, std::span<const char* const> names,
                     PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                     std::span<PyObject*> out) noexcept;

// Tuple-and-dict form (tp_new).
bool match_arguments(const char* function, std::span<const char* const> names,
                     PyObject* args, PyObject* kwargs, std::span<PyObject*> out) noexcept;

template <std::size_t N>
struct Arguments {
  std::array<PyObject*, N> values{};
  PyObject* operator[](std::size_t i) const { return values[i]; }
};

template <std::size_t N>
bool match(const char* function, const std::array<const char*, N>& names, PyObject* const* args,
           Py_ssize_t nargs, PyObject* kwnames, Arguments<N>& out) noexcept {
  return match_arguments(function, names, args, nargs, kwnames, out.values);
}

template <std::size_t N>
bool match(const char* function, const std::array<const char*, N>& names, PyObject* args,
           PyObject* kwargs, Arguments<N>& out) noexcept {
  return match_arguments(function, names, args, kwargs, out.values);
}

}  // namespace kovalith::py
