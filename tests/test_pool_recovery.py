"""The worker pool after a failed thread start: builds keep working, and once
the shortage is over the next build runs on every processor again."""

import json
import os
import subprocess
import sys
import textwrap

import pytest
from graph_helpers import ROOT

SCRIPT = textwrap.dedent(f"""
    import json, os, resource, sys
    sys.path[:0] = {[str(ROOT / "tests")]!r}
    from graph_helpers import building, summary

    def threads():
        return len(os.listdir("/proc/self/task"))

    reg = building.random_building(5, rooms_per_side=4, floors=2).registry()
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    size = int(next(l for l in open("/proc/self/status") if l.startswith("VmSize")).split()[1]) * 1024
    # No room for a thread stack: every worker start fails.
    resource.setrlimit(resource.RLIMIT_AS, (size, hard))
    try:
        limited = summary(reg.build_spatial_graph(1e-3))
    except MemoryError:
        limited = None
    limited_threads = threads()
    resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
    after = summary(reg.build_spatial_graph(1e-3))
    print(json.dumps([limited, limited_threads, after, threads()]))
""")


@pytest.mark.skipif(not hasattr(os, "sched_getaffinity") or len(os.sched_getaffinity(0)) < 2,
                    reason="needs two CPUs")
@pytest.mark.skipif("ASAN_OPTIONS" in os.environ,
                    reason="the sanitizer's shadow memory does not fit an address-space limit")
def test_workers_come_back_after_a_failed_thread_start():
    out = subprocess.run([sys.executable, "-c", SCRIPT], capture_output=True, text=True,
                         timeout=120, check=True, env=os.environ.copy()).stdout
    limited, limited_threads, after, threads = json.loads(out)
    fresh = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(f"""
            import json, sys
            sys.path[:0] = {[str(ROOT / "tests")]!r}
            from graph_helpers import building, summary
            reg = building.random_building(5, rooms_per_side=4, floors=2).registry()
            print(json.dumps(summary(reg.build_spatial_graph(1e-3))))
        """)], capture_output=True, text=True, timeout=120, check=True,
        env=os.environ.copy()).stdout
    expected = json.loads(fresh)
    assert limited_threads == 1  # no worker could start
    assert limited in (None, expected)  # built on the calling thread, or MemoryError
    assert after == expected
    assert threads == len(os.sched_getaffinity(0))  # one worker per processor but one, and us


TIGHT_SCRIPT = textwrap.dedent(f"""
    import json, os, resource, sys
    sys.path[:0] = {[str(ROOT / "tests")]!r}
    from graph_helpers import building, summary
    from kovalith.building import compile_building

    reg = building.random_building(3, rooms_per_side=6, floors=2).registry()
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    size = int(next(l for l in open("/proc/self/status") if l.startswith("VmSize")).split()[1]) * 1024
    resource.setrlimit(resource.RLIMIT_AS, (size + int(sys.argv[1]), hard))
    try:
        limited = summary(compile_building(reg))
    except MemoryError:
        limited = None
    resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
    print(json.dumps([limited, summary(compile_building(reg))]))
""")


def _stack_size():
    import resource

    stack = resource.getrlimit(resource.RLIMIT_STACK)[0]
    return stack if 0 < stack < (1 << 30) else 8 << 20


@pytest.mark.skipif(not hasattr(os, "sched_getaffinity") or len(os.sched_getaffinity(0)) < 2,
                    reason="needs two CPUs")
@pytest.mark.skipif("ASAN_OPTIONS" in os.environ,
                    reason="the sanitizer's shadow memory does not fit an address-space limit")
@pytest.mark.parametrize("pages", [1, 2, 3, 4, 5, 6, 8, 10, 16])
def test_a_worker_with_its_stack_but_little_else_does_not_abort_the_process(pages):
    """Room for a worker's stack and a few pages more: the thread starts, and
    used to die on its first thread-local access ("cannot allocate memory for
    thread-local data: ABORT"), taking the process with it. Now the build
    completes or raises MemoryError, and the next one is whole."""
    proc = subprocess.run([sys.executable, "-c", TIGHT_SCRIPT, str(_stack_size() + pages * 4096)],
                          capture_output=True, text=True, timeout=120, env=os.environ.copy())
    assert proc.returncode == 0, proc.stderr
    limited, after = json.loads(proc.stdout)
    assert limited in (None, after)
