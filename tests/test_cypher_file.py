"""The Cypher file runs on FalkorDB and Kùzu and reads back as the graph:
every character a string may hold, every kind of value, names that are
keywords to one engine, and a clear refusal of what an engine cannot store."""

import pytest

import db_roundtrip as rt
from falkordb_server import falkordb_graph, falkordb_server  # noqa: F401
from kovalith import GraphEdge, GraphNode, SpatialGraph, Vector3D, cypher, values

# Every code point of the Basic Multilingual Plane but NUL and the surrogates
# (which no UTF-8 text holds), a few from the planes above, in strings of
# this many characters: one room each.
CHUNK = 1024
CODE_POINTS = [c for c in range(1, 0x10000) if not 0xD800 <= c <= 0xDFFF] + [0x10000, 0x1F600, 0x10FFFF]
# Words that end a Kùzu statement early when written bare as a property name.
KEYWORD_NAMES = ["order", "end", "desc", "match", "return", "a b", "é", "x: 1}) MATCH (n) DETACH DELETE n //"]


def text_graph():
    """Rooms named with every code point, neighbours in a chain, contacts
    holding the same strings in lists, and attributes under odd names."""
    texts = ["".join(map(chr, CODE_POINTS[i:i + CHUNK])) for i in range(0, len(CODE_POINTS), CHUNK)]
    texts += ["'", "\\", "\\'", "a\\", "'; MATCH (n) DETACH DELETE n //", "\r\n", "line\nbreak;\n"]
    nodes = []
    for k, text in enumerate(texts):
        node = GraphNode(k, Vector3D(k, 0, 0))
        node.set_attribute("name", text)
        node.set_attribute(KEYWORD_NAMES[k % len(KEYWORD_NAMES)], k)
        nodes.append(node)
    edges = []
    for k in range(len(nodes) - 1):
        edge = GraphEdge(k, k + 1, 1.0 + k, Vector3D(k + 0.5, 0, 0), "VerticalWallContact")
        edge.set_attribute("names", [texts[k], texts[k + 1]])
        edges.append(edge)
    return SpatialGraph(nodes, edges, [])


GRAPHS = {
    "every-code-point": text_graph,
    "attributed-building": rt.attributed_building,
    "compiled-building": rt.compiled_building,
    "hand-made": rt.hand_graph,
}


def expected(graph):
    """index -> properties of each room, and the sorted (a, b, properties)
    of each contact, as the schema defines them (independently of the
    writer: the records read directly)."""
    def stored(value):
        value = rt.stored(value)
        if isinstance(value, list) and any(isinstance(x, float) for x in value):
            value = [float(x) for x in value]
        return value

    rooms = {}
    for n in graph.nodes:
        props = {"index": n.index, "centroid": [n.centroid.x, n.centroid.y, n.centroid.z],
                 **n.get_all_attributes()}
        rooms[n.index] = {k: stored(v) for k, v in props.items() if stored(v) is not None}
    contacts = []
    for e in graph.edges:
        c = e.contact_centroid
        props = {"shared_area": e.shared_area, "contact_centroid": [c.x, c.y, c.z],
                 "contact_type": e.contact_type, **e.get_all_attributes()}
        index = [n.index for n in graph.nodes]
        contacts.append((index[e.node_a], index[e.node_b],
                         {k: stored(v) for k, v in props.items() if stored(v) is not None}))
    return rooms, rt.sort_contacts(contacts)


@pytest.mark.parametrize("name", GRAPHS)
def test_falkordb_reads_the_file_back(name, falkordb_graph, tmp_path):  # noqa: F811
    graph = GRAPHS[name]()
    path = tmp_path / "g.cypher"
    count = cypher.write_cypher(graph, path)
    statements = cypher.read_statements(path)
    assert count == len(statements) == len(graph.nodes) + len(graph.edges) + len(rt.expected_walkways(graph))
    for statement in statements:
        falkordb_graph.query(statement)
    rooms = {}
    for [props] in falkordb_graph.query("MATCH (r:Room) RETURN properties(r)").result_set:
        rooms[props["index"]] = props
    contacts = [(a, b, props) for a, b, props in falkordb_graph.query(
        "MATCH (a:Room)-[w:SHARES_WALL]->(b:Room) RETURN a.index, b.index, properties(w)").result_set]
    walkways = [(a, b, props) for a, b, props in falkordb_graph.query(
        "MATCH (a:Room)-[w:CONNECTS_TO]->(b:Room) RETURN a.index, b.index, properties(w)").result_set]
    want_rooms, want_contacts = expected(graph)
    # The client reads floats back as text of 15 digits.
    rt.assert_same_records(rooms, want_rooms, rel_tol=1e-14)
    rt.assert_same_contacts(contacts, want_contacts, rel_tol=1e-14)
    rt.assert_same_contacts(walkways, rt.expected_walkways(graph), rel_tol=1e-14)


def kuzu_type(values_seen):
    kinds = set()
    for v in values_seen:
        if isinstance(v, list):
            kinds.add(("list", kuzu_type(v) if v else None))
        else:
            kinds.add({bool: "BOOLEAN", int: "INT64", float: "DOUBLE", str: "STRING"}[type(v)])
    if kinds == {"INT64", "DOUBLE"}:
        return "DOUBLE"
    lists = {k for k in kinds if isinstance(k, tuple)}
    if lists:
        items = {t for _, t in lists if t} or {"INT64"}
        items = {"DOUBLE"} if items == {"INT64", "DOUBLE"} else items
        (item,) = items
        return item + "[]"
    (kind,) = kinds
    return kind


def kuzu_schema(rooms, contacts):
    def columns(records):
        seen = {}
        for props in records:
            for k, v in props.items():
                seen.setdefault(k, []).append(v)
        return ", ".join(f"`{k}` {kuzu_type(vs)}" for k, vs in seen.items() if k != "index")

    return [f"CREATE NODE TABLE Room(`index` INT64, {columns(rooms.values())}, PRIMARY KEY(`index`))",
            f"CREATE REL TABLE SHARES_WALL(FROM Room TO Room, {columns(p for _, _, p in contacts)})",
            "CREATE REL TABLE CONNECTS_TO(FROM Room TO Room, via STRING[], length DOUBLE, width DOUBLE)"]


@pytest.mark.parametrize("name", GRAPHS)
def test_kuzu_reads_the_file_back(name, tmp_path):
    kuzu = pytest.importorskip("kuzu", reason="the kuzu package is not installed")
    graph = GRAPHS[name]()
    cypher.write_cypher(graph, tmp_path / "g.cypher")
    want_rooms, want_contacts = expected(graph)
    connection = kuzu.Connection(kuzu.Database(":memory:"))
    for statement in kuzu_schema(want_rooms, want_contacts) + cypher.read_statements(tmp_path / "g.cypher"):
        connection.execute(statement)
    rooms, contacts = rt.kuzu_contents(connection)
    rt.assert_same_records(rooms, want_rooms)
    rt.assert_same_contacts(contacts, want_contacts)
    rt.assert_same_contacts(rt.kuzu_walkways(connection), rt.expected_walkways(graph), rt.LENGTH_REL_TOL)


@pytest.mark.parametrize("value, key, message", [
    ("nul \0 inside", "name", "NUL character"),
    (["ok", "\0"], "names", "NUL character"),
    ("lone \udc80 surrogate", "name", r"U\+DC80 .*lone surrogate"),
    (1, "a`b", "backtick"),
    (1, "", "empty"),
])
def test_what_an_engine_cannot_store_is_refused_before_writing(value, key, message, tmp_path):
    nodes = [GraphNode(0, Vector3D(0, 0, 0)), GraphNode(1, Vector3D(1, 0, 0))]
    nodes[1].set_attribute(key, value)
    graph = SpatialGraph(nodes, [], [])
    with pytest.raises(ValueError, match=rf"node 1 \(index 1\), key '{key}': .*{message}"):
        cypher.write_cypher(graph, tmp_path / "g.cypher")
    assert not (tmp_path / "g.cypher").exists()


def test_contacts_are_never_lost_or_doubled(tmp_path):
    nodes = [GraphNode(0, Vector3D(0, 0, 0)), GraphNode(0, Vector3D(1, 0, 0))]
    with pytest.raises(ValueError, match="node 1: index 0 is the index of node 0"):
        cypher.cypher_statements(SpatialGraph(nodes, [], []))
    nodes = [GraphNode(0, Vector3D(0, 0, 0)), GraphNode(1, Vector3D(1, 0, 0))]
    edges = [GraphEdge(0, 2, 1.0, Vector3D(0, 0, 0), "x")]
    with pytest.raises(ValueError, match="edge 0 .0-2. names a node position beyond the 2 nodes"):
        cypher.cypher_statements(SpatialGraph(nodes, edges, []))


def test_the_literal_of_each_kind_of_value():
    # The extremes of what the policy lets through.
    assert [cypher.literal(values.convert(v)) for v in (-(2**63), 2**63 - 1, 1e16, 2.5e-8, -0.0, True)] == [
        "(-9223372036854775807 - 1)", "9223372036854775807", "1e16", "2.5e-08", "-0.0", "true"]
    for tiny in (5e-324, -1e-310, 2.225073858507201e-308):
        numerator, denominator = cypher.literal(tiny)[1:-1].split(" / ")
        assert float(numerator) / float(denominator) == tiny and abs(float(numerator)) > 1e-200
