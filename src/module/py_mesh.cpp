// Mesh: validated polygon mesh; vertices and faces read back as new lists.
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

PyGetSetDef mesh_getset[] = {
    {"vertices", mesh_get_vertices, nullptr, nullptr, nullptr},
    {"faces", mesh_get_faces, nullptr, nullptr, nullptr},
    {},
};

PyMethodDef mesh_methods[] = {
    {"validate", mesh_validate, METH_NOARGS, "validate($self)\n--\n\n"},
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
