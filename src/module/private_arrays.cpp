// Private entry points behind kovalith.arrays.
#include "module/array_buffers.h"
#include "module/convert.h"
#include "module/errors.h"
#include "module/private_functions.h"
#include "module/types.h"

namespace kovalith::py {
namespace {

constexpr Py_ssize_t from_arrays_arity = 3;

// _mesh_from_arrays(vertices, faces, offsets): offsets None for (m, k) faces.
PyObject* mesh_from_arrays(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
  return guarded([&]() -> PyObject* {
    if (nargs != from_arrays_arity) {
      PyErr_Format(PyExc_TypeError, "_mesh_from_arrays expects 3 arguments, got %zd", nargs);
      return nullptr;
    }
    Mesh mesh;
    if (!read_vertex_array(args[0], "vertices", mesh.vertices) ||
        !read_face_arrays(args[1], args[2], mesh)) {
      return nullptr;
    }
    if (auto valid = validate(mesh); !valid) return raise_error(valid.error());
    return new_mesh(std::move(mesh));
  });
}

// _mesh_to_arrays(mesh) -> (vertices, corners, offsets) as read-only views.
PyObject* mesh_to_arrays(PyObject*, PyObject* mesh) noexcept {
  return guarded([&]() -> PyObject* {
    if (!is_instance(mesh, TypeId::mesh)) {
      PyErr_Format(PyExc_TypeError, "mesh: expected Mesh, got '%.200s'", Py_TYPE(mesh)->tp_name);
      add_argument_note("mesh");
      return nullptr;
    }
    return mesh_array_views(mesh);
  });
}

PyMethodDef array_functions[] = {
    {"_mesh_from_arrays", as_cfunction(mesh_from_arrays),
     METH_FASTCALL, nullptr},
    {"_mesh_to_arrays", mesh_to_arrays, METH_O, nullptr},
    {},
};

}  // namespace

int add_array_functions(PyObject* module) noexcept {
  return PyModule_AddFunctions(module, array_functions);
}

}  // namespace kovalith::py
