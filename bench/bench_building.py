"""The building compiler at 10^3 to 10^5 rooms, and the traps it must avoid.

    python3 bench/bench_building.py table [--sizes 10x10x10,25x20x20,50x50x40]
                                          [--shapely 5x5x5,10x10x10] [--elements]
    python3 bench/bench_building.py spread [--n 160]
    python3 bench/bench_building.py poison [--faces 1000000] [--rooms 1000]
    python3 bench/bench_building.py doors [--counts 1000,3000,10000,100000]

table: generated buildings (bench/building.py `real_building`): 0.2 m walls,
0.3 m slabs, 0.5 m ceiling voids, a door box in 80 % of the walls, stair holes
in 30 % of the slabs, every face triangulated. Each size runs in its own
subprocess (peak RSS is that process's high-water mark over the build, input
included). "compile s" is compile_building with its defaults, checked against
the generator's truth (every neighbour pair found, no other); "touching s" is
build_spatial_graph(1e-3) on the same building with zero walls, slabs and
voids (the case it is made for); "shapely s" the same gap search written
plainly with shapely 2 (STRtree candidates, the same tests, intersection,
differences, area, centroid), checked against the truth too.

spread: N x N unit rooms plus one mesh of N x N floor quads under them, listed
first, for both builds, against the rooms alone. poison: a mesh of faces with
NaN corners listed after a grid of rooms. doors: door quads in one shared wall
(a square grid of them, and a single row), both builds.
Needs the bench extra: pip install '.[bench]'.
"""

from __future__ import annotations

import argparse
import gc
import json
import math
import os
import resource
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import building  # noqa: E402

REAL = dict(wall=0.2, slab=0.3, void=0.5, door_share=0.8, stair_share=0.3, split=1)
TOUCHING = dict(REAL, wall=0.0, slab=0.0, void=0.0)
SETTINGS = dict(distance=1e-3, angle=1.0, min_area=0.01, wall_gap=0.5, slab_gap=2.0)


def cpu_seconds():
    r = resource.getrusage(resource.RUSAGE_SELF)
    return r.ru_utime + r.ru_stime


def peak_mb():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024


def check(graph, truth):
    found = {(e.node_a, e.node_b) for e in graph.edges}
    return len(set(truth) - found), len(found - set(truth))


# --- shapely reference ------------------------------------------------------

def shapely_compile(b, distance, angle, min_area, wall_gap, slab_gap):
    """The gap search of compile_building, plainly: {(a, b): net area}."""
    import numpy as np
    import shapely
    from shapely.geometry import Polygon

    cos_limit = math.cos(math.radians(angle))
    faces = []  # (room, normal, origin, corners)
    for room, (vertices, fs) in enumerate(b.meshes):
        pts = np.asarray(vertices, dtype=float)
        flip = 1.0
        vol = 0.0
        for f in fs:
            a = pts[f[0]] - pts[0]
            for k in range(2, len(f)):
                vol += np.dot(a, np.cross(pts[f[k - 1]] - pts[0], pts[f[k]] - pts[0]))
        if vol < 0:
            flip = -1.0
        for f in fs:
            c = pts[list(f)]
            n = np.zeros(3)
            for k in range(len(c)):
                p, q = c[k], c[(k + 1) % len(c)]
                n += np.array([(p[1] - q[1]) * (p[2] + q[2]), (p[2] - q[2]) * (p[0] + q[0]),
                               (p[0] - q[0]) * (p[1] + q[1])])
            ln = np.linalg.norm(n)
            if ln < 1e-8:
                continue
            faces.append((room, flip * n / ln, c[0], c))
    openings = []
    for m, (vertices, fs) in enumerate(b.apertures):
        pts = np.asarray(vertices, dtype=float)
        for f in fs:
            c = pts[list(f)]
            n = np.cross(c[1] - c[0], c[2] - c[0])
            ln = np.linalg.norm(n)
            if ln > 1e-12:
                openings.append((m, n / ln, c))

    def xy_box(c, pad):
        return shapely.box(c[:, 0].min() - pad, c[:, 1].min() - pad,
                           c[:, 0].max() + pad, c[:, 1].max() + pad)

    tree = shapely.STRtree([xy_box(f[3], distance) for f in faces])
    zr = [(f[3][:, 2].min() - distance, f[3][:, 2].max() + distance) for f in faces]
    otree = shapely.STRtree([xy_box(o[2], distance) for o in openings]) if openings else None

    def frame(n):
        h = np.array([1.0, 0, 0]) if abs(n[0]) < 0.9 else np.array([0, 1.0, 0])
        u = np.cross(n, h)
        u /= np.linalg.norm(u)
        return u, np.cross(n, u)

    def project(c, o, u, v):
        d = c - o
        return Polygon(np.column_stack((d @ u, d @ v)))

    totals = {}
    for fi, (room, n, o, c) in enumerate(faces):
        slab = abs(n[2]) > 0.707
        reach = (slab_gap if slab else wall_gap) + distance
        swept = np.vstack((c, c + n * reach))
        z0, z1 = swept[:, 2].min() - distance, swept[:, 2].max() + distance
        near = [k for k in tree.query(xy_box(swept, distance))
                if zr[k][1] >= z0 and zr[k][0] <= z1]
        u, v = frame(n)
        a = None
        for gi in near:
            other, ng, _, cg = faces[gi]
            if other <= room:
                continue
            k = float(n @ ng)
            if not (k < -cos_limit or k > cos_limit):
                continue
            t = (cg - o) @ n
            if t.min() < -distance or t.max() > (reach if k < 0 else distance):
                continue
            a = a if a is not None else project(c, o, u, v)
            region = a.intersection(project(cg, o, u, v))
            if region.area <= 0:
                continue
            if t.max() > distance:
                cut = []
                for hi in near:
                    third, nh, _, ch = faces[hi]
                    if third in (room, other) or abs(float(n @ nh)) <= cos_limit:
                        continue
                    th = (ch - o) @ n
                    if th.min() < -distance or th.max() > t.max() + distance:
                        continue
                    mean = th.mean()
                    if (float(n @ nh) < 0 and mean < t.min() - distance) or (
                            float(n @ nh) > 0 and mean > distance):
                        cut.append(project(ch, o, u, v))
                if cut:
                    region = region.difference(shapely.union_all(cut))
            if otree is not None:
                box3 = np.vstack((c, cg))
                cut = []
                for q in otree.query(xy_box(box3, distance)):
                    _, na, ca = openings[q]
                    if abs(float(n @ na)) <= cos_limit:
                        continue
                    ta = (ca - o) @ n
                    low, high = min(0.0, t.min()) - distance, max(0.0, t.max()) + distance
                    if ta.min() < low or ta.max() > high:
                        continue
                    cut.append(project(ca, o, u, v))
                if cut:
                    region = region.difference(shapely.union_all(cut))
            if region.area > 0:
                key = (room, other)
                totals[key] = totals.get(key, 0.0) + region.area
    return {k: a for k, a in totals.items() if a > min_area}


# --- one measurement, in a subprocess ----------------------------------------

def dims(text):
    return tuple(int(x) for x in text.split("x"))


def one_table(spec):
    nx, ny, nz = dims(spec["size"])
    kind = spec["kind"]
    import kovalith
    from kovalith.building import compile_building

    options = TOUCHING if kind == "touching" else REAL
    b, truth = building.real_building(nx, ny, nz, seed=1, elements=kind == "elements", **options)
    elements = b.element_meshes() if kind == "elements" else None
    out = {"rooms": len(b.meshes), "faces": sum(len(f) for _, f in b.meshes)}
    if kind == "shapely":
        t = time.perf_counter()
        got = shapely_compile(b, **SETTINGS)
        out["time"] = time.perf_counter() - t
        out["missing"] = len(set(truth) - set(got))
        out["false"] = len(set(got) - set(truth))
        out["edges"] = len(got)
        return out
    registry = b.registry()
    del b
    # The worker pool starts on first use; start it before the clock does.
    warm, _ = building.real_building(2, 1, 1, seed=1)
    warm.registry().build_spatial_graph(1e-3)
    gc.collect()
    gc.freeze()  # the truth and the registry stay out of later collections
    cpu = cpu_seconds()
    t = time.perf_counter()
    if kind == "touching":
        graph = registry.build_spatial_graph(1e-3)
    else:
        graph = compile_building(registry, elements=elements, **SETTINGS)
    out["time"] = time.perf_counter() - t
    if elements is not None:
        out["elements"] = len(elements)
        # Every generated contact has its wall or slab behind it.
        out["bare"] = sum(1 for e in graph.edges if not e.get_attribute("elements"))
    out["cpu"] = cpu_seconds() - cpu
    out["edges"] = len(graph.edges)
    out["peak_mb"] = peak_mb()
    # build_spatial_graph gives one edge per face pair: room pairs are compared.
    out["missing"], out["false"] = check(graph, truth)
    del kovalith
    return out


def spread_registry(n, slab_first):
    from kovalith import Mesh, SpatialRegistry, Vector3D

    rooms = []
    for j in range(n):
        for i in range(n):
            vs, fs = building.box_mesh(i, j, 0, i + 1, j + 1, 1)
            rooms.append(Mesh([Vector3D(*p) for p in vs], fs))
    meshes = rooms
    if slab_first:
        vertices = [Vector3D(i, j, 0) for j in range(n + 1) for i in range(n + 1)]
        faces = [[j * (n + 1) + i, j * (n + 1) + i + 1, (j + 1) * (n + 1) + i + 1,
                  (j + 1) * (n + 1) + i] for j in range(n) for i in range(n)]
        meshes = [Mesh(vertices, faces)] + rooms
    return SpatialRegistry(meshes, [], [])


def timed(fn, repeat=3):
    best = math.inf
    result = None
    for _ in range(repeat):
        t = time.perf_counter()
        result = fn()
        best = min(best, time.perf_counter() - t)
    return best, result


def one_spread(spec):
    reg = spread_registry(spec["n"], spec["slab_first"])
    out = {}
    out["spec"], g = timed(lambda: reg.build_spatial_graph(1e-3))
    out["spec_edges"] = len(g.edges)
    if spec.get("building", True):
        from kovalith.building import compile_building

        out["building"], g = timed(lambda: compile_building(reg))
        out["building_edges"] = len(g.edges)
    return out


def one_poison(spec):
    from kovalith import Mesh, SpatialRegistry, Vector3D

    side = int(round(math.sqrt(spec["rooms"] / 10)))
    rooms = []
    for k in range(10):
        for j in range(side):
            for i in range(side):
                vs, fs = building.box_mesh(4 * i, 4 * j, 3 * k, 4 * i + 4, 4 * j + 4, 3 * k + 3)
                rooms.append(Mesh([Vector3D(*p) for p in vs], fs))
    nan = math.nan
    poison = Mesh([Vector3D(nan, nan, nan)] * 3, [[0, 1, 2]] * spec["faces"])
    out = {"rooms": len(rooms)}
    for label, meshes in (("alone", rooms), ("poison", rooms + [poison])):
        reg = SpatialRegistry(meshes, [], [])
        out[label + "_spec"], g = timed(lambda: reg.build_spatial_graph(1e-3), 1)
        out[label + "_spec_edges"] = len(g.edges)
        if spec.get("building", True):
            from kovalith.building import compile_building

            out[label + "_building"], g = timed(lambda: compile_building(reg), 1)
            out[label + "_building_edges"] = len(g.edges)
    return out


def door_quads(n, layout):
    from kovalith import Mesh, Vector3D

    out = []
    if layout == "grid":
        m = math.ceil(math.sqrt(n))
        step = 10.0 / m
        for q in range(n):
            a, c = divmod(q, m)
            y0, z0, s = (a + 0.1) * step, (c + 0.1) * step, 0.8 * step
            corners = [Vector3D(10, y0, z0), Vector3D(10, y0 + s, z0),
                       Vector3D(10, y0 + s, z0 + s), Vector3D(10, y0, z0 + s)]
            out.append(Mesh(corners, [[0, 1, 2, 3]]))
    else:
        step = 10.0 / n
        for q in range(n):
            y0, s = (q + 0.1) * step, 0.8 * step
            out.append(Mesh([Vector3D(10, y0, 1), Vector3D(10, y0 + s, 1),
                             Vector3D(10, y0 + s, 3), Vector3D(10, y0, 3)], [[0, 1, 2, 3]]))
    return out


def one_doors(spec):
    from kovalith import Mesh, SpatialRegistry, Vector3D

    def room(x0):
        vs, fs = building.box_mesh(x0, 0, 0, x0 + 10, 10, 10)
        return Mesh([Vector3D(*p) for p in vs], fs)

    reg = SpatialRegistry([room(0), room(10)], [], door_quads(spec["count"], spec["layout"]))
    out = {}
    out["spec"], g = timed(lambda: reg.build_spatial_graph(1e-3), 1)
    out["spec_area"] = g.edges[0].shared_area if g.edges else 0.0
    if spec.get("building", True):
        from kovalith.building import compile_building

        out["building"], g = timed(lambda: compile_building(reg, min_area=1e-6), 1)
        out["building_area"] = g.edges[0].shared_area if g.edges else 0.0
    return out


def run_child(kind, spec, timeout=3600):
    proc = subprocess.run([sys.executable, __file__, "--child", kind, json.dumps(spec)],
                          capture_output=True, text=True, timeout=timeout)
    if proc.returncode != 0:
        raise RuntimeError(proc.stderr[-2000:])
    return json.loads(proc.stdout.strip().splitlines()[-1])


# --- tables -------------------------------------------------------------------

def table(args):
    if args.elements:
        return elements_table(args)
    print(f"{'rooms':>7} {'faces':>8} {'compile s':>9} {'cpu s':>6} {'edges':>7} {'peak MB':>8} "
          f"{'found':>9} {'touching s':>10} {'cpu s':>6} {'ratio':>6} {'cpu ratio':>9} "
          f"{'shapely s':>9} "
          f"{'x faster':>8}")
    shapely_sizes = set(args.shapely.split(",")) if args.shapely else set()
    for size in args.sizes.split(","):
        c = run_child("table", {"size": size, "kind": "compile"})
        t = run_child("table", {"size": size, "kind": "touching"})
        found = f"{c['missing']}m/{c['false']}f"
        line = (f"{c['rooms']:>7} {c['faces']:>8} {c['time']:>9.3f} {c['cpu']:>6.2f} "
                f"{c['edges']:>7} {c['peak_mb']:>8.0f} {found:>9} {t['time']:>10.3f} "
                f"{t['cpu']:>6.2f} {c['time'] / t['time']:>6.2f} "
                f"{c['cpu'] / max(t['cpu'], 1e-9):>9.2f}")
        if size in shapely_sizes:
            s = run_child("table", {"size": size, "kind": "shapely"})
            assert (s["missing"], s["false"]) == (0, 0), s
            line += f" {s['time']:>9.2f} {s['time'] / c['time']:>8.0f}"
        print(line, flush=True)
    print("found: generator pairs missing (m) / edges between non-neighbours (f); "
          "ratio: compile s / touching s (cpu ratio: of cpu s); "
          "cpu s: user + system time of the build (2 workers)")


def elements_table(args):
    """compile_building with the walls and slabs as element meshes beside the
    same compile without them, same building, same run."""
    print(f"{'rooms':>7} {'elements':>8} {'plain s':>8} {'peak MB':>8} {'elements s':>10} "
          f"{'peak MB':>8} {'ratio':>6} {'MB ratio':>8} {'found':>9} {'bare':>5}")
    for size in args.sizes.split(","):
        c = run_child("table", {"size": size, "kind": "compile"})
        e = run_child("table", {"size": size, "kind": "elements"})
        found = f"{e['missing']}m/{e['false']}f"
        print(f"{e['rooms']:>7} {e['elements']:>8} {c['time']:>8.3f} {c['peak_mb']:>8.0f} "
              f"{e['time']:>10.3f} {e['peak_mb']:>8.0f} {e['time'] / c['time']:>6.2f} "
              f"{e['peak_mb'] / c['peak_mb']:>8.2f} {found:>9} {e['bare']:>5}", flush=True)
    print("elements: a wall per wall between two rooms, a slab per room under another; "
          "bare: edges with no element behind them (0 expected)")


def spread(args):
    alone = run_child("spread", {"n": args.n, "slab_first": False, "building": not args.spec_only})
    slab = run_child("spread", {"n": args.n, "slab_first": True, "building": not args.spec_only})
    print(f"N = {args.n}: rooms alone vs slab of N x N quads listed first (best of 3)")
    for key in ("spec", "building"):
        if key in alone:
            print(f"  {key:>8}: alone {alone[key]:.3f} s ({alone[key + '_edges']} edges), "
                  f"slab first {slab[key]:.3f} s ({slab[key + '_edges']} edges), "
                  f"ratio {slab[key] / alone[key]:.2f}")


def poison(args):
    r = run_child("poison", {"faces": args.faces, "rooms": args.rooms,
                             "building": not args.spec_only})
    print(f"{args.faces} NaN faces after {r['rooms']} rooms")
    for key in ("spec", "building"):
        if "alone_" + key in r:
            print(f"  {key:>8}: rooms alone {r['alone_' + key]:.3f} s, with poison "
                  f"{r['poison_' + key]:.3f} s, edges {r['alone_' + key + '_edges']} / "
                  f"{r['poison_' + key + '_edges']}")


def doors(args):
    print(f"{'layout':>6} {'doors':>7} {'spec s':>8} {'building s':>10} {'net area':>14}")
    for layout in ("grid", "row"):
        for n in (int(x) for x in args.counts.split(",")):
            try:
                r = run_child("doors", {"count": n, "layout": layout,
                                        "building": not args.spec_only}, timeout=args.timeout)
            except subprocess.TimeoutExpired:
                print(f"{layout:>6} {n:>7} {'>' + str(args.timeout):>8}")
                continue
            b = f"{r['building']:>10.3f}" if "building" in r else f"{'-':>10}"
            print(f"{layout:>6} {n:>7} {r['spec']:>8.3f} {b} {r['spec_area']:>14.9f}", flush=True)


def main():
    if len(sys.argv) > 1 and sys.argv[1] == "--child":
        kind, spec = sys.argv[2], json.loads(sys.argv[3])
        fn = {"table": one_table, "spread": one_spread, "poison": one_poison,
              "doors": one_doors}[kind]
        print(json.dumps(fn(spec)))
        return
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("what", choices=("table", "spread", "poison", "doors", "all"))
    p.add_argument("--sizes", default="10x10x10,25x20x20,50x50x40")
    p.add_argument("--shapely", default="5x5x5,10x10x10")
    p.add_argument("--n", type=int, default=160)
    p.add_argument("--faces", type=int, default=1_000_000)
    p.add_argument("--rooms", type=int, default=1000)
    p.add_argument("--counts", default="1000,3000,10000,100000")
    p.add_argument("--timeout", type=float, default=600)
    p.add_argument("--elements", action="store_true",
                   help="table: with the walls and slabs as element meshes, beside the plain compile")
    p.add_argument("--spec-only", action="store_true",
                   help="build_spatial_graph only (for a build without kovalith.building)")
    args = p.parse_args()
    for name, fn in (("table", table), ("spread", spread), ("poison", poison),
                     ("doors", doors)):
        if args.what in (name, "all"):
            fn(args)


if __name__ == "__main__":
    main()
