// Mesh: validated polygon mesh; vertices and faces read back as new lists.
#include "kernel/mesh_clean.h"
#include "kernel/plane_slice.h"
#include "kernel/vertex_mean.h"
#include "module/convert.h"
#include "module/errors.h"
#include "module/types.h"

#include <array>

namespace kovalith::py {
namespace {

using MeshObject = Instance<Mesh>;



constexpr std::array<const char*, 2> ctor_names = {"vertices", "faces"};

PyObject* mesh_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    Arguments<2> a;
    if (!match("Mesh", ctor_names, args, kwargs, a)) return nullptr;
    Mesh mesh;
    if (!convert_argument(&to_vertex_list, a[0], mesh.vertices, "vertices") ||
        !convert_argument(&to_face_lists, a[1], mesh, "faces")) {
      return nullptr;
    }
    if (auto valid = validate(mesh); !valid) return raise_error(valid.error());
    return new_instance_of(type, std::move(mesh));
  });
}

PyObject* mesh_get_vertices(PyObject* self, void*) {
  auto* inst = as_instance<Mesh>(self);
  SharedBorrow borrow(inst->borrow);
  if (!borrow.ok()) return nullptr;
  return new_list(inst->value.vertices, [](const Vector3D& v) { return new_vector3d(v); });
}

// One int object per vertex position, created on first use and shared by
// every face corner that names it: a vertex is typically a corner of several
// faces, and allocating a fresh int per corner dominated the cost of reading.
class IndexObjects {
 public:
  // Sharing pays only when corners outnumber vertices; a mesh of many
  // vertices and few faces gets fresh ints instead of a large empty table.
  IndexObjects(std::size_t vertex_count, std::size_t corner_count)
      : slots_(corner_count >= vertex_count ? vertex_count : 0, nullptr) {}
  ~IndexObjects() {
    for (PyObject* obj : slots_) Py_XDECREF(obj);
  }
  IndexObjects(const IndexObjects&) = delete;
  IndexObjects& operator=(const IndexObjects&) = delete;

  PyObject* get(Index i) noexcept {
    if (slots_.empty()) return new_u64(i);
    PyObject*& slot = slots_[i];
    if (slot == nullptr) slot = new_u64(i);
    return Py_XNewRef(slot);
  }

 private:
  std::vector<PyObject*> slots_;
};

PyObject* mesh_get_faces(PyObject* self, void*) {
  return guarded([&]() -> PyObject* {
    auto* inst = as_instance<Mesh>(self);
    SharedBorrow borrow(inst->borrow);
    if (!borrow.ok()) return nullptr;
    const Mesh& mesh = inst->value;
    IndexObjects indices(mesh.vertices.size(), mesh.corners.size());
    // The result is a fresh tree of lists that only we can reach until it is
    // returned; collections triggered by its allocations could not free any of
    // it and would only rescan it.
    GcPause pause;
    PyRef faces = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(mesh.face_count())));
    if (!faces) return nullptr;
    for (std::size_t k = 0; k < mesh.face_count(); ++k) {
      PyObject* face = new_list(mesh.face(k), [&](Index i) { return indices.get(i); });
      if (face == nullptr) return nullptr;
      PyList_SET_ITEM(faces.get(), static_cast<Py_ssize_t>(k), face);
    }
    return faces.release();
  });
}

PyObject* mesh_validate(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    auto* inst = as_instance<Mesh>(self);
    SharedBorrow borrow(inst->borrow);
    if (!borrow.ok()) return nullptr;
    if (auto valid = validate(inst->value); !valid) return raise_error(valid.error());
    Py_RETURN_NONE;
  });
}

constexpr std::array<const char*, 1> clean_names = {"tolerance"};
constexpr std::array<const char*, 2> slice_names = {"normal", "origin"};

PyObject* mesh_clean(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    Arguments<1> a;
    if (!match("clean", clean_names, args, nargs, kwnames, a)) return nullptr;
    double tolerance = 0.0;
    if (!convert_argument(&to_double, a[0], tolerance, "tolerance")) return nullptr;
    auto* inst = as_instance<Mesh>(self);
    SharedBorrow borrow(inst->borrow);
    if (!borrow.ok()) return nullptr;
    Interrupt stop = python_interrupt();
    Result<Mesh> cleaned = clean_mesh(inst->value, tolerance, &stop);
    if (!cleaned) return raise_error(cleaned.error());
    return new_mesh(std::move(*cleaned));
  });
}

PyObject* mesh_compute_volume_centroid(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    auto* inst = as_instance<Mesh>(self);
    SharedBorrow borrow(inst->borrow);
    if (!borrow.ok()) return nullptr;
    return new_vector3d(vertex_mean(inst->value));
  });
}

PyObject* mesh_slice_by_plane(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    Arguments<2> a;
    if (!match("slice_by_plane", slice_names, args, nargs, kwnames, a)) return nullptr;
    Vector3D normal, origin;
    if (!convert_argument(&to_vector3d, a[0], normal, "normal") ||
        !convert_argument(&to_vector3d, a[1], origin, "origin")) {
      return nullptr;
    }
    auto* inst = as_instance<Mesh>(self);
    SharedBorrow borrow(inst->borrow);
    if (!borrow.ok()) return nullptr;
    Interrupt stop = python_interrupt();
    auto halves = slice_by_plane(inst->value, normal, origin, &stop);
    if (!halves) return raise_error(halves.error());
    PyRef above = PyRef::steal(new_mesh(std::move(halves->first)));
    if (!above) return nullptr;
    PyRef below = PyRef::steal(new_mesh(std::move(halves->second)));
    if (!below) return nullptr;
    return PyTuple_Pack(2, above.get(), below.get());
  });
}

PyGetSetDef mesh_getset[] = {
    {"vertices", mesh_get_vertices, nullptr, nullptr, nullptr},
    {"faces", mesh_get_faces, nullptr, nullptr, nullptr},
    {},
};

PyMethodDef mesh_methods[] = {
    {"validate", mesh_validate, METH_NOARGS, "validate($self)\n--\n\n"},
    {"clean", as_cfunction(mesh_clean), METH_FASTCALL | METH_KEYWORDS,
     "clean($self, tolerance)\n--\n\n"
     "Performs O(N) vertex welding and filters out degenerate/collapsed faces."},
    {"compute_volume_centroid", mesh_compute_volume_centroid, METH_NOARGS,
     "compute_volume_centroid($self)\n--\n\n"
     "Computes the 3D centroid of the entire mesh volume."},
    {"slice_by_plane", as_cfunction(mesh_slice_by_plane), METH_FASTCALL | METH_KEYWORDS,
     "slice_by_plane($self, normal, origin)\n--\n\n"
     "True 3D Freeform Mesh Slicing Engine. Splits an arbitrary mesh using a 3D Plane.\n"
     "Returns a tuple of two valid 3D meshes (above_plane_mesh, below_plane_mesh)."},
    {},
};

PyType_Slot mesh_slots[] = {
    {Py_tp_doc, const_cast<char*>("Mesh(vertices, faces)\n--\n\nA high-performance polygonal "
                                  "mesh representation tailored for architectural geometry.")},
    {Py_tp_new, reinterpret_cast<void*>(mesh_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(instance_dealloc<Mesh>)},
    {Py_tp_getset, mesh_getset},
    {Py_tp_methods, mesh_methods},
    {},
};

}  // namespace

PyType_Spec mesh_spec = {
    "builtins.Mesh", sizeof(MeshObject), 0, Py_TPFLAGS_DEFAULT, mesh_slots,
};

}  // namespace kovalith::py
