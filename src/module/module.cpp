// Module initialisation: multi-phase, one execution step that registers the
// ten classes in a fixed order, the private entry points of the toolkit
// submodules, and then the module function.
#include "module/errors.h"
#include "module/functions.h"
#include "module/private_functions.h"
#include "module/types.h"

#include <array>
#include <iterator>

namespace kovalith::py {
namespace {

struct ClassEntry {
  const char* name;
  PyType_Spec* spec;
};

// Indexed by TypeId: registration order.
const std::array<ClassEntry, static_cast<std::size_t>(TypeId::count)> classes = {{
    {"Vector3D", &vector3d_spec},
    {"GraphNode", &graph_node_spec},
    {"GraphEdge", &graph_edge_spec},
    {"WireContact", &wire_contact_spec},
    {"SpatialGraph", &spatial_graph_spec},
    {"Wire", &wire_spec},
    {"Mesh", &mesh_spec},
    {"TopologicalEntity", &topological_entity_spec},
    {"SpatialRegistry", &spatial_registry_spec},
    {"IfcParser", &ifc_parser_spec},
}};

// Created at most once per process, the first time a module execution needs
// them, and kept for the process's lifetime: later imports (a re-import after
// removing the module from sys.modules, say) reuse the same classes, so
// objects made before and after compare by the same types.
std::array<PyTypeObject*, classes.size()> type_objects = {};

int module_exec(PyObject* module) {
  return guarded([&]() -> int {
    for (std::size_t i = 0; i < classes.size(); ++i) {
      if (type_objects[i] == nullptr) {
        PyObject* type = PyType_FromSpec(classes[i].spec);
        if (type == nullptr) return -1;
        type_objects[i] = reinterpret_cast<PyTypeObject*>(type);
      }
      if (PyModule_AddObjectRef(module, classes[i].name,
                                reinterpret_cast<PyObject*>(type_objects[i])) < 0) {
        return -1;
      }
    }
    if (add_private_functions(module) < 0) return -1;
    return add_module_functions(module);
  });
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "kovalith",
    "",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyTypeObject* type_object(TypeId id) noexcept {
  return type_objects[static_cast<std::size_t>(id)];
}

}  // namespace kovalith::py

PyMODINIT_FUNC PyInit_kovalith() { return PyModuleDef_Init(&kovalith::py::module_def); }
