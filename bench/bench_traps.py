"""Cost traps of the building compiler, each beside a plain building of the same size.

    python3 bench/bench_traps.py [stack] [fans] [openings] [gaps] [outlines] [--quick]
    python3 bench/bench_traps.py interrupt [--tries N]

stack: n thin rooms (0.01 m) stacked inside the 1 m slab gap between two
rooms, n = 50, 200, 800, 1,600, beside n rooms in a row. fans: two facing walls,
each triangulated as a fan of n slivers from one corner, beside the same
walls as n strips. openings: 10^4 openings over one slab contact (identical,
overlapping, repeated through the slab's depth) beside 10^4 separate ones.
gaps: a 10 x 10 x 10 grid of rooms with wall_gap and slab_gap set to
0.5/2 (the defaults), 5, 50 and 1e6. outlines: two rooms one above the
other, extruded from a square outline of n corners (most on its straight
sides, floors triangulated as fans), beside a circle of n corners. Times are CPU seconds of
compile_building (2 workers), best of 3; each row also gives the edge count.

interrupt: how soon Ctrl-C stops each trap. Each trap (at a size that takes
the compiler well over 0.2 s) runs in a child process, which builds its
input, says it is ready and compiles it over and over; 0.2 s later the
parent sends SIGINT and waits for the child to report the KeyboardInterrupt
it caught. The latency is the child's clock at the catch minus the parent's
at the send (both CLOCK_MONOTONIC); the table gives the median and the
largest of --tries children per trap, and how many compiles the child had
finished when the signal came (0: it landed inside the first compile).
"""

from __future__ import annotations

import math
import random
import resource
import sys
import time
import warnings

from kovalith import Mesh, SpatialRegistry, Vector3D
from kovalith.building import compile_building


def cpu():
    r = resource.getrusage(resource.RUSAGE_SELF)
    return r.ru_utime + r.ru_stime


def timed(fn, repeat=3):
    best, out = math.inf, None
    for _ in range(repeat):
        c = cpu()
        out = fn()
        best = min(best, cpu() - c)
    return best, out


def box(x0, y0, z0, x1, y1, z1):
    v = [Vector3D(x, y, z) for z in (z0, z1) for y in (y0, y1) for x in (x0, x1)]
    return Mesh(v, [[0, 2, 3, 1], [4, 5, 7, 6], [0, 1, 5, 4], [2, 6, 7, 3], [0, 4, 6, 2], [1, 3, 7, 5]])


def stack(sizes):
    print(f"{'n':>5} {'stacked s':>10} {'edges':>6} {'row s':>8} {'edges':>6} {'ratio':>6}")
    for n in sizes:
        rooms = [box(0, 0, 0, 4, 4, 3), box(0, 0, 4, 4, 4, 7)]
        rooms += [box(0, 0, 3.05 + k * (0.9 / n), 4, 4, 3.05 + k * (0.9 / n) + 0.45 / n) for k in range(n)]
        row = [box(4.2 * k, 0, 0, 4.2 * k + 4, 4, 3) for k in range(n + 2)]
        s, g = timed(lambda: compile_building(SpatialRegistry(rooms, [], [])))
        r, h = timed(lambda: compile_building(SpatialRegistry(row, [], [])))
        print(f"{n:>5} {s:>10.3f} {len(g.edges):>6} {r:>8.3f} {len(h.edges):>6} {s / max(r, 1e-6):>6.1f}")


def wall_room(x0, x1, n, fan):
    """A 4 x 4 x 3 room whose face at x = x1 (or x0) is split into n pieces."""
    vs = [Vector3D(x, y, z) for z in (0, 3) for y in (0, 4) for x in (x0, x1)]
    faces = [[0, 2, 3, 1], [4, 5, 7, 6], [0, 1, 5, 4], [2, 6, 7, 3]]
    for x, flip in ((x0, False), (x1, True)):
        base = len(vs)
        # points along the far edges of the face: y from 0 to 4 at z = 3, then z down at y = 4
        ring = [(y, 3.0) for y in [4 * k / n for k in range(n + 1)]]
        vs.append(Vector3D(x, 0, 0))
        vs += [Vector3D(x, y, z) for y, z in ring]
        vs.append(Vector3D(x, 4, 0))
        corner, last = base, len(vs) - 1
        if fan:
            tris = [[corner, base + 1 + k, base + 2 + k] for k in range(n)] + [[corner, base + n + 1, last]]
        else:
            tris = [[corner, base + 1, base + n + 1, last]]
        for t in tris:
            faces.append(t[::-1] if flip else t)
    return Mesh(vs, faces)


def fans(sizes):
    print(f"{'n':>6} {'fans s':>8} {'edges':>6} {'whole s':>8} {'ratio':>6}")
    for n in sizes:
        a, b = wall_room(0, 4, n, True), wall_room(4.2, 8.2, n, True)
        s, g = timed(lambda: compile_building(SpatialRegistry([a, b], [], [])), 1)
        pa, pb = wall_room(0, 4, n, False), wall_room(4.2, 8.2, n, False)
        p, h = timed(lambda: compile_building(SpatialRegistry([pa, pb], [], [])))
        print(f"{n:>6} {s:>8.3f} {len(g.edges):>6} {p:>8.3f} {s / max(p, 1e-6):>6.1f}")


def openings(count):
    rng = random.Random(1)
    rooms = [box(0, 0, 0, 40, 40, 3), box(0, 0, 3.3, 40, 40, 6.3)]
    layouts = {
        "identical": [box(10, 10, 3, 11, 11.8, 3.3) for _ in range(count)],
        "overlapping": [box(10 + rng.uniform(0, 0.2), 10 + rng.uniform(0, 0.2), 3, 11 + rng.uniform(0, 0.2),
                            11.8 + rng.uniform(0, 0.2), 3.3) for _ in range(count)],
        "through depth": [box(10, 10, 3 + 0.3 * k / count, 11, 11.8, 3 + 0.3 * (k + 1) / count)
                          for k in range(count)],
        "separate": [box(0.4 * (k % 100), 0.4 * (k // 100), 3, 0.4 * (k % 100) + 0.2,
                         0.4 * (k // 100) + 0.2, 3.3) for k in range(count)],
    }
    print(f"{'openings':>14} {count:>6}: {'s':>8} {'net area':>10}")
    for name, holes in layouts.items():
        s, g = timed(lambda: compile_building(SpatialRegistry(rooms, [], holes), **({"opening_orientations": ["slab"] * count} if "opening_orientations" in compile_building.__code__.co_varnames else {})), 1)
        print(f"{name:>21}: {s:>8.3f} {g.edges[0].shared_area:>10.4f}")


def prism(outline, z0, z1):
    """A room extruded from a plan outline, its floor and ceiling triangulated
    as fans from the first corner (as a triangulator may give them)."""
    n = len(outline)
    vs = [Vector3D(x, y, z) for z in (z0, z1) for x, y in outline]
    faces = [[0, k + 1, k] for k in range(1, n - 1)] + [[n, n + k, n + k + 1] for k in range(1, n - 1)]
    faces += [[k, (k + 1) % n, n + (k + 1) % n, n + k] for k in range(n)]
    return Mesh(vs, faces)


def outlines(sizes):
    """Two rooms one above the other, drawn from a 10 m square outline with
    n corners, most of them on its straight sides, beside a circle of n."""
    print(f"{'corners':>8} {'square s':>9} {'circle s':>9} {'ratio':>6}")
    for n in sizes:
        side = n // 4
        square = [(10.0 * k / side, 0.0) for k in range(side)] + [(10.0, 10.0 * k / side) for k in range(side)]
        square += [(10.0 - 10.0 * k / side, 10.0) for k in range(side)]
        square += [(0.0, 10.0 - 10.0 * k / side) for k in range(side)]
        circle = [(5 + 5.6 * math.cos(2 * math.pi * k / n), 5 + 5.6 * math.sin(2 * math.pi * k / n))
                  for k in range(n)]
        times = []
        for ring in (square, circle):
            rooms = [prism(ring, 0, 3), prism(ring, 3.3, 6.3)]
            t, g = timed(lambda: compile_building(SpatialRegistry(rooms, [], [])), 1)
            assert len(g.edges) == 1
            times.append(t)
        print(f"{n:>8} {times[0]:>9.3f} {times[1]:>9.3f} {times[0] / max(times[1], 1e-6):>6.1f}")


def gaps():
    rooms = [box(4.2 * i, 4.2 * j, 3.3 * k, 4.2 * i + 4, 4.2 * j + 4, 3.3 * k + 3)
             for i in range(10) for j in range(10) for k in range(10)]
    registry = SpatialRegistry(rooms, [], [])
    print(f"{'gaps':>12} {'s':>8} {'edges':>6}")
    for wall, slab in ((0.5, 2.0), (5, 5), (50, 50), (1e6, 1e6)):
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            s, g = timed(lambda: compile_building(registry, wall_gap=wall, slab_gap=slab), 1)
        print(f"{wall:>5g}/{slab:<6g} {s:>8.3f} {len(g.edges):>6}")


def _stack_rooms(n):
    rooms = [box(0, 0, 0, 4, 4, 3), box(0, 0, 4, 4, 4, 7)]
    return rooms + [box(0, 0, 3.05 + k * (0.9 / n), 4, 4, 3.05 + k * (0.9 / n) + 0.45 / n) for k in range(n)]


def _slab_rooms():
    return [box(0, 0, 0, 40, 40, 3), box(0, 0, 3.3, 40, 40, 6.3)]


# name -> () -> (registry, compile settings): each takes the compiler well over 0.2 s.
INTERRUPT_TRAPS = {
    "800 thin rooms stacked in one slab gap": lambda: (SpatialRegistry(_stack_rooms(800), [], []), {}),
    "fans of 2,000 slivers on two facing walls": lambda: (
        SpatialRegistry([wall_room(0, 4, 2000, True), wall_room(4.2, 8.2, 2000, True)], [], []), {}),
    "10^5 identical openings over one slab area": lambda: (
        SpatialRegistry(_slab_rooms(), [], [box(10, 10, 3, 11, 11.8, 3.3)] * 100_000),
        {"opening_orientations": ["slab"] * 100_000}),
    "10^5 openings through one slab's depth": lambda: (
        SpatialRegistry(_slab_rooms(), [], [box(10, 10, 3 + 0.3 * k / 100_000, 11, 11.8, 3 + 0.3 * (k + 1) / 100_000)
                                            for k in range(100_000)]),
        {"opening_orientations": ["slab"] * 100_000}),
    "2 x 10^4 rooms, wall_gap and slab_gap 1e6": lambda: (
        SpatialRegistry([box(4.2 * i, 4.2 * j, 3.3 * k, 4.2 * i + 4, 4.2 * j + 4, 3.3 * k + 3)
                         for i in range(20) for j in range(20) for k in range(50)], [], []),
        {"wall_gap": 1e6, "slab_gap": 1e6}),
}
INTERRUPT_AFTER_S = 0.2
INTERRUPT_TARGET_S = 0.5


def interrupt_child(name):
    """Builds the trap, prints "ready", compiles until Ctrl-C; then prints
    the monotonic time of the catch and the compiles finished."""
    import signal

    # A shell may start a background job with SIGINT ignored.
    signal.signal(signal.SIGINT, signal.default_int_handler)
    registry, settings = INTERRUPT_TRAPS[name]()
    done = 0
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            print("ready", flush=True)
            while True:
                compile_building(registry, **settings)
                done += 1
    except KeyboardInterrupt:
        print(f"interrupted {time.monotonic()!r} {done}", flush=True)


def interrupt(tries):
    import os
    import signal
    import statistics
    import subprocess

    print(f"Ctrl-C {INTERRUPT_AFTER_S} s into each trap, {tries} children each; load average "
          + ", ".join(f"{x:.2f}" for x in os.getloadavg()))
    print(f"| trap | one compile | latency median | latency max | compiles finished at the signal "
          f"| within {INTERRUPT_TARGET_S} s |")
    print("|---|---|---|---|---|---|")
    for name in INTERRUPT_TRAPS:
        registry, settings = INTERRUPT_TRAPS[name]()
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            t0 = time.perf_counter()
            compile_building(registry, **settings)
            once = time.perf_counter() - t0
        del registry
        latencies, finished = [], []
        for _ in range(tries):
            child = subprocess.Popen([sys.executable, __file__, "--interrupt-child", name],
                                     stdout=subprocess.PIPE, text=True)
            assert child.stdout.readline().strip() == "ready"
            time.sleep(INTERRUPT_AFTER_S)
            sent = time.monotonic()
            child.send_signal(signal.SIGINT)
            word, caught, done = child.stdout.readline().split()
            child.wait(30)
            assert word == "interrupted"
            latencies.append(float(caught) - sent)
            finished.append(int(done))
        worst = max(latencies)
        print(f"| {name} | {once:.2f} s | {statistics.median(latencies) * 1e3:.1f} ms | {worst * 1e3:.1f} ms "
              f"| {', '.join(map(str, finished))} | {'yes' if worst <= INTERRUPT_TARGET_S else 'NO'} |")


def main(argv):
    if "--interrupt-child" in argv:
        interrupt_child(argv[argv.index("--interrupt-child") + 1])
        return
    if "interrupt" in argv:
        tries = int(argv[argv.index("--tries") + 1]) if "--tries" in argv else 5
        interrupt(tries)
        return
    quick = "--quick" in argv
    what = [a for a in argv if not a.startswith("--")] or ["stack", "fans", "openings", "gaps",
                                                           "outlines"]
    if "stack" in what:
        # Past about 1,800 rooms the stack's gaps fall under `distance` and
        # every room touches several others: a different building.
        stack([50, 100] if quick else [50, 200, 800, 1600])
    if "fans" in what:
        fans([500, 1000] if quick else [500, 1000, 2000])
    if "openings" in what:
        openings(2000 if quick else 10_000)
    if "gaps" in what:
        gaps()
    if "outlines" in what:
        outlines([1600, 6400] if quick else [1600, 6400, 25600])


if __name__ == "__main__":
    main(sys.argv[1:])
