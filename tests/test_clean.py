"""Mesh.clean: grid welding and removal of collapsed faces."""

import math
from fractions import Fraction

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from kovalith import Mesh, Vector3D

INT64_MAX = 2**63 - 1
INT64_MIN = -(2**63)


def mesh(points, faces=()):
    return Mesh([Vector3D(*p) for p in points], [list(f) for f in faces])


def xyz(m):
    return [(v.x, v.y, v.z) for v in m.vertices]


def same(a, b):
    """Coordinate tuples equal, NaN matching NaN."""
    return len(a) == len(b) and all(
        x == y or (math.isnan(x) and math.isnan(y)) for p, q in zip(a, b) for x, y in zip(p, q))


def reference_key(q):
    """Round half away from zero, saturate to int64, NaN -> 0 (exact, via Fraction)."""
    if math.isnan(q):
        return 0
    if math.isinf(q):
        return INT64_MAX if q > 0 else INT64_MIN
    k = math.floor(abs(Fraction(q)) + Fraction(1, 2))
    return max(INT64_MIN, min(INT64_MAX, k if q >= 0 else -k))


def reference_clean(points, faces, tolerance):
    keys, out, remap = {}, [], []
    for p in points:
        key = tuple(reference_key(c / tolerance) if tolerance else
                    reference_key(math.nan if c == 0 or math.isnan(c) else math.copysign(math.inf, c))
                    for c in p)
        if key not in keys:
            keys[key] = len(out)
            out.append(p)
        remap.append(keys[key])
    new_faces = []
    for face in faces:
        corners = []
        for j in face:
            if not corners or corners[-1] != remap[j]:
                corners.append(remap[j])
        if len(corners) >= 3 and corners[0] == corners[-1]:
            corners.pop()
        if len(corners) >= 3:
            new_faces.append(corners)
    return out, new_faces


class TestWeldKeys:
    @pytest.mark.parametrize("a, b, welded", [
        (0.04, 0.06, False),     # 0.4 and 0.6 round to 0 and 1
        (0.051, 0.149, True),    # both round to 1
        (0.05, 0.149, True),     # 0.5 rounds away from zero, into cell 1
        (0.05, 0.04, False),
        (-0.05, -0.149, True),   # -0.5 into cell -1
        (-0.05, -0.04, False),
        (0.0, -0.0, True),
        (0.049999999999999996, -0.049999999999999996, True),  # just below a half: cell 0
    ])
    def test_cell_boundaries(self, a, b, welded):
        cleaned = mesh([(a, 0, 0), (b, 0, 0)]).clean(0.1)
        assert len(cleaned.vertices) == (1 if welded else 2)

    @pytest.mark.parametrize("tolerance", [-0.1, 0.1])
    def test_negative_tolerance_welds_as_its_absolute_value(self, tolerance):
        points = [(0.04, 0, 0), (0.06, 0, 0), (0.149, 0, 0), (-0.06, 0, 0)]
        assert xyz(mesh(points).clean(tolerance)) == [(0.04, 0, 0), (0.06, 0, 0), (-0.06, 0, 0)]

    def test_zero_tolerance_welds_by_sign_pattern(self):
        points = [(1, -2, 0), (5, -1e-300, 0), (-1, 2, 0), (1e300, -7, 0.0), (0, 0, 0)]
        assert xyz(mesh(points).clean(0.0)) == [(1, -2, 0), (-1, 2, 0), (0, 0, 0)]

    def test_nan_tolerance_welds_everything_into_the_first(self):
        cleaned = mesh([(1, 2, 3), (4, 5, 6), (-7, 8, 9)], [(0, 1, 2)]).clean(math.nan)
        assert xyz(cleaned) == [(1, 2, 3)] and cleaned.faces == []

    def test_non_finite_and_huge_coordinates(self):
        points = [(math.nan, 0, 0), (0.01, 0, 0), (1e300, 0, 0), (math.inf, 0, 0),
                  (-1e300, 0, 0), (-math.inf, 0, 0)]
        # NaN joins cell 0, the rest saturate at the int64 limits.
        assert same(xyz(mesh(points).clean(0.1)), [(math.nan, 0, 0), (1e300, 0, 0), (-1e300, 0, 0)])


class TestFaces:
    # At tolerance 1 vertices 1 and 2 weld: new indices 0, 1, 1, 2, 3.
    POINTS = [(0, 0, 0), (5, 0, 0), (5.2, 0, 0), (0, 5, 0), (5, 5, 0)]

    @pytest.mark.parametrize("face, expected", [
        ([0, 1, 2], None),             # two corners left
        ([0, 1, 2, 3], [0, 1, 2]),     # becomes a triangle
        ([0, 1, 3, 0], [0, 1, 2]),     # explicit closing repeat removed once
        ([0, 1, 0], None),
        ([0, 0, 0], None),
        ([0, 1, 0, 3], [0, 1, 0, 2]),  # a repeat further apart stays
        ([0, 1, 0, 1], [0, 1, 0, 1]),
        ([0, 3, 0, 0], None),          # adjacent then closing repeat: two left
        ([3, 4, 1, 0, 3, 3], [2, 3, 1, 0]),
    ])
    def test_collapse_rules(self, face, expected):
        cleaned = mesh(self.POINTS, [face]).clean(1.0)
        assert cleaned.faces == ([] if expected is None else [expected])

    def test_first_vertex_of_a_group_is_kept_exactly_and_faces_keep_order(self):
        points = [(0.1, 0.1, 0.1), (3, 0, 0), (0, 3, 0), (-0.2, 0.3, 0.4), (3.4, 0, 0)]
        faces = [(0, 1, 2), (3, 4, 1), (4, 2, 3), (1, 2, 0, 4)]
        cleaned = mesh(points, faces).clean(1.0)
        assert xyz(cleaned) == [(0.1, 0.1, 0.1), (3, 0, 0), (0, 3, 0)]
        assert cleaned.faces == [[0, 1, 2], [1, 2, 0], [1, 2, 0]]

    def test_unused_vertices_stay_and_empty_meshes(self):
        assert xyz(mesh([(0, 0, 0), (9, 9, 9)], []).clean(1.0)) == [(0, 0, 0), (9, 9, 9)]
        empty = mesh([]).clean(1.0)
        assert empty.vertices == [] and empty.faces == []

    def test_receiver_unchanged_and_argument_rules(self):
        m = mesh(self.POINTS, [[0, 1, 2, 3]])
        m.clean(tolerance=1.0)
        assert xyz(m) == self.POINTS and m.faces == [[0, 1, 2, 3]]
        with pytest.raises(TypeError) as info:
            m.clean("1")
        assert info.value.__notes__ == ["while processing 'tolerance'"]
        with pytest.raises(TypeError):
            m.clean()
        assert Mesh.clean.__doc__ == (
            "Performs O(N) vertex welding and filters out degenerate/collapsed faces.")
        assert Mesh.clean.__text_signature__ == "($self, tolerance)"


class TestInvalidIndex:
    # Python cannot build such a mesh; the native path still checks every corner.
    @pytest.mark.parametrize("faces, n", [
        ([[0, 1, 2], [0, 0, 0], [1, 2, 0], [0, 1, 3]], 3),  # face 1 dropped, still counted
        ([[0, 99, 1], [0, 1, 5]], 0),
        ([[0, 1, 2], [], [2, 1, 3, 1]], 2),
    ])
    def test_first_offending_face_is_named(self, kernel, faces, n):
        points = [(0, 0, 0), (1, 0, 0), (0, 1, 0)]
        assert kernel.clean(1.0, points, faces) == f"Face {n} references invalid index."

    def test_empty_face_is_dropped(self, kernel):
        points = [(0, 0, 0), (1, 0, 0), (0, 1, 0)]
        assert kernel.clean(0.5, points, [[], [0, 1, 2]]) == (points, [[0, 1, 2]])


grid = st.integers(-6, 6).map(lambda k: k * 0.25)
jitter = st.sampled_from([0.0, 0.06, -0.06, 0.12499, -0.125, 0.125, 0.3])
coordinate = st.builds(lambda g, j: g + j, grid, jitter)
point = st.tuples(coordinate, coordinate, coordinate)


@st.composite
def meshes(draw):
    points = draw(st.lists(point, max_size=30))
    if not points:
        return points, []
    index = st.integers(0, len(points) - 1)
    faces = draw(st.lists(st.lists(index, min_size=3, max_size=7), max_size=20))
    return points, faces


@settings(max_examples=300, deadline=None)
@given(data=meshes(), tolerance=st.sampled_from([0.25, 0.1, 1.0, 3.0, -0.5]))
def test_matches_the_plain_dictionary_weld(data, tolerance):
    points, faces = data
    cleaned = mesh(points, faces).clean(tolerance)
    expected_points, expected_faces = reference_clean(points, faces, tolerance)
    assert xyz(cleaned) == expected_points
    assert cleaned.faces == expected_faces


@settings(max_examples=200, deadline=None)
@given(data=meshes())
def test_idempotent_on_grid_aligned_input(data):
    # Points on the grid itself (multiples of the tolerance) weld to themselves.
    points = [tuple(round(c * 4) / 4 for c in p) for p in data[0]]
    once = mesh(points, data[1]).clean(0.25)
    twice = once.clean(0.25)
    assert xyz(twice) == xyz(once)
    assert twice.faces == once.faces
