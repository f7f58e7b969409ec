"""A SpatialGraph on a FalkorDB server: the exported statements run verbatim,
and kovalith.db.load; both read back against the in-memory graph."""

import math

import pytest

import db_roundtrip as rt
from falkordb_server import falkordb_graph, falkordb_server  # noqa: F401  (fixtures)
from kovalith import GraphEdge, GraphNode, SpatialGraph, Vector3D, db

redis = pytest.importorskip("redis", reason="the falkordb client (and its redis dependency) is not installed")


def contents(graph):
    rooms = {}
    for [props] in graph.query("MATCH (r:Room) RETURN properties(r)").result_set:
        rooms[props["index"]] = dict(props)
    contacts = [(a, b, dict(p)) for a, b, p in graph.query(
        "MATCH (a:Room)-[w:SHARES_WALL]->(b:Room) RETURN a.index, b.index, properties(w)").result_set]
    return rooms, contacts


# FalkorDB replies with doubles rounded to 15 significant digits; the exact
# values are compared inside the server by `mismatches`.
REPLY_REL_TOL = 1e-14


def mismatches(graph, source):
    """Rooms and contacts whose stored properties differ from `source`'s
    expected ones, compared exactly by the server (map equality)."""
    rooms = [dict(props) for props in rt.expected_rooms(source).values()]
    [[bad_rooms]] = graph.query(
        "UNWIND $rows AS e MATCH (r:Room {index: e.index}) WITH e, properties(r) = e AS same "
        "WHERE NOT same RETURN collect(e.index)", {"rows": rooms}).result_set
    contacts = [{"a": a, "b": b, "p": p} for a, b, p in rt.expected_contacts(source)]
    [[bad_contacts]] = graph.query(
        "UNWIND $rows AS e MATCH (a:Room {index: e.a})-[w:SHARES_WALL]->(b:Room {index: e.b}) "
        "WITH e, collect(properties(w)) AS stored WHERE NOT any(p IN stored WHERE p = e.p) "
        "RETURN collect([e.a, e.b])", {"rows": contacts}).result_set
    return bad_rooms, bad_contacts


def count_rooms(graph):
    return graph.query("MATCH (r:Room) RETURN count(r)").result_set[0][0]


def hop_counts(graph, route):
    counts = []
    for u, v in zip(route, route[1:]):
        [[n]] = graph.query("MATCH (a:Room {index: $u})-[:SHARES_WALL]-(b:Room {index: $v}) "
                            "RETURN count(*)", {"u": u, "v": v}).result_set
        counts.append(n)
    return counts


def statement_graph():
    """Attributes of the four kinds that the export writes as Cypher literals;
    centroids non-integral so that each reads back as a float."""
    nodes = [GraphNode(k, Vector3D(k + 0.5, -k - 0.25, 1 / 3)) for k in range(4)]
    values = {"name": "Jo's \"den\" \\ ü", "level": -3, "height": 2.75, "occupied": True,
              "vacant": False, "fire rating": "EI60", "big": 2**62}
    for k, (key, value) in enumerate(values.items()):
        nodes[k % 4].set_attribute(key, value)
    edges = [GraphEdge(0, 1, 12.5, Vector3D(3.5, 1.5, 1.25), "VerticalWallContact"),
             GraphEdge(1, 2, 0.1, Vector3D(0.5, 0.5, 0.5), "It's"),
             GraphEdge(2, 3, 7.25, Vector3D(-0.5, 2.5, 3.5), "HorizontalSlabContact")]
    edges[0].set_attribute("door", "double")
    edges[0].set_attribute("width", 1.2)
    edges[2].set_attribute("count", 2)
    return SpatialGraph(nodes, edges, [])


def test_exported_statements_run_verbatim(falkordb_graph):
    graph = statement_graph()
    for statement in graph.to_cypher_queries():
        falkordb_graph.query(statement)
    rooms, contacts = contents(falkordb_graph)
    rt.assert_same_records(rooms, rt.expected_rooms(graph), REPLY_REL_TOL)
    rt.assert_same_contacts(contacts, rt.expected_contacts(graph), REPLY_REL_TOL)
    assert mismatches(falkordb_graph, graph) == ([], [])
    assert hop_counts(falkordb_graph, graph.find_shortest_path(0, 3)) == [1, 1, 1]


# What the export writes for values with no Cypher literal, and how FalkorDB
# takes the statement: it refuses it, and creates nothing.
@pytest.mark.parametrize("centroid, attribute", [
    (Vector3D(0, 0, 0), None),
    (Vector3D(0, 0, 0), math.nan),
    (Vector3D(0, 0, 0), math.inf),
    (Vector3D(math.nan, 0, 0), "ok"),
    (Vector3D(0, -math.inf, 0), "ok"),
], ids=["None", "nan-attribute", "inf-attribute", "nan-centroid", "inf-centroid"])
def test_statements_without_cypher_literal_fail(falkordb_graph, centroid, attribute):
    node = GraphNode(0, centroid)
    node.set_attribute("value", attribute)
    [statement] = SpatialGraph([node], [], []).to_cypher_queries()
    with pytest.raises(redis.exceptions.ResponseError, match="not defined"):
        falkordb_graph.query(statement)
    assert count_rooms(falkordb_graph) == 0


@pytest.mark.parametrize("make_graph, batch_size", [
    (rt.attributed_building, 7),
    (rt.hand_graph, 2),
    (lambda: rt.building.random_building(5).registry().build_spatial_graph(1e-3), 5000),
], ids=["attributed-building", "hand-made", "random-building"])
def test_load_round_trip(falkordb_graph, make_graph, batch_size):
    graph = make_graph()
    loaded = db.load(graph, falkordb_graph, batch_size=batch_size)
    assert loaded == (len(graph.nodes), len(graph.edges))
    rooms, contacts = contents(falkordb_graph)
    rt.assert_same_records(rooms, rt.expected_rooms(graph), REPLY_REL_TOL)
    rt.assert_same_contacts(contacts, rt.expected_contacts(graph), REPLY_REL_TOL)
    assert mismatches(falkordb_graph, graph) == ([], [])
    for route in rt.routes(graph) if len(graph.edges) > 5 else []:
        assert all(n >= 1 for n in hop_counts(falkordb_graph, route)), route
    with pytest.raises(ValueError, match="already holds"):
        db.load(graph, falkordb_graph)
    assert count_rooms(falkordb_graph) == len(graph.nodes)


def _with(attribute_value=None, key="value", on_edge=False, nodes=None, edges=None):
    nodes = nodes or [GraphNode(0, Vector3D(0, 0, 0)), GraphNode(1, Vector3D(1, 0, 0))]
    edges = edges if edges is not None else [GraphEdge(0, 1, 1.0, Vector3D(0.5, 0, 0), "Wall")]
    (edges[0] if on_edge else nodes[1]).set_attribute(key, attribute_value)
    return SpatialGraph(nodes, edges, [])


# Each graph is refused before anything is sent; the message names the culprit.
@pytest.mark.parametrize("graph, kwargs, error, message", [
    (_with({"a": 1}), {}, TypeError, r"room 1 \(index 1\), key 'value': .*dict"),
    (_with([[1]], on_edge=True), {}, TypeError, r"contact 0 \(0-1\), key 'value'"),
    (_with([1, None]), {}, TypeError, "key 'value'"),
    (_with(["a", 1]), {}, TypeError, "one type"),
    (_with(b"x"), {}, TypeError, "bytes"),
    (_with(2**63), {}, ValueError, "64-bit"),
    (_with(math.nan), {"non_finite": "raise"}, ValueError, "not finite"),
    (_with(Vector3D(0, math.inf, 0), on_edge=True), {"non_finite": "raise"}, ValueError, "not finite"),
    (_with(1, key="index"), {}, ValueError, "fixed properties"),
    (_with(1, key="a`b"), {}, ValueError, "backtick"),
    (_with(1, nodes=[GraphNode(0, Vector3D(0, 0, 0)), GraphNode(0, Vector3D(1, 0, 0))]), {},
     ValueError, "index 0 is used"),
    (_with(1, edges=[GraphEdge(0, 7, 1.0, Vector3D(0, 0, 0), "Wall")]), {}, ValueError,
     "no room has index 7"),
    (_with(1), {"batch_size": 0}, ValueError, "batch_size"),
    (_with(1), {"non_finite": "drop"}, ValueError, "non_finite"),
], ids=["dict", "nested-list", "None-in-list", "mixed-list", "bytes", "int-range", "nan",
        "vector-inf", "fixed-key", "backtick-key", "duplicate-index", "dangling-edge",
        "batch-size", "policy-name"])
def test_refused_graph_leaves_database_empty(falkordb_graph, graph, kwargs, error, message):
    with pytest.raises(error, match=message):
        db.load(graph, falkordb_graph, **kwargs)
    assert count_rooms(falkordb_graph) == 0
