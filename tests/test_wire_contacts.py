"""Wire contacts: a wire stands in a mesh when its midpoint is inside by ray parity."""

import math

import pytest
from graph_helpers import box, build, wire, wire_pairs
from kovalith import Mesh

CUBE = (0, 0, 0, 1, 1, 1)
UPPER = (0, 0, 1, 1, 1, 2)


@pytest.mark.parametrize("start, end, meshes, expected", [
    # Midpoint inside: the ray leaves through the top face once (beside the
    # quad's diagonal thanks to the tilt).
    ((0.5, 0.5, 0), (0.5, 0.5, 1), [CUBE], [(0, 0)]),
    ((5, 5, 0), (5, 5, 1), [CUBE], []),
    # Midpoint on the shared slab: the crossing at t = 0 does not count.
    ((0.5, 0.5, 0), (0.5, 0.5, 2), [CUBE, UPPER], [(0, 1)]),
    # End points in two cells, midpoint in neither.
    ((0.5, 0.5, 0.5), (0.5, 0.5, 5.5), [CUBE, (0, 0, 5, 1, 1, 6)], []),
    # Nested cells: inside both.
    ((0.5, 0.5, 0.4), (0.5, 0.5, 0.6), [(-1, -1, -1, 2, 2, 2), CUBE], [(0, 0), (0, 1)]),
    # Midpoint on a side face, an edge and a corner of the cube.
    ((0, 0.5, 0), (0, 0.5, 1), [CUBE], [(0, 0)]),
    ((0, 0, 0), (0, 0, 1), [CUBE], [(0, 0)]),
    ((0, 0, 0.5), (0, 0, 1.5), [CUBE], []),
])
def test_parity_cases(start, end, meshes, expected):
    g = build([box(*m) for m in meshes], [wire(start, end)])
    assert wire_pairs(g) == expected


def test_only_the_midpoint_counts():
    # A long wire through the cube whose midpoint lies outside.
    g = build([box(*CUBE)], [wire((0.5, 0.5, -10), (0.5, 0.5, 1))])
    assert wire_pairs(g) == []


def test_order_is_by_wire_then_mesh():
    meshes = [box(2, 0, 0, 3, 1, 1), box(*CUBE), box(-5, -5, -5, 5, 5, 5)]
    wires = [wire((0.5, 0.5, 0.2), (0.5, 0.5, 0.8)), wire((9, 9, 9), (9, 9, 9)),
             wire((2.5, 0.5, 0.5), (2.5, 0.5, 0.5))]
    assert wire_pairs(build(meshes, wires)) == [(0, 1), (0, 2), (2, 0), (2, 2)]


def test_triangulated_and_reversed_faces():
    cube = box(*CUBE)
    fans = [f for q in cube.faces for f in ([q[0], q[1], q[2]], [q[0], q[2], q[3]])]
    reversed_faces = [list(reversed(f)) for f in cube.faces]
    w = [wire((0.3, 0.6, 0.1), (0.3, 0.6, 0.9))]
    for faces in (fans, reversed_faces):
        assert wire_pairs(build([Mesh(cube.vertices, faces)], w)) == [(0, 0)]


@pytest.mark.parametrize("coordinate", [math.nan, math.inf])
def test_non_finite_midpoint_is_never_inside(coordinate):
    g = build([box(*CUBE)], [wire((coordinate, 0.5, 0.5), (0.5, 0.5, 0.5))])
    assert wire_pairs(g) == []


def test_mesh_without_faces_and_missing_lists():
    w = [wire((0.5, 0.5, 0), (0.5, 0.5, 1))]
    assert wire_pairs(build([Mesh([], [])], w)) == []
    assert wire_pairs(build([], w)) == []
    assert wire_pairs(build([box(*CUBE)], [])) == []


def test_open_mesh_counts_its_own_crossings():
    # Only the top face: one crossing from below makes the midpoint "inside".
    top = Mesh([(p) for p in box(*CUBE).vertices], [box(*CUBE).faces[1]])
    assert wire_pairs(build([top], [wire((0.5, 0.5, 0), (0.5, 0.5, 0))])) == [(0, 0)]
