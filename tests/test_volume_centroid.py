"""Mesh.compute_volume_centroid: the mean of the vertex list."""

import itertools
import math

import pytest

from kovalith import Mesh, Vector3D

BOX = [Vector3D(x, y, z) for x, y, z in itertools.product((1, 3), (-2, 2), (0, 10))]


def centre(mesh):
    c = mesh.compute_volume_centroid()
    return c.x, c.y, c.z


@pytest.mark.parametrize("vertices, faces, expected", [
    (BOX, [[0, 1, 3, 2], [4, 6, 7, 5]], (2, 0, 5)),
    (BOX + [Vector3D(3, 2, 10)], [], ((2 * 8 + 3) / 9, 2 / 9, (40 + 10) / 9)),  # repeat counts
    ([Vector3D(0.1, 0, 0)] * 3, [], (0.30000000000000004 / 3, 0, 0)),  # summed in order
])
def test_mean_of_the_vertex_list(vertices, faces, expected):
    assert centre(Mesh(vertices, faces)) == expected


def test_empty_mesh_gives_nan_and_no_error():
    assert all(math.isnan(c) for c in centre(Mesh([], [])))


def test_interface():
    assert Mesh.compute_volume_centroid.__text_signature__ == "($self)"
    assert Mesh.compute_volume_centroid.__doc__ == "Computes the 3D centroid of the entire mesh volume."
    with pytest.raises(TypeError):
        Mesh(BOX, []).compute_volume_centroid(1)
