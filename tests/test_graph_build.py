"""build_spatial_graph end to end: nodes, result objects, generated buildings,
determinism across builds, worker counts and fork."""

import json
import math
import multiprocessing
import os
import subprocess
import sys
import textwrap

import pytest
from graph_helpers import ROOT, box, build, building, edges_of, summary, wire, wire_pairs
from kovalith import GraphEdge, GraphNode, Mesh, SpatialGraph, SpatialRegistry, Vector3D, Wire


class TestNodesAndResult:
    def test_empty_registry(self):
        g = SpatialRegistry([], [], []).build_spatial_graph(1e-3)
        assert isinstance(g, SpatialGraph)
        assert (g.nodes, g.edges, g.wire_contacts) == ([], [], [])

    def test_one_mesh_and_a_wire(self):
        g = build([box(0, 0, 0, 1, 1, 1)], [wire((0.5, 0.5, 0), (0.5, 0.5, 1))])
        assert [n.index for n in g.nodes] == [0]
        assert g.edges == [] and wire_pairs(g) == [(0, 0)]

    def test_centroid_is_the_mean_of_all_vertices(self):
        # The unused vertex (9, 9, 9) counts too; an empty mesh gives NaN.
        used = box(0, 0, 0, 1, 1, 1)
        extra = Mesh(used.vertices + [Vector3D(9, 9, 9)], used.faces)
        g = build([extra, Mesh([], [])])
        c = g.nodes[0].centroid
        assert (c.x, c.y, c.z) == pytest.approx((13 / 9, 13 / 9, 13 / 9))
        c = g.nodes[1].centroid
        assert all(math.isnan(x) for x in (c.x, c.y, c.z))

    def test_result_objects_are_fresh_and_owned_by_the_graph(self):
        g = build([box(0, 0, 0, 1, 1, 1), box(1, 0, 0, 2, 1, 1)])
        node, edge = g.nodes[0], g.edges[0]
        assert type(node) is GraphNode and type(edge) is GraphEdge
        assert node.get_all_attributes() == {} and edge.get_all_attributes() == {}
        # The graph's list plus our name plus getrefcount's argument.
        assert sys.getrefcount(node) == 3 and sys.getrefcount(edge) == 3
        edge.set_attribute("door", "D1")
        assert g.edges[0].get_attribute("door") == "D1"

    def test_registry_is_left_unchanged(self):
        meshes = [box(0, 0, 0, 1, 1, 1), box(1, 0, 0, 2, 1, 1)]
        reg = SpatialRegistry(meshes, [wire((0, 0, 0), (1, 1, 1))], [box(5, 5, 5, 6, 6, 6)])
        before = [(m.vertices, m.faces) for m in reg.meshes]
        reg.build_spatial_graph(1e-3)
        after = [(m.vertices, m.faces) for m in reg.meshes]
        assert [[(p.x, p.y, p.z) for p in vs] + fs for vs, fs in before] == \
               [[(p.x, p.y, p.z) for p in vs] + fs for vs, fs in after]
        assert len(reg.wires) == 1 and len(reg.apertures) == 1

    def test_registry_held_exclusively_refuses_the_build(self):
        reg = SpatialRegistry([box(0, 0, 0, 1, 1, 1)], [], [])
        seen = []

        class Sneaky:
            """A sequence whose iteration calls back into the registry while
            its setter holds exclusive access."""
            def __len__(self):
                return 0

            def __getitem__(self, i):
                try:
                    reg.build_spatial_graph(1e-3)
                except RuntimeError as e:
                    seen.append(str(e))
                raise IndexError

        reg.wires = Sneaky()
        assert seen == ["Already mutably borrowed"]

    def test_keyword_argument_and_docstring(self):
        reg = SpatialRegistry([box(0, 0, 0, 1, 1, 1), box(1, 0, 0, 2, 1, 1)], [], [])
        assert len(reg.build_spatial_graph(tolerance=1e-3).edges) == 1
        method = SpatialRegistry.build_spatial_graph
        assert method.__text_signature__ == "($self, tolerance)"
        assert method.__doc__ == (
            "Compiles the spatial Dual Graph, executing O(N) vertex welding, O(log N) R*-Tree "
            "lookup,\n3D ray-cast column detection, and exact 2D polygonal aperture subtractions.")
        with pytest.raises(TypeError):
            reg.build_spatial_graph()
        with pytest.raises(TypeError):
            reg.build_spatial_graph(1e-3, 2)


class TestGeneratedBuilding:
    @pytest.mark.parametrize("side, floors, doors", [(1, 1, True), (3, 2, True), (5, 3, True),
                                                     (4, 2, False)])
    def test_counts_and_shared_area_by_hand(self, side, floors, doors):
        b = building.grid_building(side, floors, doors=doors)
        g = b.registry().build_spatial_graph(1e-3)
        walls, slabs, area = building.grid_expectations(side, floors, doors=doors)
        kinds = [e.contact_type for e in g.edges]
        assert kinds.count("VerticalWallContact") == walls
        assert kinds.count("HorizontalSlabContact") == slabs
        assert sum(e.shared_area for e in g.edges) == pytest.approx(area, rel=1e-12)
        assert all(e.node_a < e.node_b for e in g.edges)
        assert [e.node_a for e in g.edges] == sorted(e.node_a for e in g.edges)
        # One column per room, standing in that room only.
        assert wire_pairs(g) == [(k, k) for k in range(side * side * floors)]

    def test_wall_contact_geometry(self):
        # Rooms 0 and 1 share the wall x = 4 with a 1 x 2 door at its foot.
        g = building.grid_building(2, 1).registry().build_spatial_graph(1e-3)
        [(a, b, area, centre, kind)] = [e for e in edges_of(g) if e[:2] == (0, 1)]
        assert area == pytest.approx(10.0)
        # Wall 4 x 3 centred (2, 1.5) minus door 1 x 2 centred (2, 1).
        z = (12 * 1.5 - 2 * 1.0) / 10
        assert centre == pytest.approx((4.0, 2.0, z))


class TestDeterminism:
    def test_repeated_builds_are_equal(self):
        reg = building.random_building(7).registry()
        first = summary(reg.build_spatial_graph(1e-3))
        assert summary(reg.build_spatial_graph(1e-3)) == first
        assert first[1]  # a building with contacts

    def test_one_worker_gives_the_same_graph(self):
        # The pool sizes itself from the CPU affinity mask at first use, so a
        # process pinned to one CPU before its first build has one worker.
        if not hasattr(os, "sched_setaffinity") or len(os.sched_getaffinity(0)) < 2:
            pytest.skip("needs two CPUs to compare against one")
        reg = building.random_building(11, rooms_per_side=5).registry()
        here = summary(reg.build_spatial_graph(1e-3))
        assert len(os.listdir("/proc/self/task")) > 1  # this process has workers
        script = textwrap.dedent(f"""
            import json, os, sys
            os.sched_setaffinity(0, {{min(os.sched_getaffinity(0))}})
            sys.path[:0] = {[str(ROOT / "tests")]!r}
            from graph_helpers import building, summary
            g = building.random_building(11, rooms_per_side=5).registry().build_spatial_graph(1e-3)
            print(json.dumps([summary(g), len(os.listdir("/proc/self/task"))]))
        """)
        out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                             timeout=120, check=True, env=os.environ.copy()).stdout
        there, threads = json.loads(out)
        assert threads == 1
        assert there == json.loads(json.dumps(here))


def _build_in_child(registry, queue):
    g = registry.build_spatial_graph(1e-3)
    queue.put((summary(g), len(os.listdir("/proc/self/task"))))


def test_build_in_a_forked_child():
    # The parent's build starts the worker pool; a forked child has none of
    # its threads and must still complete its own build.
    reg = building.random_building(3).registry()
    parent = summary(reg.build_spatial_graph(1e-3))
    ctx = multiprocessing.get_context("fork")
    queue = ctx.Queue()
    child = ctx.Process(target=_build_in_child, args=(reg, queue))
    child.start()
    try:
        result, threads = queue.get(timeout=60)
    finally:
        child.join(10)
        if child.is_alive():
            child.kill()
    assert child.exitcode == 0
    assert threads == 1
    assert result == parent
