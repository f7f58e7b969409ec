"""The graph as a file of Cypher statements, one per line.

`write_cypher` writes what `SpatialGraph.to_cypher_queries` writes for a copy
of the graph whose attributes Cypher can read back (`cypher_graph`): one
``CREATE`` per room, then one ``MATCH ... CREATE`` per contact.
"""

from __future__ import annotations

import math
import os
from typing import Any

from kovalith import GraphEdge, GraphNode, SpatialGraph, Vector3D

__all__ = ["cypher_graph", "write_cypher"]


def _cypher_attributes(attributes: dict[str, Any]) -> dict[str, Any]:
    out: dict[str, Any] = {}
    for key, value in attributes.items():
        if isinstance(value, Vector3D):
            for axis in "xyz":
                out[f"{key}_{axis}"] = getattr(value, axis)
        elif value is None or (isinstance(value, float) and not math.isfinite(value)):
            continue
        else:
            out[key] = value
    return out


def cypher_graph(graph: SpatialGraph) -> SpatialGraph:
    """A copy of the graph whose attributes Cypher can read back.

    ``to_cypher_queries`` writes each attribute as Python's ``repr``, which
    is Cypher for strings, numbers, booleans and lists of them, but not for
    a `Vector3D` (an object address) or None. In the copy a vector attribute
    ``key`` becomes three floats ``key_x``, ``key_y``, ``key_z``, and None, NaN
    and infinite values are left out, as Cypher stores null: as no property.
    """
    nodes = []
    for node in graph.nodes:
        copy = GraphNode(node.index, node.centroid)
        for key, value in _cypher_attributes(node.get_all_attributes()).items():
            copy.set_attribute(key, value)
        nodes.append(copy)
    edges = []
    for edge in graph.edges:
        copy_edge = GraphEdge(edge.node_a, edge.node_b, edge.shared_area, edge.contact_centroid, edge.contact_type)
        for key, value in _cypher_attributes(edge.get_all_attributes()).items():
            copy_edge.set_attribute(key, value)
        edges.append(copy_edge)
    return SpatialGraph(nodes, edges, graph.wire_contacts)


def write_cypher(graph: SpatialGraph, path: str | os.PathLike[str]) -> int:
    """Write the Cypher statements of `cypher_graph` (the graph with its
    attributes made readable as Cypher), one per line; returns the count."""
    statements = cypher_graph(graph).to_cypher_queries()
    with open(path, "w", encoding="utf-8") as f:
        f.writelines(q + "\n" for q in statements)
    return len(statements)
