"""Many buildings: compile a folder of IFC files on a Dask cluster, gather one table.

    python3 examples/portfolio.py FOLDER [--workers N] [--scheduler ADDRESS] [--author N]

Each file is loaded and compiled on a worker process (one file per task,
``kovalith.ifc.building_graph``), and only its summary row travels back.
Without ``--scheduler`` a LocalCluster of N worker processes is started on
this machine; with it, the same code runs on that cluster (its workers need
kovalith[ifc] installed and the files at the same path). ``--author N`` first
writes N generated offices of different sizes into FOLDER
(examples/ifc_office.py).
"""

from __future__ import annotations

import argparse
import os
import pathlib
import sys
import time
from typing import Any

HERE = pathlib.Path(__file__).resolve().parent

COLUMNS = ("file", "storeys", "rooms", "wall", "slab", "doors", "isolated", "skipped", "geometry_s", "build_s")


def compile_file(path: str, threads: int = 1) -> dict[str, Any]:
    """Load and compile one IFC file; its summary row. Runs on a worker."""
    from kovalith import ifc

    t0 = time.perf_counter()
    try:
        rooms = ifc.load(path, threads=threads)
        t1 = time.perf_counter()
        graph = ifc.compile_rooms(rooms)
    except (OSError, ValueError) as exc:  # one bad file must not sink the portfolio
        return {"file": os.path.basename(path), "error": " ".join(str(exc).split())}
    t2 = time.perf_counter()
    touched = {i for e in graph.edges for i in (e.node_a, e.node_b)}
    return {
        "file": os.path.basename(path),
        "storeys": len({n.get_attribute("storey") for n in graph.nodes}),
        "rooms": len(graph.nodes),
        "wall": sum(e.contact_type == "VerticalWallContact" for e in graph.edges),
        "slab": sum(e.contact_type == "HorizontalSlabContact" for e in graph.edges),
        "doors": len({d for e in graph.edges for d in e.get_attribute("doors")}),
        "isolated": len(graph.nodes) - len(touched),
        "skipped": len(rooms.skipped),
        "geometry_s": t1 - t0,
        "build_s": t2 - t1,
    }


def compile_folder(paths: list[str], client: Any, *, threads: int = 1) -> list[dict[str, Any]]:
    """Compile every file on the client's cluster; rows in the order of `paths`."""
    futures = client.map(compile_file, paths, threads=threads, pure=False)
    return list(client.gather(futures))


def table(rows: list[dict[str, Any]]) -> str:
    lines = ["| " + " | ".join(COLUMNS) + " |", "|" + "---|" * len(COLUMNS)]
    for row in rows:
        if "error" in row:
            lines.append(f"| {row['file']} | error: {row['error']} |")
            continue
        cells = [f"{row[c]:.3f}" if c.endswith("_s") else str(row[c]) for c in COLUMNS]
        lines.append("| " + " | ".join(cells) + " |")
    return "\n".join(lines)


def author_folder(folder: pathlib.Path, count: int) -> list[pathlib.Path]:
    sys.path.insert(0, str(HERE))
    from ifc_office import author_office

    folder.mkdir(parents=True, exist_ok=True)
    paths = []
    for i in range(count):
        storeys, offices = 2 + i % 3, 3 + (i * 2) % 7
        model, _ = author_office(storeys=storeys, offices_per_side=offices, unit=("m", "mm")[i % 2])
        path = folder / f"office_{i:02d}.ifc"
        model.write(str(path))
        paths.append(path)
    return paths


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("folder", type=pathlib.Path)
    parser.add_argument("--workers", type=int, default=os.cpu_count() or 1)
    parser.add_argument("--scheduler", help="address of a running Dask scheduler, e.g. tcp://10.0.0.5:8786")
    parser.add_argument("--author", type=int, default=0, metavar="N", help="first author N offices into FOLDER")
    args = parser.parse_args(argv)
    if args.author:
        author_folder(args.folder, args.author)
    paths = sorted(str(p) for p in args.folder.glob("*.ifc"))
    if not paths:
        print(f"no .ifc files in {args.folder} (use --author N to generate some)", file=sys.stderr)
        return 1

    from dask.distributed import Client, LocalCluster

    t0 = time.perf_counter()
    if args.scheduler:
        client = Client(args.scheduler)
        cluster = None
    else:
        cluster = LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True,
                               dashboard_address=None)
        client = Client(cluster)
    try:
        started = time.perf_counter() - t0
        t0 = time.perf_counter()
        rows = compile_folder(paths, client)
        wall = time.perf_counter() - t0
        workers = len(client.scheduler_info()["workers"])
    finally:
        client.close()
        if cluster is not None:
            cluster.close()
    print(table(rows))
    rooms = sum(r.get("rooms", 0) for r in rows)
    print(f"\n{len(paths)} files, {rooms} rooms on {workers} worker processes in {wall:.2f} s "
          f"(cluster start {started:.2f} s)")
    return 0 if all("error" not in r for r in rows) else 1


if __name__ == "__main__":
    sys.exit(main())
