"""Shared helpers of the graph build tests: geometry shorthands, graph
summaries, the building generator and the test-only native probe."""

import importlib
import importlib.util
import pathlib
import sys
import sysconfig

import pytest
from kovalith import Mesh, SpatialRegistry, Vector3D, Wire

ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "bench"))
import building  # noqa: E402  (bench/building.py, shared with the benchmarks)

PROBE = "_kovalith_graph_probe"


def load_probe():
    """The test-only module that CMake builds beside kovalith (never
    installed): found on sys.path in a development build, else in the build
    tree that `pip install .` leaves under build/."""
    try:
        return importlib.import_module(PROBE)
    except ImportError:
        pass
    suffix = sysconfig.get_config_var("EXT_SUFFIX")
    found = sorted((ROOT / "build").glob(f"*/{PROBE}{suffix}"), key=lambda p: p.stat().st_mtime)
    if not found:
        pytest.fail(f"{PROBE} is not built; run `make dev` (or `make test`) first")
    spec = importlib.util.spec_from_file_location(PROBE, found[-1])
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    sys.modules[PROBE] = module
    return module


def v(x, y, z):
    return Vector3D(x, y, z)


def box(x0, y0, z0, x1, y1, z1):
    """kovalith.Mesh of an axis-aligned box with outward quad faces."""
    vertices, faces = building.box_mesh(x0, y0, z0, x1, y1, z1)
    return Mesh([v(*p) for p in vertices], faces)


def quad(*corners):
    return Mesh([v(*p) for p in corners], [[0, 1, 2, 3]])


def wire(a, b):
    return Wire(v(*a), v(*b))


def build(meshes, wires=(), apertures=(), tolerance=1e-3):
    return SpatialRegistry(list(meshes), list(wires), list(apertures)).build_spatial_graph(tolerance)


def point(p):
    return (p.x, p.y, p.z)


def edges_of(graph):
    return [(e.node_a, e.node_b, e.shared_area, point(e.contact_centroid), e.contact_type)
            for e in graph.edges]


def wire_pairs(graph):
    return [(c.wire_index, c.mesh_index) for c in graph.wire_contacts]


def summary(graph):
    """Everything a built graph holds, floats as exact hex strings."""
    def hx(p):
        return tuple(float(c).hex() for c in p)

    return ([(n.index, hx(point(n.centroid))) for n in graph.nodes],
            [(a, b, float(area).hex(), hx(c), t) for a, b, area, c, t in edges_of(graph)],
            wire_pairs(graph))
