"""Mesh.slice_by_plane."""

import math

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from kovalith import Mesh, Vector3D


def mesh(points, faces):
    return Mesh([Vector3D(*p) for p in points], [list(f) for f in faces])


def xyz(m):
    return [(v.x, v.y, v.z) for v in m.vertices]


def dump(m):
    return xyz(m), m.faces


def slice_(m, normal, origin):
    above, below = m.slice_by_plane(Vector3D(*normal), Vector3D(*origin))
    return dump(above), dump(below)


def triangle_area(a, b, c):
    u = [b[i] - a[i] for i in range(3)]
    v = [c[i] - a[i] for i in range(3)]
    n = (u[1] * v[2] - u[2] * v[1], u[2] * v[0] - u[0] * v[2], u[0] * v[1] - u[1] * v[0])
    return math.sqrt(sum(x * x for x in n)) / 2


def total_area(points, faces):
    return math.fsum(triangle_area(points[f[0]], points[f[i]], points[f[i + 1]])
                     for f in faces for i in range(1, len(f) - 1))


TRIANGLE = mesh([(0, 0, 0), (1, 0, 0), (0, 1, 0)], [(0, 1, 2)])
EMPTY = ([], [])


class TestWorkedExamples:
    def test_triangle_cut_through_two_edges(self):
        above, below = slice_(TRIANGLE, (1, 0, 0), (0.5, 0, 0))
        assert above == ([(1, 0, 0), (0.5, 0.5, 0), (0.5, 0, 0)], [[0, 1, 2]])
        assert below == ([(0, 1, 0), (0, 0, 0), (0.5, 0.5, 0), (0.5, 0, 0)], [[2, 0, 1], [2, 1, 3]])

    def test_normal_length_does_not_matter(self):
        tetra = mesh([(0, 0, -1), (2, 0, 1), (0, 2, 1), (1, 1, 3)],
                     [(0, 1, 2), (0, 3, 1), (1, 3, 2), (2, 3, 0)])
        assert slice_(tetra, (0, 0, 2), (0, 0, 0.3)) == slice_(tetra, (0, 0, 1), (0, 0, 0.3))

    @pytest.mark.parametrize("normal", [(0, 0, 1e-9), (0, 0, 0), (-9.9e-9, 0, 0)])
    def test_short_normal_is_refused(self, normal):
        with pytest.raises(ValueError, match=r"^Invalid plane normal vector\.$"):
            TRIANGLE.slice_by_plane(Vector3D(*normal), Vector3D(0, 0, 0))

    def test_normal_of_length_1e_8_is_accepted(self):
        above, below = slice_(TRIANGLE, (0, 0, 1e-8), (0, 0, -1))
        assert above == dump(TRIANGLE) and below == EMPTY

    def test_mesh_on_one_side_is_fanned_and_renumbered_by_first_use(self):
        points = [(9, 9, 9), (0, 0, 1), (1, 0, 1), (1, 1, 2), (0, 1, 2)]
        quad = mesh(points, [(3, 4, 1, 2)])
        up = ([(1, 1, 2), (0, 1, 2), (0, 0, 1), (1, 0, 1)], [[0, 1, 2], [0, 2, 3]])
        assert slice_(quad, (0, 0, 1), (0, 0, 0)) == (up, EMPTY)
        assert slice_(quad, (0, 0, -1), (0, 0, 0)) == (EMPTY, up)

    def test_triangle_in_the_plane_goes_above(self):
        assert slice_(TRIANGLE, (0, 0, 1), (5, 5, 0)) == (dump(TRIANGLE), EMPTY)

    def test_one_corner_on_the_plane_two_below(self):
        above, below = slice_(mesh([(0, 0, 0), (1, 0, -1), (0, 1, -1)], [(0, 1, 2)]),
                              (0, 0, 1), (0, 0, 0))
        assert above == ([(0, 0, 0)] * 3, [[0, 1, 2]])
        assert below == ([(1, 0, -1), (0, 1, -1), (0, 0, 0), (0, 0, 0)], [[2, 0, 1], [2, 1, 3]])

    def test_two_corners_on_the_plane_one_below(self):
        points = [(0, 0, 0), (2, 0, 0), (0, 2, -2)]
        above, below = slice_(mesh(points, [(0, 1, 2)]), (0, 0, 1), (0, 0, 0))
        # Lone corner is the low one; both cut parameters are exactly 1.
        assert below == ([(0, 2, -2), (0, 0, 0), (2, 0, 0)], [[0, 1, 2]])
        assert above == ([(0, 0, 0), (2, 0, 0), (0, 0, 0), (2, 0, 0)], [[2, 0, 1], [2, 1, 3]])

    def test_shared_cut_edges_and_lone_corners_are_not_welded(self):
        # Two triangles of one quad, both cut; the lone corner 0 is shared.
        square = mesh([(0, 0, 0), (2, 0, 0), (2, 2, 0), (0, 2, 0)], [(0, 1, 2, 3)])
        above, below = slice_(square, (-1, -1, 0), (0.5, 0.5, 0))
        assert len(above[0]) == 6 and above[1] == [[0, 1, 2], [3, 4, 5]]
        assert above[0][0] == above[0][3] == (0, 0, 0)
        assert len(below[1]) == 4

    def test_nan_normal_sends_everything_below(self):
        above, below = slice_(TRIANGLE, (math.nan, 0, 1), (0, 0, 0))
        assert above == EMPTY and below == dump(TRIANGLE)

    def test_unused_vertex_reaches_neither_side(self):
        m = mesh([(0, 0, 5), (1, 0, -1), (0, 1, -1), (0, 0, 1)], [(1, 2, 3)])
        above, below = slice_(m, (0, 0, 1), (0, 0, 0))
        assert (0, 0, 5) not in above[0] + below[0]


class TestInterface:
    def test_receiver_unchanged_and_keywords(self):
        before = dump(TRIANGLE)
        above, below = TRIANGLE.slice_by_plane(origin=Vector3D(0.5, 0, 0), normal=Vector3D(1, 0, 0))
        assert dump(TRIANGLE) == before
        assert isinstance(above, Mesh) and isinstance(below, Mesh)

    @pytest.mark.parametrize("normal, origin, name", [
        ((1, 0, 0), (0, 0), "normal"),
        ("x", Vector3D(0, 0, 0), "normal"),
        (Vector3D(0, 0, 1), [0, 0, 0], "origin"),
        ("x", "y", "normal"),
    ])
    def test_conversion_errors_name_the_parameter(self, normal, origin, name):
        with pytest.raises(TypeError) as info:
            TRIANGLE.slice_by_plane(normal, origin)
        assert info.value.__notes__ == [f"while processing '{name}'"]

    def test_docstring(self):
        assert Mesh.slice_by_plane.__text_signature__ == "($self, normal, origin)"
        assert Mesh.slice_by_plane.__doc__ == (
            "True 3D Freeform Mesh Slicing Engine. Splits an arbitrary mesh using a 3D Plane.\n"
            "Returns a tuple of two valid 3D meshes (above_plane_mesh, below_plane_mesh).")


coordinate = st.floats(-10, 10, allow_nan=False)
point = st.tuples(coordinate, coordinate, coordinate)
direction = st.tuples(coordinate, coordinate, coordinate).filter(
    lambda n: math.sqrt(sum(c * c for c in n)) > 1e-3)


@st.composite
def meshes(draw):
    points = draw(st.lists(point, min_size=3, max_size=12))
    index = st.integers(0, len(points) - 1)
    faces = draw(st.lists(st.lists(index, min_size=3, max_size=6), min_size=1, max_size=10))
    return points, faces


@settings(max_examples=200, deadline=None)
@given(data=meshes(), normal=direction, origin=point)
def test_slicing_preserves_total_triangle_area(data, normal, origin):
    points, faces = data
    (up_points, up_faces), (down_points, down_faces) = slice_(mesh(points, faces), normal, origin)
    assert all(len(f) == 3 for f in up_faces + down_faces)
    total = total_area(points, faces)
    pieces = total_area(up_points, up_faces) + total_area(down_points, down_faces)
    assert pieces == pytest.approx(total, rel=1e-9, abs=1e-9)
    # Every piece lies on its side of the plane (up to the rounding of a cut point).
    length = math.sqrt(sum(c * c for c in normal))
    n = [c / length for c in normal]

    def distance(p):
        return sum((p[i] - origin[i]) * n[i] for i in range(3))

    slack = 1e-10
    assert all(distance(p) >= -slack for p in up_points)
    assert all(distance(p) <= slack for p in down_points)
