"""Ctrl-C during long native calls: a SIGINT that arrives while the call
holds the interpreter lock ends the call with KeyboardInterrupt, leaves its
inputs as they were, and leaves the module usable.

The signal is raised at a chosen poll of the call's interrupt by the test
hook `kovalith._interrupt_after(polls)`, through the interpreter's own signal
machinery (the handler that runs and the exception it raises are those of a
real Ctrl-C), so each case is deterministic and its input needs only enough
work to poll that often. bench/bench_hostile.py sends real signals from
another process and measures the latency.
"""

import textwrap

import kovalith
import pytest
from kovalith import Mesh, Vector3D

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
        reg = SpatialRegistry([cube() for _ in range(150)], [], [])
        def call():
            return reg.build_spatial_graph(1e-3)
        def fingerprint():
            return [len(reg.meshes), [m.vertices[7].x for m in reg.meshes[:3]], len(reg.wires)]
        def check():
            return len(SpatialRegistry(reg.meshes[:3], [], []).build_spatial_graph(1e-3).edges)
    """,
    "parse_ifc_points_and_faces": """
        # Loops naming points that do not exist: read and dropped.
        text = "#1=IFCCARTESIANPOINT((1.,2.,3.));\\n" + "#9=IFCPOLYLOOP((#7,#8,#5));\\n" * 200_000
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
                "#3=IFCCARTESIANPOINT((1.,5.,3.));\\n" + "#9=IFCPOLYLOOP((#1,#2,#3));\\n" * 600_000)
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
        graph = SpatialRegistry([cube() for _ in range(60)], [], []).build_spatial_graph(1e-3)
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

POLLS = [1, 2, 5, 40]


@pytest.fixture
def interrupt_after():
    yield kovalith._interrupt_after
    kovalith._interrupt_after(0)


@pytest.mark.parametrize("polls", POLLS)
@pytest.mark.parametrize("name", sorted(CASES))
def test_sigint_stops_the_call_and_leaves_its_inputs(name, polls, interrupt_after):
    case: dict = {}
    exec("from kovalith import *\n" + textwrap.dedent(CASES[name]), case)
    before = case["fingerprint"]()
    interrupt_after(polls)
    with pytest.raises(KeyboardInterrupt):
        case["call"]()
    assert case["fingerprint"]() == before
    assert case["check"]()
    assert case["call"]() is not None  # the module works, and the hook is spent


def test_the_hook_counts_polls_across_calls_and_can_be_cancelled(interrupt_after):
    mesh = Mesh([Vector3D(0, 0, 0), Vector3D(1, 0, 0), Vector3D(0, 1, 0)], [[0, 1, 2]])
    interrupt_after(10**9)
    mesh.clean(0.0)
    interrupt_after(0)
    assert len(mesh.clean(0.0).faces) == 1
    with pytest.raises(ValueError, match="negative"):
        interrupt_after(-1)
