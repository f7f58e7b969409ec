"""The Neo4j side of kovalith.db without a Neo4j server: the bulk-import CSV
files read back against the graph, and load() through the official driver's
real objects reaching its transport (no server here, so it must fail with the
driver's own error before anything is reported as loaded)."""

import math
import os
import re

import pytest

import db_roundtrip as rt
from falkordb_server import falkordb_graph, falkordb_server  # noqa: F401  (fixtures)
from kovalith import GraphNode, SpatialGraph, Vector3D, db

FIELD = re.compile(r'(?:^|,)("(?:[^"]|"")*"|[^,"]*)')
PARSE = {"long": int, "double": float, "string": str, "boolean": lambda s: s == "true"}


def read_import_file(path):
    """Rows of a neo4j-admin CSV file as property dicts, parsed by its header
    types the way the importer documents them: an empty unquoted field is no
    property, a quoted one an empty string (the test data has no line breaks
    inside values)."""
    def fields(line):
        out = []
        for text in FIELD.findall(line.rstrip("\n")):
            quoted = text.startswith('"')
            out.append(text[1:-1].replace('""', '"') if quoted else (text or None))
        return out

    with open(path, newline="", encoding="utf-8") as f:
        lines = f.readlines()
        header = fields(lines[0])
        out = []
        for line in lines[1:]:
            record = {}
            for name, text in zip(header, fields(line), strict=True):
                key, _, kind = name.partition(":")
                if text is None:
                    continue
                if kind.endswith("[]"):
                    record[key] = [PARSE[kind[:-2]](x) for x in text.split(";")]
                elif kind.startswith("ID(") or kind.startswith("START_ID(") or kind.startswith("END_ID("):
                    record[key or kind.split("(")[0]] = int(text)
                elif kind in ("LABEL", "TYPE"):
                    record[kind] = text
                else:
                    record[key] = PARSE[kind](text)
            out.append(record)
        return header, out


@pytest.mark.parametrize("make_graph", [rt.attributed_building, rt.hand_graph],
                         ids=["attributed-building", "hand-made"])
def test_import_csv_round_trip(tmp_path, make_graph):
    graph = make_graph()
    room_path, contact_path = db.write_neo4j_import_csv(graph, tmp_path / "out")
    room_header, rooms = read_import_file(room_path)
    contact_header, contacts = read_import_file(contact_path)
    assert room_header[:2] == ["index:ID(Room)", "centroid:double[]"] and room_header[-1] == ":LABEL"
    assert contact_header[:5] == [":START_ID(Room)", ":END_ID(Room)", "shared_area:double",
                                  "contact_centroid:double[]", "contact_type:string"]
    assert {r.pop("LABEL") for r in rooms} == {"Room"}
    assert {c.pop("TYPE") for c in contacts} == {"SHARES_WALL"}
    rt.assert_same_records({r["index"]: r for r in rooms}, rt.expected_rooms(graph))
    got = [(c.pop("START_ID"), c.pop("END_ID"), c) for c in contacts]
    # An empty list is an empty field, which the importer reads as no property.
    want = [(a, b, {k: v for k, v in p.items() if v != []}) for a, b, p in rt.expected_contacts(graph)]
    rt.assert_same_contacts(got, want)


def test_import_csv_refuses_what_the_importer_misreads(tmp_path):
    node = GraphNode(0, Vector3D(0, 0, 0))
    node.set_attribute("parts", ["a;b", "c"])
    with pytest.raises(ValueError, match="array delimiter"):
        db.write_neo4j_import_csv(SpatialGraph([node], [], []), tmp_path)
    node = GraphNode(0, Vector3D(math.nan, 0, 0))
    node.set_attribute("a:b", 1)
    with pytest.raises(ValueError, match="':'"):
        db.write_neo4j_import_csv(SpatialGraph([node], [], []), tmp_path)


@pytest.mark.skipif("ASAN_OPTIONS" in os.environ
                    and "suppressions" not in os.environ.get("LSAN_OPTIONS", ""),
                    reason="the neo4j driver leaks at exit under the sanitizer "
                           "(run with LSAN_OPTIONS=suppressions=tests/lsan.supp)")
def test_load_through_the_driver_reaches_its_transport():
    neo4j = pytest.importorskip("neo4j", reason="the neo4j driver is not installed")
    from neo4j.exceptions import ServiceUnavailable

    graph = rt.hand_graph()
    # Port 9 (discard) on loopback: nothing listens, so the first statement fails.
    with neo4j.GraphDatabase.driver("bolt://127.0.0.1:9", auth=("neo4j", "x"),
                                    max_transaction_retry_time=0, connection_timeout=2) as driver:
        with pytest.raises(ServiceUnavailable):
            db.load(graph, driver)
        with driver.session() as session, pytest.raises(ServiceUnavailable):
            db.load(graph, session)
    with pytest.raises(TypeError, match="target: expected"):
        db.load(graph, object())


class CypherTransaction:
    """Runs the statements of a Neo4j transaction function on FalkorDB, a
    real Cypher engine, with the driver's result surface that the loader
    reads (single()[column], consume().counters)."""

    def __init__(self, graph):
        self.graph = graph

    def run(self, query, **params):
        result = self.graph.query(query, params)
        header = [column[1] if isinstance(column, (list, tuple)) else column for column in result.header]

        class Result:
            def single(self):
                [row] = result.result_set
                return dict(zip(header, row))

            def consume(self):
                return type("Summary", (), {"counters": result})()

        return Result()


@pytest.mark.parametrize("make_graph", [rt.attributed_building, rt.hand_graph],
                         ids=["attributed-building", "hand-made"])
def test_neo4j_statements_on_a_cypher_engine(falkordb_graph, make_graph):
    """What the Neo4j transaction sends, run on FalkorDB: the rooms, contacts
    and walkways read back as the graph says, and a second load refuses (or,
    with replace, replaces) them inside the same transaction."""
    pytest.importorskip("falkordb", reason="the falkordb client is not installed")
    graph = make_graph()
    data = db._tables(graph, "null")
    tx = CypherTransaction(falkordb_graph)
    assert db._neo4j_work(tx, data, 7, False) == (len(graph.nodes), len(graph.edges),
                                                   len(rt.expected_walkways(graph)))
    check_falkordb_contents(falkordb_graph, graph)
    with pytest.raises(ValueError, match="already holds"):
        db._neo4j_work(tx, db._tables(graph, "null"), 7, False)
    assert db._neo4j_work(tx, db._tables(graph, "null"), 7, True)[0] == len(graph.nodes)
    check_falkordb_contents(falkordb_graph, graph)


def check_falkordb_contents(falkordb_graph, graph):
    from test_db_falkordb import REPLY_REL_TOL, contents, walkways

    rooms, contacts = contents(falkordb_graph)
    rt.assert_same_records(rooms, rt.expected_rooms(graph), REPLY_REL_TOL)
    rt.assert_same_contacts(contacts, rt.expected_contacts(graph), REPLY_REL_TOL)
    rt.assert_same_contacts(walkways(falkordb_graph), rt.expected_walkways(graph), rt.LENGTH_REL_TOL)
