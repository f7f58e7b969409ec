"""A `SpatialGraph` for analysis tools: networkx graphs, node-link JSON and NumPy edge arrays.

Nodes are numbered by their position in ``graph.nodes``, the numbering that
``find_shortest_path`` and the edges' ``node_a``/``node_b`` use. Each edge
also carries ``distance``, the straight-line distance between the centroids
of its two rooms: the cost that ``find_shortest_path`` minimises, so
``networkx.shortest_path(G, a, b, weight="distance")`` finds a route of the
same length. Lengths are in the model's unit, areas in its square.

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
from collections import Counter
from typing import Any, NamedTuple

from kovalith import SpatialGraph, Vector3D

__all__ = ["EdgeArrays", "edge_arrays", "node_centroids", "to_networkx", "node_link_data", "write_json"]

NODE_FIELDS = ("index", "centroid")
EDGE_FIELDS = ("area", "contact_centroid", "contact_type", "distance")


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


def to_networkx(graph: SpatialGraph, *, multigraph: bool = True) -> Any:
    """The graph as a `networkx.MultiGraph` (or `networkx.Graph`).

    Node ``k`` is ``graph.nodes[k]``, with data ``index``, ``centroid`` (an
    (x, y, z) tuple) and every attribute under its own key. Each edge has
    data ``area`` (``shared_area``), ``contact_centroid`` (a tuple),
    ``contact_type``, ``distance`` (see the module docstring) and every
    attribute; in a MultiGraph its key is its position in ``graph.edges``.
    Attribute values are the stored objects themselves.

    Parameters
    ----------
    graph : kovalith.SpatialGraph
    multigraph : bool, optional
        False for a `networkx.Graph`, which holds one edge per pair of rooms.

    Raises
    ------
    ValueError
        An edge naming a node position past the node list; with
        ``multigraph=False``, two contacts between the same rooms (they
        would be merged silently); an attribute key equal to a fixed field.
    TypeError
        `graph` is not a `SpatialGraph`.
    """
    try:
        import networkx as nx  # type: ignore[import-untyped]
    except ImportError as exc:
        raise ImportError("kovalith.interop.to_networkx needs networkx: "
                          "pip install 'kovalith[interop]'") from exc
    _check_graph(graph)
    ends = _endpoints(graph)
    centroids = _centroids(graph)
    out = nx.MultiGraph() if multigraph else nx.Graph()
    for k, node in enumerate(graph.nodes):
        data = _with_attributes({"index": node.index, "centroid": centroids[k]},
                                node.get_all_attributes(), f"node {k}")
        out.add_node(k, **data)
    for k, (edge, (a, b)) in enumerate(zip(graph.edges, ends)):
        c = edge.contact_centroid
        data = _with_attributes({"area": edge.shared_area, "contact_centroid": (c.x, c.y, c.z),
                                 "contact_type": edge.contact_type,
                                 "distance": _distance(centroids[a], centroids[b])},
                                edge.get_all_attributes(), f"edge {k} ({a}-{b})")
        if multigraph:
            out.add_edge(a, b, key=k, **data)
        elif out.has_edge(a, b):
            raise ValueError(f"graph: edge {k} ({a}-{b}) joins two rooms that an earlier edge "
                             "joins already; use multigraph=True")
        else:
            out.add_edge(a, b, **data)
    return out


def _with_attributes(fixed: dict[str, Any], attributes: dict[str, Any], what: str) -> dict[str, Any]:
    for key in attributes:
        if key in fixed:
            raise ValueError(f"{what}: attribute {key!r} has the name of a fixed field "
                             f"({', '.join(fixed)})")
    fixed.update(attributes)
    return fixed


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


def _json_value(value: Any) -> Any:
    if isinstance(value, Vector3D):
        return [_json_value(value.x), _json_value(value.y), _json_value(value.z)]
    if isinstance(value, float):
        return value if math.isfinite(value) else None
    if value is None or isinstance(value, (bool, int, str)):
        return value
    if isinstance(value, (list, tuple)):
        return [_json_value(v) for v in value]
    if isinstance(value, dict):
        return {str(k): _json_value(v) for k, v in value.items()}
    return repr(value)


def node_link_data(graph: SpatialGraph) -> dict[str, Any]:
    """The graph as node-link data for ``networkx.node_link_graph(data)``.

    A multigraph (two rooms may touch in more than one plane): nodes carry
    ``id`` (the node position), ``centroid`` and every attribute; edges carry
    ``source``, ``target``, ``key`` (0, 1, ... per pair), ``shared_area``,
    ``contact_centroid``, ``contact_type`` and every attribute. Vectors become
    ``[x, y, z]``, tuples lists, NaN and infinities null, other values their
    ``repr``. Those field names win over attributes of the same name.
    """
    nodes = []
    for i, node in enumerate(graph.nodes):
        record = {k: _json_value(v) for k, v in node.get_all_attributes().items()}
        record.update(id=i, centroid=_json_value(node.centroid))
        nodes.append(record)
    edges = []
    keys: Counter[tuple[int, int]] = Counter()
    for edge in graph.edges:
        pair = (edge.node_a, edge.node_b)
        record = {k: _json_value(v) for k, v in edge.get_all_attributes().items()}
        record.update(source=edge.node_a, target=edge.node_b, key=keys[pair], shared_area=edge.shared_area,
                      contact_centroid=_json_value(edge.contact_centroid), contact_type=edge.contact_type)
        keys[pair] += 1
        edges.append(record)
    return {"directed": False, "multigraph": True, "graph": {}, "nodes": nodes, "edges": edges}


def write_json(graph: SpatialGraph, path: str | os.PathLike[str]) -> None:
    """Write `node_link_data` of the graph as strict JSON (UTF-8)."""
    with open(path, "w", encoding="utf-8") as f:
        json.dump(node_link_data(graph), f, allow_nan=False, ensure_ascii=False)
        f.write("\n")
