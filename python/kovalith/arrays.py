"""NumPy arrays to and from `kovalith.Mesh`, without lists of `Vector3D`.

`mesh_from_arrays` reads the arrays natively through the buffer protocol;
`mesh_to_arrays` returns read-only NumPy arrays over the mesh's own storage
(no copy: the mesh never changes after it is built). With trimesh::

    import trimesh
    from kovalith.arrays import mesh_from_arrays, mesh_to_arrays

    mesh = mesh_from_arrays(tm.vertices, tm.faces)          # trimesh -> Mesh
    arrays = mesh_to_arrays(mesh)
    tm = trimesh.Trimesh(arrays.vertices, arrays.faces,     # Mesh -> trimesh
                         process=False)                     # (triangles only)

A mesh whose faces are not all triangles goes to trimesh after
``mesh.clean``/triangulation of your choice; `MeshArrays.faces` refuses
faces of mixed length.
"""

from __future__ import annotations

from typing import Any, NamedTuple

import kovalith
from kovalith import Mesh

__all__ = ["MeshArrays", "mesh_from_arrays", "mesh_to_arrays"]


def _numpy() -> Any:
    try:
        import numpy
    except ImportError as exc:  # pragma: no cover - numpy is in every extra that uses this
        raise ImportError("kovalith.arrays needs NumPy: pip install 'kovalith[arrays]'") from exc
    return numpy


def _as_buffer(value: Any) -> Any:
    """`value` itself when it exports a buffer, else a NumPy array of it
    (lists and tuples of numbers)."""
    try:
        memoryview(value).release()
        return value
    except TypeError:
        return _numpy().asarray(value)


class MeshArrays(NamedTuple):
    """The arrays of a mesh; read-only views that keep the mesh alive.

    Attributes
    ----------
    vertices : numpy.ndarray
        (n, 3) float64 coordinates, in the mesh's length unit.
    indices : numpy.ndarray
        (c,) uint64 corner indices of all faces, face after face.
    offsets : numpy.ndarray
        (m + 1,) uint64: face k is ``indices[offsets[k]:offsets[k + 1]]``.
    """

    vertices: Any
    indices: Any
    offsets: Any

    @property
    def faces(self) -> Any:
        """(m, k) uint64 view of the faces when all have k corners.

        Raises
        ------
        ValueError
            If the faces differ in length.
        """
        np = _numpy()
        sizes = np.diff(self.offsets)
        if len(sizes) == 0:
            return self.indices.reshape(0, 3)
        if not np.all(sizes == sizes[0]):
            raise ValueError("faces: the faces differ in length; use indices and offsets")
        return self.indices.reshape(len(sizes), int(sizes[0]))


def mesh_from_arrays(vertices: Any, faces: Any, offsets: Any = None) -> Mesh:
    """Build a `kovalith.Mesh` from arrays.

    Parameters
    ----------
    vertices : array_like
        (n, 3) float64 or float32 coordinates; any strides.
    faces : array_like
        (m, k) integer array, one face of k corners per row; or, with
        `offsets`, the flat (c,) integer array of all corners.
    offsets : array_like, optional
        (m + 1,) integers: face k is ``faces[offsets[k]:offsets[k + 1]]``;
        0 first, non-decreasing, ``len(faces)`` last.

    Returns
    -------
    Mesh
        Validated as ``Mesh(vertices, faces)`` validates.

    Raises
    ------
    TypeError
        An argument that is not an array of the right item type (float for
        `vertices`, integer for `faces` and `offsets`).
    ValueError
        A wrong shape or bad offsets (the message names the argument), or a
        face of fewer than 3 corners ("Face {n} has < 3 vertices.").
    IndexError
        A corner index not below the vertex count, as ``Mesh`` reports it.
    OverflowError
        A negative corner index.
    """
    return kovalith._mesh_from_arrays(  # type: ignore[attr-defined,no-any-return]
        _as_buffer(vertices), _as_buffer(faces), None if offsets is None else _as_buffer(offsets))


def mesh_to_arrays(mesh: Mesh) -> MeshArrays:
    """The vertices, corner indices and face offsets of `mesh` as read-only
    NumPy arrays over its storage (no copy).

    Raises
    ------
    TypeError
        If `mesh` is not a `kovalith.Mesh`.
    """
    np = _numpy()
    views = kovalith._mesh_to_arrays(mesh)  # type: ignore[attr-defined]
    return MeshArrays(*(np.asarray(v) for v in views))
