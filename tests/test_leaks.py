"""Repeated calls, succeeding and failing, must not grow memory without bound.

Native allocations are invisible to tracemalloc, so the check reads the
process's resident set: a warm-up round first (pools, caches), then several
more rounds whose growth must stay far below what one leaked object per call
would cost.
"""

import gc
import os

import pytest
from kovalith import GraphEdge, GraphNode, Mesh, SpatialGraph, SpatialRegistry, Vector3D, Wire

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
