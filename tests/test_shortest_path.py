import itertools
import math
import pathlib
import random
import sys

import pytest

from kovalith import GraphEdge, GraphNode, SpatialGraph, Vector3D

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "bench"))
import building  # noqa: E402  (bench/building.py: generated buildings)

LARGEST_FINITE = sys.float_info.max


def make_graph(centroids, pairs, area=1.0, contact_type="VerticalWallContact"):
    nodes = [GraphNode(i, Vector3D(*c)) for i, c in enumerate(centroids)]
    edges = [GraphEdge(a, b, area, Vector3D(0, 0, 0), contact_type) for a, b in pairs]
    return SpatialGraph(nodes, edges, [])


def scan_route(centroids, pairs, start, end):
    """Plain transcription of the quadratic linear-scan search: the reference
    whose tie-breaking every faster search must reproduce."""
    n = len(centroids)
    adjacency = [[] for _ in range(n)]
    for a, b in pairs:
        ca, cb = centroids[a], centroids[b]
        dx, dy, dz = ca[0] - cb[0], ca[1] - cb[1], ca[2] - cb[2]
        cost = math.sqrt((dx * dx + dy * dy) + dz * dz)
        adjacency[a].append((b, cost))
        adjacency[b].append((a, cost))
    distance = [LARGEST_FINITE] * n
    predecessor = [None] * n
    visited = [False] * n
    distance[start] = 0.0
    for _ in range(n):
        chosen, best = None, LARGEST_FINITE
        for position in range(n):
            if not visited[position] and distance[position] < best:
                chosen, best = position, distance[position]
        if chosen is None or chosen == end:
            break
        visited[chosen] = True
        for v, cost in adjacency[chosen]:
            if visited[v]:
                continue
            alt = cost + distance[chosen]
            if distance[v] > alt:
                distance[v] = alt
                predecessor[v] = chosen
    if distance[end] == LARGEST_FINITE:
        return []
    route = [end]
    while predecessor[route[-1]] is not None:
        route.append(predecessor[route[-1]])
    return route[::-1]


# Small coordinate alphabet: integers make equal costs (ties) common, the
# huge values make sums overflow, and the non-finite ones make unusable edges.
COORDINATES = [0.0, 0.0, 1.0, 1.0, 2.0, -1.0, 3.0, 0.5, 1e308, -1e308, math.inf, math.nan]


def random_graph(rng):
    n = rng.randint(1, 7)
    pool = [tuple(rng.choice(COORDINATES[:8]) for _ in range(3)) for _ in range(3)]
    centroids = []
    for _ in range(n):
        roll = rng.random()
        if roll < 0.4:
            centroids.append(rng.choice(pool))  # repeated centroids: zero-cost edges
        elif roll < 0.9:
            centroids.append(tuple(float(rng.randint(-2, 2)) for _ in range(3)))
        else:
            centroids.append(tuple(rng.choice(COORDINATES) for _ in range(3)))
    pairs = []
    for _ in range(rng.randint(0, 3 * n)):
        a = rng.randrange(n)
        roll = rng.random()
        if roll < 0.1:
            b = a  # self-loop
        elif roll < 0.25 and pairs:
            a, b = rng.choice(pairs)  # parallel edge
        else:
            b = rng.randrange(n)
        pairs.append((a, b))
    return centroids, pairs


class TestHeapMatchesLinearScan:
    def test_random_tie_dense_graphs(self):
        rng = random.Random(20240611)
        compared = 0
        for _ in range(3000):
            centroids, pairs = random_graph(rng)
            graph = make_graph(centroids, pairs)
            n = len(centroids)
            for start, end in itertools.product(range(n), repeat=2):
                expected = scan_route(centroids, pairs, start, end)
                assert graph.find_shortest_path(start, end) == expected, (centroids, pairs, start, end)
                compared += 1
        assert compared > 20000

    def test_grid_with_equal_costs_everywhere(self):
        # A grid has many routes of equal length between opposite corners.
        side = 6
        centroids = [(float(x), float(y), 0.0) for y in range(side) for x in range(side)]
        pairs = []
        for y in range(side):
            for x in range(side):
                k = y * side + x
                if x + 1 < side:
                    pairs.append((k, k + 1))
                if y + 1 < side:
                    pairs.append((k, k + side))
        random.Random(7).shuffle(pairs)
        graph = make_graph(centroids, pairs)
        for start, end in [(0, side * side - 1), (side * side - 1, 0), (side - 1, side * (side - 1))]:
            route = graph.find_shortest_path(start, end)
            assert route == scan_route(centroids, pairs, start, end)
            assert len(route) == 2 * (side - 1) + 1

    def test_compiled_building(self):
        graph = building.random_building(3).registry().build_spatial_graph(1e-3)
        centroids = [(c.x, c.y, c.z) for c in (n.centroid for n in graph.nodes)]
        pairs = [(e.node_a, e.node_b) for e in graph.edges]
        n = len(centroids)
        for start in range(0, n, max(1, n // 5)):
            for end in range(n):
                assert graph.find_shortest_path(start, end) == scan_route(centroids, pairs, start, end)


DIAMOND = [(0, 0, 0), (1, 1, 0), (1, -1, 0), (2, 0, 0)]


class TestRoutes:
    @pytest.mark.parametrize("pairs", list(itertools.permutations([(0, 1), (0, 2), (1, 3), (2, 3)])))
    def test_equal_cost_routes_break_ties_by_position(self, pairs):
        graph = make_graph(DIAMOND, pairs)
        assert graph.find_shortest_path(0, 3) == [0, 1, 3]
        assert graph.find_shortest_path(3, 0) == [3, 1, 0]

    def test_edges_are_undirected(self):
        graph = make_graph([(0, 0, 0), (1, 0, 0)], [(0, 1)])
        assert graph.find_shortest_path(0, 1) == [0, 1]
        assert graph.find_shortest_path(1, 0) == [1, 0]

    def test_start_equals_end(self):
        graph = make_graph([(0, 0, 0), (1, 0, 0)], [(0, 1), (1, 1)])
        assert graph.find_shortest_path(1, 1) == [1]

    def test_unreachable_end_gives_empty_route(self):
        graph = make_graph([(0, 0, 0), (1, 0, 0), (5, 0, 0), (6, 0, 0)], [(0, 1), (2, 3)])
        assert graph.find_shortest_path(0, 3) == []
        assert graph.find_shortest_path(3, 2) == [3, 2]

    def test_zero_cost_edges_are_used(self):
        graph = make_graph([(0, 0, 0), (0, 0, 0), (0, 0, 0)], [(0, 1), (1, 2)])
        assert graph.find_shortest_path(0, 2) == [0, 1, 2]

    @pytest.mark.parametrize("bad", [math.inf, -math.inf, math.nan])
    def test_non_finite_centroid_edges_are_never_used(self, bad):
        graph = make_graph([(0, 0, 0), (bad, 0, 0), (1, 0, 0)], [(0, 1), (1, 2)])
        assert graph.find_shortest_path(0, 2) == []
        detour = make_graph([(0, 0, 0), (bad, 0, 0), (1, 0, 0), (0, 9, 0)],
                            [(0, 1), (1, 2), (0, 3), (3, 2)])
        assert detour.find_shortest_path(0, 2) == [0, 3, 2]

    def test_area_and_contact_type_do_not_matter(self):
        for area, kind in [(1e9, "HorizontalSlabContact"), (-5.0, ""), (math.nan, "x")]:
            assert make_graph(DIAMOND, [(0, 2), (2, 3), (0, 1), (1, 3)], area, kind) \
                .find_shortest_path(0, 3) == [0, 1, 3]

    def test_shorter_route_with_more_hops_wins(self):
        centroids = [(0, 0, 0), (10, 0, 0), (3, 1, 0), (7, 1, 0)]
        graph = make_graph(centroids, [(0, 1), (0, 2), (2, 3), (3, 1)])
        assert graph.find_shortest_path(0, 1) == [0, 1]
        far = make_graph([(0, 0, 0), (10, 10, 0), (5, 0, 0), (10, 0, 0)],
                         [(0, 1), (0, 2), (2, 3), (3, 1)])
        assert far.find_shortest_path(0, 1) == [0, 1]  # 14.14 < 5 + 5 + 10
        assert far.find_shortest_path(2, 1) == [2, 3, 1]

    def test_node_index_field_is_ignored(self):
        nodes = [GraphNode(77, Vector3D(0, 0, 0)), GraphNode(77, Vector3D(1, 0, 0))]
        graph = SpatialGraph(nodes, [GraphEdge(0, 1, 1.0, Vector3D(0, 0, 0), "")], [])
        assert graph.find_shortest_path(0, 1) == [0, 1]

    def test_same_node_object_twice(self):
        node = GraphNode(0, Vector3D(0, 0, 0))
        graph = SpatialGraph([node, node], [GraphEdge(0, 1, 1.0, Vector3D(0, 0, 0), "")], [])
        assert graph.find_shortest_path(1, 0) == [1, 0]

    def test_long_chain(self):
        n = 20000
        graph = make_graph([(float(i), 0.0, 0.0) for i in range(n)], [(i, i + 1) for i in range(n - 1)])
        assert graph.find_shortest_path(n - 1, 0) == list(range(n - 1, -1, -1))


class TestArguments:
    def test_keywords_and_result_types(self):
        graph = make_graph(DIAMOND, [(0, 1), (1, 3)])
        route = graph.find_shortest_path(end=3, start=0)
        assert route == [0, 1, 3] and all(type(p) is int for p in route)

    def test_docstring(self):
        assert SpatialGraph.find_shortest_path.__text_signature__ == "($self, start, end)"
        assert SpatialGraph.find_shortest_path.__doc__ == (
            "Blazing-fast Dijkstra's shortest path solver executing natively on the compiled "
            "topological graph.")

    @pytest.mark.parametrize("start, end", [(0, 0), (4, 0), (0, 4), (2**64 - 1, 0)])
    def test_bounds(self, start, end):
        graph = make_graph(DIAMOND, [])
        if start < 4 and end < 4:
            assert graph.find_shortest_path(start, end) == [0]
        else:
            with pytest.raises(ValueError, match=r"^Start or End node index out of bounds\.$"):
                graph.find_shortest_path(start, end)

    def test_empty_graph_always_out_of_bounds(self):
        with pytest.raises(ValueError, match="Start or End node index out of bounds."):
            SpatialGraph([], [], []).find_shortest_path(0, 0)

    @pytest.mark.parametrize("start, end, error, name", [
        (-1, 0, OverflowError, "start"),
        (1.0, 0, TypeError, "start"),
        (0, 2**64, OverflowError, "end"),
        ("0", "x", TypeError, "start"),  # start is converted first
        (-1, 99, OverflowError, "start"),  # conversion before the bounds test
    ])
    def test_conversion_errors_name_the_parameter(self, start, end, error, name):
        graph = make_graph(DIAMOND, [(0, 1)])
        with pytest.raises(error) as info:
            graph.find_shortest_path(start, end)
        assert info.value.__notes__ == [f"while processing '{name}'"]

    @pytest.mark.parametrize("call", [
        lambda g: g.find_shortest_path(0),
        lambda g: g.find_shortest_path(0, 1, 2),
        lambda g: g.find_shortest_path(0, 1, start=0),
        lambda g: g.find_shortest_path(0, stop=1),
    ])
    def test_argument_matching(self, call):
        with pytest.raises(TypeError):
            call(make_graph(DIAMOND, []))


class TestEdgesOutsideTheNodeList:
    """Hand-made graphs may name nodes that are not in the list: the search
    refuses them with IndexError instead of reading past the node list or
    silently routing around them."""

    @pytest.mark.parametrize("pairs, message", [
        ([(0, 1), (1, 4)], "Edge 1 references out-of-bounds node 4."),
        ([(9, 1)], "Edge 0 references out-of-bounds node 9."),
        ([(0, 1), (2**64 - 1, 2**64 - 1)], f"Edge 1 references out-of-bounds node {2**64 - 1}."),
    ])
    def test_raises_index_error(self, pairs, message):
        graph = make_graph(DIAMOND, pairs)
        with pytest.raises(IndexError) as info:
            graph.find_shortest_path(0, 3)
        assert str(info.value) == message
        with pytest.raises(IndexError):
            graph.find_shortest_path(2, 2)  # whatever the query

    def test_bounds_of_start_and_end_are_checked_first(self):
        graph = make_graph(DIAMOND, [(0, 10)])
        with pytest.raises(ValueError):
            graph.find_shortest_path(0, 4)
