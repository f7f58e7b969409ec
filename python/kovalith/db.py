"""Loading a `SpatialGraph` into graph databases.

`load` writes the rooms and contacts of a graph into the database that a
client object opens, in parameterised ``UNWIND`` batches through that
database's own client:

- FalkorDB: a ``falkordb.Graph`` (from ``FalkorDB(...).select_graph(name)``);
- Neo4j: a ``neo4j.Driver`` or ``neo4j.Session`` of the official driver;
- Kùzu: a ``kuzu.Connection``, or a ``ladybug.Connection`` of its fork.

`open_database` (from `kovalith.db_urls`) opens one from a URL
(``falkordb://host:port/graph``, ``bolt://...``, ``kuzu:///path``,
``ladybug:///path``) with the engine the scheme names.
`write_neo4j_import_csv` writes the rooms and contacts as the CSV files of
``neo4j-admin database import`` for graphs too large for transactions.

The data model is the schema of every output (`kovalith.values`), as the
Cypher file of `kovalith.cypher` writes it: one ``Room`` node per graph node
with ``index``, ``centroid`` (``[x, y, z]``) and one property per attribute;
one ``SHARES_WALL`` relationship per edge from the ``node_a`` room to the
``node_b`` room with ``shared_area``, ``contact_centroid``, ``contact_type``
and one property per attribute. Relationships find their rooms by ``index``.

Besides, every contact a person can cross is a ``CONNECTS_TO`` relationship
in each direction, so that the engines' directed path searches find walks
either way: ``via`` (how people cross: the edge's ``via`` attribute where
the graph has one, else ``["opening"]`` where its ``walkable`` attribute is
True; an empty ``via`` means nobody can), ``length`` (the walking distance
of `kovalith.routes` with ``cost="walk"``: room centroid to the edge's
``opening_centroid``, a `Vector3D` or ``[x, y, z]``, or to its contact
centroid where there is none, then to the other room's centroid) and
``width`` (the edge's ``width`` attribute, where it is a finite number).

All or nothing: nothing is sent before the whole graph has passed the policy
and the checks below, and a failure or an interrupt during the load leaves
the database as it was. Neo4j and Kùzu load in one transaction; FalkorDB
loads into a graph of its own, which then takes the target's place in one
atomic step (see `load`).

Values are converted by `kovalith.values`, the policy of every output:
``str``, ``bool``, 64-bit ``int`` and finite ``float`` as they are (a
subclass or a NumPy scalar as the built-in value it holds), a `Vector3D` as
``[x, y, z]``, a list or tuple as a list of one kind; None and non-finite
numbers are left out (an absent property; NULL in Kùzu's typed columns), or
refused with ``non_finite="raise"``; other values are refused with
``TypeError`` naming the record and the key. The engines add their own
limits, checked before anything is sent as well: a key must be non-empty
and free of U+0000; FalkorDB and Kùzu cannot name a key holding a backtick;
FalkorDB cannot store U+0000 inside a string; Kùzu needs one type per key.
"""

from __future__ import annotations

import bisect
import contextlib
import os
import re
import secrets
import signal
import threading
from collections.abc import Callable, Iterable, Iterator, Sequence
from dataclasses import dataclass
from typing import Any, Literal, NamedTuple

from kovalith import GraphEdge, GraphNode, SpatialGraph, values
from kovalith.db_urls import open_database  # noqa: F401  (database URLs: kovalith.db.open_database)

__all__ = ["Loaded", "load", "kuzu_tables", "write_neo4j_import_csv", "ROOM_LABEL", "CONTACT_TYPE",
           "WALKWAY_TYPE"]

ROOM_LABEL = "Room"
CONTACT_TYPE = "SHARES_WALL"
WALKWAY_TYPE = "CONNECTS_TO"
WALKWAY_FIELDS = values.WALKWAY_FIELDS
DEFAULT_VIA = values.DEFAULT_VIA
DEFAULT_BATCH_SIZE = 5000

# FalkorDB: the lock key and the graph a load writes before it takes the
# target's place are named after the target; both expire this long after
# the load last renewed them (it does after every batch).
LOCK_SUFFIX = "~kovalith-lock"
STAGING_SUFFIX = "~kovalith-load-"
LOCK_TIMEOUT_S = 60.0
# Tries of the final swap when the target is written meanwhile.
COMMIT_ATTEMPTS = 5
# Neo4j: the Room index (a string, where rooms have integers) whose lock
# each load takes first, so that loads into one database take turns.
NEO4J_LOAD_KEY = "~kovalith-load"

_IDENTIFIER = re.compile(r"[A-Za-z_][A-Za-z0-9_]*\Z")

class Loaded(NamedTuple):
    """What `load` wrote, as the database counted it: rooms, contacts and
    walkways (``CONNECTS_TO`` relationships, two per walkable contact)."""

    rooms: int
    contacts: int
    walkways: int


class _Refused(Exception):
    """A value outside the policy; carries the message without the record."""

    def __init__(self, message: str, kind: type[Exception] = TypeError) -> None:
        super().__init__(message)
        self.kind = kind


# Element kinds of converted values, named as Kùzu's column types.
_BOOL, _INT, _FLOAT, _STR = "BOOLEAN", "INT64", "DOUBLE", "STRING"
_KINDS = {bool: _BOOL, int: _INT, float: _FLOAT, str: _STR}


def _kind(value: Any) -> str:
    """The kind of a value as `kovalith.values` converts it; "[]" for an
    empty list, whose item kind is unknown (a list's items are of one kind)."""
    if type(value) is list:
        return _KINDS[type(value[0])] + "[]" if value else "[]"
    return _KINDS[type(value)]


def _merge_kinds(old: str | None, new: str | None) -> str | None:
    if old is None or old == new:
        return new
    if new is None:
        return old
    if {old, new} == {_INT, _FLOAT}:
        return _FLOAT
    if {old, new} == {_INT + "[]", _FLOAT + "[]"}:
        return _FLOAT + "[]"
    if old == "[]" and new.endswith("[]"):
        return new
    if new == "[]" and old.endswith("[]"):
        return old
    raise _Refused(f"values of different types ({old} and {new}) under one key", ValueError)


@dataclass
class _Table:
    """Rows of one record kind: column names, then one value list per record."""

    columns: list[str]
    kinds: list[str | None]
    rows: list[list[Any]]
    # Columns whose null flag follows the values in each row (Kùzu only).
    flags: Sequence[int] = ()

    def typed_kinds(self) -> list[str]:
        """Column kinds for a typed schema: a key that is only ever null is a
        STRING, one that only ever holds empty lists an INT64 list."""
        return [_STR if k is None else _INT + "[]" if k == "[]" else k for k in self.kinds]

    def cast_to_kinds(self) -> None:
        """Turns ints stored under a DOUBLE (list) column into floats, as a
        typed engine needs one type per column."""
        for j, kind in enumerate(self.kinds):
            if kind == _FLOAT:
                for row in self.rows:
                    if isinstance(row[j], int) and not isinstance(row[j], bool):
                        row[j] = float(row[j])
            elif kind == _FLOAT + "[]":
                for row in self.rows:
                    if row[j]:
                        row[j] = [float(x) for x in row[j]]


def _table(records: Sequence[dict[str, Any]], fixed: Sequence[str],
           what: Callable[[int], str]) -> _Table:
    """The rows of property dicts of `kovalith.values`, one column per key in
    order of appearance (`fixed` first), a left-out property as None."""
    columns = list(fixed)
    position = {name: j for j, name in enumerate(columns)}
    kinds: list[str | None] = [None] * len(columns)
    rows: list[list[Any]] = []
    for k, properties in enumerate(records):
        row: list[Any] = [None] * len(columns)
        key = ""
        try:
            for key, value in properties.items():
                j = position.get(key, -1)
                if j < 0:
                    _check_key(key)
                    j = position[key] = len(columns)
                    columns.append(key)
                    kinds.append(None)
                while len(row) <= j:
                    row.append(None)
                row[j] = value
                kind = _kind(value)
                if kind != kinds[j]:
                    kinds[j] = _merge_kinds(kinds[j], kind)
        except _Refused as exc:
            raise exc.kind(f"{what(k)}, key {key!r}: {exc}") from None
        rows.append(row)
    for row in rows:  # records read before a key first appeared lack its column
        row.extend([None] * (len(columns) - len(row)))
    return _Table(columns, kinds, rows)


def _check_key(key: str) -> None:
    # No engine can name a property with no name or with U+0000 in it.
    if not key:
        raise _Refused("a property needs a name; rename the attribute", ValueError)
    if "\0" in key:
        raise _Refused("no engine takes U+0000 in a property name; rename the attribute",
                       ValueError)


@dataclass
class _Data:
    """What one load sends, checked: rooms, contacts and walkways, with the
    (from, to) room index of every relationship."""

    rooms: _Table
    contacts: _Table
    ends: list[tuple[int, int]]
    walkways: _Table
    walkway_ends: list[tuple[int, int]]


def _tables(graph: SpatialGraph, non_finite: str) -> _Data:
    """The rows of a load after the value policy and the checks that keep
    relationships from being lost."""
    if not isinstance(graph, SpatialGraph):
        raise TypeError(f"graph: expected a kovalith.SpatialGraph, got {type(graph).__name__}")
    if non_finite not in ("omit", "null", "raise"):
        raise ValueError(f"non_finite: expected 'omit' or 'raise', got {non_finite!r}")
    nodes, edges = graph.nodes, graph.edges
    node_properties, edge_properties = values.graph_properties(
        graph, non_finite="raise" if non_finite == "raise" else "omit")
    rooms = _table(node_properties, values.NODE_FIELDS, lambda k: f"node {k} (index {nodes[k].index})")
    contacts = _table(edge_properties, values.EDGE_FIELDS,
                      lambda k: f"edge {k} ({edges[k].node_a}-{edges[k].node_b})")
    seen: set[int] = set()
    for k, row in enumerate(rooms.rows):
        if row[0] in seen:
            raise ValueError(f"room {k}: index {row[0]} is used by an earlier room; relationships "
                             "find their rooms by index, so it must be unique")
        seen.add(row[0])
    ends = []
    for k, e in enumerate(edges):
        a, b = e.node_a, e.node_b
        for end in (a, b):
            if end not in seen:
                raise ValueError(f"contact {k} ({a}-{b}): no room has index {end}; the "
                                 "relationship would be dropped")
        ends.append((a, b))
    walkways, walkway_ends = _walkways(nodes, edges)
    return _Data(rooms, contacts, ends, walkways, walkway_ends)


def _walkways(nodes: Sequence[GraphNode], edges: Sequence[GraphEdge]) -> tuple[_Table, list[tuple[int, int]]]:
    """One row per direction of every contact a person can cross
    (`kovalith.values.walkway_properties`, the rooms found by ``index``)."""
    centroid = {}
    for n in nodes:
        c = n.centroid
        centroid[n.index] = (c.x, c.y, c.z)
    rows: list[list[Any]] = []
    ends: list[tuple[int, int]] = []
    for k, properties in values.walkway_properties(edges, centroid):
        via, length, width = properties["via"], properties["length"], properties.get("width")
        rows.append([via, length, width])
        rows.append([list(via), length, width])
        a, b = edges[k].node_a, edges[k].node_b
        ends.extend(((a, b), (b, a)))
    return _Table(list(WALKWAY_FIELDS), [_STR + "[]", _FLOAT, _FLOAT], rows), ends


def _quote(name: str) -> str:
    """A property name in backticks, a backtick doubled: how Neo4j reads any
    name, including reserved words such as ``index``."""
    return "`" + name.replace("`", "``") + "`"


def _property_map(columns: Sequence[str], quote: Callable[[str], str]) -> str:
    return ", ".join(f"{quote(c)}: r.c{j}" for j, c in enumerate(columns))


def _row_dicts(table: _Table, first: int, last: int,
               ends: Sequence[tuple[int, int]] | None = None) -> list[dict[str, Any]]:
    names = [f"c{j}" for j in range(len(table.columns))] + [f"n{j}" for j in table.flags]
    out = []
    for k in range(first, last):
        row = dict(zip(names, table.rows[k]))
        if ends is not None:
            row["a"], row["b"] = ends[k]
        out.append(row)
    return out


def _batches(count: int, batch_size: int) -> Iterable[tuple[int, int]]:
    for first in range(0, count, batch_size):
        yield first, min(count, first + batch_size)


def _engine(target: Any) -> str:
    # By the client's own classes, found in the target's class hierarchy so
    # that a subclass loads like its base; importing a client only to ask
    # would cost seconds.
    for cls in type(target).__mro__:
        package = cls.__module__.split(".")[0]
        if package == "falkordb" and cls.__name__ == "Graph":
            return "falkordb"
        if package in ("kuzu", "ladybug") and cls.__name__ == "Connection":
            return package
        if package == "neo4j":
            import neo4j

            if isinstance(target, neo4j.Driver):
                return "neo4j-driver"
            if isinstance(target, neo4j.Session):
                return "neo4j-session"
    cls = type(target)
    raise TypeError("target: expected a falkordb Graph, a neo4j Driver or Session, or a kuzu or "
                    f"ladybug Connection, got {cls.__module__}.{cls.__qualname__}")


def load(graph: SpatialGraph, target: Any, *, batch_size: int = DEFAULT_BATCH_SIZE,
         non_finite: Literal["omit", "null", "raise"] = "omit", database: str | None = None,
         replace: bool = False) -> Loaded:
    """Load the rooms, contacts and walkways of `graph` into the database of
    `target`, all or nothing.

    Parameters
    ----------
    graph : kovalith.SpatialGraph
        The graph; node ``index`` values must be unique and every edge must
        name two of them (as in every compiled graph).
    target : falkordb.Graph, neo4j.Driver, neo4j.Session, kuzu.Connection or ladybug.Connection
        Where to load: a FalkorDB graph that does not exist or holds no
        node; a Neo4j database without ``Room`` nodes; a Kùzu database
        without ``Room`` table (one is created, typed from the values, with
        ``index`` as primary key). See `replace`.
    batch_size : int, optional
        Records per ``UNWIND`` statement.
    non_finite : {"omit", "raise"}, optional
        Whether None and non-finite numbers are left out or refused (see
        the module docstring); ``"null"`` is an older name of ``"omit"``.
    database : str, optional
        The database of a `neo4j.Driver` (server default if None); refused
        with any other target, which names its database itself.
    replace : bool, optional
        Load over what is there: the whole FalkorDB graph is replaced; on
        Neo4j the ``Room`` nodes and their relationships are deleted; on
        Kùzu the ``Room``, ``SHARES_WALL`` and ``CONNECTS_TO`` tables are
        dropped. In the same step as the load: a failed load keeps them.

    Returns
    -------
    Loaded
        Rooms, contacts and walkways created, as counted by the database.

    Raises
    ------
    TypeError
        `graph` or `target` of an unsupported type, or an attribute value the
        policy refuses (the message names the record and the key).
    ValueError
        A bad `batch_size`, a non-finite value under ``non_finite="raise"``,
        an integer outside 64 bits, a string no engine can store, an empty
        key or one the schema takes (``index``, ``centroid``, ...), a
        duplicate room index or a contact naming no room, values of incompatible types under one key
        (Kùzu), a key holding a backtick (FalkorDB, Kùzu), U+0000 in a string
        (FalkorDB), a target that already holds data (without `replace`:
        on Neo4j also when another load ran at once, which this one waits
        for), or another load into the same FalkorDB graph running.
    RuntimeError
        The database created fewer records than sent.

    Any failure, and an interrupt, leaves the database as it was: nothing is
    sent before the whole graph has passed the checks, and the load is one
    transaction (Neo4j, Kùzu) or is written into a graph of its own that
    replaces the target in one atomic step (FalkorDB).
    """
    if not isinstance(batch_size, int) or isinstance(batch_size, bool) or batch_size < 1:
        raise ValueError(f"batch_size: expected a positive int, got {batch_size!r}")
    if not isinstance(replace, bool):
        raise TypeError(f"replace: expected a bool, got {type(replace).__name__}")
    engine = _engine(target)
    if database is not None:
        if not isinstance(database, str):
            raise TypeError(f"database: expected a str, got {type(database).__name__}")
        if engine == "neo4j-session":
            raise ValueError("database: a neo4j Session loads into the database it was opened on; "
                             "pass the name to driver.session(database=...), or the Driver here")
        if engine != "neo4j-driver":
            raise ValueError(f"database: only a neo4j Driver takes a database name, not a {engine} "
                             "target")
    data = _tables(graph, non_finite)
    if engine == "falkordb":
        loaded = _load_falkordb(target, data, batch_size, replace)
    elif engine.startswith("neo4j"):
        loaded = _load_neo4j(target, engine == "neo4j-driver", database, data, batch_size, replace)
    else:
        loaded = _load_kuzu(target, engine, data, batch_size, replace)
    return loaded


def _sent(data: _Data) -> Loaded:
    return Loaded(len(data.rooms.rows), len(data.contacts.rows), len(data.walkways.rows))


def _check_created(created: Loaded, data: _Data) -> None:
    """Raises before the commit when the database made fewer records than
    sent (a relationship whose room it did not find)."""
    sent = _sent(data)
    if created != sent:
        raise RuntimeError(f"the database created {created.rooms} rooms, {created.contacts} "
                           f"contacts and {created.walkways} walkways of {sent.rooms}, "
                           f"{sent.contacts} and {sent.walkways} sent; nothing was kept")


@contextlib.contextmanager
def _interrupts_deferred() -> Iterator[None]:
    """Holds Ctrl-C back while a commit runs, so that it is not cut between
    sending the command and reading whether it took effect; the interrupt is
    raised once the commit is done."""
    if (threading.current_thread() is not threading.main_thread()
            or signal.getsignal(signal.SIGINT) is None):
        yield
        return
    received: list[Any] = []
    previous = signal.signal(signal.SIGINT, lambda signum, frame: received.append(frame))
    try:
        yield
    finally:
        signal.signal(signal.SIGINT, previous)
        if received:
            if callable(previous):
                previous(signal.SIGINT, received[0])
            else:
                raise KeyboardInterrupt


def _statements(rooms: _Table, contacts: _Table,
                quote: Callable[[str], str]) -> tuple[str, str]:
    """The node and relationship statements of Neo4j."""
    node = (f"UNWIND $rows AS r CREATE (:{ROOM_LABEL} {{{_property_map(rooms.columns, quote)}}})")
    key = quote("index")
    edge = (f"UNWIND $rows AS r MATCH (a:{ROOM_LABEL} {{{key}: r.a}}), (b:{ROOM_LABEL} {{{key}: r.b}}) "
            f"CREATE (a)-[:{CONTACT_TYPE} {{{_property_map(contacts.columns, quote)}}}]->(b)")
    return node, edge


def _no_backtick(name: str, engine: str) -> str:
    # Neither parser has an escape for a backtick inside a quoted name (Kùzu
    # keeps a doubled one as two characters), so such a key cannot be stored
    # under its own name.
    if "`" in name:
        raise ValueError(f"key {name!r}: {engine} cannot store a property name holding a backtick")
    return name


def _falkordb_quote(name: str) -> str:
    _no_backtick(name, "FalkorDB")
    return name if _IDENTIFIER.match(name) else f"`{name}`"


def _falkordb_literal(value: Any) -> str:
    """A converted value as a Cypher literal of FalkorDB's parameter header,
    quoted as its client quotes strings."""
    if isinstance(value, str):
        return '"' + value.replace("\\", "\\\\").replace('"', '\\"') + '"'
    if value is None:
        return "null"
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, list):
        return "[" + ",".join(map(_falkordb_literal, value)) + "]"
    return repr(value)  # int, or a finite float: the shortest round-trip digits


def _falkordb_rows(rows: Iterable[Sequence[Any]]) -> str:
    return "[" + ",".join("[" + ",".join(map(_falkordb_literal, row)) + "]" for row in rows) + "]"


def _positional_map(columns: Sequence[str], first: int) -> str:
    return ", ".join(f"{_falkordb_quote(c)}: r[{j + first}]" for j, c in enumerate(columns))


def _falkordb_check_strings(data: _Data) -> None:
    """FalkorDB reads a query as a C string: U+0000 would end it early."""
    for what, table in (("node", data.rooms), ("edge", data.contacts)):
        for k, row in enumerate(table.rows):
            for j, value in enumerate(row):
                if (isinstance(value, str) and "\0" in value) or (
                        isinstance(value, list) and any(isinstance(v, str) and "\0" in v
                                                        for v in value)):
                    raise ValueError(f"{what} {k}, key {table.columns[j]!r}: FalkorDB cannot "
                                     "store U+0000 in a string")
    for via in data.walkways.rows:
        if any("\0" in v for v in via[0]):
            raise ValueError(f"key 'via' {via[0]!r}: FalkorDB cannot store U+0000 in a string")


# Key states of the FalkorDB target, as `_falkordb_target` reports them.
_ABSENT, _EMPTY, _FULL = "absent", "empty", "full"


def _falkordb_target(client: Any, name: str, replace: bool) -> str:
    """Whether the target graph exists and holds nodes; refuses a target that
    is not a graph, or holds nodes without `replace`. Runs on a plain client
    or on a pipeline that watches the key (where commands run at once)."""
    kind = client.type(name)
    kind = kind.decode() if isinstance(kind, bytes) else kind
    if kind == "none":
        return _ABSENT
    if kind != "graphdata":
        raise ValueError(f"target: the key {name!r} holds a Redis {kind}, not a graph")
    reply = client.execute_command("GRAPH.RO_QUERY", name, "MATCH (n) RETURN count(n), "
                                   f"sum(CASE WHEN n:{ROOM_LABEL} THEN 1 ELSE 0 END)")
    # The raw reply holds integers as integers and doubles as text.
    nodes, rooms = (int(float(v)) for v in reply[1][0])
    if not nodes:
        return _EMPTY
    if not replace:
        held = f"{rooms} {ROOM_LABEL} nodes" if rooms else f"{nodes} nodes"
        raise ValueError(f"target: the graph {name!r} already holds {held}; load into an empty "
                         "graph, or replace it (replace=True, --db-replace)")
    return _FULL


def _load_falkordb(graph: Any, data: _Data, batch_size: int, replace: bool) -> Loaded:
    """Writes into a graph of its own, then puts that graph in the target's
    place in one MULTI/EXEC (DEL, RENAME, PERSIST) that watches the target:
    Redis runs the three as one step, so readers see the old graph or the
    whole new one, and a failure or an interrupt before it leaves the target
    untouched. A lock key (SET NX with a token, as redis-py's Lock) makes a
    second load into the same graph fail at once; the watch also catches
    writers that do not take it. The lock and the load graph expire unless
    renewed after every batch, so a client killed midway leaves nothing
    behind for long."""
    import redis

    for table in (data.rooms, data.contacts):
        for column in table.columns:
            _falkordb_quote(column)
    _falkordb_check_strings(data)
    name = graph.name
    client = graph.client.connection
    lock = client.lock(name + LOCK_SUFFIX, timeout=LOCK_TIMEOUT_S, blocking=False)
    if not lock.acquire(blocking=False):
        raise ValueError(f"target: another load into the graph {name!r} is running (its lock "
                         f"key {name + LOCK_SUFFIX!r} expires {LOCK_TIMEOUT_S:g} s after it stops)")
    staging = f"{name}{STAGING_SUFFIX}{secrets.token_hex(8)}"
    committed = False
    try:
        _falkordb_target(client, name, replace)  # refuse before the work, not after

        def renew() -> None:
            lock.reacquire()
            client.pexpire(staging, int(LOCK_TIMEOUT_S * 1000))

        created = _falkordb_write(type(graph)(graph.client, staging), data, batch_size, renew)
        _check_created(created, data)
        with _interrupts_deferred():
            _falkordb_commit(client, name, staging, lock, replace)
            committed = True
    finally:
        if not committed:
            with contextlib.suppress(redis.RedisError):
                client.delete(staging)
        with contextlib.suppress(redis.RedisError):
            lock.release()
    return created


def _falkordb_commit(client: Any, name: str, staging: str, lock: Any, replace: bool) -> None:
    import redis

    token = lock.local.token
    for _ in range(COMMIT_ATTEMPTS):
        with client.pipeline() as pipe:
            try:
                pipe.watch(name, lock.name)
                held = pipe.get(lock.name)
                if (held.encode() if isinstance(held, str) else held) != token:
                    raise RuntimeError(f"the lock on the graph {name!r} expired during the load; "
                                       "nothing was kept")
                state = _falkordb_target(pipe, name, replace)
                pipe.multi()
                if state != _ABSENT:
                    pipe.delete(name)
                pipe.rename(staging, name)
                pipe.persist(name)
                pipe.execute()
                return
            except redis.WatchError:
                continue  # written meanwhile: look again
    raise RuntimeError(f"the graph {name!r} kept changing during the load; nothing was kept")


def _falkordb_write(graph: Any, data: _Data, batch_size: int, renew: Callable[[], None]) -> Loaded:
    # Rows go as lists in the client's parameter header ("CYPHER rows=[...]"),
    # written here: shorter than maps for the server to parse, and built
    # without the client's per-value recursion.
    rooms = data.rooms
    node = (f"UNWIND $rows AS r CREATE (:{ROOM_LABEL} {{{_positional_map(rooms.columns, 0)}}})")
    graph.query(f"CREATE INDEX FOR (r:{ROOM_LABEL}) ON (r.index)")
    renew()
    created = [0, 0, 0]
    for first, last in _batches(len(rooms.rows), batch_size):
        text = f"CYPHER rows={_falkordb_rows(rooms.rows[first:last])} {node}"
        created[0] += graph.query(text).nodes_created
        renew()
    keys = sorted(row[0] for row in rooms.rows)
    for k, (table, ends, kind) in enumerate(((data.contacts, data.ends, CONTACT_TYPE),
                                             (data.walkways, data.walkway_ends, WALKWAY_TYPE))):
        created[k + 1] = _falkordb_relationships(graph, table, ends, kind, keys, batch_size, renew)
    return Loaded(*map(int, created))


def _falkordb_relationships(graph: Any, table: _Table, ends: list[tuple[int, int]], kind: str,
                            keys: list[int], batch_size: int, renew: Callable[[], None]) -> int:
    # Looking each endpoint up in the index costs far more than the rest of
    # the load, so a batch fetches the rooms of its key range in one ordered
    # scan and addresses them by position in that range: the graph holds
    # exactly the rooms loaded here (it is a graph of its own), so the range
    # holds the same keys as the sorted keys of the graph. If it does not,
    # the size test makes the batch create nothing and the count check fails.
    edge = (f"MATCH (n:{ROOM_LABEL}) WHERE n.index >= $lo AND n.index <= $hi "
            "WITH n ORDER BY n.index WITH collect(n) AS rooms WHERE size(rooms) = $count "
            "UNWIND $rows AS r WITH rooms[r[0]] AS a, rooms[r[1]] AS b, r "
            f"CREATE (a)-[:{kind} {{{_positional_map(table.columns, 2)}}}]->(b)")
    # Edges in the order of their lower endpoint keep each batch's key range
    # narrow whatever the order of the graph's edge list.
    order = sorted(range(len(ends)), key=lambda k: min(ends[k]))
    created = 0
    for first, last in _batches(len(order), batch_size):
        batch = order[first:last]
        lo = min(min(ends[k]) for k in batch)
        hi = max(max(ends[k]) for k in batch)
        start, stop = bisect.bisect_left(keys, lo), bisect.bisect_right(keys, hi)
        rows = ([bisect.bisect_left(keys, ends[k][0], start, stop) - start,
                 bisect.bisect_left(keys, ends[k][1], start, stop) - start, *table.rows[k]]
                for k in batch)
        text = (f"CYPHER lo={lo} hi={hi} count={stop - start} rows={_falkordb_rows(rows)} {edge}")
        created += graph.query(text).relationships_created
        renew()
    return created


class _Interrupted(Exception):
    """An interrupt carried out of the transaction function as an exception,
    on which the driver rolls the transaction back and closes it; the
    interrupt itself (its ``__cause__``) is raised again outside."""


def _load_neo4j(target: Any, is_driver: bool, database: str | None, data: _Data,
                batch_size: int, replace: bool) -> Loaded:
    """One managed write transaction for the whole load (the driver retries
    it whole on a transient error). The uniqueness constraint on
    ``Room.index``, made first in its own schema transaction, makes a second
    load running at once wait for the first (see `_neo4j_work`) and then
    find its rooms, and keeps any room from being there twice.

    The driver rolls back on an exception from the transaction function but
    lets an interrupt pass with the transaction still open, which would keep
    the caller's session from running anything else; so an interrupt leaves
    the function as `_Interrupted`. Once the statements are sent, interrupts
    wait until the driver's commit has answered, so that an interrupted load
    is one that was not kept."""
    session = target.session(database=database) if is_driver else target
    commit = contextlib.ExitStack()

    def work(tx: Any) -> Loaded:
        try:
            commit.close()  # a retry by the driver runs with interrupts live again
            loaded = _neo4j_work(tx, data, batch_size, replace)
        except Exception:
            raise
        except BaseException as exc:
            raise _Interrupted() from exc
        commit.enter_context(_interrupts_deferred())
        return loaded

    try:
        with commit:
            session.run(f"CREATE CONSTRAINT kovalith_room_index IF NOT EXISTS FOR "
                        f"(r:{ROOM_LABEL}) REQUIRE r.index IS UNIQUE").consume()
            result: Loaded = session.execute_write(work)
    except _Interrupted as exc:
        assert exc.__cause__ is not None
        raise exc.__cause__ from None
    finally:
        if is_driver:
            session.close()
    return result


def _neo4j_work(tx: Any, data: _Data, batch_size: int, replace: bool) -> Loaded:
    """The statements of a Neo4j load, in the transaction `tx`; raising
    rolls it back."""
    node, edge = _statements(data.rooms, data.contacts, _quote)
    key = _quote("index")
    walk_edge = (f"UNWIND $rows AS r MATCH (a:{ROOM_LABEL} {{{key}: r.a}}), "
                 f"(b:{ROOM_LABEL} {{{key}: r.b}}) CREATE (a)-[:{WALKWAY_TYPE} "
                 f"{{{_property_map(data.walkways.columns, _quote)}}}]->(b)")
    # Creating a room takes the uniqueness constraint's lock on its key
    # until the transaction ends. Every load first creates (and at once
    # deletes) a room under one key no graph uses, so a second load waits
    # there until the first has committed or rolled back, and then counts
    # its rooms; without it, two loads of graphs with no index in common
    # would both find the database empty and both be kept.
    tx.run(f"CREATE (s:{ROOM_LABEL} {{{key}: $key}}) DELETE s", key=NEO4J_LOAD_KEY).consume()
    existing = tx.run(f"MATCH (r:{ROOM_LABEL}) RETURN count(r) AS n").single()["n"]
    if existing and not replace:
        raise ValueError(f"target: the database already holds {existing} {ROOM_LABEL} nodes; "
                         "load into an empty database, or replace them (replace=True, "
                         "--db-replace)")
    if existing:
        tx.run(f"MATCH (r:{ROOM_LABEL}) DETACH DELETE r").consume()
    created = [0, 0, 0]
    for first, last in _batches(len(data.rooms.rows), batch_size):
        rows = _row_dicts(data.rooms, first, last)
        created[0] += tx.run(node, rows=rows).consume().counters.nodes_created
    for k, (table, ends, query) in enumerate(((data.contacts, data.ends, edge),
                                              (data.walkways, data.walkway_ends, walk_edge))):
        for first, last in _batches(len(table.rows), batch_size):
            counters = tx.run(query, rows=_row_dicts(table, first, last, ends)).consume().counters
            created[k + 1] += counters.relationships_created
    loaded = Loaded(*created)
    _check_created(loaded, data)
    return loaded


def _kuzu_columns(table: _Table) -> str:
    return ", ".join(f"{_quote(c)} {k}" for c, k in zip(table.columns, table.typed_kinds()))


def _list_columns(table: _Table) -> list[int]:
    return [j for j, kind in enumerate(table.typed_kinds()) if kind.endswith("[]")]


def _kuzu_values(table: _Table) -> list[str]:
    """The expression of each column: the row field, except that a list
    column reads null through a flag, since the clients turn a null list
    inside a parameter into an empty one (and reject a null in a CASE)."""
    # The casts type a batch in which a column holds only nulls or only
    # empty lists, which the clients send as STRING values.
    kinds = table.typed_kinds()
    values = [f"CAST(r.c{j} AS {kind})" for j, kind in enumerate(kinds)]
    for j in _list_columns(table):
        values[j] = f"CASE WHEN NOT r.n{j} THEN {values[j]} END"
    return values


def _kuzu_property_map(table: _Table, values: list[str]) -> str:
    return ", ".join(f"{_quote(c)}: {v}" for c, v in zip(table.columns, values))


def _flag_null_lists(table: _Table) -> None:
    """Appends the null flags of the list columns to every row, as columns
    named n{j} by `_row_dicts`."""
    columns = _list_columns(table)
    table.flags = columns
    for row in table.rows:
        for j in columns:
            if row[j] is None:
                row[j] = []
                row.append(True)
            else:
                row.append(False)


def _copy_kuzu_columns(connection: Any, data: _Data, batch_size: int) -> None:
    """Kùzu: each batch as one list parameter per column, copied in by
    ``COPY ... FROM (UNWIND range(1, $size) AS i RETURN $c0[i], ...)``.

    Kùzu plans MATCH on the key from an UNWIND as a scan per row, so the
    relationships go through COPY, which looks the keys up in bulk; and the
    client converts a list of numbers far faster than a list of structs."""
    def batch(table: _Table, first: int, last: int) -> tuple[list[str], dict[str, Any]]:
        """The column expressions and parameters of one batch. The client
        cannot type a list parameter holding only nulls or only empty lists,
        so such a column becomes a typed constant instead."""
        width = len(table.columns)
        rows = table.rows[first:last]
        kinds = table.typed_kinds()
        lists = set(table.flags)
        params: dict[str, Any] = {"size": last - first}
        out = []
        for j, kind in enumerate(kinds):
            values = [row[j] for row in rows]
            if j in lists:
                flag = width + table.flags.index(j)
                params[f"n{j}"] = [row[flag] for row in rows]
                if any(values):
                    params[f"c{j}"] = values
                    out.append(f"CASE WHEN NOT $n{j}[i] THEN CAST($c{j}[i] AS {kind}) END")
                else:
                    out.append(f"CASE WHEN NOT $n{j}[i] THEN CAST([] AS {kind}) END")
            elif all(v is None for v in values):
                out.append(f"CAST(NULL AS {kind})")
            else:
                params[f"c{j}"] = values
                out.append(f"$c{j}[i]")
        # Named, since two equal constants would make two columns of one name.
        return [f"{v} AS v{j}" for j, v in enumerate(out)], params

    for first, last in _batches(len(data.rooms.rows), batch_size):
        values, params = batch(data.rooms, first, last)
        connection.execute(f"COPY {ROOM_LABEL} FROM (UNWIND range(1, $size) AS i RETURN "
                           f"{', '.join(values)})", params)
    for kind, table, ends in ((CONTACT_TYPE, data.contacts, data.ends),
                              (WALKWAY_TYPE, data.walkways, data.walkway_ends)):
        for first, last in _batches(len(table.rows), batch_size):
            values, params = batch(table, first, last)
            params["a"] = [a for a, _ in ends[first:last]]
            params["b"] = [b for _, b in ends[first:last]]
            connection.execute(f"COPY {kind} FROM (UNWIND range(1, $size) AS i RETURN $a[i], "
                               f"$b[i], {', '.join(values)})", params)


def _insert_kuzu_rows(connection: Any, data: _Data, batch_size: int) -> None:
    """The fork: it crashes on COPY from a query, and plans MATCH over
    column parameters as a scan per row; over rows of structs, a WHERE on
    the key is a lookup."""
    key = _quote("index")
    rooms = data.rooms
    node = (f"UNWIND $rows AS r CREATE (:{ROOM_LABEL} "
            f"{{{_kuzu_property_map(rooms, _kuzu_values(rooms))}}})")
    for first, last in _batches(len(rooms.rows), batch_size):
        connection.execute(node, {"rows": _row_dicts(rooms, first, last)})
    for kind, table, ends in ((CONTACT_TYPE, data.contacts, data.ends),
                              (WALKWAY_TYPE, data.walkways, data.walkway_ends)):
        edge = (f"UNWIND $rows AS r MATCH (a:{ROOM_LABEL}) WHERE a.{key} = r.a "
                f"MATCH (b:{ROOM_LABEL}) WHERE b.{key} = r.b CREATE (a)-[:{kind} "
                f"{{{_kuzu_property_map(table, _kuzu_values(table))}}}]->(b)")
        for first, last in _batches(len(table.rows), batch_size):
            connection.execute(edge, {"rows": _row_dicts(table, first, last, ends)})


def _kuzu_ddl(data: _Data) -> list[str]:
    """The ``CREATE ... TABLE`` statements of a Kùzu load, typed from the values."""
    for table in (data.rooms, data.contacts):
        for column in table.columns:
            _no_backtick(column, "Kùzu")
    return [f"CREATE NODE TABLE {ROOM_LABEL}({_kuzu_columns(data.rooms)}, PRIMARY KEY({_quote('index')}))"] + [
        f"CREATE REL TABLE {kind}(FROM {ROOM_LABEL} TO {ROOM_LABEL}, {_kuzu_columns(table)})"
        for kind, table in ((CONTACT_TYPE, data.contacts), (WALKWAY_TYPE, data.walkways))]


def kuzu_tables(graph: SpatialGraph, *, non_finite: Literal["omit", "raise"] = "omit") -> list[str]:
    """The statements that create the tables `load` creates in Kùzu for
    `graph` (``Room``, ``SHARES_WALL``, ``CONNECTS_TO``, one typed column
    per property): run them, then the statements of the Cypher file
    (`kovalith.cypher.write_cypher`), and the database holds what `load`
    would have loaded. Raises what `load` raises for the graph's values."""
    return _kuzu_ddl(_tables(graph, non_finite))


def _kuzu_scalar(result: Any) -> Any:
    row = result.get_next()
    return row[0]


def _kuzu_tables(connection: Any) -> set[str]:
    result = connection.execute("CALL show_tables() RETURN name")
    names = set()
    while result.has_next():
        names.add(result.get_next()[0])
    return names


def _load_kuzu(connection: Any, engine: str, data: _Data, batch_size: int,
               replace: bool) -> Loaded:
    """One transaction: the tables and every row, or nothing. Kùzu runs one
    write transaction at a time, so a second load at once waits or fails,
    and then finds the tables made."""
    for table in (data.rooms, data.contacts):
        for column in table.columns:
            _no_backtick(column, "Kùzu")
        table.cast_to_kinds()
    try:
        connection.execute("BEGIN TRANSACTION")
    except RuntimeError as exc:
        raise ValueError(f"target: cannot start a transaction on the connection ({exc}); load "
                         "through a connection with no transaction open") from exc
    try:
        existing = _kuzu_tables(connection)
        if ROOM_LABEL in existing and not replace:
            raise ValueError(f"target: the database already has a {ROOM_LABEL} table; load into "
                             "an empty database, or replace it (replace=True, --db-replace)")
        for name in (WALKWAY_TYPE, CONTACT_TYPE, ROOM_LABEL):  # relationships first
            if name in existing:
                connection.execute(f"DROP TABLE {name}")
        for statement in _kuzu_ddl(data):
            connection.execute(statement)
        for table in (data.contacts, data.walkways, data.rooms):
            _flag_null_lists(table)
        if engine == "kuzu":
            _copy_kuzu_columns(connection, data, batch_size)
        else:
            _insert_kuzu_rows(connection, data, batch_size)
        created = Loaded(*(int(_kuzu_scalar(connection.execute(query))) for query in (
            f"MATCH (r:{ROOM_LABEL}) RETURN count(*)",
            f"MATCH ()-[w:{CONTACT_TYPE}]->() RETURN count(*)",
            f"MATCH ()-[w:{WALKWAY_TYPE}]->() RETURN count(*)")))
        _check_created(created, data)
        with _interrupts_deferred():
            connection.execute("COMMIT")
    except BaseException:
        with contextlib.suppress(Exception):
            connection.execute("ROLLBACK")
        raise
    return created


# neo4j-admin's type names for the kinds of the value policy.
_NEO4J_TYPES = {_BOOL: "boolean", _INT: "long", _FLOAT: "double", _STR: "string"}
ARRAY_DELIMITER = ";"


def _csv_field(value: Any, key: str, array_delimiter: str) -> str:
    if value is None or value == []:
        return ""
    if isinstance(value, list):
        if any(isinstance(x, str) and array_delimiter in x for x in value):
            raise ValueError(f"key {key!r}: a list item holds the array delimiter "
                             f"{array_delimiter!r}; pass another array_delimiter")
        return _csv_quote(array_delimiter.join(_csv_scalar(x) for x in value))
    if isinstance(value, str):
        return _csv_quote(value)
    return _csv_scalar(value)


def _csv_scalar(value: Any) -> str:
    if isinstance(value, bool):
        return "true" if value else "false"
    return value if isinstance(value, str) else repr(value)


def _csv_quote(text: str) -> str:
    # Always quoted, so that an empty string stays an empty string and is
    # not read as a missing value.
    return '"' + text.replace('"', '""') + '"'


def write_neo4j_import_csv(graph: SpatialGraph, directory: str | os.PathLike[str], *,
                           non_finite: Literal["omit", "null", "raise"] = "omit",
                           array_delimiter: str = ARRAY_DELIMITER) -> tuple[str, str]:
    """Write `graph` as the node and relationship CSV files of
    ``neo4j-admin database import``.

    Files ``rooms.csv`` and ``contacts.csv`` in `directory` (created if
    missing), UTF-8, comma-separated, every string quoted with ``"`` (an
    inner ``"`` doubled), a null as an empty field, lists joined with
    `array_delimiter`. Headers carry the types: ``index:ID(Room)``,
    ``centroid:double[]``, ..., ``:LABEL``; ``:START_ID(Room)``,
    ``:END_ID(Room)``, ``shared_area:double``, ..., ``:TYPE``; one column per
    attribute key, typed from its values like Kùzu's columns (``long``,
    ``double``, ``boolean``, ``string`` or their ``[]`` arrays). Import with::

        neo4j-admin database import full --id-type=integer --multiline-fields=true \\
            --array-delimiter=";" --nodes=rooms.csv --relationships=contacts.csv neo4j

    ``--id-type=integer`` keeps ``index`` an integer property. The value
    policy and the checks are those of `load`; an empty list is written as
    an empty field, so it reads back as a missing property.

    Returns
    -------
    (str, str)
        The paths of the room and contact files.
    """
    if len(array_delimiter) != 1 or array_delimiter in '",\r\n':
        raise ValueError(f"array_delimiter: expected one character other than a quote, comma "
                         f"or line break, got {array_delimiter!r}")
    data = _tables(graph, non_finite)
    rooms, contacts, ends = data.rooms, data.contacts, data.ends
    for table in (rooms, contacts):
        table.cast_to_kinds()
        for key in table.columns:
            if ":" in key:
                # The importer splits a header name at its first ':'.
                raise ValueError(f"key {key!r}: neo4j-admin cannot read a property name "
                                 "holding ':'")
    os.makedirs(directory, exist_ok=True)
    room_path = os.path.join(directory, "rooms.csv")
    contact_path = os.path.join(directory, "contacts.csv")

    def header(table: _Table, first: list[str], skip: int, last: str) -> str:
        names = first + [f"{c}:{_neo4j_type(k)}" for c, k in
                         zip(table.columns[skip:], table.typed_kinds()[skip:])] + [last]
        # A header name is split at ':' by the importer; quoting keeps
        # commas and quotes inside a key.
        return ",".join(_csv_header_name(n) for n in names) + "\n"

    with open(room_path, "w", encoding="utf-8", newline="") as f:
        f.write(header(rooms, [f"index:ID({ROOM_LABEL})"], 1, ":LABEL"))
        for row in rooms.rows:
            f.write(",".join([str(row[0])] + [_csv_field(v, c, array_delimiter) for c, v in
                                              zip(rooms.columns[1:], row[1:])]
                             + [ROOM_LABEL]) + "\n")
    with open(contact_path, "w", encoding="utf-8", newline="") as f:
        f.write(header(contacts, [f":START_ID({ROOM_LABEL})", f":END_ID({ROOM_LABEL})"], 0,
                       ":TYPE"))
        for (a, b), row in zip(ends, contacts.rows):
            f.write(",".join([str(a), str(b)] + [_csv_field(v, c, array_delimiter) for c, v in
                                                 zip(contacts.columns, row)]
                             + [CONTACT_TYPE]) + "\n")
    return room_path, contact_path


def _neo4j_type(kind: str) -> str:
    if kind.endswith("[]"):
        return _NEO4J_TYPES[kind[:-2]] + "[]"
    return _NEO4J_TYPES[kind]


def _csv_header_name(name: str) -> str:
    if any(ch in name for ch in ',"\r\n'):
        return _csv_quote(name)
    return name

