// SpatialRegistry: deep copies of meshes, wires and apertures, copied in both
// directions; the workspace a graph is compiled from.
#include "graph/graph_build.h"
#include "graph/registry.h"
#include "module/convert.h"
#include "module/errors.h"
#include "module/graph_objects.h"
#include "module/types.h"

#include <array>

namespace kovalith::py {
namespace {

using RegistryObject = Instance<Registry>;

constexpr std::array<const char*, 3> ctor_names = {"meshes", "wires", "apertures"};

bool to_mesh_list(PyObject* obj, std::vector<Mesh>& out) noexcept {
  return to_vector(obj, out, &to_mesh);
}
bool to_wire_list(PyObject* obj, std::vector<Wire>& out) noexcept {
  return to_vector(obj, out, &to_wire);
}

PyObject* registry_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    Arguments<3> a;
    if (!match("SpatialRegistry", ctor_names, args, kwargs, a)) return nullptr;
    Registry registry;
    if (!convert_argument(&to_mesh_list, a[0], registry.meshes, "meshes") ||
        !convert_argument(&to_wire_list, a[1], registry.wires, "wires") ||
        !convert_argument(&to_mesh_list, a[2], registry.apertures, "apertures")) {
      return nullptr;
    }
    return new_instance_of(type, std::move(registry));
  });
}

template <std::vector<Mesh> Registry::*Field>
PyObject* registry_get_meshes(PyObject* self, void*) {
  auto* inst = as_instance<Registry>(self);
  SharedBorrow borrow(inst->borrow);
  if (!borrow.ok()) return nullptr;
  return new_list(inst->value.*Field, [](const Mesh& m) { return new_mesh_copy(m); });
}

PyObject* registry_get_wires(PyObject* self, void*) {
  auto* inst = as_instance<Registry>(self);
  SharedBorrow borrow(inst->borrow);
  if (!borrow.ok()) return nullptr;
  return new_list(inst->value.wires, [](const Wire& w) { return new_wire(w); });
}

// The held list is replaced as a whole, and only once the new value has been
// converted in full.
template <class T, std::vector<T> Registry::*Field, bool (*Convert)(PyObject*, std::vector<T>&) noexcept>
int registry_set(PyObject* self, PyObject* value, void* closure) {
  if (value == nullptr) return deny_delete();
  return guarded([&]() -> int {
    auto* inst = as_instance<Registry>(self);
    std::vector<T> replaced;  // freed after the borrow ends
    ExclusiveBorrow borrow(inst->borrow);
    if (!borrow.ok()) return -1;
    std::vector<T> converted;
    if (!convert_argument(Convert, value, converted, static_cast<const char*>(closure))) return -1;
    replaced = std::exchange(inst->value.*Field, std::move(converted));
    return 0;
  });
}

constexpr std::array<const char*, 1> build_names = {"tolerance"};

// The whole build runs with the interpreter lock held: the workers only read
// the registry's native copies, and every Python object is made here, on the
// calling thread, once the native build is complete.
PyObject* registry_build_spatial_graph(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    Arguments<1> a;
    if (!match("build_spatial_graph", build_names, args, nargs, kwnames, a)) return nullptr;
    double tolerance = 0.0;
    if (!convert_argument(&to_double, a[0], tolerance, "tolerance")) return nullptr;
    auto* inst = as_instance<Registry>(self);
    SharedBorrow borrow(inst->borrow);
    if (!borrow.ok()) return nullptr;

    Interrupt stop = python_interrupt();
    Result<GraphBuild> built = build_graph(inst->value, tolerance, {}, &stop);
    if (!built) return raise_error(built.error());
    GraphBuild& build = *built;

    // A large graph is hundreds of thousands of new container objects, and
    // each few hundred allocations would otherwise start a collection that
    // walks the caller's whole heap. The new objects cannot form a cycle
    // before the caller holds them, and no Python code runs until the graph is
    // complete, so collections are paused here and resumed as they were.
    GcPause pause;
    SpatialGraphValue graph;
    if (!append_graph_nodes(graph, build.centroids)) return nullptr;
    graph.edges.reserve(build.edges.size());
    for (const RawEdge& edge : build.edges) {
      PyRef object = PyRef::steal(new_graph_edge({edge.node_a, edge.node_b, edge.shared_area,
                                                  edge.contact_centroid,
                                                  std::string(contact_type_name(edge.contact_type)),
                                                  {}}));
      if (!object) return nullptr;
      graph.edges.push_back(std::move(object));
    }
    graph.wire_contacts = std::move(build.wire_contacts);
    return new_spatial_graph(std::move(graph));
  });
}

PyGetSetDef registry_getset[] = {
    {"meshes", registry_get_meshes<&Registry::meshes>,
     registry_set<Mesh, &Registry::meshes, &to_mesh_list>, nullptr, const_cast<char*>("meshes")},
    {"wires", registry_get_wires, registry_set<Wire, &Registry::wires, &to_wire_list>, nullptr,
     const_cast<char*>("wires")},
    {"apertures", registry_get_meshes<&Registry::apertures>,
     registry_set<Mesh, &Registry::apertures, &to_mesh_list>, nullptr,
     const_cast<char*>("apertures")},
    {},
};

PyMethodDef registry_methods[] = {
    {"build_spatial_graph", as_cfunction(registry_build_spatial_graph),
     METH_FASTCALL | METH_KEYWORDS,
     "build_spatial_graph($self, tolerance)\n--\n\nCompiles the spatial Dual Graph, executing O(N) "
     "vertex welding, O(log N) R*-Tree lookup,\n3D ray-cast column detection, and exact 2D "
     "polygonal aperture subtractions."},
    {},
};

PyType_Slot registry_slots[] = {
    {Py_tp_doc, const_cast<char*>("SpatialRegistry(meshes, wires, apertures)\n--\n\nThe main "
                                  "high-performance workspace container managing multi-mesh and "
                                  "multi-dimensional spatial elements.")},
    {Py_tp_new, reinterpret_cast<void*>(registry_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(instance_dealloc<Registry>)},
    {Py_tp_getset, registry_getset},
    {Py_tp_methods, registry_methods},
    {},
};

}  // namespace

PyType_Spec spatial_registry_spec = {
    "builtins.SpatialRegistry", sizeof(RegistryObject), 0, Py_TPFLAGS_DEFAULT, registry_slots,
};

}  // namespace kovalith::py
