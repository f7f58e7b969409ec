// Private entry points behind kovalith.building.
//
// _compile_building(registry, distance, angle, min_area, wall_gap, slab_gap,
// merge, elements, element_kinds, opening_orientations, regions) runs the
// native building compiler and wraps its records into a new SpatialGraph.
// elements, element_kinds and opening_orientations may be None: no element
// search; every element "physical"; every opening "any". With `regions`
// true it returns (graph, (points, ring_offsets, is_hole, edge_rings,
// normals)): the edges' net regions as bytes of native-endian float64 (x, y,
// z per point; x, y, z per edge for the normals), uint64 offsets (rings into
// points; edges into rings, each with one more entry than items) and uint8
// hole flags per ring.
//
// _space_boundaries(registry, distance, angle, min_area, wall_gap, slab_gap,
// merge, elements, element_kinds, opening_orientations) returns (graph,
// (points, ring_offsets, piece_rings, reals, links, opening_points,
// opening_rings, opening_links, opening_areas)): float64 x, y, z per point;
// uint64 offsets of rings into points and of pieces into rings (ring 0 of a
// piece is its outer ring); per piece float64 (normal x, y, z, area, depth)
// and int64 (room, other, edge, corresponding, element; -1 for none); per
// opening a ring (uint64 offsets into opening_points), int64 (piece,
// aperture) and its float64 area.
//
// The submodule validates the settings and documents them; this
// layer only converts them. Like build_spatial_graph, the call keeps the
// interpreter lock: the workers read native copies only, and every Python
// object is made here, on the calling thread, after the search.
#include "graph/building_boundaries.h"
#include "graph/building_contacts.h"
#include "module/args.h"
#include "module/convert.h"
#include "module/errors.h"
#include "module/graph_objects.h"
#include "module/private_functions.h"
#include "module/types.h"

#include <array>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

namespace kovalith::py {
namespace {

constexpr std::array<const char*, 11> compile_names = {
    "registry", "distance", "angle",         "min_area",
    "wall_gap", "slab_gap", "merge",         "elements",
    "element_kinds", "opening_orientations", "regions"};

constexpr std::array<const char*, 10> boundary_names = {
    "registry", "distance", "angle",         "min_area",
    "wall_gap", "slab_gap", "merge",         "elements",
    "element_kinds", "opening_orientations"};

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

template <class T>
bool to_named(PyObject* obj, T& out, std::initializer_list<std::pair<const char*, T>> names,
              const char* what) noexcept {
  std::string text;
  if (!to_utf8(obj, text)) return false;
  for (const auto& [name, value] : names) {
    if (text == name) {
      out = value;
      return true;
    }
  }
  PyErr_Format(PyExc_ValueError, "%s, not %R", what, obj);
  return false;
}

bool to_element_kind(PyObject* obj, ElementKind& out) noexcept {
  return to_named(obj, out,
                  {{"physical", ElementKind::physical},
                   {"virtual", ElementKind::virtual_},
                   {"crossing", ElementKind::crossing}},
                  "an element kind must be 'physical', 'virtual' or 'crossing'");
}

bool to_orientation(PyObject* obj, OpeningOrientation& out) noexcept {
  return to_named(obj, out,
                  {{"any", OpeningOrientation::any},
                   {"wall", OpeningOrientation::wall},
                   {"slab", OpeningOrientation::slab}},
                  "an opening orientation must be 'any', 'wall' or 'slab'");
}

// A sequence argument that may be None (then left empty).
template <class T>
bool optional_list(PyObject* obj, std::vector<T>& out, bool (*convert)(PyObject*, T&) noexcept,
                   const char* name) noexcept {
  if (obj == Py_None) return true;
  if (to_vector(obj, out, convert)) return true;
  add_argument_note(name);
  return false;
}

bool check_length(std::size_t have, std::size_t want, const char* name, const char* of) noexcept {
  if (have == 0 || have == want) return true;
  PyErr_Format(PyExc_ValueError, "%s has %zu items for %zu %s", name, have, want, of);
  return false;
}

template <class T>
PyObject* new_bytes(const std::vector<T>& values) noexcept {
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(values.data()),
                                   static_cast<Py_ssize_t>(values.size() * sizeof(T)));
}

// The edges' regions as the flat buffers _compile_building documents.
PyObject* region_buffers(const std::vector<BuildingEdge>& edges) noexcept {
  try {
    std::vector<double> points, normals;
    std::vector<std::uint64_t> rings{0}, edge_rings{0};
    std::vector<std::uint8_t> holes;
    normals.reserve(3 * edges.size());
    for (const BuildingEdge& e : edges) {
      const ContactRegion& r = e.region;
      const std::size_t base = points.size() / 3;
      for (const Vector3D& p : r.points) points.insert(points.end(), {p.x, p.y, p.z});
      for (std::size_t k = 1; k < r.ring_offsets.size(); ++k) rings.push_back(base + r.ring_offsets[k]);
      holes.insert(holes.end(), r.is_hole.begin(), r.is_hole.end());
      edge_rings.push_back(holes.size());
      normals.insert(normals.end(), {r.normal.x, r.normal.y, r.normal.z});
    }
    PyRef a = PyRef::steal(new_bytes(points)), b = PyRef::steal(new_bytes(rings)),
          c = PyRef::steal(new_bytes(holes)), d = PyRef::steal(new_bytes(edge_rings)),
          n = PyRef::steal(new_bytes(normals));
    if (!a || !b || !c || !d || !n) return nullptr;
    return PyTuple_Pack(5, a.get(), b.get(), c.get(), d.get(), n.get());
  } catch (...) {
    translate_current_exception();
    return nullptr;
  }
}

PyObject* new_positions(const std::vector<std::uint64_t>& positions) noexcept {
  return new_list(positions, [](std::uint64_t k) { return new_u64(k); });
}

PyObject* new_point_list(const Vector3D& p) noexcept {
  return Py_BuildValue("[ddd]", p.x, p.y, p.z);
}

// The attributes of a compiled edge, in a fixed order. `opening_centroid` is
// a plain [x, y, z] list so that every export reads it as data.
bool set_edge_attributes(AttributeMap& map, const BuildingEdge& edge, bool with_elements) {
  PyRef gap = PyRef::steal(PyFloat_FromDouble(edge.gap));
  PyRef openings = PyRef::steal(new_positions(edge.openings));
  PyRef area = PyRef::steal(PyFloat_FromDouble(edge.opening_area));
  if (!gap || !openings || !area) return false;
  map.assign("gap", std::move(gap));
  map.assign("openings", std::move(openings));
  map.assign("opening_area", std::move(area));
  if (edge.opening_centroid) {
    PyRef centre = PyRef::steal(new_point_list(*edge.opening_centroid));
    if (!centre) return false;
    map.assign("opening_centroid", std::move(centre));
  }
  if (with_elements) {
    PyRef elements = PyRef::steal(new_positions(edge.elements));
    PyRef crossings = PyRef::steal(new_positions(edge.crossings));
    if (!elements || !crossings) return false;
    map.assign("elements", std::move(elements));
    map.assign("crossings", std::move(crossings));
    map.assign("virtual", PyRef::borrow(edge.is_virtual ? Py_True : Py_False));
  }
  return true;
}

// The arguments both entry points share, converted. The registry stays
// borrowed while `borrow` lives.
struct CompileInputs {
  BuildingSettings settings;
  std::vector<Mesh> elements;
  std::vector<ElementKind> kinds;
  std::vector<OpeningOrientation> orientations;
  BuildingExtras extras;
  Instance<Registry>* registry = nullptr;
};

template <std::size_t N>
bool read_inputs(const char* name, const std::array<const char*, N>& names, PyObject* const* args,
                 Py_ssize_t nargs, PyObject* kwnames, Arguments<N>& a, CompileInputs& out) {
  if (!match(name, names, args, nargs, kwnames, a)) return false;
  if (!is_instance(a[0], TypeId::spatial_registry)) {
    PyErr_Format(PyExc_TypeError, "registry must be a SpatialRegistry, not %.200s",
                 Py_TYPE(a[0])->tp_name);
    return false;
  }
  BuildingSettings& settings = out.settings;
  if (!convert_argument(&to_double, a[1], settings.distance, "distance") ||
      !convert_argument(&to_double, a[2], settings.angle_degrees, "angle") ||
      !convert_argument(&to_double, a[3], settings.min_area, "min_area") ||
      !convert_argument(&to_double, a[4], settings.wall_gap, "wall_gap") ||
      !convert_argument(&to_double, a[5], settings.slab_gap, "slab_gap") ||
      !convert_argument(&to_merge_mode, a[6], settings.merge, "merge")) {
    return false;
  }
  if (!optional_list(a[7], out.elements, &to_mesh, "elements") ||
      !optional_list(a[8], out.kinds, &to_element_kind, "element_kinds") ||
      !optional_list(a[9], out.orientations, &to_orientation, "opening_orientations")) {
    return false;
  }
  out.registry = as_instance<Registry>(a[0]);
  out.extras.elements = out.elements;
  out.extras.element_kinds = out.kinds;
  out.extras.opening_orientations = out.orientations;
  out.extras.search_elements = a[7] != Py_None;
  return true;
}

bool check_lengths(const CompileInputs& in) {
  return check_length(in.kinds.size(), in.elements.size(), "element_kinds", "elements") &&
         check_length(in.orientations.size(), in.registry->value.apertures.size(),
                      "opening_orientations", "openings");
}

// A new SpatialGraph of the compiled records.
PyObject* new_building_graph(BuildingGraph& build, bool with_elements) {
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
    if (!set_edge_attributes(value.attributes, edge, with_elements)) return nullptr;
    PyRef object = PyRef::steal(new_graph_edge(std::move(value)));
    if (!object) return nullptr;
    graph.edges.push_back(std::move(object));
  }
  graph.wire_contacts = std::move(build.wire_contacts);
  return new_spatial_graph(std::move(graph));
}

PyObject* compile_building_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    Arguments<11> a;
    CompileInputs in;
    if (!read_inputs("_compile_building", compile_names, args, nargs, kwnames, a, in)) return nullptr;
    SharedBorrow borrow(in.registry->borrow);
    if (!borrow.ok() || !check_lengths(in)) return nullptr;
    const int regions = PyObject_IsTrue(a[10]);
    if (regions < 0) return nullptr;
    in.extras.keep_regions = regions != 0;

    Interrupt stop = python_interrupt();
    Result<BuildingGraph> built = compile_building(in.registry->value, in.settings, in.extras, &stop);
    if (!built) return raise_error(built.error());
    PyRef buffers;
    if (in.extras.keep_regions) {
      buffers = PyRef::steal(region_buffers(built->edges));
      if (!buffers) return nullptr;
    }
    PyRef result = PyRef::steal(new_building_graph(*built, in.extras.search_elements));
    if (!result || !in.extras.keep_regions) return result.release();
    PyRef pair = PyRef::steal(PyTuple_Pack(2, result.get(), buffers.get()));
    return pair.release();
  });
}

// The pieces as the flat buffers _space_boundaries documents.
PyObject* piece_buffers(const std::vector<BoundaryPiece>& pieces) noexcept {
  try {
    std::vector<double> points, reals, opening_points, opening_areas;
    std::vector<std::uint64_t> rings{0}, piece_rings{0}, opening_rings{0};
    std::vector<std::int64_t> links, opening_links;
    auto position = [](std::size_t k) -> std::int64_t {
      return k == no_piece ? -1 : static_cast<std::int64_t>(k);
    };
    for (std::size_t k = 0; k < pieces.size(); ++k) {
      const BoundaryPiece& p = pieces[k];
      const std::size_t base = points.size() / 3;
      for (const Vector3D& q : p.points) points.insert(points.end(), {q.x, q.y, q.z});
      for (std::size_t r = 1; r < p.ring_offsets.size(); ++r) rings.push_back(base + p.ring_offsets[r]);
      piece_rings.push_back(rings.size() - 1);
      reals.insert(reals.end(), {p.normal.x, p.normal.y, p.normal.z, p.area, p.depth});
      links.insert(links.end(), {position(p.room), position(p.other), position(p.edge),
                                 position(p.corresponding), position(p.element)});
      for (const BoundaryOpening& o : p.openings) {
        for (const Vector3D& q : o.ring) opening_points.insert(opening_points.end(), {q.x, q.y, q.z});
        opening_rings.push_back(opening_points.size() / 3);
        opening_links.insert(opening_links.end(),
                             {static_cast<std::int64_t>(k), static_cast<std::int64_t>(o.opening)});
        opening_areas.push_back(o.area);
      }
    }
    std::array<PyRef, 9> parts = {
        PyRef::steal(new_bytes(points)),         PyRef::steal(new_bytes(rings)),
        PyRef::steal(new_bytes(piece_rings)),    PyRef::steal(new_bytes(reals)),
        PyRef::steal(new_bytes(links)),          PyRef::steal(new_bytes(opening_points)),
        PyRef::steal(new_bytes(opening_rings)),  PyRef::steal(new_bytes(opening_links)),
        PyRef::steal(new_bytes(opening_areas))};
    for (const PyRef& part : parts) {
      if (!part) return nullptr;
    }
    return PyTuple_Pack(9, parts[0].get(), parts[1].get(), parts[2].get(), parts[3].get(),
                        parts[4].get(), parts[5].get(), parts[6].get(), parts[7].get(),
                        parts[8].get());
  } catch (...) {
    translate_current_exception();
    return nullptr;
  }
}

PyObject* space_boundaries_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    Arguments<10> a;
    CompileInputs in;
    if (!read_inputs("_space_boundaries", boundary_names, args, nargs, kwnames, a, in)) return nullptr;
    SharedBorrow borrow(in.registry->borrow);
    if (!borrow.ok() || !check_lengths(in)) return nullptr;

    Interrupt stop = python_interrupt();
    Result<BoundaryGraph> built =
        compile_space_boundaries(in.registry->value, in.settings, in.extras, &stop);
    if (!built) return raise_error(built.error());
    PyRef buffers = PyRef::steal(piece_buffers(built->pieces));
    if (!buffers) return nullptr;
    PyRef graph = PyRef::steal(new_building_graph(built->graph, in.extras.search_elements));
    if (!graph) return nullptr;
    return PyTuple_Pack(2, graph.get(), buffers.get());
  });
}

PyMethodDef building_functions[] = {
    {"_compile_building", as_cfunction(compile_building_entry), METH_FASTCALL | METH_KEYWORDS,
     "_compile_building(registry, distance, angle, min_area, wall_gap, slab_gap, merge, "
     "elements, element_kinds, opening_orientations, regions)\n--\n\n"
     "Native building compiler; use kovalith.building.compile_building."},
    {"_space_boundaries", as_cfunction(space_boundaries_entry), METH_FASTCALL | METH_KEYWORDS,
     "_space_boundaries(registry, distance, angle, min_area, wall_gap, slab_gap, merge, "
     "elements, element_kinds, opening_orientations)\n--\n\n"
     "Native space boundaries; use kovalith.building.space_boundaries."},
    {},
};

}  // namespace

int add_building_functions(PyObject* module) noexcept {
  return PyModule_AddFunctions(module, building_functions);
}

}  // namespace kovalith::py
