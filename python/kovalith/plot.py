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
_PALETTE = ["#f3efe6", "#e4ecf2", "#e8f1e4", "#f4e6ec", "#eeeae0", "#e6e6f4", "#f6ecdc", "#e0f0ef"]
_LEGEND_KINDS = 8  # room kinds named in the legend; more would crowd it


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


# Figure layout, in inches: the widest and tallest figure the plans may fill
# at the default size, and the room each panel needs around its plan for the
# storey's name.
_MAX_WIDTH = 16.0
_MAX_HEIGHT = 11.0
_PAD_LEFT, _PAD_RIGHT, _PAD_BOTTOM, _PAD_TOP = 0.15, 0.15, 0.15, 0.3
_HEADER, _LEGEND = 0.45, 0.55
# Label fitting: the width of an average glyph and the line height, in ems.
_GLYPH_EM = 0.6
_LINE_EM = 1.25
_ROUTE = "#d62828"
_WALL = "#4a7ab5"
_SLAB = "#e07a1f"
_DOOR = "#2a9d8f"
_HOLE = "#8a6d3b"


def _grid(count: int, width: float, height: float, columns: int | None) -> tuple[int, int, float]:
    """Panels per row, rows, and the common scale (inches per metre) that
    lets `count` plans of `width` x `height` metres fill the figure best."""
    best: tuple[float, int, int] | None = None
    choices = [min(columns, count)] if columns else range(1, count + 1)
    for ncols in choices:
        nrows = math.ceil(count / ncols)
        scale = min((_MAX_WIDTH / ncols - _PAD_LEFT - _PAD_RIGHT) / width,
                    ((_MAX_HEIGHT - _HEADER - _LEGEND) / nrows - _PAD_BOTTOM - _PAD_TOP) / height)
        if best is None or scale > best[0] * (1 + 1e-9):
            best = (scale, ncols, nrows)
    assert best is not None
    return best[1], best[2], max(best[0], 1e-6)


def _scale_bar(width: float) -> float:
    """A round length, in metres, of about a sixth of the plan's width."""
    target = width / 6.0
    step = 10.0 ** math.floor(math.log10(target))
    return max(m * step for m in (1, 2, 5) if m * step <= target)


def _label(room_w: float, room_h: float, number: str, long_name: str, font: float) -> tuple[str, float]:
    """The text written in a room of `room_w` x `room_h` points: its long
    name over its number where both fit, the long name where it fits, else
    the number (smaller where even that does not fit)."""

    def fits(lines: list[str], size: float) -> bool:
        longest = max(len(line) for line in lines)
        return longest * size * _GLYPH_EM <= room_w * 0.92 and len(lines) * size * _LINE_EM <= room_h * 0.92

    if long_name and number and long_name != number and fits([long_name, number], font):
        return f"{long_name}\n{number}", font
    if long_name and fits([long_name], font):
        return long_name, font
    if not number or fits([number], font):
        return number, font
    return number, font * 0.75


class _Labels:
    """Room labels as glyph outlines: a `Path` in points, centred on (0, 0),
    one line under the other. Text is taken as it is (no mathematics, so a
    ``$`` is a dollar sign), and each line is laid out once per size."""

    def __init__(self) -> None:
        from matplotlib.font_manager import FontProperties
        from matplotlib.textpath import text_to_path

        self._engine = text_to_path
        self._font = FontProperties(family=["sans-serif"])
        self._lines: dict[tuple[str, float], tuple[Any, float, float]] = {}

    def _line(self, line: str, size: float) -> tuple[Any, float, float]:
        """The outline of one line at the origin, its left edge and width."""
        key = (line, size)
        if key not in self._lines:
            from matplotlib.path import Path

            import numpy as np

            vertices, codes = self._engine.get_text_path(self._font, line, ismath=False)
            if len(codes):
                points = np.asarray(vertices, dtype=float) * (size / self._engine.FONT_SCALE)
                # The control points' extent: close enough to centre a line,
                # and far cheaper than the curves' exact one.
                x0, x1 = float(points[:, 0].min()), float(points[:, 0].max())
                self._lines[key] = (Path(points, codes), x0, x1 - x0)
            else:
                self._lines[key] = (Path.make_compound_path(), 0.0, 0.0)
        return self._lines[key]

    def path(self, text: str, size: float) -> Any:
        from matplotlib.path import Path

        lines = text.split("\n")
        step = size * _LINE_EM
        parts = []
        for k, line in enumerate(lines):
            path, x0, width = self._line(line, size)
            if not len(path.vertices):
                continue
            # Baselines spaced a line apart, the block centred on the room;
            # 0.35 em lowers each baseline so the letters' middle sits there.
            dy = ((len(lines) - 1) / 2 - k) * step - 0.35 * size
            parts.append(Path(path.vertices + (-x0 - width / 2, dy), path.codes))
        return Path.make_compound_path(*parts) if parts else Path.make_compound_path()


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
    long_label: Callable[[int], str] | None = None,
    kind: Callable[[int], str] | None = None,
    title: str = "",
    columns: int | None = None,
    dpi: int = 110,
    font_size: float = 7.0,
) -> Any:
    """Draw the graph as floor plans, one panel per storey, into a PNG file.

    Every panel shows the same extent at the same scale, so a room is as
    large on one storey as on the next; the layout (panels per row) is the
    one that draws the plans largest within about 16 x 11 inches.

    Parameters
    ----------
    graph : SpatialGraph
        Compiled from `rooms` (node ``i`` is ``rooms[i]``).
    rooms : sequence of Mesh
        Room meshes in metres; each is drawn by its upward-facing faces.
    path : path
        The image file to write (PNG, or any format matplotlib knows by its
        extension).
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
    label, long_label : callable, optional
        Node position -> the room's number and its everyday name. A room
        shows its long name over its number where both fit, the long name
        where only it fits, else the number. Every text is drawn as it is:
        ``$`` never starts mathematics; control characters are drawn as
        their escapes (``\\n``, ``\\x1b``), as the report prints them.
    kind : callable, optional
        Node position -> the room's kind; rooms of one kind share a colour,
        named in the legend.
    title : str
        The figure's title.
    columns : int, optional
        Panels per row; by default the count that draws the plans largest.
    dpi : int
        Pixels per inch of the image.
    font_size : float
        Room labels, in points.

    Returns
    -------
    matplotlib.figure.Figure
        The figure drawn (already closed).
    """
    plt = _pyplot()
    from kovalith.report import printable
    from matplotlib.collections import LineCollection, PathCollection, PolyCollection
    from matplotlib.lines import Line2D
    from matplotlib.patches import Patch
    from matplotlib.transforms import Affine2D

    nodes = graph.nodes
    if len(nodes) != len(rooms):
        raise ValueError(f"graph has {len(nodes)} nodes but {len(rooms)} rooms were given")
    if not rooms:
        raise ValueError("rooms is empty: nothing to draw")
    if columns is not None and columns < 1:
        raise ValueError(f"columns must be at least 1, not {columns}")
    if route_edges and len(route_edges) != max(len(route) - 1, 0):
        raise ValueError(f"route_edges: {len(route_edges)} contacts for a route of {len(route)} rooms")
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

    plans = [_plan(m) for m in rooms]
    xs = [x for polys, _ in plans for poly in polys for x, _ in poly] or [v.x for m in rooms for v in m.vertices]
    ys = [y for polys, _ in plans for poly in polys for _, y in poly] or [v.y for m in rooms for v in m.vertices]
    margin = 0.5  # metres around the building
    x0, x1, y0, y1 = min(xs) - margin, max(xs) + margin, min(ys) - margin, max(ys) + margin
    width, height = max(x1 - x0, 1e-3), max(y1 - y0, 1e-3)
    ncols, nrows, scale = _grid(len(order), width, height, columns)
    cell_w = width * scale + _PAD_LEFT + _PAD_RIGHT
    cell_h = height * scale + _PAD_BOTTOM + _PAD_TOP
    fig_w, fig_h = ncols * cell_w, nrows * cell_h + _HEADER + _LEGEND
    fig = plt.figure(figsize=(fig_w, fig_h), dpi=dpi)
    axes = []
    for n, k in enumerate(order):
        row, col = divmod(n, ncols)
        left = col * cell_w + _PAD_LEFT
        bottom = fig_h - _HEADER - (row + 1) * cell_h + _PAD_BOTTOM
        ax = fig.add_axes((left / fig_w, bottom / fig_h, width * scale / fig_w, height * scale / fig_h))
        ax.set_xlim(x0, x1)
        ax.set_ylim(y0, y1)
        ax.set_aspect("equal", adjustable="box")
        ax.set_axis_off()  # a scale bar says more than ticks, and ticks cost a third of the drawing
        ax.text(0.0, 1.0 + 0.08 / (height * scale), printable(str(k)), transform=ax.transAxes, ha="left", va="bottom",
                fontsize=9, fontweight="bold", parse_math=False)
        axes.append(ax)
    bar = _scale_bar(width)
    bar_ax = axes[-1]
    bar_ax.plot([x1 - margin - bar, x1 - margin], [y0 + margin * 0.4] * 2, color="#222", lw=2, solid_capstyle="butt",
                clip_on=False)
    bar_ax.text(x1 - margin - bar / 2, y0 + margin * 0.2, f"{bar:g} m", ha="center", va="top", fontsize=7,
                clip_on=False)

    kinds = [kind(i) if kind else "" for i in range(len(rooms))]
    colour = {k: _PALETTE[n % len(_PALETTE)] for n, k in enumerate(dict.fromkeys(kinds))}
    per_panel: list[dict[str, list[Any]]] = [
        {"polys": [], "fills": [], "outline": [], "doors": [], "holes": [], "hole_outline": [], "walls": [],
         "slabs": [], "labels": [], "at": []} for _ in order]
    labels = _Labels()
    points_per_m = scale * 72.0
    for i, (polys, outline) in enumerate(plans):
        bucket = per_panel[panel[keys[i]]]
        bucket["polys"] += polys
        bucket["fills"] += [colour[kinds[i]]] * len(polys)
        bucket["outline"] += outline
        pts = [p for poly in polys for p in poly]
        if not pts:
            continue
        rx0, rx1 = min(p[0] for p in pts), max(p[0] for p in pts)
        ry0, ry1 = min(p[1] for p in pts), max(p[1] for p in pts)
        number = printable(label(i)) if label else ""
        long_name = printable(long_label(i)) if long_label else ""
        text, size = _label((rx1 - rx0) * points_per_m, (ry1 - ry0) * points_per_m, number, long_name, font_size)
        if text:
            bucket["labels"].append(labels.path(text, size))
            bucket["at"].append(((rx0 + rx1) / 2, (ry0 + ry1) / 2))
    for hole in holes:
        level = level_of(hole)
        if level is not None:
            polys, outline = _plan(hole)
            per_panel[level]["holes"] += polys
            per_panel[level]["hole_outline"] += outline
    for door in doors:
        level = level_of(door)
        if level is not None:
            per_panel[level]["doors"].append(_plan_segment(door))
    for e in graph.edges:
        cc = e.contact_centroid
        if e.contact_type == "VerticalWallContact":
            per_panel[panel[keys[e.node_a]]]["walls"].append((cc.x, cc.y))
        else:
            for p in {panel[keys[e.node_a]], panel[keys[e.node_b]]}:
                per_panel[p]["slabs"].append((cc.x, cc.y))
    for ax, bucket in zip(axes, per_panel):
        # Not antialiased: the triangles of one room would show hairline seams.
        ax.add_collection(PolyCollection(bucket["polys"], facecolors=bucket["fills"], edgecolors="none",
                                         antialiaseds=False, zorder=1))
        if bucket["labels"]:
            # Labels as one collection of glyph outlines in points, placed at
            # the rooms: a fraction of the cost of one text artist per room.
            glyphs = PathCollection(bucket["labels"], offsets=bucket["at"], offset_transform=ax.transData,
                                    facecolors="#333", edgecolors="none", zorder=6)
            glyphs.set_transform(Affine2D().scale(dpi / 72.0))
            ax.add_collection(glyphs)
        ax.add_collection(LineCollection(bucket["outline"], colors="#555", lw=0.7, zorder=2))
        if bucket["holes"]:
            # Hatched inside, outlined around: the triangles' own edges would
            # cross the opening.
            ax.add_collection(PolyCollection(bucket["holes"], hatch="///", facecolors="none", edgecolors=_HOLE,
                                             lw=0, zorder=3))
            ax.add_collection(LineCollection(bucket["hole_outline"], colors=_HOLE, lw=0.8, zorder=3))
        if bucket["doors"]:
            ax.add_collection(LineCollection(bucket["doors"], colors=_DOOR, lw=2.5, capstyle="butt", zorder=4))
        for points, style in ((bucket["walls"], dict(marker="o", s=5, c=_WALL, alpha=0.7)),
                              (bucket["slabs"], dict(marker="s", s=5, c=_SLAB, alpha=0.35))):
            if points:
                ax.scatter([p[0] for p in points], [p[1] for p in points], linewidths=0, zorder=3, **style)

    by_pair: dict[tuple[int, int], GraphEdge] = {}
    for e in graph.edges:
        pair = (e.node_a, e.node_b)
        if pair not in by_pair or e.get_attribute("walkable"):
            by_pair[pair] = e
    changes: list[list[tuple[float, float]]] = [[] for _ in order]
    paths: list[list[list[tuple[float, float]]]] = [[] for _ in order]
    for step, (ra, rb) in enumerate(zip(route, route[1:])):
        ca, cb = nodes[ra].centroid, nodes[rb].centroid
        pa, pb = panel[keys[ra]], panel[keys[rb]]
        edge = graph.edges[route_edges[step]] if route_edges else by_pair.get((min(ra, rb), max(ra, rb)))
        via = None
        if edge is not None:
            door = edge.get_attribute("opening_centroid")
            via = Vector3D(*door) if isinstance(door, (list, tuple)) else door or edge.contact_centroid
        if pa == pb:
            paths[pa].append([(ca.x, ca.y)] + ([(via.x, via.y)] if via else []) + [(cb.x, cb.y)])
        else:  # up or down the stair: walk to the opening on one plan, on from it on the other
            for p, c in ((pa, ca), (pb, cb)):
                at = via or c
                paths[p].append([(c.x, c.y), (at.x, at.y)])
                changes[p].append((at.x, at.y))
    for ax, segments, marks in zip(axes, paths, changes):
        if segments:
            ax.add_collection(LineCollection(segments, colors=_ROUTE, lw=2.2, capstyle="round", zorder=5))
        if marks:
            ax.scatter([m[0] for m in marks], [m[1] for m in marks], marker="^", s=40, c=_ROUTE, zorder=6)

    handles: list[Any] = [Patch(facecolor=colour[k], edgecolor="#555", lw=0.7, label=printable(str(k)) if k else "room")
                          for k in list(colour)[:_LEGEND_KINDS]]
    handles += [
        Line2D([], [], color=_DOOR, lw=2.5, label="door"),
        Line2D([], [], marker="o", ls="", ms=3, mec="none", mfc=_WALL, label="wall contact"),
        Line2D([], [], marker="s", ls="", ms=3, mec="none", mfc=_SLAB, alpha=0.5, label="slab contact"),
    ]
    if holes:
        handles.append(Patch(hatch="///", fill=False, edgecolor=_HOLE, label="slab opening"))
    if route:
        handles += [Line2D([], [], color=_ROUTE, lw=2.2, label="route"),
                    Line2D([], [], marker="^", ls="", color=_ROUTE, label="route changes storey")]
    legend = fig.legend(handles=handles, loc="lower center", ncol=min(len(handles), 8), frameon=False, fontsize=8,
                        bbox_to_anchor=(0.5, 0.0))
    for text in legend.get_texts():
        text.set_parse_math(False)
    if title:
        fig.suptitle(printable(title), x=0.01, y=1 - 0.12 / fig_h, ha="left", va="top", fontsize=10, parse_math=False)
    fig.savefig(os.fspath(path), dpi=dpi)
    plt.close(fig)
    return fig


def draw_model(rooms: IfcRooms, graph: SpatialGraph, path: str | os.PathLike[str], *,
               route: Route | None = None) -> Any:
    """The storey plans of a model read by `kovalith.ifc.load` and its graph.

    `draw_storeys` with the model's doors, its open slab openings (stairs),
    the rooms' numbers and long names as labels and their long names as
    kinds, one panel per storey. A `route` (from `kovalith.routes.route`) is drawn through the
    very contacts it crosses. Returns the figure drawn.
    """
    products = rooms.opening_products
    doors = [m for m, p in zip(rooms.openings, products) if p.ifc_class.startswith("IfcDoor")]
    holes = [m for m, p in zip(rooms.openings, products)
             if p.ifc_class == "IfcOpeningElement" and p.host is not None and p.host.startswith("IfcSlab")
             and not p.filled_by]
    nodes = graph.nodes
    rooms_on, edges_on = (route.rooms, route.edges) if route is not None else ([], [])
    return draw_storeys(
        graph, rooms.rooms, path, route=rooms_on, route_edges=edges_on, doors=doors, holes=holes,
        storey=lambda i: nodes[i].get_attribute("storey"),
        label=lambda i: str(nodes[i].get_attribute("name") or ""),
        long_label=lambda i: str(nodes[i].get_attribute("long_name") or ""),
        kind=lambda i: str(nodes[i].get_attribute("long_name") or ""),
        title=f"{os.path.basename(rooms.source)}: rooms, contacts" + (" and a route" if rooms_on else ""),
    )
