#include "module/array_buffers.h"

#include "module/convert.h"
#include "module/errors.h"
#include "module/instance.h"

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace kovalith::py {
namespace {

// The vertex views and the fast copy read a vector of Vector3D as rows of
// three doubles.
static_assert(sizeof(Vector3D) == 3 * sizeof(double));
static_assert(offsetof(Vector3D, y) == sizeof(double) && offsetof(Vector3D, z) == 2 * sizeof(double));
static_assert(sizeof(std::size_t) == sizeof(std::uint64_t));

constexpr Py_ssize_t coordinates = 3;

enum class ItemKind { floating, signed_integer, unsigned_integer, other };

// Holds one exported buffer and releases it.
class Buffer {
 public:
  Buffer() = default;
  ~Buffer() {
    if (held_) PyBuffer_Release(&view_);
  }
  Buffer(const Buffer&) = delete;
  Buffer& operator=(const Buffer&) = delete;

  // TypeError naming `name` when `obj` exports no (strided) buffer.
  bool acquire(PyObject* obj, const char* name) noexcept {
    if (!PyObject_CheckBuffer(obj)) {
      PyErr_Format(PyExc_TypeError,
                   "%s: expected an array (an object of the buffer protocol), got '%.200s'", name,
                   Py_TYPE(obj)->tp_name);
      return false;
    }
    if (PyObject_GetBuffer(obj, &view_, PyBUF_RECORDS_RO) < 0) return false;
    held_ = true;
    return true;
  }

  const Py_buffer& view() const { return view_; }
  int ndim() const { return view_.ndim; }
  Py_ssize_t shape(int axis) const { return view_.shape[axis]; }
  const char* at(Py_ssize_t i) const {
    return static_cast<const char*>(view_.buf) + i * view_.strides[0];
  }
  const char* at(Py_ssize_t i, Py_ssize_t j) const { return at(i) + j * view_.strides[1]; }
  const char* format() const { return view_.format != nullptr ? view_.format : "B"; }

  ItemKind kind() const {
    const char* f = format();
    bool big_endian = std::endian::native == std::endian::big;
    if (*f == '@' || *f == '=' || *f == '<' || *f == '>' || *f == '!') {
      if (*f == '<') big_endian = false;
      if (*f == '>' || *f == '!') big_endian = true;
      ++f;
    }
    // Byte-swapped items would need swapping on every read.
    if (big_endian != (std::endian::native == std::endian::big) || f[0] == '\0' || f[1] != '\0') {
      return ItemKind::other;
    }
    const Py_ssize_t size = view_.itemsize;
    switch (*f) {
      case 'd':
      case 'f':
        return size == 8 || size == 4 ? ItemKind::floating : ItemKind::other;
      case 'b': case 'h': case 'i': case 'l': case 'q': case 'n':
        return ItemKind::signed_integer;
      case 'B': case 'H': case 'I': case 'L': case 'Q': case 'N':
        return ItemKind::unsigned_integer;
      default:
        return ItemKind::other;
    }
  }

  bool c_contiguous() const { return PyBuffer_IsContiguous(&view_, 'C') != 0; }

 private:
  Py_buffer view_{};
  bool held_ = false;
};

template <class T>
T load(const char* p) noexcept {
  T value;
  std::memcpy(&value, p, sizeof(T));
  return value;
}

double load_float(const char* p, Py_ssize_t size) noexcept {
  return size == 8 ? load<double>(p) : static_cast<double>(load<float>(p));
}

// A face index as the unsigned 64-bit value that Mesh(vertices, faces)
// converts; false with OverflowError for a negative one.
bool load_index(const char* p, Py_ssize_t size, bool is_signed, std::uint64_t& out) noexcept {
  std::int64_t value = 0;
  if (is_signed) {
    switch (size) {
      case 1: value = load<std::int8_t>(p); break;
      case 2: value = load<std::int16_t>(p); break;
      case 4: value = load<std::int32_t>(p); break;
      default: value = load<std::int64_t>(p); break;
    }
    if (value < 0) {
      PyErr_SetString(PyExc_OverflowError, "can't convert negative int to unsigned");
      return false;
    }
    out = static_cast<std::uint64_t>(value);
    return true;
  }
  switch (size) {
    case 1: out = load<std::uint8_t>(p); break;
    case 2: out = load<std::uint16_t>(p); break;
    case 4: out = load<std::uint32_t>(p); break;
    default: out = load<std::uint64_t>(p); break;
  }
  return true;
}

bool fail_with(PyObject* type, const char* name, const char* message, const Buffer& b) noexcept {
  if (b.ndim() == 1) {
    PyErr_Format(type, "%s: %s, got shape (%zd,) of format '%s'", name, message, b.shape(0),
                 b.format());
  } else if (b.ndim() == 2) {
    PyErr_Format(type, "%s: %s, got shape (%zd, %zd) of format '%s'", name, message, b.shape(0),
                 b.shape(1), b.format());
  } else {
    PyErr_Format(type, "%s: %s, got %d dimensions of format '%s'", name, message, b.ndim(),
                 b.format());
  }
  add_argument_note(name);
  return false;
}

bool is_integer(ItemKind kind) {
  return kind == ItemKind::signed_integer || kind == ItemKind::unsigned_integer;
}

// Reads a 1-D integer buffer into `out` (cleared first).
bool read_indices(const Buffer& b, const char* name, std::vector<std::uint64_t>& out) {
  const Py_ssize_t n = b.shape(0);
  const Py_ssize_t size = b.view().itemsize;
  const bool is_signed = b.kind() == ItemKind::signed_integer;
  out.resize(static_cast<std::size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    if (!load_index(b.at(i), size, is_signed, out[static_cast<std::size_t>(i)])) {
      add_argument_note(name);
      return false;
    }
  }
  return true;
}

// Read-only view of part of a Mesh's storage.
struct MeshView {
  PyObject_HEAD
  PyObject* owner;
  const void* data;
  int ndim;
  std::array<Py_ssize_t, 2> shape;
  std::array<Py_ssize_t, 2> strides;
  const char* format;
  Py_ssize_t itemsize;
};

int mesh_view_getbuffer(PyObject* self, Py_buffer* view, int flags) noexcept {
  auto* v = reinterpret_cast<MeshView*>(self);
  if ((flags & PyBUF_WRITABLE) == PyBUF_WRITABLE) {
    PyErr_SetString(PyExc_BufferError, "the arrays of a Mesh are read-only");
    view->obj = nullptr;
    return -1;
  }
  static const char empty = 0;  // some consumers refuse a null base pointer
  Py_ssize_t count = 1;
  for (int axis = 0; axis < v->ndim; ++axis) count *= v->shape[axis];
  void* data = const_cast<void*>(count != 0 ? v->data : &empty);
  if ((flags & PyBUF_ND) != PyBUF_ND) {
    return PyBuffer_FillInfo(view, self, data, count * v->itemsize, 1, flags);
  }
  view->buf = data;
  view->obj = Py_NewRef(self);
  view->len = count * v->itemsize;
  view->readonly = 1;
  view->itemsize = v->itemsize;
  view->format = (flags & PyBUF_FORMAT) == PyBUF_FORMAT ? const_cast<char*>(v->format) : nullptr;
  view->ndim = v->ndim;
  view->shape = v->shape.data();
  // Every view is C-contiguous, so strides may be left out when not asked.
  view->strides = (flags & PyBUF_STRIDES) == PyBUF_STRIDES ? v->strides.data() : nullptr;
  view->suboffsets = nullptr;
  view->internal = nullptr;
  return 0;
}

void mesh_view_dealloc(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  Py_XDECREF(reinterpret_cast<MeshView*>(self)->owner);
  type->tp_free(self);
  Py_DECREF(type);
}

PyType_Slot mesh_view_slots[] = {
    {Py_tp_doc, const_cast<char*>("Read-only view of a kovalith.Mesh's storage.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(mesh_view_dealloc)},
    {Py_bf_getbuffer, reinterpret_cast<void*>(mesh_view_getbuffer)},
    {},
};

PyType_Spec mesh_view_spec = {
    "kovalith._MeshView", sizeof(MeshView), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, mesh_view_slots,
};

PyTypeObject* mesh_view_type() noexcept {
  // Created on first use and kept for the life of the process, like the
  // module's classes.
  // module's classes. Callers hold the GIL, so the first use is not raced.
  static PyTypeObject* type = nullptr;
  if (type == nullptr) type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&mesh_view_spec));
  return type;
}

PyObject* new_view(PyObject* owner, const void* data, int ndim, std::array<Py_ssize_t, 2> shape,
                   const char* format, Py_ssize_t itemsize) noexcept {
  PyTypeObject* type = mesh_view_type();
  if (type == nullptr) return nullptr;
  PyObject* obj = type->tp_alloc(type, 0);
  if (obj == nullptr) return nullptr;
  auto* v = reinterpret_cast<MeshView*>(obj);
  v->owner = Py_NewRef(owner);
  v->data = data;
  v->ndim = ndim;
  v->shape = shape;
  v->strides = {ndim == 2 ? shape[1] * itemsize : itemsize, itemsize};
  v->format = format;
  v->itemsize = itemsize;
  return obj;
}

}  // namespace

bool read_vertex_array(PyObject* obj, const char* name, std::vector<Vector3D>& out) noexcept {
  try {
    Buffer b;
    if (!b.acquire(obj, name)) {
      add_argument_note(name);
      return false;
    }
    if (b.kind() != ItemKind::floating) {
      return fail_with(PyExc_TypeError, name, "expected a float64 or float32 array", b);
    }
    if (b.ndim() != 2 || b.shape(1) != coordinates) {
      return fail_with(PyExc_ValueError, name, "expected an array of shape (n, 3)", b);
    }
    const Py_ssize_t n = b.shape(0);
    out.resize(static_cast<std::size_t>(n));
    const Py_ssize_t size = b.view().itemsize;
    if (size == sizeof(double) && b.c_contiguous()) {
      if (n != 0) std::memcpy(out.data(), b.view().buf, static_cast<std::size_t>(n) * sizeof(Vector3D));
      return true;
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
      out[static_cast<std::size_t>(i)] = {load_float(b.at(i, 0), size), load_float(b.at(i, 1), size),
                                          load_float(b.at(i, 2), size)};
    }
    return true;
  } catch (...) {
    translate_current_exception();
    return false;
  }
}

bool read_face_arrays(PyObject* faces, PyObject* offsets, Mesh& out) noexcept {
  try {
    Buffer f;
    if (!f.acquire(faces, "faces")) {
      add_argument_note("faces");
      return false;
    }
    if (!is_integer(f.kind())) return fail_with(PyExc_TypeError, "faces", "expected an integer array", f);
    if (offsets == Py_None) {
      if (f.ndim() != 2) {
        return fail_with(PyExc_ValueError, "faces",
                         "expected an array of shape (m, k), or flat indices with offsets", f);
      }
      const Py_ssize_t m = f.shape(0), k = f.shape(1);
      const Py_ssize_t size = f.view().itemsize;
      const bool is_signed = f.kind() == ItemKind::signed_integer;
      out.corners.resize(static_cast<std::size_t>(m * k));
      out.offsets.resize(static_cast<std::size_t>(m) + 1);
      if (size == sizeof(std::uint64_t) && f.c_contiguous()) {
        // The common layout (NumPy's default int64): one copy, then the
        // sign check that the per-item conversion would make.
        if (m * k != 0) std::memcpy(out.corners.data(), f.view().buf, out.corners.size() * size);
        if (is_signed) {
          for (std::size_t c = 0; c < out.corners.size(); ++c) {
            if (static_cast<std::int64_t>(out.corners[c]) < 0) {
              PyErr_SetString(PyExc_OverflowError, "can't convert negative int to unsigned");
              add_argument_note("faces");
              return false;
            }
          }
        }
        for (Py_ssize_t i = 0; i <= m; ++i) {
          out.offsets[static_cast<std::size_t>(i)] = static_cast<std::size_t>(i * k);
        }
        return true;
      }
      std::size_t c = 0;
      for (Py_ssize_t i = 0; i < m; ++i) {
        out.offsets[static_cast<std::size_t>(i)] = c;
        for (Py_ssize_t j = 0; j < k; ++j) {
          if (!load_index(f.at(i, j), size, is_signed, out.corners[c++])) {
            add_argument_note("faces");
            return false;
          }
        }
      }
      out.offsets[static_cast<std::size_t>(m)] = c;
      return true;
    }
    if (f.ndim() != 1) {
      return fail_with(PyExc_ValueError, "faces", "expected a flat array of indices with offsets", f);
    }
    Buffer o;
    if (!o.acquire(offsets, "offsets")) {
      add_argument_note("offsets");
      return false;
    }
    if (!is_integer(o.kind())) return fail_with(PyExc_TypeError, "offsets", "expected an integer array", o);
    if (o.ndim() != 1 || o.shape(0) < 1) {
      return fail_with(PyExc_ValueError, "offsets",
                       "expected a flat array of m + 1 face starts (0 first, the index count last)",
                       o);
    }
    if (!read_indices(f, "faces", out.corners)) return false;
    std::vector<std::uint64_t> starts;
    if (!read_indices(o, "offsets", starts)) return false;
    const std::uint64_t corner_count = out.corners.size();
    for (std::size_t i = 0; i < starts.size(); ++i) {
      const bool bad = (i == 0 && starts[i] != 0) || (i > 0 && starts[i] < starts[i - 1]) ||
                       starts[i] > corner_count ||
                       (i + 1 == starts.size() && starts[i] != corner_count);
      if (bad) {
        PyErr_Format(PyExc_ValueError,
                     "offsets: expected 0 first, non-decreasing values and the index count %llu "
                     "last; entry %zu is %llu",
                     static_cast<unsigned long long>(corner_count), i,
                     static_cast<unsigned long long>(starts[i]));
        add_argument_note("offsets");
        return false;
      }
    }
    out.offsets.assign(starts.begin(), starts.end());
    return true;
  } catch (...) {
    translate_current_exception();
    return false;
  }
}

PyObject* mesh_array_views(PyObject* mesh_object) noexcept {
  const Mesh& mesh = as_instance<Mesh>(mesh_object)->value;
  const auto n = static_cast<Py_ssize_t>(mesh.vertices.size());
  PyRef vertices = PyRef::steal(new_view(mesh_object, mesh.vertices.data(), 2, {n, coordinates},
                                         "d", sizeof(double)));
  if (!vertices) return nullptr;
  PyRef corners = PyRef::steal(new_view(mesh_object, mesh.corners.data(), 1,
                                        {static_cast<Py_ssize_t>(mesh.corners.size()), 0}, "Q",
                                        sizeof(std::uint64_t)));
  if (!corners) return nullptr;
  PyRef offsets = PyRef::steal(new_view(mesh_object, mesh.offsets.data(), 1,
                                        {static_cast<Py_ssize_t>(mesh.offsets.size()), 0}, "Q",
                                        sizeof(std::size_t)));
  if (!offsets) return nullptr;
  return PyTuple_Pack(3, vertices.get(), corners.get(), offsets.get());
}

}  // namespace kovalith::py
