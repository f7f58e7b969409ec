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

PyGetSetDef wire_getset[] = {
    read_write_field<Wire, &Wire::start, &to_vector3d>("start"),
    read_write_field<Wire, &Wire::end, &to_vector3d>("end"),
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
