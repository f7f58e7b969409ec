"""The exported statements run unchanged on an embedded graph database."""
import pathlib
import sys

import pytest

from kovalith import GraphEdge, GraphNode, SpatialGraph, Vector3D

kuzu = pytest.importorskip(
    "kuzu", reason="the kuzu package (test extra: pip install '.[test]') is not installed")

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "bench"))
import building  # noqa: E402  (bench/building.py: generated buildings)

ROOM_COLUMNS = "index INT64, centroid_x DOUBLE, centroid_y DOUBLE, centroid_z DOUBLE"
WALL_COLUMNS = "area DOUBLE, centroid_x DOUBLE, centroid_y DOUBLE, centroid_z DOUBLE, contact_type STRING"
# Keys that would end the statement early if they were written unquoted.
HOSTILE_KEY = "x: 1}) MATCH (n) DETACH DELETE n //"
HOSTILE_BACKTICK_KEY = "a`}) MATCH (n) DETACH DELETE n //"
HOSTILE_CONTACT = "Wall'}]->(b) WITH a MATCH (n) DETACH DELETE n //\\"


def quoted(name):
    return "`" + name.replace("`", "``") + "`"


def load(statements, room_extra="", wall_extra=""):
    connection = kuzu.Connection(kuzu.Database(":memory:"))
    connection.execute(f"CREATE NODE TABLE Room({ROOM_COLUMNS}{room_extra}, PRIMARY KEY(index))")
    connection.execute(f"CREATE REL TABLE SHARES_WALL(FROM Room TO Room, {WALL_COLUMNS}{wall_extra})")
    for statement in statements:
        connection.execute(statement)
    return connection


def rows(connection, query):
    result = connection.execute(query)
    out = []
    while result.has_next():
        out.append(result.get_next())
    return out


def check_route(connection, graph, start, end):
    """Every hop of find_shortest_path is a stored relationship; returns the hops."""
    route = graph.find_shortest_path(start, end)
    assert route[0] == start and route[-1] == end
    for u, v in zip(route, route[1:]):
        [[count]] = rows(connection, f"MATCH (a:Room {{index: {u}}})-[:SHARES_WALL]-"
                                     f"(b:Room {{index: {v}}}) RETURN count(*)")
        assert count >= 1
    return len(route) - 1


def unweighted_hops(connection, start, end, limit=30):
    [[hops]] = rows(connection, f"MATCH p = (a:Room {{index: {start}}})-[:SHARES_WALL* SHORTEST "
                                f"1..{limit}]-(b:Room {{index: {end}}}) RETURN length(p)")
    return hops


class TestHandMadeGraph:
    COLS, ROWS = 4, 3

    @pytest.fixture(scope="class")
    @classmethod
    def graph(cls):
        # Rooms on a grid at odd, non-integral coordinates; every wall has the
        # same length, so the weighted route has the fewest hops too.
        nodes = []
        for k in range(cls.COLS * cls.ROWS):
            x, y = k % cls.COLS, k // cls.COLS
            nodes.append(GraphNode(k, Vector3D(x * 3.1 + 1 / 3, y * 3.1 + 0.1, 1e-7 * k)))
        edges = []
        for k in range(cls.COLS * cls.ROWS):
            if k % cls.COLS + 1 < cls.COLS:
                edges.append(GraphEdge(k, k + 1, 9.3 + k, Vector3D(k, 0.5, 1.4), "VerticalWallContact"))
            if k + cls.COLS < cls.COLS * cls.ROWS:
                edges.append(GraphEdge(k, k + cls.COLS, 0.1 * k, Vector3D(k, 1.5, 1.4),
                                       "HorizontalSlabContact"))
        nodes[0].set_attribute("name", "Kitchen")
        nodes[0].set_attribute("level", 3)
        nodes[0].set_attribute("height", 2.75)
        nodes[0].set_attribute("occupied", True)
        nodes[1].set_attribute("name", "Jo's \"den\" \\ ü")
        nodes[1].set_attribute("occupied", False)
        nodes[2].set_attribute(HOSTILE_KEY, "kept")
        nodes[2].set_attribute(HOSTILE_BACKTICK_KEY, -7)
        nodes[3].set_attribute("fire rating", "EI60")
        edges[0].set_attribute("door", "double")
        edges[0].set_attribute("width", 1.2)
        edges[1] = GraphEdge(0, cls.COLS, 7.25, Vector3D(0, 0, 0), HOSTILE_CONTACT)
        return SpatialGraph(nodes, edges, [])

    @pytest.fixture(scope="class")
    @classmethod
    def db(cls, graph):
        room_extra = (", name STRING, level INT64, height DOUBLE, occupied BOOLEAN, "
                      f"{quoted(HOSTILE_KEY)} STRING, {quoted(HOSTILE_BACKTICK_KEY)} INT64, "
                      "`fire rating` STRING")
        return load(graph.to_cypher_queries(), room_extra, ", door STRING, width DOUBLE")

    def test_counts(self, graph, db):
        assert rows(db, "MATCH (r:Room) RETURN count(*)") == [[len(graph.nodes)]]
        assert rows(db, "MATCH ()-[w:SHARES_WALL]->() RETURN count(*)") == [[len(graph.edges)]]

    def test_numbers_read_back_exactly(self, graph, db):
        stored = {r[0]: r[1:] for r in rows(db, "MATCH (r:Room) RETURN r.index, r.centroid_x, "
                                                "r.centroid_y, r.centroid_z")}
        for n in graph.nodes:
            c = n.centroid
            assert stored[n.index] == [c.x, c.y, c.z]
        areas = rows(db, "MATCH (a:Room)-[w:SHARES_WALL]->(b:Room) WHERE a.index = 0 AND "
                         f"b.index = {self.COLS} RETURN w.area, w.contact_type")
        assert areas == [[7.25, HOSTILE_CONTACT]]

    def test_attribute_values_keep_their_types(self, db):
        [first] = rows(db, "MATCH (r:Room {index: 0}) RETURN r.name, r.level, r.height, r.occupied")
        assert first == ["Kitchen", 3, 2.75, True]
        [second] = rows(db, "MATCH (r:Room {index: 1}) RETURN r.name, r.occupied")
        assert second == ["Jo's \"den\" \\ ü", False]
        [third] = rows(db, f"MATCH (r:Room {{index: 2}}) RETURN r.{quoted(HOSTILE_KEY)}, "
                           f"r.{quoted(HOSTILE_BACKTICK_KEY)}")
        assert third == ["kept", -7]
        assert rows(db, "MATCH (r:Room {index: 3}) RETURN r.`fire rating`") == [["EI60"]]
        assert rows(db, "MATCH ()-[w:SHARES_WALL {door: 'double'}]->() RETURN w.width") == [[1.2]]

    def test_route_hops(self, graph, db):
        last = self.COLS * self.ROWS - 1
        for start, end in [(0, last), (last, 0), (3, 8), (5, 5 + self.COLS)]:
            hops = check_route(db, graph, start, end)
            assert hops == unweighted_hops(db, start, end)


class TestCompiledBuilding:
    SIDE, FLOORS = 4, 3

    @pytest.fixture(scope="class")
    @classmethod
    def graph(cls):
        graph = building.grid_building(cls.SIDE, cls.FLOORS).registry().build_spatial_graph(1e-3)
        for node in graph.nodes:
            node.set_attribute("name", f"Room {node.index}")
            node.set_attribute("storey", node.index // (cls.SIDE * cls.SIDE))
        return graph

    @pytest.fixture(scope="class")
    @classmethod
    def db(cls, graph):
        return load(graph.to_cypher_queries(), ", name STRING, storey INT64")

    def test_counts(self, graph, db):
        walls, slabs, _ = building.grid_expectations(self.SIDE, self.FLOORS)
        assert len(graph.edges) == walls + slabs and graph.wire_contacts
        assert rows(db, "MATCH (r:Room) RETURN count(*)") == [[self.SIDE ** 2 * self.FLOORS]]
        assert rows(db, "MATCH ()-[w:SHARES_WALL]->() RETURN count(*)") == [[walls + slabs]]
        assert rows(db, "MATCH ()-[w:SHARES_WALL {contact_type: 'HorizontalSlabContact'}]->() "
                        "RETURN count(*)") == [[slabs]]

    def test_relationship_area_and_room_attributes(self, graph, db):
        for e in (graph.edges[0], graph.edges[-1]):
            [[area, kind, z]] = rows(db, f"MATCH (a:Room {{index: {e.node_a}}})-[w:SHARES_WALL]->"
                                         f"(b:Room {{index: {e.node_b}}}) RETURN w.area, "
                                         "w.contact_type, w.centroid_z")
            assert (area, kind, z) == (e.shared_area, e.contact_type, e.contact_centroid.z)
        last = graph.nodes[-1]
        assert rows(db, f"MATCH (r:Room {{index: {last.index}}}) RETURN r.name, r.storey, "
                        "r.centroid_x") == [[f"Room {last.index}", self.FLOORS - 1, last.centroid.x]]

    def test_route_hops(self, graph, db):
        # Rooms are equal boxes, so the cheapest route is one with fewest hops.
        last = len(graph.nodes) - 1
        for start, end in [(0, last), (last, 0), (self.SIDE - 1, last - self.SIDE + 1), (5, 6)]:
            assert check_route(db, graph, start, end) == unweighted_hops(db, start, end)

    def test_varied_building(self):
        graph = building.random_building(11).registry().build_spatial_graph(1e-3)
        db = load(graph.to_cypher_queries())
        assert rows(db, "MATCH (r:Room) RETURN count(*)") == [[len(graph.nodes)]]
        assert rows(db, "MATCH ()-[w:SHARES_WALL]->() RETURN count(*)") == [[len(graph.edges)]]
        areas = sorted(r[0] for r in rows(db, "MATCH ()-[w:SHARES_WALL]->() RETURN w.area"))
        assert areas == sorted(e.shared_area for e in graph.edges)
        reached = 0
        for end in range(1, len(graph.nodes), 5):
            if graph.find_shortest_path(0, end):
                assert check_route(db, graph, 0, end) >= unweighted_hops(db, 0, end)
                reached += 1
        assert reached > 0
