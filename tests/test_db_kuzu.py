"""kovalith.db.load into Kùzu, and into its fork ladybug, read back against
the in-memory graph.

The two engines cannot share one process (each registers native types of
the same names; importing the second crashes), so the fork runs in a child
process that loads the graph and prints what the database holds."""

import itertools
import json
import os
import pathlib
import subprocess
import sys
import textwrap

import pytest

import db_roundtrip as rt
from kovalith import GraphNode, SpatialGraph, Vector3D, db

GRAPHS = {
    "attributed-building": rt.attributed_building,
    "hand-made": rt.hand_graph,
    "compiled-building": rt.compiled_building,
    "random-building": lambda: rt.building.random_building(5).registry().build_spatial_graph(1e-3),
}


def check(graph, rooms, contacts, hop_counts, walkways):
    rt.assert_same_records(rooms, rt.expected_rooms(graph))
    rt.assert_same_contacts(contacts, rt.expected_contacts(graph))
    rt.assert_same_contacts(walkways, rt.expected_walkways(graph), rt.LENGTH_REL_TOL)
    for counts in hop_counts:
        assert counts and all(n >= 1 for n in counts)


@pytest.mark.parametrize("name, batch_size", [("attributed-building", 7), ("hand-made", 2),
                                              ("random-building", 5000), ("compiled-building", 10)])
def test_kuzu_round_trip(name, batch_size):
    kuzu = pytest.importorskip("kuzu", reason="the kuzu package is not installed")
    graph = GRAPHS[name]()
    connection = kuzu.Connection(kuzu.Database(":memory:"))
    loaded = db.load(graph, connection, batch_size=batch_size)
    assert loaded == (len(graph.nodes), len(graph.edges), len(rt.expected_walkways(graph)))
    rooms, contacts = rt.kuzu_contents(connection)
    hops = [rt.kuzu_hop_counts(connection, r) for r in rt.routes(graph)] if len(graph.edges) > 5 else []
    check(graph, rooms, contacts, hops, rt.kuzu_walkways(connection))
    with pytest.raises(ValueError, match="already has a Room table"):
        db.load(graph, connection)


def test_kuzu_refuses_conflicting_column_types():
    kuzu = pytest.importorskip("kuzu", reason="the kuzu package is not installed")
    nodes = [GraphNode(0, Vector3D(0, 0, 0)), GraphNode(1, Vector3D(1, 0, 0))]
    nodes[0].set_attribute("level", 1)
    nodes[1].set_attribute("level", "ground")
    connection = kuzu.Connection(kuzu.Database(":memory:"))
    with pytest.raises(ValueError, match=r"node 1 \(index 1\), key 'level': .*INT64 and STRING"):
        db.load(SpatialGraph(nodes, [], []), connection)
    result = connection.execute("CALL show_tables() RETURN count(*)")
    assert result.get_next() == [0]


CHILD = textwrap.dedent("""
    import json, sys
    import ladybug
    import db_roundtrip as rt
    from kovalith import db
    import test_db_kuzu as t
    out = {}
    for name, batch_size in [("attributed-building", 7), ("compiled-building", 10)]:
        graph = t.GRAPHS[name]()
        connection = ladybug.Connection(ladybug.Database(":memory:"))
        loaded = db.load(graph, connection, batch_size=batch_size)
        rooms, contacts = rt.kuzu_contents(connection)
        hops = [rt.kuzu_hop_counts(connection, r) for r in rt.routes(graph)]
        out[name] = [list(loaded), list(rooms.values()), contacts, hops, rt.kuzu_walkways(connection)]
    json.dump(out, sys.stdout)
""")


def test_ladybug_round_trip():
    try:
        import importlib.util

        if importlib.util.find_spec("ladybug") is None:
            raise ImportError
    except ImportError:
        pytest.skip("the ladybug package (the Kùzu fork) is not installed")
    here = pathlib.Path(__file__).resolve().parent
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(here), *sys.path]))
    child = subprocess.run([sys.executable, "-c", CHILD], env=env, capture_output=True,
                           text=True, timeout=120)
    if child.returncode and "Could not find lbug" in child.stderr:
        pytest.skip(f"ladybug cannot run here: {child.stderr.strip()[-300:]}")
    assert child.returncode == 0, child.stderr
    # JSON carries ints, floats (shortest round-trip digits) and lists as
    # they are; nulls were dropped in the child.
    for name, (loaded, rooms, contacts, hops, walkways) in json.loads(child.stdout).items():
        graph = GRAPHS[name]()
        assert loaded == [len(graph.nodes), len(graph.edges), len(rt.expected_walkways(graph))]
        check(graph, {r["index"]: r for r in rooms}, [tuple(c) for c in contacts], hops,
              [tuple(w) for w in walkways])


def kuzu_state(connection):
    """Every table and every row a Kùzu database holds, comparable."""
    tables = sorted(row[0] for row in connection.execute("CALL show_tables() RETURN name").get_all())
    out = {"tables": tables}
    if "Room" in tables:
        out["rooms"], out["contacts"] = rt.kuzu_contents(connection)
    if "CONNECTS_TO" in tables:
        out["walkways"] = sorted(map(repr, rt.kuzu_walkways(connection)))
    return out


def faulty_connection(database, fail_at, error):
    """A connection whose `fail_at`-th statement raises `error` after it ran
    (None: never), counting its statements."""
    kuzu = pytest.importorskip("kuzu")
    calls = []

    class Faulty(kuzu.Connection):
        def execute(self, *args, **kwargs):
            result = super().execute(*args, **kwargs)
            calls.append(args[0])
            if len(calls) - 1 == fail_at:
                raise error
            return result

    return Faulty(database), calls


@pytest.mark.parametrize("before", ["empty", "loaded"])
def test_kuzu_failure_at_every_statement_rolls_back(before):
    """A load cut after each of its statements, by an engine error or by
    Ctrl-C: the database keeps exactly what it held (with replace=True over
    an earlier load, the old tables and rows), and the next load succeeds."""
    kuzu = pytest.importorskip("kuzu", reason="the kuzu package is not installed")
    database = kuzu.Database(":memory:")
    plain = kuzu.Connection(database)
    if before == "loaded":
        db.load(rt.hand_graph(), plain)
    expected = kuzu_state(plain)
    graph = rt.attributed_building()
    counting, calls = faulty_connection(kuzu.Database(":memory:"), None, None)
    db.load(graph, counting, batch_size=12)
    statements = [q for q in calls if q not in ("BEGIN TRANSACTION", "COMMIT")]
    # Both errors leave by the same path; they alternate to keep the run short.
    errors = itertools.cycle((KeyboardInterrupt(), RuntimeError("injected engine error")))
    for fail_at, error in zip(range(1, len(statements) + 1), errors):  # after BEGIN, before COMMIT
        connection, _ = faulty_connection(database, fail_at, error)
        with pytest.raises(type(error)):
            db.load(graph, connection, batch_size=12, replace=True)
        assert kuzu_state(plain) == expected, (statements[fail_at - 1][:60], error)
    assert db.load(graph, plain, batch_size=12, replace=True)[:2] == (len(graph.nodes), len(graph.edges))


def test_kuzu_second_load_at_once_is_refused():
    """Kùzu runs one write transaction at a time: a load while another is
    open is refused, and the first one's rooms are there once."""
    kuzu = pytest.importorskip("kuzu", reason="the kuzu package is not installed")
    database = kuzu.Database(":memory:")
    graph = rt.attributed_building()
    first, second = kuzu.Connection(database), kuzu.Connection(database)
    first.execute("BEGIN TRANSACTION")  # a load of another client, midway
    first.execute("CREATE NODE TABLE Room(`index` INT64, PRIMARY KEY(`index`))")
    with pytest.raises(ValueError, match="cannot start a transaction.*one write transaction"):
        db.load(graph, second)
    first.execute("ROLLBACK")
    assert db.load(graph, second)[0] == len(graph.nodes)
    with pytest.raises(ValueError, match="already has a Room table"):
        db.load(graph, first)
    assert second.execute("MATCH (r:Room) RETURN count(*)").get_next() == [len(graph.nodes)]


@pytest.mark.parametrize("key, message", [
    ("a`b", "key 'a`b': Kùzu cannot store a property name holding a backtick"),
    ("", "node 1 \\(index 1\\), key '': a property needs a name"),
], ids=["backtick", "empty"])
def test_kuzu_refuses_keys_it_cannot_name(key, message):
    kuzu = pytest.importorskip("kuzu", reason="the kuzu package is not installed")
    nodes = [GraphNode(0, Vector3D(0, 0, 0)), GraphNode(1, Vector3D(1, 0, 0))]
    nodes[1].set_attribute(key, 1)
    connection = kuzu.Connection(kuzu.Database(":memory:"))
    with pytest.raises(ValueError, match=message):
        db.load(SpatialGraph(nodes, [], []), connection)
    assert connection.execute("CALL show_tables() RETURN count(*)").get_next() == [0]


def documented_kuzu_recipe():
    text = (pathlib.Path(__file__).resolve().parent.parent / "docs" / "cypher.md").read_text(
        encoding="utf-8")
    section = text[text.index("\n## Kùzu\n"):]
    return section[section.index("```python\n") + 10:section.index("\n```", section.index("```python"))]


def office_graph(directory):
    from ifc_models import office_file, require_ifcopenshell

    require_ifcopenshell()
    import kovalith.ifc as kifc

    return kifc.building_graph(office_file("metres", directory)[0])


@pytest.mark.parametrize("make_graph", [lambda d: rt.compiled_building(), office_graph],
                         ids=["compiled-building", "ifc-office"])
def test_documented_kuzu_recipe_runs(tmp_path, monkeypatch, make_graph):
    """The docs' recipe, run as written on compiled graphs, whose edges carry
    lists, vectors and None: every room and contact lands, and its closing
    query finds a route."""
    kuzu = pytest.importorskip("kuzu", reason="the kuzu package is not installed")
    graph = make_graph(tmp_path)
    monkeypatch.chdir(tmp_path)
    scope = {"graph": graph}
    exec(compile(documented_kuzu_recipe(), "docs/cypher.md", "exec"), scope)
    rooms, contacts = rt.kuzu_contents(scope["conn"])
    assert sorted(rooms) == sorted(n.index for n in graph.nodes)
    assert len(contacts) == len(graph.edges)
    [[hops]] = scope["result"].get_all()
    frontier, seen, depth = {0}, {0}, 0  # fewest contacts from room 0 to room 5
    while 5 not in frontier:
        frontier = {w for e in graph.edges for u, w in ((e.node_a, e.node_b), (e.node_b, e.node_a))
                    if u in frontier and w not in seen}
        seen |= frontier
        depth += 1
    assert hops == depth
    scope["conn"].close()
