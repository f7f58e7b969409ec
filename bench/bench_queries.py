"""Routes, Cypher export and IFC reading against Python references, in one run.

    pip install '.[bench]'
    python3 bench/bench_queries.py [--quick] [--ifc-mb 100]

Prints one table. Times are the best of --repeat runs (wall clock) unless a
row says otherwise; "ratio" is reference time / kovalith time (above 1:
kovalith is faster).

- route: grid graphs of 10^4, 10^5 and 10^6 rooms (4 m x 3 m cells, centroids
  jittered by up to 0.3 m so that costs differ), one route between opposite
  corners, which settles nearly every room. kovalith's time includes reading
  the centroids and edge ends out of the graph's node and edge objects, as
  every call does. The scipy reference does the same from Python (the node
  and edge attributes into NumPy arrays, a CSR matrix of centroid distances)
  and then runs scipy.sparse.csgraph.dijkstra from the start room (it has no
  stop-at-target option) and walks the predecessors back; a second scipy row
  times the solve on a prebuilt matrix alone. networkx (10^4 and 10^5 only)
  builds an nx.Graph from the same objects and runs dijkstra_path, which does
  stop at the target. Route lengths are checked to agree.
- cypher: a 10^4-room, ~2.7x10^4-contact graph (rooms on a 40 x 25 x 10 grid,
  a few contacts left out), each room with three attributes (str, int,
  float), every tenth contact with a bool; against a plain Python f-string
  loop over the same objects that writes the same statements.
- ifc: a generated IFC4 text of --ifc-mb MB (faceted boxes: points, loops,
  bounds, faces, shells, breps), read from a str in MB/s; peak memory in a
  fresh process, as the process's peak resident size above what it had before
  the text was read, divided by the text size (the str itself included), and
  the part added by reading alone. ifcopenshell.open on the same file, if the
  package is installed.
"""

import argparse
import math
import os
import random
import subprocess
import sys
import tempfile
import time

from kovalith import GraphEdge, GraphNode, IfcParser, SpatialGraph, Vector3D

try:
    import numpy as np
    import scipy.sparse
    import scipy.sparse.csgraph
except ImportError:  # optional reference
    scipy = None
try:
    import networkx as nx
except ImportError:  # optional reference
    nx = None
try:
    import ifcopenshell
except ImportError:  # optional reference
    ifcopenshell = None

ROWS = []


def row(section, case, what, seconds, reference=None, note=""):
    ROWS.append((section, case, what, seconds, reference, note))


def best_of(fn, repeat):
    best, result = math.inf, None
    for _ in range(repeat):
        t0 = time.perf_counter()
        result = fn()
        best = min(best, time.perf_counter() - t0)
    return best, result


# -- routes -------------------------------------------------------------------

def grid_graph(cols, rows, rng):
    nodes = [GraphNode(k, Vector3D((k % cols) * 4.0 + rng.uniform(-0.3, 0.3),
                                   (k // cols) * 3.0 + rng.uniform(-0.3, 0.3), 1.5))
             for k in range(cols * rows)]
    origin = Vector3D(0, 0, 0)
    edges = []
    for k in range(cols * rows):
        if k % cols + 1 < cols:
            edges.append(GraphEdge(k, k + 1, 9.0, origin, "VerticalWallContact"))
        if k + cols < cols * rows:
            edges.append(GraphEdge(k, k + cols, 12.0, origin, "VerticalWallContact"))
    return SpatialGraph(nodes, edges, [])


def route_length(graph_nodes, route):
    total = 0.0
    for u, v in zip(route, route[1:]):
        a, b = graph_nodes[u].centroid, graph_nodes[v].centroid
        total += math.sqrt((a.x - b.x) ** 2 + (a.y - b.y) ** 2 + (a.z - b.z) ** 2)
    return total


def scipy_matrix(graph):
    nodes, edges = graph.nodes, graph.edges
    xyz = np.array([(c.x, c.y, c.z) for c in (n.centroid for n in nodes)])
    ends = np.array([(e.node_a, e.node_b) for e in edges], dtype=np.int64).reshape(-1, 2)
    cost = np.sqrt(((xyz[ends[:, 0]] - xyz[ends[:, 1]]) ** 2).sum(axis=1))
    return scipy.sparse.csr_matrix((cost, (ends[:, 0], ends[:, 1])), shape=(len(nodes), len(nodes)))


def scipy_route(matrix, start, end):
    _, predecessors = scipy.sparse.csgraph.dijkstra(
        matrix, directed=False, indices=start, return_predecessors=True)
    if predecessors[end] < 0 and start != end:
        return []
    route = [end]
    while route[-1] != start:
        route.append(int(predecessors[route[-1]]))
    return route[::-1]


def networkx_route(graph, start, end):
    nodes = graph.nodes
    xyz = [(c.x, c.y, c.z) for c in (n.centroid for n in nodes)]
    g = nx.Graph()
    g.add_nodes_from(range(len(nodes)))
    for e in graph.edges:
        a, b = e.node_a, e.node_b
        g.add_edge(a, b, weight=math.dist(xyz[a], xyz[b]))
    return nx.dijkstra_path(g, start, end)


def bench_routes(sizes, repeat):
    rng = random.Random(1)
    for cols, rows in sizes:
        n = cols * rows
        case = f"grid {cols}x{rows} ({n:.0e} rooms)"
        graph = grid_graph(cols, rows, rng)
        start, end = 0, n - 1
        mine, route = best_of(lambda: graph.find_shortest_path(start, end), repeat)
        length = route_length(graph.nodes, route)
        row("route", case, "kovalith find_shortest_path", mine)
        if scipy is not None:
            full, other = best_of(lambda: scipy_route(scipy_matrix(graph), start, end), repeat)
            agree = math.isclose(route_length(graph.nodes, other), length, rel_tol=1e-12)
            row("route", case, "scipy dijkstra incl. adjacency from objects", mine, full,
                "same length" if agree else "LENGTHS DIFFER")
            matrix = scipy_matrix(graph)
            solve, _ = best_of(lambda: scipy_route(matrix, start, end), repeat)
            row("route", case, "scipy dijkstra, prebuilt matrix only", mine, solve)
        else:
            row("route", case, "scipy", mine, None, "scipy not installed")
        if nx is not None and n <= 10**5:
            t, other = best_of(lambda: networkx_route(graph, start, end), 1 if n > 10**4 else repeat)
            agree = math.isclose(route_length(graph.nodes, other), length, rel_tol=1e-12)
            row("route", case, "networkx dijkstra_path incl. graph build", mine, t,
                "same length" if agree else "LENGTHS DIFFER")
        del graph


# -- cypher -------------------------------------------------------------------

def cypher_graph(rng):
    nx_, ny_, nz_ = 40, 25, 10
    index = lambda x, y, z: (z * ny_ + y) * nx_ + x  # noqa: E731
    nodes = []
    for z in range(nz_):
        for y in range(ny_):
            for x in range(nx_):
                k = index(x, y, z)
                node = GraphNode(k, Vector3D(x * 4.0 + 2.0, y * 3.0 + 1.5, z * 3.1 + 1.55))
                node.set_attribute("name", f"Room {z:02d}-{y:02d}-{x:02d}")
                node.set_attribute("level", z)
                node.set_attribute("floor_area", round(rng.uniform(8.0, 40.0), 2))
                nodes.append(node)
    edges = []
    for z in range(nz_):
        for y in range(ny_):
            for x in range(nx_):
                k = index(x, y, z)
                for dx, dy, dz, kind in [(1, 0, 0, "VerticalWallContact"),
                                         (0, 1, 0, "VerticalWallContact"),
                                         (0, 0, 1, "HorizontalSlabContact")]:
                    if x + dx >= nx_ or y + dy >= ny_ or z + dz >= nz_ or rng.random() < 0.045:
                        continue
                    other = index(x + dx, y + dy, z + dz)
                    area = 9.3 if dz == 0 else 12.0
                    centroid = Vector3D(x * 4.0 + 2.0 + dx * 2.0, y * 3.0 + 1.5 + dy * 1.5,
                                        z * 3.1 + (3.1 if dz else 1.55))
                    edge = GraphEdge(k, other, area, centroid, kind)
                    if len(edges) % 10 == 0:
                        edge.set_attribute("has_door", True)
                    edges.append(edge)
    return SpatialGraph(nodes, edges, [])


def python_cypher(graph):
    out = []
    for n in graph.nodes:
        c = n.centroid
        extra = "".join(f", {k}: {v!r}" for k, v in n.get_all_attributes().items())
        out.append(f"CREATE (r{n.index}:Room {{index: {n.index}, centroid_x: {c.x}, "
                   f"centroid_y: {c.y}, centroid_z: {c.z}{extra}}})")
    for e in graph.edges:
        c = e.contact_centroid
        extra = "".join(f", {k}: {v!r}" for k, v in e.get_all_attributes().items())
        out.append(f"MATCH (a:Room {{index: {e.node_a}}}), (b:Room {{index: {e.node_b}}}) "
                   f"CREATE (a)-[:SHARES_WALL {{area: {e.shared_area}, centroid_x: {c.x}, "
                   f"centroid_y: {c.y}, centroid_z: {c.z}, contact_type: '{e.contact_type}'"
                   f"{extra}}}]->(b)")
    return out


def bench_cypher(repeat):
    graph = cypher_graph(random.Random(2))
    case = f"{len(graph.nodes)} rooms, {len(graph.edges)} contacts"
    mine, statements = best_of(graph.to_cypher_queries, repeat)
    reference, other = best_of(lambda: python_cypher(graph), repeat)
    assert len(statements) == len(other)
    row("cypher", case, "to_cypher_queries vs Python f-string loop", mine, reference,
        f"{sum(map(len, statements)) / 1e6:.1f} MB of text")


# -- ifc ----------------------------------------------------------------------

IFC_HEADER = """ISO-10303-21;
HEADER;
FILE_DESCRIPTION(('ViewDefinition [CoordinationView]'),'2;1');
FILE_NAME('bench.ifc','2024-01-01T00:00:00',(''),(''),'','','');
FILE_SCHEMA(('IFC4'));
ENDSEC;
DATA;
"""
BOX_CORNERS = [(0, 0, 0), (1, 0, 0), (1, 1, 0), (0, 1, 0), (0, 0, 1), (1, 0, 1), (1, 1, 1), (0, 1, 1)]
BOX_LOOPS = [(0, 3, 2, 1), (4, 5, 6, 7), (0, 1, 5, 4), (1, 2, 6, 5), (2, 3, 7, 6), (3, 0, 4, 7)]


def step_real(value):
    """A STEP real: always a point, exponent with a capital E."""
    text = repr(float(value)).upper()
    return text if "." in text else text.replace("E", ".E", 1)


def write_ifc(path, megabytes):
    target = int(megabytes * 1e6)
    n, box, size = 1, 0, 0
    with open(path, "w", encoding="ascii", newline="\n") as f:
        f.write(IFC_HEADER)
        while size < target:
            x, y, z = (box % 100) * 4.25, (box // 100 % 100) * 3.75, (box // 10000) * 3.1
            lines, points = [], []
            for cx, cy, cz in BOX_CORNERS:
                lines.append(f"#{n}=IFCCARTESIANPOINT(({step_real(x + cx * 4.25)},"
                             f"{step_real(y + cy * 3.75)},{step_real(z + cz * 3.1)}));")
                points.append(n)
                n += 1
            faces = []
            for loop in BOX_LOOPS:
                lines.append(f"#{n}=IFCPOLYLOOP((" + ",".join(f"#{points[i]}" for i in loop) + "));")
                lines.append(f"#{n + 1}=IFCFACEOUTERBOUND(#{n},.T.);")
                lines.append(f"#{n + 2}=IFCFACE((#{n + 1}));")
                faces.append(n + 2)
                n += 3
            lines.append(f"#{n}=IFCCLOSEDSHELL((" + ",".join(f"#{k}" for k in faces) + "));")
            lines.append(f"#{n + 1}=IFCFACETEDBREP(#{n});")
            n += 2
            block = "\n".join(lines) + "\n"
            f.write(block)
            size += len(block)
            box += 1
        f.write("ENDSEC;\nEND-ISO-10303-21;\n")
    return box


MEMORY_PROBE = r"""
import sys
from kovalith import IfcParser

def status(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024

before = status("VmRSS")
with open(sys.argv[1], encoding="ascii") as f:
    text = f.read()
with_text = status("VmRSS")
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")  # resets the peak (VmHWM) to the current resident size
mesh = IfcParser.parse_ifc_points_and_faces(text)
peak = status("VmHWM")
print(len(text), before, with_text, peak, len(mesh.faces))
"""


def bench_ifc(megabytes, repeat):
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "bench.ifc")
        boxes = write_ifc(path, megabytes)
        with open(path, encoding="ascii") as f:
            text = f.read()
        size = len(text)
        case = f"{size / 1e6:.0f} MB, {boxes} boxes"
        t0 = time.perf_counter()
        mesh = IfcParser.parse_ifc_points_and_faces(text)
        first = time.perf_counter() - t0
        assert len(mesh.faces) == 6 * boxes and len(mesh.vertices) == 8 * boxes
        del mesh
        best, mesh = best_of(lambda: IfcParser.parse_ifc_points_and_faces(text), repeat)
        del mesh
        row("ifc", case, "parse_ifc_points_and_faces (str in memory)", best, None,
            f"{size / best / 1e6:.0f} MB/s best, {size / first / 1e6:.0f} MB/s first call")
        env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
        out = subprocess.run([sys.executable, "-c", MEMORY_PROBE, path], capture_output=True,
                             text=True, check=True, env=env).stdout.split()
        length, before, with_text, peak, _ = map(int, out)
        row("ifc", case, "peak memory / text size", None, None,
            f"{(peak - before) / length:.2f}x with the str, "
            f"{(peak - with_text) / length:.2f}x added by reading")
        del text
        if ifcopenshell is not None:
            t0 = time.perf_counter()
            model = ifcopenshell.open(path)
            other = time.perf_counter() - t0
            count = len(model.by_type("IfcPolyLoop"))
            row("ifc", case, "ifcopenshell.open (file)", best, other,
                f"{size / other / 1e6:.0f} MB/s, {count} loops")
            del model
        else:
            row("ifc", case, "ifcopenshell.open", None, None, "ifcopenshell not installed")


def print_table():
    headers = ("section", "case", "what", "kovalith", "reference", "ratio", "note")
    lines = []
    for section, case, what, mine, reference, note in ROWS:
        lines.append((section, case, what,
                      f"{mine * 1e3:.1f} ms" if mine is not None else "",
                      f"{reference * 1e3:.1f} ms" if reference is not None else "",
                      f"{reference / mine:.1f}x" if mine and reference else "", note))
    widths = [max(len(str(x)) for x in column) for column in zip(headers, *lines)]
    for line in [headers] + lines:
        print("  ".join(str(x).ljust(w) for x, w in zip(line, widths)).rstrip())


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="small sizes, for a smoke run")
    parser.add_argument("--ifc-mb", type=float, default=100.0)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    sizes = [(100, 100), (250, 400), (1000, 1000)]
    if args.quick:
        sizes, args.ifc_mb = [(30, 30), (100, 100)], 5.0
    bench_routes(sizes, args.repeat)
    bench_cypher(args.repeat)
    bench_ifc(args.ifc_mb, args.repeat)
    print_table()


if __name__ == "__main__":
    main()
