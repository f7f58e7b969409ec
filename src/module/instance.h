// Layout and lifetime of the module's Python objects.
//
// Every instance is PyObject_HEAD, a borrow flag and one native value held in
// place. The type objects are heap types created once per process (see
// module.cpp) and looked up here by TypeId.
#pragma once

#include "module/borrow.h"
#include "module/py_ref.h"

#include <new>
#include <type_traits>
#include <utility>

namespace kovalith::py {

// Registration order of the classes; the module adds them in this order.
enum class TypeId {
  vector3d,
  graph_node,
  graph_edge,
  wire_contact,
  spatial_graph,
  wire,
  mesh,
  topological_entity,
  spatial_registry,
  ifc_parser,
  count,
};

// The type object of a class; valid once the module has been imported.
PyTypeObject* type_object(TypeId id) noexcept;

template <class T>
struct Instance {
  PyObject_HEAD
  BorrowFlag borrow;
  T value;
};

template <class T>
Instance<T>* as_instance(PyObject* obj) noexcept {
  return reinterpret_cast<Instance<T>*>(obj);
}

inline bool is_instance(PyObject* obj, TypeId id) noexcept {
  return Py_IS_TYPE(obj, type_object(id));
}

// Allocates an instance of `type` around `value`. The value is built before
// the object so that an exception while building it leaves nothing half-made.
template <class T>
PyObject* new_instance_of(PyTypeObject* type, T&& value) noexcept {
  static_assert(std::is_nothrow_move_constructible_v<std::decay_t<T>>);
  PyObject* obj = type->tp_alloc(type, 0);
  if (obj == nullptr) return nullptr;
  auto* inst = as_instance<std::decay_t<T>>(obj);
  new (&inst->borrow) BorrowFlag();
  new (&inst->value) std::decay_t<T>(std::forward<T>(value));
  return obj;
}

template <class T>
PyObject* new_instance(TypeId id, T&& value) noexcept {
  return new_instance_of(type_object(id), std::forward<T>(value));
}

// tp_dealloc of a type whose value holds no Python references.
template <class T>
void instance_dealloc(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  as_instance<T>(self)->value.~T();
  type->tp_free(self);
  Py_DECREF(type);  // heap-type instances own a reference to their type
}

}  // namespace kovalith::py

namespace kovalith::py {

// tp_dealloc of a garbage-collected type whose value holds Python references.
// The trashcan bounds the C stack when a long chain of such objects (a node
// whose attribute holds a node whose attribute ...) is freed at once.
template <class T>
void gc_instance_dealloc(PyObject* self) noexcept {
  PyObject_GC_UnTrack(self);
  Py_TRASHCAN_BEGIN(self, gc_instance_dealloc<T>)
  PyTypeObject* type = Py_TYPE(self);
  as_instance<T>(self)->value.~T();
  type->tp_free(self);
  Py_DECREF(type);
  Py_TRASHCAN_END
}

}  // namespace kovalith::py
