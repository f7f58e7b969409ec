// GraphNode, GraphEdge (with attribute maps) and WireContact.
#include "module/convert.h"
#include "module/errors.h"
#include "module/graph_objects.h"
#include "module/types.h"

#include <array>

namespace kovalith::py {
namespace {

constexpr std::array<const char*, 2> node_names = {"index", "centroid"};
constexpr std::array<const char*, 5> edge_names = {"node_a", "node_b", "shared_area",
                                                   "contact_centroid", "contact_type"};
constexpr std::array<const char*, 2> set_names = {"key", "value"};
constexpr std::array<const char*, 1> get_names = {"key"};

PyObject* graph_node_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    Arguments<2> a;
    if (!match("GraphNode", node_names, args, kwargs, a)) return nullptr;
    GraphNodeValue node;
    if (!convert_argument(&to_u64, a[0], node.index, "index") ||
        !convert_argument(&to_vector3d, a[1], node.centroid, "centroid")) {
      return nullptr;
    }
    return new_instance_of(type, std::move(node));
  });
}

PyObject* graph_edge_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    Arguments<5> a;
    if (!match("GraphEdge", edge_names, args, kwargs, a)) return nullptr;
    GraphEdgeValue edge;
    if (!convert_argument(&to_u64, a[0], edge.node_a, "node_a") ||
        !convert_argument(&to_u64, a[1], edge.node_b, "node_b") ||
        !convert_argument(&to_double, a[2], edge.shared_area, "shared_area") ||
        !convert_argument(&to_vector3d, a[3], edge.contact_centroid, "contact_centroid") ||
        !convert_argument(&to_utf8, a[4], edge.contact_type, "contact_type")) {
      return nullptr;
    }
    return new_instance_of(type, std::move(edge));
  });
}

template <class V>
PyObject* set_attribute(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    Arguments<2> a;
    if (!match("set_attribute", set_names, args, nargs, kwnames, a)) return nullptr;
    auto* inst = as_instance<V>(self);
    // Declared before the borrow so that it is released after the borrow
    // ends: dropping the old value may run Python code that reads this record.
    PyRef replaced;
    ExclusiveBorrow borrow(inst->borrow);
    if (!borrow.ok()) return nullptr;
    std::string key;
    if (!convert_argument(&to_utf8, a[0], key, "key")) return nullptr;
    replaced = inst->value.attributes.assign(std::move(key), PyRef::borrow(a[1]));
    Py_RETURN_NONE;
  });
}

template <class V>
PyObject* get_attribute(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    Arguments<1> a;
    if (!match("get_attribute", get_names, args, nargs, kwnames, a)) return nullptr;
    auto* inst = as_instance<V>(self);
    SharedBorrow borrow(inst->borrow);
    if (!borrow.ok()) return nullptr;
    std::string key;
    if (!convert_argument(&to_utf8, a[0], key, "key")) return nullptr;
    PyObject* value = inst->value.attributes.find(key);
    return Py_NewRef(value != nullptr ? value : Py_None);
  });
}

template <class V>
PyObject* get_all_attributes(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    auto* inst = as_instance<V>(self);
    SharedBorrow borrow(inst->borrow);
    if (!borrow.ok()) return nullptr;
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) return nullptr;
    for (const auto& entry : inst->value.attributes.entries()) {
      PyRef key = PyRef::steal(to_python(entry.key));
      if (!key || PyDict_SetItem(dict.get(), key.get(), entry.value.get()) < 0) return nullptr;
    }
    return dict.release();
  });
}

template <class V>
int attributes_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  return as_instance<V>(self)->value.attributes.traverse(visit, arg);
}

template <class V>
int attributes_clear(PyObject* self) {
  as_instance<V>(self)->value.attributes.clear();
  return 0;
}

PyMethodDef graph_node_methods[] = {
    {"set_attribute", as_cfunction(set_attribute<GraphNodeValue>), METH_FASTCALL | METH_KEYWORDS,
     "set_attribute($self, key, value)\n--\n\n"},
    {"get_attribute", as_cfunction(get_attribute<GraphNodeValue>), METH_FASTCALL | METH_KEYWORDS,
     "get_attribute($self, key)\n--\n\n"
     "Safely fetches attribute or returns Python None, bypassing ambiguous conversion traits."},
    {"get_all_attributes", get_all_attributes<GraphNodeValue>, METH_NOARGS,
     "get_all_attributes($self)\n--\n\n"
     "Packs all attributes into a standard Python dictionary."},
    {},
};

PyMethodDef graph_edge_methods[] = {
    {"set_attribute", as_cfunction(set_attribute<GraphEdgeValue>), METH_FASTCALL | METH_KEYWORDS,
     "set_attribute($self, key, value)\n--\n\n"},
    {"get_attribute", as_cfunction(get_attribute<GraphEdgeValue>), METH_FASTCALL | METH_KEYWORDS,
     "get_attribute($self, key)\n--\n\n"},
    {"get_all_attributes", get_all_attributes<GraphEdgeValue>, METH_NOARGS,
     "get_all_attributes($self)\n--\n\n"},
    {},
};

PyGetSetDef graph_node_getset[] = {
    {"index", field_getter<GraphNodeValue, &GraphNodeValue::index>, nullptr, nullptr, nullptr},
    {"centroid", field_getter<GraphNodeValue, &GraphNodeValue::centroid>, nullptr, nullptr,
     nullptr},
    {},
};

PyGetSetDef graph_edge_getset[] = {
    {"node_a", field_getter<GraphEdgeValue, &GraphEdgeValue::node_a>, nullptr, nullptr, nullptr},
    {"node_b", field_getter<GraphEdgeValue, &GraphEdgeValue::node_b>, nullptr, nullptr, nullptr},
    {"shared_area", field_getter<GraphEdgeValue, &GraphEdgeValue::shared_area>, nullptr, nullptr,
     nullptr},
    {"contact_centroid", field_getter<GraphEdgeValue, &GraphEdgeValue::contact_centroid>, nullptr,
     nullptr, nullptr},
    {"contact_type", field_getter<GraphEdgeValue, &GraphEdgeValue::contact_type>, nullptr,
     nullptr, nullptr},
    {},
};

PyGetSetDef wire_contact_getset[] = {
    {"wire_index", field_getter<WireContact, &WireContact::wire_index>, nullptr, nullptr, nullptr},
    {"mesh_index", field_getter<WireContact, &WireContact::mesh_index>, nullptr, nullptr, nullptr},
    {},
};

PyType_Slot graph_node_slots[] = {
    {Py_tp_doc, const_cast<char*>("GraphNode(index, centroid)\n--\n\nRepresents a node inside the "
                                  "spatial network with flexible metadata.")},
    {Py_tp_new, reinterpret_cast<void*>(graph_node_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(gc_instance_dealloc<GraphNodeValue>)},
    {Py_tp_traverse, reinterpret_cast<void*>(attributes_traverse<GraphNodeValue>)},
    {Py_tp_clear, reinterpret_cast<void*>(attributes_clear<GraphNodeValue>)},
    {Py_tp_getset, graph_node_getset},
    {Py_tp_methods, graph_node_methods},
    {},
};

PyType_Slot graph_edge_slots[] = {
    {Py_tp_doc, const_cast<char*>(
        "GraphEdge(node_a, node_b, shared_area, contact_centroid, contact_type)\n--\n\n"
        "Represents an edge inside the spatial network with flexible metadata.")},
    {Py_tp_new, reinterpret_cast<void*>(graph_edge_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(gc_instance_dealloc<GraphEdgeValue>)},
    {Py_tp_traverse, reinterpret_cast<void*>(attributes_traverse<GraphEdgeValue>)},
    {Py_tp_clear, reinterpret_cast<void*>(attributes_clear<GraphEdgeValue>)},
    {Py_tp_getset, graph_edge_getset},
    {Py_tp_methods, graph_edge_methods},
    {},
};

PyType_Slot wire_contact_slots[] = {
    {Py_tp_doc, const_cast<char*>("Represents intersection contacts between 1D linear elements "
                                  "(wires/columns) and 3D cells (meshes).")},
    {Py_tp_dealloc, reinterpret_cast<void*>(instance_dealloc<WireContact>)},
    {Py_tp_getset, wire_contact_getset},
    {},
};

}  // namespace

PyObject* new_graph_node(GraphNodeValue&& value) noexcept {
  return new_instance(TypeId::graph_node, std::move(value));
}
PyObject* new_graph_edge(GraphEdgeValue&& value) noexcept {
  return new_instance(TypeId::graph_edge, std::move(value));
}
bool append_graph_nodes(SpatialGraphValue& graph, const std::vector<Vector3D>& centroids) noexcept {
  try {
    graph.nodes.reserve(graph.nodes.size() + centroids.size());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return false;
  }
  for (std::size_t k = 0; k < centroids.size(); ++k) {
    PyRef node = PyRef::steal(new_graph_node({k, centroids[k], {}}));
    if (!node) return false;
    graph.nodes.push_back(std::move(node));
  }
  return true;
}

PyObject* new_wire_contact(const WireContact& value) noexcept {
  return new_instance(TypeId::wire_contact, WireContact(value));
}

PyType_Spec graph_node_spec = {
    "builtins.GraphNode", sizeof(GraphNodeObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    graph_node_slots,
};
PyType_Spec graph_edge_spec = {
    "builtins.GraphEdge", sizeof(GraphEdgeObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    graph_edge_slots,
};
PyType_Spec wire_contact_spec = {
    "builtins.WireContact", sizeof(Instance<WireContact>), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, wire_contact_slots,
};

}  // namespace kovalith::py
