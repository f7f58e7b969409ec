"""Graph build at campus scale, against a straightforward shapely version.

    python3 bench/bench_graph.py [--sizes 10x10,32x10,100x10] [--repeat 3]
                                 [--shapely-max 20000]

Each size is a grid building (bench/building.py): side x side rooms per floor
times floors, a door quad in every shared wall, a column in every room. Every
measurement runs in its own subprocess, so the peak RSS is that size's own
and a run pinned to one CPU (os.sched_setaffinity before the first build, which
sizes the worker pool) gives the one-worker time. Times are best of --repeat
builds of build_spatial_graph(1e-3) on a ready SpatialRegistry. "peak MB" is
the process's resident high-water mark over those builds (the registry and the
last graph included; the Python lists the building was generated from are gone
by then), "+build MB" its rise over the resident size before the first build.

The shapely column runs the same contact search in Python with shapely 2:
STRtree over the faces' padded boxes (xy, the z overlap checked by hand) for
candidates, the parallel and plane-distance tests, intersection, difference
with the coplanar door faces (found through a second STRtree), area and
centroid. It is checked against kovalith's edges before its time is shown.
Needs the bench extra: pip install '.[bench]'.
"""

import argparse
import gc
import json
import math
import os
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import building  # noqa: E402

TOLERANCE = 1e-3


def status_mb(field):
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1]) / 1024
    raise KeyError(field)


def reset_peak_rss():
    """Restarts the high-water mark of the resident set (Linux >= 4.0), so the
    peak seen afterwards is the build's, not the input generation's."""
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")


# --- one measurement, in a subprocess ---------------------------------------

def measure_kovalith(side, floors, repeat, pin):
    if pin:
        os.sched_setaffinity(0, {min(os.sched_getaffinity(0))})
    b = building.grid_building(side, floors)
    registry = b.registry()
    del b
    gc.collect()
    reset_peak_rss()
    before = status_mb("VmRSS")
    best, graph = math.inf, None
    for _ in range(repeat):
        graph = None
        t0 = time.perf_counter()
        graph = registry.build_spatial_graph(TOLERANCE)
        best = min(best, time.perf_counter() - t0)
    return {
        "rooms": len(graph.nodes), "edges": len(graph.edges),
        "wires": len(graph.wire_contacts), "seconds": best,
        "area": sum(e.shared_area for e in graph.edges),
        "peak_mb": status_mb("VmHWM"), "before_mb": before,
        "workers": len(os.listdir("/proc/self/task")),
    }


def face_planes(vertices, faces):
    """Newell normal and offset of each face, or None when degenerate."""
    import numpy as np

    out = []
    for face in faces:
        p = vertices[face]
        q = np.roll(p, -1, axis=0)
        n = np.array([((p[:, 1] - q[:, 1]) * (p[:, 2] + q[:, 2])).sum(),
                      ((p[:, 2] - q[:, 2]) * (p[:, 0] + q[:, 0])).sum(),
                      ((p[:, 0] - q[:, 0]) * (p[:, 1] + q[:, 1])).sum()])
        length = math.sqrt(float(n @ n))
        if length < 1e-8:
            out.append(None)
            continue
        n = n / length
        out.append((n, -float(n @ p[0])))
    return out


def frame(n):
    import numpy as np

    h = np.array([1.0, 0.0, 0.0]) if abs(n[0]) < 0.9 else np.array([0.0, 1.0, 0.0])
    u = np.cross(n, h)
    u /= np.linalg.norm(u)
    return u, np.cross(n, u)


def shapely_contacts(meshes, apertures, tol):
    """The contact search written plainly with shapely 2 and numpy."""
    import numpy as np
    import shapely

    def flatten(mesh_list):
        faces = []  # (mesh index, vertex array, face, plane, padded 3D box)
        for m, (vertices, mesh_faces) in enumerate(mesh_list):
            vs = np.asarray(vertices, dtype=float)
            for face, plane in zip(mesh_faces, face_planes(vs, mesh_faces)):
                p = vs[face]
                faces.append((m, vs, face, plane, p.min(axis=0) - tol, p.max(axis=0) + tol))
        return faces

    def strtree(faces):
        return shapely.STRtree([shapely.box(lo[0], lo[1], hi[0], hi[1])
                                for _, _, _, _, lo, hi in faces])

    def coplanar(a, b):
        k = float(a[0] @ b[0])
        if not abs(k) > 1 - tol:
            return False
        return abs(a[1] - (1.0 if k > 0 else -1.0) * b[1]) < tol

    def project(vs, face, origin, u, v):
        d = vs[face] - origin
        return shapely.Polygon(np.column_stack([d @ u, d @ v]))

    faces, doors = flatten(meshes), flatten(apertures)
    face_tree, door_tree = strtree(faces), strtree(doors) if doors else None
    edges = []
    for i, vs, face, plane, lo, hi in faces:
        if plane is None:
            continue
        query = shapely.box(lo[0], lo[1], hi[0], hi[1])
        origin = vs[face[0]]
        u, v = frame(plane[0])
        a = None
        cutters = None
        for k in sorted(face_tree.query(query)):
            j, ws, other, other_plane, olo, ohi = faces[k]
            if j <= i or other_plane is None or ohi[2] < lo[2] or olo[2] > hi[2]:
                continue
            if not coplanar(plane, other_plane):
                continue
            if a is None:
                a = project(vs, face, origin, u, v)
            region = a.intersection(project(ws, other, origin, u, v))
            if cutters is None:
                cutters = []
                if door_tree is not None:
                    for d in sorted(door_tree.query(query)):
                        _, ds, dface, dplane, dlo, dhi = doors[d]
                        if dplane is not None and dhi[2] >= lo[2] and dlo[2] <= hi[2] \
                                and coplanar(plane, dplane):
                            cutters.append(project(ds, dface, origin, u, v))
            for cut in cutters:
                region = region.difference(cut)
            area = region.area
            if not area > tol:
                continue
            c = region.centroid
            centre = origin + c.x * u + c.y * v
            kind = "HorizontalSlabContact" if abs(plane[0][2]) > 0.707 else "VerticalWallContact"
            edges.append((i, j, area, tuple(centre), kind))
    return edges


def measure_shapely(side, floors, repeat):
    b = building.grid_building(side, floors)
    best, edges = math.inf, None
    for _ in range(repeat):
        t0 = time.perf_counter()
        edges = shapely_contacts(b.meshes, b.apertures, TOLERANCE)
        best = min(best, time.perf_counter() - t0)
    return {"seconds": best, "edges": len(edges), "area": sum(e[2] for e in edges)}


# --- the table ----------------------------------------------------------------

def run_worker(*args):
    out = subprocess.run([sys.executable, __file__, "--worker", *map(str, args)],
                         capture_output=True, text=True, check=True)
    return json.loads(out.stdout)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", default="10x10,32x10,100x10",
                        help="comma-separated SIDExFLOORS grid sizes")
    parser.add_argument("--repeat", type=int, default=3,
                        help="builds per measurement (x10 below 20000 rooms, where "
                             "one build is short enough for scheduling noise to show)")
    parser.add_argument("--shapely-max", type=int, default=20000,
                        help="largest room count timed with shapely")
    parser.add_argument("--worker", nargs="+", help=argparse.SUPPRESS)
    args = parser.parse_args()

    if args.worker:
        kind, side, floors, repeat, *rest = args.worker
        side, floors, repeat = int(side), int(floors), int(repeat)
        if kind == "kovalith":
            result = measure_kovalith(side, floors, repeat, pin=rest == ["pin"])
        else:
            result = measure_shapely(side, floors, repeat)
        print(json.dumps(result))
        return

    cpus = len(os.sched_getaffinity(0))
    print(f"grid buildings, tolerance {TOLERANCE}, best of {args.repeat} builds "
          f"({args.repeat * 10} below 20000 rooms); {cpus} CPUs, "
          f"load average {os.getloadavg()[0]:.2f}")
    header = (f"{'rooms':>8}{'edges':>9}{'wires':>8}{'build s':>10}{'1 CPU s':>10}{'speed-up':>10}"
              f"{'peak MB':>9}{'+build MB':>10}{'shapely s':>11}{'x faster':>10}")
    print(header)
    times = {}
    for size in args.sizes.split(","):
        side, floors = map(int, size.split("x"))
        repeat = args.repeat * (10 if side * side * floors < 20000 else 1)
        both = run_worker("kovalith", side, floors, repeat)
        one = run_worker("kovalith", side, floors, repeat, "pin")
        assert one["workers"] == 1, "the pinned run still had workers"
        assert (one["edges"], one["area"]) == (both["edges"], both["area"])
        walls, slabs, area = building.grid_expectations(side, floors)
        assert both["edges"] == walls + slabs and math.isclose(both["area"], area, rel_tol=1e-9)
        shapely_s, ratio = "-", "-"
        if both["rooms"] <= args.shapely_max:
            ref = run_worker("shapely", side, floors, 1)
            assert ref["edges"] == both["edges"], (ref, both)
            assert math.isclose(ref["area"], both["area"], rel_tol=1e-9)
            shapely_s = f"{ref['seconds']:.2f}"
            ratio = f"{ref['seconds'] / both['seconds']:.0f}"
        times[both["rooms"]] = both["seconds"]
        print(f"{both['rooms']:>8}{both['edges']:>9}{both['wires']:>8}{both['seconds']:>10.3f}"
              f"{one['seconds']:>10.3f}{one['seconds'] / both['seconds']:>10.2f}"
              f"{both['peak_mb']:>9.0f}{both['peak_mb'] - both['before_mb']:>10.0f}{shapely_s:>11}{ratio:>10}",
              flush=True)
    rooms = sorted(times)
    for small, large in zip(rooms, rooms[1:]):
        print(f"{small} -> {large} rooms ({large / small:.1f}x): "
              f"{times[large] / times[small]:.1f}x the time")


if __name__ == "__main__":
    main()
