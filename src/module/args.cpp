#include "module/args.h"

namespace kovalith::py {
namespace {

bool too_many_positional(const char* function, std::size_t expected, Py_ssize_t given) {
  PyErr_Format(PyExc_TypeError, "%s() takes %zu positional argument%s but %zd %s given",
               function, expected, expected == 1 ? "" : "s", given, given == 1 ? "was" : "were");
  return false;
}

// Places one keyword argument; false with TypeError set when it does not fit.
bool place_keyword(const char* function, std::span<const char* const> names, PyObject* key,
                   PyObject* value, std::span<PyObject*> out) {
  if (!PyUnicode_Check(key)) {
    PyErr_Format(PyExc_TypeError, "%s() keywords must be strings", function);
    return false;
  }
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (PyUnicode_CompareWithASCIIString(key, names[i]) != 0) continue;
    if (out[i] != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", function,
                   names[i]);
      return false;
    }
    out[i] = value;
    return true;
  }
  PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", function, key);
  return false;
}

bool all_present(const char* function, std::span<const char* const> names,
                 std::span<PyObject*> out) {
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (out[i] == nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zu)", function,
                   names[i], i + 1);
      return false;
    }
  }
  return true;
}

}  // namespace

bool match_arguments(const char* function, std::span<const char* const> names,
                     PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                     std::span<PyObject*> out) noexcept {
  nargs = PyVectorcall_NARGS(nargs);
  if (static_cast<std::size_t>(nargs) > names.size()) {
    return too_many_positional(function, names.size(), nargs);
  }
  for (auto& slot : out) slot = nullptr;
  for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
  if (kwnames != nullptr) {
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
      if (!place_keyword(function, names, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], out)) {
        return false;
      }
    }
  }
  return all_present(function, names, out);
}

bool match_arguments(const char* function, std::span<const char* const> names, PyObject* args,
                     PyObject* kwargs, std::span<PyObject*> out) noexcept {
  const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  if (static_cast<std::size_t>(nargs) > names.size()) {
    return too_many_positional(function, names.size(), nargs);
  }
  for (auto& slot : out) slot = nullptr;
  for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = PyTuple_GET_ITEM(args, i);
  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject *key = nullptr, *value = nullptr;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      if (!place_keyword(function, names, key, value, out)) return false;
    }
  }
  return all_present(function, names, out);
}

}  // namespace kovalith::py
