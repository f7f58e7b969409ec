// SpatialGraph: shares its node and edge objects, copies its wire contacts.
#include "module/convert.h"
#include "module/errors.h"
#include "module/graph_objects.h"
#include "module/spatial_graph_methods.h"
#include "module/types.h"

#include <array>

namespace kovalith::py {
namespace {

constexpr std::array<const char*, 3> ctor_names = {"nodes", "edges", "wire_contacts"};

template <TypeId Id>
bool to_shared(PyObject* obj, PyRef& out) noexcept {
  if (!is_instance(obj, Id)) return wrong_type(obj, type_object(Id)->tp_name);
  out = PyRef::borrow(obj);
  return true;
}

bool to_wire_contact(PyObject* obj, WireContact& out) noexcept {
  if (!is_instance(obj, TypeId::wire_contact)) return wrong_type(obj, "WireContact");
  auto* inst = as_instance<WireContact>(obj);
  SharedBorrow borrow(inst->borrow);
  if (!borrow.ok()) return false;
  out = inst->value;
  return true;
}

bool to_node_list(PyObject* obj, std::vector<PyRef>& out) noexcept {
  return to_vector(obj, out, &to_shared<TypeId::graph_node>);
}
bool to_edge_list(PyObject* obj, std::vector<PyRef>& out) noexcept {
  return to_vector(obj, out, &to_shared<TypeId::graph_edge>);
}
bool to_wire_contact_list(PyObject* obj, std::vector<WireContact>& out) noexcept {
  return to_vector(obj, out, &to_wire_contact);
}

PyObject* spatial_graph_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    Arguments<3> a;
    if (!match("SpatialGraph", ctor_names, args, kwargs, a)) return nullptr;
    SpatialGraphValue graph;
    if (!convert_argument(&to_node_list, a[0], graph.nodes, "nodes") ||
        !convert_argument(&to_edge_list, a[1], graph.edges, "edges") ||
        !convert_argument(&to_wire_contact_list, a[2], graph.wire_contacts, "wire_contacts")) {
      return nullptr;
    }
    return new_instance_of(type, std::move(graph));
  });
}

PyObject* shared_list(const std::vector<PyRef>& refs) noexcept {
  return new_list(refs, [](const PyRef& ref) { return Py_NewRef(ref.get()); });
}

PyObject* spatial_graph_get_nodes(PyObject* self, void*) {
  auto* inst = as_instance<SpatialGraphValue>(self);
  SharedBorrow borrow(inst->borrow);
  if (!borrow.ok()) return nullptr;
  return shared_list(inst->value.nodes);
}

PyObject* spatial_graph_get_edges(PyObject* self, void*) {
  auto* inst = as_instance<SpatialGraphValue>(self);
  SharedBorrow borrow(inst->borrow);
  if (!borrow.ok()) return nullptr;
  return shared_list(inst->value.edges);
}

PyObject* spatial_graph_get_wire_contacts(PyObject* self, void*) {
  auto* inst = as_instance<SpatialGraphValue>(self);
  SharedBorrow borrow(inst->borrow);
  if (!borrow.ok()) return nullptr;
  return new_list(inst->value.wire_contacts, [](const WireContact& c) { return new_wire_contact(c); });
}

int spatial_graph_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  const SpatialGraphValue& graph = as_instance<SpatialGraphValue>(self)->value;
  for (const PyRef& node : graph.nodes) Py_VISIT(node.get());
  for (const PyRef& edge : graph.edges) Py_VISIT(edge.get());
  return 0;
}

int spatial_graph_clear(PyObject* self) {
  SpatialGraphValue& graph = as_instance<SpatialGraphValue>(self)->value;
  // Move the references out first: releasing them may run code that looks at
  // this graph again, which must then see consistent (empty) lists.
  std::vector<PyRef> nodes = std::move(graph.nodes);
  std::vector<PyRef> edges = std::move(graph.edges);
  graph.nodes.clear();
  graph.edges.clear();
  graph.routes.reset();
  return 0;
}

PyGetSetDef spatial_graph_getset[] = {
    {"nodes", spatial_graph_get_nodes, nullptr, nullptr, nullptr},
    {"edges", spatial_graph_get_edges, nullptr, nullptr, nullptr},
    {"wire_contacts", spatial_graph_get_wire_contacts, nullptr, nullptr, nullptr},
    {},
};

PyType_Slot spatial_graph_slots[] = {
    {Py_tp_doc, const_cast<char*>("SpatialGraph(nodes, edges, wire_contacts)\n--\n\nA "
                                  "high-performance spatial topological network mapping rooms, "
                                  "boundaries, and routing logic.")},
    {Py_tp_new, reinterpret_cast<void*>(spatial_graph_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(gc_instance_dealloc<SpatialGraphValue>)},
    {Py_tp_traverse, reinterpret_cast<void*>(spatial_graph_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(spatial_graph_clear)},
    {Py_tp_getset, spatial_graph_getset},
    {Py_tp_methods, spatial_graph_methods},
    {},
};

}  // namespace

PyObject* new_spatial_graph(SpatialGraphValue&& value) noexcept {
  return new_instance(TypeId::spatial_graph, std::move(value));
}

PyType_Spec spatial_graph_spec = {
    "builtins.SpatialGraph", sizeof(SpatialGraphObject), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, spatial_graph_slots,
};

}  // namespace kovalith::py
