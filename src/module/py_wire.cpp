// Wire: two Vector3D end points, copied in both directions.
#include "module/convert.h"
#include "module/errors.h"
#include "module/types.h"

#include <array>

namespace kovalith::py {
namespace {

using WireObject = Instance<Wire>;

Vector3D Wire::*const fields[] = {&Wire::start, &Wire::end};
constexpr std::array<const char*, 2> field_names = {"start", "end"};

PyObject* wire_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    Arguments<2> a;
    if (!match("Wire", field_names, args, kwargs, a)) return nullptr;
    Wire w;
    for (std::size_t i = 0; i < 2; ++i) {
      if (!convert_argument(&to_vector3d, a[i], w.*fields[i], field_names[i])) return nullptr;
    }
    return new_instance_of(type, std::move(w));
  });
}

PyObject* wire_get(PyObject* self, void* closure) {
  auto* inst = as_instance<Wire>(self);
  SharedBorrow borrow(inst->borrow);
  if (!borrow.ok()) return nullptr;
  return new_vector3d(inst->value.*fields[reinterpret_cast<std::uintptr_t>(closure)]);
}

int wire_set(PyObject* self, PyObject* value, void* closure) {
  if (value == nullptr) return deny_delete();
  auto* inst = as_instance<Wire>(self);
  ExclusiveBorrow borrow(inst->borrow);
  if (!borrow.ok()) return -1;
  const auto field = reinterpret_cast<std::uintptr_t>(closure);
  Vector3D converted;
  if (!convert_argument(&to_vector3d, value, converted, field_names[field])) return -1;
  inst->value.*fields[field] = converted;
  return 0;
}

PyGetSetDef wire_getset[] = {
    {"start", wire_get, wire_set, nullptr, reinterpret_cast<void*>(0)},
    {"end", wire_get, wire_set, nullptr, reinterpret_cast<void*>(1)},
    {},
};

PyType_Slot wire_slots[] = {
    {Py_tp_doc, const_cast<char*>(
        "Wire(start, end)\n--\n\nRepresents a 1D linear element (columns, beams, or wires).")},
    {Py_tp_new, reinterpret_cast<void*>(wire_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(instance_dealloc<Wire>)},
    {Py_tp_getset, wire_getset},
    {},
};

}  // namespace

PyType_Spec wire_spec = {
    "builtins.Wire", sizeof(WireObject), 0, Py_TPFLAGS_DEFAULT, wire_slots,
};

}  // namespace kovalith::py
