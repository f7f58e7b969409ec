"""Graph builds across fork and from several Python threads: never a hang,
never a crash, always the same graph.

The worker pool belongs to the process that started it; a forked child has
none of its threads and builds serially. Every wait here has a timeout, so a
hang fails the test instead of stalling the suite."""

import json
import multiprocessing
import os
import select
import signal
import subprocess
import sys
import textwrap
import threading
import time

import pytest
from graph_helpers import ROOT, building, summary

TIMEOUT = 120


def registry(seed=3):
    return building.random_building(seed, rooms_per_side=3, floors=2).registry()


def build_summary(seed):
    return json.dumps(summary(registry(seed).build_spatial_graph(1e-3)))


def thread_count():
    return len(os.listdir("/proc/self/task"))


def in_fork(fn, *args):
    """fn(*args) in a forked child process; its result, or a failure if the
    child hangs, crashes or raises."""
    ctx = multiprocessing.get_context("fork")
    queue = ctx.Queue()

    def run():
        try:
            queue.put(("ok", fn(*args)))
        except BaseException as e:
            queue.put(("error", repr(e)))

    child = ctx.Process(target=run)
    child.start()
    try:
        status, value = queue.get(timeout=TIMEOUT)
    finally:
        child.join(TIMEOUT)
        if child.is_alive():
            child.kill()
    assert child.exitcode == 0 and status == "ok", (child.exitcode, value)
    return value


def build_here_and_below(seed):
    """A build in this process and one in a child of it, with this process's
    thread count after its build."""
    here = build_summary(seed)
    threads = thread_count()
    return here, in_fork(build_summary, seed), threads


def serial_build(seed):
    return build_summary(seed), thread_count()


class TestFork:
    def test_pool_of_forked_children_after_a_parallel_build(self):
        expected = {seed: build_summary(seed) for seed in (3, 4)}
        assert thread_count() > 1 or os.cpu_count() == 1  # the parent's pool is running
        ctx = multiprocessing.get_context("fork")
        with ctx.Pool(2) as pool:
            results = pool.map_async(serial_build, [3, 4, 3, 4]).get(timeout=TIMEOUT)
        # Each child built alone on its one thread: the pool is not inherited.
        assert results == [(expected[s], 1) for s in [3, 4, 3, 4]]
        assert build_summary(3) == expected[3]  # the parent's pool still works

    def test_child_and_grandchild_of_a_process_with_a_pool(self):
        expected = build_summary(4)
        here, below, threads = in_fork(build_here_and_below, 4)
        assert here == below == expected and threads == 1

    def test_fork_before_any_build_lets_the_child_start_its_own_pool(self):
        # A fresh interpreter that has never built forks: the child is the
        # first process to use a pool and gets one; its own child builds
        # serially.
        if os.cpu_count() == 1:
            pytest.skip("needs two CPUs for a pool of more than one thread")
        script = textwrap.dedent(f"""
            import json, sys
            sys.path[:0] = {[str(ROOT / "tests")]!r}
            import test_fork_and_threads as t

            if __name__ == "__main__":
                here, below, threads = t.in_fork(t.build_here_and_below, 5)
                print(json.dumps([here == below == t.build_summary(5), threads]))
        """)
        out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                             timeout=TIMEOUT, check=True, cwd=ROOT).stdout
        same, threads = json.loads(out)
        assert same and threads > 1

    def test_forks_right_after_busy_parallel_builds(self):
        # The workers are still winding down from the parent's build when the
        # child starts its own, each time.
        busy = building.random_building(4, rooms_per_side=5, floors=3).registry()
        reg = registry(3)
        expected = json.dumps(summary(reg.build_spatial_graph(1e-3)))
        for _ in range(20):
            busy.build_spatial_graph(1e-3)
            assert os_fork_child(lambda: json.dumps(summary(reg.build_spatial_graph(1e-3)))) \
                == expected


def os_fork_child(work):
    """work() in a child made by os.fork itself; the text it returns. The
    child leaves through os._exit, skipping the interpreter's teardown."""
    read, write = os.pipe()
    pid = os.fork()
    if pid == 0:
        try:
            os.write(write, work().encode())
        finally:
            os._exit(0)
    os.close(write)
    try:
        ready, _, _ = select.select([read], [], [], TIMEOUT)
        if not ready:
            os.kill(pid, signal.SIGKILL)
        chunks = []
        while ready and (chunk := os.read(read, 1 << 16)):
            chunks.append(chunk)
    finally:
        os.close(read)
        _, status = os.waitpid(pid, 0)
    assert ready, "the child hung"
    assert os.waitstatus_to_exitcode(status) == 0
    return b"".join(chunks).decode()


class TestThreads:
    def run_threads(self, count, target):
        threads = [threading.Thread(target=target, args=(k,)) for k in range(count)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(TIMEOUT)
        assert not any(t.is_alive() for t in threads), "a build hung"

    def test_builds_from_threads_in_turn(self):
        expected = build_summary(6)
        results = []
        for k in range(4):
            self.run_threads(1, lambda _: results.append(build_summary(6)))
        assert results == [expected] * 4

    def test_concurrent_builds_from_threads(self):
        # The builds keep the interpreter lock for their whole length, so they
        # run one after another; the shared registry is read under shared
        # borrows, which do not conflict.
        reg = registry(7)
        expected = json.dumps(summary(reg.build_spatial_graph(1e-3)))
        results, errors = [None] * 6, []

        def work(k):
            try:
                own = build_summary(7) if k % 2 else None
                results[k] = (json.dumps(summary(reg.build_spatial_graph(1e-3))), own)
            except BaseException as e:  # reported below, not lost in the thread
                errors.append(e)

        self.run_threads(6, work)
        assert errors == []
        assert all(shared == expected and own in (None, expected) for shared, own in results)

    def test_threads_setting_the_registry_while_others_build(self):
        reg = registry(8)
        meshes = reg.meshes
        expected = json.dumps(summary(reg.build_spatial_graph(1e-3)))
        errors = []

        def work(k):
            try:
                for _ in range(3):
                    if k % 2:
                        reg.meshes = meshes
                    else:
                        assert json.dumps(summary(reg.build_spatial_graph(1e-3))) == expected
            except BaseException as e:
                errors.append(e)

        self.run_threads(4, work)
        assert errors == []

    def test_attribute_writers_racing_an_export(self):
        # repr() hands the interpreter lock to the writer thread in the middle
        # of the export: writes to the node being exported are refused, all
        # others land, and the export itself never fails.
        from kovalith import GraphNode, SpatialGraph, Vector3D

        nodes = [GraphNode(k, Vector3D(k, 0, 0)) for k in range(30)]

        class Yields:
            def __repr__(self):
                time.sleep(0)
                return "'y'"

        for n in nodes:
            n.set_attribute("y", Yields())
        graph = SpatialGraph(nodes, [], [])
        stop, refused, landed = threading.Event(), [], []

        def writer(_):
            k = 0
            while not stop.is_set():
                try:
                    nodes[k % 30].set_attribute(f"w{k % 5}", k)
                    landed.append(k)
                except RuntimeError as e:
                    refused.append(str(e))
                k += 1
                time.sleep(0)

        thread = threading.Thread(target=writer, args=(0,))
        thread.start()
        try:
            for _ in range(20):
                assert len(graph.to_cypher_queries()) == 30
        finally:
            stop.set()
            thread.join(TIMEOUT)
        assert not thread.is_alive()
        assert landed and set(refused) <= {"Already borrowed"}
        assert all(isinstance(n.get_attribute("y"), Yields) for n in nodes)


def test_the_module_has_no_thread_local_storage():
    """Worker threads keep their state in pthread keys, never in thread_local:
    a module loaded with dlopen gets its thread-local block at a thread's
    first use of it, where a failed allocation aborts the process and which
    the leak checker's thread scan cannot always read. The extension's ELF
    program headers hold no TLS segment (type 7)."""
    import struct

    import kovalith

    with open(kovalith.__file__, "rb") as f:
        data = f.read()
    assert data[:4] == b"\x7fELF" and data[4] == 2  # 64-bit
    order = "<" if data[5] == 1 else ">"
    phoff, = struct.unpack_from(order + "Q", data, 0x20)
    phentsize, phnum = struct.unpack_from(order + "HH", data, 0x36)
    types = [struct.unpack_from(order + "I", data, phoff + k * phentsize)[0] for k in range(phnum)]
    assert 1 in types  # PT_LOAD: the headers were read right
    assert 7 not in types
