"""kovalith in one minute: an IFC office in, a routable graph of its rooms out.

    python3 examples/demo.py [output_dir]

Authors a three-storey office as IFC with IfcOpenShell (examples/ifc_office.py:
spaces that stop at 0.2 m walls and 0.3 m slabs, doors in their openings, a
stair opening, columns), compiles it with the one-call path
``kovalith.ifc.building_graph``, prints the summary the ``kovalith graph``
command prints, walks from a ground-floor office to a top-floor office through
doors and the stair, and writes into <output_dir> (default ./out):
office.ifc, building.cypher (one statement per line), building.json
(node-link, for networkx), building.png (the storeys, the route in red) and,
with plotly installed, building.html (the building in 3D, to turn around in a
browser, with the route and the diagnostics).
"""

import importlib.util
import pathlib
import sys
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))

from ifc_office import author_office  # noqa: E402

from kovalith import cypher, ifc, interop, plot, report, routes, view  # noqa: E402

START, END = "0.S1", "2.N6"


def main() -> int:
    out = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else "out")
    out.mkdir(parents=True, exist_ok=True)
    model, layout = author_office(storeys=3, offices_per_side=6)
    path = out / "office.ifc"
    model.write(str(path))
    print(f"authored {path}: {len(layout.spaces)} spaces, {len(layout.doors)} doors, "
          f"{len(layout.stairs)} stair openings, {len(layout.columns)} columns\n")

    # The one call: graph = ifc.building_graph(path). Here in its two steps,
    # to time IfcOpenShell's geometry and the graph build apart.
    t0 = time.perf_counter()
    rooms = ifc.load(path)
    t1 = time.perf_counter()
    graph = ifc.compile_rooms(rooms)
    t2 = time.perf_counter()
    statements = cypher.write_cypher(graph, out / "building.cypher")
    interop.write_json(graph, out / "building.json")
    t3 = time.perf_counter()

    start, end = ifc.find_room(graph, START), ifc.find_room(graph, END)
    walk = routes.route(graph, start, end, via="walkable", cost="walk")
    route = walk.rooms
    plot.draw_model(rooms, graph, out / "building.png", route=walk)

    timings = {"geometry": t1 - t0, "build": t2 - t1, "export": t3 - t2}
    print(report.summary(rooms, graph, timings))
    nodes = graph.nodes
    print(f"walking route (doors, stair): {' -> '.join(nodes[i].get_attribute('name') for i in route)} "
          f"({walk.length:.1f} m, room centre to door to room centre)")
    product = {p.global_id: p for p in rooms.opening_products}
    for a, b, e in zip(route, route[1:], walk.edges):
        edge = graph.edges[e]
        through = edge.get_attribute("doors") or edge.get_attribute("opening_ids")
        names = ", ".join(f"{product[g].name} ({g})" for g in through)
        print(f"  {nodes[a].get_attribute('name'):>4} -> {nodes[b].get_attribute('name'):<4} "
              f"{edge.contact_type:<22} through {names}")
    print(f"cypher statements:  {statements}")
    print(f"wrote {out / 'building.cypher'}, {out / 'building.json'} and {out / 'building.png'}")
    if importlib.util.find_spec("plotly") is None:
        print("no building.html: the 3D view needs plotly (pip install '.[view]')")
    else:
        view.write_html(rooms, graph, out / "building.html", route=walk)
        print(f"wrote {out / 'building.html'} (open it in a browser)")
    return 0 if route else 1


if __name__ == "__main__":
    sys.exit(main())
