"""Graphs to load and what a database must hold afterwards, shared by the
database tests. Imports no database client: the Kùzu fork runs in a child
process (it cannot share a process with kuzu) and imports this too."""

from __future__ import annotations

import math
import pathlib
import sys
from typing import Any

from kovalith import GraphEdge, GraphNode, SpatialGraph, Vector3D

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "bench"))
import building  # noqa: E402  (bench/building.py: generated buildings)

NAN, INF = float("nan"), float("inf")


def attributed_building(side: int = 3, floors: int = 2) -> SpatialGraph:
    """A compiled grid building whose records carry every kind of value the
    loader accepts, some keys on a few records only, the attributes of the
    building compiler's edges (gap, openings, opening_area, opening_centroid)
    and of the walkable layer (walkable, via, width)."""
    graph = building.grid_building(side, floors).registry().build_spatial_graph(1e-3)
    for node in graph.nodes:
        k = node.index
        node.set_attribute("name", f"Room {k}" if k % 4 else f"Jo's \"den\" \\ ü {k}")
        node.set_attribute("storey", k // (side * side))
        node.set_attribute("height", 2.75 + k)
        node.set_attribute("occupied", k % 2 == 0)
        if k % 3 == 0:
            node.set_attribute("fire rating", "EI60")
        if k % 5 == 1:
            node.set_attribute("note", None)
            node.set_attribute("tags", ("a", "b"))
    for k, edge in enumerate(graph.edges):
        edge.set_attribute("gap", 0.0 if k % 2 else 0.125)
        edge.set_attribute("openings", [k, k + 1] if k % 3 else [])
        edge.set_attribute("opening_area", 2.0 * (k % 3))
        # The compiler's Vector3D, or the [x, y, z] list that outputs use.
        centre = Vector3D(k, 0.5, -1.25) if k % 6 != 2 else [float(k), 0.5, -1.25]
        edge.set_attribute("opening_centroid", centre if k % 3 else None)
        # How people cross: told by `walkable` alone, or by `via`, which wins
        # (an empty one shuts a contact marked walkable).
        edge.set_attribute("walkable", k % 3 != 0)
        if k % 4 == 1:
            edge.set_attribute("via", ["door"])
        elif k % 4 == 3:
            edge.set_attribute("via", [] if k % 8 == 3 else ["stair", "open"])
        if k % 5 == 2:
            edge.set_attribute("width", 0.9 + k / 100)
        if k == 1:
            edge.set_attribute("weight", NAN)
    return graph


def compiled_building() -> SpatialGraph:
    """A graph of the building compiler, whose edges carry gap, openings,
    opening_area and opening_centroid (a Vector3D or None)."""
    from kovalith import building as compiler

    return compiler.compile_building(building.grid_building(3, 2).registry())


def hand_graph() -> SpatialGraph:
    """Non-integral and extreme numbers, a sparse key, hand-made endpoints."""
    nodes = [GraphNode(k, Vector3D(k / 3, -0.1 * k, 1e-7 * k)) for k in range(5)]
    nodes[0].set_attribute("big", 2**62)
    nodes[1].set_attribute("tiny", 5e-324)
    nodes[2].set_attribute("mixed", [1, 2.5])
    nodes[3] = GraphNode(3, Vector3D(NAN, INF, 0.0))
    edges = [GraphEdge(0, 1, 1 / 3, Vector3D(0, 0, 0), "VerticalWallContact"),
             GraphEdge(1, 2, 1e300, Vector3D(1, 2, 3), "It's a \"slab\""),
             GraphEdge(4, 0, 0.5, Vector3D(0, 1, 0), ""),
             GraphEdge(0, 1, 2.5, Vector3D(0, 0, 1), "HorizontalSlabContact")]
    edges[2].set_attribute("levels", [True, False])
    return SpatialGraph(nodes, edges, [])


def stored(value: Any) -> Any:
    """What a database holds for one value under the default policy (None
    for a value that is stored as null)."""
    if isinstance(value, Vector3D):
        value = [value.x, value.y, value.z]
    if isinstance(value, tuple):
        value = list(value)
    if isinstance(value, float) and not math.isfinite(value):
        return None
    if isinstance(value, list) and any(isinstance(x, float) and not math.isfinite(x) for x in value):
        return None
    return value


def expected_rooms(graph: SpatialGraph) -> dict[int, dict[str, Any]]:
    """index -> properties under the schema of every output, nulls left out."""
    out = {}
    for n in graph.nodes:
        c = n.centroid
        props = {"index": n.index, "centroid": [c.x, c.y, c.z]}
        props.update(n.get_all_attributes())
        out[n.index] = {k: stored(v) for k, v in props.items() if stored(v) is not None}
    return out


def expected_contacts(graph: SpatialGraph) -> list[tuple[int, int, dict[str, Any]]]:
    """(node_a, node_b, properties under the schema, nulls left out), sorted."""
    out = []
    for e in graph.edges:
        c = e.contact_centroid
        props = {"shared_area": e.shared_area, "contact_centroid": [c.x, c.y, c.z],
                 "contact_type": e.contact_type}
        props.update(e.get_all_attributes())
        out.append((e.node_a, e.node_b, {k: stored(v) for k, v in props.items()
                                         if stored(v) is not None}))
    return sorted(out, key=_contact_key)


def statement_rooms(graph: SpatialGraph) -> dict[int, dict[str, Any]]:
    """What `SpatialGraph.to_cypher_queries` writes for each room, its own
    data model (centroid_x/_y/_z), nulls left out."""
    out = {}
    for n in graph.nodes:
        c = n.centroid
        props = {"index": n.index, "centroid_x": c.x, "centroid_y": c.y, "centroid_z": c.z}
        props.update(n.get_all_attributes())
        out[n.index] = {k: stored(v) for k, v in props.items() if stored(v) is not None}
    return out


def statement_contacts(graph: SpatialGraph) -> list[tuple[int, int, dict[str, Any]]]:
    """What `SpatialGraph.to_cypher_queries` writes for each contact, sorted."""
    out = []
    for e in graph.edges:
        c = e.contact_centroid
        props = {"area": e.shared_area, "centroid_x": c.x, "centroid_y": c.y, "centroid_z": c.z,
                 "contact_type": e.contact_type}
        props.update(e.get_all_attributes())
        out.append((e.node_a, e.node_b, {k: stored(v) for k, v in props.items()
                                         if stored(v) is not None}))
    return sorted(out, key=_contact_key)


def expected_walkways(graph: SpatialGraph) -> list[tuple[int, int, dict[str, Any]]]:
    """(from, to, {via, length, width}) of every CONNECTS_TO relationship, both
    directions of each walkable contact, sorted: `via` as the edge says, else
    ["opening"] where `walkable` is True; the length from room centroid through
    the opening's centre (else the contact centroid) to the other centroid."""
    centroid = {n.index: n.centroid for n in graph.nodes}

    def xyz(v: Any) -> tuple[float, float, float]:
        return (v.x, v.y, v.z) if isinstance(v, Vector3D) else tuple(v)

    out = []
    for e in graph.edges:
        attrs = e.get_all_attributes()
        via = attrs.get("via")
        if via is None:
            via = ["opening"] if attrs.get("walkable") is True else []
        if not via:
            continue
        opening = attrs.get("opening_centroid")
        door = xyz(opening if opening is not None else e.contact_centroid)
        length = (math.dist(xyz(centroid[e.node_a]), door) + math.dist(door, xyz(centroid[e.node_b])))
        props = {"via": list(via), "length": length}
        if isinstance(attrs.get("width"), float):
            props["width"] = attrs["width"]
        out += [(e.node_a, e.node_b, props), (e.node_b, e.node_a, dict(props))]
    return sorted(out, key=_contact_key)


# Lengths are sums of square roots: the loader and math.dist may differ in
# the last bits.
LENGTH_REL_TOL = 1e-12


def _contact_key(item: tuple[int, int, dict[str, Any]]) -> tuple[Any, ...]:
    a, b, props = item
    return a, b, repr(sorted(props.items()))


def sort_contacts(contacts: list[tuple[int, int, dict[str, Any]]]) -> list[tuple[int, int, dict[str, Any]]]:
    return sorted(contacts, key=_contact_key)


def same_values(got: Any, want: Any, rel_tol: float = 0.0) -> bool:
    """Equal values of equal types, where an int that a typed column turned
    into a float counts as the same number; floats within `rel_tol` for a
    client that reads them back rounded."""
    if isinstance(want, list):
        return isinstance(got, list) and len(got) == len(want) and all(
            same_values(g, w, rel_tol) for g, w in zip(got, want))
    if isinstance(want, bool) or isinstance(got, bool):
        return type(got) is type(want) and got == want
    if isinstance(want, (int, float)):
        return isinstance(got, (int, float)) and math.isclose(got, want, rel_tol=rel_tol, abs_tol=0)
    return type(got) is type(want) and got == want


def assert_same_records(got: dict[Any, dict[str, Any]], want: dict[Any, dict[str, Any]],
                        rel_tol: float = 0.0) -> None:
    assert sorted(got) == sorted(want)
    for key, props in want.items():
        assert sorted(got[key]) == sorted(props), key
        for name, value in props.items():
            assert same_values(got[key][name], value, rel_tol), (key, name, got[key][name], value)


def assert_same_contacts(got: list[tuple[int, int, dict[str, Any]]],
                         want: list[tuple[int, int, dict[str, Any]]], rel_tol: float = 0.0) -> None:
    assert len(got) == len(want)
    # Parallel contacts sort by their properties; rounded read-backs can
    # reorder two that differ only past the rounding, hence the ends first.
    assert_same_records({k: {"_ends": [a, b], **p} for k, (a, b, p) in enumerate(sort_contacts(got))},
                        {k: {"_ends": [a, b], **p} for k, (a, b, p) in enumerate(want)}, rel_tol)


def routes(graph: SpatialGraph, count: int = 6) -> list[list[int]]:
    """A few routes of find_shortest_path across the graph (non-empty)."""
    n = len(graph.nodes)
    pairs = [(0, n - 1), (n - 1, 0), (1, n // 2), (n // 3, n - 2)][:count]
    out = [graph.find_shortest_path(a, b) for a, b in pairs]
    assert all(len(r) >= 2 for r in out)
    return out


def kuzu_contents(connection: Any) -> tuple[dict[int, dict[str, Any]], list[tuple[int, int, dict[str, Any]]]]:
    """Rooms and contacts of a Kùzu (or fork) database, nulls dropped."""
    def rows(query: str) -> list[list[Any]]:
        result = connection.execute(query)
        out = []
        while result.has_next():
            out.append(result.get_next())
        return out

    def clean(props: dict[str, Any]) -> dict[str, Any]:
        return {k: v for k, v in props.items() if not k.startswith("_") and v is not None}

    rooms = {}
    for [room] in rows("MATCH (r:Room) RETURN r"):
        props = clean(room)
        rooms[props["index"]] = props
    contacts = [(a, b, clean(w)) for a, b, w in
                rows("MATCH (a:Room)-[w:SHARES_WALL]->(b:Room) RETURN a.`index`, b.`index`, w")]
    return rooms, contacts


def kuzu_walkways(connection: Any) -> list[tuple[int, int, dict[str, Any]]]:
    """The CONNECTS_TO relationships of a Kùzu (or fork) database, nulls dropped."""
    result = connection.execute("MATCH (a:Room)-[w:CONNECTS_TO]->(b:Room) "
                                "RETURN a.`index`, b.`index`, w.via, w.length, w.width")
    out = []
    while result.has_next():
        a, b, via, length, width = result.get_next()
        props = {"via": via, "length": length}
        if width is not None:
            props["width"] = width
        out.append((a, b, props))
    return out


def kuzu_hop_counts(connection: Any, route: list[int]) -> list[int]:
    """Relationships between each pair of consecutive rooms of a route."""
    counts = []
    for u, v in zip(route, route[1:]):
        result = connection.execute("MATCH (a:Room)-[:SHARES_WALL]-(b:Room) WHERE a.`index` = $u "
                                    "AND b.`index` = $v RETURN count(*)", {"u": u, "v": v})
        counts.append(result.get_next()[0])
    return counts
