"""Face planes, frames, projection and the 2D polygon booleans (native)."""

import math

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st


NAN = math.nan
INF = math.inf


def square(x0, y0, x1, y1, ccw=True):
    ring = [(x0, y0), (x1, y0), (x1, y1), (x0, y1)]
    if not ccw:
        ring.reverse()
    return ring + [ring[0]]


def shoelace(ring):
    return abs(sum(a[0] * b[1] - b[0] * a[1] for a, b in zip(ring, ring[1:]))) / 2


def is_closed(ring):
    return len(ring) >= 4 and ring[0] == ring[-1]


class TestProjection:
    SQUARE = [(0, 0, 5), (2, 0, 5), (2, 2, 5), (0, 2, 5)]

    def test_square_in_the_frame_of_its_normal(self, kernel):
        u, v = kernel.frame((0, 0, 1))
        assert (u, v) == ((0, 1, 0), (-1, 0, 0))
        ring = kernel.project(self.SQUARE, [0, 1, 2, 3], (0, 0, 5), u, v)
        assert ring == [(0, 0), (0, -2), (2, -2), (2, 0), (0, 0)]
        assert shoelace(ring) == 4
        # counter-clockwise: positive signed area
        assert sum(a[0] * b[1] - b[0] * a[1] for a, b in zip(ring, ring[1:])) > 0

    @pytest.mark.parametrize("face, expected", [
        ([0, 1, 2, 0], [(0, 0), (2, 0), (2, 2), (0, 0)]),  # already closed: no repeat
        ([1, 1, 2], [(2, 0), (2, 0), (2, 2), (2, 0)]),     # repeated point stays
        ([2], [(2, 2)]),                                   # one vertex: one point
        ([], []),
    ])
    def test_closing_and_degenerate_faces(self, kernel, face, expected):
        xy = ((1, 0, 0), (0, 1, 0))
        assert kernel.project(self.SQUARE, face, (0, 0, 9), *xy) == expected

    def test_xy_frame_drops_z_and_keeps_winding(self, kernel):
        verts = [(3, 1, 7), (1, 1, -2), (1, 4, 0.5)]
        ring = kernel.project(verts, [0, 1, 2], (0, 0, 0), (1, 0, 0), (0, 1, 0))
        assert ring == [(3, 1), (1, 1), (1, 4), (3, 1)]

    def test_nan_point_never_counts_as_closing(self, kernel):
        verts = [(NAN, 0, 0), (1, 0, 0), (0, 1, 0)]
        ring = kernel.project(verts, [0, 1, 2, 0], (0, 0, 0), (1, 0, 0), (0, 1, 0))
        assert len(ring) == 5 and math.isnan(ring[0][0]) and math.isnan(ring[-1][0])


class TestFacePlane:
    def test_triangle(self, kernel):
        assert kernel.plane([(0, 0, 1), (1, 0, 1), (0, 1, 1)], [0, 1, 2]) == ((0, 0, 1), -1)

    def test_reversed_face_flips_normal_and_passes_through_first_vertex(self, kernel):
        verts = [(0, 0, 0), (4, 0, 3), (4, 5, 3), (0, 5, 0)]
        normal, offset = kernel.plane(verts, [2, 1, 0, 3])
        assert normal == pytest.approx((0.6, 0, -0.8))
        assert math.fsum(n * c for n, c in zip(normal, verts[2])) + offset == pytest.approx(0)

    @pytest.mark.parametrize("verts, face", [
        ([(0, 0, 0), (1, 1, 1), (2, 2, 2)], [0, 1, 2]),        # collinear
        ([(0, 0, 0), (1, 0, 0)], [0, 1]),                      # two corners
        ([(0, 0, 0), (1e-5, 0, 0), (0, 1e-4, 0)], [0, 1, 2]),  # Newell length 1e-9
        ([(NAN, 0, 0), (1, 0, 0), (0, 1, 0)], [0, 1, 2]),      # no plane from NaN
        ([(INF, 0, 0), (1, 0, 0), (0, 1, 0)], [0, 1, 2]),
        ([(0, 0, 0), (1e200, 0, 0), (0, 1e200, 0)], [0, 1, 2]),  # Newell sums overflow
    ])
    def test_absent(self, kernel, verts, face):
        assert kernel.plane(verts, face) is None

    def test_newell_threshold_is_inclusive(self, kernel):
        # Newell length exactly 2 * area = 1e-8 keeps the plane.
        assert kernel.plane([(0, 0, 0), (1e-4, 0, 0), (0, 1e-4, 0)], [0, 1, 2]) is not None


class TestPlaneFrame:
    @pytest.mark.parametrize("normal, reference", [
        ((0.9, 0.43589, 0.0), "y"),
        ((-0.9, 0.0, 0.43589), "y"),
        ((0.8999, 0.43609, 0.0), "x"),
        ((0.0, 0.0, -1.0), "x"),
        ((0.0, 1.0, 0.0), "x"),
    ])
    def test_reference_axis_switch(self, kernel, normal, reference):
        u, v = kernel.frame(normal)
        n = normal
        h = (1, 0, 0) if reference == "x" else (0, 1, 0)
        nh = (n[1] * h[2] - n[2] * h[1], n[2] * h[0] - n[0] * h[2], n[0] * h[1] - n[1] * h[0])
        length = math.sqrt(sum(c * c for c in nh))
        assert u == pytest.approx(tuple(c / length for c in nh), abs=1e-15)
        assert v == pytest.approx((n[1] * u[2] - n[2] * u[1], n[2] * u[0] - n[0] * u[2],
                                   n[0] * u[1] - n[1] * u[0]), abs=1e-15)


class TestBooleans:
    @pytest.mark.parametrize("ccw_a", [True, False])
    @pytest.mark.parametrize("ccw_b", [True, False])
    def test_overlap_strip_whatever_the_winding(self, kernel, ccw_a, ccw_b):
        region = kernel.intersect([square(0, 0, 1, 1, ccw_a)], [square(0, 0.5, 1, 1.5, ccw_b)])
        assert len(region) == 1 and len(region[0]) == 1
        assert is_closed(region[0][0])
        assert sorted(set(region[0][0])) == [(0, 0.5), (0, 1), (1, 0.5), (1, 1)]
        assert kernel.measure(region) == (0.5, [0.5])

    def test_difference_keeps_the_hole(self, kernel):
        region = kernel.subtract([square(0, 0, 4, 4)], [square(1, 1, 2, 3, ccw=False)])
        assert len(region) == 1
        outer, *holes = region[0]
        assert len(holes) == 1 and is_closed(outer) and is_closed(holes[0])
        assert sorted(set(holes[0])) == [(1, 1), (1, 3), (2, 1), (2, 3)]
        assert kernel.measure(region) == (14, [14])

    def test_bow_tie_reads_even_odd(self, kernel):
        bow_tie = [(0, 0), (2, 2), (2, 0), (0, 2), (0, 0)]
        region = kernel.intersect([bow_tie], [square(-1, -1, 3, 3)])
        assert len(region) == 2
        assert sorted(kernel.measure(region)[1]) == [1, 1]
        # The crossing point splits the ring into two triangles meeting at (1, 1).
        assert all((1, 1) in polygon[0] for polygon in region)

    @pytest.mark.parametrize("inner_ccw", [True, False])
    def test_inner_ring_is_a_hole_whatever_its_winding(self, kernel, inner_ccw):
        operand = [square(0, 0, 4, 4), square(1, 1, 3, 3, inner_ccw)]
        region = kernel.intersect(operand, [square(-1, -1, 5, 5)])
        assert kernel.measure(region)[0] == 12
        assert len(region) == 1 and len(region[0]) == 2

    def test_island_inside_a_hole_is_its_own_polygon(self, kernel):
        rings = [square(0, 0, 6, 6), square(1, 1, 5, 5), square(2, 2, 4, 4)]
        region = kernel.intersect(rings, [square(-1, -1, 7, 7)])
        assert sorted(len(p) for p in region) == [1, 2]
        assert kernel.measure(region)[0] == 36 - 16 + 4

    def test_touching_squares_share_no_area(self, kernel):
        region = kernel.intersect([square(0, 0, 1, 1)], [square(1, 0, 2, 1)])
        assert kernel.measure(region)[0] == 0

    def test_disjoint_and_identical(self, kernel):
        a = [square(0, 0, 1, 1)]
        assert kernel.intersect(a, [square(2, 2, 3, 3)]) == []
        assert kernel.subtract(a, a) == []
        assert kernel.measure(kernel.subtract(a, [square(2, 2, 3, 3)]))[0] == 1

    def test_region_minus_polygon(self, kernel):
        left = [square(0, 0, 2, 2)]
        right = [square(3, 0, 5, 2), square(3.5, 0.5, 4.5, 1.5)]
        region = kernel.subtract_region([left, right], [square(1, -1, 4, 1)])
        # left loses 1 x 1, right loses 1 x 1 minus its hole's share 0.5 x 0.5.
        assert kernel.measure(region)[0] == pytest.approx(4 - 1 + 3 - 0.75, abs=1e-12)

    def test_empty_operands(self, kernel):
        assert kernel.intersect([], [square(0, 0, 1, 1)]) == []
        assert kernel.subtract_region([], [square(0, 0, 1, 1)]) == []
        assert kernel.subtract([square(0, 0, 1, 1)], []) != []


class TestNonFiniteOperands:
    BAD = [[(0, 0), (1, 0), (NAN, 1), (0, 0)], [(0, 0), (INF, 0), (1, 1), (0, 0)],
           [(0, 0), (1, -INF), (1, 1), (0, 0)]]

    @pytest.mark.parametrize("bad", BAD)
    @pytest.mark.parametrize("op", ["intersect", "subtract", "subtract_region"])
    @pytest.mark.parametrize("side", ["subject", "clip", "hole"])
    def test_give_the_empty_region(self, kernel, bad, op, side):
        good = [square(-5, -5, 5, 5)]
        bad_polygon = [square(-9, -9, 9, 9), bad] if side == "hole" else [bad]
        subject, clip = (good, bad_polygon) if side == "clip" else (bad_polygon, good)
        if op == "subtract_region":
            assert kernel.subtract_region([good, subject], clip) == []
        else:
            assert getattr(kernel, op)(subject, clip) == []


class TestGrid:
    @pytest.mark.parametrize("offset, size", [
        (0.0, 1.0), (1e6, 0.25), (-3e12, 1024.0), (0.0, 2.0**-30), (2.0**670, 2.0**640),
        (2.0**-997, 2.0**-1000),
    ])
    def test_representable_corners_come_back_exactly(self, kernel, offset, size):
        a = [square(offset, offset, offset + 2 * size, offset + 2 * size)]
        b = [square(offset + size, offset, offset + 3 * size, offset + 2 * size)]
        region = kernel.intersect(a, b)
        assert len(region) == 1
        xs = {p[0] for p in region[0][0]}
        assert xs == {offset + size, offset + 2 * size}

    def test_snapping_costs_about_one_ulp(self, kernel):
        # Corners with full 53-bit mantissas move by at most an ulp of the extent.
        a = [square(0.1, 0.2, 10.3, 7.7)]
        region = kernel.intersect(a, [square(-20, -20, 20, 20)])
        for p, q in zip(sorted(set(region[0][0])), sorted(set(a[0]))):
            assert p == pytest.approx(q, abs=2 * math.ulp(20.0))


class TestAreaAndCentroid:
    @pytest.mark.parametrize("region, area", [
        ([[[(0, 0), (3, 0), (3, 3), (0, 3)]]], 0),              # open ring counts 0
        ([[[(0, 0), (3, 0), (0, 0)]]], 0),                      # fewer than 3 corners
        ([[square(0, 0, 2, 2, ccw=False)]], 4),                 # absolute area
        ([[square(0, 0, 4, 4), square(0, 0, 1, 1)], [square(5, 5, 6, 7)]], 17),
    ])
    def test_area(self, kernel, region, area):
        assert kernel.measure(region)[0] == area

    def test_centroid_of_l_shape_and_holed_square(self, kernel):
        l_shape = [[(0, 0), (2, 0), (2, 1), (1, 1), (1, 2), (0, 2), (0, 0)]]
        assert kernel.centroid([l_shape]) == pytest.approx((5 / 6, 5 / 6))
        holed = [square(0, 0, 4, 4), square(2, 2, 4, 4, ccw=False)]
        # 16 at (2, 2) minus 4 at (3, 3): (32 - 12) / 12
        assert kernel.centroid([holed]) == pytest.approx((5 / 3, 5 / 3))
        assert kernel.centroid([l_shape, [square(10, 0, 12, 3)]]) == pytest.approx(
            ((3 * 5 / 6 + 6 * 11) / 9, (3 * 5 / 6 + 6 * 1.5) / 9))

    def test_no_centroid_without_area(self, kernel):
        assert kernel.centroid([]) is None
        assert kernel.centroid([[[(0, 0), (1, 1), (2, 2), (0, 0)]]]) is None

    def test_centroid_far_from_origin(self, kernel):
        c = kernel.centroid([[square(1e9, 1e9, 1e9 + 1, 1e9 + 3)]])
        assert c == (1e9 + 0.5, 1e9 + 1.5)


coordinate = st.integers(-1000, 1000).map(lambda k: k / 8)


@st.composite
def rectangles(draw):
    x0, x1 = sorted(draw(st.lists(coordinate, min_size=2, max_size=2, unique=True)))
    y0, y1 = sorted(draw(st.lists(coordinate, min_size=2, max_size=2, unique=True)))
    return square(x0, y0, x1, y1, draw(st.booleans()))


@st.composite
def star_polygons(draw):
    # Star-shaped about a centre: simple, possibly concave.
    cx, cy = draw(coordinate), draw(coordinate)
    n = draw(st.integers(3, 9))
    radii = draw(st.lists(st.floats(0.5, 50), min_size=n, max_size=n))
    ring = [(cx + r * math.cos(2 * math.pi * i / n), cy + r * math.sin(2 * math.pi * i / n))
            for i, r in enumerate(radii)]
    return ring + [ring[0]]


@settings(max_examples=150, deadline=None)
@given(a=st.one_of(rectangles(), star_polygons()), b=st.one_of(rectangles(), star_polygons()))
def test_intersection_and_differences_partition_the_plans(kernel, a, b):
    shared = kernel.measure(kernel.intersect([a], [b]))[0]
    a_only = kernel.measure(kernel.subtract([a], [b]))[0]
    b_only = kernel.measure(kernel.subtract([b], [a]))[0]
    scale = max(shoelace(a), shoelace(b), 1.0)
    assert shared + a_only == pytest.approx(shoelace(a), abs=1e-9 * scale)
    assert shared + b_only == pytest.approx(shoelace(b), abs=1e-9 * scale)
    via_region = kernel.measure(kernel.subtract_region(kernel.intersect([a], [a]), [b]))[0]
    assert via_region == pytest.approx(a_only, abs=1e-9 * scale)
