// Private entry points behind kovalith.building.
//
// _compile_building(registry, distance, angle, min_area, wall_gap, slab_gap,
// merge) runs the native building compiler and wraps its records into a new
// SpatialGraph. The submodule validates the settings and documents them; this
// layer only converts them. Like build_spatial_graph, the call keeps the
// interpreter lock: the workers read native copies only, and every Python
// object is made here, on the calling thread, after the search.
#include "graph/building_contacts.h"
#include "module/args.h"
#include "module/convert.h"
#include "module/errors.h"
#include "module/graph_objects.h"
#include "module/private_functions.h"
#include "module/types.h"

#include <array>
#include <string>

namespace kovalith::py {
namespace {

constexpr std::array<const char*, 7> compile_names = {
    "registry", "distance", "angle", "min_area", "wall_gap", "slab_gap", "merge"};

bool to_merge_mode(PyObject* obj, MergeMode& out) noexcept {
  std::string text;
  if (!to_utf8(obj, text)) return false;
  if (text == "face") {
    out = MergeMode::face;
  } else if (text == "plane") {
    out = MergeMode::plane;
  } else if (text == "room") {
    out = MergeMode::room;
  } else {
    PyErr_Format(PyExc_ValueError, "merge must be 'face', 'plane' or 'room', not %R", obj);
    return false;
  }
  return true;
}

// The four attributes every compiled edge carries, in a fixed order.
bool set_edge_attributes(AttributeMap& map, BuildingEdge& edge) {
  PyRef gap = PyRef::steal(PyFloat_FromDouble(edge.gap));
  PyRef openings = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(edge.openings.size())));
  PyRef area = PyRef::steal(PyFloat_FromDouble(edge.opening_area));
  PyRef centre = edge.opening_centroid ? PyRef::steal(new_vector3d(*edge.opening_centroid))
                                       : PyRef::borrow(Py_None);
  if (!gap || !openings || !area || !centre) return false;
  for (std::size_t k = 0; k < edge.openings.size(); ++k) {
    PyObject* position = new_u64(edge.openings[k]);
    if (position == nullptr) return false;
    PyList_SET_ITEM(openings.get(), static_cast<Py_ssize_t>(k), position);
  }
  map.assign("gap", std::move(gap));
  map.assign("openings", std::move(openings));
  map.assign("opening_area", std::move(area));
  map.assign("opening_centroid", std::move(centre));
  return true;
}

PyObject* compile_building_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    Arguments<7> a;
    if (!match("_compile_building", compile_names, args, nargs, kwnames, a)) return nullptr;
    if (!is_instance(a[0], TypeId::spatial_registry)) {
      PyErr_Format(PyExc_TypeError, "registry must be a SpatialRegistry, not %.200s",
                   Py_TYPE(a[0])->tp_name);
      return nullptr;
    }
    BuildingSettings settings;
    if (!convert_argument(&to_double, a[1], settings.distance, "distance") ||
        !convert_argument(&to_double, a[2], settings.angle_degrees, "angle") ||
        !convert_argument(&to_double, a[3], settings.min_area, "min_area") ||
        !convert_argument(&to_double, a[4], settings.wall_gap, "wall_gap") ||
        !convert_argument(&to_double, a[5], settings.slab_gap, "slab_gap") ||
        !convert_argument(&to_merge_mode, a[6], settings.merge, "merge")) {
      return nullptr;
    }
    auto* inst = as_instance<Registry>(a[0]);
    SharedBorrow borrow(inst->borrow);
    if (!borrow.ok()) return nullptr;

    Interrupt stop = python_interrupt();
    Result<BuildingGraph> built = compile_building(inst->value, settings, &stop);
    if (!built) return raise_error(built.error());
    BuildingGraph& build = *built;

    // As in build_spatial_graph: no collection can find a cycle among objects
    // the caller does not hold yet, so collections wait for the graph.
    GcPause pause;
    SpatialGraphValue graph;
    if (!append_graph_nodes(graph, build.centroids)) return nullptr;
    graph.edges.reserve(build.edges.size());
    for (BuildingEdge& edge : build.edges) {
      GraphEdgeValue value{edge.node_a,
                           edge.node_b,
                           edge.shared_area,
                           edge.contact_centroid,
                           std::string(contact_type_name(edge.contact_type)),
                           {}};
      if (!set_edge_attributes(value.attributes, edge)) return nullptr;
      PyRef object = PyRef::steal(new_graph_edge(std::move(value)));
      if (!object) return nullptr;
      graph.edges.push_back(std::move(object));
    }
    graph.wire_contacts = std::move(build.wire_contacts);
    return new_spatial_graph(std::move(graph));
  });
}

PyMethodDef building_functions[] = {
    {"_compile_building", as_cfunction(compile_building_entry), METH_FASTCALL | METH_KEYWORDS,
     "_compile_building(registry, distance, angle, min_area, wall_gap, slab_gap, merge)\n--\n\n"
     "Native building compiler; use kovalith.building.compile_building."},
    {},
};

}  // namespace

int add_building_functions(PyObject* module) noexcept {
  return PyModule_AddFunctions(module, building_functions);
}

}  // namespace kovalith::py
