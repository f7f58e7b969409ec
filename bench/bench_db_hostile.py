"""The database loaders under hostile conditions: the loader of a revision
before its loads were made all or nothing, beside this build's, in one run.

    python3 bench/bench_db_hostile.py [--before REV]

REV (default 165772c, the last revision of python/kovalith/db.py before the
loads became atomic) gives the "before" modules: its ``db.py`` and
``db_urls.py`` are read from git and imported as modules of their own; the
"after" ones are this build's ``kovalith.db`` and ``kovalith.db_urls``. Each
finding runs against a FalkorDB server started on a loopback port (the test
suite's fixture, tests/falkordb_server.py) or an in-memory Kùzu database,
with the 18 rooms and 33 contacts of tests/db_roundtrip.py's attributed
building loaded in batches of 7:

- FalkorDB, a load that fails midway: a NUL inside the last contact's
  value; a server error (the server's memory limit drops below what it holds
  before the load's fourth query, so it refuses that write and every later
  one, as a full server does); Ctrl-C (SIGINT sent to this process before
  the fourth query). Then a retry of the same load, which does not fail.
- FalkorDB, two loads into one empty graph at once: the first pauses
  before its second query (it has checked that the graph is empty, and has
  written no room yet) while the second runs.
- FalkorDB, a ``str`` subclass whose ``replace()`` and ``str()`` return it
  unchanged, holding ``x"]] CREATE (:Canary) //``.
- Kùzu, an attribute key holding a backtick (``a`b``): the column names of
  the Room table after the load.
- Kùzu, Ctrl-C (SIGINT) before the load's fourth statement, then the same
  load again.
- The ``ladybug:///path`` URL while the ladybug package is not installed.
- Neo4j's path, through the official driver on the Bolt port of a second
  FalkorDB server (``bolt_server`` of the tests' fixture): Ctrl-C before
  the load's fourth statement with a ``neo4j.Session`` as the target, then
  the same load (``replace=True``) into the same session; and Ctrl-C while
  the driver commits. Its "before" is ``db.py`` of ``--neo4j-before REV``
  (default dab00c9, before an interrupt closed the transaction). That
  server runs each statement as it arrives (it has no rollback), so what
  it holds afterwards shows what was sent, not what Neo4j would keep.

Each row gives, before and after: what the call did (its result, or the
exception), what the database held afterwards, and the time the call took.
"""

from __future__ import annotations

import argparse
import contextlib
import importlib.util
import itertools
import os
import pathlib
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
from typing import Any, Callable, Iterator

ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests"))

BATCH = 7
PAYLOAD = 'x"]] CREATE (:Canary) //'


def module_at(rev: str, path: str, name: str) -> Any:
    """The file `path` of git revision `rev`, imported as module `name`."""
    text = subprocess.run(["git", "-C", str(ROOT), "show", f"{rev}:{path}"], check=True,
                          capture_output=True).stdout
    directory = pathlib.Path(tempfile.mkdtemp(prefix="kovalith_before_"))
    file = directory / f"{name}.py"
    file.write_bytes(text)
    spec = importlib.util.spec_from_file_location(name, file)
    assert spec is not None and spec.loader is not None
    module = importlib.util.module_from_spec(spec)
    sys.modules[name] = module
    spec.loader.exec_module(module)
    shutil.rmtree(directory)
    return module


def outcome(call: Callable[[], Any]) -> tuple[str, float]:
    """What the call gave, in a few words, and its wall time."""
    t0 = time.perf_counter()
    try:
        result = call()
        text = f"returned {tuple(result) if isinstance(result, tuple) else type(result).__name__}"
    except BaseException as exc:  # KeyboardInterrupt included: it is one of the findings
        first = str(exc).splitlines()[0] if str(exc) else ""
        text = f"{type(exc).__name__}: {first[:90]}"
    return text, time.perf_counter() - t0


def holds(graph: Any) -> str:
    """Rooms, contacts, walkways and other nodes of a FalkorDB graph."""
    try:
        [[rooms, others]] = graph.query("MATCH (n) RETURN sum(CASE WHEN n:Room THEN 1 ELSE 0 END), "
                                        "sum(CASE WHEN n:Room THEN 0 ELSE 1 END)").result_set
        [[contacts, walkways]] = graph.query(
            "MATCH ()-[w]->() RETURN sum(CASE WHEN type(w) = 'SHARES_WALL' THEN 1 ELSE 0 END), "
            "sum(CASE WHEN type(w) = 'CONNECTS_TO' THEN 1 ELSE 0 END)").result_set
    except Exception as exc:  # the graph does not exist
        return f"no graph ({type(exc).__name__})"
    text = f"{int(rooms or 0)} rooms, {int(contacts or 0)} contacts, {int(walkways or 0)} walkways"
    return text + (f", {int(others)} other nodes" if others else "")


@contextlib.contextmanager
def cut_before(at: int, action: Callable[[], None], thread: threading.Thread | None = None) -> Iterator[None]:
    """Runs `action` before the `at`-th FalkorDB query (of `thread` only, if
    given). The client class itself is patched, so that the loader sees a
    plain ``falkordb.Graph`` and every graph object it makes goes through it."""
    import falkordb

    calls = itertools.count()
    query = falkordb.Graph.query

    def counted(self: Any, *args: Any, **kwargs: Any) -> Any:
        if (thread is None or threading.current_thread() is thread) and next(calls) == at:
            action()
        return query(self, *args, **kwargs)

    falkordb.Graph.query = counted
    try:
        yield
    finally:
        falkordb.Graph.query = query


def with_nul(graph: Any) -> Any:
    from kovalith import GraphEdge, SpatialGraph

    edges = list(graph.edges)
    last = edges[-1]
    copy = GraphEdge(last.node_a, last.node_b, last.shared_area, last.contact_centroid, last.contact_type)
    for key, value in last.get_all_attributes().items():
        copy.set_attribute(key, value)
    copy.set_attribute("note", "before\0after")
    return SpatialGraph(graph.nodes, edges[:-1] + [copy], graph.wire_contacts)


def sneaky_graph() -> Any:
    from kovalith import GraphEdge, GraphNode, SpatialGraph, Vector3D

    class Sneaky(str):
        def replace(self, *args: Any) -> Any:
            return self

        def __str__(self) -> str:
            return self

    nodes = [GraphNode(0, Vector3D(0, 0, 0)), GraphNode(1, Vector3D(1, 0, 0))]
    nodes[1].set_attribute("value", Sneaky(PAYLOAD))
    return SpatialGraph(nodes, [GraphEdge(0, 1, 1.0, Vector3D(0.5, 0, 0), "VerticalWallContact")], [])


def falkordb_rows(server: Any, modules: dict[str, Any]) -> list[list[str]]:
    import db_roundtrip as rt

    building = rt.attributed_building()
    rows = []

    def midway(name: str, graph_of: Callable[[], Any], action: Callable[[], None],
               cleanup: Callable[[], None] = lambda: None) -> None:
        row = [name]
        for side, db in modules.items():
            target = server.new_graph()
            try:
                with cut_before(3, action):
                    text, seconds = outcome(lambda: db.load(graph_of(), target, batch_size=BATCH))
            finally:
                cleanup()
            after = holds(target)
            retry, _ = outcome(lambda: db.load(building, target, batch_size=BATCH))
            row += [text, after, f"retry: {retry}; then {holds(target)}", f"{seconds * 1e3:.0f} ms"]
            with_cleanup(target)
        rows.append(row)

    midway("NUL in the last contact's value", lambda: with_nul(building), lambda: None)

    client = server.client().connection
    policy = client.config_get("maxmemory-policy")["maxmemory-policy"]

    def fill_up() -> None:
        client.config_set("maxmemory-policy", "noeviction")
        client.config_set("maxmemory", 1)

    def free() -> None:
        client.config_set("maxmemory", 0)
        client.config_set("maxmemory-policy", policy)

    midway("server out of memory before the 4th query", lambda: building, fill_up, free)
    midway("Ctrl-C (SIGINT) before the 4th query", lambda: building, lambda: signal.raise_signal(signal.SIGINT))

    row = ["two loads into one empty graph at once"]
    for side, db in modules.items():
        target = server.new_graph()
        reached, go = threading.Event(), threading.Event()

        def pause() -> None:
            reached.set()
            go.wait(30)

        first: dict[str, str] = {}

        def run() -> None:
            first["text"], _ = outcome(lambda: db.load(building, target, batch_size=BATCH))

        thread = threading.Thread(target=run)
        t0 = time.perf_counter()
        with cut_before(1, pause, thread):
            thread.start()
            reached.wait(30)
            second, _ = outcome(lambda: db.load(building, target, batch_size=BATCH))
            go.set()
            thread.join(60)
        seconds = time.perf_counter() - t0
        row += [f"first {first['text']}; second {second}", holds(target), "", f"{seconds * 1e3:.0f} ms"]
        with_cleanup(target)
    rows.append(row)

    row = ["str subclass holding Cypher"]
    for side, db in modules.items():
        target = server.new_graph()
        text, seconds = outcome(lambda: db.load(sneaky_graph(), target))
        [[canaries]] = target.query("MATCH (c:Canary) RETURN count(c)").result_set
        row += [text, f"{holds(target)}; Canary nodes: {canaries}", "", f"{seconds * 1e3:.0f} ms"]
        with_cleanup(target)
    rows.append(row)
    return rows


def with_cleanup(graph: Any) -> None:
    try:
        graph.delete()
    except Exception:  # never written
        pass


def kuzu_holds(connection: Any) -> str:
    counts = []
    for query in ("MATCH (r:Room) RETURN count(*)", "MATCH ()-[w:SHARES_WALL]->() RETURN count(*)"):
        try:
            counts.append(connection.execute(query).get_next()[0])
        except RuntimeError:  # no such table
            return "no Room table" if not counts else f"{counts[0]} rooms, no contact table"
    return f"{counts[0]} rooms, {counts[1]} contacts"


def kuzu_rows(modules: dict[str, Any]) -> list[list[str]]:
    import kuzu

    import db_roundtrip as rt
    from kovalith import GraphNode, SpatialGraph, Vector3D

    rows = []
    row = ["Kùzu: Ctrl-C (SIGINT) before the 4th statement"]
    building = rt.attributed_building()
    execute = kuzu.Connection.execute
    for side, db in modules.items():
        connection = kuzu.Connection(kuzu.Database(":memory:"))
        calls = itertools.count()

        def interrupted(self: Any, *args: Any, **kwargs: Any) -> Any:
            if next(calls) == 3:
                signal.raise_signal(signal.SIGINT)
            return execute(self, *args, **kwargs)

        kuzu.Connection.execute = interrupted
        try:
            text, seconds = outcome(lambda: db.load(building, connection, batch_size=BATCH))
        finally:
            kuzu.Connection.execute = execute
        after = kuzu_holds(connection)
        retry, _ = outcome(lambda: db.load(building, connection, batch_size=BATCH))
        row += [text, after, f"retry: {retry}; then {kuzu_holds(connection)}", f"{seconds * 1e3:.0f} ms"]
    rows.append(row)

    row = ["Kùzu: attribute key a`b"]
    for side, db in modules.items():
        node = GraphNode(0, Vector3D(0, 0, 0))
        node.set_attribute("a`b", 1)
        connection = kuzu.Connection(kuzu.Database(":memory:"))
        text, seconds = outcome(lambda: db.load(SpatialGraph([node], [], []), connection))
        try:
            result = connection.execute("CALL table_info('Room') RETURN *")
            columns = [r[1] for r in result.get_all()]
            after = "Room columns: " + ", ".join(columns)
        except RuntimeError:
            after = "no Room table"
        row += [text, after, "", f"{seconds * 1e3:.0f} ms"]
    rows.append(row)
    return rows


def url_rows(urls: dict[str, Any]) -> list[list[str]]:
    row = ["ladybug:///path, ladybug not installed"]
    for side, module in urls.items():
        path = pathlib.Path(tempfile.mkdtemp(prefix="kovalith_ladybug_")) / "building.db"
        text, seconds = outcome(lambda: module.open_database(f"ladybug://{path}"))
        opened = text
        if text.startswith("returned"):
            target, close = module.open_database(f"ladybug://{path}")
            opened = f"returned a {type(target).__module__}.{type(target).__name__}"
            close()
        row += [opened, "database written at the path" if path.exists() else "nothing written", "",
                f"{seconds * 1e3:.0f} ms"]
        shutil.rmtree(path.parent)
    return [row]


@contextlib.contextmanager
def bolt_statements(before: Callable[[int], None]) -> Iterator[None]:
    """The neo4j driver's transaction statements, `before(k)` called ahead
    of the k-th; the loader's constraint statement, which the FalkorDB
    endpoint cannot parse, sent as a statement that does nothing."""
    import neo4j

    run, session_run, calls = neo4j.ManagedTransaction.run, neo4j.Session.run, itertools.count()

    def counted(self: Any, query: str, parameters: Any = None, **kwargs: Any) -> Any:
        before(next(calls))
        return run(self, query, parameters, **kwargs)

    def constraint(self: Any, query: str, parameters: Any = None, **kwargs: Any) -> Any:
        if query.startswith("CREATE CONSTRAINT"):
            query, parameters = "RETURN 0", None
        return session_run(self, query, parameters, **kwargs)

    neo4j.ManagedTransaction.run, neo4j.Session.run = counted, constraint
    try:
        yield
    finally:
        neo4j.ManagedTransaction.run, neo4j.Session.run = run, session_run


def neo4j_rows(bolt: Any, modules: dict[str, Any]) -> list[list[str]]:
    import neo4j

    import db_roundtrip as rt
    from falkordb_server import BOLT_GRAPH

    # The endpoint pastes string parameters between quotes unescaped and
    # copies them into a 4 KiB buffer: names without quotes, small batches.
    building = rt.attributed_building()
    for node in building.nodes:
        node.set_attribute("name", f"Room {node.index}")
    graph = bolt.admin.select_graph(BOLT_GRAPH)
    rows = []

    row = ["Neo4j (Bolt): Ctrl-C before the 4th statement, target a Session, then the load again"]
    for side, db in modules.items():
        bolt.admin.connection.delete(BOLT_GRAPH)
        with bolt.driver.session() as session:
            def interrupt(k: int) -> None:
                if k == 3:
                    signal.raise_signal(signal.SIGINT)

            with bolt_statements(interrupt):
                text, seconds = outcome(lambda: db.load(building, session, batch_size=5))
            after = holds(graph)
            with bolt_statements(lambda k: None):
                retry, _ = outcome(lambda: db.load(building, session, batch_size=5, replace=True))
        row += [text, after, f"retry: {retry}; then {holds(graph)}", f"{seconds * 1e3:.0f} ms"]
    rows.append(row)

    row = ["Neo4j (Bolt): Ctrl-C while the driver commits"]
    commit = neo4j.ManagedTransaction._commit
    for side, db in modules.items():
        bolt.admin.connection.delete(BOLT_GRAPH)
        sent: list[bool] = []

        def interrupted_commit(self: Any, *args: Any, **kwargs: Any) -> Any:
            signal.raise_signal(signal.SIGINT)
            time.sleep(0.1)
            sent.append(True)
            return commit(self, *args, **kwargs)

        neo4j.ManagedTransaction._commit = interrupted_commit
        try:
            with bolt_statements(lambda k: None):
                text, seconds = outcome(lambda: db.load(building, bolt.driver, batch_size=5))
        finally:
            neo4j.ManagedTransaction._commit = commit
        row += [text, f"COMMIT {'sent and answered' if sent else 'never sent'}", "",
                f"{seconds * 1e3:.0f} ms"]
    rows.append(row)
    bolt.admin.connection.delete(BOLT_GRAPH)
    return rows


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--before", default="165772c")
    parser.add_argument("--neo4j-before", default="dab00c9")
    args = parser.parse_args()
    if importlib.util.find_spec("ladybug") is not None:
        print("ladybug is installed: the ladybug row shows nothing", file=sys.stderr)
    from falkordb_server import FalkorDBServer

    from kovalith import db, db_urls

    modules = {"before": module_at(args.before, "python/kovalith/db.py", "kovalith_db_before"), "after": db}
    urls = {"before": module_at(args.before, "python/kovalith/db_urls.py", "kovalith_db_urls_before"),
            "after": db_urls}
    server = FalkorDBServer()
    server.start()
    try:
        rows = falkordb_rows(server, modules)
    finally:
        server.stop()
    rows += kuzu_rows(modules) + url_rows(urls)
    if importlib.util.find_spec("neo4j") is not None:
        from falkordb_server import BoltServer

        server = FalkorDBServer(bolt=True)
        server.start()
        bolt = BoltServer(server)
        try:
            rows += neo4j_rows(bolt, {"before": module_at(args.neo4j_before, "python/kovalith/db.py",
                                                          "kovalith_db_neo4j_before"), "after": db})
        finally:
            bolt.driver.close()
            server.stop()
    else:
        print("the neo4j driver is not installed: no Neo4j rows", file=sys.stderr)
    load = ", ".join(f"{x:.2f}" for x in os.getloadavg())
    print(f"\nbefore = {args.before} (Neo4j rows: {args.neo4j_before}), after = this build; "
          f"load average {load}\n")
    head = ["finding"] + [f"{side}: {what}" for side in ("before", "after")
                          for what in ("outcome", "database after", "retry", "time")]
    print("| " + " | ".join(head) + " |")
    print("|" + "---|" * len(head))
    for row in rows:
        print("| " + " | ".join(cell.replace("|", "\\|") for cell in row) + " |")
    return 0


if __name__ == "__main__":
    sys.exit(main())
