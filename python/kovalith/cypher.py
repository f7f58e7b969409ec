"""The graph as a file of Cypher statements.

`write_cypher` writes one ``CREATE`` per room, then one ``MATCH ... CREATE``
per contact, finding its rooms by ``index``, then one per direction of every
contact a person can cross, each statement on a line of its own and ended
by ``;``::

    CREATE (:Room {index: 0, centroid: [1.5, 2.0, 1.4], `name`: 'Office 1'});
    MATCH (a:Room {index: 0}), (b:Room {index: 1}) CREATE (a)-[:SHARES_WALL {shared_area: 7.5, ...}]->(b);
    MATCH (a:Room {index: 0}), (b:Room {index: 1}) CREATE (a)-[:CONNECTS_TO {via: ['door'], length: 6.2}]->(b);

The file holds the graph that `kovalith.db.load` loads: the same rooms and
``SHARES_WALL`` contacts, and the same ``CONNECTS_TO`` walkways (their
``via``, ``length`` and ``width`` from
`kovalith.values.walkway_properties`). Kùzu needs its tables created first
(``Room``, ``SHARES_WALL`` and ``CONNECTS_TO``, typed as `kovalith.db`
types them); FalkorDB and Neo4j need nothing.

Properties are those of `kovalith.values`, the schema of every output, and
every value is a Cypher literal that Neo4j, FalkorDB and Kùzu read back as
the same value:

- strings in single quotes, with ``\\`` and ``\'`` escaped and every other
  character written as it is (UTF-8). The engines agree on no other escape
  (Kùzu reads ``\n`` as ``n``, FalkorDB ``\u00e9`` as six characters), so a
  line break inside a string is written as it is, and only such a string
  spans lines: read the file with `read_statements`, or with a Cypher shell,
  never line by line;
- floats in the shortest form that reads back as the same double (a
  subnormal one, below 2.2e-308, which FalkorDB cannot read as a literal,
  as an exact quotient);
- attribute names in backticks, as any word may be a keyword to one engine
  (``order``, ``end`` and ``desc`` are to Kùzu).

Refused before anything is written, with ``ValueError``: a string holding
NUL (FalkorDB's parser ends the query there), a name holding a backtick
(FalkorDB cannot read one quoted), and what the value policy refuses.

`SpatialGraph.to_cypher_queries` stays the core module's own export, with its
own data model; this file is the one to load into a database.
"""

from __future__ import annotations

import os
from typing import Any, Callable, Literal

from kovalith import GraphEdge, GraphNode, SpatialGraph
from kovalith.values import (EDGE_FIELDS, NODE_FIELDS, WALKWAY_FIELDS, building_documents, convert, graph_properties,
                             walkway_properties)

__all__ = ["ROOM_LABEL", "CONTACT_TYPE", "WALKWAY_TYPE", "literal", "name", "cypher_statements", "write_cypher",
           "read_statements", "cypher_graph"]

ROOM_LABEL = "Room"
CONTACT_TYPE = "SHARES_WALL"
WALKWAY_TYPE = "CONNECTS_TO"
_INT64_MIN = -(2**63)
_SMALLEST_NORMAL = 2.2250738585072014e-308
_SUBNORMAL_SCALE = 2.0**600
# Names written bare: the schema's own, which no engine takes for a keyword.
_BARE_NAMES = frozenset(NODE_FIELDS + EDGE_FIELDS + WALKWAY_FIELDS + (ROOM_LABEL, CONTACT_TYPE, WALKWAY_TYPE))
_ESCAPES = str.maketrans({"\\": "\\\\", "'": "\\'"})


def _string(text: str) -> str:
    if "\0" in text:
        raise ValueError(f"{text!r} holds a NUL character, which FalkorDB cannot read in a query")
    return "'" + text.translate(_ESCAPES) + "'"


def _float(x: float) -> str:
    # repr is the shortest text that reads back as the same double; Cypher
    # writes no "+" in an exponent.
    if 0.0 < abs(x) < _SMALLEST_NORMAL:
        # FalkorDB refuses a subnormal literal: write it as a normal number
        # divided by a power of two, which is exact both ways.
        return f"({repr(x * _SUBNORMAL_SCALE).replace('e+', 'e')} / {repr(_SUBNORMAL_SCALE).replace('e+', 'e')})"
    return repr(x).replace("e+", "e")


def literal(value: Any) -> str:
    """The Cypher literal of a value as `kovalith.values` converts it:
    ``str``, ``bool``, ``int``, finite ``float`` or a list of them.

    Raises
    ------
    ValueError
        A string holding NUL, or a non-finite float (Cypher has no literal).
    TypeError
        Any other type.
    """
    cls = type(value)
    if cls is str:
        return _string(value)
    if cls is bool:
        return "true" if value else "false"
    if cls is int:
        # -2**63 has no literal of its own: its magnitude overflows before the minus.
        return str(value) if value != _INT64_MIN else f"({value + 1} - 1)"
    if cls is float:
        if value - value != 0.0:
            raise ValueError(f"{value!r} has no Cypher literal")
        return _float(value)
    if cls is list:
        return "[" + ", ".join(map(literal, value)) + "]"
    raise TypeError(f"no Cypher literal for a value of type {cls.__name__}")


def name(text: str) -> str:
    """A property key, label or relationship type as Cypher reads it: in
    backticks, but for the schema's own names (``index``, ``centroid``, ...).

    Raises
    ------
    ValueError
        An empty name, or one holding a backtick or NUL.
    """
    if text in _BARE_NAMES:
        return text
    if not text or "`" in text or "\0" in text:
        raise ValueError(f"{text!r} cannot be a Cypher name: it is empty or holds a backtick or NUL")
    return "`" + text + "`"


def _map(properties: dict[str, Any], what: Callable[[], str]) -> str:
    parts = []
    for key, value in properties.items():
        try:
            parts.append(f"{name(key)}: {literal(value)}")
        except ValueError as exc:
            raise ValueError(f"{what()}, key {key!r}: {exc}") from None
    return "{" + ", ".join(parts) + "}"


def cypher_statements(graph: SpatialGraph, *, non_finite: Literal["omit", "raise"] = "omit") -> list[str]:
    """The statements `write_cypher` writes (without their ``;``), rooms
    first, then contacts in edge order, then the walkways: for each contact
    a person can cross, in edge order, one from the ``node_a`` room to the
    ``node_b`` room and one back.

    Raises
    ------
    ValueError, TypeError
        What `kovalith.values.graph_properties` refuses; a string holding
        NUL or a name holding a backtick; two rooms of one ``index``, or an
        edge whose end is not a node position (a contact would be lost or
        doubled).
    """
    nodes, edges = graph_properties(graph, non_finite=non_finite)
    room, contact = name(ROOM_LABEL), name(CONTACT_TYPE)
    indices = [n.index for n in graph.nodes]
    first: dict[int, int] = {}
    for k, index in enumerate(indices):
        if first.setdefault(index, k) != k:
            raise ValueError(f"node {k}: index {index} is the index of node {first[index]}; contacts "
                             "find their rooms by index, so it must be unique")
    out = []
    for k, data in enumerate(nodes):
        out.append(f"CREATE (:{room} {_map(data, lambda: f'node {k} (index {indices[k]})')})")
    for k, (edge, data) in enumerate(zip(graph.edges, edges)):
        a, b = edge.node_a, edge.node_b
        if a >= len(indices) or b >= len(indices):
            raise ValueError(f"edge {k} ({a}-{b}) names a node position beyond the {len(indices)} nodes")
        out.append(f"MATCH (a:{room} {{index: {indices[a]}}}), (b:{room} {{index: {indices[b]}}}) "
                   f"CREATE (a)-[:{contact} {_map(data, lambda: f'edge {k} ({a}-{b})')}]->(b)")
    graph_edges = graph.edges
    centroids = {}
    for k, node in enumerate(graph.nodes):
        c = node.centroid
        centroids[k] = (c.x, c.y, c.z)
    walkway = name(WALKWAY_TYPE)
    for k, data in walkway_properties(graph_edges, centroids):
        properties = _map(data, lambda: f"walkway of edge {k}")
        edge = graph_edges[k]
        for a, b in ((edge.node_a, edge.node_b), (edge.node_b, edge.node_a)):
            out.append(f"MATCH (a:{room} {{index: {indices[a]}}}), (b:{room} {{index: {indices[b]}}}) "
                       f"CREATE (a)-[:{walkway} {properties}]->(b)")
    return out


def write_cypher(graph: SpatialGraph, path: str | os.PathLike[str], *,
                 non_finite: Literal["omit", "raise"] = "omit") -> int:
    """Write `cypher_statements` of the graph, each on a line of its own
    ended by ``;`` (UTF-8); returns their count. Nothing is written when a
    value is refused."""
    with building_documents():
        statements = cypher_statements(graph, non_finite=non_finite)
    with open(path, "w", encoding="utf-8", newline="") as f:
        f.writelines(q + ";\n" for q in statements)
    return len(statements)


def read_statements(path: str | os.PathLike[str]) -> list[str]:
    """The statements of a file `write_cypher` wrote, without their ``;``.

    Splits at each ``;`` outside a quoted string or name, so a string that
    holds ``;`` or a line break stays whole; blank text between statements
    is skipped.
    """
    with open(path, encoding="utf-8", newline="") as f:
        text = f.read()
    out = []
    start = 0
    quote = ""
    i = 0
    n = len(text)
    while i < n:
        ch = text[i]
        if quote:
            if ch == "\\" and quote == "'":
                i += 1  # the escaped character
            elif ch == quote:
                quote = ""
        elif ch in "'`":
            quote = ch
        elif ch == ";":
            statement = text[start:i].strip()
            if statement:
                out.append(statement)
            start = i + 1
        i += 1
    tail = text[start:].strip()
    if tail:
        out.append(tail)
    return out


def cypher_graph(graph: SpatialGraph, *, non_finite: Literal["omit", "raise"] = "omit") -> SpatialGraph:
    """A copy of the graph whose attributes `SpatialGraph.to_cypher_queries`
    writes as Cypher an engine reads: each value as `kovalith.values`
    converts it (a vector as the list ``[x, y, z]``, a tuple as a list),
    None and non-finite values left out.

    ``to_cypher_queries`` writes values as Python's ``repr``, which is Cypher
    for these but for strings outside ASCII, which engines may read back
    altered: `write_cypher` is the file to load.
    """
    def copy_attributes(source: GraphNode | GraphEdge, target: GraphNode | GraphEdge) -> None:
        for key, value in source.get_all_attributes().items():
            stored = convert(value, non_finite=non_finite)
            if stored is not None:
                target.set_attribute(key, stored)

    nodes = []
    for node in graph.nodes:
        node_copy = GraphNode(node.index, node.centroid)
        copy_attributes(node, node_copy)
        nodes.append(node_copy)
    edges = []
    for edge in graph.edges:
        edge_copy = GraphEdge(edge.node_a, edge.node_b, edge.shared_area, edge.contact_centroid, edge.contact_type)
        copy_attributes(edge, edge_copy)
        edges.append(edge_copy)
    return SpatialGraph(nodes, edges, graph.wire_contacts)
