"""The Neo4j side of kovalith.db: the bulk-import CSV files read back against
the graph; load() through the official driver's real objects reaching a port
where nothing listens; and load() through a neo4j Driver and Session on a
server that speaks Bolt (FalkorDB's), read back through the driver.

That server runs every statement as it arrives and has no rollback, so what
a Neo4j transaction guarantees on failure is checked there only as far as it
does not rest on the rollback; those checks that do are expected failures
naming the reason (see tests/falkordb_server.py for what else it lacks)."""

import itertools
import math
import os
import re
import signal
import threading
import time

import pytest

import db_roundtrip as rt
from falkordb_server import (  # noqa: F401  (fixtures)
    BOLT_GRAPH, bolt_server, falkordb_graph, falkordb_server, neo4j_driver)
from kovalith import GraphEdge, GraphNode, SpatialGraph, Vector3D, db

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


# --- Through the driver, on a server that speaks Bolt -----------------------

NO_ROLLBACK = ("FalkorDB's Bolt endpoint acknowledges ROLLBACK and runs every statement as it "
               "arrives, so what a load sent before it failed stays; Neo4j rolls it back")
# Records per statement: the endpoint copies the parameters into a 4 KiB
# buffer, which larger batches of these graphs would overflow.
BOLT_BATCH = 5


@pytest.fixture(params=["driver", "session"])
def target(request, neo4j_driver, bolt_server, monkeypatch):
    """A neo4j Driver, or a Session of it, as the load's target.

    The endpoint has no CREATE CONSTRAINT clause: the statement of the
    loader's uniqueness constraint is checked and the server's own unique
    constraint made instead, through its Redis port."""
    import neo4j

    graph = bolt_server.graph
    run = neo4j.Session.run

    def constraints():
        if not bolt_server.admin.connection.exists(BOLT_GRAPH):
            return []
        return [c for c in graph.list_constraints() if c["label"] == "Room"]

    def session_run(self, query, parameters=None, **kwargs):
        if query.startswith("CREATE CONSTRAINT"):
            assert re.fullmatch(r"CREATE CONSTRAINT kovalith_room_index IF NOT EXISTS FOR "
                                r"\(r:Room\) REQUIRE r\.index IS UNIQUE", query), query
            if not constraints():
                graph.create_node_unique_constraint("Room", "index")
            deadline = time.monotonic() + 10
            while any(c["status"] != "OPERATIONAL" for c in constraints()):
                assert time.monotonic() < deadline, constraints()
                time.sleep(0.01)
            query, parameters = "RETURN 0", None
        return run(self, query, parameters, **kwargs)

    monkeypatch.setattr(neo4j.Session, "run", session_run)
    if request.param == "driver":
        yield neo4j_driver
    else:
        with neo4j_driver.session() as session:
            yield session


def records(driver, query):
    return driver.execute_query(query).records


def bolt_contents(driver):
    """Rooms, contacts and walkways with their properties as the driver reads them."""
    rooms = {r["p"]["index"]: dict(r["p"]) for r in records(driver, "MATCH (r:Room) RETURN properties(r) AS p")}
    relationships = [[(r["a"], r["b"], dict(r["p"])) for r in records(
        driver, f"MATCH (a:Room)-[w:{kind}]->(b:Room) RETURN a.index AS a, b.index AS b, properties(w) AS p")]
        for kind in ("SHARES_WALL", "CONNECTS_TO")]
    return rooms, *relationships


def bolt_snapshot(driver):
    return sorted(map(repr, (tuple(r) for r in records(
        driver, "MATCH (n) OPTIONAL MATCH (n)-[w]->(m) RETURN labels(n), properties(n), type(w), "
                "properties(w), properties(m)"))))


def pasted(value):
    """A value as the endpoint passes a parameter on: a float printed with
    six decimals; and as Neo4j stores a list of integers and floats: as
    floats, one type per list."""
    if isinstance(value, list):
        if any(type(v) is float for v in value):
            value = [float(v) if type(v) is int else v for v in value]
        return [pasted(v) for v in value]
    if isinstance(value, dict):
        return {k: pasted(v) for k, v in value.items()}
    return float("%f" % value) if isinstance(value, float) else value


def assert_as_pasted(got, want):
    """`got` holds what `want` holds, the same types and keys, floats within
    the endpoint's rounding (one unit in the sixth decimal)."""
    if isinstance(want, dict):
        assert isinstance(got, dict) and sorted(got) == sorted(want), (got, want)
        for k in want:
            assert_as_pasted(got[k], want[k])
    elif isinstance(want, list):
        assert isinstance(got, list) and len(got) == len(want), (got, want)
        for g, w in zip(got, pasted(want)):
            assert_as_pasted(g, w)
    elif isinstance(want, float):
        assert type(got) is float and math.isclose(got, pasted(want), rel_tol=1e-15, abs_tol=1e-6), (got, want)
    else:
        assert type(got) is type(want) and got == want, (got, want)


def assert_holds(driver, graph):
    rooms, contacts, walkways = bolt_contents(driver)
    assert_as_pasted(rooms, rt.expected_rooms(graph))
    for got, want in ((contacts, rt.expected_contacts(graph)), (walkways, rt.expected_walkways(graph))):
        # Ends first, then the properties in the order of the expected ones:
        # rounding may reorder two parallel contacts that differ past it.
        got = sorted(got, key=lambda c: (c[0], c[1], repr(sorted(pasted(c[2]).items()))))
        want = sorted(want, key=lambda c: (c[0], c[1], repr(sorted(pasted(c[2]).items()))))
        assert [c[:2] for c in got] == [c[:2] for c in want]
        assert_as_pasted([c[2] for c in got], [c[2] for c in want])


def plain_text(graph):
    """`graph` with the quote and backslash taken out of its strings: the
    endpoint pastes a string parameter between single quotes as it is."""
    def clean(value):
        if isinstance(value, str):
            return value.replace("'", "").replace("\\", "")
        if isinstance(value, (list, tuple)):
            return [clean(v) for v in value]
        return value

    nodes = []
    for n in graph.nodes:
        node = GraphNode(n.index, n.centroid)
        for k, v in n.get_all_attributes().items():
            node.set_attribute(k, clean(v))
        nodes.append(node)
    edges = []
    for e in graph.edges:
        edge = GraphEdge(e.node_a, e.node_b, e.shared_area, e.contact_centroid, clean(e.contact_type))
        for k, v in e.get_all_attributes().items():
            edge.set_attribute(k, clean(v))
        edges.append(edge)
    return SpatialGraph(nodes, edges, [])


GRAPHS = {"attributed-building": rt.attributed_building, "hand-made": rt.hand_graph,
          "compiled-building": rt.compiled_building}


@pytest.mark.parametrize("name", GRAPHS)
def test_bolt_round_trip(target, neo4j_driver, name):
    """Every room, contact and walkway, each property with the type the
    driver reads back; a second load is refused and changes nothing."""
    graph = plain_text(GRAPHS[name]())
    loaded = db.load(graph, target, batch_size=BOLT_BATCH)
    assert loaded == (len(graph.nodes), len(graph.edges), len(rt.expected_walkways(graph)))
    assert_holds(neo4j_driver, graph)
    before = bolt_snapshot(neo4j_driver)
    with pytest.raises(ValueError, match=f"already holds {len(graph.nodes)} Room nodes"):
        db.load(graph, target, batch_size=BOLT_BATCH)
    assert bolt_snapshot(neo4j_driver) == before


def refused_on_neo4j():
    from test_db_falkordb import FALKORDB_ONLY, REFUSED, REFUSED_IDS

    return [pytest.param(*case, id=name) for case, name in zip(REFUSED, REFUSED_IDS)
            if name not in FALKORDB_ONLY]


@pytest.mark.parametrize("graph, kwargs, error, message", refused_on_neo4j())
def test_bolt_refused_graph_changes_nothing(target, neo4j_driver, graph, kwargs, error, message):
    """Refused before anything is sent, even with replace=True: the graph
    loaded before stays as it was."""
    db.load(plain_text(rt.hand_graph()), target)
    before = bolt_snapshot(neo4j_driver)
    with pytest.raises(error, match=message):
        db.load(graph, target, replace=True, **kwargs)
    assert bolt_snapshot(neo4j_driver) == before


def test_bolt_database_name(target, neo4j_driver, falkordb_graph):
    """A Driver loads into the database named (the endpoint runs every
    transaction on its one graph); any other target names its database
    itself, and a name given beside it is refused before anything is sent."""
    graph = plain_text(rt.hand_graph())
    if target is neo4j_driver:
        assert db.load(graph, target, database=BOLT_GRAPH) == (5, 4, 0)
        assert_holds(neo4j_driver, graph)
        with pytest.raises(TypeError, match="database: expected a str"):
            db.load(graph, target, database=b"neo4j", replace=True)
    else:
        with pytest.raises(ValueError, match=r"opened on; pass the name to driver.session"):
            db.load(graph, target, database=BOLT_GRAPH)
        assert bolt_snapshot(neo4j_driver) == []
    with pytest.raises(ValueError, match="only a neo4j Driver takes a database name, not a falkordb"):
        db.load(graph, falkordb_graph, database="neo4j")
    assert not falkordb_graph.client.connection.exists(falkordb_graph.name)


def test_bolt_replace(target, neo4j_driver):
    """replace=True deletes the Room nodes and their relationships in the
    load's transaction and keeps the database's other nodes."""
    db.load(plain_text(rt.attributed_building()), target, batch_size=BOLT_BATCH)
    neo4j_driver.execute_query("CREATE (:Note {text: 'not a room'})")
    graph = plain_text(rt.hand_graph())
    with pytest.raises(ValueError, match=r"already holds 18 Room nodes; .*replace=True"):
        db.load(graph, target)
    assert db.load(graph, target, replace=True) == (5, 4, 0)
    assert_holds(neo4j_driver, graph)
    assert [r["t"] for r in records(neo4j_driver, "MATCH (n:Note) RETURN n.text AS t")] == ["not a room"]


def statements_of_transactions(monkeypatch, hook):
    """Calls `hook(k)` before the k-th statement that a load sends inside its
    transaction (counted from 0 across loads, in any thread)."""
    import neo4j

    run, calls = neo4j.ManagedTransaction.run, itertools.count()

    def counted(self, query, parameters=None, **kwargs):
        hook(next(calls))
        return run(self, query, parameters, **kwargs)

    monkeypatch.setattr(neo4j.ManagedTransaction, "run", counted)
    return calls


def interrupt(monkeypatch, at):
    """A real Ctrl-C (SIGINT to this process) before the `at`-th statement."""
    def hook(k):
        if k == at:
            os.kill(os.getpid(), signal.SIGINT)
            time.sleep(1)  # the handler raises at the next bytecode

    return statements_of_transactions(monkeypatch, hook)


# The load's turn (see db._neo4j_work), its count, then rooms (4 batches of
# 5 for the 18 rooms of the attributed building), contacts and walkways: the
# 4th statement comes after one batch of rooms, or after the old rooms were
# deleted under replace=True.
MIDWAY = 3


def test_bolt_interrupt_midway_leaves_the_session_usable(target, neo4j_driver):
    """Ctrl-C in the middle of a load comes out as KeyboardInterrupt with the
    transaction closed: the same Session (or Driver) takes the next load."""
    graph = plain_text(rt.attributed_building())
    with pytest.MonkeyPatch.context() as patch:
        interrupt(patch, MIDWAY)
        with pytest.raises(KeyboardInterrupt):
            db.load(graph, target, batch_size=BOLT_BATCH)
    db.load(graph, target, batch_size=BOLT_BATCH, replace=True)
    assert_holds(neo4j_driver, graph)


@pytest.mark.xfail(strict=True, reason=NO_ROLLBACK)
@pytest.mark.parametrize("fault", ["interrupt", "server-error"])
def test_bolt_failure_midway_leaves_the_graph_as_it_was(target, neo4j_driver, fault):
    """A load over a loaded database cut after it deleted the old rooms and
    sent some new ones: the database holds the old graph, and the load run
    again succeeds."""
    import neo4j

    db.load(plain_text(rt.hand_graph()), target)
    before = bolt_snapshot(neo4j_driver)
    graph = plain_text(rt.attributed_building())
    with pytest.MonkeyPatch.context() as patch:
        if fault == "interrupt":
            interrupt(patch, MIDWAY)
            expected = KeyboardInterrupt
        else:  # a statement the server refuses, sent in place of the load's
            run, calls = neo4j.ManagedTransaction.run, itertools.count()
            patch.setattr(neo4j.ManagedTransaction, "run", lambda self, q, p=None, **kw: run(
                self, "RETURN nosuchfunction(1)" if next(calls) == MIDWAY else q, p, **kw))
            expected = neo4j.exceptions.Neo4jError
        with pytest.raises(expected):
            db.load(graph, target, batch_size=BOLT_BATCH, replace=True)
    assert bolt_snapshot(neo4j_driver) == before
    db.load(graph, target, batch_size=BOLT_BATCH, replace=True)
    assert_holds(neo4j_driver, graph)


def test_bolt_interrupt_during_the_commit_waits_for_it(target, neo4j_driver):
    """Ctrl-C after the last statement, while the driver commits: the commit
    runs to its answer, then the interrupt is raised; the load was kept."""
    import neo4j

    commit, committed = neo4j.ManagedTransaction._commit, []

    def interrupted_commit(self, *args, **kwargs):
        os.kill(os.getpid(), signal.SIGINT)
        time.sleep(0.2)  # without the deferral, the handler raises here
        commit(self, *args, **kwargs)
        committed.append(True)

    graph = plain_text(rt.hand_graph())
    with pytest.MonkeyPatch.context() as patch, pytest.raises(KeyboardInterrupt):
        patch.setattr(neo4j.ManagedTransaction, "_commit", interrupted_commit)
        db.load(graph, target)
    assert committed == [True]
    assert_holds(neo4j_driver, graph)


NO_LOCKS = ("FalkorDB's Bolt endpoint takes no locks: on Neo4j the second load waits at its first "
            "statement, whose room takes the uniqueness constraint's lock on one key until the first "
            "load ends, and then finds the first load's rooms")


def shifted(graph, by):
    """`graph` with every room index moved by `by`."""
    nodes = []
    for n in graph.nodes:
        node = GraphNode(n.index + by, n.centroid)
        for k, v in n.get_all_attributes().items():
            node.set_attribute(k, v)
        nodes.append(node)
    edges = []
    for e in graph.edges:
        edge = GraphEdge(e.node_a + by, e.node_b + by, e.shared_area, e.contact_centroid, e.contact_type)
        for k, v in e.get_all_attributes().items():
            edge.set_attribute(k, v)
        edges.append(edge)
    return SpatialGraph(nodes, edges, [])


@pytest.mark.parametrize("pause_before, second_graph", [
    ("first-room", "same"), ("first-contact", "same"),
    pytest.param("first-room", "no-index-in-common", marks=pytest.mark.xfail(strict=True, reason=NO_LOCKS)),
])
def test_bolt_concurrent_loads(target, neo4j_driver, monkeypatch, pause_before, second_graph):
    """Two loads into one empty database at once: one is refused, and the
    database holds the other's rooms, each once. The first stops before its
    first room, when both have found the database empty (the uniqueness
    constraint refuses the later rooms of the same graph), or before its
    first contact, when its rooms are sent (on Neo4j the second waits for
    the first, then finds them)."""
    import neo4j

    graphs = {"first": plain_text(rt.attributed_building())}
    graphs["second"] = graphs["first"] if second_graph == "same" else shifted(plain_text(rt.hand_graph()), 100)
    rooms_batches = -(-len(graphs["first"].nodes) // BOLT_BATCH)
    pause_at = 2 if pause_before == "first-room" else 2 + rooms_batches
    reached, go, worker = threading.Event(), threading.Event(), []

    def hook(k):
        if k == pause_at and threading.current_thread() is worker[0]:
            reached.set()
            assert go.wait(30)

    statements_of_transactions(monkeypatch, hook)
    outcome = {}

    def load(name, into):
        try:
            outcome[name] = db.load(graphs[name], into, batch_size=BOLT_BATCH)
        except (ValueError, neo4j.exceptions.Neo4jError) as exc:
            outcome[name] = exc

    worker.append(threading.Thread(target=load, args=("first", target)))
    worker[0].start()
    try:
        assert reached.wait(30)
        load("second", neo4j_driver)
    finally:
        go.set()
        worker[0].join(60)
    kept = [name for name, result in outcome.items() if not isinstance(result, Exception)]
    assert len(outcome) == 2 and len(kept) == 1, outcome
    graph = graphs[kept[0]]
    [counts] = records(neo4j_driver, "MATCH (r:Room) RETURN count(r) AS n, count(DISTINCT r.index) AS d")
    assert counts.values() == [len(graph.nodes), len(graph.nodes)]
    assert_holds(neo4j_driver, graph)
