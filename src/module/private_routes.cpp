// Private entry points behind kovalith.routes.
//
// _route_size(graph) -> (rooms, edges)
// _route_search(graph, sources, target, via, walk, limit)
//   sources: sequence of room positions, each below the room count;
//   target: a room position (one route) or None (every room);
//   via: None (every edge), "openings" (edges whose `openings` attribute is
//     a non-empty sequence), or a bytes-like object with one byte per edge,
//     non-zero for an admitted edge;
//   walk: False for centroid-to-centroid costs, True for room centre to the
//     edge's `opening_centroid` (a Vector3D or [x, y, z]; its
//     `contact_centroid` when that is None or absent) to the next room centre;
//   limit: rooms farther than this are left unreached (+inf: no limit).
//   Returns (rooms, edges, length) for a target, else four bytearrays of
//   native-endian float64 distances (+inf unreached) and int64 predecessors,
//   arriving edges and origins (-1 for none).
//
// Both read the graph's cached routing structure. Shut edges get a NaN cost,
// which the search never takes, so the tie rule is that of an unrestricted
// search on the admitted edges alone. Edge attributes can change at any
// time, so `via="openings"` and `walk` read them at every call.
#include "module/convert.h"
#include "module/errors.h"
#include "module/graph_objects.h"
#include "module/private_functions.h"
#include "module/spatial_graph_methods.h"
#include "module/types.h"
#include "query/route_index.h"
#include "query/route_search.h"

#include <array>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

namespace kovalith::py {
namespace {

constexpr std::array<const char*, 1> size_names = {"graph"};
constexpr std::array<const char*, 6> search_names = {"graph", "sources", "target",
                                                     "via",   "walk",    "limit"};
constexpr std::string_view openings_key = "openings";
constexpr std::string_view opening_centroid_key = "opening_centroid";
constexpr double shut = std::numeric_limits<double>::quiet_NaN();

bool check_graph(PyObject* obj) noexcept {
  if (is_instance(obj, TypeId::spatial_graph)) return true;
  PyErr_Format(PyExc_TypeError, "expected SpatialGraph, got '%.200s'", Py_TYPE(obj)->tp_name);
  return false;
}

// The door attributes of one edge (new references, empty when absent) and
// its contact centre, read under one short borrow: evaluating the values may
// run Python code, which must be free to set attributes on the edge.
struct DoorAttributes {
  PyRef openings;
  PyRef opening_centroid;
  Vector3D contact_centroid;
};

bool door_attributes(PyObject* edge_obj, DoorAttributes& out) noexcept {
  auto* edge = as_instance<GraphEdgeValue>(edge_obj);
  SharedBorrow borrow(edge->borrow);
  if (!borrow.ok()) return false;
  const AttributeMap& attributes = edge->value.attributes;
  PyObject* openings = attributes.find(openings_key);
  PyObject* centroid = attributes.find(opening_centroid_key);
  out.openings = openings != nullptr ? PyRef::borrow(openings) : PyRef();
  out.opening_centroid = centroid != nullptr ? PyRef::borrow(centroid) : PyRef();
  out.contact_centroid = edge->value.contact_centroid;
  return true;
}

// Whether an `openings` value admits the edge: a non-empty sized value does,
// None (or no value) does not.
bool has_openings(std::size_t k, PyObject* value, bool& out) noexcept {
  if (value == nullptr || value == Py_None) {
    out = false;
    return true;
  }
  const Py_ssize_t size = PyObject_Size(value);
  if (size < 0) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError,
                 "edge %zu: 'openings' must be a list of aperture positions or None, got '%.200s'",
                 k, Py_TYPE(value)->tp_name);
    return false;
  }
  out = size > 0;
  return true;
}

// The walking point of an edge: its `opening_centroid` as a Vector3D or as
// three numbers ([x, y, z], as the building compiler writes it), else its
// contact centre.
bool walk_point(std::size_t k, PyObject* value, const Vector3D& contact_centroid,
                Vector3D& out) noexcept {
  if (value == nullptr || value == Py_None) {
    out = contact_centroid;
    return true;
  }
  if (is_instance(value, TypeId::vector3d)) return to_vector3d(value, out);
  if (PyList_Check(value) || PyTuple_Check(value)) {
    PyRef items = PyRef::steal(PySequence_Fast(value, ""));
    if (!items) return false;
    if (PySequence_Fast_GET_SIZE(items.get()) == 3) {
      PyObject** xyz = PySequence_Fast_ITEMS(items.get());
      double c[3];
      for (int a = 0; a < 3; ++a) {
        if (!PyFloat_Check(xyz[a]) && !PyLong_Check(xyz[a])) break;
        c[a] = PyFloat_AsDouble(xyz[a]);
        if (c[a] == -1.0 && PyErr_Occurred()) return false;
        if (a == 2) {
          out = Vector3D{c[0], c[1], c[2]};
          return true;
        }
      }
    }
  }
  PyErr_Format(PyExc_TypeError,
               "edge %zu: 'opening_centroid' must be a Vector3D, [x, y, z] or None, got '%.200s'",
               k, Py_TYPE(value)->tp_name);
  return false;
}

// Per-edge admission flags from a bytes-like mask.
bool mask_admission(PyObject* via, std::size_t edge_count, std::vector<std::uint8_t>& out) {
  Py_buffer view;
  if (PyObject_GetBuffer(via, &view, PyBUF_SIMPLE) < 0) return false;
  const bool sized = static_cast<std::size_t>(view.len) == edge_count;
  if (sized) {
    const auto* bytes = static_cast<const std::uint8_t*>(view.buf);
    out.assign(bytes, bytes + edge_count);
  }
  PyBuffer_Release(&view);
  if (!sized) {
    PyErr_Format(PyExc_ValueError, "via: the mask has %zd bytes for %zu edges",
                 static_cast<Py_ssize_t>(view.len), edge_count);
  }
  return sized;
}

// The per-entry costs of one call: the cached centroid costs, or walking
// distances, with NaN on every entry of a shut edge. Returns false with a
// Python exception set.
bool entry_costs(const SpatialGraphValue& graph, const RouteIndex& index, PyObject* via,
                 bool walk, std::vector<RouteEntry>& out) {
  const std::size_t edge_count = index.edge_count();
  std::vector<std::uint8_t> admitted;
  bool openings = false;
  if (via != Py_None) {
    if (PyUnicode_Check(via)) {
      if (PyUnicode_CompareWithASCIIString(via, "openings") != 0) {
        PyErr_Format(PyExc_ValueError, "via: unknown mode %R", via);
        return false;
      }
      openings = true;
      admitted.assign(edge_count, 0);
    } else if (!mask_admission(via, edge_count, admitted)) {
      return false;
    }
  }
  std::vector<double> weight;
  if (walk) weight.resize(edge_count);
  if (openings || walk) {
    for (std::size_t k = 0; k < edge_count; ++k) {
      // Held by our own reference: attribute code may run between edges
      // (the list itself never changes).
      const PyRef edge = PyRef::borrow(graph.edges[k].get());
      DoorAttributes door;
      if (!door_attributes(edge.get(), door)) return false;
      if (openings) {
        bool open = false;
        if (!has_openings(k, door.openings.get(), open)) return false;
        admitted[k] = open ? 1 : 0;
      }
      if (walk) {
        Vector3D point{};
        if (!walk_point(k, door.opening_centroid.get(), door.contact_centroid, point)) {
          return false;
        }
        const EdgeEnds& e = index.ends[k];
        weight[k] = centroid_distance(index.centroids[e.node_a], point) +
                    centroid_distance(point, index.centroids[e.node_b]);
      }
    }
  }
  out = index.entries;
  for (std::size_t i = 0; i < out.size(); ++i) {
    RouteEntry& entry = out[i];
    const RouteId k = index.edge[i];
    if (!admitted.empty() && admitted[k] == 0) {
      entry.cost = shut;
    } else if (walk) {
      entry.cost = weight[k];
    }
  }
  return true;
}

bool to_sources(PyObject* obj, std::size_t node_count, std::vector<RouteId>& out) noexcept {
  std::vector<std::uint64_t> positions;
  if (!to_vector(obj, positions, &to_u64)) return false;
  try {
    out.reserve(positions.size());
    for (const std::uint64_t p : positions) {
      if (p >= node_count) {
        PyErr_Format(PyExc_ValueError, "room %llu is not in the graph (%zu rooms)",
                     static_cast<unsigned long long>(p), node_count);
        return false;
      }
      out.push_back(static_cast<RouteId>(p));
    }
  } catch (...) {
    translate_current_exception();
    return false;
  }
  return true;
}

template <class T, class Make>
PyObject* new_array(std::size_t n, Make&& make) noexcept {
  PyRef bytes = PyRef::steal(
      PyByteArray_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(n * sizeof(T))));
  if (!bytes) return nullptr;
  char* data = PyByteArray_AS_STRING(bytes.get());
  for (std::size_t i = 0; i < n; ++i) {
    const T value = make(i);
    std::memcpy(data + i * sizeof(T), &value, sizeof(T));
  }
  return bytes.release();
}

std::int64_t signed_id(RouteId id) noexcept {
  return id == no_route_id ? -1 : static_cast<std::int64_t>(id);
}

PyObject* tree_arrays(const RouteIndex& index, const RouteTree& tree,
                      std::span<const RouteId> sources) {
  const std::size_t n = index.node_count();
  const bool one_source = tree.origin.empty();
  const std::int64_t only = sources.empty() ? -1 : static_cast<std::int64_t>(sources[0]);
  PyRef distance = PyRef::steal(new_array<double>(n, [&](std::size_t v) {
    const double d = tree.room[v].distance;
    return d == unreached_distance ? std::numeric_limits<double>::infinity() : d;
  }));
  if (!distance) return nullptr;
  PyRef predecessor = PyRef::steal(new_array<std::int64_t>(
      n, [&](std::size_t v) { return signed_id(tree.room[v].predecessor); }));
  if (!predecessor) return nullptr;
  PyRef edge = PyRef::steal(new_array<std::int64_t>(n, [&](std::size_t v) {
    const RouteId i = tree.room[v].entry;
    return i == no_route_id ? std::int64_t{-1} : static_cast<std::int64_t>(index.edge[i]);
  }));
  if (!edge) return nullptr;
  PyRef origin = PyRef::steal(new_array<std::int64_t>(n, [&](std::size_t v) {
    if (!one_source) return signed_id(tree.origin[v]);
    return tree.room[v].distance == unreached_distance ? std::int64_t{-1} : only;
  }));
  if (!origin) return nullptr;
  return PyTuple_Pack(4, distance.get(), predecessor.get(), edge.get(), origin.get());
}

PyObject* route_tuple(const RoomRoute& route) noexcept {
  PyRef rooms = PyRef::steal(new_list(route.rooms, [](std::uint64_t p) { return new_u64(p); }));
  if (!rooms) return nullptr;
  PyRef edges = PyRef::steal(new_list(route.edges, [](std::uint64_t p) { return new_u64(p); }));
  if (!edges) return nullptr;
  PyRef length = PyRef::steal(PyFloat_FromDouble(route.length));
  if (!length) return nullptr;
  return PyTuple_Pack(3, rooms.get(), edges.get(), length.get());
}

PyObject* route_size(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    Arguments<1> a;
    if (!match("_route_size", size_names, args, nargs, kwnames, a)) return nullptr;
    if (!check_graph(a[0])) return nullptr;
    auto* inst = as_instance<SpatialGraphValue>(a[0]);
    SharedBorrow borrow(inst->borrow);
    if (!borrow.ok()) return nullptr;
    return Py_BuildValue("(nn)", static_cast<Py_ssize_t>(inst->value.nodes.size()),
                         static_cast<Py_ssize_t>(inst->value.edges.size()));
  });
}

PyObject* route_search(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    Arguments<6> a;
    if (!match("_route_search", search_names, args, nargs, kwnames, a)) return nullptr;
    if (!check_graph(a[0])) return nullptr;
    PyObject* self = a[0];
    // Held for the whole call: attribute code run below may drop every other
    // reference to the graph's lists (it cannot change them).
    PyRef graph_ref = PyRef::borrow(self);
    auto* inst = as_instance<SpatialGraphValue>(self);
    SharedBorrow borrow(inst->borrow);
    if (!borrow.ok()) return nullptr;
    const std::size_t n = inst->value.nodes.size();

    std::vector<RouteId> sources;
    std::optional<std::uint64_t> target;
    double limit = 0.0;
    if (!to_sources(a[1], n, sources)) {
      add_argument_note("sources");
      return nullptr;
    }
    if (!convert_argument(&to_optional_u64, a[2], target, "target")) return nullptr;
    const int walk = PyObject_IsTrue(a[4]);
    if (walk < 0) return nullptr;
    if (!convert_argument(&to_double, a[5], limit, "limit")) return nullptr;
    if (target && *target >= n) {
      PyErr_Format(PyExc_ValueError, "room %llu is not in the graph (%zu rooms)",
                   static_cast<unsigned long long>(*target), n);
      return nullptr;
    }
    if (!(limit >= 0.0)) {
      PyErr_SetString(PyExc_ValueError, "limit must be a non-negative number (or +inf)");
      return nullptr;
    }

    const std::shared_ptr<const RouteIndex> index = graph_route_index(self);
    if (!index) return nullptr;
    std::vector<RouteEntry> costs;
    const bool default_costs = a[3] == Py_None && walk == 0;
    if (!default_costs && !entry_costs(inst->value, *index, a[3], walk != 0, costs)) {
      return nullptr;
    }

    RouteRequest request;
    request.entries = default_costs ? std::span<const RouteEntry>(index->entries) : costs;
    request.sources = sources;
    request.target = target ? static_cast<RouteId>(*target) : no_route_id;
    request.limit = limit;
    request.track_origin = !target && sources.size() > 1;
    Interrupt stop = python_interrupt();
    auto tree = search_routes(*index, request, &stop);
    if (!tree) return raise_error(tree.error());
    if (target) return route_tuple(route_to(*index, *tree, request.target));
    return tree_arrays(*index, *tree, sources);
  });
}

PyMethodDef route_functions[] = {
    {"_route_size", as_cfunction(route_size), METH_FASTCALL | METH_KEYWORDS,
     "_route_size(graph)\n--\n\nRoom and edge counts of a graph (private: see kovalith.routes)."},
    {"_route_search", as_cfunction(route_search), METH_FASTCALL | METH_KEYWORDS,
     "_route_search(graph, sources, target, via, walk, limit)\n--\n\n"
     "Routes over a graph's cached routing structure (private: see kovalith.routes)."},
    {},
};

}  // namespace

int add_route_functions(PyObject* module) noexcept {
  return PyModule_AddFunctions(module, route_functions);
}

}  // namespace kovalith::py
