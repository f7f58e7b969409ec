"""A SpatialGraph on a FalkorDB server: the exported statements run verbatim,
and kovalith.db.load; both read back against the in-memory graph."""

import itertools
import math
import os
import signal
import threading
import time

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


def walkways(graph):
    return [(a, b, dict(p)) for a, b, p in graph.query(
        "MATCH (a:Room)-[w:CONNECTS_TO]->(b:Room) RETURN a.index, b.index, properties(w)").result_set]


# FalkorDB replies with doubles rounded to 15 significant digits; the exact
# values are compared inside the server by `mismatches`.
REPLY_REL_TOL = 1e-14


def mismatches(graph, source, expected_rooms=rt.expected_rooms,
               expected_contacts=rt.expected_contacts):
    """Rooms and contacts whose stored properties differ from `source`'s
    expected ones, compared exactly by the server (map equality)."""
    rooms = [dict(props) for props in expected_rooms(source).values()]
    [[bad_rooms]] = graph.query(
        "UNWIND $rows AS e MATCH (r:Room {index: e.index}) WITH e, properties(r) = e AS same "
        "WHERE NOT same RETURN collect(e.index)", {"rows": rooms}).result_set
    contacts = [{"a": a, "b": b, "p": p} for a, b, p in expected_contacts(source)]
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
    rt.assert_same_records(rooms, rt.statement_rooms(graph), REPLY_REL_TOL)
    rt.assert_same_contacts(contacts, rt.statement_contacts(graph), REPLY_REL_TOL)
    assert mismatches(falkordb_graph, graph, rt.statement_rooms, rt.statement_contacts) == ([], [])
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
    (rt.compiled_building, 10),
], ids=["attributed-building", "hand-made", "random-building", "compiled-building"])
def test_load_round_trip(falkordb_graph, make_graph, batch_size):
    graph = make_graph()
    loaded = db.load(graph, falkordb_graph, batch_size=batch_size)
    assert loaded == (len(graph.nodes), len(graph.edges), len(rt.expected_walkways(graph)))
    rooms, contacts = contents(falkordb_graph)
    rt.assert_same_records(rooms, rt.expected_rooms(graph), REPLY_REL_TOL)
    rt.assert_same_contacts(contacts, rt.expected_contacts(graph), REPLY_REL_TOL)
    rt.assert_same_contacts(walkways(falkordb_graph), rt.expected_walkways(graph), rt.LENGTH_REL_TOL)
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
# Those in FALKORDB_ONLY are limits of FalkorDB alone (Neo4j stores those values).
REFUSED = [
    (_with({"a": 1}), {}, TypeError, r"node 1 \(index 1\), key 'value': .*dict"),
    (_with([[1]], on_edge=True), {}, TypeError, r"edge 0 \(0-1\), key 'value'"),
    (_with([1, None]), {}, TypeError, "key 'value'"),
    (_with(["a", 1]), {}, TypeError, "one type"),
    (_with(b"x"), {}, TypeError, "bytes"),
    (_with(2**63), {}, ValueError, "64-bit"),
    (_with(math.nan), {"non_finite": "raise"}, ValueError, "not finite"),
    (_with(Vector3D(0, math.inf, 0), on_edge=True), {"non_finite": "raise"}, ValueError, "not finite"),
    (_with(1, key="index"), {}, ValueError, "taken by the schema"),
    (_with(1, key="target", on_edge=True), {}, ValueError, "taken by the schema"),
    (_with(1, key="a`b"), {}, ValueError, "backtick"),
    (_with(1, key=""), {}, ValueError, "needs a name"),
    (_with("a\0b"), {}, ValueError, r"node 1, key 'value': FalkorDB cannot store U\+0000"),
    (_with(["ok", "\0"], on_edge=True), {}, ValueError, "U\\+0000"),
    (_with("\ud800"), {}, ValueError, "U\\+D800.*lone surrogate"),
    (_with(1, nodes=[GraphNode(0, Vector3D(0, 0, 0)), GraphNode(0, Vector3D(1, 0, 0))]), {},
     ValueError, "index 0 is used"),
    (_with(1, edges=[GraphEdge(0, 7, 1.0, Vector3D(0, 0, 0), "Wall")]), {}, ValueError,
     "no room has index 7"),
    (_with(1), {"batch_size": 0}, ValueError, "batch_size"),
    (_with(1), {"non_finite": "drop"}, ValueError, "non_finite"),
]
REFUSED_IDS = ["dict", "nested-list", "None-in-list", "mixed-list", "bytes", "int-range", "nan",
               "vector-inf", "schema-key", "format-key", "backtick-key", "empty-key", "nul", "nul-in-list",
               "surrogate", "duplicate-index", "dangling-edge", "batch-size", "policy-name"]
FALKORDB_ONLY = {"backtick-key", "nul", "nul-in-list"}


@pytest.mark.parametrize("graph, kwargs, error, message", REFUSED, ids=REFUSED_IDS)
def test_refused_graph_leaves_database_empty(falkordb_graph, graph, kwargs, error, message):
    with pytest.raises(error, match=message):
        db.load(graph, falkordb_graph, **kwargs)
    assert count_rooms(falkordb_graph) == 0


def graph_keys(server, name):
    """The Redis keys a load into `name` may have touched: the graph, its
    lock and its load graphs."""
    client = server.client().connection
    return sorted(k.decode() if isinstance(k, bytes) else k for k in client.keys(name + "*"))


def faulty(graph, fail_at, error, when):
    """The same graph through a client whose `fail_at`-th query (counted
    across the graphs of one load) raises `error` before it is sent or after
    its reply came: what a server error, a dropped connection or Ctrl-C at
    that point does to the load."""
    import falkordb

    calls = itertools.count()

    class Faulty(falkordb.Graph):
        def query(self, *args, **kwargs):
            k = next(calls)
            if k == fail_at and when == "before":
                raise error
            result = super().query(*args, **kwargs)
            if k == fail_at:
                raise error
            return result

    return Faulty(graph.client, graph.name), calls


def snapshot(graph):
    try:
        return sorted(map(repr, graph.query("MATCH (n) OPTIONAL MATCH (n)-[w]->(m) "
                                            "RETURN labels(n), properties(n), type(w), "
                                            "properties(w), properties(m)").result_set))
    except redis.exceptions.ResponseError:  # no such graph
        return None


@pytest.mark.parametrize("before", ["absent", "loaded"])
def test_failure_at_every_query_leaves_the_graph_as_it_was(falkordb_server, falkordb_graph, before):
    """A load cut at each of its queries, by a server error or by Ctrl-C,
    before or after the query ran: the target keeps what it held, nothing
    of the load or its lock remains, and the next load succeeds."""
    graph, name = rt.attributed_building(), falkordb_graph.name
    if before == "loaded":
        db.load(rt.hand_graph(), falkordb_graph)
    expected = snapshot(falkordb_graph)
    keys = graph_keys(falkordb_server, name)
    counted = falkordb_server.new_graph()
    probe, calls = faulty(counted, -1, None, "before")
    db.load(graph, probe, batch_size=7)
    counted.delete()
    queries = next(calls)
    assert queries > 10  # index, room batches, contact batches, walkway batches
    errors = [KeyboardInterrupt(), redis.exceptions.ResponseError("injected server error"),
              redis.exceptions.ConnectionError("injected disconnect")]
    # The errors take turns: each leaves by the same path, so every cut with
    # each of them would only repeat the run.
    cuts = zip(itertools.product(range(queries), ("before", "after")), itertools.cycle(errors))
    for (fail_at, when), error in cuts:
        target, _ = faulty(falkordb_graph, fail_at, error, when)
        with pytest.raises(type(error)):
            db.load(graph, target, batch_size=7, replace=True)
        assert snapshot(falkordb_graph) == expected, (fail_at, error, when)
        assert graph_keys(falkordb_server, name) == keys, (fail_at, error, when)
    assert db.load(graph, falkordb_graph, batch_size=7, replace=True)[:2] == (18, len(graph.edges))
    assert mismatches(falkordb_graph, graph) == ([], [])


def test_replace_swaps_the_whole_graph(falkordb_graph):
    db.load(rt.attributed_building(), falkordb_graph)
    falkordb_graph.query("CREATE (:Note {text: 'kept until replaced'})")
    with pytest.raises(ValueError, match=r"already holds 18 Room nodes; .*replace=True"):
        db.load(rt.hand_graph(), falkordb_graph)
    graph = rt.hand_graph()
    assert db.load(graph, falkordb_graph, replace=True) == (5, 4, 0)
    rooms, contacts = contents(falkordb_graph)
    rt.assert_same_records(rooms, rt.expected_rooms(graph), REPLY_REL_TOL)
    assert falkordb_graph.query("MATCH (n) WHERE NOT n:Room RETURN count(n)").result_set == [[0]]


def test_refuses_a_graph_with_other_nodes_and_a_key_of_another_type(falkordb_server, falkordb_graph):
    falkordb_graph.query("CREATE (:Note)")
    with pytest.raises(ValueError, match="already holds 1 nodes"):
        db.load(rt.hand_graph(), falkordb_graph)
    client = falkordb_server.client()
    client.connection.set("plain_string_key", "x")
    with pytest.raises(ValueError, match="holds a Redis string, not a graph"):
        db.load(rt.hand_graph(), client.select_graph("plain_string_key"), replace=True)
    assert client.connection.get("plain_string_key") in (b"x", "x")


def paused(graph, pause_at):
    """The graph through a client that stops before its `pause_at`-th query
    until `go` is set; `reached` is set when it stops."""
    import falkordb

    calls, reached, go = itertools.count(), threading.Event(), threading.Event()

    class Paused(falkordb.Graph):
        def query(self, *args, **kwargs):
            if next(calls) == pause_at:
                reached.set()
                assert go.wait(30)
            return super().query(*args, **kwargs)

    return Paused(graph.client, graph.name), reached, go


@pytest.mark.parametrize("meanwhile", ["second-load", "other-writer"])
def test_concurrent_writers(falkordb_graph, meanwhile):
    """Two loads into one empty graph: the second is refused at once and the
    first completes, with every room once. A writer that takes no lock and
    fills the graph during a load: the load is refused at its swap and the
    writer's node stays."""
    graph = rt.attributed_building()
    first, reached, go = paused(falkordb_graph, 3)
    outcome = {}

    def run():
        try:
            outcome["first"] = db.load(graph, first, batch_size=7)
        except Exception as exc:  # reported below
            outcome["first"] = exc

    thread = threading.Thread(target=run)
    thread.start()
    try:
        assert reached.wait(30)
        if meanwhile == "second-load":
            with pytest.raises(ValueError, match="another load into the graph .* is running"):
                db.load(graph, falkordb_graph)
        else:
            falkordb_graph.query("CREATE (:Note {by: 'another client'})")
    finally:
        go.set()
        thread.join(60)
    if meanwhile == "second-load":
        assert outcome["first"][:2] == (len(graph.nodes), len(graph.edges))
        assert count_rooms(falkordb_graph) == len(graph.nodes)
        assert mismatches(falkordb_graph, graph) == ([], [])
    else:
        assert isinstance(outcome["first"], ValueError) and "already holds 1 nodes" in str(outcome["first"])
        assert falkordb_graph.query("MATCH (n) RETURN labels(n), n.by").result_set == [
            [["Note"], "another client"]]


def test_str_subclass_cannot_inject_cypher(falkordb_graph):
    """A value whose replace() and str() return itself unchanged would leave
    its quote unescaped: the loader quotes an exact str copy, so the payload
    is stored as text and creates no Canary node."""
    class Sneaky(str):
        def replace(self, *args):
            return self

        def __str__(self):
            return self

    payload = 'x"]] CREATE (:Canary) //'
    graph = _with(Sneaky(payload))
    graph.nodes[0].set_attribute("tags", [Sneaky(payload)])
    assert db.load(graph, falkordb_graph) == (2, 1, 0)
    assert falkordb_graph.query("MATCH (c:Canary) RETURN count(c)").result_set == [[0]]
    assert falkordb_graph.query("MATCH (r:Room) RETURN r.value, r.tags ORDER BY r.index").result_set == [
        [None, [payload]], [payload, None]]


def test_interrupt_during_the_commit_waits_for_it():
    """Ctrl-C while the swap runs is held back and raised once it is done."""
    done = []
    with pytest.raises(KeyboardInterrupt):
        with db._interrupts_deferred():
            os.kill(os.getpid(), signal.SIGINT)
            time.sleep(0.05)  # the handler runs between bytecodes: give it some
            done.append(True)
    assert done == [True]


@pytest.mark.parametrize("make_graph", [rt.attributed_building, rt.hand_graph, rt.compiled_building],
                         ids=["attributed-building", "hand-made", "compiled-building"])
def test_load_stores_what_the_cypher_file_stores(falkordb_server, falkordb_graph, make_graph, tmp_path):
    """One schema, one graph: db.load and the Cypher file (after
    db.kuzu_tables on Kùzu) leave the same rooms, contacts and walkways,
    property for property, on FalkorDB and on Kùzu."""
    from kovalith import cypher

    graph = make_graph()
    cypher.write_cypher(graph, tmp_path / "g.cypher")
    statements = cypher.read_statements(tmp_path / "g.cypher")
    db.load(graph, falkordb_graph)
    from_file = falkordb_server.new_graph()
    try:
        for statement in statements:
            from_file.query(statement)
        loaded_rooms, loaded_contacts = contents(falkordb_graph)
        file_rooms, file_contacts = contents(from_file)
        assert loaded_rooms == file_rooms
        assert rt.sort_contacts(loaded_contacts) == rt.sort_contacts(file_contacts)
        assert rt.sort_contacts(walkways(falkordb_graph)) == rt.sort_contacts(walkways(from_file))
    finally:
        from_file.delete()
    kuzu = pytest.importorskip("kuzu", reason="the kuzu package is not installed")
    loaded, from_file = (kuzu.Connection(kuzu.Database(":memory:")) for _ in range(2))
    db.load(graph, loaded)
    for statement in db.kuzu_tables(graph) + statements:
        from_file.execute(statement)
    assert rt.kuzu_contents(loaded)[0] == rt.kuzu_contents(from_file)[0]
    for read in (lambda c: rt.kuzu_contents(c)[1], rt.kuzu_walkways):
        assert rt.sort_contacts(read(loaded)) == rt.sort_contacts(read(from_file))


def test_server_refusing_writes_midway_leaves_the_graph_as_it_was(falkordb_server, falkordb_graph):
    """A real server error partway through: before the load's fourth query
    the server's memory limit drops below what it holds, so the server
    refuses that write and every later one (as a full server does). The
    target keeps its old graph, and nothing of the load or its lock remains."""
    import falkordb

    db.load(rt.hand_graph(), falkordb_graph)
    expected = snapshot(falkordb_graph)
    client = falkordb_server.client().connection
    policy = client.config_get("maxmemory-policy")["maxmemory-policy"]
    calls = itertools.count()

    class FillsUp(falkordb.Graph):
        def query(self, *args, **kwargs):
            if next(calls) == 3:
                client.config_set("maxmemory-policy", "noeviction")
                client.config_set("maxmemory", 1)
            return super().query(*args, **kwargs)

    try:
        with pytest.raises(redis.exceptions.OutOfMemoryError):
            db.load(rt.attributed_building(), FillsUp(falkordb_graph.client, falkordb_graph.name),
                    batch_size=5, replace=True)
    finally:
        client.config_set("maxmemory", 0)
        client.config_set("maxmemory-policy", policy)
    assert next(calls) == 4  # the index and two batches went through, the fourth query failed
    assert snapshot(falkordb_graph) == expected
    assert graph_keys(falkordb_server, falkordb_graph.name) == [falkordb_graph.name]
