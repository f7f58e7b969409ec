"""Repeated calls, succeeding and failing, must not grow memory without bound.

Native allocations are invisible to tracemalloc, so the check reads the
process's resident set: a warm-up round first (pools, caches), then several
more rounds whose growth must stay far below what one leaked object per call
would cost. Python objects are also counted by tracemalloc, which sees a
leaked int or str that the resident set would hide, and the reference counts
of the objects a call is given must come back to where they were.
"""

import gc
import os
import pathlib
import sys
import tracemalloc

import pytest
from kovalith import (GraphEdge, GraphNode, IfcParser, Mesh, SpatialGraph, SpatialRegistry,
                      Vector3D, Wire, boolean_join_extruded)

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "bench"))
import building  # noqa: E402  (bench/building.py: generated buildings)

PAGE = os.sysconf("SC_PAGE_SIZE")


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


def growth_over_rounds(work, rounds=4):
    work()
    gc.collect()
    start = rss_bytes()
    for _ in range(rounds):
        work()
        gc.collect()
    return rss_bytes() - start


def expect_raise(fn, exc):
    try:
        fn()
    except exc:
        return
    raise AssertionError("expected a failure")


V = Vector3D(1, 2, 3)
TRI = Mesh([V, V, V], [[0, 1, 2]])


def vectors():
    for _ in range(100_000):
        Vector3D(1.0, 2.0, 3.0).x


def meshes():
    vs = [Vector3D(i, 0, 0) for i in range(30)]
    faces = [[i, i + 1, i + 2] for i in range(28)]
    for _ in range(2_000):
        m = Mesh(vs, faces)
        m.vertices, m.faces


def nodes_with_attributes():
    payload = "x" * 50
    for i in range(20_000):
        n = GraphNode(i, V)
        n.set_attribute("name", payload)
        n.set_attribute("level", i)
        n.set_attribute("self", n)  # a cycle, left to the collector
        n.get_all_attributes()


def graphs_and_registries():
    for _ in range(2_000):
        n = GraphNode(0, V)
        e = GraphEdge(0, 1, 1.0, V, "VerticalWallContact")
        g = SpatialGraph([n, n], [e], [])
        g.nodes, g.edges, g.wire_contacts
        r = SpatialRegistry([TRI, TRI], [Wire(V, V)], [TRI])
        r.meshes, r.wires, r.apertures
        r.meshes = [TRI]


def failing_calls():
    for _ in range(5_000):
        expect_raise(lambda: Vector3D(1, 2, "z"), TypeError)
        expect_raise(lambda: Mesh([V, V, V], [[0, 1, 2], [0, 1, 9]]), IndexError)
        expect_raise(lambda: Mesh([V] * 3, [[0, 1, -1]]), OverflowError)
        expect_raise(lambda: SpatialGraph([GraphNode(0, V)], [V], []), TypeError)
        expect_raise(lambda: SpatialRegistry([TRI], [TRI], []), TypeError)
        expect_raise(lambda: GraphNode(0, V).set_attribute(1, 2), TypeError)


@pytest.mark.skipif(
    "ASAN_OPTIONS" in os.environ, reason="the sanitizer's quarantine holds freed memory; it checks leaks itself"
)
@pytest.mark.parametrize(
    "work", [vectors, meshes, nodes_with_attributes, graphs_and_registries, failing_calls]
)
def test_memory_stays_flat(work):
    # One leaked object per call would cost megabytes over these rounds.
    assert growth_over_rounds(work) < 1 << 20


# Every other entry point, each loop mixing successful and failing calls.

SQUARE = Mesh([Vector3D(0, 0, 0), Vector3D(2, 0, 0), Vector3D(2, 2, 0), Vector3D(0, 2, 0),
               Vector3D(0, 0, 1), Vector3D(2, 0, 1), Vector3D(2, 2, 1), Vector3D(0, 2, 1)],
              [[0, 1, 2, 3], [7, 6, 5, 4], [0, 1, 5, 4]])
SHIFTED = Mesh([Vector3D(p.x + 1, p.y + 1, p.z) for p in SQUARE.vertices], SQUARE.faces)
EMPTY = Mesh([], [])
UP, ORIGIN, ZERO = Vector3D(0.3, 0.2, 1), Vector3D(1, 1, 0.5), Vector3D(0, 0, 0)
ROOMS = building.grid_building(2, 2)


def kernel_calls():
    for _ in range(1_000):
        SQUARE.clean(0.01)
        SQUARE.slice_by_plane(UP, ORIGIN)
        SQUARE.compute_volume_centroid()
        EMPTY.compute_volume_centroid()
        boolean_join_extruded(SQUARE, SHIFTED, 0.0, 3.0)


def kernel_failures():
    for _ in range(1_000):
        expect_raise(lambda: SQUARE.slice_by_plane(ZERO, ORIGIN), ValueError)
        expect_raise(lambda: SQUARE.slice_by_plane(UP, "origin"), TypeError)
        expect_raise(lambda: SQUARE.clean("0.01"), TypeError)
        expect_raise(lambda: boolean_join_extruded(SQUARE, EMPTY, 0.0, 3.0), ValueError)
        expect_raise(lambda: boolean_join_extruded(SQUARE, SHIFTED, 0.0, 2**1100), OverflowError)


REGISTRY = ROOMS.registry()


def builds():
    for _ in range(40):
        REGISTRY.build_spatial_graph(1e-3)
        expect_raise(lambda: REGISTRY.build_spatial_graph("1e-3"), TypeError)
        expect_raise(lambda: REGISTRY.build_spatial_graph(), TypeError)


def registry_copies():
    meshes, wires, apertures = ROOMS.kovalith_lists()
    for _ in range(100):
        reg = SpatialRegistry(meshes, wires, apertures)
        reg.meshes, reg.apertures = reg.apertures, reg.meshes
        expect_raise(lambda: SpatialRegistry(meshes, wires, apertures + [wires[0]]), TypeError)
        expect_raise(lambda: setattr(reg, "wires", wires + [meshes[0]]), TypeError)


GRAPH = REGISTRY.build_spatial_graph(1e-3)
BROKEN = SpatialGraph(GRAPH.nodes, GRAPH.edges + [GraphEdge(0, 99, 1.0, V, "W")], [])


def routes():
    last = len(GRAPH.nodes) - 1
    for _ in range(1_000):
        GRAPH.find_shortest_path(0, last)
        expect_raise(lambda: GRAPH.find_shortest_path(0, last + 1), ValueError)
        expect_raise(lambda: BROKEN.find_shortest_path(0, last), IndexError)
        expect_raise(lambda: GRAPH.find_shortest_path(0, -1), OverflowError)


class Raises:
    def __repr__(self):
        raise LookupError("no repr")


def exports():
    nodes = [GraphNode(k, V) for k in range(20)]
    for k, n in enumerate(nodes):
        n.set_attribute("name", f"room {k}")
        n.set_attribute("odd", "\ud800" if k % 2 else 1.5)
    good = SpatialGraph(nodes, GRAPH.edges, [])
    bad = GraphNode(20, V)
    bad.set_attribute("bad", Raises())
    failing = SpatialGraph(nodes + [bad], [], [])
    for _ in range(200):
        good.to_cypher_queries()
        expect_raise(failing.to_cypher_queries, LookupError)


IFC_TEXT = "\n".join(
    [f"#{k}=IFCCARTESIANPOINT(({k}.,{k % 3}.,0.));" for k in range(1, 41)]
    + [f"#{k + 100}=IFCPOLYLOOP((#{k},#{k + 1},#{k + 2}));" for k in range(1, 39)])


def ifc_reads():
    wide = IFC_TEXT + "\n/* é */"  # not ASCII: read through a temporary copy
    for _ in range(300):
        IfcParser.parse_ifc_points_and_faces(IFC_TEXT)
        IfcParser.parse_ifc_points_and_faces(wide)
        expect_raise(lambda: IfcParser.parse_ifc_points_and_faces(IFC_TEXT + "\udc80"),
                     UnicodeEncodeError)
        expect_raise(lambda: IfcParser.parse_ifc_points_and_faces(b"#1=IFC"), TypeError)


ENTRY_POINTS = [kernel_calls, kernel_failures, builds, registry_copies, routes, exports, ifc_reads]


@pytest.mark.skipif(
    "ASAN_OPTIONS" in os.environ, reason="the sanitizer's quarantine holds freed memory; it checks leaks itself"
)
@pytest.mark.parametrize("work", ENTRY_POINTS)
def test_every_entry_point_stays_flat(work):
    tracemalloc.start()
    try:
        work()
        gc.collect()
        traced = tracemalloc.get_traced_memory()[0]
        rss = growth_over_rounds(work, rounds=3)
        gc.collect()
        traced_growth = tracemalloc.get_traced_memory()[0] - traced
    finally:
        tracemalloc.stop()
    # Each round makes hundreds to thousands of calls: one leaked object per
    # call would show as tens of kilobytes traced, a leaked native copy as
    # megabytes of resident memory.
    assert traced_growth < 16 << 10
    assert rss < 1 << 20


class Tolerance(float):
    """A float object of our own, so that its reference count is ours alone."""


def reference_count_cases():
    graph = REGISTRY.build_spatial_graph(1e-3)
    node = graph.nodes[0]
    tol, bad = Tolerance(1e-3), object()
    normal, origin, zero = Vector3D(0, 0, 1), Vector3D(0, 0, 0.5), Vector3D(0, 0, 0)
    text = "#1=IFCCARTESIANPOINT((0.,0.,0.));"
    key, value = "name", object()
    return [
        ("clean", lambda: SQUARE.clean(tol), [SQUARE, tol]),
        ("clean refused", lambda: SQUARE.clean(bad), [SQUARE, bad]),
        ("slice", lambda: SQUARE.slice_by_plane(normal, origin), [SQUARE, normal, origin]),
        ("slice refused", lambda: SQUARE.slice_by_plane(zero, bad), [SQUARE, zero, bad]),
        ("slice zero normal", lambda: SQUARE.slice_by_plane(zero, origin), [zero, origin]),
        ("join", lambda: boolean_join_extruded(SQUARE, SHIFTED, tol, tol), [SQUARE, SHIFTED, tol]),
        ("join refused", lambda: boolean_join_extruded(SQUARE, EMPTY, tol, bad),
         [SQUARE, EMPTY, tol, bad]),
        ("build", lambda: REGISTRY.build_spatial_graph(tol), [REGISTRY, tol]),
        ("build refused", lambda: REGISTRY.build_spatial_graph(bad), [REGISTRY, bad]),
        ("route", lambda: graph.find_shortest_path(0, 3), [graph, node] + graph.edges),
        ("route refused", lambda: BROKEN.find_shortest_path(0, 3), [BROKEN] + BROKEN.edges),
        ("export", lambda: graph.to_cypher_queries(), [graph, node]),
        ("attributes", lambda: (node.set_attribute(key, value), node.get_all_attributes()),
         [node, value]),
        ("attribute refused", lambda: node.set_attribute(bad, value), [node, bad, value]),
        ("ifc", lambda: IfcParser.parse_ifc_points_and_faces(text), [text]),
        ("registry", lambda: SpatialRegistry([SQUARE], [], [SHIFTED]), [SQUARE, SHIFTED]),
        ("registry refused", lambda: SpatialRegistry([SQUARE], [bad], []), [SQUARE, bad]),
    ]


@pytest.mark.parametrize("case", range(len(reference_count_cases())))
def test_calls_give_back_every_reference(case):
    name, call, held = reference_count_cases()[case]
    call_safely = lambda: expect_any(call)  # noqa: E731
    call_safely()  # first call: attribute maps and caches settle
    gc.collect()
    before = [sys.getrefcount(x) for x in held]
    for _ in range(20):
        call_safely()
    gc.collect()
    assert [sys.getrefcount(x) for x in held] == before, name


def expect_any(call):
    try:
        call()
    except (TypeError, ValueError, IndexError, OverflowError):
        pass
