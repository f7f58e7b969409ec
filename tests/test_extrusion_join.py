"""Prism extrusion and boolean_join_extruded."""

import types

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import kovalith
from kovalith import Mesh, Vector3D, boolean_join_extruded


def prism(ring, z0=0.0, z1=1.0):
    """Mesh with the plan ring (open, counter-clockwise) as face 0 at z0 and a lid at z1."""
    n = len(ring)
    vertices = [Vector3D(x, y, z0) for x, y in ring] + [Vector3D(x, y, z1) for x, y in ring]
    return Mesh(vertices, [list(range(n)), list(range(2 * n - 1, n - 1, -1))])


def rect(x0, y0, x1, y1):
    return [(x0, y0), (x1, y0), (x1, y1), (x0, y1)]


def xyz(mesh):
    return [(v.x, v.y, v.z) for v in mesh.vertices]


def plan_area(ring):
    return abs(sum(a[0] * b[1] - b[0] * a[1] for a, b in zip(ring, ring[1:] + ring[:1]))) / 2


def prism_plan(mesh, z_base, height):
    """Checks the prism layout and returns its plan ring (bottom corners in order)."""
    vertices, faces = xyz(mesh), mesh.faces
    n = len(vertices) // 2
    assert len(vertices) == 2 * n and n >= 3
    bottom, top = vertices[:n], vertices[n:]
    assert all(z == z_base for _, _, z in bottom)
    assert all(z == z_base + height for _, _, z in top)
    assert [(x, y) for x, y, _ in top] == [(x, y) for x, y, _ in bottom]
    assert faces[0] == list(range(n - 1, -1, -1))
    assert faces[1] == list(range(n, 2 * n))
    assert faces[2:] == [[i, (i + 1) % n, (i + 1) % n + n, i + n] for i in range(n)]
    return [(x, y) for x, y, _ in bottom]


class TestExtrusion:
    A, B, C = (0.0, 0.0), (4.0, 0.0), (1.0, 2.0)

    def test_triangle_layout(self, kernel):
        vertices, faces = kernel.extrude([self.A, self.B, self.C, self.A], 0.0, 3.0)
        assert vertices == [(0, 0, 0), (4, 0, 0), (1, 2, 0), (0, 0, 3), (4, 0, 3), (1, 2, 3)]
        assert faces == [[2, 1, 0], [3, 4, 5], [0, 1, 4, 3], [1, 2, 5, 4], [2, 0, 3, 5]]

    def test_square_closing_side(self, kernel):
        vertices, faces = kernel.extrude(rect(0, 0, 1, 1) + [(0, 0)], -1.0, 2.0)
        assert len(vertices) == 8 and len(faces) == 6
        assert faces[-1] == [3, 0, 4, 7]
        assert {z for _, _, z in vertices} == {-1.0, 1.0}

    @pytest.mark.parametrize("ring", [[], [(0, 0)], [(0, 0), (1, 0), (0, 0)]])
    def test_fewer_than_three_corners_give_an_empty_mesh(self, kernel, ring):
        assert kernel.extrude(ring, 0.0, 1.0) == ([], [])

    def test_last_point_is_never_read(self, kernel):
        vertices, _ = kernel.extrude([self.A, self.B, self.C, (9.0, 9.0)], 0.0, 1.0)
        assert (9.0, 9.0, 0.0) not in vertices and len(vertices) == 6

    @pytest.mark.parametrize("height", [-2.0, 0.0])
    def test_negative_and_zero_height_keep_the_index_lists(self, kernel, height):
        vertices, faces = kernel.extrude([self.A, self.B, self.C, self.A], 1.0, height)
        assert faces[:2] == [[2, 1, 0], [3, 4, 5]]
        assert vertices[3][2] == 1.0 + height


class TestBooleanJoin:
    def test_half_overlap_gives_shared_then_a_then_b(self):
        cells = boolean_join_extruded(prism(rect(0, 0, 2, 2)), prism(rect(1, 0, 3, 2)), 0.5, 2.5)
        plans = [sorted(prism_plan(c, 0.5, 2.5)) for c in cells]
        assert plans == [sorted(rect(1, 0, 2, 2)), sorted(rect(0, 0, 1, 2)),
                         sorted(rect(2, 0, 3, 2))]
        assert all(len(c.vertices) == 8 and len(c.faces) == 6 for c in cells)

    def test_plans_touching_along_an_edge(self):
        cells = boolean_join_extruded(prism(rect(0, 0, 1, 1)), prism(rect(1, 0, 2, 1)), 0, 1)
        assert [sorted(prism_plan(c, 0, 1)) for c in cells] == [sorted(rect(0, 0, 1, 1)),
                                                               sorted(rect(1, 0, 2, 1))]

    def test_disjoint_and_identical_plans(self):
        a, b = prism(rect(0, 0, 1, 1)), prism(rect(5, 5, 6, 7))
        disjoint = boolean_join_extruded(a, b, 0, 1)
        assert [plan_area(prism_plan(c, 0, 1)) for c in disjoint] == [1, 2]
        same = boolean_join_extruded(a, a, 0, 1)
        assert len(same) == 1 and sorted(prism_plan(same[0], 0, 1)) == sorted(rect(0, 0, 1, 1))

    def test_enclosed_plan_keeps_the_outline_of_the_remainder(self):
        cells = boolean_join_extruded(prism(rect(0, 0, 4, 4)), prism(rect(1, 1, 2, 2)), 0, 1)
        assert [sorted(prism_plan(c, 0, 1)) for c in cells] == [sorted(rect(1, 1, 2, 2)),
                                                               sorted(rect(0, 0, 4, 4))]

    @pytest.mark.parametrize("width, kept", [(0.999e-5, False), (1.001e-5, True)])
    def test_sliver_threshold(self, width, kept):
        # A's remainder is a width x 1 strip.
        a = prism(rect(-width, 0, 1, 1))
        cells = boolean_join_extruded(a, prism(rect(0, 0, 1, 1)), 0, 1)
        assert len(cells) == (2 if kept else 1)

    def test_input_heights_and_other_faces_play_no_part(self):
        low = boolean_join_extruded(prism(rect(0, 0, 2, 2)), prism(rect(1, 1, 3, 3)), 0, 1)
        high = boolean_join_extruded(prism(rect(0, 0, 2, 2), 10, 11),
                                     prism(rect(1, 1, 3, 3), -4, 0), 0, 1)
        assert [xyz(c) for c in low] == [xyz(c) for c in high]
        assert [c.faces for c in low] == [c.faces for c in high]

    def test_plan_is_face_zero_only(self):
        # Face 0 of b is a small square; its lid is a large one.
        v = Vector3D
        b = Mesh([v(0, 0, 0), v(1, 0, 0), v(1, 1, 0), v(-9, -9, 1), v(9, -9, 1), v(9, 9, 1)],
                 [[0, 1, 2], [3, 4, 5]])
        cells = boolean_join_extruded(prism(rect(5, 5, 6, 6)), b, 0, 1)
        assert sum(plan_area(prism_plan(c, 0, 1)) for c in cells) == 1.5

    def test_bow_tie_plan_reads_even_odd(self):
        v = Vector3D
        bow_tie = Mesh([v(0, 0, 0), v(2, 2, 0), v(2, 0, 0), v(0, 2, 0)], [[0, 1, 2, 3]])
        cells = boolean_join_extruded(bow_tie, prism(rect(10, 10, 11, 11)), 0, 1)
        assert sorted(plan_area(prism_plan(c, 0, 1)) for c in cells) == [1, 1, 1]

    def test_inputs_are_not_changed(self):
        a, b = prism(rect(0, 0, 2, 2)), prism(rect(1, 0, 3, 2))
        before = (xyz(a), a.faces, xyz(b), b.faces)
        boolean_join_extruded(a, b, 0, 1)
        assert (xyz(a), a.faces, xyz(b), b.faces) == before

    @pytest.mark.parametrize("empty_arg", ["mesh_a", "mesh_b"])
    def test_mesh_without_faces(self, empty_arg):
        args = {"mesh_a": prism(rect(0, 0, 1, 1)), "mesh_b": prism(rect(0, 0, 1, 1)),
                "z_base": 0, "height": 1}
        args[empty_arg] = Mesh([Vector3D(0, 0, 0)], [])
        with pytest.raises(ValueError, match=f"^{empty_arg} has no faces$"):
            boolean_join_extruded(**args)

    @pytest.mark.parametrize("position, bad, error", [
        (0, "room", TypeError), (1, Vector3D(0, 0, 0), TypeError),
        (2, "0", TypeError), (3, 10**400, OverflowError),
    ])
    def test_conversion_errors_name_the_argument(self, position, bad, error):
        names = ["mesh_a", "mesh_b", "z_base", "height"]
        args = [prism(rect(0, 0, 1, 1)), prism(rect(0, 0, 1, 1)), 0.0, 1.0]
        args[position] = bad
        with pytest.raises(error) as info:
            boolean_join_extruded(*args)
        assert info.value.__notes__ == [f"while processing '{names[position]}'"]

    def test_signature_and_registration(self):
        assert boolean_join_extruded.__text_signature__ == "(mesh_a, mesh_b, z_base, height)"
        assert boolean_join_extruded.__doc__ == (
            "Advanced non-manifold boolean decomposition for intersecting extruded meshes.\n"
            "Solves room-to-room physical clashes by slicing them into mutually disjoint cells.")
        registered = [n for n, o in vars(kovalith).items() if not isinstance(o, types.ModuleType)]
        assert registered[-1] == "boolean_join_extruded"
        cells = boolean_join_extruded(mesh_b=prism(rect(1, 0, 3, 2)), height=1.0,
                                      mesh_a=prism(rect(0, 0, 2, 2)), z_base=0.0)
        assert len(cells) == 3


coordinate = st.integers(-40, 40).map(lambda k: k / 8)


@st.composite
def rectangles(draw):
    x0, x1 = sorted(draw(st.lists(coordinate, min_size=2, max_size=2, unique=True)))
    y0, y1 = sorted(draw(st.lists(coordinate, min_size=2, max_size=2, unique=True)))
    return x0, y0, x1, y1


def overlap(a, b):
    w = min(a[2], b[2]) - max(a[0], b[0])
    h = min(a[3], b[3]) - max(a[1], b[1])
    return max(w, 0) * max(h, 0)


def strictly_inside(inner, outer):
    return outer[0] < inner[0] and outer[1] < inner[1] and inner[2] < outer[2] and inner[3] < outer[3]


@settings(max_examples=200, deadline=None)
@given(a=rectangles(), b=rectangles(), z_base=coordinate, height=coordinate)
def test_join_conserves_plan_area(a, b, z_base, height):
    cells = boolean_join_extruded(prism(rect(*a)), prism(rect(*b)), z_base, height)
    areas = [plan_area(prism_plan(c, z_base, height)) for c in cells]
    area_a = (a[2] - a[0]) * (a[3] - a[1])
    area_b = (b[2] - b[0]) * (b[3] - b[1])
    shared = overlap(a, b)
    # A remainder around an enclosed plan is extruded by its full outline.
    a_only = area_a if strictly_inside(b, a) else area_a - shared
    b_only = area_b if strictly_inside(a, b) else area_b - shared
    # Coordinates on a 1/8 grid: every area is exact in binary.
    assert sum(areas) == shared + a_only + b_only
    if shared:
        assert areas[0] == shared
