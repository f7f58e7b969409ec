// Mesh data to and from objects of the buffer protocol (NumPy arrays,
// memoryviews, array.array), without the NumPy headers.
//
// Reading accepts any strided layout (non-contiguous, Fortran order,
// negative strides) of native or little-endian items: float64 or float32
// vertices, integer face indices of any width and signedness. Writing
// exposes the storage of a Mesh as read-only views that keep the mesh alive:
// NumPy wraps them without copying, and the mesh never changes after it is
// built, so the views stay valid and true.
#pragma once

#include "module/py_ref.h"
#include "records/mesh.h"

#include <vector>

namespace kovalith::py {

// (n, 3) float array -> vertices. TypeError for a non-buffer or a non-float
// item type, ValueError for another shape; the message and the note name
// `name`.
bool read_vertex_array(PyObject* obj, const char* name, std::vector<Vector3D>& out) noexcept;

// Faces as an (m, k) integer array (offsets None), or a flat integer array
// of corner indices with `offsets` (length m + 1, from 0, non-decreasing, up
// to the corner count). A negative index raises OverflowError like the
// conversion of Mesh(vertices, faces). Fills corners and offsets of `out`;
// not validated against the vertices here.
bool read_face_arrays(PyObject* faces, PyObject* offsets, Mesh& out) noexcept;

// (vertices (n, 3) float64, corners (c,) uint64, offsets (m + 1,) uint64) as
// read-only buffer objects over the storage of `mesh_object`, a Mesh.
PyObject* mesh_array_views(PyObject* mesh_object) noexcept;

}  // namespace kovalith::py
