#include "module/convert.h"

#include "module/errors.h"

namespace kovalith::py {
namespace {

// Non-list/tuple sequences report their own length, which may be anything:
// reserve no more than this many elements up front on their word.
constexpr std::size_t max_trusted_length_hint = std::size_t{1} << 16;

template <class T>
bool copy_record(PyObject* obj, TypeId id, const char* name, T& out) noexcept {
  if (!is_instance(obj, id)) return wrong_type(obj, name);
  auto* inst = as_instance<T>(obj);
  SharedBorrow borrow(inst->borrow);
  if (!borrow.ok()) return false;
  try {
    out = inst->value;
  } catch (...) {
    translate_current_exception();
    return false;
  }
  return true;
}

}  // namespace

bool wrong_type(PyObject* obj, const char* expected) noexcept {
  PyErr_Format(PyExc_TypeError, "expected %s, got '%.200s'", expected, Py_TYPE(obj)->tp_name);
  return false;
}

bool to_double(PyObject* obj, double& out) noexcept {
  if (PyFloat_CheckExact(obj)) {
    out = PyFloat_AS_DOUBLE(obj);
    return true;
  }
  const double value = PyFloat_AsDouble(obj);
  if (value == -1.0 && PyErr_Occurred()) return false;
  out = value;
  return true;
}

bool to_u64(PyObject* obj, std::uint64_t& out) noexcept {
  PyRef index;
  if (!PyLong_CheckExact(obj)) {
    // __index__ is honoured; float and other non-integers raise TypeError.
    index = PyRef::steal(PyNumber_Index(obj));
    if (!index) return false;
    obj = index.get();
  }
  const unsigned long long value = PyLong_AsUnsignedLongLong(obj);
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  out = value;
  return true;
}

bool to_optional_u64(PyObject* obj, std::optional<std::uint64_t>& out) noexcept {
  if (obj == Py_None) {
    out.reset();
    return true;
  }
  std::uint64_t value = 0;
  if (!to_u64(obj, value)) return false;
  out = value;
  return true;
}

bool to_utf8(PyObject* obj, std::string& out) noexcept {
  if (!PyUnicode_Check(obj)) return wrong_type(obj, "str");
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(obj, &size);
  if (data == nullptr) return false;
  try {
    out.assign(data, static_cast<std::size_t>(size));
  } catch (...) {
    translate_current_exception();
    return false;
  }
  return true;
}

bool to_vector3d(PyObject* obj, Vector3D& out) noexcept {
  return copy_record(obj, TypeId::vector3d, "Vector3D", out);
}

bool to_wire(PyObject* obj, Wire& out) noexcept {
  return copy_record(obj, TypeId::wire, "Wire", out);
}

bool to_mesh(PyObject* obj, Mesh& out) noexcept {
  return copy_record(obj, TypeId::mesh, "Mesh", out);
}

bool check_sequence(PyObject* obj) noexcept {
  if (PyList_CheckExact(obj) || PyTuple_CheckExact(obj)) return true;
  // A str is a sequence to Python, never to the sequence rule.
  if (PyUnicode_Check(obj) || !PySequence_Check(obj)) return wrong_type(obj, "a sequence");
  return true;
}

std::size_t sequence_capacity_hint(PyObject* seq) noexcept {
  if (PyList_CheckExact(seq)) return static_cast<std::size_t>(PyList_GET_SIZE(seq));
  if (PyTuple_CheckExact(seq)) return static_cast<std::size_t>(PyTuple_GET_SIZE(seq));
  const Py_ssize_t length = PyObject_Size(seq);
  if (length < 0) {
    PyErr_Clear();
    return 0;
  }
  return std::min(static_cast<std::size_t>(length), max_trusted_length_hint);
}

bool to_vertex_list(PyObject* obj, std::vector<Vector3D>& out) noexcept {
  return to_vector(obj, out, &to_vector3d);
}

bool to_face_lists(PyObject* obj, Mesh& out) noexcept {
  try {
    out.corners.clear();
    out.offsets.assign(1, 0);
    if (!check_sequence(obj)) return false;
    const std::size_t faces_hint = sequence_capacity_hint(obj);
    out.offsets.reserve(faces_hint + 1);
    out.corners.reserve(faces_hint * 3);
    return for_each_element(obj, [&](PyObject* face) {
      const bool ok = for_each_element(face, [&](PyObject* item) {
        std::uint64_t corner = 0;
        if (!to_u64(item, corner)) return false;
        out.corners.push_back(corner);
        return true;
      });
      if (ok) out.close_face();
      return ok;
    });
  } catch (...) {
    translate_current_exception();
    return false;
  }
}

PyObject* new_vector3d(const Vector3D& v) noexcept { return new_instance(TypeId::vector3d, Vector3D(v)); }

PyObject* new_wire(const Wire& w) noexcept { return new_instance(TypeId::wire, Wire(w)); }

PyObject* new_mesh(Mesh&& mesh) noexcept { return new_instance(TypeId::mesh, std::move(mesh)); }

PyObject* new_mesh_copy(const Mesh& mesh) noexcept {
  try {
    return new_mesh(Mesh(mesh));
  } catch (...) {
    translate_current_exception();
    return nullptr;
  }
}

PyObject* new_u64(std::uint64_t v) noexcept { return PyLong_FromUnsignedLongLong(v); }

}  // namespace kovalith::py
