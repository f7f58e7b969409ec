// SpatialRegistry: deep copies of meshes, wires and apertures, copied in both
// directions; the workspace a graph is compiled from.
#include "graph/registry.h"
#include "module/convert.h"
#include "module/errors.h"
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
