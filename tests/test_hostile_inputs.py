"""Python objects that fight back: each gets a clear exception or the documented result."""

import gc
import sys

import pytest
from kovalith import (GraphEdge, GraphNode, IfcParser, Mesh, SpatialGraph, SpatialRegistry,
                      TopologicalEntity, Vector3D, Wire, boolean_join_extruded)

V = Vector3D(0, 0, 0)


class Boom(Exception):
    pass


class RaisingIter:
    """A sequence whose iteration raises midway."""

    def __init__(self, items, fail_at):
        self.items, self.fail_at = items, fail_at

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        if i == self.fail_at:
            raise Boom("iteration failed")
        return self.items[i]


class RaisingLen(RaisingIter):
    def __len__(self):
        raise Boom("len failed")


class NegativeLen(RaisingIter):
    def __len__(self):
        return -1


class HugeLen(RaisingIter):
    def __len__(self):
        return sys.maxsize


class RaisingIndex:
    def __index__(self):
        raise Boom("index failed")


class WrongIndex:
    def __index__(self):
        return "three"


class RaisingFloat:
    def __float__(self):
        raise Boom("float failed")


class WrongFloat:
    def __float__(self):
        return "1.0"


class Grower:
    """Appends to the list being converted each time it is converted."""

    def __init__(self, target):
        self.target = target

    def __index__(self):
        if len(self.target) < 50:
            self.target.append([0, 0, 0])
        return 0


# (description, call, expected exception or None for success)
CASES = [
    ("__iter__ raises in vertices", lambda: Mesh(RaisingIter([V, V], 1), []), Boom),
    ("__iter__ raises in a face", lambda: Mesh([V], [RaisingIter([0, 0, 0], 2)]), Boom),
    ("__len__ raises", lambda: Mesh(RaisingLen([V, V, V], 99), [[0, 1, 2]]), None),
    ("__len__ negative", lambda: Mesh(NegativeLen([V], 99), []), None),
    ("__len__ huge", lambda: Mesh(HugeLen([V], 99), [HugeLen([0, 0, 0], 99)]), None),
    ("__index__ raises", lambda: Mesh([V], [[0, RaisingIndex(), 0]]), Boom),
    ("__index__ returns non-int", lambda: GraphNode(WrongIndex(), V), TypeError),
    ("__float__ raises", lambda: Vector3D(RaisingFloat(), 0, 0), Boom),
    ("__float__ returns non-float", lambda: GraphEdge(0, 0, WrongFloat(), V, ""), TypeError),
    ("nan and inf coordinates", lambda: Mesh([Vector3D(float("nan"), float("inf"), -1e308)], []), None),
    ("lone surrogate contact type", lambda: GraphEdge(0, 0, 0.0, V, "\ud800"), UnicodeEncodeError),
    ("bytes as a face", lambda: Mesh([V], [b"\x00\x00\x00"]), None),
    ("str as a face", lambda: Mesh([V], ["000"]), TypeError),
    ("dict as nodes", lambda: SpatialGraph({0: GraphNode(0, V)}, [], []), TypeError),
    ("generator as wires", lambda: SpatialRegistry([], (w for w in []), []), TypeError),
    ("subclass of list", lambda: Mesh(type("L", (list,), {})([V]), []), None),
]


@pytest.mark.parametrize("description, call, expected", CASES, ids=[c[0] for c in CASES])
def test_hostile_input(description, call, expected):
    if expected is None:
        call()
    else:
        with pytest.raises(expected):
            call()


def test_list_growing_during_conversion_is_converted_as_iterated():
    faces = [[0, 0, 0]]
    faces[0][1] = Grower(faces)
    m = Mesh([V], faces)
    assert len(m.faces) == len(faces) == 2


def test_vertices_list_cleared_by_a_face_conversion():
    vertices = [V, V, V]

    class Clearing:
        def __index__(self):
            vertices.clear()
            return 0

    # Vertices are converted before faces, so the mesh keeps three of them.
    m = Mesh(vertices, [[Clearing(), 1, 2]])
    assert len(m.vertices) == 3 and vertices == []


def test_setter_converting_value_that_mutates_registry_input():
    meshes = [Mesh([V], [])] * 3

    class Mutating:
        def __len__(self):
            meshes.clear()
            return 3

        def __getitem__(self, i):
            return meshes[i]

    reg = SpatialRegistry([], [], [])
    reg.meshes = Mutating()
    assert reg.meshes == []


# ---------------------------------------------------------------------------
# Every entry point: hostile numbers, re-entrant conversions, callbacks that
# mutate what is being read. After each failure the objects involved must
# still work and hold what they held.

NAN, INF = float("nan"), float("inf")
DBL_MAX = sys.float_info.max


def box(x0, y0, z0, x1, y1, z1):
    points = [(x0, y0, z0), (x1, y0, z0), (x1, y1, z0), (x0, y1, z0),
              (x0, y0, z1), (x1, y0, z1), (x1, y1, z1), (x0, y1, z1)]
    faces = [[0, 3, 2, 1], [4, 5, 6, 7], [0, 1, 5, 4], [1, 2, 6, 5], [2, 3, 7, 6], [3, 0, 4, 7]]
    return Mesh([Vector3D(*p) for p in points], faces)


def xyz(mesh):
    return [(p.x, p.y, p.z) for p in mesh.vertices]


TWO_ROOMS = [box(0, 0, 0, 1, 1, 1), box(1, 0, 0, 2, 1, 1)]


class TestHostileNumbers:
    @pytest.mark.parametrize("tolerance", [NAN, INF, -INF, 0.0, -0.0, 5e-324, 1e308, DBL_MAX, True])
    def test_clean_with_any_tolerance_gives_a_valid_mesh(self, tolerance):
        m = box(0, 0, 0, 1, 1, 1)
        out = m.clean(tolerance)
        Mesh(out.vertices, out.faces)  # revalidated
        assert len(out.vertices) <= 8 and xyz(m) == xyz(box(0, 0, 0, 1, 1, 1))

    @pytest.mark.parametrize("tolerance, error", [
        (10**400, OverflowError), ("0.1", TypeError), (None, TypeError), (1j, TypeError)])
    def test_tolerances_that_are_not_doubles(self, tolerance, error):
        reg = SpatialRegistry(TWO_ROOMS, [], [])
        for call in (lambda: box(0, 0, 0, 1, 1, 1).clean(tolerance),
                     lambda: reg.build_spatial_graph(tolerance)):
            with pytest.raises(error) as info:
                call()
            assert info.value.__notes__ == ["while processing 'tolerance'"]
        assert len(reg.build_spatial_graph(1e-3).edges) == 1

    def test_conversion_recursing_into_the_method_notes_each_parameter_once(self):
        mesh, reg = box(0, 0, 0, 1, 1, 1), SpatialRegistry(TWO_ROOMS, [], [])

        class Deep:
            def __float__(self):
                depth[0] += 1
                return mesh.clean(self) if depth[0] % 2 else Vector3D(self, 0, 0).x

        depth = [0]
        with pytest.raises(RecursionError) as info:
            mesh.clean(Deep())
        assert depth[0] > 50  # it did recurse, through two parameters
        assert sorted(info.value.__notes__) == ["while processing 'tolerance'", "while processing 'x'"]
        assert len(reg.build_spatial_graph(1e-3).edges) == 1

    def test_weld_keys_crafted_to_collide_weld_as_the_plain_reference(self):
        # Keys whose hash under a fixed, invertible mix (components multiplied
        # apart and xored, MurmurHash3's finaliser) share one home slot: the
        # finaliser is inverted and x solved for the product (kept when below
        # 2^53). With a random seed per call they must weld like any other
        # keys, in the same order whatever the seed.
        np = pytest.importorskip("numpy")
        from test_clean import reference_clean
        n, m64 = 1 << 11, (1 << 64) - 1
        a, b = 0x9E3779B97F4A7C15, 0xC2B2AE3D27D4EB4F
        h = (np.uint64(77) << np.uint64(52)) | np.arange(n, dtype=np.uint64)
        s33 = np.uint64(33)
        h ^= h >> s33
        h *= np.uint64(pow(0xC4CEB9FE1A85EC53, -1, 1 << 64))
        h ^= h >> s33
        h *= np.uint64(pow(0xFF51AFD7ED558CCD, -1, 1 << 64))
        h ^= h >> s33
        a_inverse, low, high = np.uint64(pow(a, -1, 1 << 64)), np.uint64(1 << 53), np.uint64(m64 - (1 << 53) + 1)
        points, todo, y = [None] * n, np.arange(n), 0
        while todo.size:
            y += 1
            x = (h[todo] ^ np.uint64((y * b) & m64)) * a_inverse
            ok = (x < low) | (x > high)
            for k, v in zip(todo[ok].tolist(), x[ok].view(np.int64).tolist()):
                points[k] = (float(v), float(y), 0.0)
            todo = todo[~ok]
        points += points[::3]  # repeats, to be welded onto the first copies
        faces = [[k, k + 1, k + 2] for k in range(0, len(points) - 2, 5)]
        expected = reference_clean(points, faces, 1.0)
        m = Mesh([Vector3D(*p) for p in points], faces)
        for _ in range(2):
            out = m.clean(1.0)
            assert (xyz(out), out.faces) == expected

    # The one tolerance is a distance, an area and the slack of the parallel
    # test |n1.n2| > 1 - tolerance at once: 5e-324 leaves no slack at all.
    @pytest.mark.parametrize("tolerance, edges", [
        (NAN, 0), (INF, 0), (-INF, 0), (0.0, 0), (-1e-3, 0), (5e-324, 0), (1e-12, 1), (1e308, 0),
        (DBL_MAX, 0)])
    def test_build_with_any_tolerance(self, tolerance, edges):
        g = SpatialRegistry(TWO_ROOMS, [Wire(Vector3D(0.5, 0.5, 0), Vector3D(0.5, 0.5, 1))], [])\
            .build_spatial_graph(tolerance)
        assert len(g.nodes) == 2 and len(g.edges) == edges
        assert [(c.wire_index, c.mesh_index) for c in g.wire_contacts] == [(0, 0)]

    def test_build_on_meshes_with_non_finite_and_extreme_coordinates(self):
        odd = [Mesh([Vector3D(NAN, 0, 0), Vector3D(INF, 1, 0), Vector3D(-DBL_MAX, DBL_MAX, 5e-324)],
                    [[0, 1, 2], [2, 1, 0, 0]]),
               box(-DBL_MAX, -DBL_MAX, -DBL_MAX, DBL_MAX, DBL_MAX, DBL_MAX)]
        g = SpatialRegistry(TWO_ROOMS + odd, [Wire(Vector3D(NAN, 0, 0), Vector3D(0, INF, 0))],
                            odd).build_spatial_graph(1e-3)
        assert len(g.nodes) == 4 and [(e.node_a, e.node_b) for e in g.edges] == [(0, 1)]

    # Centroids spanning more than the double range: the processing order of
    # the build must not compute an infinite extent (a NaN cell under the
    # float-cast-overflow check of the sanitizer build).
    @pytest.mark.parametrize("far", [[-1e308, 1e308], [-DBL_MAX, DBL_MAX, 0.0], [DBL_MAX, -1e308, 1.0]])
    def test_build_with_centroids_across_the_whole_double_range(self, far):
        lone = [Mesh([Vector3D(x, 0, 0)], [[0, 0, 0]]) for x in far]
        g = SpatialRegistry(TWO_ROOMS + lone, [], []).build_spatial_graph(1e-3)
        assert [n.centroid.x for n in g.nodes][2:] == far
        assert [(e.node_a, e.node_b) for e in g.edges] == [(0, 1)]

    def test_join_near_the_top_of_the_double_range_stays_finite(self):
        # Plans reaching DBL_MAX used to snap to a grid point that scaled back
        # to infinity.
        top = DBL_MAX
        plan = Mesh([Vector3D(0, 0, 0), Vector3D(top, 0, 0), Vector3D(top, top, 0),
                     Vector3D(0, top, 0)], [[0, 1, 2, 3]])
        [shared] = boolean_join_extruded(plan, plan, 0.0, 1.0)
        corners = sorted({(x, y) for x, y, _ in xyz(shared)})
        assert corners == [(0, 0), (0, top), (top, 0), (top, top)]

    @pytest.mark.parametrize("z_base, height",
                             [(NAN, 1.0), (0.0, INF), (DBL_MAX, DBL_MAX), (0.0, -1.0)])
    def test_join_with_any_heights(self, z_base, height):
        cells = boolean_join_extruded(TWO_ROOMS[0], TWO_ROOMS[0], z_base, height)
        assert len(cells) == 1 and len(cells[0].vertices) == 8

    @pytest.mark.parametrize("normal", [(1e300, 0, 0), (0, -1e300, 0), (DBL_MAX, DBL_MAX, DBL_MAX),
                                        (1e200, 0, 1e-200)])
    def test_slice_by_a_normal_too_long_to_square_keeps_its_direction(self, normal):
        # The squared length overflows; the plane used to collapse to a zero
        # normal and put every triangle above it.
        m = box(-1, -1, -1, 1, 1, 1)
        above, below = m.slice_by_plane(Vector3D(*normal), Vector3D(0, 0, 0))
        unit = [c / max(abs(c) for c in normal) for c in normal]
        reference = m.slice_by_plane(Vector3D(*unit), Vector3D(0, 0, 0))
        assert (xyz(above), above.faces, xyz(below), below.faces) == \
            (xyz(reference[0]), reference[0].faces, xyz(reference[1]), reference[1].faces)
        assert above.faces and below.faces

    @pytest.mark.parametrize("normal, above, below", [
        ((INF, 0, 0), 0, 12), ((NAN, 0, 0), 0, 12), ((1e-200, 0, 0), None, None)])
    def test_slice_by_non_finite_or_vanishing_normals(self, normal, above, below):
        m = box(-1, -1, -1, 1, 1, 1)
        if above is None:
            with pytest.raises(ValueError, match="Invalid plane normal vector."):
                m.slice_by_plane(Vector3D(*normal), Vector3D(0, 0, 0))
            return
        up, down = m.slice_by_plane(Vector3D(*normal), Vector3D(0, 0, 0))
        assert (len(up.faces), len(down.faces)) == (above, below)

    @pytest.mark.parametrize("start, end, error", [
        (2**64 - 1, 0, ValueError), (0, 2**64, OverflowError), (-1, 0, OverflowError),
        (0, 1.0, TypeError), (True, False, None)])
    def test_route_ends(self, start, end, error):
        g = SpatialRegistry(TWO_ROOMS, [], []).build_spatial_graph(1e-3)
        if error is None:
            assert g.find_shortest_path(start, end) == [1, 0]
        else:
            with pytest.raises(error):
                g.find_shortest_path(start, end)
        assert g.find_shortest_path(0, 1) == [0, 1]


class TestReentrantConversions:
    """Conversions run Python code (__float__, __index__, __getitem__) that
    calls back into the object being built or assigned."""

    def test_setter_whose_value_writes_the_same_vector(self):
        v = Vector3D(1, 2, 3)

        class Writes:
            def __float__(self):
                v.y = 7.0
                return 5.0

        with pytest.raises(RuntimeError, match="Already borrowed") as info:
            v.x = Writes()
        assert info.value.__notes__ == ["while processing 'x'"]
        assert (v.x, v.y, v.z) == (1.0, 2.0, 3.0)
        v.x = 4
        assert v.x == 4.0

    def test_topological_entity_setter_reentered(self):
        e = TopologicalEntity(1, "Room", None)

        class Index:
            def __index__(self):
                e.id = 9
                return 2

        with pytest.raises(RuntimeError, match="Already borrowed"):
            e.parent_id = Index()
        assert (e.id, e.entity_type, e.parent_id) == (1, "Room", None)

    def test_wire_changed_while_the_registry_copies_it(self):
        w = Wire(Vector3D(0, 0, 0), Vector3D(1, 1, 1))

        class Wires:
            """Moves the wire after handing it out: the registry keeps the
            value of the moment it was converted."""
            def __len__(self):
                return 2

            def __getitem__(self, i):
                if i == 2:
                    raise IndexError
                if i == 1:
                    w.end = Vector3D(5, 5, 5)
                return w

        reg = SpatialRegistry([], Wires(), [])
        assert [(x.end.x, x.end.y, x.end.z) for x in reg.wires] == [(1, 1, 1), (5, 5, 5)]

    def test_vertex_changed_while_the_mesh_copies_it(self):
        v = Vector3D(0, 0, 0)

        class Vertices:
            def __len__(self):
                return 3

            def __getitem__(self, i):
                if i == 3:
                    raise IndexError
                v.x = float(i)
                return v

        assert [p.x for p in Mesh(Vertices(), [[0, 1, 2]]).vertices] == [0.0, 1.0, 2.0]

    def test_graph_inputs_mutated_and_dropped_during_conversion(self):
        edges = [GraphEdge(0, 1, 1.0, V, "VerticalWallContact")]
        pool = [GraphNode(k, V) for k in range(3)]
        base = [sys.getrefcount(n) for n in pool]

        class Nodes:
            """Hands out nodes that only the conversion still holds, and
            empties the edge list that is converted next."""
            def __len__(self):
                return 3

            def __getitem__(self, i):
                if i == 3:
                    raise IndexError
                edges.clear()
                return pool[i]

        g = SpatialGraph(Nodes(), edges, [])
        assert [n.index for n in g.nodes] == [0, 1, 2] and g.edges == []
        assert [sys.getrefcount(n) for n in pool] == [b + 1 for b in base]
        del g
        gc.collect()
        assert [sys.getrefcount(n) for n in pool] == base

    def test_registry_setter_value_that_reads_the_registry(self):
        reg = SpatialRegistry(TWO_ROOMS, [], [])

        class Meshes:
            def __len__(self):
                return 1

            def __getitem__(self, i):
                if i:
                    raise IndexError
                return reg.meshes[0]

        with pytest.raises(RuntimeError, match="Already mutably borrowed") as info:
            reg.meshes = Meshes()
        assert info.value.__notes__ == ["while processing 'meshes'"]
        assert len(reg.meshes) == 2 and len(reg.build_spatial_graph(1e-3).edges) == 1


class TestAttributeValuesDuringExport:
    """repr() of attribute values runs during to_cypher_queries; cases beyond
    the export's own tests: other exception kinds, the collector, deep
    recursion, and attributes changed on nodes that come later."""

    @staticmethod
    def graph_with(value, *more_nodes):
        n = GraphNode(0, V)
        n.set_attribute("v", value)
        return SpatialGraph([n, *more_nodes], [GraphEdge(0, 1, 1.0, V, "VerticalWallContact")], [])

    def test_base_exception_passes_through_and_graph_stays_usable(self):
        class Interrupt:
            def __repr__(self):
                raise KeyboardInterrupt

        g = self.graph_with(Interrupt(), GraphNode(1, V))
        with pytest.raises(KeyboardInterrupt):
            g.to_cypher_queries()
        g.nodes[0].set_attribute("v", 1)
        assert len(g.to_cypher_queries()) == 3 and g.find_shortest_path(0, 1) == [0, 1]

    def test_collector_run_inside_repr_on_a_graph_in_a_cycle(self):
        class Collects:
            def __repr__(self):
                gc.collect()
                return "'c'"

        g = self.graph_with(Collects(), GraphNode(1, V))
        g.nodes[1].set_attribute("graph", g)  # graph -> node -> graph
        statements = g.to_cypher_queries()
        assert statements[0].endswith(", v: 'c'})") and len(statements) == 3
        del g
        gc.collect()

    def test_unbounded_recursion_through_repr_is_a_recursion_error(self):
        class Again:
            def __repr__(self):
                return graph.to_cypher_queries()[0]

        graph = self.graph_with(Again())
        with pytest.raises(RecursionError):
            graph.to_cypher_queries()
        graph.nodes[0].set_attribute("v", 0)
        assert len(graph.to_cypher_queries()) == 2

    def test_repr_replacing_a_later_hostile_value_defuses_it(self):
        later = GraphNode(1, V)

        class Raises:
            def __repr__(self):
                raise AssertionError("never reached")

        class Calms:
            def __repr__(self):
                later.set_attribute("bad", "calm")
                return "'ok'"

        later.set_attribute("bad", Raises())
        statements = self.graph_with(Calms(), later).to_cypher_queries()
        assert statements[1].endswith(", bad: 'calm'})")

    def test_repr_that_sets_attributes_on_an_edge_being_exported(self):
        g = self.graph_with(1, GraphNode(1, V))
        edge = g.edges[0]

        class SetsEdge:
            def __repr__(self):
                edge.set_attribute("w", 2)
                return "'e'"

        edge.set_attribute("e", SetsEdge())
        with pytest.raises(RuntimeError, match="Already borrowed"):
            g.to_cypher_queries()
        assert edge.get_all_attributes().keys() == {"e"}


class TestLoneSurrogates:
    S = "room\ud800"

    @pytest.mark.parametrize("call, name", [
        (lambda s: GraphNode(0, V).set_attribute(s, 1), "key"),
        (lambda s: GraphNode(0, V).get_attribute(s), "key"),
        (lambda s: GraphEdge(0, 1, 1.0, V, "Wall").get_attribute(s), "key"),
        (lambda s: TopologicalEntity(1, s, None), "entity_type"),
        (lambda s: IfcParser.parse_ifc_points_and_faces("#1=IFCCARTESIANPOINT((0.,0.,0.));" + s),
         "ifc_content"),
    ])
    def test_refused_with_the_encoding_error(self, call, name):
        with pytest.raises(UnicodeEncodeError) as info:
            call(self.S)
        assert info.value.__notes__ == [f"while processing '{name}'"]

    def test_setter_keeps_the_old_value(self):
        e = TopologicalEntity(1, "Room", None)
        with pytest.raises(UnicodeEncodeError):
            e.entity_type = self.S
        assert e.entity_type == "Room"


class TestHandMadeGraphs:
    def test_edge_beyond_the_nodes_leaves_the_graph_usable(self):
        nodes = [GraphNode(0, V), GraphNode(1, V)]
        edges = [GraphEdge(0, 1, 1.0, V, "W"), GraphEdge(1, 2**64 - 1, 1.0, V, "W")]
        g = SpatialGraph(nodes, edges, [])
        counts = [sys.getrefcount(x) for x in nodes + edges]
        # start == end too: the edges are checked before any search.
        for start, end in [(0, 1), (1, 1), (0, 1)]:
            with pytest.raises(IndexError) as info:
                g.find_shortest_path(start, end)
            assert str(info.value) == "Edge 1 references out-of-bounds node 18446744073709551615."
        assert [sys.getrefcount(x) for x in nodes + edges] == counts
        assert len(g.to_cypher_queries()) == 4 and g.nodes == nodes and g.edges == edges

    def test_same_node_object_at_every_position(self):
        n = GraphNode(7, Vector3D(1, 2, 3))
        g = SpatialGraph([n] * 4, [GraphEdge(0, 3, 1.0, V, "W"), GraphEdge(3, 2, 1.0, V, "W")], [])
        assert g.find_shortest_path(0, 2) == [0, 3, 2]
        assert g.to_cypher_queries()[0] == g.to_cypher_queries()[3]
