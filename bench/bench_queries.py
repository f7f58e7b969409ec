"""Routes, Cypher export and IFC reading against Python references, in one run.

    pip install '.[bench]'
    python3 bench/bench_queries.py [--quick] [--ifc-mb 100]

Prints one table. Times are the best of --repeat runs (wall clock) unless a
row says otherwise; "ratio" is reference time / kovalith time (above 1:
kovalith is faster).

- route: grid graphs of 10^4, 10^5 and 10^6 rooms (4 m x 3 m cells, centroids
  jittered by up to 0.3 m so that costs differ), one route between opposite
  corners, which settles nearly every room. kovalith's first call on a graph
  reads the centroids and edge ends out of the node and edge objects and
  builds the routing structure (timed once, on a fresh graph); later calls
  reuse it. The scipy reference does the same from Python (the node and edge
  attributes into NumPy arrays, a CSR matrix of centroid distances) and then
  runs scipy.sparse.csgraph.dijkstra from the start room (it has no
  stop-at-target option) and walks the predecessors back; a second scipy row
  times the solve on a prebuilt matrix alone. networkx (10^4 and 10^5 only)
  builds an nx.Graph from the same objects and runs dijkstra_path, which does
  stop at the target. Route lengths are checked to agree.
- routes: the same sizes (another jitter), the first query between two random
  rooms on a fresh graph, then the mean of --queries later queries between
  random rooms, each timed right beside scipy's dijkstra from the same start
  (indices=start, whole graph: it cannot stop at a target) on a CSR built
  beforehand, so that load from other processes falls on both alike (the
  garbage collector is off while timing, for both sides); the
  same through kovalith.routes.route; networkx dijkstra_path_length on a
  prebuilt nx.Graph (10 queries, up to 10^5 rooms); and all-rooms distances
  from one source against scipy (best of 3). With --baseline PATH the first
  query is also run, in a child process on the same graph, with the kovalith
  build found on PATH (a build from before the routing structure).
- egress: a generated 10-floor building of --egress-rooms rooms (a door in
  80% of the walls between neighbours, one stair opening per 100 rooms of a
  floor, door attributes as the building compiler writes them), the nearest
  of 20 ground-floor exits for every room through doors only, by walking
  distance (kovalith.routes.nearest) against scipy's multi-source dijkstra
  (min_only) on a CSR of the same costs built beforehand; distances and the
  chosen exits are compared.
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
import gc
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
        # The graph is fresh: this call reads the node and edge objects and
        # builds the routing structure that later calls reuse.
        mine, route = timed(lambda: graph.find_shortest_path(start, end))
        length = route_length(graph.nodes, route)
        row("route", case, "kovalith find_shortest_path, first call", mine)
        if scipy is not None:
            full, other = best_of(lambda: scipy_route(scipy_matrix(graph), start, end), repeat)
            agree = math.isclose(route_length(graph.nodes, other), length, rel_tol=1e-12)
            row("route", case, "scipy dijkstra incl. adjacency from objects", mine, full,
                "same length" if agree else "LENGTHS DIFFER")
            matrix = scipy_matrix(graph)
            solve, _ = best_of(lambda: scipy_route(matrix, start, end), repeat)
            row("route", case, "scipy dijkstra, prebuilt matrix only", mine, solve)
            later, _ = best_of(lambda: graph.find_shortest_path(start, end), repeat)
            row("route", case, "kovalith later call vs scipy, prebuilt matrix only", later, solve)
        else:
            row("route", case, "scipy", mine, None, "scipy not installed")
        if nx is not None and n <= 10**5:
            t, other = best_of(lambda: networkx_route(graph, start, end), 1 if n > 10**4 else repeat)
            agree = math.isclose(route_length(graph.nodes, other), length, rel_tol=1e-12)
            row("route", case, "networkx dijkstra_path incl. graph build", mine, t,
                "same length" if agree else "LENGTHS DIFFER")
        del graph


# -- many routes over one graph ------------------------------------------------

def csr_of(graph, costs=None, admitted=None):
    """Symmetric CSR of centroid costs (or of the given per-edge costs), the
    cheapest of parallel edges kept, self-loops dropped."""
    nodes, edges = graph.nodes, graph.edges
    xyz = np.array([(c.x, c.y, c.z) for c in (n.centroid for n in nodes)])
    ends = np.array([(e.node_a, e.node_b) for e in edges], dtype=np.int64).reshape(-1, 2)
    if costs is None:
        costs = np.sqrt(((xyz[ends[:, 0]] - xyz[ends[:, 1]]) ** 2).sum(axis=1))
    keep = ends[:, 0] != ends[:, 1]
    if admitted is not None:
        keep &= admitted
    a, b, c = ends[keep, 0], ends[keep, 1], costs[keep]
    order = np.lexsort((c, b, a))
    a, b, c = a[order], b[order], c[order]
    first = np.ones(len(a), dtype=bool)
    first[1:] = (a[1:] != a[:-1]) | (b[1:] != b[:-1])
    m = scipy.sparse.csr_matrix((c[first], (a[first], b[first])), shape=(len(nodes), len(nodes)))
    return m


def timed(fn):
    t0 = time.perf_counter()
    result = fn()
    return time.perf_counter() - t0, result


def bench_many_routes(sizes, queries, baseline):
    """First query and the mean of `queries` later queries between random
    rooms, each later query timed beside scipy's dijkstra from the same start
    on a CSR built beforehand (interleaved, so that load from other processes
    falls on both alike)."""
    from kovalith import routes

    for cols, rows in sizes:
        n = cols * rows
        case = f"grid {cols}x{rows} ({n:.0e} rooms)"
        graph = grid_graph(cols, rows, random.Random(n))  # the baseline rebuilds it
        rng = random.Random(3)
        pairs = [(rng.randrange(n), rng.randrange(n)) for _ in range(queries + 1)]
        first, _ = timed(lambda: graph.find_shortest_path(*pairs[0]))
        row("routes", case, "first query (builds the routing structure)", first)
        if baseline:
            # Both builds in a fresh child process on the same graph: the
            # parent's heap, fragmented by the sizes before, would slow the
            # reading of the node and edge objects for one side only.
            import kovalith
            here = os.path.dirname(os.path.dirname(os.path.abspath(kovalith.__file__)))
            mine_first = min(baseline_first_query(here, cols, rows, pairs[0]) for _ in range(2))
            before = min(baseline_first_query(baseline, cols, rows, pairs[0]) for _ in range(2))
            row("routes", case, "first query, fresh process: this build vs --baseline build",
                mine_first, before, "best of 2 processes each")
        matrix = csr_of(graph)
        gc.disable()  # a collection of the graph's objects would land on one side only
        mine = scipy_total = route_total = 0.0
        lengths_agree = True
        for s, e in pairs[1:]:
            t, rooms = timed(lambda: graph.find_shortest_path(s, e))
            mine += t
            t, r = timed(lambda: routes.route(graph, s, e))
            route_total += t
            t, (dist, _) = timed(lambda: scipy.sparse.csgraph.dijkstra(
                matrix, directed=False, indices=s, return_predecessors=True))
            scipy_total += t
            assert r.rooms == rooms
            lengths_agree &= math.isclose(r.length, dist[e], rel_tol=1e-12)
        k = len(pairs) - 1
        row("routes", case, f"later find_shortest_path (mean of {k}) vs scipy dijkstra, CSR built",
            mine / k, scipy_total / k, "same lengths" if lengths_agree else "LENGTHS DIFFER")
        row("routes", case, f"later routes.route (mean of {k}) vs scipy dijkstra, CSR built",
            route_total / k, scipy_total / k)
        if nx is not None and n <= 10**5:
            xyz = [(c.x, c.y, c.z) for c in (n_.centroid for n_ in graph.nodes)]
            g = nx.Graph()
            g.add_weighted_edges_from((e.node_a, e.node_b, math.dist(xyz[e.node_a], xyz[e.node_b]))
                                      for e in graph.edges)
            few = pairs[1:11]
            t_nx = sum(timed(lambda: nx.dijkstra_path_length(g, s, e))[0] for s, e in few)
            t_me = sum(timed(lambda: graph.find_shortest_path(s, e))[0] for s, e in few)
            row("routes", case, f"later find_shortest_path (mean of {len(few)}) vs networkx "
                "dijkstra_path_length, nx.Graph built", t_me / len(few), t_nx / len(few))
        best_me = best_sp = math.inf
        same = True
        for s in [pairs[1][0], pairs[2][0], pairs[3][0]]:
            t, reach = timed(lambda: routes.distances(graph, s))
            best_me = min(best_me, t)
            t, dist = timed(lambda: scipy.sparse.csgraph.dijkstra(
                matrix, directed=False, indices=s, return_predecessors=True))
            best_sp = min(best_sp, t)
            same &= np.allclose(reach.distance, dist[0], rtol=1e-12)
        gc.enable()
        row("routes", case, "all rooms from one source: routes.distances vs scipy (best of 3)",
            best_me, best_sp, "same distances" if same else "DISTANCES DIFFER")
        del graph, matrix


BASELINE_PROBE = r"""
import random, sys, time
sys.path.insert(0, sys.argv[1])
from bench_queries import grid_graph
cols, rows, s, e = map(int, sys.argv[2:6])
graph = grid_graph(cols, rows, random.Random(cols * rows))
t0 = time.perf_counter()
graph.find_shortest_path(s, e)
print(time.perf_counter() - t0)
"""


def baseline_first_query(path, cols, rows, pair):
    """The same first query with another build of kovalith (PYTHONPATH
    `path`), in a child process."""
    env = dict(os.environ, PYTHONPATH=path)
    out = subprocess.run([sys.executable, "-c", BASELINE_PROBE, os.path.dirname(__file__),
                          str(cols), str(rows), str(pair[0]), str(pair[1])],
                         capture_output=True, text=True, check=True, env=env).stdout
    return float(out.split()[-1])


def door_grid(cols, rows, floors, rng, closed=0.2):
    """A generated building as a graph: cols x rows rooms on each floor, a
    door in each wall (closed at random), one stair per 100 rooms of a floor;
    door attributes as the building compiler writes them."""
    per_floor = cols * rows
    n = per_floor * floors
    nodes = [GraphNode(k, Vector3D((k % cols) * 4.0 + 2.0, (k // cols % rows) * 3.0 + 1.5,
                                   (k // per_floor) * 3.0 + 1.5)) for k in range(n)]
    edges = []
    stairs = set(rng.sample(range(per_floor), max(1, per_floor // 100)))
    for k in range(n):
        x, y, z = k % cols, k // cols % rows, k // per_floor
        for other, dx, dy, dz, kind in [(k + 1, 2.0, 0.0, 0.0, "VerticalWallContact"),
                                        (k + cols, 0.0, 1.5, 0.0, "VerticalWallContact"),
                                        (k + per_floor, 0.0, 0.0, 1.5, "HorizontalSlabContact")]:
            if (dx and x + 1 >= cols) or (dy and y + 1 >= rows) or (dz and z + 1 >= floors):
                continue
            c = nodes[k].centroid
            centre = Vector3D(c.x + dx, c.y + dy, c.z + dz)
            e = GraphEdge(k, other, 12.0, centre, kind)
            if (kind == "VerticalWallContact" and rng.random() >= closed) or \
                    (dz and k % per_floor in stairs):
                e.set_attribute("openings", [len(edges)])
                e.set_attribute("opening_centroid",
                                Vector3D(centre.x + rng.uniform(-0.4, 0.4) * (dx == 0.0),
                                         centre.y + rng.uniform(-0.4, 0.4) * (dy == 0.0),
                                         centre.z - 0.5 * (dz == 0.0)))
            else:
                e.set_attribute("openings", [])
            edges.append(e)
    return SpatialGraph(nodes, edges, [])


def bench_nearest_exit(rooms, exits_count):
    from kovalith import routes

    rng = random.Random(4)
    floors = 10
    side = int(round(math.sqrt(rooms / floors)))
    graph = door_grid(side, side, floors, rng)
    n = len(graph.nodes)
    ground = [k for k in range(side * side) if k % side in (0, side - 1) or k // side in (0, side - 1)]
    exits = rng.sample(ground, exits_count)
    case = f"{n} rooms, {floors} floors, {len(graph.edges)} contacts, {exits_count} exits"
    gc.disable()
    first, _ = timed(lambda: routes.nearest(graph, exits, via="openings", cost="walk"))
    mine, near = best_of(lambda: routes.nearest(graph, exits, via="openings", cost="walk"), 3)
    row("egress", case, "routes.nearest(via='openings', cost='walk'), first call", first)
    # scipy on the same walking costs over door edges, CSR built beforehand.
    xyz = np.array([(c.x, c.y, c.z) for c in (n_.centroid for n_ in graph.nodes)])
    costs, admitted = [], []
    for e in graph.edges:
        p = e.get_attribute("opening_centroid")
        p = e.contact_centroid if p is None else p
        a, b = xyz[e.node_a], xyz[e.node_b]
        p = np.array([p.x, p.y, p.z])
        costs.append(np.sqrt(((a - p) ** 2).sum()) + np.sqrt(((p - b) ** 2).sum()))
        admitted.append(bool(e.get_attribute("openings")))
    matrix = csr_of(graph, np.array(costs), np.array(admitted))
    other, (dist, _, source) = best_of(lambda: scipy.sparse.csgraph.dijkstra(
        matrix, directed=False, indices=exits, min_only=True, return_predecessors=True), 3)
    gc.enable()
    reached = np.isfinite(dist)
    agree = (np.array_equal(np.isfinite(near.distance), reached)
             and np.allclose(near.distance[reached], dist[reached], rtol=1e-12))
    same_exit = np.mean(near.source[reached] == source[reached])
    row("egress", case, "routes.nearest (best of 3) vs scipy dijkstra min_only, CSR built",
        mine, other, f"{'same distances' if agree else 'DISTANCES DIFFER'}, same exit for "
        f"{same_exit:.1%} of {reached.sum()} reachable rooms")


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
    parser.add_argument("--queries", type=int, default=100, help="later route queries per size")
    parser.add_argument("--egress-rooms", type=int, default=100000)
    parser.add_argument("--baseline", help="PYTHONPATH of another kovalith build for the first "
                        "query")
    parser.add_argument("--only", choices=["route", "routes", "egress", "cypher", "ifc"],
                        action="append", help="run only these sections")
    args = parser.parse_args()
    sizes = [(100, 100), (250, 400), (1000, 1000)]
    if args.quick:
        sizes, args.ifc_mb, args.queries, args.egress_rooms = [(30, 30), (100, 100)], 5.0, 10, 10000
    wanted = set(args.only or ["route", "routes", "egress", "cypher", "ifc"])
    if "route" in wanted:
        bench_routes(sizes, args.repeat)
    if scipy is not None and "routes" in wanted:
        bench_many_routes(sizes, args.queries, args.baseline)
    if scipy is not None and "egress" in wanted:
        bench_nearest_exit(args.egress_rooms, 20)
    if "cypher" in wanted:
        bench_cypher(args.repeat)
    if "ifc" in wanted:
        bench_ifc(args.ifc_mb, args.repeat)
    print_table()


if __name__ == "__main__":
    main()
