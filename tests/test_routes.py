"""kovalith.routes and the cached routing structure against independent
references: a plain transcription of the linear-scan search (exact routes,
ties included), networkx and scipy (lengths), and generated buildings whose
doors are known."""

import math
import pathlib
import random
import sys

import pytest

from kovalith import GraphEdge, GraphNode, SpatialGraph, Vector3D, routes

np = pytest.importorskip("numpy")
nx = pytest.importorskip("networkx")
csgraph = pytest.importorskip("scipy.sparse.csgraph")

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "bench"))
import building  # noqa: E402  (bench/building.py: generated buildings)

LARGEST_FINITE = sys.float_info.max


def length(p, q):
    dx, dy, dz = p[0] - q[0], p[1] - q[1], p[2] - q[2]
    return math.sqrt((dx * dx + dy * dy) + dz * dz)


def xyz(v):
    return (v.x, v.y, v.z)


def edge_costs(graph, cost):
    """Per edge: centroid distance, or room centre -> opening (or contact)
    centre -> next room centre."""
    centroids = [xyz(n.centroid) for n in graph.nodes]
    out = []
    for e in graph.edges:
        a, b = centroids[e.node_a], centroids[e.node_b]
        if cost == "centroid":
            out.append(length(a, b))
        else:
            point = e.get_attribute("opening_centroid")
            point = e.contact_centroid if point is None else point
            out.append(length(a, xyz(point)) + length(xyz(point), b))
    return out


def admitted_edges(graph, via):
    edges = graph.edges
    if via == "any":
        return [True] * len(edges)
    if via == "openings":
        return [bool(e.get_attribute("openings")) for e in edges]
    if via == "walkable":
        return [e.get_attribute("walkable") is True for e in edges]
    if callable(via):
        return [bool(via(e)) for e in edges]
    ids = {id(x) for x in via if isinstance(x, GraphEdge)}
    positions = {x for x in via if isinstance(x, int)}
    return [k in positions or id(e) in ids for k, e in enumerate(edges)]


def scan(graph, sources, target=None, via="any", cost="centroid", limit=math.inf):
    """Plain transcription of the quadratic linear-scan search over the
    admitted edges: the reference whose ties every route must reproduce.
    Returns distance (inf: unreached), predecessor, edge and source lists,
    the limit applied after the full search."""
    n = len(graph.nodes)
    costs, open_ = edge_costs(graph, cost), admitted_edges(graph, via)
    adjacency = [[] for _ in range(n)]
    for k, e in enumerate(graph.edges):
        if open_[k]:
            adjacency[e.node_a].append((e.node_b, costs[k], k))
            adjacency[e.node_b].append((e.node_a, costs[k], k))
    distance, predecessor, crossed = [LARGEST_FINITE] * n, [-1] * n, [-1] * n
    visited = [False] * n
    for s in sources:
        distance[s] = 0.0
    while True:
        chosen, best = None, LARGEST_FINITE
        for position in range(n):
            if not visited[position] and distance[position] < best:
                chosen, best = position, distance[position]
        if chosen is None or chosen == target:
            break
        visited[chosen] = True
        for v, c, k in adjacency[chosen]:
            if visited[v]:
                continue
            alt = c + distance[chosen]
            if distance[v] > alt:
                distance[v], predecessor[v], crossed[v] = alt, chosen, k
    source = []
    for v in range(n):
        if distance[v] > limit or distance[v] == LARGEST_FINITE:
            distance[v], predecessor[v], crossed[v] = math.inf, -1, -1
            source.append(-1)
            continue
        root = v
        while predecessor[root] >= 0:
            root = predecessor[root]
        source.append(root)
    return distance, predecessor, crossed, source


def scan_route(graph, start, end, via="any", cost="centroid"):
    distance, predecessor, crossed, _ = scan(graph, [start], end, via, cost)
    if math.isinf(distance[end]):
        return routes.Route([], [], math.inf)
    rooms, edges = [end], []
    while predecessor[rooms[-1]] >= 0:
        edges.append(crossed[rooms[-1]])
        rooms.append(predecessor[rooms[-1]])
    return routes.Route(rooms[::-1], edges[::-1], distance[end])


# -- random tie-dense graphs ---------------------------------------------------

def random_graph(rng, n_max=8):
    """Integer coordinates (equal costs everywhere), repeated centroids (zero
    costs), the odd non-finite coordinate, self-loops and parallel edges, and
    random door attributes."""
    n = rng.randint(1, n_max)
    def coordinate():
        roll = rng.random()
        return rng.choice([math.inf, math.nan, 1e308]) if roll < 0.03 else float(rng.randint(-2, 2))
    pool = [tuple(coordinate() for _ in range(3)) for _ in range(2)]
    nodes = [GraphNode(i, Vector3D(*(rng.choice(pool) if rng.random() < 0.3 else
                                     tuple(coordinate() for _ in range(3)))))
             for i in range(n)]
    pairs = []
    for _ in range(rng.randint(0, 3 * n)):
        a = rng.randrange(n)
        b = a if rng.random() < 0.1 else rng.randrange(n)
        if pairs and rng.random() < 0.15:
            a, b = rng.choice(pairs)
        pairs.append((a, b))
    edges = []
    for a, b in pairs:
        e = GraphEdge(a, b, 1.0, Vector3D(*(float(rng.randint(-2, 2)) for _ in range(3))), "")
        openings = rng.choice(["absent", None, [], [], [3], [1, 2], (4,)])
        if openings != "absent":
            e.set_attribute("openings", openings)
        point = rng.choice(["absent", None, "point", "point"])
        if point == "point":
            e.set_attribute("opening_centroid",
                            Vector3D(*(float(rng.randint(-2, 2)) for _ in range(3))))
        elif point is None:
            e.set_attribute("opening_centroid", None)
        walkable = rng.choice(["absent", True, True, False, None, 1, "yes"])
        if walkable != "absent":
            e.set_attribute("walkable", walkable)
        edges.append(e)
    return SpatialGraph(nodes, edges, [])


def via_choices(graph, rng):
    edges = graph.edges
    subset = [k for k in range(len(edges)) if rng.random() < 0.6]
    return ["any", "openings", "walkable", lambda e: e.node_a % 2 == 0,
            set(subset), [edges[k] for k in subset] + subset[:1]]


class TestAgainstLinearScan:
    def test_random_tie_dense_graphs(self):
        rng = random.Random(5)
        compared = 0
        for _ in range(250):
            graph = random_graph(rng)
            n = len(graph.nodes)
            # Routes first on some graphs, find_shortest_path first on others:
            # either builds the cached structure the other reuses.
            if rng.random() < 0.5:
                routes.route(graph, 0, n - 1)
            for via in via_choices(graph, rng):
                for cost in ("centroid", "walk"):
                    for start in range(n):
                        for end in range(n):
                            expected = scan_route(graph, start, end, via, cost)
                            got = routes.route(graph, start, end, via=via, cost=cost)
                            assert got == expected, (start, end, via, cost)
                            if via == "any" and cost == "centroid":
                                assert graph.find_shortest_path(start, end) == expected.rooms
                            compared += 1
                    sources = rng.sample(range(n), rng.randint(1, n))
                    limit = rng.choice([math.inf, 0.0, 1.0, 2.5, 4.0])
                    one = routes.distances(graph, sources[0], via=via, cost=cost, limit=limit)
                    many = routes.nearest(graph, sources + sources[:1], via=via, cost=cost,
                                          limit=limit)
                    for reach, chosen in [(one, sources[:1]), (many, sources)]:
                        distance, predecessor, crossed, source = scan(
                            graph, chosen, None, via, cost, limit)
                        assert reach.distance.tolist() == distance
                        assert reach.predecessor.tolist() == predecessor
                        assert reach.edge.tolist() == crossed
                        assert reach.source.tolist() == source
                    end = rng.randrange(n)
                    if limit == math.inf:
                        assert one.route(end) == scan_route(graph, sources[0], end, via, cost)
        assert compared > 20000

    def test_attributes_are_read_at_every_call(self):
        nodes = [GraphNode(i, Vector3D(4.0 * i, 0, 0)) for i in range(3)]
        edges = [GraphEdge(0, 1, 1.0, Vector3D(2, 0, 0), ""), GraphEdge(1, 2, 1.0, Vector3D(6, 0, 0), "")]
        graph = SpatialGraph(nodes, edges, [])
        assert routes.route(graph, 0, 2, via="openings") == ([], [], math.inf)
        edges[0].set_attribute("openings", [0])
        edges[1].set_attribute("openings", [1])
        assert routes.route(graph, 0, 2, via="openings", cost="walk") == ([0, 1, 2], [0, 1], 8.0)
        door = Vector3D(2, 1.5, 0)
        edges[0].set_attribute("opening_centroid", door)
        assert routes.route(graph, 0, 2, cost="walk").length == 9.0
        door.y = 0.0  # the stored object itself changed
        assert routes.route(graph, 0, 2, cost="walk").length == 8.0
        edges[1].set_attribute("openings", [])
        assert routes.route(graph, 0, 2, via="openings").rooms == []
        assert graph.find_shortest_path(0, 2) == [0, 1, 2]


# -- networkx and scipy ------------------------------------------------------------

def random_float_graph(rng, n, degree):
    centroids = [(rng.uniform(0, 50), rng.uniform(0, 50), rng.choice([0.0, 3.0, 6.0]))
                 for _ in range(n)]
    nodes = [GraphNode(i, Vector3D(*c)) for i, c in enumerate(centroids)]
    pairs = [(rng.randrange(n), rng.randrange(n)) for _ in range(degree * n)]
    edges = []
    for a, b in pairs:
        e = GraphEdge(a, b, 1.0, Vector3D(rng.uniform(0, 50), rng.uniform(0, 50), 1.0), "")
        if rng.random() < 0.5:
            e.set_attribute("openings", [len(edges)])
            if rng.random() < 0.5:
                e.set_attribute("opening_centroid", Vector3D(rng.uniform(0, 50), rng.uniform(0, 50), 1.0))
        edges.append(e)
    return SpatialGraph(nodes, edges, [])


def networkx_graph(graph, via, cost):
    g = nx.Graph()
    g.add_nodes_from(range(len(graph.nodes)))
    for e, c, ok in zip(graph.edges, edge_costs(graph, cost), admitted_edges(graph, via)):
        if ok and e.node_a != e.node_b:
            a, b = e.node_a, e.node_b
            if not g.has_edge(a, b) or g[a][b]["weight"] > c:
                g.add_edge(a, b, weight=c)
    return g


@pytest.mark.parametrize("seed, via, cost", [(1, "any", "centroid"), (2, "openings", "walk"),
                                             (3, "openings", "centroid"), (4, "any", "walk")])
def test_against_networkx_and_scipy(seed, via, cost):
    rng = random.Random(seed)
    graph = random_float_graph(rng, 600, 2)
    g = networkx_graph(graph, via, cost)
    matrix = nx.to_scipy_sparse_array(g, nodelist=range(len(graph.nodes)), format="csr")
    for start in rng.sample(range(600), 4):
        reach = routes.distances(graph, start, via=via, cost=cost)
        lengths = nx.single_source_dijkstra_path_length(g, start)
        expected = np.full(600, np.inf)
        expected[list(lengths)] = list(lengths.values())
        np.testing.assert_allclose(reach.distance, expected, rtol=1e-12)
        for end in rng.sample(range(600), 20):
            r = routes.route(graph, start, end, via=via, cost=cost)
            assert math.isclose(r.length, expected[end], rel_tol=1e-12) or r.length == expected[end]
            assert r == reach.route(end)
            if r.rooms:  # a walk over admitted edges that costs what it says
                total, costs, admitted = 0.0, edge_costs(graph, cost), admitted_edges(graph, via)
                for u, v, k in zip(r.rooms, r.rooms[1:], r.edges):
                    assert admitted[k] and {graph.edges[k].node_a, graph.edges[k].node_b} == {u, v}
                    total = costs[k] + total
                assert total == r.length
    exits = rng.sample(range(600), 7)
    for limit in [None, 0.0, 25.0]:
        near = routes.nearest(graph, exits, via=via, cost=cost, limit=limit)
        d, _, source = csgraph.dijkstra(matrix, directed=False, indices=exits, min_only=True,
                                        return_predecessors=True,
                                        limit=np.inf if limit is None else limit)
        np.testing.assert_allclose(near.distance, d, rtol=1e-12)
        assert np.array_equal(near.source >= 0, source >= 0)
        # Each room's source is one of the nearest: its own route is as long.
        for v in np.flatnonzero(near.source >= 0)[:40]:
            alone = routes.distances(graph, int(near.source[v]), via=via, cost=cost)
            assert math.isclose(alone.distance[v], near.distance[v], rel_tol=1e-12, abs_tol=1e-12)


# -- doors of a generated building ---------------------------------------------------

def door_building(rng, side=5, floors=3, closed=0.3):
    """The grid building with a door in every shared wall, as compiled, with
    door attributes as the building compiler writes them: each wall contact
    names its door quad and its centre, a share of doors are then closed (no
    openings), slabs have none except one stair opening per floor."""
    b = building.grid_building(side, floors)
    graph = b.registry().build_spatial_graph(1e-3)
    doors = {}
    for k, (vertices, _) in enumerate(b.apertures):
        cx = sum(v[0] for v in vertices) / 4
        cy = sum(v[1] for v in vertices) / 4
        z0 = min(v[2] for v in vertices)
        doors[(round(cx, 6), round(cy, 6), round(z0, 6))] = (k, Vector3D(cx, cy, z0 + 1.0))
    nodes = graph.nodes
    stairs = {}
    for e in graph.edges:
        a, b_ = nodes[e.node_a].centroid, nodes[e.node_b].centroid
        if e.contact_type == "VerticalWallContact":
            k, centre = doors[(round((a.x + b_.x) / 2, 6), round((a.y + b_.y) / 2, 6),
                               round(min(a.z, b_.z) - 1.5, 6))]
            if rng.random() < closed:
                e.set_attribute("openings", [])
            else:
                e.set_attribute("openings", [k])
                e.set_attribute("opening_centroid", centre)
        elif stairs.setdefault(round(min(a.z, b_.z), 6), e) is e:
            e.set_attribute("openings", [len(b.apertures) + len(stairs)])
            e.set_attribute("opening_centroid", e.contact_centroid)
        else:
            e.set_attribute("openings", [])
    return graph


def test_door_only_routes_in_a_generated_building():
    rng = random.Random(11)
    graph = door_building(rng)
    edges, n = graph.edges, len(graph.nodes)
    doorless = {k for k, e in enumerate(edges) if not e.get_attribute("openings")}
    assert 0 < len(doorless) < len(edges)
    g = networkx_graph(graph, "openings", "walk")
    any_route_used_a_wall = False
    for start in range(0, n, 7):
        lengths = nx.single_source_dijkstra_path_length(g, start)
        for end in range(n):
            r = routes.route(graph, start, end, via="openings", cost="walk")
            assert not doorless & set(r.edges)
            if end in lengths:
                assert math.isclose(r.length, lengths[end], rel_tol=1e-12, abs_tol=1e-12)
                assert r.rooms[0] == start and r.rooms[-1] == end
            else:
                assert r == ([], [], math.inf)
            walls = routes.route(graph, start, end)  # walls and slabs allowed
            assert walls.rooms == graph.find_shortest_path(start, end)
            any_route_used_a_wall |= bool(doorless & set(walls.edges))
    assert any_route_used_a_wall
    exits = [0, n - 1]
    near = routes.nearest(graph, exits, via="openings", cost="walk")
    for v in range(n):
        if near.source[v] >= 0:
            assert not doorless & set(near.route(v).edges)
            assert near.route(v).rooms[0] == near.source[v]


# -- bad input ------------------------------------------------------------------

def small_graph():
    nodes = [GraphNode(i, Vector3D(float(i), 0, 0)) for i in range(3)]
    edges = [GraphEdge(0, 1, 1.0, Vector3D(0, 0, 0), ""), GraphEdge(1, 2, 1.0, Vector3D(0, 0, 0), "")]
    return SpatialGraph(nodes, edges, [])


class Boom(Exception):
    pass


def explode(edge):
    raise Boom(edge.node_a)


FOREIGN = GraphEdge(0, 1, 1.0, Vector3D(0, 0, 0), "")


@pytest.mark.parametrize("call, error, message", [
    (lambda g: routes.route(g, 0, 3), ValueError, r"end: room 3 is not in the graph \(3 rooms\)"),
    (lambda g: routes.route(g, -1, 0), ValueError, "start: room -1 is not in the graph"),
    (lambda g: routes.route(g, 0.0, 1), TypeError, "start: expected a room position"),
    (lambda g: routes.route(g, True, 1), TypeError, "start: expected a room position"),
    (lambda g: routes.route([], 0, 1), TypeError, "graph: expected SpatialGraph"),
    (lambda g: routes.route(g, 0, 1, via="doors"), ValueError, "via: expected 'any', 'openings'"),
    (lambda g: routes.route(g, 0, 1, via=3), TypeError, "via: expected"),
    (lambda g: routes.route(g, 0, 1, via=b"any"), TypeError, "bytes are not a collection of edges"),
    (lambda g: routes.distances(g, 0, via=bytearray(b"\x01")), TypeError, "got 'bytearray'"),
    (lambda g: routes.nearest(g, [0], via=memoryview(b"\x00\x01")), TypeError, "got 'memoryview'"),
    (lambda g: routes.route(g, 0, 1, via={5}), ValueError, r"via: edge 5 is not in the graph \(2 edges\)"),
    (lambda g: routes.route(g, 0, 1, via=["0"]), TypeError, "via: expected GraphEdge objects"),
    (lambda g: routes.route(g, 0, 1, via=[FOREIGN]), ValueError, "via: an edge object is not in the graph"),
    (lambda g: routes.route(g, 0, 1, via=explode), Boom, "^0$"),
    (lambda g: routes.route(g, 0, 1, cost="euclid"), ValueError, "cost: expected 'centroid' or 'walk'"),
    (lambda g: routes.distances(g, 3), ValueError, "start: room 3 is not in the graph"),
    (lambda g: routes.distances(g, 0, limit=-1.0), ValueError, "limit: expected a non-negative length"),
    (lambda g: routes.distances(g, 0, limit=math.nan), ValueError, "limit: expected a non-negative"),
    (lambda g: routes.distances(g, 0, limit="5"), TypeError, "limit: expected a number"),
    (lambda g: routes.nearest(g, []), ValueError, "sources: at least one room"),
    (lambda g: routes.nearest(g, [0, 7]), ValueError, "sources: room 7 is not in the graph"),
    (lambda g: routes.nearest(g, 0), TypeError, "sources: expected an iterable"),
    (lambda g: routes.distances(g, 0).route(9), ValueError, "room: room 9 is not in the graph"),
])
def test_bad_input_raises_clearly(call, error, message):
    with pytest.raises(error, match=message):
        call(small_graph())


@pytest.mark.parametrize("key, value, message", [
    ("openings", 5, r"edge 1: 'openings' must be a list of aperture positions or None, got 'int'"),
    ("opening_centroid", "door", r"edge 1: 'opening_centroid' must be a Vector3D, \[x, y, z\] or None, got 'str'"),
    ("opening_centroid", [1.0, 2.0], r"edge 1: 'opening_centroid' must be a Vector3D, \[x, y, z\] or None, got 'list'"),
    ("opening_centroid", (1.0, "2", 3.0), r"edge 1: 'opening_centroid' must be a Vector3D, \[x, y, z\] or None, got 'tuple'"),
])
def test_malformed_door_attributes(key, value, message):
    graph = small_graph()
    graph.edges[0].set_attribute("openings", [1])
    graph.edges[1].set_attribute(key, value)
    with pytest.raises(TypeError, match=message):
        routes.route(graph, 0, 2, via="openings", cost="walk")


def test_edges_outside_the_node_list_keep_their_error():
    nodes = [GraphNode(i, Vector3D(float(i), 0, 0)) for i in range(2)]
    graph = SpatialGraph(nodes, [GraphEdge(0, 1, 1.0, Vector3D(0, 0, 0), ""),
                                 GraphEdge(1, 5, 1.0, Vector3D(0, 0, 0), "")], [])
    for call in [lambda: routes.route(graph, 0, 1), lambda: graph.find_shortest_path(0, 1),
                 lambda: routes.nearest(graph, [0, 1]), lambda: graph.find_shortest_path(1, 1)]:
        with pytest.raises(IndexError, match=r"^Edge 1 references out-of-bounds node 5\.$"):
            call()
    with pytest.raises(ValueError, match="Start or End node index out of bounds."):
        graph.find_shortest_path(0, 2)  # bounds still come first


def test_predicate_sees_every_edge_in_order():
    graph = small_graph()
    seen = []
    r = routes.route(graph, 0, 2, via=lambda e: seen.append(e) or True)
    assert r.rooms == [0, 1, 2] and [e is f for e, f in zip(seen, graph.edges)] == [True, True]
