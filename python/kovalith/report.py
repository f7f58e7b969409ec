"""The text report of a model and its room graph: what ``kovalith graph`` prints.

`summary` counts the rooms per storey, the wall and slab contacts, the
contacts people can cross by how they cross them, the storeys joined on foot,
the doors that join two rooms (and those whose body came from elsewhere),
the linear elements standing in rooms, the rooms without a connection or a
way in on foot, and the rooms and products left out; `route_text` writes a
route as the room names it passes, with the way taken at each step.

Names come from the model, and a model may hold anything: every control
character (a line break, an escape sequence that would drive the terminal),
line and paragraph separator and bidirectional override in what these
functions return is written as a Python escape (``\\n``, ``\\x1b``,
``\\u202e``; `printable`), so a name can neither forge a line of the report
nor change how the rest of it reads.
"""

from __future__ import annotations

import re
from collections import Counter
from typing import Any

from kovalith import SpatialGraph
from kovalith.routes import Route

__all__ = ["summary", "route_text", "printable"]

# Rooms named in one line of the summary before it ends in "...".
NAMES_SHOWN = 8

# C0 and C1 controls, DEL, the line and paragraph separators, and the
# bidirectional embeddings, overrides and isolates (they reorder what follows).
_UNPRINTABLE = re.compile("[\x00-\x1f\x7f-\x9f\u2028\u2029\u202a-\u202e\u2066-\u2069\u200e\u200f\u061c]")


def _escape(match: re.Match[str]) -> str:
    return repr(match.group())[1:-1]  # none of these is printable, so repr escapes each


def printable(text: str) -> str:
    """`text` with its control characters, line separators and bidirectional
    controls written as escapes (``\\n``, ``\\x1b``, ``\\u2028``)."""
    return _UNPRINTABLE.sub(_escape, text)


def summary(rooms: Any, graph: SpatialGraph, timings: dict[str, float] | None = None) -> str:
    """The report of a model `rooms` (from `kovalith.ifc.load`) and its graph.

    Parameters
    ----------
    rooms : kovalith.ifc.IfcRooms
        What the graph was compiled from (its storeys, doors, wires, skipped
        products).
    graph : SpatialGraph
        The graph of `kovalith.ifc.compile_rooms`, with its attributes.
    timings : dict of str to float, optional
        Step name -> seconds, printed as a last ``time:`` line in ms.

    Returns
    -------
    str
        One line per item, no trailing newline.
    """
    nodes = graph.nodes
    edges = graph.edges
    per_storey = Counter(n.get_attribute("storey") for n in nodes)
    storey_order = [name for name, _ in rooms.storeys if name in per_storey]
    storey_order += [s for s in per_storey if s not in storey_order]
    walls = [e for e in edges if e.contact_type == "VerticalWallContact"]
    slabs = [e for e in edges if e.contact_type == "HorizontalSlabContact"]
    door_products = [p for p in rooms.opening_products if p.ifc_class.startswith("IfcDoor")]
    linked_doors = {d for e in edges for d in (e.get_attribute("doors") or [])}
    door_edges = sum(1 for e in edges if e.get_attribute("doors"))
    walkable = [e for e in edges if e.get_attribute("walkable") is True]
    per_via = Counter(v for e in walkable for v in e.get_attribute("via") or [])
    degree: Counter[int] = Counter()
    walk_degree: Counter[int] = Counter()
    for e in edges:
        degree[e.node_a] += 1
        degree[e.node_b] += 1
    for e in walkable:
        walk_degree[e.node_a] += 1
        walk_degree[e.node_b] += 1

    def names(indices: list[int]) -> str:
        if not indices:
            return "none"
        shown = ", ".join(str(nodes[i].get_attribute("name") or nodes[i].get_attribute("global_id"))
                          for i in indices[:NAMES_SHOWN])
        return f"{len(indices)}: {shown}" + (", ..." if len(indices) > NAMES_SHOWN else "")

    def counted(counts: Counter[str]) -> str:
        return ", ".join(f"{n} {what}" for what, n in sorted(counts.items(), key=lambda c: (-c[1], c[0])))

    unit = {1.0: "metres", 0.001: "millimetres"}.get(rooms.unit_scale, f"{rooms.unit_scale:g} m per unit")
    in_rooms = {c.wire_index for c in graph.wire_contacts}
    fallbacks = Counter(getattr(rooms, "fallbacks", {}).values())
    fallback_text = ", ".join(f"{fallbacks[k]} {FALLBACK_WORDS[k]}" for k in FALLBACK_WORDS if fallbacks[k])
    degenerate = Counter(reason.split(": ", 1)[1] for _, reason in rooms.skipped
                         if reason.startswith(DEGENERATE))
    lines = [
        f"model:              {rooms.source} ({rooms.schema}, {unit})",
        f"rooms:              {len(nodes)} on {len(per_storey)} storeys ("
        + ", ".join(f"{s}: {per_storey[s]}" for s in storey_order) + ")",
        f"wall contacts:      {len(walls)} ({sum(e.shared_area for e in walls):.2f} m2)",
        f"slab contacts:      {len(slabs)} ({sum(e.shared_area for e in slabs):.2f} m2)",
        f"walkable contacts:  {len(walkable)}" + (f" ({counted(per_via)})" if walkable else ""),
        f"storeys joined on foot: {_storeys_on_foot(graph, walkable, storey_order)}",
        f"doors:              {len(linked_doors)} of {len(door_products)} join two rooms, on {door_edges} contacts"
        + (f" ({fallback_text})" if fallback_text else ""),
        f"linear elements:    {len(in_rooms)} of {len(rooms.wires)} stand in a room",
        f"no connection:      {names([i for i in range(len(nodes)) if degree[i] == 0])}",
        f"no way on foot:     {names([i for i in range(len(nodes)) if walk_degree[i] == 0])}",
    ]
    if degenerate:
        lines.append(f"degenerate rooms:   {sum(degenerate.values())} ({counted(degenerate)}), not compiled")
    if rooms.skipped:
        reasons = Counter(reason for _, reason in rooms.skipped)
        lines.append(f"skipped products:   {len(rooms.skipped)} ("
                     + ", ".join(f"{n} {r}" for r, n in reasons.most_common()) + ")")
    if timings:
        lines.append("time:               " + ", ".join(f"{k} {v * 1e3:.1f} ms" for k, v in timings.items()))
    return "\n".join(map(printable, lines))


# How `kovalith.ifc.load` names a door body taken from elsewhere, and the words of the summary.
FALLBACK_WORDS = {"opening": "from their openings", "box": "from a box"}
# The prefix of the reason `kovalith.ifc.load` gives a degenerate room.
DEGENERATE = "degenerate room: "


def _storeys_on_foot(graph: SpatialGraph, walkable: list[Any], storey_order: list[Any]) -> str:
    """``Level 0–Level 1 (stair), ...``: each pair of storeys a walkable
    contact joins, lower storey first, with the ways it is crossed."""
    nodes = graph.nodes
    rank = {name: k for k, name in enumerate(storey_order)}
    pairs: dict[tuple[Any, Any], set[str]] = {}
    for e in walkable:
        a, b = nodes[e.node_a].get_attribute("storey"), nodes[e.node_b].get_attribute("storey")
        if a == b:
            continue
        low, high = sorted((a, b), key=lambda s: (rank.get(s, len(rank)), str(s)))
        pairs.setdefault((low, high), set()).update(e.get_attribute("via") or [])
    if not pairs:
        return "none"
    order = sorted(pairs, key=lambda p: tuple((rank.get(s, len(rank)), str(s)) for s in p))
    return ", ".join(f"{low}\u2013{high} ({', '.join(sorted(pairs[low, high]))})" for low, high in order)


def route_text(graph: SpatialGraph, route: Route) -> str:
    """A route as ``A -[door]-> B -[stair hole]-> C``, by room name, with the
    ways the edge's ``via`` gives (``kovalith.ifc.annotate``); an edge without
    them reads as a stair when it is a slab contact, else as a door."""
    nodes, edges = graph.nodes, graph.edges
    if not route.rooms:
        return "none (no path on foot)"
    steps = [str(nodes[route.rooms[0]].get_attribute("name"))]
    for k, b in zip(route.edges, route.rooms[1:]):
        ways = edges[k].get_attribute("via") or ["stair" if edges[k].contact_type == "HorizontalSlabContact"
                                                 else "door"]
        steps.append(f"-[{'/'.join(str(w).replace('_', ' ') for w in ways)}]-> {nodes[b].get_attribute('name')}")
    return printable(" ".join(steps))
