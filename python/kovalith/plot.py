"""Floor plans of a compiled graph: rooms, doors, contacts and a route, one panel per storey.

matplotlib is an optional dependency: ``pip install 'kovalith[plot]'``.
"""

from __future__ import annotations

import math
import os
from typing import TYPE_CHECKING, Any, Callable, Sequence

from kovalith import GraphEdge, Mesh, SpatialGraph, Vector3D

if TYPE_CHECKING:
    from kovalith.ifc import IfcRooms
    from kovalith.routes import Route

__all__ = ["draw_storeys", "draw_model"]

# The plan of a room is its upward-facing faces (its ceiling), seen from above.
_UP = 0.5
_LEVEL_SLACK = 0.05  # metres: an opening starting this far below a floor still belongs to it
_PALETTE = ["#f3efe6", "#e4ecf2", "#e8f1e4", "#f4e6ec", "#eeeae0", "#e6e6f4"]


def _pyplot() -> Any:
    try:
        import matplotlib
    except ImportError as exc:
        raise ImportError("kovalith.plot needs matplotlib: pip install 'kovalith[plot]'") from exc
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    return plt


def _plan(mesh: Mesh) -> tuple[list[list[tuple[float, float]]], list[tuple[tuple[float, float], tuple[float, float]]]]:
    """Upward-facing faces in plan, and their outline (edges used by one face only)."""
    vs = [(v.x, v.y, v.z) for v in mesh.vertices]
    polys = []
    count: dict[tuple[int, int], int] = {}
    for face in mesh.faces:
        norm = [0.0, 0.0, 0.0]
        for a, b in zip(face, face[1:] + face[:1]):
            (xa, ya, za), (xb, yb, zb) = vs[a], vs[b]
            norm[0] += (ya - yb) * (za + zb)
            norm[1] += (za - zb) * (xa + xb)
            norm[2] += (xa - xb) * (ya + yb)
        length = math.sqrt(sum(c * c for c in norm))
        nz = norm[2] / length if length > 0 else 0.0
        if nz <= _UP:
            continue
        polys.append([(vs[i][0], vs[i][1]) for i in face])
        for a, b in zip(face, face[1:] + face[:1]):
            key = (min(a, b), max(a, b))
            count[key] = count.get(key, 0) + 1
    outline = [((vs[a][0], vs[a][1]), (vs[b][0], vs[b][1])) for (a, b), n in count.items() if n == 1]
    return polys, outline


def _z_range(mesh: Mesh) -> tuple[float, float]:
    zs = [v.z for v in mesh.vertices]
    return min(zs), max(zs)


def _plan_segment(mesh: Mesh) -> tuple[tuple[float, float], tuple[float, float]]:
    """A door seen from above: the long side of its plan, through the middle."""
    pts = [(v.x, v.y) for v in mesh.vertices]
    cx = sum(p[0] for p in pts) / len(pts)
    cy = sum(p[1] for p in pts) / len(pts)
    sxx = sum((p[0] - cx) ** 2 for p in pts)
    syy = sum((p[1] - cy) ** 2 for p in pts)
    sxy = sum((p[0] - cx) * (p[1] - cy) for p in pts)
    angle = 0.5 * math.atan2(2 * sxy, sxx - syy)
    ux, uy = math.cos(angle), math.sin(angle)
    ts = [(p[0] - cx) * ux + (p[1] - cy) * uy for p in pts]
    lo, hi = min(ts), max(ts)
    return (cx + lo * ux, cy + lo * uy), (cx + hi * ux, cy + hi * uy)


def draw_storeys(
    graph: SpatialGraph,
    rooms: Sequence[Mesh],
    path: str | os.PathLike[str],
    *,
    route: Sequence[int] = (),
    route_edges: Sequence[int] = (),
    doors: Sequence[Mesh] = (),
    holes: Sequence[Mesh] = (),
    storey: Callable[[int], Any] | None = None,
    label: Callable[[int], str] | None = None,
    kind: Callable[[int], str] | None = None,
    title: str = "",
    columns: int = 3,
    dpi: int = 130,
) -> None:
    """Draw the graph as floor plans, one panel per storey, into a PNG file.

    Parameters
    ----------
    graph : SpatialGraph
        Compiled from `rooms` (node ``i`` is ``rooms[i]``).
    rooms : sequence of Mesh
        Room meshes in metres; each is drawn by its upward-facing faces.
    path : path
        The PNG file to write.
    route : sequence of int
        Node positions of a route, drawn in red; a step between two rooms of
        one storey passes through the contact's ``opening_centroid`` attribute
        (the door) when the edge has one, else its contact centre.
    route_edges : sequence of int
        Positions in ``graph.edges`` of the contacts the route crosses, one
        per step (`kovalith.routes.Route.edges`); without them each step
        takes a walkable contact between its two rooms, else any.
    doors, holes : sequence of Mesh
        Doors, drawn as thick lines along their long side, and openings in
        slabs (stairs), drawn hatched, each on the storey whose floor it is at.
    storey : callable, optional
        Node position -> storey key; storeys are ordered by their lowest room.
        Default: the room's bottom height rounded to 0.1 m.
    label, kind : callable, optional
        Node position -> the text written at the room, and the room's kind
        (rooms of one kind share a colour).
    title : str
        The figure's title.
    columns : int
        Panels per row.
    """
    plt = _pyplot()
    from matplotlib.collections import LineCollection, PolyCollection
    from matplotlib.patches import Polygon

    nodes = graph.nodes
    if len(nodes) != len(rooms):
        raise ValueError(f"graph has {len(nodes)} nodes but {len(rooms)} rooms were given")
    if not rooms:
        raise ValueError("rooms is empty: nothing to draw")
    ranges = [_z_range(m) for m in rooms]
    key_of = storey or (lambda i: round(ranges[i][0], 1))
    keys = [key_of(i) for i in range(len(rooms))]
    floor: dict[Any, float] = {}
    for k, (z0, _) in zip(keys, ranges):
        floor[k] = min(floor.get(k, z0), z0)
    order = sorted(floor, key=lambda k: floor[k])
    panel = {k: n for n, k in enumerate(order)}

    def level_of(mesh: Mesh) -> int | None:
        top = _z_range(mesh)[1]
        below = [k for k in order if floor[k] <= top + _LEVEL_SLACK]
        return panel[below[-1]] if below else None

    ncols = max(1, min(columns, len(order)))
    nrows = math.ceil(len(order) / ncols)
    xs = [v.x for m in rooms for v in m.vertices]
    ys = [v.y for m in rooms for v in m.vertices]
    aspect = min(2.0, max(0.25, (max(ys) - min(ys)) / max(max(xs) - min(xs), 1e-9)))
    fig, axes_grid = plt.subplots(nrows, ncols, figsize=(6 * ncols, (6 * aspect + 1.2) * nrows + 0.6),
                                  squeeze=False)
    axes = [ax for row in axes_grid for ax in row]
    for ax in axes[len(order):]:
        ax.axis("off")
    kinds = [kind(i) if kind else "" for i in range(len(rooms))]
    colour = {k: _PALETTE[n % len(_PALETTE)] for n, k in enumerate(dict.fromkeys(kinds))}

    by_pair: dict[tuple[int, int], GraphEdge] = {}
    for e in graph.edges:
        pair = (e.node_a, e.node_b)
        if pair not in by_pair or e.get_attribute("walkable"):
            by_pair[pair] = e

    for i, mesh in enumerate(rooms):
        ax = axes[panel[keys[i]]]
        polys, outline = _plan(mesh)
        ax.add_collection(PolyCollection(polys, facecolors=colour[kinds[i]], edgecolors=colour[kinds[i]], lw=0.3))
        ax.add_collection(LineCollection(outline, colors="#555", lw=0.8))
        c = nodes[i].centroid
        ax.plot(c.x, c.y, "o", color="#333", ms=3, zorder=4)
        if label:
            ax.annotate(label(i), (c.x, c.y), textcoords="offset points", xytext=(0, -10), ha="center",
                        fontsize=6, color="#444")
    for hole in holes:
        level = level_of(hole)
        if level is None:
            continue
        for poly in _plan(hole)[0]:
            axes[level].add_patch(Polygon(poly, closed=True, hatch="///", fill=False, edgecolor="#8a6d3b", lw=0.5))
    for door in doors:
        level = level_of(door)
        if level is not None:
            (x0, y0), (x1, y1) = _plan_segment(door)
            axes[level].plot([x0, x1], [y0, y1], color="#2a9d8f", lw=3, solid_capstyle="butt", zorder=3)
    for e in graph.edges:
        ca, cb = nodes[e.node_a].centroid, nodes[e.node_b].centroid
        cc = e.contact_centroid
        pa, pb = panel[keys[e.node_a]], panel[keys[e.node_b]]
        if e.contact_type == "VerticalWallContact":
            axes[pa].plot([ca.x, cc.x, cb.x], [ca.y, cc.y, cb.y], color="#4a7ab5", lw=0.8, alpha=0.8, zorder=2)
        else:
            for p in {pa, pb}:
                axes[p].plot(cc.x, cc.y, "s", mfc="none", mec="#e07a1f", ms=7, mew=1.2, zorder=3)
    if route_edges and len(route_edges) != max(len(route) - 1, 0):
        raise ValueError(f"route_edges: {len(route_edges)} contacts for a route of {len(route)} rooms")
    for step, (ra, rb) in enumerate(zip(route, route[1:])):
        ca, cb = nodes[ra].centroid, nodes[rb].centroid
        pa, pb = panel[keys[ra]], panel[keys[rb]]
        edge = graph.edges[route_edges[step]] if route_edges else by_pair.get((min(ra, rb), max(ra, rb)))
        via = None
        if edge is not None:
            door = edge.get_attribute("opening_centroid")
            via = Vector3D(*door) if isinstance(door, (list, tuple)) else door or edge.contact_centroid
        if pa == pb:
            xs = [ca.x, via.x, cb.x] if via else [ca.x, cb.x]
            ys = [ca.y, via.y, cb.y] if via else [ca.y, cb.y]
            axes[pa].plot(xs, ys, color="#d62828", lw=3, zorder=5)
        else:  # up or down the stair: walk to the opening on one plan, on from it on the other
            for p, c in ((pa, ca), (pb, cb)):
                at = via or c
                axes[p].plot([c.x, at.x], [c.y, at.y], color="#d62828", lw=3, zorder=5)
                axes[p].plot(at.x, at.y, "^", color="#d62828", ms=10, zorder=6)
    for k, ax in zip(order, axes):
        ax.set_title(str(k))
        ax.set_aspect("equal")
        ax.autoscale_view()
        ax.set_xlabel("x [m]")
        ax.set_ylabel("y [m]")
    handles = [
        plt.Line2D([], [], color="#4a7ab5", lw=1, label="wall contact"),
        plt.Line2D([], [], marker="s", ls="", mfc="none", mec="#e07a1f", label="slab contact"),
        plt.Line2D([], [], color="#2a9d8f", lw=3, label="door"),
    ]
    if holes:
        handles.append(plt.matplotlib.patches.Patch(hatch="///", fill=False, edgecolor="#8a6d3b",
                                                    label="slab opening"))
    if route:
        handles += [plt.Line2D([], [], color="#d62828", lw=3, label="route"),
                    plt.Line2D([], [], marker="^", ls="", color="#d62828", label="route changes storey")]
    fig.legend(handles=handles, loc="lower center", ncol=len(handles), frameon=False)
    if title:
        fig.suptitle(title)
    fig.tight_layout(rect=(0, 0.05, 1, 0.96))
    fig.savefig(os.fspath(path), dpi=dpi)
    plt.close(fig)


def draw_model(rooms: IfcRooms, graph: SpatialGraph, path: str | os.PathLike[str], *,
               route: Route | None = None) -> None:
    """The storey plans of a model read by `kovalith.ifc.load` and its graph.

    `draw_storeys` with the model's doors, its open slab openings (stairs),
    the rooms' names as labels and their long names as kinds, one panel per
    storey. A `route` (from `kovalith.routes.route`) is drawn through the
    very contacts it crosses.
    """
    products = rooms.opening_products
    doors = [m for m, p in zip(rooms.openings, products) if p.ifc_class.startswith("IfcDoor")]
    holes = [m for m, p in zip(rooms.openings, products)
             if p.ifc_class == "IfcOpeningElement" and p.host is not None and p.host.startswith("IfcSlab")
             and not p.filled_by]
    nodes = graph.nodes
    rooms_on, edges_on = (route.rooms, route.edges) if route is not None else ([], [])
    draw_storeys(
        graph, rooms.rooms, path, route=rooms_on, route_edges=edges_on, doors=doors, holes=holes,
        storey=lambda i: nodes[i].get_attribute("storey"),
        label=lambda i: str(nodes[i].get_attribute("name") or ""),
        kind=lambda i: str(nodes[i].get_attribute("long_name") or ""),
        title=f"{os.path.basename(rooms.source)}: rooms, contacts" + (" and a route" if rooms_on else ""),
    )
