"""A building to turn around: one self-contained HTML page of a compiled model.

`write_html` writes the rooms as translucent solids coloured by storey, the
wall and slab contacts at their centres, the walkable connections by how one
passes (door, stair, open), a route, and a diagnostics layer with what
deserves a second look (`diagnose`): rooms one cannot walk to, rooms without
a door, contacts with nothing behind them, skipped products and degenerate
rooms. The page embeds its scripts: it opens from disk with no server and no
network.

plotly is an optional dependency: ``pip install 'kovalith[view]'``.
"""

from __future__ import annotations

import html
import os
from collections import defaultdict
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, Iterable, Sequence

from kovalith import GraphEdge, Mesh, SpatialGraph, Vector3D

if TYPE_CHECKING:
    from kovalith.ifc import IfcRooms, Product
    from kovalith.routes import Route

__all__ = ["Diagnostics", "diagnose", "connection_kind", "building_figure", "write_html"]

# A room holding less than this (m3) encloses nothing a person could stand in.
MIN_ROOM_VOLUME = 1e-3
# Faces whose normal points up or down by more than this (|n.z|) are floors
# and ceilings; the floor area is the plan area of the downward ones.
_FLOOR_NZ = 0.5
_STOREY_COLOURS = ["#4c78a8", "#f58518", "#54a24b", "#e45756", "#72b7b2", "#b279a2", "#eeca3b", "#9d755d",
                   "#ff9da6", "#bab0ac"]
_KIND_STYLE = {  # connection kind -> (colour, line width)
    "door": ("#1b9e77", 3),
    "stair": ("#8c564b", 5),
    "open": ("#7570b3", 3),
    "other": ("#666666", 3),
}
_NO_STOREY = "(no storey)"


def _plotly() -> Any:
    try:
        import plotly.graph_objects as go  # type: ignore[import-untyped]
    except ImportError as exc:
        raise ImportError("kovalith.view needs plotly: pip install 'kovalith[view]'") from exc
    return go


@dataclass
class Diagnostics:
    """What a person checking a room graph should look at.

    Attributes
    ----------
    unreachable : list of int
        Rooms one cannot walk to from the largest group of rooms joined by
        walkable contacts (the building proper), by node position.
    no_door : list of int
        Rooms none of whose contacts has a door.
    virtual : list of int
        Positions in ``graph.edges`` of contacts with nothing behind them
        (edge attribute ``virtual`` is True).
    skipped : list of (Product, str)
        Products whose geometry could not be used, with the reason.
    degenerate : list of (int, str)
        Rooms whose mesh encloses (almost) nothing or is not closed, with
        the reason.
    """

    unreachable: list[int] = field(default_factory=list)
    no_door: list[int] = field(default_factory=list)
    virtual: list[int] = field(default_factory=list)
    skipped: list[tuple[Product, str]] = field(default_factory=list)
    degenerate: list[tuple[int, str]] = field(default_factory=list)


def connection_kind(edge: GraphEdge) -> str | None:
    """How a person passes a contact: ``"door"``, ``"stair"``, ``"open"``,
    ``"other"``, or None where one cannot.

    Read from the edge's ``via`` attribute (a list of ways through, such as
    ``["door"]`` or ``["stair"]``; the first of door, stair, open that it
    names wins, anything else is ``"other"``). A graph without ``via``
    falls back to ``walkable``: a door where the edge lists ``doors``, a
    stair through a slab, else an open passage.
    """
    via = edge.get_attribute("via")
    if via is not None:
        ways = [via] if isinstance(via, str) else list(via)
        for kind in ("door", "stair", "open"):
            if kind in ways:
                return kind
        return "other" if ways else None
    if edge.get_attribute("walkable") is not True:
        return None
    if edge.get_attribute("doors"):
        return "door"
    return "stair" if edge.contact_type == "HorizontalSlabContact" else "open"


def _triangles(mesh: Mesh) -> tuple[list[tuple[float, float, float]], list[tuple[int, int, int]]]:
    vs = [(v.x, v.y, v.z) for v in mesh.vertices]
    tris = [(f[0], f[k], f[k + 1]) for f in mesh.faces for k in range(1, len(f) - 1)]
    return vs, tris


def _measure(vs: Sequence[tuple[float, float, float]], tris: Iterable[tuple[int, int, int]]) -> tuple[float, float]:
    """Signed volume (outward faces positive) and floor area of a triangle mesh."""
    volume = 0.0
    floor = 0.0
    for a, b, c in tris:
        (xa, ya, za), (xb, yb, zb), (xc, yc, zc) = vs[a], vs[b], vs[c]
        ux, uy, uz = xb - xa, yb - ya, zb - za
        wx, wy, wz = xc - xa, yc - ya, zc - za
        nx, ny, nz = uy * wz - uz * wy, uz * wx - ux * wz, ux * wy - uy * wx
        volume += (xa * nx + ya * ny + za * nz) / 6.0
        length = (nx * nx + ny * ny + nz * nz) ** 0.5
        if length > 0 and nz / length < -_FLOOR_NZ:
            floor += -nz / 2.0
    return volume, floor


def _open_edges(tris: Iterable[tuple[int, int, int]]) -> int:
    """Edges not shared by exactly two triangles: zero for a closed mesh."""
    count: dict[tuple[int, int], int] = defaultdict(int)
    for t in tris:
        for a, b in ((t[0], t[1]), (t[1], t[2]), (t[2], t[0])):
            count[(a, b) if a < b else (b, a)] += 1
    return sum(1 for n in count.values() if n != 2)


def diagnose(graph: SpatialGraph, meshes: Sequence[Mesh] = (),
             skipped: Sequence[tuple[Product, str]] = ()) -> Diagnostics:
    """The `Diagnostics` of a graph, with its room `meshes` (node ``i`` is
    ``meshes[i]``; without them no room is found degenerate) and the
    products its model skipped.

    A room is unreachable on foot when it lies outside the largest group of
    rooms joined by contacts one can pass (`connection_kind`); with no
    walkable contact at all, every room is (unless there is only one). A room is degenerate when its
    mesh encloses less than `MIN_ROOM_VOLUME` m3 or has edges not shared by
    exactly two triangles (an open or non-manifold shell).
    """
    nodes = graph.nodes
    count = len(nodes)
    if meshes and len(meshes) != count:
        raise ValueError(f"graph has {count} nodes but {len(meshes)} room meshes were given")
    parent = list(range(count))

    def root(i: int) -> int:
        while parent[i] != i:
            parent[i] = parent[parent[i]]
            i = parent[i]
        return i

    doors = [False] * count
    virtual = []
    for k, e in enumerate(graph.edges):
        kind = connection_kind(e)
        if kind is not None:
            parent[root(e.node_a)] = root(e.node_b)
        if kind == "door" or e.get_attribute("doors"):
            doors[e.node_a] = doors[e.node_b] = True
        if e.get_attribute("virtual") is True:
            virtual.append(k)
    size: dict[int, int] = defaultdict(int)
    for i in range(count):
        size[root(i)] += 1
    # The building proper is the largest group; of equal ones the first room's.
    main = max(size, key=lambda r: (size[r], -r)) if count else -1
    walkable_groups = any(n > 1 for n in size.values())
    # A building of one room has nowhere else to walk from.
    unreachable = [i for i in range(count) if count > 1 and (not walkable_groups or root(i) != main)]
    degenerate = []
    for i, mesh in enumerate(meshes):
        vs, tris = _triangles(mesh)
        volume, _ = _measure(vs, tris)
        open_edges = _open_edges(tris)
        if abs(volume) < MIN_ROOM_VOLUME:
            degenerate.append((i, f"encloses {abs(volume):.3g} m3"))
        elif open_edges:
            degenerate.append((i, f"not closed: {open_edges} edges not shared by two faces"))
    return Diagnostics(unreachable=unreachable, no_door=[i for i in range(count) if not doors[i]],
                       virtual=virtual, skipped=list(skipped), degenerate=degenerate)


def _text(value: Any) -> str:
    """A value as hover or page text: escaped, so a name is never markup."""
    return html.escape("" if value is None else str(value), quote=True)


def _room_title(node: Any) -> str:
    name, long_name = node.get_attribute("name"), node.get_attribute("long_name")
    parts = [str(p) for p in (name, long_name) if p]
    return " ".join(parts) or str(node.get_attribute("global_id") or f"room {node.index}")


def _storeys(graph: SpatialGraph, bottoms: Sequence[float]) -> tuple[list[str], list[str]]:
    """Each node's storey name, and the storeys ordered by their lowest room."""
    names = []
    low: dict[str, float] = {}
    for node, z in zip(graph.nodes, bottoms):
        storey = node.get_attribute("storey")
        key = _NO_STOREY if storey is None else str(storey)
        names.append(key)
        low[key] = min(low.get(key, z), z)
    return names, sorted(low, key=lambda k: (low[k], k))


def _xyz(points: Iterable[Vector3D | None]) -> tuple[list[float | None], list[float | None], list[float | None]]:
    xs: list[float | None] = []
    ys: list[float | None] = []
    zs: list[float | None] = []
    for p in points:
        xs.append(None if p is None else p.x)
        ys.append(None if p is None else p.y)
        zs.append(None if p is None else p.z)
    return xs, ys, zs


def _crossing(edge: GraphEdge) -> Vector3D:
    """Where one passes a contact: its opening's centre, else the contact's."""
    at = edge.get_attribute("opening_centroid")
    if isinstance(at, Vector3D):
        return at
    if isinstance(at, (list, tuple)) and len(at) == 3:
        return Vector3D(*at)
    return edge.contact_centroid


def building_figure(graph: SpatialGraph, meshes: Sequence[Mesh], *, route: Route | None = None,
                    diagnostics: Diagnostics | None = None, title: str = "") -> Any:
    """The plotly figure of `write_html` (a ``plotly.graph_objects.Figure``).

    Node ``i`` of `graph` is ``meshes[i]``; nodes carry the attributes of
    `kovalith.ifc.compile_rooms` (``name``, ``long_name``, ``storey``,
    ``global_id``), all optional. Traces are grouped by storey, and the
    figure's storey menu shows one storey, its contacts and its links at a
    time, or all.
    """
    go = _plotly()
    nodes = graph.nodes
    if len(meshes) != len(nodes):
        raise ValueError(f"graph has {len(nodes)} nodes but {len(meshes)} room meshes were given")
    shapes = [_triangles(m) for m in meshes]
    bottoms = [min((v[2] for v in vs), default=0.0) for vs, _ in shapes]
    storey_of, order = _storeys(graph, bottoms)
    colour = {s: _STOREY_COLOURS[k % len(_STOREY_COLOURS)] for k, s in enumerate(order)}
    traces: list[tuple[Any, frozenset[str] | None]] = []  # (trace, storeys it belongs to; None: always shown)

    def group(*indices: int) -> frozenset[str]:
        return frozenset(storey_of[i] for i in indices)

    hover = []
    for i, node in enumerate(nodes):
        _, floor = _measure(*shapes[i])
        hover.append(f"<b>{_text(node.get_attribute('name'))}</b> {_text(node.get_attribute('long_name'))}"
                     f"<br>storey: {_text(storey_of[i])}<br>floor area: {floor:.2f} m²"
                     f"<br>GlobalId: {_text(node.get_attribute('global_id'))}")
    for storey in order:
        members = [i for i in range(len(nodes)) if storey_of[i] == storey]
        x: list[float] = []
        y: list[float] = []
        z: list[float] = []
        ii: list[int] = []
        jj: list[int] = []
        kk: list[int] = []
        text: list[str] = []
        for i in members:
            vs, tris = shapes[i]
            base = len(x)
            for vx, vy, vz in vs:
                x.append(vx)
                y.append(vy)
                z.append(vz)
            text.extend([hover[i]] * len(vs))
            for a, b, c in tris:
                ii.append(base + a)
                jj.append(base + b)
                kk.append(base + c)
        name = f"{storey} ({len(members)} rooms)"
        traces.append((go.Mesh3d(x=x, y=y, z=z, i=ii, j=jj, k=kk, color=colour[storey], opacity=0.15,
                                 flatshading=True, name=name, legendgroup=storey, showlegend=True,
                                 text=text, hovertemplate="%{text}<extra></extra>"), frozenset([storey])))
        cx, cy, cz = _xyz(nodes[i].centroid for i in members)
        traces.append((go.Scatter3d(x=cx, y=cy, z=cz, mode="markers", name=f"{storey} room centres",
                                    legendgroup=storey, showlegend=False,
                                    marker=dict(size=3, color=colour[storey]),
                                    text=[hover[i] for i in members], hovertemplate="%{text}<extra></extra>"),
                       frozenset([storey])))

    # Contacts at their centres, and the connections one can walk, by kind.
    contacts: dict[tuple[str, frozenset[str]], list[int]] = defaultdict(list)
    links: dict[tuple[str, frozenset[str]], list[int]] = defaultdict(list)
    for k, e in enumerate(graph.edges):
        key = group(e.node_a, e.node_b)
        contacts[("wall" if e.contact_type == "VerticalWallContact" else "slab", key)].append(k)
        kind = connection_kind(e)
        if kind is not None:
            links[(kind, key)].append(k)

    def edge_text(k: int) -> str:
        e = graph.edges[k]
        kind = connection_kind(e)
        gap = e.get_attribute("gap")
        return (f"{'wall' if e.contact_type == 'VerticalWallContact' else 'slab'} contact "
                f"{_text(_room_title(nodes[e.node_a]))} – {_text(_room_title(nodes[e.node_b]))}"
                f"<br>area: {e.shared_area:.2f} m²" + (f", gap {gap:.2f} m" if isinstance(gap, float) else "")
                + f"<br>passable: {kind or 'no'}")

    shown_legend: set[str] = set()
    for (layer, key), ks in sorted(contacts.items(), key=lambda item: (item[0][0], sorted(item[0][1]))):
        cx, cy, cz = _xyz(graph.edges[k].contact_centroid for k in ks)
        wall = layer == "wall"
        traces.append((go.Scatter3d(x=cx, y=cy, z=cz, mode="markers", name=f"{layer} contacts",
                                    legendgroup=f"{layer} contacts", showlegend=layer not in shown_legend,
                                    marker=dict(size=2.5 if wall else 3, symbol="circle" if wall else "square",
                                                color="#4a7ab5" if wall else "#e07a1f"),
                                    text=[edge_text(k) for k in ks], hovertemplate="%{text}<extra></extra>"), key))
        shown_legend.add(layer)
    for (kind, key), ks in sorted(links.items(), key=lambda item: (item[0][0], sorted(item[0][1]))):
        points: list[Vector3D | None] = []
        labels: list[str] = []
        for k in ks:
            e = graph.edges[k]
            points += [nodes[e.node_a].centroid, _crossing(e), nodes[e.node_b].centroid, None]
            labels += [edge_text(k)] * 3 + [""]
        lx, ly, lz = _xyz(points)
        line_colour, width = _KIND_STYLE[kind]
        legend = f"{kind} links"
        traces.append((go.Scatter3d(x=lx, y=ly, z=lz, mode="lines", name=legend, legendgroup=legend,
                                    showlegend=legend not in shown_legend, line=dict(color=line_colour, width=width),
                                    text=labels, hovertemplate="%{text}<extra></extra>"), key))
        shown_legend.add(legend)
        if kind == "door":
            dx, dy, dz = _xyz(_crossing(graph.edges[k]) for k in ks)
            traces.append((go.Scatter3d(x=dx, y=dy, z=dz, mode="markers", name="doors", legendgroup=legend,
                                        showlegend=False, marker=dict(size=5, symbol="diamond", color=line_colour),
                                        text=[edge_text(k) for k in ks], hovertemplate="%{text}<extra></extra>"),
                           key))

    if route is not None and route.rooms:
        points = [nodes[route.rooms[0]].centroid]
        for k, b in zip(route.edges, route.rooms[1:]):
            points += [_crossing(graph.edges[k]), nodes[b].centroid]
        rx, ry, rz = _xyz(points)
        names = " → ".join(_text(_room_title(nodes[i])) for i in route.rooms)
        traces.append((go.Scatter3d(x=rx, y=ry, z=rz, mode="lines+markers", name=f"route ({route.length:.1f} m)",
                                    line=dict(color="#d62728", width=12), marker=dict(size=4, color="#d62728"),
                                    hovertemplate=f"route: {names}<extra></extra>"), None))

    if diagnostics is not None:
        flagged = [
            ("unreachable on foot", diagnostics.unreachable, dict(symbol="x", size=7, color="#d62728")),
            ("no door", diagnostics.no_door, dict(symbol="diamond-open", size=7, color="#ff7f0e")),
            ("degenerate rooms", [i for i, _ in diagnostics.degenerate], dict(symbol="x", size=9, color="#9467bd")),
        ]
        reasons = dict(diagnostics.degenerate)
        for label, rooms_flagged, marker in flagged:
            if not rooms_flagged:
                continue
            fx, fy, fz = _xyz(nodes[i].centroid for i in rooms_flagged)
            text = [hover[i] + (f"<br>{label}: {_text(reasons[i])}" if i in reasons else f"<br>{label}")
                    for i in rooms_flagged]
            traces.append((go.Scatter3d(x=fx, y=fy, z=fz, mode="markers", name=f"⚠ {label} ({len(rooms_flagged)})",
                                        legendgroup=f"diagnostics {label}", marker=marker, text=text,
                                        hovertemplate="%{text}<extra></extra>"), None))
        if diagnostics.virtual:
            gx, gy, gz = _xyz(graph.edges[k].contact_centroid for k in diagnostics.virtual)
            traces.append((go.Scatter3d(x=gx, y=gy, z=gz, mode="markers",
                                        name=f"⚠ nothing behind ({len(diagnostics.virtual)})",
                                        marker=dict(symbol="circle-open", size=8, color="#7f7f7f"),
                                        text=[edge_text(k) + "<br>nothing behind it" for k in diagnostics.virtual],
                                        hovertemplate="%{text}<extra></extra>"), None))

    figure = go.Figure(data=[t for t, _ in traces])
    buttons = [dict(label="all storeys", method="restyle", args=[{"visible": [True] * len(traces)}])]
    for storey in order:
        visible = [members is None or storey in members for _, members in traces]
        buttons.append(dict(label=str(storey), method="restyle", args=[{"visible": visible}]))
    figure.update_layout(
        title=dict(text=_text(title)) if title else None,
        scene=dict(aspectmode="data", xaxis_title="x [m]", yaxis_title="y [m]", zaxis_title="z [m]",
                   camera=dict(eye=dict(x=1.1, y=-1.5, z=1.1))),
        legend=dict(itemsizing="constant", groupclick="togglegroup", y=0.92),
        updatemenus=[dict(buttons=buttons, direction="down", x=0.0, xanchor="left", y=1.0, yanchor="top",
                          showactive=True)],
        margin=dict(l=0, r=0, t=40 if title else 10, b=0),
        height=760,
        paper_bgcolor="white",
    )
    return figure


def _listing(title: str, items: list[str]) -> str:
    body = "".join(f"<li>{item}</li>" for item in items) if items else "<li>none</li>"
    return f"<details{' open' if items else ''}><summary>{_text(title)} ({len(items)})</summary><ul>{body}</ul></details>"


def _page(figure_html: str, graph: SpatialGraph, diagnostics: Diagnostics, title: str) -> str:
    nodes = graph.nodes

    def room(i: int) -> str:
        n = nodes[i]
        return (f"{_text(_room_title(n))}, {_text(n.get_attribute('storey') or _NO_STOREY)}"
                f" <code>{_text(n.get_attribute('global_id'))}</code>")

    def contact(k: int) -> str:
        e = graph.edges[k]
        c = e.contact_centroid
        return (f"{'wall' if e.contact_type == 'VerticalWallContact' else 'slab'} contact of {room(e.node_a)} "
                f"with {room(e.node_b)}, {e.shared_area:.2f} m² at ({c.x:.2f}, {c.y:.2f}, {c.z:.2f})")

    sections = "".join([
        _listing("Rooms unreachable on foot", [room(i) for i in diagnostics.unreachable]),
        _listing("Rooms without a door", [room(i) for i in diagnostics.no_door]),
        _listing("Contacts with nothing behind them", [contact(k) for k in diagnostics.virtual]),
        _listing("Skipped products", [f"{_text(p.ifc_class)} {_text(p.name or '')} <code>{_text(p.global_id)}</code>: "
                                      f"{_text(reason)}" for p, reason in diagnostics.skipped]),
        _listing("Degenerate rooms", [f"{room(i)}: {_text(reason)}" for i, reason in diagnostics.degenerate]),
    ])
    storeys = len({n.get_attribute("storey") for n in nodes})
    return f"""<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<title>{_text(title)}</title>
<style>
body {{ font-family: sans-serif; margin: 0 1em 2em; color: #222; }}
h1 {{ font-size: 1.3em; margin: 0.6em 0 0.2em; }}
details {{ margin: 0.3em 0; }}
summary {{ cursor: pointer; font-weight: bold; }}
ul {{ margin: 0.2em 0 0.2em 1em; max-height: 20em; overflow-y: auto; }}
</style>
</head>
<body>
<h1>{_text(title)}</h1>
<p>{len(nodes)} rooms on {storeys} storeys, {len(graph.edges)} contacts. Drag to turn, scroll to zoom,
choose a storey in the menu, click the legend to hide a layer.</p>
{figure_html}
<h2>Diagnostics</h2>
{sections}
</body>
</html>
"""


def write_html(rooms: IfcRooms, graph: SpatialGraph, path: str | os.PathLike[str], *,
               route: Route | None = None, title: str | None = None) -> Diagnostics:
    """Write the page of a model read by `kovalith.ifc.load` and its graph.

    One HTML file with plotly's script embedded (a few megabytes), so it
    opens from disk in any browser with no server and no network. `route`
    (from `kovalith.routes.route`) is drawn in red. Returns the
    `Diagnostics` the page lists.
    """
    diagnostics = diagnose(graph, rooms.rooms, rooms.skipped)
    heading = title if title is not None else f"{os.path.basename(rooms.source) or 'model'}: rooms and contacts"
    figure = building_figure(graph, rooms.rooms, route=route, diagnostics=diagnostics, title="")
    body = figure.to_html(full_html=False, include_plotlyjs=True, include_mathjax=False,
                          config={"displaylogo": False, "responsive": True}, div_id="building")
    with open(path, "w", encoding="utf-8") as f:
        f.write(_page(body, graph, diagnostics, heading))
    return diagnostics
