"""Kernel operations against NumPy, trimesh and shapely on the same inputs.

    pip install '.[bench]'
    python3 bench/bench_kernel.py [--scale 1.0]

Prints one table: best-of-N wall time of each kovalith operation and of each
reference, and the ratio reference / kovalith (above 1: kovalith is faster).
All inputs are built once before timing; the timed kovalith calls include
creating their result objects, not reading them back into Python lists.

- clean: a triangle soup of 10^6 vertices (every triangle with its own three
  vertex copies, jittered well inside a weld cell) welded at 1e-3; against a
  NumPy weld (np.unique over rounded int64 keys with return_inverse, faces
  remapped, collapsed triangles dropped) and trimesh's merge_vertices.
- slice: a height-field surface of 10^6 triangles cut by an oblique plane;
  against trimesh.intersections.slice_mesh_plane without cap, which returns
  one side per call (both sides take two calls).
- join: 10^4 random overlapping rectangle pairs as extruded prisms, one
  boolean_join_extruded call per pair; against shapely's intersection and the
  two differences with their areas summed, per pair in a loop and as shapely's
  vectorised array operations.
"""

import argparse
import math
import random
import time

import numpy as np

from kovalith import Mesh, Vector3D, boolean_join_extruded

try:
    import trimesh
except ImportError:  # optional reference
    trimesh = None
try:
    import shapely
except ImportError:  # optional reference
    shapely = None


def best_of(fn, repeat, setup=None):
    best = math.inf
    for _ in range(repeat):
        arg = setup() if setup else None
        t0 = time.perf_counter()
        fn(arg) if setup else fn()
        best = min(best, time.perf_counter() - t0)
    return best


def to_mesh(vertices, faces):
    return Mesh([Vector3D(*v) for v in vertices.tolist()], faces.tolist())


# -- clean ------------------------------------------------------------------

def triangle_soup(vertex_count, tolerance, rng):
    triangles = vertex_count // 3
    side = int(math.sqrt(triangles / 2)) + 2
    x, y = np.meshgrid(np.arange(side), np.arange(side), indexing="ij")
    grid = np.stack([x.ravel(), y.ravel(), ((x * 7 + y * 3) % 11).ravel()], axis=1)
    grid = grid * (10 * tolerance)  # grid points at cell centres, ten cells apart
    ids = np.arange(side * side).reshape(side, side)
    quads = np.stack([ids[:-1, :-1].ravel(), ids[1:, :-1].ravel(),
                      ids[1:, 1:].ravel(), ids[:-1, 1:].ravel()], axis=1)
    tris = np.concatenate([quads[:, [0, 1, 2]], quads[:, [0, 2, 3]]])[:triangles]
    vertices = grid[tris.ravel()] + rng.uniform(-0.2, 0.2, (3 * triangles, 3)) * tolerance
    faces = np.arange(3 * triangles, dtype=np.int64).reshape(-1, 3)
    return vertices, faces


def numpy_weld(vertices, faces, tolerance):
    keys = np.round(vertices / tolerance).astype(np.int64)
    _, first, inverse = np.unique(keys, axis=0, return_index=True, return_inverse=True)
    welded = vertices[first]
    f = inverse.reshape(-1)[faces]
    keep = (f[:, 0] != f[:, 1]) & (f[:, 1] != f[:, 2]) & (f[:, 0] != f[:, 2])
    return welded, f[keep]


# -- slice ------------------------------------------------------------------

def height_field(triangle_count):
    side = int(math.sqrt(triangle_count / 2)) + 1
    u = np.linspace(0, 20, side)
    x, y = np.meshgrid(u, u, indexing="ij")
    z = np.sin(x) * np.cos(y)
    vertices = np.stack([x.ravel(), y.ravel(), z.ravel()], axis=1)
    ids = np.arange(side * side).reshape(side, side)
    a, b, c, d = ids[:-1, :-1].ravel(), ids[1:, :-1].ravel(), ids[1:, 1:].ravel(), ids[:-1, 1:].ravel()
    faces = np.concatenate([np.stack([a, b, c], 1), np.stack([a, c, d], 1)])[:triangle_count]
    return vertices, faces


# -- join -------------------------------------------------------------------

def rectangle_pairs(count, rng):
    pairs = []
    for _ in range(count):
        x, y = rng.uniform(0, 100), rng.uniform(0, 100)
        w, h = rng.uniform(2, 10), rng.uniform(2, 10)
        dx, dy = rng.uniform(-w, w), rng.uniform(-h, h)
        w2, h2 = rng.uniform(2, 10), rng.uniform(2, 10)
        pairs.append(((x, y, x + w, y + h), (x + dx, y + dy, x + dx + w2, y + dy + h2)))
    return pairs


def prism(r, z0=0.0, z1=3.0):
    x0, y0, x1, y1 = r
    plan = [(x0, y0), (x1, y0), (x1, y1), (x0, y1)]
    vertices = [Vector3D(x, y, z0) for x, y in plan] + [Vector3D(x, y, z1) for x, y in plan]
    return Mesh(vertices, [[0, 1, 2, 3], [7, 6, 5, 4], [0, 1, 5, 4], [1, 2, 6, 5],
                           [2, 3, 7, 6], [3, 0, 4, 7]])


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--scale", type=float, default=1.0, help="multiplies every input size")
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()
    rng = np.random.default_rng(7)
    rows = []

    def row(name, size, ours, reference, ref_time):
        rows.append((name, size, ours, reference, ref_time))

    # clean
    tolerance = 1e-3
    n = int(1_000_000 * args.scale)
    soup_v, soup_f = triangle_soup(n, tolerance, rng)
    soup = to_mesh(soup_v, soup_f)
    t_clean = best_of(lambda: soup.clean(tolerance), args.repeat)
    cleaned = soup.clean(tolerance)
    welded, kept = numpy_weld(soup_v, soup_f, tolerance)
    assert len(cleaned.vertices) == len(welded), "weld references disagree"
    size = f"{len(soup_v):,} vertices"
    row("Mesh.clean", size, t_clean, "NumPy np.unique weld",
        best_of(lambda: numpy_weld(soup_v, soup_f, tolerance), args.repeat))
    if trimesh is not None:
        def fresh():
            return trimesh.Trimesh(soup_v.copy(), soup_f.copy(), process=False)
        row("Mesh.clean", size, t_clean, "trimesh merge_vertices",
            best_of(lambda m: m.merge_vertices(digits_vertex=3), args.repeat, setup=fresh))
    del soup, cleaned

    # slice
    m = int(1_000_000 * args.scale)
    field_v, field_f = height_field(m)
    field = to_mesh(field_v, field_f)
    normal, origin = (0.3, -0.2, 1.0), (10.0, 10.0, 0.1)
    n3, o3 = Vector3D(*normal), Vector3D(*origin)
    t_slice = best_of(lambda: field.slice_by_plane(n3, o3), args.repeat)
    size = f"{len(field_f):,} triangles"
    if trimesh is not None:
        tm = trimesh.Trimesh(field_v, field_f, process=False)
        slice_plane = trimesh.intersections.slice_mesh_plane
        one = best_of(lambda: slice_plane(tm, normal, origin, cap=False), args.repeat)
        row("Mesh.slice_by_plane", size, t_slice, "trimesh slice, one side", one)
        both = best_of(lambda: (slice_plane(tm, normal, origin, cap=False),
                                slice_plane(tm, [-c for c in normal], origin, cap=False)),
                       args.repeat)
        row("Mesh.slice_by_plane", size, t_slice, "trimesh slice, both sides", both)
    else:
        row("Mesh.slice_by_plane", size, t_slice, "(trimesh not installed)", math.nan)
    del field

    # join
    k = int(10_000 * args.scale)
    py_rng = random.Random(11)
    pairs = rectangle_pairs(k, py_rng)
    meshes = [(prism(a), prism(b)) for a, b in pairs]

    def join_all():
        for a, b in meshes:
            boolean_join_extruded(a, b, 0.0, 3.0)

    t_join = best_of(join_all, args.repeat)
    size = f"{k:,} pairs"
    if shapely is not None:
        boxes_a = [shapely.box(*a) for a, _ in pairs]
        boxes_b = [shapely.box(*b) for _, b in pairs]
        arr_a, arr_b = np.array(boxes_a), np.array(boxes_b)

        def shapely_loop():
            return sum(a.intersection(b).area + a.difference(b).area + b.difference(a).area
                       for a, b in zip(boxes_a, boxes_b))

        def shapely_vectorised():
            return (shapely.area(shapely.intersection(arr_a, arr_b)).sum()
                    + shapely.area(shapely.difference(arr_a, arr_b)).sum()
                    + shapely.area(shapely.difference(arr_b, arr_a)).sum())

        row("boolean_join_extruded", size, t_join, "shapely, loop per pair",
            best_of(shapely_loop, args.repeat))
        row("boolean_join_extruded", size, t_join, "shapely, vectorised",
            best_of(shapely_vectorised, args.repeat))
    else:
        row("boolean_join_extruded", size, t_join, "(shapely not installed)", math.nan)

    print(f"best of {args.repeat}; ratio = reference time / kovalith time")
    print(f"{'operation':<23}{'input':>20}{'kovalith ms':>13}  {'reference':<28}{'ref ms':>10}"
          f"{'ratio':>8}")
    for name, size, ours, reference, ref_time in rows:
        print(f"{name:<23}{size:>20}{ours * 1e3:>13.1f}  {reference:<28}{ref_time * 1e3:>10.1f}"
              f"{ref_time / ours:>8.2f}")


if __name__ == "__main__":
    main()
