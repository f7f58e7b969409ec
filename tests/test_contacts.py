"""Face contacts of build_spatial_graph: walls, slabs, apertures, tolerance rules."""

import math

import pytest
from graph_helpers import box, build, edges_of, load_probe, quad, v

WALL = "VerticalWallContact"
SLAB = "HorizontalSlabContact"

UNIT = (0, 0, 0, 1, 1, 1)
EAST = (1, 0, 0, 2, 1, 1)
ABOVE = (0, 0, 1, 1, 1, 2)


def notch(x=1.0):
    return quad((x, 0.25, 0), (x, 0.75, 0), (x, 0.75, 0.5), (x, 0.25, 0.5))


class TestWallsAndSlabs:
    def test_shared_wall(self):
        g = build([box(*UNIT), box(*EAST)])
        assert edges_of(g) == [(0, 1, 1.0, (1.0, 0.5, 0.5), WALL)]
        assert [(n.index, n.centroid.x, n.centroid.y, n.centroid.z) for n in g.nodes] == [
            (0, 0.5, 0.5, 0.5), (1, 1.5, 0.5, 0.5)]

    def test_shared_slab(self):
        g = build([box(*UNIT), box(*ABOVE)])
        assert edges_of(g) == [(0, 1, 1.0, (0.5, 0.5, 1.0), SLAB)]

    def test_mesh_order_decides_node_a(self):
        g = build([box(*EAST), box(*UNIT)])
        assert [(a, b) for a, b, *_ in edges_of(g)] == [(0, 1)]

    def test_two_face_pairs_give_two_edges(self):
        # An L-shaped cell (two boxes in one mesh) touching a box through a
        # wall and a slab: one edge per face pair, not merged.
        from kovalith import Mesh
        a, b = box(0, 0, 0, 1, 1, 1), box(1, 0, 0, 2, 1, 1)
        top = box(1, 0, 1, 2, 1, 2)
        verts = a.vertices + top.vertices
        faces = a.faces + [[i + 8 for i in f] for f in top.faces]
        g = build([Mesh(verts, faces), b])
        pairs = sorted((e[0], e[1], e[4]) for e in edges_of(g))
        assert pairs == [(0, 1, SLAB), (0, 1, WALL)]

    def test_overlapping_volumes_without_coplanar_faces(self):
        assert build([box(0, 0, 0, 2, 2, 2), box(0.5, 0.5, 0.5, 1.5, 1.5, 1.5)]).edges == []

    def test_faces_of_one_mesh_never_pair(self):
        from kovalith import Mesh
        # One mesh holding both cubes: their shared faces are in one mesh.
        a, b = box(*UNIT), box(*EAST)
        mesh = Mesh(a.vertices + b.vertices, a.faces + [[i + 8 for i in f] for f in b.faces])
        assert build([mesh, box(5, 5, 5, 6, 6, 6)]).edges == []

    def test_partial_overlap_area_and_centre(self):
        g = build([box(*UNIT), box(1, 0.5, 0.5, 2, 1.5, 1.5)])
        [(a, b, area, centre, kind)] = edges_of(g)
        assert (a, b, kind) == (0, 1, WALL)
        assert area == pytest.approx(0.25, abs=1e-12)
        assert centre == pytest.approx((1.0, 0.75, 0.75), abs=1e-12)


class TestDegenerateFaces:
    COLLINEAR = [(1, 0, 0), (1, 0.5, 0.5), (1, 1, 1)]

    def test_faces_without_a_plane_never_pair(self):
        # Each mesh: a collinear triangle and a degenerate sliver in the
        # shared plane, besides one real square; only the squares touch.
        from kovalith import Mesh
        square = [(1, 0, 0), (1, 1, 0), (1, 1, 1), (1, 0, 1)]
        sliver = [(1, 0, 0), (1, 1, 0), (1, 1, 1e-12)]
        verts = [v(*p) for p in (*self.COLLINEAR, *sliver, *square)]
        faces = [[0, 1, 2], [3, 4, 5], [6, 7, 8, 9]]
        a = Mesh(verts, faces)
        b = Mesh(verts, [list(reversed(f)) for f in faces])
        [(_, _, area, _, _)] = edges_of(build([a, b]))
        assert area == pytest.approx(1.0, abs=1e-12)

    def test_degenerate_aperture_faces_cut_nothing(self):
        from kovalith import Mesh
        # A triangle with a repeated corner and a face of three collinear
        # corners, both in the shared plane.
        flat = Mesh(notch().vertices + [v(1, 0.5, 0)], [[0, 1, 4], [0, 0, 1]])
        [(_, _, area, _, _)] = edges_of(build([box(*UNIT), box(*EAST)], apertures=[flat]))
        assert area == pytest.approx(1.0, abs=1e-12)

    def test_meshes_without_faces_or_vertices(self):
        from kovalith import Mesh
        g = build([Mesh([], []), box(*UNIT), Mesh(box(*EAST).vertices, []), box(*EAST)])
        assert [(a, b) for a, b, *_ in edges_of(g)] == [(1, 3)]


class TestApertures:
    @pytest.mark.parametrize("reverse", [False, True])
    def test_notched_wall(self, reverse):
        door = notch()
        if reverse:
            from kovalith import Mesh
            door = Mesh(door.vertices, [list(reversed(door.faces[0]))])
        [(a, b, area, centre, kind)] = edges_of(build([box(*UNIT), box(*EAST)], apertures=[door]))
        assert (a, b, kind) == (0, 1, WALL)
        assert area == pytest.approx(0.75, abs=1e-12)
        assert centre == pytest.approx((1.0, 0.5, 0.5833333333333334), abs=1e-12)

    def test_hole_in_the_middle(self):
        door = quad((1, 0.25, 0.25), (1, 0.75, 0.25), (1, 0.75, 0.75), (1, 0.25, 0.75))
        [(_, _, area, centre, _)] = edges_of(build([box(*UNIT), box(*EAST)], apertures=[door]))
        assert area == pytest.approx(0.75, abs=1e-12)
        assert centre == pytest.approx((1.0, 0.5, 0.5), abs=1e-12)

    def test_covering_aperture_removes_the_contact(self):
        door = quad((1, -1, -1), (1, 2, -1), (1, 2, 2), (1, -1, 2))
        assert build([box(*UNIT), box(*EAST)], apertures=[door]).edges == []

    @pytest.mark.parametrize("x, area", [(5.0, 1.0), (1.0005, 0.75), (1.002, 1.0)])
    def test_aperture_plane_must_match_within_tolerance(self, x, area):
        g = build([box(*UNIT), box(*EAST)], apertures=[notch(x)])
        [(_, _, found, _, _)] = edges_of(g)
        assert found == pytest.approx(area, abs=1e-12)

    def test_apertures_in_several_meshes_and_faces(self):
        from kovalith import Mesh
        low = quad((1, 0, 0), (1, 0.5, 0), (1, 0.5, 0.5), (1, 0, 0.5))
        pair = Mesh([p for p in low.vertices] + [p for p in notch().vertices],
                    [[0, 1, 2, 3], [4, 5, 6, 7]])
        slab_hole = quad((0.2, 0.2, 1), (0.4, 0.2, 1), (0.4, 0.4, 1), (0.2, 0.4, 1))
        g = build([box(*UNIT), box(*EAST), box(*ABOVE)], apertures=[pair, slab_hole])
        areas = {(a, b): area for a, b, area, _, _ in edges_of(g)}
        # Wall: 1 - 0.25 - 0.25 + overlap of the two cut-outs (0.25 x 0.5).
        assert areas[(0, 1)] == pytest.approx(1 - 0.25 - 0.25 + 0.125, abs=1e-12)
        assert areas[(0, 2)] == pytest.approx(1 - 0.04, abs=1e-12)

    def test_aperture_far_away_in_the_same_plane_cuts_nothing(self):
        far = quad((1, 50, 0), (1, 51, 0), (1, 51, 1), (1, 50, 1))
        [(_, _, area, centre, _)] = edges_of(build([box(*UNIT), box(*EAST)], apertures=[far]))
        assert area == pytest.approx(1.0, abs=1e-12)
        assert centre == pytest.approx((1.0, 0.5, 0.5), abs=1e-12)


class TestTolerance:
    @pytest.mark.parametrize("gap, touching", [(0.0005, True), (0.0015, False)])
    def test_plane_distance(self, gap, touching):
        g = build([box(*UNIT), box(1 + gap, 0, 0, 2, 1, 1)])
        assert len(g.edges) == (1 if touching else 0)

    @pytest.mark.parametrize("tolerance", [0.0, -1e-3, math.nan, math.inf])
    def test_tolerance_that_admits_nothing(self, tolerance):
        g = build([box(*UNIT), box(*EAST)], tolerance=tolerance)
        assert g.edges == [] and len(g.nodes) == 2

    @pytest.mark.parametrize("tolerance, found", [(0.25, 0), (0.2499, 1)])
    def test_area_must_exceed_tolerance(self, tolerance, found):
        # The overlap is the square [0.5, 1] x [0.5, 1] in the plane x = 1.
        g = build([box(*UNIT), box(1, 0.5, 0.5, 2, 1.5, 1.5)], tolerance=tolerance)
        assert [e[2] for e in edges_of(g)] == [0.25] * found

    @pytest.mark.parametrize("degrees, found", [(2.5, 1), (2.6, 0)])
    def test_parallel_limit(self, degrees, found):
        # cos(angle) must exceed 1 - tolerance = 0.999: about 2.56 degrees.
        c, s = math.cos(math.radians(degrees)), math.sin(math.radians(degrees))
        flat = quad((0, 0, 0), (1, 0, 0), (1, 1, 0), (0, 1, 0))
        tilted = quad((0, 0, 0), (0, c, s), (1, c, s), (1, 0, 0))
        assert len(build([flat, tilted]).edges) == found

    def test_tolerance_accepts_number_like_objects(self):
        class Tol:
            def __float__(self):
                return 1e-3

        assert len(build([box(*UNIT), box(*EAST)], tolerance=Tol()).edges) == 1

    @pytest.mark.parametrize("bad", ["0.001", None, [1e-3]])
    def test_tolerance_conversion_error_names_the_parameter(self, bad):
        from kovalith import SpatialRegistry
        with pytest.raises(TypeError) as info:
            SpatialRegistry([], [], []).build_spatial_graph(bad)
        assert "while processing 'tolerance'" in info.value.__notes__


class TestClassification:
    @staticmethod
    def sloped(c, s):
        """A quad whose normal is (0, -s, c) / |(0, -s, c)| and its mirror."""
        corners = [(0, 0, 0), (1, 0, 0), (1, c, s), (0, c, s)]
        return quad(*corners), quad(*reversed(corners))

    # s for c = 0.707 puts the computed normal.z at exactly 0.707.
    @pytest.mark.parametrize("c, kind", [(0.707, WALL), (0.7071, SLAB), (0.7069, WALL)])
    def test_slab_needs_normal_z_above_0_707(self, c, kind):
        s = math.sqrt(1 - 0.707 * 0.707)
        a, b = self.sloped(c, s)
        if c == 0.707:
            plane = load_probe().face_plane(([(p.x, p.y, p.z) for p in a.vertices], a.faces), 0)
            assert plane[0][2] == 0.707
        [(_, _, _, _, found)] = edges_of(build([a, b]))
        assert found == kind

    def test_classification_uses_the_face_of_node_a(self):
        # Mesh 0's face is steep (wall), mesh 1's face lies within the
        # parallel slack but its own normal would make it a slab.
        steep = quad((0, 0, 0), (1, 0, 0), (1, 0.7069, 0.7073), (0, 0.7069, 0.7073))
        flatter = quad((0, 0.7071, 0.7071), (1, 0.7071, 0.7071), (1, 0, 0), (0, 0, 0))
        [(_, _, _, _, kind)] = edges_of(build([steep, flatter], tolerance=1e-2))
        assert kind == WALL
        [(_, _, _, _, kind)] = edges_of(build([flatter, steep], tolerance=1e-2))
        assert kind == SLAB
