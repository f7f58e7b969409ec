"""Routes and Cypher export on random hand-made graphs: edges naming nodes
beyond the list, shared node objects, non-finite centroids, and attribute
values whose repr() raises, returns a non-str, returns lone surrogates,
reads its own record or sets attributes on its own or another record.

Routes are compared with the plain linear-scan search of the test suite; the
export must either succeed with one statement per node and edge or raise
the error of the first hostile value in export order, and the graph must
export cleanly once the hostile values are replaced."""

from decode import Reader, use_test_helpers
from kovalith import GraphEdge, GraphNode, SpatialGraph, Vector3D

use_test_helpers()
from test_shortest_path import scan_route  # noqa: E402

CENTROID_VALUES = [0.0, 1.0, 2.0, -1.0, 0.5, 3.0, 1e308, -1e308, float("inf"), float("nan")]
KEYS = ["name", "level", "fire rating", "a`b", "x", "ключ", "_1", ""]


class Failure(Exception):
    """Raised by a hostile repr(); must reach the caller unchanged."""


class Hostile:
    def __init__(self, kind, own=None, other=None):
        self.kind, self.own, self.other = kind, own, other

    def __repr__(self):
        if self.kind == "raises":
            raise Failure("repr failed")
        if self.kind == "non-str":
            return 42
        if self.kind == "surrogate":
            return "a\ud800b"
        if self.kind == "reads own":
            return repr(sorted(self.own.get_all_attributes()))
        if self.kind == "sets own":
            self.own.set_attribute("touched", 1)
        elif self.kind == "sets other":
            self.other.set_attribute("touched", 2)
        return "'hostile'"

    def error(self, record):
        """The exception this value makes the export raise while `record`
        (the record being exported) is borrowed, or None."""
        if self.kind == "raises":
            return Failure
        if self.kind == "non-str":
            return TypeError
        if self.kind == "sets own" or (self.kind == "sets other" and self.other is record):
            return RuntimeError
        return None


KINDS = ["raises", "non-str", "surrogate", "reads own", "sets own", "sets other"]


def plain_value(r: Reader):
    return r.choice([1, -2**70, 2.5, float("nan"), "it's", "line\nbreak", None, (1, "a"),
                     "é€😀"])


def random_graph(r: Reader):
    n = r.small(6)
    nodes = [GraphNode(r.small(9), Vector3D(*(r.choice(CENTROID_VALUES) if r.chance(6)
                                              else float(r.small(3)) for _ in range(3))))
             for _ in range(n)]
    if nodes and r.chance(4):
        nodes.append(nodes[r.small(len(nodes) - 1)])  # one node object twice
    edges = []
    for _ in range(r.small(8)):
        a, b = r.small(len(nodes)), r.small(len(nodes))  # may name the position len(nodes)
        edges.append(GraphEdge(a, b, 1.0, Vector3D(0, 0, 0), "VerticalWallContact"))
    return nodes, edges


def decorate(r: Reader, records):
    """Sets plain and hostile attributes; returns the hostile (record, key) pairs."""
    hostile = []
    for record in records:
        for _ in range(r.small(3)):
            key = r.choice(KEYS)
            if r.chance(4):
                value = Hostile(r.choice(KINDS), own=record, other=r.choice(records))
                hostile.append((record, key))
            else:
                value = plain_value(r)
            record.set_attribute(key, value)
    return hostile


def expected_export_error(records):
    for record in records:
        for value in record.get_all_attributes().values():
            if isinstance(value, Hostile) and (error := value.error(record)):
                return error
    return None


def check_routes(r: Reader, graph, nodes, edges) -> None:
    n = len(nodes)
    centroids = [(c.x, c.y, c.z) for c in (node.centroid for node in nodes)]
    pairs = [(e.node_a, e.node_b) for e in edges]
    bad = [k for k, (a, b) in enumerate(pairs) if a >= n or b >= n]
    for _ in range(1 + r.small(3)):
        start, end = r.small(n), r.small(n)
        try:
            route = graph.find_shortest_path(start, end)
        except ValueError as e:
            assert start >= n or end >= n
            assert str(e) == "Start or End node index out of bounds."
            continue
        except IndexError as e:
            assert start < n and end < n and bad
            a, b = pairs[bad[0]]
            assert str(e) == f"Edge {bad[0]} references out-of-bounds node {a if a >= n else b}."
            continue
        assert start < n and end < n and not bad
        assert route == scan_route(centroids, pairs, start, end)


def check_export(graph, nodes, edges, hostile) -> None:
    expected = expected_export_error(nodes + edges)
    try:
        statements = graph.to_cypher_queries()
    except (Failure, TypeError, RuntimeError) as e:
        assert type(e) is expected, (e, expected)
    else:
        assert expected is None
        assert len(statements) == len(nodes) + len(edges)
        for node, text in zip(nodes, statements):
            assert text.startswith(f"CREATE (r{node.index}:Room {{index: {node.index}, ")
        for edge, text in zip(edges, statements[len(nodes):]):
            ends = f"MATCH (a:Room {{index: {edge.node_a}}}), (b:Room {{index: {edge.node_b}}})"
            assert text.startswith(ends + " CREATE (a)-[:SHARES_WALL {")
    # The graph and its records stay usable: with the hostile values replaced
    # the export succeeds, and every key set so far is still there.
    for record, key in hostile:
        record.set_attribute(key, "calm")
    statements = graph.to_cypher_queries()
    assert len(statements) == len(nodes) + len(edges)
    assert "\ud800" not in "".join(statements)


def test_one_input(data: bytes) -> None:
    r = Reader(data)
    nodes, edges = random_graph(r)
    hostile = decorate(r, nodes + edges)
    graph = SpatialGraph(nodes, edges, [])
    check_routes(r, graph, nodes, edges)
    check_export(graph, nodes, edges, hostile)
    assert graph.nodes == nodes and graph.edges == edges


if __name__ == "__main__":
    from decode import fuzz_forever

    fuzz_forever(test_one_input)
