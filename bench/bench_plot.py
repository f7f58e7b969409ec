"""Storey plans of an authored office: the drawing time, beside the plans as
they were first drawn.

    python3 bench/bench_plot.py [--model 3x16] [--repeat 3] [--reference REV] [--out DIR]

The office is authored with ifcopenshell.api (examples/ifc_office.py,
STOREYSxOFFICES: storeys x (2 x offices + 1) spaces; 3x16 has 99), read and
compiled once, and a route from the first office of the ground floor to the
last office of the top floor is found. Then, best of --repeat, interleaved:

- reference: ``draw_storeys`` of ``python/kovalith/plot.py`` at git revision
  REV (default: the last revision before the plans were redrawn), with the
  arguments it took;
- current: ``kovalith.plot.draw_model``, as ``kovalith graph --png`` calls it.

Both write a PNG into --out (a temporary directory by default), so the two
pictures can be compared by eye; the table gives the times and image sizes.
"""

from __future__ import annotations

import argparse
import importlib.util
import os
import pathlib
import subprocess
import sys
import tempfile
import time

ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "examples"))

# The plans before the common scale, the fitted labels and the collections.
FIRST_PLANS = "de05471"


def reference_module(revision: str):
    source = subprocess.run(["git", "-C", str(ROOT), "show", f"{revision}:python/kovalith/plot.py"],
                            check=True, capture_output=True, text=True).stdout
    spec = importlib.util.spec_from_loader("kovalith_plot_reference", loader=None)
    module = importlib.util.module_from_spec(spec)
    exec(compile(source, f"{revision}:plot.py", "exec"), module.__dict__)
    return module


def as_first_drawn(graph):
    """A copy of the graph with ``opening_centroid`` as the `Vector3D` the
    reference reads (the compiler now writes ``[x, y, z]``)."""
    from kovalith import GraphEdge, GraphNode, SpatialGraph, Vector3D

    nodes = []
    for node in graph.nodes:
        copy = GraphNode(node.index, node.centroid)
        for key, value in node.get_all_attributes().items():
            copy.set_attribute(key, value)
        nodes.append(copy)
    edges = []
    for edge in graph.edges:
        copy = GraphEdge(edge.node_a, edge.node_b, edge.shared_area, edge.contact_centroid, edge.contact_type)
        for key, value in edge.get_all_attributes().items():
            copy.set_attribute(key, Vector3D(*value) if key == "opening_centroid" and value else value)
        edges.append(copy)
    return SpatialGraph(nodes, edges, graph.wire_contacts)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--model", default="3x16", help="STOREYSxOFFICES per side of the corridor")
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--reference", default=FIRST_PLANS, help="git revision of the reference plot.py")
    parser.add_argument("--out", help="directory for the two PNG files")
    args = parser.parse_args()

    from ifc_office import author_office
    from PIL import Image

    from kovalith import ifc, plot, routes

    storeys, offices = map(int, args.model.split("x"))
    out = pathlib.Path(args.out or tempfile.mkdtemp(prefix="bench_plot_"))
    out.mkdir(parents=True, exist_ok=True)
    model, layout = author_office(storeys=storeys, offices_per_side=offices)
    path = out / "office.ifc"
    model.write(str(path))
    rooms = ifc.load(path)
    graph = ifc.compile_rooms(rooms)
    start, end = ifc.find_room(graph, "0.S1"), ifc.find_room(graph, f"{storeys - 1}.N{offices}")
    walk = routes.route(graph, start, end, via=ifc.is_walkable, cost="walk")
    nodes = graph.nodes
    doors = [m for m, p in zip(rooms.openings, rooms.opening_products) if p.ifc_class.startswith("IfcDoor")]
    holes = [m for m, p in zip(rooms.openings, rooms.opening_products)
             if p.ifc_class == "IfcOpeningElement" and p.host is not None and p.host.startswith("IfcSlab")
             and not p.filled_by]
    common = dict(route=walk.rooms, doors=doors, holes=holes,
                  storey=lambda i: nodes[i].get_attribute("storey"),
                  label=lambda i: str(nodes[i].get_attribute("name") or ""),
                  kind=lambda i: str(nodes[i].get_attribute("long_name") or ""),
                  title=f"{path.name}: rooms, contacts and a route")
    reference = reference_module(args.reference)
    old_graph = as_first_drawn(graph)
    runs = {
        f"reference ({args.reference})": (lambda p: reference.draw_storeys(old_graph, rooms.rooms, p, **common)),
        "current": (lambda p: plot.draw_model(rooms, graph, p, route=walk)),
    }
    times: dict[str, list[float]] = {name: [] for name in runs}
    files = {name: out / f"plans_{'reference' if name.startswith('reference') else 'current'}.png" for name in runs}
    for _ in range(args.repeat):
        for name, draw in runs.items():
            t0 = time.perf_counter()
            draw(files[name])
            times[name].append(time.perf_counter() - t0)
    print(f"model {args.model}: {len(nodes)} rooms, {len(graph.edges)} contacts, {len(doors)} doors, "
          f"route of {len(walk.rooms)} rooms; load average {os.getloadavg()[0]:.1f}")
    print(f"| drawing | best of {args.repeat} | image (px) | file |")
    print("|---|---:|---:|---|")
    for name in runs:
        with Image.open(files[name]) as image:
            size = f"{image.width} x {image.height}"
        print(f"| {name} | {min(times[name]):.2f} s | {size} | {files[name]} |")
    first, second = (min(t) for t in times.values())
    print(f"current / reference: {second / first:.2f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
