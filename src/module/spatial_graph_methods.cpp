// SpatialGraph.find_shortest_path and SpatialGraph.to_cypher_queries, and the
// graph's cached routing structure.
//
// Both read the shared node and edge objects under a short shared borrow each
// and hand plain data to src/query; routes read them once per graph, when the
// routing structure is built. The export must also call repr() on
// attribute values, which runs arbitrary Python code: that code may set
// attributes, build other graphs or drop references, so nothing here keeps an
// iterator or a reference into a node's or edge's storage across the call.
#include "module/spatial_graph_methods.h"

#include "module/convert.h"
#include "module/errors.h"
#include "module/graph_objects.h"
#include "module/types.h"
#include "query/cypher.h"
#include "query/route_index.h"
#include "query/shortest_path.h"

#include <array>
#include <string>
#include <vector>

namespace kovalith::py {
namespace {

constexpr std::array<const char*, 2> path_names = {"start", "end"};

// The surrogate block: code points that UTF-8 cannot encode.
constexpr Py_UCS4 first_surrogate = 0xD800;
constexpr Py_UCS4 last_surrogate = 0xDFFF;
constexpr std::string_view replacement_character = "\xEF\xBF\xBD";

PyObject* find_shortest_path_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    Arguments<2> a;
    if (!match("find_shortest_path", path_names, args, nargs, kwnames, a)) return nullptr;
    std::uint64_t start = 0;
    std::uint64_t end = 0;
    if (!convert_argument(&to_u64, a[0], start, "start") ||
        !convert_argument(&to_u64, a[1], end, "end")) {
      return nullptr;
    }
    auto* inst = as_instance<SpatialGraphValue>(self);
    SharedBorrow borrow(inst->borrow);
    if (!borrow.ok()) return nullptr;
    // The bounds error comes before any work, even on a huge graph.
    if (auto ends = check_route_ends(inst->value.nodes.size(), start, end); !ends) {
      return raise_error(ends.error());
    }
    const std::shared_ptr<const RouteIndex> index = graph_route_index(self);
    if (!index) return nullptr;
    Interrupt stop = python_interrupt();
    auto route = kovalith::find_shortest_path(*index, start, end, &stop);
    if (!route) return raise_error(route.error());
    return new_list(*route, [](std::uint64_t position) { return new_u64(position); });
  });
}

// Appends the UTF-8 form of a str, writing U+FFFD for each code point that
// UTF-8 cannot carry (lone surrogates).
bool append_utf8_replacing(std::string& out, PyObject* text) {
  Py_ssize_t size = 0;
  if (const char* data = PyUnicode_AsUTF8AndSize(text, &size)) {
    out.append(data, static_cast<std::size_t>(size));
    return true;
  }
  if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return false;
  PyErr_Clear();
  const int kind = PyUnicode_KIND(text);
  const void* data = PyUnicode_DATA(text);
  const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
  for (Py_ssize_t i = 0; i < length; ++i) {
    const Py_UCS4 c = PyUnicode_READ(kind, data, i);
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c >= first_surrogate && c <= last_surrogate) {
      out += replacement_character;
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return true;
}

// Appends ", key: repr(value)" for every attribute. The repr() call may run
// any Python code, so each entry is looked up afresh by position and its
// value held by a strong reference of our own while repr() runs. (The shared
// borrow that the caller holds already makes set_attribute on this record
// fail with RuntimeError, which then propagates out of repr().)
bool append_attributes(std::string& out, const AttributeMap& attributes) {
  for (std::size_t k = 0; k < attributes.size(); ++k) {
    const AttributeMap::Entry& entry = attributes.entries()[k];
    append_property_key(out, entry.key);
    PyRef value = PyRef::borrow(entry.value.get());
    PyRef text = PyRef::steal(PyObject_Repr(value.get()));
    if (!text || !append_utf8_replacing(out, text.get())) return false;
  }
  return true;
}

bool push_statement(std::vector<PyRef>& statements, const std::string& text) {
  PyObject* str = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr);
  if (str == nullptr) return false;
  statements.push_back(PyRef::steal(str));
  return true;
}

PyObject* to_cypher_queries_method(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    auto* inst = as_instance<SpatialGraphValue>(self);
    SharedBorrow borrow(inst->borrow);
    if (!borrow.ok()) return nullptr;
    const SpatialGraphValue& graph = inst->value;
    std::vector<PyRef> statements;
    statements.reserve(graph.nodes.size() + graph.edges.size());
    std::string text;
    Interrupt stop = python_interrupt();

    // Positions and sizes are re-read at every step and every record is held
    // by our own reference: repr() runs between the steps.
    for (std::size_t i = 0; i < graph.nodes.size(); ++i) {
      if (interrupted(&stop)) return raise_error({ErrorKind::interrupted, {}});
      PyRef ref = PyRef::borrow(graph.nodes[i].get());
      auto* node = as_instance<GraphNodeValue>(ref.get());
      SharedBorrow node_borrow(node->borrow);
      if (!node_borrow.ok()) return nullptr;
      text.clear();
      begin_room_statement(text, node->value.index, node->value.centroid);
      if (!append_attributes(text, node->value.attributes)) return nullptr;
      end_room_statement(text);
      if (!push_statement(statements, text)) return nullptr;
    }
    for (std::size_t i = 0; i < graph.edges.size(); ++i) {
      if (interrupted(&stop)) return raise_error({ErrorKind::interrupted, {}});
      PyRef ref = PyRef::borrow(graph.edges[i].get());
      auto* edge = as_instance<GraphEdgeValue>(ref.get());
      SharedBorrow edge_borrow(edge->borrow);
      if (!edge_borrow.ok()) return nullptr;
      const GraphEdgeValue& e = edge->value;
      text.clear();
      begin_relationship_statement(
          text, {e.node_a, e.node_b, e.shared_area, e.contact_centroid, e.contact_type});
      if (!append_attributes(text, e.attributes)) return nullptr;
      end_relationship_statement(text);
      if (!push_statement(statements, text)) return nullptr;
    }
    return new_list(statements, [](const PyRef& s) { return Py_NewRef(s.get()); });
  });
}

}  // namespace

std::shared_ptr<const RouteIndex> graph_route_index(PyObject* self) noexcept {
  try {
    SpatialGraphValue& graph = as_instance<SpatialGraphValue>(self)->value;
    // The counts guard against a cache outliving the lists it was built from;
    // nothing but tp_clear changes them, and it drops the cache as well.
    if (graph.routes && graph.routes->node_count() == graph.nodes.size() &&
        graph.routes->edge_count() == graph.edges.size()) {
      return graph.routes;
    }
    // No Python code runs while gathering, so the lists cannot change under us.
    std::vector<Vector3D> centroids;
    centroids.reserve(graph.nodes.size());
    for (const PyRef& ref : graph.nodes) {
      auto* node = as_instance<GraphNodeValue>(ref.get());
      SharedBorrow node_borrow(node->borrow);
      if (!node_borrow.ok()) return nullptr;
      centroids.push_back(node->value.centroid);
    }
    std::vector<EdgeEnds> ends;
    ends.reserve(graph.edges.size());
    for (const PyRef& ref : graph.edges) {
      auto* edge = as_instance<GraphEdgeValue>(ref.get());
      SharedBorrow edge_borrow(edge->borrow);
      if (!edge_borrow.ok()) return nullptr;
      ends.push_back({edge->value.node_a, edge->value.node_b});
    }
    auto built = build_route_index(std::move(centroids), std::move(ends));
    if (!built) {
      raise_error(built.error());
      return nullptr;
    }
    graph.routes = std::make_shared<const RouteIndex>(std::move(*built));
    return graph.routes;
  } catch (...) {
    translate_current_exception();
    return nullptr;
  }
}

PyMethodDef spatial_graph_methods[] = {
    {"to_cypher_queries", to_cypher_queries_method, METH_NOARGS,
     "to_cypher_queries($self)\n--\n\n"
     "Generates high-performance database-ready Cypher Queries for direct importing into Neo4j "
     "GraphRAG."},
    {"find_shortest_path", as_cfunction(find_shortest_path_method), METH_FASTCALL | METH_KEYWORDS,
     "find_shortest_path($self, start, end)\n--\n\n"
     "Blazing-fast Dijkstra's shortest path solver executing natively on the compiled topological "
     "graph."},
    {},
};

}  // namespace kovalith::py
