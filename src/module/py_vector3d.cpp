// Vector3D: three read/write doubles.
#include "module/convert.h"
#include "module/errors.h"
#include "module/types.h"

#include <array>

namespace kovalith::py {
namespace {

using Vector3DObject = Instance<Vector3D>;

double Vector3D::*const fields[] = {&Vector3D::x, &Vector3D::y, &Vector3D::z};
constexpr std::array<const char*, 3> field_names = {"x", "y", "z"};

PyObject* vector3d_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    Arguments<3> a;
    if (!match("Vector3D", field_names, args, kwargs, a)) return nullptr;
    Vector3D v;
    for (std::size_t i = 0; i < 3; ++i) {
      if (!convert_argument(&to_double, a[i], v.*fields[i], field_names[i])) return nullptr;
    }
    return new_instance_of(type, std::move(v));
  });
}

PyGetSetDef vector3d_getset[] = {
    read_write_field<Vector3D, &Vector3D::x, &to_double>("x"),
    read_write_field<Vector3D, &Vector3D::y, &to_double>("y"),
    read_write_field<Vector3D, &Vector3D::z, &to_double>("z"),
    {},
};

PyType_Slot vector3d_slots[] = {
    {Py_tp_doc, const_cast<char*>("Vector3D(x, y, z)\n--\n\nStandard 3D vector representation.")},
    {Py_tp_new, reinterpret_cast<void*>(vector3d_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(instance_dealloc<Vector3D>)},
    {Py_tp_getset, vector3d_getset},
    {},
};

}  // namespace

PyType_Spec vector3d_spec = {
    "builtins.Vector3D", sizeof(Vector3DObject), 0, Py_TPFLAGS_DEFAULT, vector3d_slots,
};

}  // namespace kovalith::py
