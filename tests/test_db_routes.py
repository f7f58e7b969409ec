"""The walking queries of docs/cypher.md, run verbatim on FalkorDB and Kùzu
against the demo office loaded by kovalith.db.load, and checked against
kovalith.routes (its own Dijkstra over the graph) and plain scans of the
graph: every storey, every pair of rooms, every start."""

import itertools
import math
import pathlib
import re

import pytest

from ifc_models import office_file, require_ifcopenshell

require_ifcopenshell()
pytest.importorskip("numpy", reason="kovalith.routes.distances needs NumPy")

from falkordb_server import falkordb_server  # noqa: E402, F401  (a pytest fixture)

import kovalith.ifc as kifc  # noqa: E402
from kovalith import db, routes  # noqa: E402

DOCS = pathlib.Path(__file__).resolve().parent.parent / "docs" / "cypher.md"
TAGGED = re.compile(r"<!-- query: (\S+) ([a-z ]+) -->\n```cypher\n(.*?)\n```", re.S)
# Sums of square roots added in another order by each engine.
REL_TOL = 1e-9
LIMITS = (50.0, 12.0, 0.0)  # every room; a cut through the office; none


def documented_queries():
    """(name, engine) -> query text, as the docs give them."""
    out = {}
    for name, engines, text in TAGGED.findall(DOCS.read_text(encoding="utf-8")):
        for engine in engines.split():
            out[name, engine] = text
    return out


QUERIES = documented_queries()


@pytest.fixture(scope="module")
def office(tmp_path_factory):
    path, _ = office_file("metres", tmp_path_factory.mktemp("db_routes"))
    return kifc.building_graph(path)


class FalkorDB:
    def __init__(self, graph):
        self.graph = graph

    def rows(self, query, params):
        return [list(r) for r in self.graph.query(query, params).result_set]


class Kuzu:
    def __init__(self, connection):
        self.connection = connection

    def rows(self, query, params):
        return self.connection.execute(query, params).get_all()


@pytest.fixture(scope="module", params=["falkordb", "kuzu"])
def engine(request, office):
    if request.param == "falkordb":
        server = request.getfixturevalue("falkordb_server")
        graph = server.new_graph()
        db.load(office, graph)
        yield "falkordb", FalkorDB(graph)
        graph.delete()
    else:
        kuzu = pytest.importorskip("kuzu", reason="the kuzu package is not installed")
        connection = kuzu.Connection(kuzu.Database(":memory:"))
        db.load(office, connection)
        yield "kuzu", Kuzu(connection)


def test_every_query_is_documented_for_both_engines():
    names = {"storey-rooms", "doors", "shortest-walk", "fewest-rooms", "within"}
    assert set(QUERIES) == set(itertools.product(names, ("falkordb", "kuzu")))


def names(graph):
    return [n.get_attribute("name") for n in graph.nodes]


def test_rooms_on_a_storey(engine, office):
    kind, database = engine
    storeys = {n.get_attribute("storey") for n in office.nodes} | {"no such storey"}
    for storey in storeys:
        got = [r[0] for r in database.rows(QUERIES["storey-rooms", kind], {"storey": storey})]
        assert got == sorted(n.get_attribute("name") for n in office.nodes
                             if n.get_attribute("storey") == storey), storey


def test_doors_between_two_rooms(engine, office):
    kind, database = engine
    doors = {}
    for e in office.edges:
        key = frozenset((e.node_a, e.node_b))
        doors.setdefault(key, set()).update(e.get_attribute("doors"))
    assert any(doors.values())
    label = names(office)
    for a, b in itertools.permutations(range(len(office.nodes)), 2):
        got = database.rows(QUERIES["doors", kind], {"a": label[a], "b": label[b]})
        assert sorted(r[0] for r in got) == sorted(doors.get(frozenset((a, b)), ())), (a, b)


def walk_length(office, rooms):
    """The length of a walk through `rooms` (positions), each step over the
    shortest walkable contact between the two rooms; inf if one has none."""
    total = 0.0
    for u, v in zip(rooms, rooms[1:]):
        steps = [routes.route(office, u, v, via=[k], cost="walk").length
                 for k, e in enumerate(office.edges)
                 if {e.node_a, e.node_b} == {u, v} and kifc.is_walkable(e)]
        total += min(steps, default=math.inf)
    return total


def test_shortest_walk_both_ways(engine, office):
    """Every ordered pair: the database's walk is as long as the library's,
    and is a walk (consecutive rooms share a walkable contact) of that length."""
    kind, database = engine
    label = names(office)
    position = {name: k for k, name in enumerate(label)}
    walked = 0
    for a, b in itertools.permutations(range(len(office.nodes)), 2):
        want = routes.route(office, a, b, via=kifc.is_walkable, cost="walk")
        got = database.rows(QUERIES["shortest-walk", kind], {"a": label[a], "b": label[b]})
        if not want.rooms:
            assert got == [], (a, b)
            continue
        [[path, metres]] = got
        rooms = [position[name] for name in path]
        assert rooms[0] == a and rooms[-1] == b
        assert math.isclose(metres, want.length, rel_tol=REL_TOL), (a, b)
        assert math.isclose(walk_length(office, rooms), want.length, rel_tol=REL_TOL), (a, b)
        walked += 1
    assert walked > len(office.nodes)


def test_fewest_rooms_both_ways(engine, office):
    kind, database = engine
    label = names(office)
    position = {name: k for k, name in enumerate(label)}
    walkable = [e for e in office.edges if kifc.is_walkable(e)]
    for a, b in itertools.permutations(range(len(office.nodes)), 2):
        hops = routes.route(office, a, b, via=walkable, cost="centroid")
        # Fewest rooms: a breadth-first count over the walkable contacts.
        frontier, seen, depth = {a}, {a}, 0
        while frontier and b not in frontier:
            frontier = {w for e in walkable for u, w in ((e.node_a, e.node_b), (e.node_b, e.node_a))
                        if u in frontier and w not in seen}
            seen |= frontier
            depth += 1
        got = database.rows(QUERIES["fewest-rooms", kind], {"a": label[a], "b": label[b]})
        if not hops.rooms:
            assert got in ([], [[None]]), (a, b)
            continue
        [[path]] = got
        rooms = [position[name] for name in path]
        assert (rooms[0], rooms[-1], len(rooms) - 1) == (a, b, depth), (a, b)
        assert walk_length(office, rooms) < math.inf


@pytest.mark.parametrize("metres", LIMITS)
def test_rooms_within_walking_distance(engine, office, metres):
    kind, database = engine
    label = names(office)
    for a in range(len(office.nodes)):
        reach = routes.distances(office, a, via=kifc.is_walkable, cost="walk", limit=metres)
        want = {label[k]: d for k, d in enumerate(reach.distance) if k != a and d <= metres}
        got = dict(database.rows(QUERIES["within", kind], {"a": label[a], "metres": metres}))
        assert sorted(got) == sorted(want), (a, metres)
        for name, d in want.items():
            assert math.isclose(got[name], d, rel_tol=REL_TOL), (a, name)


def test_door_widths_reach_the_walkways_in_both_engines(falkordb_server):
    """The authored house, with a second, wider door beside "Door L|H": every
    contact people cross through doors or a passage carries the widest one's
    width (a door's OverallWidth, else its body's extent across the wall) on
    the edge, in the JSON and on both CONNECTS_TO directions in FalkorDB and
    Kùzu; no other contact has one."""
    kuzu = pytest.importorskip("kuzu", reason="the kuzu package is not installed")
    from ifc_walk_models import WIDTHS, Box, author_walks

    from kovalith import interop

    model, _ = author_walks({"Door L|H 2": ("Wall L|H", Box((9.0, 9.2), (3.0, 4.2), (0.0, 2.1)), 1.15)})
    graph = kifc.compile_rooms(kifc.load(model, threads=1))
    expected = {**WIDTHS, ("Hall", "Living"): 1.15}
    names = [n.get_attribute("name") for n in graph.nodes]

    def pair(a, b):
        return tuple(sorted((names[a], names[b])))

    on_edges = {pair(e.node_a, e.node_b): e.get_attribute("width") for e in graph.edges}
    assert {p: w for p, w in on_edges.items() if w is not None} == pytest.approx(expected, abs=1e-6)
    in_json = {pair(e["source"], e["target"]): e.get("width") for e in interop.node_link_data(graph)["edges"]}
    assert in_json == on_edges

    falkor = falkordb_server.new_graph()
    connection = kuzu.Connection(kuzu.Database(":memory:"))
    try:
        db.load(graph, falkor)
        db.load(graph, connection)
        query = "MATCH (a:Room)-[w:CONNECTS_TO]->(b:Room) RETURN a.name, b.name, w.width"
        walkable = [p for p, e in zip(on_edges, graph.edges) if e.get_attribute("walkable")]
        both_ways = {(a, b): on_edges[p] for p in walkable for a, b in (p, p[::-1])}
        for rows in ([list(r) for r in falkor.query(query).result_set], connection.execute(query).get_all()):
            got = {(a, b): width for a, b, width in rows}
            assert len(got) == len(rows) and set(got) == set(both_ways)
            # FalkorDB returns doubles to 15 significant digits.
            assert {k: w for k, w in got.items() if w is not None} == pytest.approx(
                {k: w for k, w in both_ways.items() if w is not None}, rel=1e-14)
    finally:
        falkor.delete()


@pytest.mark.parametrize("variant", ["metres", "millimetres"])
def test_door_width_is_in_metres_whatever_the_file_unit(variant, tmp_path_factory):
    """The office writes every door's OverallWidth in the file's unit: each
    door contact reads the authored width in metres."""
    from ifc_office import DOOR_WIDTH

    path, layout = office_file(variant, tmp_path_factory.mktemp("widths"))
    graph = kifc.building_graph(path)
    doors = [e for e in graph.edges if e.get_attribute("doors")]
    assert len(doors) == len(layout.doors)
    assert [e.get_attribute("width") for e in doors] == pytest.approx([DOOR_WIDTH] * len(doors), rel=1e-9)
