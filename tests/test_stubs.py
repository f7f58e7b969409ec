"""The shipped type stubs match the built module and catch misuse."""

import os
import pathlib
import site
import subprocess
import sys

import pytest

import kovalith

pytest.importorskip("mypy", reason="mypy is part of the test requirements")
pytestmark = pytest.mark.skipif(
    "ASAN_OPTIONS" in os.environ, reason="type checking gains nothing from the sanitizer build"
)


def run_mypy(*args, cwd):
    # mypy finds an installed package through site-packages itself; a
    # development build on PYTHONPATH has to be named to it.
    env = dict(os.environ)
    package_root = str(pathlib.Path(kovalith.__file__).resolve().parent.parent)
    if package_root not in map(str, map(pathlib.Path.resolve, map(pathlib.Path, site.getsitepackages()))):
        env["MYPYPATH"] = package_root
        env["PYTHONPATH"] = os.pathsep.join([package_root, env.get("PYTHONPATH", "")])
    return subprocess.run(
        [sys.executable, "-m", *args], capture_output=True, text=True, env=env, cwd=cwd, timeout=600
    )


def test_stubs_agree_with_the_runtime_module(tmp_path):
    result = run_mypy("mypy.stubtest", "kovalith", cwd=tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


def test_stubs_type_check_usage(tmp_path):
    (tmp_path / "use.py").write_text(
        "from kovalith import Mesh, SpatialRegistry, Vector3D, boolean_join_extruded\n"
        "m = Mesh([Vector3D(0, 0, 0)], [[0, 0, 0]])\n"
        "cells: list[Mesh] = boolean_join_extruded(m, m, 0.0, 3)\n"
        "g = SpatialRegistry([m], [], []).build_spatial_graph(1e-3)\n"
        "route: list[int] = g.find_shortest_path(0, 0)\n"
        "area: float = g.edges[0].shared_area if g.edges else 0.0\n"
        "bad = Vector3D('x', 0, 0)\n"
    )
    result = run_mypy("mypy", "--strict", "use.py", cwd=tmp_path)
    lines = [l for l in result.stdout.splitlines() if ": error:" in l]
    assert len(lines) == 1 and lines[0].startswith("use.py:7:"), result.stdout
