"""kovalith.arrays against Mesh(vertices, faces) built from lists."""

import gc
import sys

import pytest

from kovalith import Mesh, Vector3D

np = pytest.importorskip("numpy", reason="NumPy (the arrays extra) is not installed")
from kovalith.arrays import mesh_from_arrays, mesh_to_arrays  # noqa: E402

RNG = np.random.default_rng(7)
V = RNG.normal(size=(9, 3)) * 1e3
QUADS = RNG.integers(0, 9, size=(5, 4))
MIXED = [[0, 1, 2], [3, 4, 5, 6, 7], [8, 0, 4, 2]]


def reference(vertices, faces):
    return Mesh([Vector3D(*map(float, p)) for p in vertices], [[int(i) for i in f] for f in faces])


def contents(mesh):
    return [(p.x, p.y, p.z) for p in mesh.vertices], mesh.faces


def flat(faces):
    return np.array([i for f in faces for i in f]), np.cumsum([0] + [len(f) for f in faces])


# (vertices, faces, offsets) in the layouts a caller may have, and the lists
# they stand for.
LAYOUTS = {
    "c-order": (V, QUADS, None, V, QUADS),
    "float32": (V.astype(np.float32), QUADS, None, V.astype(np.float32), QUADS),
    "fortran": (np.asfortranarray(V), np.asfortranarray(QUADS), None, V, QUADS),
    "strided": (V[::2, ::-1], QUADS[:, ::2][:, [0, 1, 1]] % 5, None, V[::2, ::-1],
                QUADS[:, ::2][:, [0, 1, 1]] % 5),
    "column-slice": (np.hstack([V, V])[:, 2:5], QUADS.astype(np.uint16), None,
                     np.hstack([V, V])[:, 2:5], QUADS),
    "int32-triangles": (V, QUADS[:, :3].astype(np.int32), None, V, QUADS[:, :3]),
    "flat-offsets": (V, *flat(MIXED), V, MIXED),
    "flat-uint8": (V, flat(MIXED)[0].astype(np.uint8), flat(MIXED)[1].astype(np.int16), V, MIXED),
    "lists": (V.tolist(), QUADS.tolist(), None, V, QUADS),
    "empty": (np.zeros((0, 3)), np.zeros((0, 3), dtype=np.int64), None, [], []),
    "no-faces-flat": (V, np.zeros(0, dtype=np.int64), [0], V, []),
}


@pytest.mark.parametrize("name", LAYOUTS)
def test_round_trip_matches_list_construction(name):
    vertices, faces, offsets, want_vertices, want_faces = LAYOUTS[name]
    mesh = mesh_from_arrays(vertices, faces, offsets)
    assert contents(mesh) == contents(reference(want_vertices, want_faces))
    arrays = mesh_to_arrays(mesh)
    assert arrays.vertices.dtype == np.float64 and arrays.vertices.shape == (len(want_vertices), 3)
    assert [tuple(p) for p in arrays.vertices.tolist()] == contents(mesh)[0]
    assert [arrays.indices[a:b].tolist() for a, b in zip(arrays.offsets, arrays.offsets[1:])] == mesh.faces
    assert not arrays.vertices.flags.writeable and not arrays.indices.flags.writeable
    with pytest.raises(ValueError):
        arrays.vertices[...] = 0
    again = mesh_from_arrays(*arrays)
    assert contents(again) == contents(mesh)
    if len({len(f) for f in mesh.faces}) <= 1:
        assert arrays.faces.tolist() == (mesh.faces or [])
    # The views keep the mesh alive and share its storage.
    before = sys.getrefcount(mesh)
    del arrays
    gc.collect()
    assert sys.getrefcount(mesh) < before


def test_views_outlive_the_mesh():
    arrays = mesh_to_arrays(mesh_from_arrays(V, QUADS))
    gc.collect()
    assert np.array_equal(arrays.vertices, V) and arrays.faces.tolist() == QUADS.tolist()
    mixed = mesh_to_arrays(mesh_from_arrays(V, *flat(MIXED)))
    with pytest.raises(ValueError, match="differ in length"):
        mixed.faces


# Same failures as Mesh(vertices, faces), with the same messages.
@pytest.mark.parametrize("faces, offsets, error, message", [
    ([[0, 1]], None, ValueError, "Face 0 has < 3 vertices."),
    ([[0, 1, 9]], None, IndexError, "Face 0 references out-of-bounds index 9."),
    ([0, 1, 2, 0, 5, 1, 99], [0, 3, 7], IndexError, "Face 1 references out-of-bounds index 99."),
    ([0, 1, 7, 0], [0, 3, 4], IndexError, "Face 0 references out-of-bounds index 7."),
    ([[0, -1, 2]], None, OverflowError, None),
])
def test_validation_as_mesh(faces, offsets, error, message):
    vertices = V[:6]
    with pytest.raises(error) as got:
        mesh_from_arrays(vertices, np.array(faces), offsets)
    faces_as_lists = ([faces[a:b] for a, b in zip(offsets, offsets[1:])] if offsets else faces)
    with pytest.raises(error) as want:
        reference(vertices, faces_as_lists)
    assert str(got.value) == str(want.value)
    if message:
        assert str(got.value) == message


@pytest.mark.parametrize("args, error, argument", [
    ((V.astype(np.int64), QUADS), TypeError, "vertices"),
    ((V[:, :2], QUADS), ValueError, "vertices"),
    ((V.ravel(), QUADS), ValueError, "vertices"),
    ((V.astype(">f8"), QUADS), TypeError, "vertices"),
    ((V, QUADS.astype(float)), TypeError, "faces"),
    ((V, QUADS.ravel()), ValueError, "faces"),
    ((V, QUADS, [0, 4]), ValueError, "faces"),
    ((V, QUADS.ravel(), [1, 20]), ValueError, "offsets"),
    ((V, QUADS.ravel(), [0, 12, 8, 20]), ValueError, "offsets"),
    ((V, QUADS.ravel(), [0, 8]), ValueError, "offsets"),
    ((V, QUADS.ravel(), np.zeros(0, dtype=int)), ValueError, "offsets"),
    ((V, QUADS.ravel(), [0.0, 20.0]), TypeError, "offsets"),
    ((V, object()), TypeError, "faces"),
])
def test_bad_arrays_name_the_argument(args, error, argument):
    with pytest.raises(error, match=f"^{argument}: ") as got:
        mesh_from_arrays(*args)
    assert got.value.__notes__ == [f"while processing '{argument}'"]


def test_to_arrays_refuses_other_objects():
    with pytest.raises(TypeError, match="mesh: expected Mesh"):
        mesh_to_arrays(V)


def test_trimesh_both_ways():
    trimesh = pytest.importorskip("trimesh", reason="trimesh is not installed")
    box = trimesh.creation.box(extents=(2.0, 3.0, 4.0))
    mesh = mesh_from_arrays(box.vertices, box.faces)
    assert contents(mesh) == contents(reference(box.vertices, box.faces))
    arrays = mesh_to_arrays(mesh)
    back = trimesh.Trimesh(arrays.vertices, arrays.faces, process=False)
    assert np.array_equal(back.vertices, box.vertices) and np.array_equal(back.faces, box.faces)
    assert back.volume == pytest.approx(24.0)
