"""kovalith in one minute: compile a three-storey office into a graph of rooms.

    python3 examples/demo.py [output_dir]

Prints a short report and writes <output_dir>/building.cypher (one statement
per line) and <output_dir>/building.png (the three floor plans with contacts
and a route). The output directory defaults to ./out.
"""

import math
import pathlib
import sys
import time

from kovalith import SpatialGraph, SpatialRegistry

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from office import build_office  # noqa: E402

TOLERANCE = 1e-3  # metres: 1 mm plane distance and padding, 1e-3 m2 minimum contact


def distance(a, b):
    return math.dist((a.x, a.y, a.z), (b.x, b.y, b.z))


def compile_office():
    office = build_office()
    registry = SpatialRegistry(office.meshes, office.wires, office.apertures)
    t0 = time.perf_counter()
    graph = registry.build_spatial_graph(TOLERANCE)
    seconds = time.perf_counter() - t0
    for node, room in zip(graph.nodes, office.rooms):
        node.set_attribute("name", room.name)
        node.set_attribute("storey", room.storey)
        node.set_attribute("kind", room.kind)
    return office, graph, seconds


def walking_graph(office, graph):
    """The same rooms, joined only where people pass: through the doors between
    offices and the corridor, and through the stair opening between corridors."""
    rooms = office.rooms
    walkable = [
        e for e in graph.edges
        if {rooms[e.node_a].kind, rooms[e.node_b].kind} == {"office", "corridor"}
        and e.contact_type == "VerticalWallContact"
        or rooms[e.node_a].kind == rooms[e.node_b].kind == "corridor"
    ]
    return SpatialGraph(graph.nodes, walkable, [])


def route_text(office, graph, route):
    nodes = graph.nodes
    length = sum(distance(nodes[a].centroid, nodes[b].centroid) for a, b in zip(route, route[1:]))
    names = " -> ".join(office.rooms[i].name for i in route)
    return f"{names} ({length:.2f} m between room centres)"


def report(office, graph, seconds, contact_route, walk_route, cypher):
    walls = [e for e in graph.edges if e.contact_type == "VerticalWallContact"]
    slabs = [e for e in graph.edges if e.contact_type == "HorizontalSlabContact"]
    nodes = graph.nodes
    placed = {c.wire_index for c in graph.wire_contacts}
    lines = [
        f"rooms:              {len(nodes)} on {1 + max(r.storey for r in office.rooms)} storeys",
        f"wall contacts:      {len(walls)}",
        f"slab contacts:      {len(slabs)}",
        f"total shared area:  {sum(e.shared_area for e in graph.edges):.2f} m2 "
        f"(doors and the stair opening cut out)",
        f"columns in rooms:   {len(placed)} of {len(office.wires)} "
        f"({len(graph.wire_contacts)} column-room contacts)",
        f"route through any contact:   {route_text(office, graph, contact_route)}",
        f"walking route (doors, stair): {route_text(office, graph, walk_route)}",
        f"cypher statements:  {len(cypher)}",
        f"build time:         {seconds * 1e3:.1f} ms",
    ]
    return "\n".join(lines)


def draw(office, graph, route, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.patches import Rectangle

    storeys = 1 + max(r.storey for r in office.rooms)
    fig, axes = plt.subplots(1, storeys, figsize=(6 * storeys, 5.2), sharey=True)
    nodes = graph.nodes
    on_route = set(zip(route, route[1:])) | set(zip(route[1:], route))
    # The walking route passes each wall through the middle of its door.
    through = {(e.node_a, e.node_b): e.contact_centroid for e in graph.edges
               if e.contact_type == "VerticalWallContact" and (e.node_a, e.node_b) in on_route}
    for s, ax in enumerate(axes):
        ax.set_title(f"storey {s}")
        ax.set_aspect("equal")
        for i, room in enumerate(office.rooms):
            if room.storey != s:
                continue
            x0, y0, x1, y1 = room.rect
            face = "#f3efe6" if room.kind == "office" else "#e4ecf2"
            ax.add_patch(Rectangle((x0, y0), x1 - x0, y1 - y0, facecolor=face, edgecolor="#555", lw=1))
            c = nodes[i].centroid
            ax.plot(c.x, c.y, "o", color="#333", ms=3, zorder=4)
            ax.annotate(room.name, (c.x, c.y), textcoords="offset points", xytext=(0, -10),
                        ha="center", fontsize=6, color="#444")
        if s > 0:
            sx0, sy0, sx1, sy1 = office.stair
            ax.add_patch(Rectangle((sx0, sy0), sx1 - sx0, sy1 - sy0, hatch="///", fill=False,
                                   edgecolor="#8a6d3b", lw=0.8, label="stair opening"))
        for storey, (x0, y0), (x1, y1) in office.doors:
            if storey == s:
                ax.plot([x0, x1], [y0, y1], color="#2a9d8f", lw=3, solid_capstyle="butt", zorder=3)
        for e in graph.edges:
            a, b = nodes[e.node_a].centroid, nodes[e.node_b].centroid
            storey_a = office.rooms[e.node_a].storey
            if e.contact_type == "VerticalWallContact" and storey_a == s:
                cc = e.contact_centroid  # drawn through the middle of the shared wall
                ax.plot([a.x, cc.x, b.x], [a.y, cc.y, b.y], color="#4a7ab5", lw=0.8, alpha=0.8, zorder=2)
            elif e.contact_type == "HorizontalSlabContact" and s in (storey_a, storey_a + 1):
                cc = e.contact_centroid
                ax.plot(cc.x, cc.y, "s", mfc="none", mec="#e07a1f", ms=7, mew=1.2, zorder=3)
        for a, b in zip(route, route[1:]):
            if office.rooms[a].storey == s and office.rooms[b].storey == s:
                ca, cb = nodes[a].centroid, nodes[b].centroid
                via = through.get((a, b)) or through.get((b, a))
                xs = [ca.x, via.x, cb.x] if via else [ca.x, cb.x]
                ys = [ca.y, via.y, cb.y] if via else [ca.y, cb.y]
                ax.plot(xs, ys, color="#d62828", lw=3, zorder=5)
        for i in route:
            if office.rooms[i].storey == s and any((i, j) in on_route and office.rooms[j].storey != s for j in route):
                c = nodes[i].centroid
                ax.plot(c.x, c.y, "^", color="#d62828", ms=10, zorder=6)
        ax.set_xlabel("x [m]")
    axes[0].set_ylabel("y [m]")
    handles = [
        plt.Line2D([], [], color="#4a7ab5", lw=1, label="wall contact"),
        plt.Line2D([], [], marker="s", ls="", mfc="none", mec="#e07a1f", label="slab contact"),
        plt.Line2D([], [], color="#2a9d8f", lw=3, label="door"),
        plt.Line2D([], [], color="#d62828", lw=3, label="walking route"),
        plt.Line2D([], [], marker="^", ls="", color="#d62828", label="route changes storey"),
    ]
    fig.legend(handles=handles, loc="lower center", ncol=len(handles), frameon=False)
    fig.suptitle("kovalith: rooms, contacts and a route through a three-storey office")
    fig.tight_layout(rect=(0, 0.06, 1, 0.96))
    fig.savefig(path, dpi=130)
    plt.close(fig)


def main():
    out = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else "out")
    out.mkdir(parents=True, exist_ok=True)
    office, graph, seconds = compile_office()
    by_name = {room.name: i for i, room in enumerate(office.rooms)}
    start, end = by_name["0.S1"], by_name["2.N6"]
    contact_route = graph.find_shortest_path(start, end)
    route = walking_graph(office, graph).find_shortest_path(start, end)
    cypher = graph.to_cypher_queries()
    (out / "building.cypher").write_text("".join(q + "\n" for q in cypher), encoding="utf-8")
    draw(office, graph, route, out / "building.png")
    print(report(office, graph, seconds, contact_route, route, cypher))
    print(f"wrote {out / 'building.cypher'} and {out / 'building.png'}")


if __name__ == "__main__":
    main()
