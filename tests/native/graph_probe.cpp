// Test-only extension module `_kovalith_graph_probe`: the native graph build
// with its reference paths selectable, on plain Python data.
//
// kovalith itself always takes the fast paths (R*-tree of faces, aperture
// index, wire prefilter, worker pool). The tests compare them with the plain
// scans through this module, which is built by CMake from the same core
// library but never installed. Inputs:
//   mesh  = (vertices, faces): a sequence of (x, y, z) and a sequence of index
//           sequences; validated like kovalith.Mesh (ValueError otherwise)
//   wire  = ((x, y, z), (x, y, z))
// Also leaf_envelopes, query_leaves and face_plane, for the index's own rules,
// and subtract_clips for the one-pass removal of many clips.
// build(meshes, wires, apertures, tolerance, faces, apertures_mode, wires_mode,
//       execution) -> (centroids, edges, wire_contacts) with
//   edges = [(node_a, node_b, area, (x, y, z), contact_type)],
//   wire_contacts = [(wire_index, mesh_index)]
// and modes "indexed"/"scan", "indexed"/"scan"/"every_coplanar",
// "prefiltered"/"brute_force", "pool"/"serial".
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "graph/face_index.h"
#include "graph/graph_build.h"
#include "kernel/polygon.h"

namespace {

using namespace kovalith;

struct PythonError {};  // a Python exception is already set

struct Ref {
  PyObject* p;
  explicit Ref(PyObject* obj) : p(obj) {
    if (p == nullptr) throw PythonError{};
  }
  ~Ref() { Py_XDECREF(p); }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
};

double as_double(PyObject* obj) {
  const double v = PyFloat_AsDouble(obj);
  if (v == -1.0 && PyErr_Occurred()) throw PythonError{};
  return v;
}

template <class F>
void each(PyObject* seq, F&& f) {
  Ref fast(PySequence_Fast(seq, "expected a sequence"));
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(fast.p);
  for (Py_ssize_t i = 0; i < n; ++i) f(PySequence_Fast_GET_ITEM(fast.p, i));
}

Vector3D as_point(PyObject* obj) {
  std::vector<double> c;
  each(obj, [&](PyObject* x) { c.push_back(as_double(x)); });
  if (c.size() != 3) throw std::invalid_argument("a point needs three coordinates");
  return {c[0], c[1], c[2]};
}

Mesh as_mesh(PyObject* obj) {
  Ref fast(PySequence_Fast(obj, "a mesh is (vertices, faces)"));
  if (PySequence_Fast_GET_SIZE(fast.p) != 2) throw std::invalid_argument("a mesh is (vertices, faces)");
  Mesh mesh;
  each(PySequence_Fast_GET_ITEM(fast.p, 0), [&](PyObject* v) { mesh.vertices.push_back(as_point(v)); });
  each(PySequence_Fast_GET_ITEM(fast.p, 1), [&](PyObject* face) {
    each(face, [&](PyObject* i) {
      const unsigned long long k = PyLong_AsUnsignedLongLong(i);
      if (PyErr_Occurred()) throw PythonError{};
      mesh.corners.push_back(k);
    });
    mesh.close_face();
  });
  if (auto valid = validate(mesh); !valid) throw std::invalid_argument(valid.error().message);
  return mesh;
}

std::vector<Mesh> as_meshes(PyObject* obj) {
  std::vector<Mesh> meshes;
  each(obj, [&](PyObject* m) { meshes.push_back(as_mesh(m)); });
  return meshes;
}

std::vector<Wire> as_wires(PyObject* obj) {
  std::vector<Wire> wires;
  each(obj, [&](PyObject* w) {
    Ref fast(PySequence_Fast(w, "a wire is (start, end)"));
    if (PySequence_Fast_GET_SIZE(fast.p) != 2) throw std::invalid_argument("a wire is (start, end)");
    wires.push_back({as_point(PySequence_Fast_GET_ITEM(fast.p, 0)),
                     as_point(PySequence_Fast_GET_ITEM(fast.p, 1))});
  });
  return wires;
}

template <class E>
E as_mode(const char* text, std::initializer_list<std::pair<const char*, E>> modes) {
  for (const auto& [name, value] : modes) {
    if (std::strcmp(text, name) == 0) return value;
  }
  throw std::invalid_argument(std::string("unknown mode ") + text);
}

PyObject* point_tuple(const Vector3D& p) { return Py_BuildValue("(ddd)", p.x, p.y, p.z); }

PyObject* box_tuple(const Box3& b) {
  return Py_BuildValue("((ddd)(ddd))", b.lo[0], b.lo[1], b.lo[2], b.hi[0], b.hi[1], b.hi[2]);
}

template <class F>
PyObject* run(F&& body) {
  try {
    return body();
  } catch (const PythonError&) {
    return nullptr;
  } catch (const std::invalid_argument& e) {
    PyErr_SetString(PyExc_ValueError, e.what());
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
  }
  return nullptr;
}

PyObject* append(PyObject* list, PyObject* item) {
  if (item == nullptr) throw PythonError{};
  const int rc = PyList_Append(list, item);
  Py_DECREF(item);
  if (rc < 0) throw PythonError{};
  return list;
}

PyObject* probe_build(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* names[] = {"meshes", "wires", "apertures", "tolerance", "faces",
                                "apertures_mode", "wires_mode", "execution", nullptr};
  PyObject *meshes_obj, *wires_obj, *apertures_obj;
  double tolerance;
  const char* faces = "indexed";
  const char* aperture_mode = "indexed";
  const char* wire_mode = "prefiltered";
  const char* execution = "pool";
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOd|ssss", const_cast<char**>(names),
                                   &meshes_obj, &wires_obj, &apertures_obj, &tolerance, &faces,
                                   &aperture_mode, &wire_mode, &execution)) {
    return nullptr;
  }
  return run([&]() -> PyObject* {
    Registry registry{as_meshes(meshes_obj), as_wires(wires_obj), as_meshes(apertures_obj)};
    BuildOptions options;
    options.faces = as_mode<FaceSearch>(faces, {{"indexed", FaceSearch::indexed},
                                                {"scan", FaceSearch::scan}});
    options.apertures = as_mode<ApertureSearch>(
        aperture_mode, {{"indexed", ApertureSearch::indexed},
                        {"scan", ApertureSearch::scan},
                        {"every_coplanar", ApertureSearch::every_coplanar}});
    options.wires = as_mode<WireSearch>(wire_mode, {{"prefiltered", WireSearch::prefiltered},
                                                    {"brute_force", WireSearch::brute_force}});
    options.execution = as_mode<Execution>(execution, {{"pool", Execution::pool},
                                                       {"serial", Execution::serial}});
    const GraphBuild build = build_graph(registry, tolerance, options);

    Ref centroids(PyList_New(0));
    for (const Vector3D& c : build.centroids) append(centroids.p, point_tuple(c));
    Ref edges(PyList_New(0));
    for (const RawEdge& e : build.edges) {
      const std::string_view type = contact_type_name(e.contact_type);
      append(edges.p, Py_BuildValue("(KKdNs#)", static_cast<unsigned long long>(e.node_a),
                                    static_cast<unsigned long long>(e.node_b), e.shared_area,
                                    point_tuple(e.contact_centroid), type.data(),
                                    static_cast<Py_ssize_t>(type.size())));
    }
    Ref contacts(PyList_New(0));
    for (const WireContact& w : build.wire_contacts) {
      append(contacts.p, Py_BuildValue("(KK)", static_cast<unsigned long long>(w.wire_index),
                                       static_cast<unsigned long long>(w.mesh_index)));
    }
    return PyTuple_Pack(3, centroids.p, edges.p, contacts.p);
  });
}

// leaf_envelopes(meshes, tolerance) -> [((lo), (hi), mesh_index, face_index)]
PyObject* probe_leaf_envelopes(PyObject*, PyObject* args) {
  PyObject* meshes_obj;
  double tolerance;
  if (!PyArg_ParseTuple(args, "Od", &meshes_obj, &tolerance)) return nullptr;
  return run([&]() -> PyObject* {
    const std::vector<Mesh> meshes = as_meshes(meshes_obj);
    Ref out(PyList_New(0));
    for (const SpatialFaceLeaf& leaf : build_leaves(meshes, tolerance)) {
      Ref box(box_tuple(leaf.envelope));
      append(out.p, Py_BuildValue("(OOKK)", PyTuple_GET_ITEM(box.p, 0), PyTuple_GET_ITEM(box.p, 1),
                                  static_cast<unsigned long long>(leaf.mesh_index),
                                  static_cast<unsigned long long>(leaf.face_index)));
    }
    return Py_NewRef(out.p);
  });
}

// query_leaves(meshes, tolerance, lo, hi, first_leaf, indexed) -> [leaf number]
PyObject* probe_query_leaves(PyObject*, PyObject* args) {
  PyObject *meshes_obj, *lo_obj, *hi_obj;
  double tolerance;
  Py_ssize_t first_leaf;
  int indexed;
  if (!PyArg_ParseTuple(args, "OdOOnp", &meshes_obj, &tolerance, &lo_obj, &hi_obj, &first_leaf,
                        &indexed)) {
    return nullptr;
  }
  return run([&]() -> PyObject* {
    const std::vector<Mesh> meshes = as_meshes(meshes_obj);
    const std::vector<SpatialFaceLeaf> leaves = build_leaves(meshes, tolerance);
    const Vector3D lo = as_point(lo_obj), hi = as_point(hi_obj);
    const Box3 box{{lo.x, lo.y, lo.z}, {hi.x, hi.y, hi.z}};
    std::vector<std::size_t> found;
    if (indexed) {
      FaceIndex(leaves).query(box, static_cast<std::size_t>(first_leaf), found);
    } else {
      scan_leaves(leaves, box, static_cast<std::size_t>(first_leaf), found);
    }
    Ref out(PyList_New(0));
    for (std::size_t k : found) append(out.p, PyLong_FromSize_t(k));
    return Py_NewRef(out.p);
  });
}

// face_plane(mesh, face_index) -> ((nx, ny, nz), offset) or None
PyObject* probe_face_plane(PyObject*, PyObject* args) {
  PyObject* mesh_obj;
  Py_ssize_t face;
  if (!PyArg_ParseTuple(args, "On", &mesh_obj, &face)) return nullptr;
  return run([&]() -> PyObject* {
    const Mesh mesh = as_mesh(mesh_obj);
    if (face < 0 || static_cast<std::size_t>(face) >= mesh.face_count()) {
      throw std::invalid_argument("no such face");
    }
    const std::optional<FacePlane> plane = face_plane(mesh.vertices, mesh.face(face));
    if (!plane) Py_RETURN_NONE;
    return Py_BuildValue("(Nd)", point_tuple(plane->normal), plane->offset);
  });
}

Polygon as_polygon(PyObject* obj) {
  Polygon polygon;
  bool first = true;
  each(obj, [&](PyObject* ring_obj) {
    Ring ring;
    each(ring_obj, [&](PyObject* pt) {
      std::vector<double> c;
      each(pt, [&](PyObject* x) { c.push_back(as_double(x)); });
      if (c.size() != 2) throw std::invalid_argument("a 2D point needs two coordinates");
      ring.push_back({c[0], c[1]});
    });
    if (!ring.empty() && !(ring.front() == ring.back())) ring.push_back(ring.front());
    if (first) {
      polygon.outer = std::move(ring);
      first = false;
    } else {
      polygon.holes.push_back(std::move(ring));
    }
  });
  return polygon;
}

PyObject* measure_tuple(const RegionMeasure& m) {
  const std::optional<Point2> c = m.centroid();
  if (!c) return Py_BuildValue("(dO)", m.area(), Py_None);
  return Py_BuildValue("(d(dd))", m.area(), c->x, c->y);
}

// subtract_clips(subject, clips) -> (one_pass, union_region, one_by_one), each
// (area, (cx, cy) or None): subject a polygon (rings, the first outer), clips
// a list of such polygons; measure_difference, measure(subtract_union) and a
// chain of subtract calls.
PyObject* probe_subtract_clips(PyObject*, PyObject* args) {
  PyObject *subject_obj, *clips_obj;
  if (!PyArg_ParseTuple(args, "OO", &subject_obj, &clips_obj)) return nullptr;
  return run([&]() -> PyObject* {
    const Region subject{as_polygon(subject_obj)};
    std::vector<Polygon> clips;
    each(clips_obj, [&](PyObject* c) { clips.push_back(as_polygon(c)); });
    std::vector<const Polygon*> pointers;
    for (const Polygon& c : clips) pointers.push_back(&c);
    const RegionMeasure pass = measure_difference(subject, pointers);
    const RegionMeasure whole = measure(subtract_union(subject, pointers));
    Region chain = subject;
    for (const Polygon& c : clips) {
      if (chain.empty()) break;
      chain = subtract(chain, c);
    }
    return Py_BuildValue("(NNN)", measure_tuple(pass), measure_tuple(whole),
                         measure_tuple(measure(chain)));
  });
}

PyMethodDef probe_methods[] = {
    {"subtract_clips", probe_subtract_clips, METH_VARARGS, nullptr},
    {"face_plane", probe_face_plane, METH_VARARGS, nullptr},
    {"build", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(probe_build)),
     METH_VARARGS | METH_KEYWORDS, nullptr},
    {"leaf_envelopes", probe_leaf_envelopes, METH_VARARGS, nullptr},
    {"query_leaves", probe_query_leaves, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef probe_module = {
    PyModuleDef_HEAD_INIT, "_kovalith_graph_probe", nullptr, -1, probe_methods,
    nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__kovalith_graph_probe() { return PyModule_Create(&probe_module); }
