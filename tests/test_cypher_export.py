import gc
import math
import pathlib
import random
import struct
import sys
from decimal import Decimal

import pytest
from hypothesis import given, strategies as st

from kovalith import GraphEdge, GraphNode, SpatialGraph, Vector3D

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "bench"))
import building  # noqa: E402  (bench/building.py: generated buildings)


def node(index, *xyz, **attributes):
    n = GraphNode(index, Vector3D(*(xyz or (0.0, 0.0, 0.0))))
    for key, value in attributes.items():
        n.set_attribute(key, value)
    return n


def edge(a, b, area=1.0, centroid=(0.0, 0.0, 0.0), contact_type="VerticalWallContact"):
    return GraphEdge(a, b, area, Vector3D(*centroid), contact_type)


def room_statement(x):
    """The statement of one node at index 0 whose centroid is (x, 0, 0)."""
    return SpatialGraph([node(0, x, 0.0, 0.0)], [], []).to_cypher_queries()[0]


def positional(x):
    """Python's shortest round-trip digits (repr) written out without an
    exponent: an independent reference for the export's numbers."""
    if math.isnan(x):
        return "NaN"
    if math.isinf(x):
        return "inf" if x > 0 else "-inf"
    text = format(Decimal(repr(x)), "f")
    if "." in text:
        text = text.rstrip("0").rstrip(".")
    return text


class TestStatements:
    def test_empty_graph(self):
        assert SpatialGraph([], [], []).to_cypher_queries() == []

    def test_room_statement(self):
        graph = SpatialGraph([GraphNode(0, Vector3D(1.5, 2.0, 0.0))], [], [])
        assert graph.to_cypher_queries() == [
            "CREATE (r0:Room {index: 0, centroid_x: 1.5, centroid_y: 2, centroid_z: 0})"]

    def test_relationship_statement(self):
        graph = SpatialGraph([], [GraphEdge(0, 1, 12.5, Vector3D(3.0, 1.0, 1.5), "VerticalWallContact")], [])
        assert graph.to_cypher_queries() == [
            "MATCH (a:Room {index: 0}), (b:Room {index: 1}) CREATE (a)-[:SHARES_WALL {area: 12.5, "
            "centroid_x: 3, centroid_y: 1, centroid_z: 1.5, contact_type: 'VerticalWallContact'}]->(b)"]

    def test_nodes_then_edges_in_list_order(self):
        nodes = [node(7, 1, 2, 3), node(2**64 - 1), node(3)]
        edges = [edge(5, 5, -1.0, (0, 0, 0), "HorizontalSlabContact"), edge(2, 9)]
        statements = SpatialGraph(nodes, edges, []).to_cypher_queries()
        assert [s.split(" ")[0] for s in statements] == ["CREATE"] * 3 + ["MATCH"] * 2
        assert statements[0].startswith("CREATE (r7:Room {index: 7, centroid_x: 1,")
        assert statements[1].startswith(f"CREATE (r{2**64 - 1}:Room {{index: {2**64 - 1},")
        assert statements[3].startswith("MATCH (a:Room {index: 5}), (b:Room {index: 5}) "
                                        "CREATE (a)-[:SHARES_WALL {area: -1, ")
        assert "contact_type: 'HorizontalSlabContact'}]->(b)" in statements[3]

    def test_attributes_written_with_repr(self):
        n = node(0, name="Kitchen", level=3, occupied=True, note=None, ratio=0.25, tags=["a"],
                 quote="it's")
        statement = SpatialGraph([n], [], []).to_cypher_queries()[0]
        head = "CREATE (r0:Room {index: 0, centroid_x: 0, centroid_y: 0, centroid_z: 0, "
        assert statement.startswith(head) and statement.endswith("})")
        assert sorted(statement[len(head):-2].split(", ")) == sorted([
            "name: 'Kitchen'", "level: 3", "occupied: True", "note: None", "ratio: 0.25",
            "tags: ['a']", 'quote: "it\'s"'])

    def test_edge_attributes_follow_contact_type(self):
        e = edge(0, 1)
        e.set_attribute("door", "double")
        statement = SpatialGraph([], [e], []).to_cypher_queries()[0]
        assert statement.endswith("contact_type: 'VerticalWallContact', door: 'double'}]->(b)")

    def test_each_attribute_once_whatever_the_count(self):
        n = node(0)
        for k in range(40):  # past the size where the map adds a hash index
            n.set_attribute(f"k{k}", k)
        n.set_attribute("k3", "again")
        statement = SpatialGraph([n], [], []).to_cypher_queries()[0]
        body = statement[statement.index("centroid_z: 0, ") + len("centroid_z: 0, "):-2]
        pieces = body.split(", ")
        assert sorted(pieces) == sorted([f"k{k}: {k}" for k in range(40) if k != 3] + ["k3: 'again'"])

    def test_changes_seen_through_the_graph(self):
        n = node(0)
        graph = SpatialGraph([n], [], [])
        n.set_attribute("label", "Hall")
        assert graph.to_cypher_queries()[0].endswith(", label: 'Hall'})")

    def test_shared_node_exported_twice(self):
        n = node(4, name="x")
        assert len(set(SpatialGraph([n, n], [], []).to_cypher_queries())) == 1

    def test_docstring_and_no_arguments(self):
        assert SpatialGraph.to_cypher_queries.__text_signature__ == "($self)"
        assert SpatialGraph.to_cypher_queries.__doc__ == (
            "Generates high-performance database-ready Cypher Queries for direct importing into "
            "Neo4j GraphRAG.")
        with pytest.raises(TypeError):
            SpatialGraph([], [], []).to_cypher_queries(1)


class TestNumbers:
    @pytest.mark.parametrize("value, text", [
        (0.0, "0"), (-0.0, "-0"), (2.0, "2"), (1.5, "1.5"), (-2.5, "-2.5"), (0.1, "0.1"),
        (1e21, "1" + "0" * 21), (1e-7, "0.0000001"), (123456789.0, "123456789"),
        (0.30000000000000004, "0.30000000000000004"), (1e16, "10000000000000000"),
        (math.inf, "inf"), (-math.inf, "-inf"), (math.nan, "NaN"), (-math.nan, "NaN"),
        (5e-324, "0." + "0" * 323 + "5"),
        (2.0**60, "1152921504606847000"), (-2.0**53, "-9007199254740992"),
        (5.058863203475885e16, "50588632034758850"), (1e23, "1" + "0" * 23),
        (sys.float_info.max, "17976931348623157" + "0" * 292),
        (-sys.float_info.min, "-0." + "0" * 307 + "22250738585072014"),
    ])
    def test_table(self, value, text):
        assert room_statement(value) == (
            f"CREATE (r0:Room {{index: 0, centroid_x: {text}, centroid_y: 0, centroid_z: 0}})")

    @given(st.floats(allow_nan=False, allow_infinity=False))
    def test_shortest_round_trip_positional(self, value):
        text = room_statement(value).split("centroid_x: ")[1].split(",")[0]
        assert text == positional(value)
        assert "e" not in text and "E" not in text
        assert float(text) == value

    def test_random_bit_patterns_across_the_whole_range(self):
        # Uniform over the bit patterns: every exponent, subnormals, both
        # signs, the odd NaN and infinity. Three per statement.
        rng = random.Random(20240607)
        values = [struct.unpack("<d", rng.getrandbits(64).to_bytes(8, "little"))[0]
                  for _ in range(3 * 3000)]
        nodes = [GraphNode(k, Vector3D(*values[3 * k:3 * k + 3])) for k in range(3000)]
        for k, statement in enumerate(SpatialGraph(nodes, [], []).to_cypher_queries()):
            x, y, z = values[3 * k:3 * k + 3]
            assert statement == (f"CREATE (r{k}:Room {{index: {k}, centroid_x: {positional(x)}, "
                                 f"centroid_y: {positional(y)}, centroid_z: {positional(z)}}})")


class TestQuoting:
    """Keys and contact types from user data must not be able to end the
    statement early; plain ones are written as they are."""

    @pytest.mark.parametrize("key, written", [
        ("name", "name"), ("_x9", "_x9"), ("Floor_2", "Floor_2"),
        ("9lives", "`9lives`"), ("", "``"), ("room name", "`room name`"),
        ("a`b", "`a``b`"), ("`", "````"),
        ("x: 1}) DETACH DELETE r0 //", "`x: 1}) DETACH DELETE r0 //`"),
        ("a`}) MATCH (n) DETACH DELETE n //", "`a``}) MATCH (n) DETACH DELETE n //`"),
        ("größe", "`größe`"), ("line\nbreak", "`line\nbreak`"),
    ])
    def test_keys(self, key, written):
        statement = SpatialGraph([node(0, **{key: 1})], [], []).to_cypher_queries()[0]
        assert statement == (
            f"CREATE (r0:Room {{index: 0, centroid_x: 0, centroid_y: 0, centroid_z: 0, {written}: 1}})")

    @pytest.mark.parametrize("contact_type, written", [
        ("VerticalWallContact", "VerticalWallContact"),
        ("it's", "it\\'s"),
        ("back\\slash", "back\\\\slash"),
        ("\\'", "\\\\\\'"),
        ("x'}]->(b) WITH a MATCH (n) DETACH DELETE n //", "x\\'}]->(b) WITH a MATCH (n) DETACH DELETE n //"),
        ('double "quotes" stay', 'double "quotes" stay'),
        ("", ""),
    ])
    def test_contact_type(self, contact_type, written):
        statement = SpatialGraph([], [edge(0, 1, 1.0, (0, 0, 0), contact_type)], []).to_cypher_queries()[0]
        assert statement.endswith(f", contact_type: '{written}'}}]->(b)")

    def test_edge_keys_quoted_too(self):
        e = edge(0, 1)
        e.set_attribute("fire rating", "EI60")
        assert SpatialGraph([], [e], []).to_cypher_queries()[0].endswith(
            "'VerticalWallContact', `fire rating`: 'EI60'}]->(b)")


class Repr:
    def __init__(self, action):
        self.action = action

    def __repr__(self):
        return self.action()


class TestReprCallbacks:
    def test_exception_propagates_unchanged(self):
        error = LookupError("from repr")

        def boom():
            raise error
        graph = SpatialGraph([node(0, ok=1), node(1, bad=Repr(boom))], [], [])
        with pytest.raises(LookupError) as info:
            graph.to_cypher_queries()
        assert info.value is error

    def test_non_str_repr_is_a_type_error(self):
        with pytest.raises(TypeError):
            SpatialGraph([], [self._edge_with(Repr(lambda: 42))], []).to_cypher_queries()

    def test_lone_surrogates_become_replacement_characters(self):
        n = node(0, odd=Repr(lambda: "a\ud800b\udfff"), fine=Repr(lambda: "é€😀"))
        statement = SpatialGraph([n], [], []).to_cypher_queries()[0]
        assert ", odd: a\ufffdb\ufffd" in statement and ", fine: é€😀" in statement

    def test_str_subclass_repr(self):
        class Text(str):
            pass
        n = node(0, v=Repr(lambda: Text("custom")))
        assert SpatialGraph([n], [], []).to_cypher_queries()[0].endswith(", v: custom})")

    def test_setting_attribute_on_the_record_being_exported_is_refused(self):
        n = node(0)
        n.set_attribute("a", Repr(lambda: n.set_attribute("b", 1) or "x"))
        with pytest.raises(RuntimeError, match="Already borrowed"):
            SpatialGraph([n], [], []).to_cypher_queries()
        assert n.get_attribute("b") is None

    def test_changes_to_other_records_during_export(self):
        later = node(1)
        first = node(0)
        victim = object()
        later.set_attribute("gone", victim)

        def change_later():
            later.set_attribute("gone", "replaced")  # drops the only other ref to victim
            for k in range(50):
                later.set_attribute(f"new{k}", k)  # grows the other map
            return "'changed'"
        first.set_attribute("trigger", Repr(change_later))
        del victim
        statements = SpatialGraph([first, later], [], []).to_cypher_queries()
        assert statements[0].endswith(", trigger: 'changed'})")
        assert ", gone: 'replaced'" in statements[1] and ", new49: 49" in statements[1]

    def test_reentrant_export_and_route_from_repr(self):
        inner = []
        graph = None

        def reenter():
            if inner:
                return "inner"
            inner.append(None)
            inner.append(graph.to_cypher_queries())
            inner.append(graph.find_shortest_path(0, 0))
            return "outer"
        graph = SpatialGraph([node(0, r=Repr(reenter))], [], [])
        outer = graph.to_cypher_queries()
        assert outer[0].endswith(", r: outer})")
        assert inner[1][0].endswith(", r: inner})") and inner[2] == [0]

    def test_reference_counts_unchanged(self):
        value = Repr(lambda: "v")
        n = node(0, v=value)
        graph = SpatialGraph([n], [edge(0, 0)], [])
        before = (sys.getrefcount(value), sys.getrefcount(n))
        for _ in range(3):
            graph.to_cypher_queries()
        with pytest.raises(ZeroDivisionError):
            SpatialGraph([n, node(1, z=Repr(lambda: 1 / 0))], [], []).to_cypher_queries()
        gc.collect()
        assert (sys.getrefcount(value), sys.getrefcount(n)) == before

    @staticmethod
    def _edge_with(value):
        e = edge(0, 1)
        e.set_attribute("v", value)
        return e


def test_compiled_graph_exports_rooms_and_contacts_only():
    graph = building.grid_building(2, 2).registry().build_spatial_graph(1e-3)
    assert graph.wire_contacts  # one column per room
    statements = graph.to_cypher_queries()
    assert len(statements) == len(graph.nodes) + len(graph.edges)
    assert [s.startswith("CREATE (r") for s in statements] == \
        [True] * len(graph.nodes) + [False] * len(graph.edges)
    assert statements[0] == "CREATE (r0:Room {index: 0, centroid_x: 2, centroid_y: 2, centroid_z: 1.5})"
