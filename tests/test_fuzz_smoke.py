"""A short, seeded run of every fuzz harness (long runs: make fuzz HARNESS=<name>)."""

import importlib
import pathlib
import random
import sys

import pytest

FUZZ_DIR = pathlib.Path(__file__).resolve().parent.parent / "fuzz"
sys.path.insert(0, str(FUZZ_DIR))

HARNESSES = sorted(p.stem for p in FUZZ_DIR.glob("harness_*.py"))
RUNS = 2000


@pytest.mark.parametrize("name", HARNESSES)
def test_harness_bounded_run(name):
    harness = importlib.import_module(name)
    rng = random.Random(name)
    for _ in range(RUNS):
        harness.test_one_input(rng.randbytes(rng.randrange(0, 512)))
