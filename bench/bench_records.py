"""Record conversion cost against merely iterating the same Python lists.

    python3 bench/bench_records.py [vertex_count]

Prints one table: each operation's best-of-N time and its ratio to a plain
Python loop over the very lists it converts (the floor any binding pays).
"""

import sys
import time

from kovalith import Mesh, Vector3D


def best_of(fn, repeat=7):
    best = float("inf")
    for _ in range(repeat):
        t0 = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - t0)
    return best


def iterate_vertices(vertices):
    for _ in vertices:
        pass


def iterate_faces(faces):
    for face in faces:
        for _ in face:
            pass


def main():
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 100_000
    vertices = [Vector3D(i * 0.5, i * 0.25, i * 0.125) for i in range(n)]
    faces = [[i, i + 1, i + 2] for i in range(n - 2)]
    mesh = Mesh(vertices, faces)

    iter_v = best_of(lambda: iterate_vertices(vertices))
    iter_f = best_of(lambda: iterate_faces(faces))
    rows = [
        ("Mesh(vertices, faces)", best_of(lambda: Mesh(vertices, faces)), iter_v + iter_f,
         "iterate vertices + faces"),
        ("mesh.vertices", best_of(lambda: mesh.vertices), iter_v, "iterate vertices"),
        ("mesh.faces", best_of(lambda: mesh.faces), iter_f, "iterate faces"),
    ]
    print(f"{n} vertices, {n - 2} triangles")
    print(f"{'operation':<24}{'time ms':>10}{'reference':>28}{'ref ms':>10}{'ratio':>8}")
    for name, t, ref, ref_name in rows:
        print(f"{name:<24}{t * 1e3:>10.2f}{ref_name:>28}{ref * 1e3:>10.2f}{t / ref:>8.2f}")


if __name__ == "__main__":
    main()
