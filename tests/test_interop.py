"""kovalith.interop against the graph's own records and its router."""

import math
import os

import pytest

if "ASAN_OPTIONS" in os.environ and "suppressions" not in os.environ.get("LSAN_OPTIONS", ""):
    pytest.skip("NumPy, which networkx and scipy load, leaks at exit under the sanitizer "
                "(run with LSAN_OPTIONS=suppressions=tests/lsan.supp)", allow_module_level=True)

import db_roundtrip as rt
from kovalith import GraphEdge, GraphNode, SpatialGraph, Vector3D
from kovalith.interop import edge_arrays, node_centroids, to_networkx

nx = pytest.importorskip("networkx", reason="networkx (the interop extra) is not installed")
np = pytest.importorskip("numpy", reason="NumPy (the interop extra) is not installed")


def random_graph():
    graph = rt.building.random_building(3).registry().build_spatial_graph(1e-3)
    for k, node in enumerate(graph.nodes):
        node.set_attribute("name", f"Room {k}")
    for k, edge in enumerate(graph.edges):
        edge.set_attribute("openings", [k])
        edge.set_attribute("opening_centroid", Vector3D(k, 0, 0) if k % 2 else None)
    return graph


def point(v):
    return (v.x, v.y, v.z)


def schema_value(value):
    """What every output holds for an attribute value (None: left out)."""
    if isinstance(value, Vector3D):
        value = [value.x, value.y, value.z]
    if isinstance(value, tuple):
        value = list(value)
    if isinstance(value, list) and any(isinstance(x, float) for x in value):
        value = [float(x) for x in value]
    if isinstance(value, float) and not math.isfinite(value):
        return None
    if isinstance(value, list) and any(isinstance(x, float) and not math.isfinite(x) for x in value):
        return None
    return value


def schema_attributes(record):
    return {k: schema_value(v) for k, v in record.get_all_attributes().items() if schema_value(v) is not None}


@pytest.mark.parametrize("make_graph", [random_graph, rt.attributed_building],
                         ids=["random-building", "attributed-building"])
def test_networkx_and_arrays_match_the_graph(make_graph):
    graph = make_graph()
    nodes, edges = graph.nodes, graph.edges
    multi = to_networkx(graph, distance=True)
    assert sorted(multi.nodes) == list(range(len(nodes)))
    for k, node in enumerate(nodes):
        data = dict(multi.nodes[k])
        assert data.pop("index") == node.index and data.pop("centroid") == list(point(node.centroid))
        assert data == schema_attributes(node)
    assert multi.number_of_edges() == len(edges)
    for k, edge in enumerate(edges):
        data = dict(multi.edges[edge.node_a, edge.node_b, k])
        assert data.pop("shared_area") == edge.shared_area and data.pop("contact_type") == edge.contact_type
        assert data.pop("contact_centroid") == list(point(edge.contact_centroid))
        a, b = nodes[edge.node_a].centroid, nodes[edge.node_b].centroid
        assert data.pop("distance") == pytest.approx(math.dist(point(a), point(b)), rel=1e-15)
        assert data == schema_attributes(edge)
    assert not any("distance" in d for _, _, d in to_networkx(graph).edges(data=True))

    arrays = edge_arrays(graph)
    assert arrays.node_a.tolist() == [e.node_a for e in edges]
    assert arrays.node_b.tolist() == [e.node_b for e in edges]
    assert arrays.area.tolist() == [e.shared_area for e in edges]
    assert arrays.centroid.tolist() == [list(point(e.contact_centroid)) for e in edges]
    assert arrays.distance.tolist() == [multi.edges[e.node_a, e.node_b, k]["distance"]
                                        for k, e in enumerate(edges)]
    assert node_centroids(graph).tolist() == [list(point(n.centroid)) for n in nodes]

    # Routes: the router's cost equals networkx's and scipy's shortest lengths.
    scipy_sparse = pytest.importorskip("scipy.sparse")
    from scipy.sparse.csgraph import dijkstra

    n = len(nodes)
    # A sparse matrix sums repeated entries: one entry per pair of rooms
    # (parallel contacts share their distance).
    pairs, first = np.unique(np.column_stack([arrays.node_a, arrays.node_b]), axis=0,
                             return_index=True)
    matrix = scipy_sparse.coo_array((arrays.distance[first], (pairs[:, 0], pairs[:, 1])), shape=(n, n))
    lengths = dijkstra(matrix.tocsr(), directed=False, indices=0)
    reached = 0
    for end in range(1, n):
        route = graph.find_shortest_path(0, end)
        if not route:
            assert not nx.has_path(multi, 0, end) and math.isinf(lengths[end])
            continue
        cost = sum(min(d["distance"] for d in multi.get_edge_data(u, v).values())
                   for u, v in zip(route, route[1:]))
        assert cost == pytest.approx(nx.dijkstra_path_length(multi, 0, end, weight="distance"))
        assert cost == pytest.approx(lengths[end])
        reached += 1
    assert reached > n // 2


def test_simple_graph_refuses_parallel_contacts():
    nodes = [GraphNode(0, Vector3D(0, 0, 0)), GraphNode(1, Vector3D(1, 0, 0))]
    one = GraphEdge(0, 1, 2.0, Vector3D(0.5, 0, 0), "VerticalWallContact")
    simple = to_networkx(SpatialGraph(nodes, [one], []), multigraph=False)
    assert isinstance(simple, nx.Graph) and not simple.is_multigraph()
    assert simple.edges[0, 1]["shared_area"] == 2.0
    two = SpatialGraph(nodes, [one, GraphEdge(1, 0, 3.0, Vector3D(0, 0, 1), "x")], [])
    with pytest.raises(ValueError, match="multigraph=True"):
        to_networkx(two, multigraph=False)
    assert to_networkx(two).number_of_edges() == 2
    dangling = SpatialGraph(nodes, [GraphEdge(0, 5, 1.0, Vector3D(0, 0, 0), "x")], [])
    for convert in (to_networkx, edge_arrays):
        with pytest.raises(ValueError, match="edge 0 "):
            convert(dangling)
    nodes[0].set_attribute("centroid", 1)
    with pytest.raises(ValueError, match="node 0 .*key 'centroid'.*taken by the schema"):
        to_networkx(SpatialGraph(nodes, [], []))
