"""NumPy meshes through kovalith.arrays against the Vector3D list path.

    PYTHONPATH=build/dev python3 bench/bench_arrays.py [vertex_count]

A grid of about `vertex_count` vertices with one quad per cell. Building:
`mesh_from_arrays(V, F)` against `Mesh([Vector3D(*p) for p in V.tolist()],
F.tolist())`, which is what a caller holding arrays otherwise writes.
Reading: `mesh_to_arrays(mesh)` (views, no copy; and with a copy into fresh
arrays) against `mesh.vertices` and `mesh.faces`. Best of 5 runs each.
"""

import sys
import time

import numpy as np

from kovalith import Mesh, Vector3D
from kovalith.arrays import mesh_from_arrays, mesh_to_arrays


def best_of(fn, repeat=5):
    best = float("inf")
    for _ in range(repeat):
        t0 = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - t0)
    return best


def grid(vertex_count):
    side = max(2, int(round(vertex_count ** 0.5)))
    xs, ys = np.meshgrid(np.arange(side, dtype=float), np.arange(side, dtype=float))
    vertices = np.column_stack([xs.ravel(), ys.ravel(), np.sin(xs.ravel()) * 0.1])
    k = np.arange(side * side).reshape(side, side)[:-1, :-1].ravel()
    faces = np.column_stack([k, k + 1, k + side + 1, k + side])
    return vertices, faces


def main():
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
    vertices, faces = grid(n)
    mesh = mesh_from_arrays(vertices, faces)
    rows = [
        ("build Mesh", best_of(lambda: mesh_from_arrays(vertices, faces)),
         best_of(lambda: Mesh([Vector3D(*p) for p in vertices.tolist()], faces.tolist()), 3),
         "Mesh(Vector3D list, face lists)"),
        ("build, vertices only", best_of(lambda: mesh_from_arrays(vertices, faces[:0])),
         best_of(lambda: Mesh([Vector3D(*p) for p in vertices.tolist()], []), 3),
         "Mesh(Vector3D list, [])"),
        ("read vertices (views)", best_of(lambda: mesh_to_arrays(mesh).vertices),
         best_of(lambda: mesh.vertices, 3), "mesh.vertices"),
        ("read vertices (copy)", best_of(lambda: mesh_to_arrays(mesh).vertices.copy()),
         best_of(lambda: mesh.vertices, 3), "mesh.vertices"),
        ("read faces (views)", best_of(lambda: mesh_to_arrays(mesh).faces),
         best_of(lambda: mesh.faces, 3), "mesh.faces"),
    ]
    print(f"{len(vertices)} vertices, {len(faces)} quads")
    print(f"| operation | kovalith.arrays ms | reference | reference ms | speed-up |")
    print("|---|---:|---|---:|---:|")
    for name, t, ref, ref_name in rows:
        print(f"| {name} | {t * 1e3:.2f} | {ref_name} | {ref * 1e3:.1f} | {ref / t:.0f}x |")


if __name__ == "__main__":
    main()
