"""The text report of a model and its room graph: what ``kovalith graph`` prints.

`summary` counts the rooms per storey, the wall and slab contacts, the doors
that join two rooms, the linear elements standing in rooms and the rooms
without a connection or a way in on foot; `route_text` writes a route as the
room names it passes, with the door or stair taken at each step.

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
    per_storey = Counter(n.get_attribute("storey") for n in nodes)
    storey_order = [name for name, _ in rooms.storeys if name in per_storey]
    storey_order += [s for s in per_storey if s not in storey_order]
    walls = [e for e in graph.edges if e.contact_type == "VerticalWallContact"]
    slabs = [e for e in graph.edges if e.contact_type == "HorizontalSlabContact"]
    door_products = [p for p in rooms.opening_products if p.ifc_class.startswith("IfcDoor")]
    linked_doors = {d for e in graph.edges for d in (e.get_attribute("doors") or [])}
    door_edges = sum(1 for e in graph.edges if e.get_attribute("doors"))
    holes = [e for e in slabs if e.get_attribute("walkable")]
    degree: Counter[int] = Counter()
    walk_degree: Counter[int] = Counter()
    for e in graph.edges:
        degree[e.node_a] += 1
        degree[e.node_b] += 1
        if e.get_attribute("walkable"):
            walk_degree[e.node_a] += 1
            walk_degree[e.node_b] += 1

    def names(indices: list[int]) -> str:
        if not indices:
            return "none"
        shown = ", ".join(str(nodes[i].get_attribute("name") or nodes[i].get_attribute("global_id"))
                          for i in indices[:NAMES_SHOWN])
        return f"{len(indices)}: {shown}" + (", ..." if len(indices) > NAMES_SHOWN else "")

    unit = {1.0: "metres", 0.001: "millimetres"}.get(rooms.unit_scale, f"{rooms.unit_scale:g} m per unit")
    in_rooms = {c.wire_index for c in graph.wire_contacts}
    lines = [
        f"model:              {rooms.source} ({rooms.schema}, {unit})",
        f"rooms:              {len(nodes)} on {len(per_storey)} storeys ("
        + ", ".join(f"{s}: {per_storey[s]}" for s in storey_order) + ")",
        f"wall contacts:      {len(walls)} ({sum(e.shared_area for e in walls):.2f} m2)",
        f"slab contacts:      {len(slabs)} ({sum(e.shared_area for e in slabs):.2f} m2), "
        f"{len(holes)} through an open hole (stair)",
        f"doors:              {len(linked_doors)} of {len(door_products)} join two rooms, on {door_edges} contacts",
        f"linear elements:    {len(in_rooms)} of {len(rooms.wires)} stand in a room",
        f"no connection:      {names([i for i in range(len(nodes)) if degree[i] == 0])}",
        f"no door or stair:   {names([i for i in range(len(nodes)) if walk_degree[i] == 0])}",
    ]
    if rooms.skipped:
        reasons = Counter(reason for _, reason in rooms.skipped)
        lines.append(f"skipped products:   {len(rooms.skipped)} ("
                     + ", ".join(f"{n} {r}" for r, n in reasons.most_common()) + ")")
    if timings:
        lines.append("time:               " + ", ".join(f"{k} {v * 1e3:.1f} ms" for k, v in timings.items()))
    return "\n".join(map(printable, lines))


def route_text(graph: SpatialGraph, route: Route) -> str:
    """A route as ``A -[door]-> B -[stair]-> C``, by room name; a slab
    contact is a stair, any other contact a door."""
    nodes, edges = graph.nodes, graph.edges
    if not route.rooms:
        return "none (no path through doors and stairs)"
    steps = [str(nodes[route.rooms[0]].get_attribute("name"))]
    for k, b in zip(route.edges, route.rooms[1:]):
        via = "stair" if edges[k].contact_type == "HorizontalSlabContact" else "door"
        steps.append(f"-[{via}]-> {nodes[b].get_attribute('name')}")
    return printable(" ".join(steps))
