"""kovalith.db.load into Kùzu, and into its fork ladybug, read back against
the in-memory graph.

The two engines cannot share one process (each registers native types of
the same names; importing the second crashes), so the fork runs in a child
process that loads the graph and prints what the database holds."""

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
    "random-building": lambda: rt.building.random_building(5).registry().build_spatial_graph(1e-3),
}


def check(graph, rooms, contacts, hop_counts):
    rt.assert_same_records(rooms, rt.expected_rooms(graph))
    rt.assert_same_contacts(contacts, rt.expected_contacts(graph))
    for counts in hop_counts:
        assert counts and all(n >= 1 for n in counts)


@pytest.mark.parametrize("name, batch_size", [("attributed-building", 7), ("hand-made", 2),
                                              ("random-building", 5000)])
def test_kuzu_round_trip(name, batch_size):
    kuzu = pytest.importorskip("kuzu", reason="the kuzu package is not installed")
    graph = GRAPHS[name]()
    connection = kuzu.Connection(kuzu.Database(":memory:"))
    assert db.load(graph, connection, batch_size=batch_size) == (len(graph.nodes), len(graph.edges))
    rooms, contacts = rt.kuzu_contents(connection)
    hops = [rt.kuzu_hop_counts(connection, r) for r in rt.routes(graph)] if len(graph.edges) > 5 else []
    check(graph, rooms, contacts, hops)
    with pytest.raises(ValueError, match="already has a Room table"):
        db.load(graph, connection)


def test_kuzu_refuses_conflicting_column_types():
    kuzu = pytest.importorskip("kuzu", reason="the kuzu package is not installed")
    nodes = [GraphNode(0, Vector3D(0, 0, 0)), GraphNode(1, Vector3D(1, 0, 0))]
    nodes[0].set_attribute("level", 1)
    nodes[1].set_attribute("level", "ground")
    connection = kuzu.Connection(kuzu.Database(":memory:"))
    with pytest.raises(ValueError, match=r"room 1 \(index 1\), key 'level': .*INT64 and STRING"):
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
    for name, batch_size in [("attributed-building", 7), ("random-building", 5000)]:
        graph = t.GRAPHS[name]()
        connection = ladybug.Connection(ladybug.Database(":memory:"))
        loaded = db.load(graph, connection, batch_size=batch_size)
        rooms, contacts = rt.kuzu_contents(connection)
        hops = [rt.kuzu_hop_counts(connection, r) for r in rt.routes(graph)]
        out[name] = [list(loaded), list(rooms.values()), contacts, hops]
    json.dump(out, sys.stdout)
""")


def test_ladybug_round_trip():
    try:
        import importlib.util

        if importlib.util.find_spec("ladybug") is None:
            raise ImportError
    except ImportError:
        pytest.skip("the ladybug package (the Kùzu fork) is not installed")
    if "ASAN_OPTIONS" in os.environ:
        pytest.skip("the child process cannot load the sanitizer build of kovalith")
    here = pathlib.Path(__file__).resolve().parent
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(here), *sys.path]))
    child = subprocess.run([sys.executable, "-c", CHILD], env=env, capture_output=True,
                           text=True, timeout=120)
    if child.returncode and "Could not find lbug" in child.stderr:
        pytest.skip(f"ladybug cannot run here: {child.stderr.strip()[-300:]}")
    assert child.returncode == 0, child.stderr
    # JSON carries ints, floats (shortest round-trip digits) and lists as
    # they are; nulls were dropped in the child.
    for name, (loaded, rooms, contacts, hops) in json.loads(child.stdout).items():
        graph = GRAPHS[name]()
        assert loaded == [len(graph.nodes), len(graph.edges)]
        check(graph, {r["index"]: r for r in rooms}, [tuple(c) for c in contacts], hops)
