"""One value policy and one schema for every output of a graph.

Every writer of a `SpatialGraph` -- node-link JSON and networkx
(`kovalith.interop`), the Cypher file (`kovalith.cypher`), the databases
(`kovalith.db`), IndoorGML and BOT (`kovalith.indoorgml`, `kovalith.bot`)
-- takes its properties from here, so one graph reads the same in each of
them. The walkways the databases and the Cypher file add (a relationship
each way per contact a person can cross) come from `walkway_properties`.

The schema. A room (node) has ``index`` and ``centroid``, then its
attributes; a contact (edge) has ``shared_area``, ``contact_centroid`` and
``contact_type``, then its attributes: the records' own names, in this order,
attributes in the order they were set. An attribute under one of those names,
or under a name the exchange formats keep for themselves (a node's ``id`` and
networkx's ``node_for_adding``; an edge's ``source``, ``target``, ``key``,
``u_for_edge`` and ``v_for_edge``), is refused with ``ValueError`` naming it.

The values:

- ``str``, ``bool``, ``int`` (64-bit signed range) and finite ``float`` are
  kept as they are; a ``str`` subclass becomes an exact ``str``, other
  `numbers.Integral` and `numbers.Real` values (NumPy scalars) ``int`` and
  ``float``; a string UTF-8 cannot encode (a lone surrogate) is refused with
  ``ValueError``;
- a `kovalith.Vector3D` becomes the list ``[x, y, z]`` of floats;
- a ``list`` or ``tuple`` becomes a list; its items must be scalars of one
  kind (ints mixed with floats become floats), so every engine can type it;
- ``None`` is left out: the property is absent, as the schema-less engines
  store a null;
- NaN and the infinities -- a float, or any coordinate or item of a vector
  or list -- are left out with ``non_finite="omit"`` (the default) or refused
  with ``ValueError`` with ``non_finite="raise"``: JSON and Cypher have no
  literal for them and the engines disagree on them;
- anything else (dicts, sets, bytes, nested lists, None inside a list,
  arrays) is refused with ``TypeError`` naming the key and the record.
"""

from __future__ import annotations

import contextlib
import functools
import gc
import math
import numbers
from collections.abc import Callable, Iterator, Mapping, Sequence
from typing import Any, Literal

from kovalith import GraphEdge, GraphNode, SpatialGraph, Vector3D

__all__ = [
    "NODE_FIELDS",
    "EDGE_FIELDS",
    "RESERVED_NODE_KEYS",
    "RESERVED_EDGE_KEYS",
    "convert",
    "node_properties",
    "edge_properties",
    "graph_properties",
    "walkway_properties",
    "WALKWAY_FIELDS",
    "DEFAULT_VIA",
    "building_documents",
]

NODE_FIELDS = ("index", "centroid")
EDGE_FIELDS = ("shared_area", "contact_centroid", "contact_type")
# node-link JSON names a node by "id" and an edge by "source", "target" and
# "key"; networkx's add_node and add_edge take the other names as arguments.
RESERVED_NODE_KEYS = ("id", "node_for_adding")
RESERVED_EDGE_KEYS = ("source", "target", "key", "u_for_edge", "v_for_edge")

# The properties of a walkway (a contact a person can cross, as the databases
# store it), and its `via` in a graph that says only that it is walkable.
WALKWAY_FIELDS = ("via", "length", "width")
DEFAULT_VIA = ("opening",)

_INT64_MIN, _INT64_MAX = -(2**63), 2**63 - 1
_NODE_TAKEN = frozenset(NODE_FIELDS + RESERVED_NODE_KEYS)
_EDGE_TAKEN = frozenset(EDGE_FIELDS + RESERVED_EDGE_KEYS)


class _NonFinite(Exception):
    """Raised inside the conversion for a value that is left out."""


def _text(value: str) -> str:
    if not value.isascii():
        try:
            value.encode("utf-8")
        except UnicodeEncodeError as exc:
            bad = ord(value[exc.start])
            raise ValueError(f"the string holds U+{bad:04X} at position {exc.start}, "
                             "a lone surrogate that UTF-8 cannot encode") from None
    return value


def _scalar(value: Any) -> Any:
    """An item of a list: str, bool, int or float (NaN stays NaN here)."""
    cls = type(value)
    if cls is float or cls is bool:
        return value
    if cls is str:
        return _text(value)
    if cls is int or isinstance(value, numbers.Integral) and not isinstance(value, bool):
        number = int(value)
        if not _INT64_MIN <= number <= _INT64_MAX:
            raise ValueError(f"the integer {number} is outside the 64-bit signed range")
        return number
    if isinstance(value, bool):
        return bool(value)
    if isinstance(value, str):
        return _text(str.__str__(value))  # exact str: a subclass's methods are never called again
    if isinstance(value, numbers.Real):
        return float(value)
    if value is None or isinstance(value, (list, tuple, Vector3D)):
        raise TypeError(f"a list may hold only str, int, float or bool items, not {type(value).__name__}")
    raise TypeError(f"cannot store a value of type {type(value).__name__}")


def _floats_or_left_out(items: list[float], value: Any, non_finite: Literal["omit", "raise"]) -> list[float]:
    for x in items:
        if x - x != 0.0:  # NaN or an infinity: inf - inf and NaN - NaN are NaN
            if non_finite == "raise":
                raise ValueError(f"{value!r} is not finite (non_finite='raise')")
            raise _NonFinite
    return items


def _plain_list(value: Any, non_finite: Literal["omit", "raise"]) -> list[Any] | None:
    """A list of one exact built-in type, converted without a call per item
    (nearly every list of a graph: GlobalIds, ways, coordinates); None for
    any other list, which the item-by-item path converts."""
    if not value:
        return []
    kinds = set(map(type, value))
    if len(kinds) != 1:
        return None
    kind = kinds.pop()
    if kind is str:
        if not "".join(value).isascii():
            for item in value:
                _text(item)
        return list(value)
    if kind is float:
        return _floats_or_left_out(list(value), value, non_finite)
    if kind is int:
        return list(value) if _INT64_MIN <= min(value) and max(value) <= _INT64_MAX else None
    if kind is bool:
        return list(value)
    return None


def _convert(value: Any, non_finite: Literal["omit", "raise"]) -> Any:
    # Exact built-in types first: they are nearly every value of a graph.
    cls = type(value)
    if cls is float:
        if value - value == 0.0:
            return value
        if non_finite == "raise":
            raise ValueError(f"{value!r} is not finite (non_finite='raise')")
        raise _NonFinite
    if cls is str:
        return value if value.isascii() else _text(value)
    if cls is bool:
        return value
    if cls is int and _INT64_MIN <= value <= _INT64_MAX:
        return value
    if value is None:
        raise _NonFinite
    if cls is Vector3D:
        return _floats_or_left_out([value.x, value.y, value.z], value, non_finite)
    if cls is list or cls is tuple or isinstance(value, (list, tuple)):
        fast = _plain_list(value, non_finite)
        if fast is not None:
            return fast
        items = [_scalar(item) for item in value]
        kinds = {bool if type(x) is bool else float if type(x) is float else int if type(x) is int else str
                 for x in items}
        if kinds == {int, float}:
            items = [float(x) for x in items]
            kinds = {float}
        if len(kinds) > 1:
            names = {bool: "bool", int: "int", float: "float", str: "str"}
            raise TypeError("a list must hold items of one type, got "
                            + ", ".join(sorted(names[k] for k in kinds)))
        if kinds == {float}:
            return _floats_or_left_out(items, value, non_finite)
        return items
    converted = _scalar(value)
    if type(converted) is float and converted - converted != 0.0:
        return _convert(converted, non_finite)
    return converted


def _check_non_finite(non_finite: Any) -> None:
    if non_finite not in ("omit", "raise"):
        raise ValueError(f"non_finite: expected 'omit' or 'raise', got {non_finite!r}")


def convert(value: Any, *, non_finite: Literal["omit", "raise"] = "omit") -> Any:
    """The stored form of one value under the policy, or None when it is left out.

    Raises
    ------
    TypeError
        A value of a kind no output can store.
    ValueError
        An integer outside 64 bits, a lone surrogate, or a non-finite number
        with ``non_finite="raise"``.
    """
    _check_non_finite(non_finite)
    try:
        return _convert(value, non_finite)
    except _NonFinite:
        return None


def _properties(fixed: tuple[tuple[str, Any], ...], attributes: dict[str, Any], taken: frozenset[str],
                non_finite: Literal["omit", "raise"], what: str | Callable[[], str],
                known: set[str] | None = None) -> dict[str, Any]:
    """`known` holds keys already found sound (exact str, not taken, UTF-8),
    shared by the records of one graph so each key is checked once."""
    out: dict[str, Any] = {}
    key = ""
    if known is None:
        known = set()
    try:
        for key, raw in fixed:
            try:
                out[key] = _convert(raw, non_finite)
            except _NonFinite:
                pass
        for key, raw in attributes.items():
            if type(key) is not str or key not in known:
                if key in taken:
                    raise ValueError(f"the name is taken by the schema ({', '.join(sorted(taken))}); "
                                     "rename the attribute")
                if type(key) is not str:
                    key = str.__str__(key)
                known.add(_text(key))
            try:
                out[key] = _convert(raw, non_finite)
            except _NonFinite:
                pass
    except (TypeError, ValueError) as exc:
        raise type(exc)(f"{what if isinstance(what, str) else what()}, key {key!r}: {exc}") from None
    return out


def node_properties(node: GraphNode, *, non_finite: Literal["omit", "raise"] = "omit",
                    what: str = "node") -> dict[str, Any]:
    """``index``, ``centroid`` and the attributes of a node, converted.

    `what` names the node in error messages (e.g. ``"node 3"``).
    """
    _check_non_finite(non_finite)
    return _properties((("index", node.index), ("centroid", node.centroid)), node.get_all_attributes(),
                       _NODE_TAKEN, non_finite, what)


def edge_properties(edge: GraphEdge, *, non_finite: Literal["omit", "raise"] = "omit",
                    what: str = "edge") -> dict[str, Any]:
    """``shared_area``, ``contact_centroid``, ``contact_type`` and the
    attributes of an edge, converted. `what` names it in error messages."""
    _check_non_finite(non_finite)
    return _properties((("shared_area", edge.shared_area), ("contact_centroid", edge.contact_centroid),
                        ("contact_type", edge.contact_type)), edge.get_all_attributes(),
                       _EDGE_TAKEN, non_finite, what)


def _node_name(k: int, node: GraphNode) -> str:
    return f"node {k} (index {node.index})"


def _edge_name(k: int, edge: GraphEdge) -> str:
    return f"edge {k} ({edge.node_a}-{edge.node_b})"


def graph_properties(graph: SpatialGraph, *, non_finite: Literal["omit", "raise"] = "omit",
                     ) -> tuple[list[dict[str, Any]], list[dict[str, Any]]]:
    """The properties of every node and every edge, in graph order.

    Each is a dict as `node_properties` and `edge_properties` give it; errors
    name the record by position (``node 3 (index 7), key 'name': ...``).
    Nothing is returned unless the whole graph passes the policy.
    """
    if not isinstance(graph, SpatialGraph):
        raise TypeError(f"graph: expected a kovalith.SpatialGraph, got {type(graph).__name__}")
    _check_non_finite(non_finite)
    # Record names are formatted only for an error message.
    node_keys: set[str] = set()
    nodes = [_properties((("index", n.index), ("centroid", n.centroid)), n.get_all_attributes(),
                         _NODE_TAKEN, non_finite, functools.partial(_node_name, k, n), node_keys)
             for k, n in enumerate(graph.nodes)]
    edge_keys: set[str] = set()
    edges = [_properties((("shared_area", e.shared_area), ("contact_centroid", e.contact_centroid),
                          ("contact_type", e.contact_type)), e.get_all_attributes(),
                         _EDGE_TAKEN, non_finite, functools.partial(_edge_name, k, e), edge_keys)
             for k, e in enumerate(graph.edges)]
    return nodes, edges


def _via(attributes: dict[str, Any], what: str) -> list[str]:
    """How people cross a contact: its ``via`` attribute where the graph has
    one, else ``["opening"]`` where ``walkable`` is True; [] when nobody can."""
    via = attributes.get("via")
    if via is None:
        return list(DEFAULT_VIA) if attributes.get("walkable") is True else []
    if not isinstance(via, (list, tuple)) or not all(isinstance(v, str) for v in via):
        raise TypeError(f"{what}, key 'via': expected a list of str, got {via!r}")
    converted: list[str] = convert(list(via))
    return converted


def _point(value: Any) -> tuple[float, float, float] | None:
    """(x, y, z) of a `Vector3D` or of a list of three numbers, else None."""
    if isinstance(value, Vector3D):
        return value.x, value.y, value.z
    if (isinstance(value, (list, tuple)) and len(value) == 3
            and all(isinstance(v, numbers.Real) and not isinstance(v, bool) for v in value)):
        return float(value[0]), float(value[1]), float(value[2])
    return None


def _distance(p: tuple[float, float, float], q: tuple[float, float, float]) -> float:
    # The sum in the order kovalith.routes adds it, so that the stored
    # lengths add up to the walking distances the library reports.
    dx, dy, dz = q[0] - p[0], q[1] - p[1], q[2] - p[2]
    return math.sqrt((dx * dx + dy * dy) + dz * dz)


def walkway_properties(edges: Sequence[GraphEdge], centroids: Mapping[int, tuple[float, float, float]],
                       ) -> list[tuple[int, dict[str, Any]]]:
    """``(k, properties)`` of every edge ``edges[k]`` a person can cross, in
    edge order: the walkway that the databases store in each direction.

    - ``via``: how people cross, the edge's ``via`` attribute where it has
      one, else `DEFAULT_VIA` where its ``walkable`` attribute is True; an
      edge with an empty ``via``, or neither attribute, has no walkway;
    - ``length``: the walking distance of `kovalith.routes` with
      ``cost="walk"``: the centroid of the ``node_a`` room to the edge's
      ``opening_centroid`` (a `Vector3D` or ``[x, y, z]``), or to its contact
      centroid where there is none, to the centroid of the ``node_b`` room;
    - ``width``: the edge's ``width`` attribute as a float where it is a
      finite number, else absent.

    `centroids` maps the edges' node numbers to room centroids ``(x, y, z)``;
    an edge whose length is not finite has no walkway (no route crosses it).

    Raises
    ------
    TypeError
        A ``via`` attribute that is not a list of str.
    KeyError
        An edge naming a node number `centroids` lacks.
    """
    out = []
    for k, e in enumerate(edges):
        attributes = e.get_all_attributes()
        via = _via(attributes, f"contact {k} ({e.node_a}-{e.node_b})")
        if not via:
            continue
        door = _point(attributes.get("opening_centroid"))
        if door is None:
            c = e.contact_centroid
            door = (c.x, c.y, c.z)
        length = _distance(centroids[e.node_a], door) + _distance(door, centroids[e.node_b])
        if not math.isfinite(length):
            continue
        properties: dict[str, Any] = {"via": via, "length": length}
        width = attributes.get("width")
        if isinstance(width, numbers.Real) and not isinstance(width, bool) and math.isfinite(width):
            properties["width"] = float(width)
        out.append((k, properties))
    return out


@contextlib.contextmanager
def building_documents() -> Iterator[None]:
    """Pause Python's cyclic garbage collector while a writer builds a large
    document of fresh lists and dicts: none of them forms a cycle, and the
    collections their allocations trigger cost writers as much as the
    writing itself (0.4 s of 1 s for a thousand rooms)."""
    enabled = gc.isenabled()
    gc.disable()
    try:
        yield
    finally:
        if enabled:
            gc.enable()
