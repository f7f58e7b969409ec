"""Ctrl-C during long native calls: a real SIGINT, sent from outside while
the call holds the interpreter lock, ends the call with KeyboardInterrupt,
leaves its inputs as they were, and leaves the module usable.

Each case runs in a child interpreter on an input that takes a few seconds
uninterrupted (bench/bench_hostile.py prints the uninterrupted times and the
latencies). A helper process started just before the call sends the signal
0.3 s in. The child reports the outcome; nothing here asserts on timing."""

import json
import os
import subprocess
import sys
import textwrap

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

# Each case: setup code defining `call()` and `fingerprint()` (a cheap summary
# of every input of the call), then `check()`: a small call that must work
# afterwards.
CASES = {
    "build_spatial_graph": """
        def cube(s=1.0):
            v = [Vector3D(a * s, b * s, c * s) for a in (0, 1) for b in (0, 1) for c in (0, 1)]
            f = [[0, 1, 3, 2], [4, 6, 7, 5], [0, 4, 5, 1], [2, 3, 7, 6], [0, 2, 6, 4], [1, 5, 7, 3]]
            return Mesh(v, f)
        # Stacked equal cubes: every face touches the same face of every
        # other cube, so the build is quadratic in the cubes.
        reg = SpatialRegistry([cube() for _ in range(600)], [], [])
        def call():
            return reg.build_spatial_graph(1e-3)
        def fingerprint():
            return [len(reg.meshes), [m.vertices[7].x for m in reg.meshes[:3]], len(reg.wires)]
        def check():
            return len(SpatialRegistry(reg.meshes[:3], [], []).build_spatial_graph(1e-3).edges)
    """,
    "parse_ifc_points_and_faces": """
        # Loops naming points that do not exist: read and dropped.
        text = "#1=IFCCARTESIANPOINT((1.,2.,3.));\\n" + "#9=IFCPOLYLOOP((#7,#8,#5));\\n" * 8_000_000
        def call():
            return IfcParser.parse_ifc_points_and_faces(text)
        def fingerprint():
            return [len(text), hash(text)]
        def check():
            small = text[:34] + "#2=IFCCARTESIANPOINT((0.,0.,1.));\\n#3=IFCCARTESIANPOINT((0.,1.,0.));\\n"
            return IfcParser.parse_ifc_points_and_faces(small + "#9=IFCPOLYLOOP((#1,#2,#3));").faces
    """,
    "slice_by_plane": """
        text = ("#1=IFCCARTESIANPOINT((1.,2.,3.));\\n#2=IFCCARTESIANPOINT((1.,2.,4.));\\n"
                "#3=IFCCARTESIANPOINT((1.,5.,3.));\\n" + "#9=IFCPOLYLOOP((#1,#2,#3));\\n" * 4_000_000)
        mesh = IfcParser.parse_ifc_points_and_faces(text)
        del text
        def call():
            return mesh.slice_by_plane(Vector3D(0, 0, 1), Vector3D(0, 0, 3.5))
        def fingerprint():
            c = mesh.compute_volume_centroid()
            return [len(mesh.vertices), c.x, c.y, c.z]
        def check():
            small = Mesh(mesh.vertices, [[0, 1, 2]])
            return [len(half.faces) for half in small.slice_by_plane(Vector3D(0, 0, 1), Vector3D(0, 0, 3.5))]
    """,
    "to_cypher_queries": """
        def cube(s=1.0):
            v = [Vector3D(a * s, b * s, c * s) for a in (0, 1) for b in (0, 1) for c in (0, 1)]
            f = [[0, 1, 3, 2], [4, 6, 7, 5], [0, 4, 5, 1], [2, 3, 7, 6], [0, 2, 6, 4], [1, 5, 7, 3]]
            return Mesh(v, f)
        graph = SpatialRegistry([cube() for _ in range(700)], [], []).build_spatial_graph(1e-3)
        for k, edge in enumerate(graph.edges):
            if k % 7 == 0:
                edge.set_attribute("weight", 1.5)
        def call():
            return graph.to_cypher_queries()
        def fingerprint():
            return [len(graph.nodes), len(graph.edges), graph.edges[7].get_attribute("weight")]
        def check():
            return len(SpatialRegistry([cube(), cube()], [], []).build_spatial_graph(1e-3).to_cypher_queries())
    """,
}

CHILD = """
import json, os, subprocess, sys, time
from kovalith import *
{setup}
before = fingerprint()
killer = subprocess.Popen(["sh", "-c", "sleep 0.3; kill -INT {{}}".format(os.getpid())])
start = time.perf_counter()
try:
    call()
    outcome = "completed"
except KeyboardInterrupt:
    outcome = "interrupted"
elapsed = time.perf_counter() - start
killer.wait()
print(json.dumps({{"outcome": outcome, "elapsed": elapsed,
                  "unchanged": fingerprint() == before, "check": check()}}))
"""


@pytest.mark.skipif(sys.platform == "win32", reason="POSIX signals")
@pytest.mark.parametrize("name", sorted(CASES))
def test_sigint_stops_the_call_and_leaves_its_inputs(name):
    if "ASAN_OPTIONS" in os.environ:
        pytest.skip("inputs sized for a few seconds of the uninstrumented build")
    script = CHILD.format(setup=textwrap.dedent(CASES[name]))
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    proc = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                          timeout=120, env=env)
    assert proc.returncode == 0, proc.stderr
    report = json.loads(proc.stdout)
    assert report["outcome"] == "interrupted", report
    assert report["unchanged"], report
    assert report["check"], report
