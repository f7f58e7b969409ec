"""A `SpatialGraph` for analysis tools: networkx graphs, node-link JSON and NumPy edge arrays.

Nodes are numbered by their position in ``graph.nodes``, the numbering that
``find_shortest_path`` and the edges' ``node_a``/``node_b`` use; a
MultiGraph's edge key is the edge's position in ``graph.edges``. Node and
edge data follow `kovalith.values`, the schema of every output: ``index`` and
``centroid`` on nodes, ``shared_area``, ``contact_centroid`` and
``contact_type`` on edges, then the attributes, vectors as ``[x, y, z]``
lists, None and non-finite numbers left out. So the JSON file and the
networkx graph are the same graph::

    networkx.node_link_graph(json.load(open(path))) == to_networkx(graph)  # nodes, edges, data

``to_networkx(graph, distance=True)`` adds ``distance`` to each edge, the
straight-line distance between the centroids of its two rooms: the cost that
``find_shortest_path`` minimises, so ``networkx.shortest_path(G, a, b,
weight="distance")`` finds a route of the same length. `edge_arrays` has it
too. Lengths are in the model's unit, areas in its square.

For scipy, igraph or rustworkx::

    from scipy.sparse import coo_array
    from scipy.sparse.csgraph import dijkstra

    e = edge_arrays(graph)
    n = len(graph.nodes)
    # A sparse matrix sums repeated entries: keep one per pair of rooms
    # (parallel contacts share their distance).
    pairs, first = np.unique(np.column_stack([e.node_a, e.node_b]), axis=0,
                             return_index=True)
    matrix = coo_array((e.distance[first], (pairs[:, 0], pairs[:, 1])), shape=(n, n))
    lengths = dijkstra(matrix.tocsr(), directed=False, indices=0)

    import igraph
    g = igraph.Graph(n=n, edges=list(zip(e.node_a, e.node_b)),
                     edge_attrs={"area": e.area})
"""

from __future__ import annotations

import json
import math
import os
from typing import Any, Literal, NamedTuple

from kovalith import SpatialGraph
from kovalith.values import building_documents, graph_properties

__all__ = ["EdgeArrays", "edge_arrays", "node_centroids", "to_networkx", "node_link_data", "write_json"]


def _check_graph(graph: Any) -> None:
    if not isinstance(graph, SpatialGraph):
        raise TypeError(f"graph: expected a kovalith.SpatialGraph, got {type(graph).__name__}")


def _endpoints(graph: SpatialGraph) -> list[tuple[int, int]]:
    n = len(graph.nodes)
    out = []
    for k, e in enumerate(graph.edges):
        a, b = e.node_a, e.node_b
        if a >= n or b >= n:
            raise ValueError(f"graph: edge {k} ({a}-{b}) names a node position beyond the "
                             f"{n} nodes")
        out.append((a, b))
    return out


def _distance(p: tuple[float, float, float], q: tuple[float, float, float]) -> float:
    # The same sum, in the same order, as the shortest-path search.
    dx, dy, dz = p[0] - q[0], p[1] - q[1], p[2] - q[2]
    return math.sqrt((dx * dx + dy * dy) + dz * dz)


def _centroids(graph: SpatialGraph) -> list[tuple[float, float, float]]:
    out = []
    for node in graph.nodes:
        c = node.centroid
        out.append((c.x, c.y, c.z))
    return out


def to_networkx(graph: SpatialGraph, *, multigraph: bool = True, distance: bool = False,
                non_finite: Literal["omit", "raise"] = "omit") -> Any:
    """The graph as a `networkx.MultiGraph` (or `networkx.Graph`).

    Node ``k`` is ``graph.nodes[k]`` and edge key ``k`` is ``graph.edges[k]``;
    their data are `kovalith.values.graph_properties`, the properties every
    output writes (see the module docstring), so this is the graph
    `node_link_data` describes.

    Parameters
    ----------
    graph : kovalith.SpatialGraph
    multigraph : bool, optional
        False for a `networkx.Graph`, which holds one edge per pair of rooms.
    distance : bool, optional
        Also give each edge ``distance``, the straight line between its two
        rooms' centroids (see the module docstring).
    non_finite : {"omit", "raise"}
        NaN and infinite values left out, or refused with ``ValueError``.

    Raises
    ------
    ValueError
        An edge naming a node position past the node list; with
        ``multigraph=False``, two contacts between the same rooms (they
        would be merged silently); an attribute named like a field of the
        schema (``centroid``, ``shared_area``, ...), like a field of the
        node-link format or an argument of networkx (``id``, ``key``,
        ``source``, ``u_for_edge``, ...), or ``distance`` when it is asked
        for; a value `kovalith.values` refuses.
    TypeError
        `graph` is not a `SpatialGraph`, or a value of a kind no output stores.
    """
    try:
        import networkx as nx  # type: ignore[import-untyped]
    except ImportError as exc:
        raise ImportError("kovalith.interop.to_networkx needs networkx: "
                          "pip install 'kovalith[interop]'") from exc
    _check_graph(graph)
    ends = _endpoints(graph)
    nodes, edges = graph_properties(graph, non_finite=non_finite)
    if distance:
        centroids = _centroids(graph)
        for k, (data, (a, b)) in enumerate(zip(edges, ends)):
            if "distance" in data:
                raise ValueError(f"edge {k} ({a}-{b}): attribute 'distance' has the name of the "
                                 "field distance=True adds")
            data["distance"] = _distance(centroids[a], centroids[b])
    out = nx.MultiGraph() if multigraph else nx.Graph()
    # Data go in as dicts, never as keyword arguments, so no attribute name
    # can collide with a parameter of networkx.
    out.add_nodes_from(enumerate(nodes))
    if multigraph:
        out.add_edges_from((a, b, k, data) for k, ((a, b), data) in enumerate(zip(ends, edges)))
        return out
    for k, ((a, b), data) in enumerate(zip(ends, edges)):
        if out.has_edge(a, b):
            raise ValueError(f"graph: edge {k} ({a}-{b}) joins two rooms that an earlier edge "
                             "joins already; use multigraph=True")
        out.add_edge(a, b)
        out.edges[a, b].update(data)
    return out


class EdgeArrays(NamedTuple):
    """Per-edge NumPy arrays, row k for ``graph.edges[k]``.

    Attributes
    ----------
    node_a, node_b : numpy.ndarray
        (m,) int64 node positions.
    area : numpy.ndarray
        (m,) float64 shared areas.
    centroid : numpy.ndarray
        (m, 3) float64 contact centroids.
    distance : numpy.ndarray
        (m,) float64 distances between the two rooms' centroids.
    """

    node_a: Any
    node_b: Any
    area: Any
    centroid: Any
    distance: Any


def _numpy() -> Any:
    try:
        import numpy
    except ImportError as exc:
        raise ImportError("kovalith.interop needs NumPy: pip install 'kovalith[interop]'") from exc
    return numpy


def edge_arrays(graph: SpatialGraph) -> EdgeArrays:
    """The edges of `graph` as NumPy arrays (see `EdgeArrays`).

    Raises
    ------
    ValueError
        An edge naming a node position past the node list.
    """
    np = _numpy()
    _check_graph(graph)
    ends = _endpoints(graph)
    m = len(ends)
    pairs = np.array(ends, dtype=np.int64).reshape(m, 2)
    area = np.empty(m)
    centroid = np.empty((m, 3))
    for k, edge in enumerate(graph.edges):
        c = edge.contact_centroid
        area[k] = edge.shared_area
        centroid[k] = (c.x, c.y, c.z)
    nodes = node_centroids(graph)
    diff = nodes[pairs[:, 0]] - nodes[pairs[:, 1]]
    distance = np.sqrt((diff[:, 0] * diff[:, 0] + diff[:, 1] * diff[:, 1]) + diff[:, 2] * diff[:, 2])
    return EdgeArrays(pairs[:, 0].copy(), pairs[:, 1].copy(), area, centroid, distance)


def node_centroids(graph: SpatialGraph) -> Any:
    """(n, 3) float64 array of the node centroids, row k for ``graph.nodes[k]``."""
    np = _numpy()
    _check_graph(graph)
    return np.array(_centroids(graph), dtype=np.float64).reshape(len(graph.nodes), 3)


def node_link_data(graph: SpatialGraph, *, non_finite: Literal["omit", "raise"] = "omit") -> dict[str, Any]:
    """The graph as node-link data for ``networkx.node_link_graph(data)``.

    A multigraph (two rooms may touch in more than one plane) that reads
    back as `to_networkx` gives it: each node has ``id``, its position, then
    its properties; each edge ``source`` and ``target`` (``node_a`` and
    ``node_b``), ``key``, its position in ``graph.edges``, then its
    properties (`kovalith.values`: ``index``, ``centroid``, attributes;
    ``shared_area``, ``contact_centroid``, ``contact_type``, attributes).
    Raises what `kovalith.values.graph_properties` raises.
    """
    _check_graph(graph)
    ends = _endpoints(graph)
    nodes, edges = graph_properties(graph, non_finite=non_finite)
    return {
        "directed": False, "multigraph": True, "graph": {},
        "nodes": [{"id": i, **data} for i, data in enumerate(nodes)],
        "edges": [{"source": a, "target": b, "key": k, **data} for k, ((a, b), data) in enumerate(zip(ends, edges))],
    }


def write_json(graph: SpatialGraph, path: str | os.PathLike[str], *,
               non_finite: Literal["omit", "raise"] = "omit") -> None:
    """Write `node_link_data` of the graph as strict JSON (UTF-8); nothing is
    written when a value is refused."""
    # One string: json.dump would hand the file thousands of small pieces.
    with building_documents():
        text = json.dumps(node_link_data(graph, non_finite=non_finite), allow_nan=False, ensure_ascii=False,
                          check_circular=False)
    with open(path, "w", encoding="utf-8") as f:
        f.write(text)
        f.write("\n")
