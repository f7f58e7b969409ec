"""Creates and drops many records per round and prints resident memory.

    python3 bench/leak_check.py [rounds]

A leak shows as RSS climbing round after round; flat figures after the first
round (which warms the allocator pools) mean nothing is kept.
"""

import gc
import os
import sys
import tracemalloc

from kovalith import GraphNode, Mesh, Vector3D

PAGE = os.sysconf("SC_PAGE_SIZE")


def rss_mib():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE / 2**20


def vectors():
    for i in range(1_000_000):
        Vector3D(i, 2.0, 3.0)


def meshes():
    vs = [Vector3D(i, 0, 0) for i in range(8)]
    faces = [[0, 1, 2, 3], [4, 5, 6, 7], [0, 1, 5, 4]]
    for _ in range(100_000):
        Mesh(vs, faces).faces


def nodes():
    c = Vector3D(0, 0, 0)
    for i in range(100_000):
        n = GraphNode(i, c)
        n.set_attribute("name", f"room {i}")
        n.set_attribute("area", i * 0.5)
        n.get_all_attributes()


def main():
    rounds = int(sys.argv[1]) if len(sys.argv) > 1 else 5
    tracemalloc.start()
    print(f"{'round':>5}{'1e6 Vector3D':>16}{'1e5 Mesh':>12}{'1e5 GraphNode':>16}{'traced KiB':>12}")
    for r in range(rounds):
        row = []
        for work in (vectors, meshes, nodes):
            work()
            gc.collect()
            row.append(rss_mib())
        traced = tracemalloc.get_traced_memory()[0] / 1024
        print(f"{r:>5}" + "".join(f"{x:>13.1f}MiB" if i == 0 else f"{x:>9.1f}MiB" if i == 1 else f"{x:>13.1f}MiB" for i, x in enumerate(row)) + f"{traced:>12.1f}")


if __name__ == "__main__":
    main()
