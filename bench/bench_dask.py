"""A portfolio of IFC models compiled on a Dask LocalCluster of processes, 1 and 2 workers.

    python3 bench/bench_dask.py [--files 8] [--size 5x20] [--workers 1,2] [--cache DIR]

--files offices of STOREYSxOFFICES (examples/ifc_office.py; alternately in
metres and millimetres) are authored once into the cache directory. The
reference is a plain loop over the files in this process; then, for each
worker count, a fresh LocalCluster of that many single-threaded worker
processes compiles the folder (examples/portfolio.py: one task per file,
``kovalith.ifc.load`` with one geometry thread and ``compile_rooms``, only
the summary row sent back). The cluster's start is timed apart from the run;
each run's rows are checked against the loop's. Prints the summary table of
the last run and the timing table.
"""

from __future__ import annotations

import argparse
import os
import pathlib
import sys
import tempfile
import time

ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "examples"))

import portfolio  # noqa: E402

TIMING = ("geometry_s", "build_s")


def authored(cache: pathlib.Path, files: int, storeys: int, offices: int) -> list[str]:
    from ifc_office import author_office

    folder = cache / f"portfolio_{files}x{storeys}x{offices}"
    folder.mkdir(parents=True, exist_ok=True)
    paths = []
    for i in range(files):
        path = folder / f"office_{i:02d}.ifc"
        if not path.exists():
            model, _ = author_office(storeys=storeys, offices_per_side=offices, unit=("m", "mm")[i % 2],
                                     offset=(1000.0 * i, 0.0))
            model.write(str(path))
        paths.append(str(path))
    return paths


def strip(rows):
    return [{k: v for k, v in r.items() if k not in TIMING} for r in rows]


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--files", type=int, default=8)
    parser.add_argument("--size", default="5x20", help="STOREYSxOFFICES per file")
    parser.add_argument("--workers", default="1,2")
    parser.add_argument("--cache", type=pathlib.Path,
                        default=pathlib.Path(tempfile.gettempdir()) / "kovalith_bench_dask")
    args = parser.parse_args()
    storeys, offices = map(int, args.size.split("x"))
    t0 = time.perf_counter()
    paths = authored(args.cache, args.files, storeys, offices)
    print(f"{len(paths)} files ready in {time.perf_counter() - t0:.1f} s", file=sys.stderr)

    import cloudpickle
    from dask.distributed import Client, LocalCluster

    # Worker processes cannot import the example by name; send it with the tasks.
    cloudpickle.register_pickle_by_value(portfolio)

    portfolio.compile_file(paths[0])  # warm the imports of this process
    t0 = time.perf_counter()
    reference = [portfolio.compile_file(p) for p in paths]
    loop = time.perf_counter() - t0
    rooms = sum(r["rooms"] for r in reference)
    results = [("plain loop, this process", "-", 0.0, loop)]
    rows = reference
    for workers in map(int, args.workers.split(",")):
        t0 = time.perf_counter()
        with LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                          dashboard_address=None) as cluster, Client(cluster) as client:
            client.run(portfolio.compile_file, paths[0])  # each worker imports IfcOpenShell and kovalith once
            started = time.perf_counter() - t0
            t0 = time.perf_counter()
            rows = portfolio.compile_folder(paths, client)
            run = time.perf_counter() - t0
        if strip(rows) != strip(reference):
            print(f"{workers} workers: rows differ from the plain loop", file=sys.stderr)
            return 1
        results.append((f"LocalCluster, {workers} worker process{'es' if workers > 1 else ''}", str(workers),
                        started, run))

    print(portfolio.table(rows))
    load = ", ".join(f"{x:.2f}" for x in os.getloadavg())
    print(f"\n{len(paths)} files, {rooms:,} rooms ({args.size} offices); {os.cpu_count()} cores, "
          f"load average {load} (1, 5, 15 min) at the end\n")
    print("| run | workers | cluster start + warm-up | compile the folder | files/s | rooms/s | vs 1 worker |")
    print("|---|---:|---:|---:|---:|---:|---:|")
    one = next((r[3] for r in results if r[1] == "1"), None)
    for name, workers, started, run in results:
        ratio = f"{one / run:.2f}x" if one and workers != "-" else "-"
        start_text = f"{started:.2f} s" if workers != "-" else "-"
        print(f"| {name} | {workers} | {start_text} | {run:.2f} s | {len(paths) / run:.1f} | {rooms / run:,.0f} "
              f"| {ratio} |")
    return 0


if __name__ == "__main__":
    sys.exit(main())
