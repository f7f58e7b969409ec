"""Hostile inputs, timed on two builds side by side.

    python3 bench/bench_hostile.py --build before=/tmp/old/build --build after=build/dev
                                   [--only weld,ifc_memory,sigint,pool,notes]

Every measurement runs in a fresh child interpreter with that build first on
its path, so peaks and pools are each run's own. Rows:

- weld: Mesh.clean(1.0) on 2^k vertices crafted to share one home slot of
  the weld table under a fixed, invertible key hash (the x and y of each
  vertex are integers below 2^53, so an IFC file could carry them), against
  the same number of random vertices.
- ifc_memory: peak resident memory added by parse_ifc_points_and_faces over
  the size of the text, for points numbered densely (1, 2, 3, ...), sparsely
  (every eighth number) and at random 64-bit numbers, with four-corner loops.
- sigint: a real SIGINT sent 0.5 s into a long call (from a helper process,
  so no Python code has to run for it); the time from the signal to the
  KeyboardInterrupt, and the call's time uninterrupted. The calls: a build of
  800 stacked equal cubes (every pair in contact), clean of the crafted 2^18
  vertices, clean of 2^22 random vertices, reading 10^7 loop lines.
- pool: threads of a build after a build under an address-space limit that
  let no worker start, and after the limit was lifted.
- notes: notes on the exception of a conversion that recurses until
  RecursionError.
"""

import argparse
import json
import os
import subprocess
import sys
import textwrap

HERE = os.path.dirname(os.path.abspath(__file__))

# --- the children -------------------------------------------------------------

COMMON = r"""
import json, os, random, signal, subprocess, sys, time
from kovalith import *

def status(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024

def reset_peak():
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")
"""

CRAFTED = r"""
import numpy as np
M = (1 << 64) - 1
A, B, C = 0x9E3779B97F4A7C15, 0xC2B2AE3D27D4EB4F, 0x165667B19E3779F9
C1, C2 = 0xFF51AFD7ED558CCD, 0xC4CEB9FE1A85EC53

def crafted(bits):
    # Keys whose fixed hash (components multiplied apart, xored, MurmurHash3's
    # finaliser) all share their top `bits + 1` bits: one home slot of the
    # table, sized 2^(bits + 1) for 2^bits vertices. The finaliser is
    # inverted; x is solved for the product and kept when it is below 2^53.
    n = 1 << bits
    shift = np.uint64(64 - (bits + 1))
    h = (np.uint64(12345) << shift) | np.arange(n, dtype=np.uint64)
    s33 = np.uint64(33)
    h ^= h >> s33; h *= np.uint64(pow(C2, -1, 1 << 64)); h ^= h >> s33
    h *= np.uint64(pow(C1, -1, 1 << 64)); h ^= h >> s33
    a_inv = np.uint64(pow(A, -1, 1 << 64))
    xs = np.zeros(n, dtype=np.int64); ys = np.zeros(n, dtype=np.int64)
    todo = np.arange(n)
    y = 0
    limit = np.uint64(1 << 53)
    while todo.size:
        y += 1
        x = (h[todo] ^ np.uint64((y * B) & M)) * a_inv
        ok = (x < limit) | (x > np.uint64(M - (1 << 53) + 1))
        xs[todo[ok]] = x[ok].view(np.int64); ys[todo[ok]] = y
        todo = todo[~ok]
    return [Vector3D(float(a), float(b), 0.0) for a, b in zip(xs.tolist(), ys.tolist())]

"""

WELD = CRAFTED + r"""
bits = int(sys.argv[1])
vertices = crafted(bits) if sys.argv[2] == "crafted" else [
    Vector3D(random.uniform(-1e6, 1e6), random.uniform(-1e6, 1e6), 0.0) for _ in range(1 << bits)]
mesh = Mesh(vertices, [[0, 1, 2]])
del vertices
t = time.perf_counter()
out = mesh.clean(1.0)
print(json.dumps({"seconds": time.perf_counter() - t, "vertices": len(out.vertices)}))
"""

IFC_MEMORY = r"""
kind, points = sys.argv[1], int(sys.argv[2])
rng = random.Random(5)
if kind == "dense":
    numbers = range(1, points + 1)
elif kind == "sparse":
    numbers = range(8, 8 * points + 1, 8)
else:
    numbers = list({rng.getrandbits(64) for _ in range(points)})
numbers = list(numbers)
lines = [f"#{n}=IFCCARTESIANPOINT(({k % 97}.5,{k % 89}.25,{k % 83}.));" for k, n in enumerate(numbers)]
top = max(numbers) + 1 if kind != "random" else 1
for k in range(0, points - 3, 4):
    refs = ",".join(f"#{n}" for n in numbers[k:k + 4])
    lines.append(f"#{top + k}=IFCPOLYLOOP(({refs}));" if kind != "random" else
                 f"#{rng.getrandbits(64)}=IFCPOLYLOOP(({refs}));")
text = "\n".join(lines) + "\n"
del lines, numbers
with_text = status("VmRSS")
reset_peak()
t = time.perf_counter()
mesh = IfcParser.parse_ifc_points_and_faces(text)
seconds = time.perf_counter() - t
peak = status("VmHWM")
print(json.dumps({"ratio": (peak - with_text) / len(text), "mb": len(text) / 1e6,
                  "seconds": seconds, "vertices": len(mesh.vertices)}))
"""

SIGINT = CRAFTED + r"""
def cube():
    v = [Vector3D(a, b, c) for a in (0, 1) for b in (0, 1) for c in (0, 1)]
    return Mesh(v, [[0, 1, 3, 2], [4, 6, 7, 5], [0, 4, 5, 1], [2, 3, 7, 6], [0, 2, 6, 4], [1, 5, 7, 3]])

case = sys.argv[1]
if case == "build":
    reg = SpatialRegistry([cube() for _ in range(800)], [], [])
    call = lambda: reg.build_spatial_graph(1e-3)
elif case == "clean":
    # The crafted weld keys of the weld rows, 2^18 of them.
    mesh = Mesh(crafted(18), [[0, 1, 2]])
    call = lambda: mesh.clean(1.0)
elif case == "clean_random":
    # 2^22 vertices spread at random: a clean that is long on its own merits.
    mesh = Mesh([Vector3D(random.uniform(-1e6, 1e6), random.uniform(-1e6, 1e6), random.random())
                 for _ in range(1 << 22)], [[0, 1, 2]])
    call = lambda: mesh.clean(1e-3)
else:
    text = "#1=IFCCARTESIANPOINT((1.,2.,3.));\n" + "#9=IFCPOLYLOOP((#7,#8,#5));\n" * 10_000_000
    call = lambda: IfcParser.parse_ifc_points_and_faces(text)
if sys.argv[2] == "time":
    t = time.perf_counter(); call()
    print(json.dumps({"seconds": time.perf_counter() - t}))
    sys.exit()
fired = {}
killer = subprocess.Popen(["sh", "-c", f"sleep 0.5; date +%s.%N; kill -INT {os.getpid()}"],
                          stdout=subprocess.PIPE, text=True)
try:
    call()
    outcome = "completed"
except KeyboardInterrupt:
    outcome = "KeyboardInterrupt"
end = time.time()
sent = float(killer.communicate()[0])
print(json.dumps({"latency": end - sent, "outcome": outcome}))
"""

POOL = r"""
import resource
sys.path.insert(0, os.path.join(sys.argv[1], "tests"))
from graph_helpers import building
reg = building.random_building(3, rooms_per_side=6, floors=2).registry()
soft, hard = resource.getrlimit(resource.RLIMIT_AS)
resource.setrlimit(resource.RLIMIT_AS, (status("VmSize"), hard))
try:
    reg.build_spatial_graph(1e-3); limited = "built"
except BaseException as e:
    limited = type(e).__name__
resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
threads = []
for _ in range(3):
    reg.build_spatial_graph(1e-3)
    threads.append(len(os.listdir("/proc/self/task")))
print(json.dumps({"limited": limited, "threads_after": threads}))
"""

NOTES = r"""
mesh = Mesh([], [])
class Deep:
    def __float__(self):
        return mesh.clean(self)
try:
    mesh.clean(Deep())
except RecursionError as e:
    print(json.dumps({"notes": len(getattr(e, "__notes__", []))}))
"""


def child(build, code, *args, timeout=900):
    env = dict(os.environ, PYTHONPATH=os.path.abspath(build))
    out = subprocess.run([sys.executable, "-c", COMMON + code, *map(str, args)],
                         capture_output=True, text=True, env=env, timeout=timeout)
    if out.returncode != 0:
        return {"error": out.stderr.strip().splitlines()[-1] if out.stderr else out.returncode}
    return json.loads(out.stdout.strip().splitlines()[-1])


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", action="append", required=True, help="name=path")
    parser.add_argument("--only", default="weld,ifc_memory,sigint,pool,notes")
    parser.add_argument("--weld-bits", default="17,20")
    parser.add_argument("--sigint-cases", default="build,clean,clean_random,ifc")
    args = parser.parse_args()
    builds = [b.split("=", 1) for b in args.build]
    only = args.only.split(",")
    root = os.path.dirname(HERE)
    rows = []

    def show(what, name, result):
        rows.append((what, name, result))
        print(f"{what:<44} {name:<8} {json.dumps(result)}", flush=True)

    for name, path in builds:
        if "weld" in only:
            for bits in map(int, args.weld_bits.split(",")):
                for kind in ("random", "crafted"):
                    show(f"weld 2^{bits} {kind}", name, child(path, WELD, bits, kind))
        if "ifc_memory" in only:
            for kind in ("dense", "sparse", "random"):
                show(f"ifc memory {kind} 10^6 points", name, child(path, IFC_MEMORY, kind, 10**6))
        if "sigint" in only:
            for case in args.sigint_cases.split(","):
                show(f"sigint {case} (uninterrupted)", name, child(path, SIGINT, case, "time"))
                show(f"sigint {case} (0.5 s in)", name, child(path, SIGINT, case, "signal"))
        if "pool" in only:
            show("pool after a failed thread start", name, child(path, POOL, root))
        if "notes" in only:
            show("notes on a RecursionError in a conversion", name, child(path, NOTES))


if __name__ == "__main__":
    main()
