#include "module/functions.h"

#include "kernel/boolean_join.h"
#include "module/args.h"
#include "module/convert.h"
#include "module/errors.h"
#include "module/types.h"

#include <array>
#include <utility>

namespace kovalith::py {
namespace {

constexpr std::array<const char*, 4> join_names = {"mesh_a", "mesh_b", "z_base", "height"};

PyObject* boolean_join_extruded_function(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                         PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    Arguments<4> a;
    if (!match("boolean_join_extruded", join_names, args, nargs, kwnames, a)) return nullptr;
    Mesh mesh_a, mesh_b;
    double z_base = 0.0, height = 0.0;
    if (!convert_argument(&to_mesh, a[0], mesh_a, "mesh_a") ||
        !convert_argument(&to_mesh, a[1], mesh_b, "mesh_b") ||
        !convert_argument(&to_double, a[2], z_base, "z_base") ||
        !convert_argument(&to_double, a[3], height, "height")) {
      return nullptr;
    }
    // The parameters' names are known here, not in the kernel.
    for (const auto& [mesh, name] : {std::pair<const Mesh&, const char*>{mesh_a, "mesh_a"},
                                     std::pair<const Mesh&, const char*>{mesh_b, "mesh_b"}}) {
      if (mesh.face_count() == 0) {
        PyErr_Format(PyExc_ValueError, "%s has no faces", name);
        return nullptr;
      }
    }
    Interrupt stop = python_interrupt();
    auto cells = boolean_join_extruded(mesh_a, mesh_b, z_base, height, &stop);
    if (!cells) return raise_error(cells.error());
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(cells->size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < cells->size(); ++i) {
      PyObject* mesh = new_mesh(std::move((*cells)[i]));
      if (mesh == nullptr) return nullptr;
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), mesh);
    }
    return list.release();
  });
}

PyMethodDef module_functions[] = {
    {"boolean_join_extruded", as_cfunction(boolean_join_extruded_function),
     METH_FASTCALL | METH_KEYWORDS,
     "boolean_join_extruded(mesh_a, mesh_b, z_base, height)\n--\n\n"
     "Advanced non-manifold boolean decomposition for intersecting extruded meshes.\n"
     "Solves room-to-room physical clashes by slicing them into mutually disjoint cells."},
    {},
};

}  // namespace

int add_module_functions(PyObject* module) noexcept {
  return PyModule_AddFunctions(module, module_functions);
}

}  // namespace kovalith::py
