"""The examples run end to end, so they never rot."""

import os
import pathlib
import subprocess
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent


def run_example(name, *args, cwd=None):
    env = dict(os.environ)
    # Under the sanitized suite the preload must reach the child interpreter
    # as well; everything else is inherited unchanged.
    result = subprocess.run(
        [sys.executable, str(ROOT / "examples" / name), *map(str, args)],
        capture_output=True, text=True, timeout=300, env=env, cwd=cwd,
    )
    assert result.returncode == 0, result.stderr
    return result.stdout


def test_clash():
    out = run_example("clash.py")
    assert "after the join: 3 disjoint cells" in out
    assert "plan area conserved: 47.00 m2 = 51.00 - 4.00" in out
