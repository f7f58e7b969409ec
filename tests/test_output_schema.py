"""One value policy, one schema: every writer of a graph stores the same
properties with the same values, and refuses the same things."""

import json
import math
import os

import pytest

if "ASAN_OPTIONS" in os.environ and "suppressions" not in os.environ.get("LSAN_OPTIONS", ""):
    pytest.skip("NumPy, which networkx loads, leaks at exit under the sanitizer "
                "(run with LSAN_OPTIONS=suppressions=tests/lsan.supp)", allow_module_level=True)

import db_roundtrip as rt
from kovalith import GraphEdge, GraphNode, SpatialGraph, Vector3D, cypher, interop, values

nx = pytest.importorskip("networkx", reason="networkx (the interop extra) is not installed")

NAN, INF = float("nan"), float("inf")
LEFT_OUT = object()


class Tagged(str):
    """A str subclass whose methods lie: the policy must not call them."""

    def replace(self, *args):
        return self

    def __str__(self):
        return "forged"


class Level(int):
    pass


# value, what every output holds (LEFT_OUT: no property), or the error raised.
# The expectations are written out by hand, not derived from the code.
POLICY = [
    ("plain text", "plain text"),
    ("", ""),
    ("no\xa0break \u2028 é 漢 \U0001F600", "no\xa0break \u2028 é 漢 \U0001F600"),
    (Tagged("tag"), "tag"),
    (True, True),
    (0, 0),
    (-(2**63), -(2**63)),
    (2**63 - 1, 2**63 - 1),
    (Level(3), 3),
    (1.25, 1.25),
    (-0.0, -0.0),
    (1e300, 1e300),
    (Vector3D(1, -2.5, 3e-7), [1.0, -2.5, 3e-7]),
    ((1, 2), [1, 2]),
    ([1, 2.5], [1.0, 2.5]),
    (["a", "b"], ["a", "b"]),
    ([True, False], [True, False]),
    ([], []),
    (None, LEFT_OUT),
    (NAN, LEFT_OUT),
    (-INF, LEFT_OUT),
    (Vector3D(0, NAN, 0), LEFT_OUT),
    ([1.0, INF], LEFT_OUT),
    (2**63, ValueError),
    ("lone \ud800 surrogate", ValueError),
    ({"a": 1}, TypeError),
    ({1, 2}, TypeError),
    (b"bytes", TypeError),
    ([[1]], TypeError),
    ([None], TypeError),
    ([1, "a"], TypeError),
    ([Vector3D(0, 0, 0)], TypeError),
]


def one_room(value, key="value"):
    node = GraphNode(7, Vector3D(1, 2, 3))
    node.set_attribute(key, value)
    return SpatialGraph([node], [], [])


def json_room(graph, tmp_path):
    interop.write_json(graph, tmp_path / "g.json")
    return json.loads((tmp_path / "g.json").read_text(encoding="utf-8"))["nodes"][0]


def networkx_room(graph, tmp_path):
    return interop.to_networkx(graph).nodes[0]


def cypher_room(graph, tmp_path):
    """The room's properties as the Cypher file writes them."""
    cypher.write_cypher(graph, tmp_path / "g.cypher")
    return property_map(cypher.read_statements(tmp_path / "g.cypher")[0])


def property_map(statement):
    """The properties of the one created node or relationship of a
    statement, read by a small reader of Cypher's literal grammar."""
    if statement.startswith("CREATE (:Room {"):
        text, end = statement[len("CREATE (:Room "):], "})"
    else:
        text, end = statement[statement.index("[:SHARES_WALL ") + len("[:SHARES_WALL "):], "}]->(b)"
    value, rest = _literal_map(text)
    assert rest == end[1:], statement
    return value


def _literal_map(text):
    assert text[0] == "{"
    out, text = {}, text[1:]
    while text[0] != "}":
        if text[0] == "`":
            close = text.index("`", 1)
            key, text = text[1:close], text[close + 1:]
        else:
            close = text.index(":")
            key, text = text[:close], text[close:]
        assert text.startswith(": ")
        out[key], text = _literal(text[2:])
        if text.startswith(", "):
            text = text[2:]
    return out, text[1:]


def _literal(text):
    if text.startswith("'"):
        chars, i = [], 1
        while text[i] != "'":
            if text[i] == "\\":
                i += 1
            chars.append(text[i])
            i += 1
        return "".join(chars), text[i + 1:]
    if text.startswith("["):
        items, text = [], text[1:]
        while text[0] != "]":
            item, text = _literal(text)
            items.append(item)
            if text.startswith(", "):
                text = text[2:]
        return items, text[1:]
    if text.startswith("("):  # (-9223372036854775807 - 1), or a subnormal float as (a / b)
        close = text.index(")")
        if " / " in text[:close]:
            a, b = text[1:close].split(" / ")
            return float(a) / float(b), text[close + 1:]
        a, b = text[1:close].split(" - ")
        return int(a) - int(b), text[close + 1:]
    for word, value in (("true", True), ("false", False)):
        if text.startswith(word):
            return value, text[len(word):]
    end = min((text.index(c) for c in ",]}" if c in text), default=len(text))
    number = text[:end]
    return (float(number) if any(c in number for c in ".eE") else int(number)), text[end:]


def policy_room(graph, tmp_path):
    return values.graph_properties(graph)[0][0]


OUTPUTS = {"values": policy_room, "json": json_room, "networkx": networkx_room, "cypher": cypher_room}


@pytest.mark.parametrize("output", OUTPUTS)
def test_every_output_applies_one_value_policy(output, tmp_path):
    read = OUTPUTS[output]
    for value, want in POLICY:
        graph = one_room(value)
        if isinstance(want, type):
            with pytest.raises(want, match=r"node 0 \(index 7\), key 'value': "):
                read(graph, tmp_path)
            continue
        room = dict(read(graph, tmp_path))
        room.pop("id", None)
        assert room.pop("index") == 7 and room.pop("centroid") == [1.0, 2.0, 3.0]
        if want is LEFT_OUT:
            assert room == {}, (output, value)
        else:
            got = room.pop("value")
            assert room == {} and got == want and type(got) is type(want), (output, value, got)
            if isinstance(want, list):
                assert [type(x) for x in got] == [type(x) for x in want], (output, value, got)
            if isinstance(want, float):
                assert math.copysign(1, got) == math.copysign(1, want)


@pytest.mark.parametrize("output", OUTPUTS)
def test_non_finite_raise_refuses_what_omit_leaves_out(output, tmp_path):
    omitted = [v for v, want in POLICY if want is LEFT_OUT and v is not None]
    for value in omitted:
        graph = one_room(value)
        call = {"values": lambda: values.graph_properties(graph, non_finite="raise"),
                "json": lambda: interop.write_json(graph, tmp_path / "r.json", non_finite="raise"),
                "networkx": lambda: interop.to_networkx(graph, non_finite="raise"),
                "cypher": lambda: cypher.write_cypher(graph, tmp_path / "r.cypher", non_finite="raise")}[output]
        with pytest.raises(ValueError, match=r"key 'value': .*not finite \(non_finite='raise'\)"):
            call()
    assert not (tmp_path / "r.json").exists() and not (tmp_path / "r.cypher").exists()
    # A non-finite centroid or area is left out like an attribute.
    nodes = [GraphNode(0, Vector3D(NAN, 0, 0)), GraphNode(1, Vector3D(0, 0, 0))]
    edges = [GraphEdge(0, 1, INF, Vector3D(0, 0, 0), "x")]
    props = OUTPUTS[output](SpatialGraph(nodes, edges, []), tmp_path)
    assert "centroid" not in props and props["index"] == 0


@pytest.mark.parametrize("record, key", [
    *[("node", k) for k in ("index", "centroid", "id", "node_for_adding")],
    *[("edge", k) for k in ("shared_area", "contact_centroid", "contact_type", "source", "target", "key",
                            "u_for_edge", "v_for_edge")],
])
def test_a_name_the_schema_or_a_format_takes_is_refused_by_name(record, key, tmp_path):
    nodes = [GraphNode(0, Vector3D(0, 0, 0)), GraphNode(1, Vector3D(1, 0, 0))]
    edges = [GraphEdge(0, 1, 2.0, Vector3D(0.5, 0, 0), "VerticalWallContact")]
    (nodes[1] if record == "node" else edges[0]).set_attribute(key, 1)
    graph = SpatialGraph(nodes, edges, [])
    where = r"node 1 \(index 1\)" if record == "node" else r"edge 0 \(0-1\)"
    for call in (lambda: interop.to_networkx(graph), lambda: interop.to_networkx(graph, multigraph=False),
                 lambda: interop.write_json(graph, tmp_path / "g.json"),
                 lambda: cypher.write_cypher(graph, tmp_path / "g.cypher")):
        with pytest.raises(ValueError, match=f"{where}, key '{key}': the name is taken by the schema"):
            call()


def compiled_office():
    """A compiled graph with the product attributes of an IFC model."""
    graph = rt.attributed_building(3, 2)
    for k, node in enumerate(graph.nodes):
        node.set_attribute("global_id", f"0{k:021d}")
        node.set_attribute("elements", [] if k % 2 else [f"col{k}"])
    return graph


@pytest.mark.parametrize("make_graph", [compiled_office, rt.compiled_building, rt.hand_graph],
                         ids=["attributed", "compiled", "hand-made"])
def test_json_file_reads_back_as_the_networkx_graph(make_graph, tmp_path):
    graph = make_graph()
    interop.write_json(graph, tmp_path / "g.json")
    with open(tmp_path / "g.json", encoding="utf-8") as f:
        from_file = nx.node_link_graph(json.load(f))
    direct = interop.to_networkx(graph)
    assert nx.utils.graphs_equal(from_file, direct)
    assert list(from_file.edges(keys=True)) == list(direct.edges(keys=True))
    # The same properties, under the same names and values, as the Cypher file writes.
    statements = cypher.cypher_statements(graph)
    n = len(graph.nodes)
    assert [property_map(q) for q in statements[:n]] == [d for _, d in direct.nodes(data=True)]
    assert [property_map(q) for q in statements[n:n + len(graph.edges)]] == [direct.edges[e.node_a, e.node_b, k]
                                                         for k, e in enumerate(graph.edges)]


# Lists in every shape the writers meet, for the one-type fast paths.
LISTS = [
    [], ["a"], ["GlobalId_0", "x" * 40], ["é", "漢\U0001F600", "\x00\x1f\"\\"], ["ok", "lone \udfff"],
    [Tagged("t"), "u"], [0.0, -0.0, 1e-310, 1.7976931348623157e308, 2.0**-1074], [1.5, NAN], [INF],
    [0, -(2**63), 2**63 - 1], [2**63], [Level(2), 3], [True, False, True], [1, 2.5], [True, 1],
    (1.0, 2.0), ("a",), [None], [[1]],
]


@pytest.mark.parametrize("items", LISTS, ids=range(len(LISTS)))
@pytest.mark.parametrize("non_finite", ["omit", "raise"])
def test_list_fast_paths_equal_the_plain_ones(items, non_finite, monkeypatch):
    """A list of one built-in type is converted without a call per item, and
    BOT writes converted lists without json.dumps: each gives what the plain
    item-by-item conversion and json.dumps give, refusals included."""
    from kovalith import bot

    def convert():
        try:
            return values.convert(items, non_finite=non_finite)
        except (TypeError, ValueError) as exc:
            return type(exc), str(exc)

    fast = convert()
    monkeypatch.setattr(values, "_plain_list", lambda value, non_finite: None)
    plain = convert()
    assert repr(fast) == repr(plain) and type(fast) is type(plain)
    if isinstance(fast, list):
        assert all(type(x) in (str, int, float, bool) for x in fast)
        assert bot._json_list(fast) == json.dumps(fast, ensure_ascii=False, allow_nan=False)
