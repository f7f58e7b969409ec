// Python -> native conversions of the argument rules, and native -> Python
// results.
//
// Converters are noexcept, try the exact type first, and report success as a
// bool with the Python exception set on failure (the caller adds the note
// naming the parameter). Record arguments are copied out under a shared
// borrow; sequences are iterated exactly once, in order.
#pragma once

#include "module/errors.h"
#include "module/instance.h"
#include "module/py_ref.h"
#include "module/types.h"
#include "records/mesh.h"
#include "records/wire.h"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

namespace kovalith::py {

// The TypeError of every converter: "expected {expected}, got '{type}'".
// Returns false.
bool wrong_type(PyObject* obj, const char* expected) noexcept;

bool to_double(PyObject* obj, double& out) noexcept;
bool to_u64(PyObject* obj, std::uint64_t& out) noexcept;
bool to_optional_u64(PyObject* obj, std::optional<std::uint64_t>& out) noexcept;
bool to_utf8(PyObject* obj, std::string& out) noexcept;
bool to_vector3d(PyObject* obj, Vector3D& out) noexcept;
bool to_wire(PyObject* obj, Wire& out) noexcept;
bool to_mesh(PyObject* obj, Mesh& out) noexcept;
// Vertices and faces of a Mesh constructor (not validated here).
bool to_vertex_list(PyObject* obj, std::vector<Vector3D>& out) noexcept;
bool to_face_lists(PyObject* obj, Mesh& out) noexcept;

// Runs `convert` and, on failure, attaches the note naming `name`.
template <class T>
bool convert_argument(bool (*convert)(PyObject*, T&) noexcept, PyObject* obj, T& out,
                      const char* name) noexcept {
  if (convert(obj, out)) return true;
  add_argument_note(name);
  return false;
}

// Sequence protocol check of the sequence rule: str and non-sequences are
// refused with TypeError.
bool check_sequence(PyObject* obj) noexcept;

// Capacity to reserve for a sequence: exact for lists and tuples, a bounded
// hint otherwise (a __len__ may lie or raise; its failure is ignored).
std::size_t sequence_capacity_hint(PyObject* seq) noexcept;

// Visits every element of a sequence once, in order; stops at the first
// visit that returns false. May throw what `visit` throws. Each element is held by a strong reference while
// visited, since converting it may run code that mutates the sequence.
template <class Visit>
bool for_each_element(PyObject* seq, Visit&& visit) {
  if (!check_sequence(seq)) return false;
  if (PyTuple_CheckExact(seq)) {
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(seq); ++i) {
      if (!visit(PyTuple_GET_ITEM(seq, i))) return false;
    }
    return true;
  }
  if (PyList_CheckExact(seq)) {
    // The size is re-read at every step, as the list iterator does.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(seq); ++i) {
      PyRef item = PyRef::borrow(PyList_GET_ITEM(seq, i));
      if (!visit(item.get())) return false;
    }
    return true;
  }
  PyRef iter = PyRef::steal(PyObject_GetIter(seq));
  if (!iter) return false;
  while (PyRef item = PyRef::steal(PyIter_Next(iter.get()))) {
    if (!visit(item.get())) return false;
  }
  return !PyErr_Occurred();
}

// Converts a sequence into a vector, element by element.
template <class T>
bool to_vector(PyObject* seq, std::vector<T>& out,
               bool (*convert)(PyObject*, T&) noexcept) noexcept {
  try {
    out.clear();
    if (!check_sequence(seq)) return false;
    out.reserve(sequence_capacity_hint(seq));
    return for_each_element(seq, [&](PyObject* item) {
      T value{};
      if (!convert(item, value)) return false;
      out.push_back(std::move(value));
      return true;
    });
  } catch (...) {
    translate_current_exception();
    return false;
  }
}

// Results. Each returns a new reference, or nullptr with an exception set.
PyObject* new_vector3d(const Vector3D& v) noexcept;
PyObject* new_wire(const Wire& w) noexcept;
PyObject* new_mesh(Mesh&& mesh) noexcept;
PyObject* new_mesh_copy(const Mesh& mesh) noexcept;
PyObject* new_u64(std::uint64_t v) noexcept;

// A new list holding make(element) for each element, in order.
template <class Range, class Make>
PyObject* new_list(const Range& range, Make&& make) noexcept {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(std::size(range))));
  if (!list) return nullptr;
  Py_ssize_t i = 0;
  for (const auto& element : range) {
    PyObject* item = make(element);
    if (item == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), i++, item);
  }
  return list.release();
}

}  // namespace kovalith::py

namespace kovalith::py {

inline PyObject* to_python(std::uint64_t v) noexcept { return PyLong_FromUnsignedLongLong(v); }
inline PyObject* to_python(double v) noexcept { return PyFloat_FromDouble(v); }
inline PyObject* to_python(const Vector3D& v) noexcept { return new_vector3d(v); }
inline PyObject* to_python(const std::string& s) noexcept {
  return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
}
inline PyObject* to_python(const std::optional<std::uint64_t>& v) noexcept {
  if (!v) Py_RETURN_NONE;
  return to_python(*v);
}

// Getter slot of a read-only field: converts the field under a shared borrow.
template <class V, auto Field>
PyObject* field_getter(PyObject* self, void*) noexcept {
  auto* inst = as_instance<V>(self);
  SharedBorrow borrow(inst->borrow);
  if (!borrow.ok()) return nullptr;
  return to_python(inst->value.*Field);
}

// Setter slot of a read/write field, named by the closure (a const char*,
// for the note). The value is converted into a temporary under an exclusive
// borrow, so a failed assignment keeps the field and a conversion that
// reaches back into the object meets the borrow.
template <class V, auto Field, auto Convert>
int field_setter(PyObject* self, PyObject* value, void* closure) noexcept {
  if (value == nullptr) return deny_delete();
  return guarded([&]() -> int {
    auto* inst = as_instance<V>(self);
    ExclusiveBorrow borrow(inst->borrow);
    if (!borrow.ok()) return -1;
    std::remove_reference_t<decltype(inst->value.*Field)> converted{};
    if (!convert_argument(Convert, value, converted, static_cast<const char*>(closure))) return -1;
    inst->value.*Field = std::move(converted);
    return 0;
  });
}

// The getset entry of a read/write field.
template <class V, auto Field, auto Convert>
constexpr PyGetSetDef read_write_field(const char* name) noexcept {
  return {name, field_getter<V, Field>, field_setter<V, Field, Convert>, nullptr,
          const_cast<char*>(name)};
}

}  // namespace kovalith::py
