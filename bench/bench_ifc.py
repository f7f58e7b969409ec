"""From IFC file to room graph: where the time goes.

    python3 bench/bench_ifc.py [--models 3x6,10x50] [--repeat 3] [--cache DIR]

Each model is an office authored with ifcopenshell.api (examples/ifc_office.py,
STOREYSxOFFICES: storeys x (2 x offices + 1) spaces, with the doors, windows,
stair openings, columns, beams and pipes that go with them), written once into
the cache directory. For each, best of --repeat:

- open: ``ifcopenshell.open`` (parsing the file);
- geometry: ``kovalith.ifc.load`` on the opened model: IfcOpenShell's
  geometry iterator in world coordinates and metres, plus the product lookups
  and the meshes and wires made from its output; on all cores
  (``multiprocessing.cpu_count()``), then on one, then with Open CASCADE
  instead of the default hybrid kernel;
- build: ``kovalith.ifc.compile_rooms`` (the building compiler with the
  walls and slabs as element meshes, and the product attributes), beside
  the compiler alone on the same rooms and openings without the elements;
- export: the Cypher file and the node-link JSON file written to disk.

A second table times each output of the graph on its own, as a share of the
model's IFC -> graph time (open + geometry on all cores + build) in the same
run: node-link JSON, networkx, the Cypher file, Neo4j's import CSV, IndoorGML
(the document, and apart what computing the contact regions adds to the
build), BOT Turtle, the space boundaries (``kovalith.energy.space_boundaries``:
the compile with every room's surface cut into classified pieces), the
gbXML file written from them and the copy of the model with them as IFC
second-level boundaries (``--space-boundaries``: the model read again from its
file, the boundaries added, the copy written). A third table sets the
boundaries, gbXML and the IFC copy together against the geometry time on all
cores. ``--quick`` skips
the one-core and Open CASCADE geometry runs.

``--reference REV`` adds, in the same run, the same outputs written by the
Python modules of git revision REV (with this build's extension): a child
process loads the model with them and times each output; the table shows
both and whether each file is byte for byte the reference's.
"""

from __future__ import annotations

import argparse
import dataclasses
import json
import multiprocessing
import os
import pathlib
import subprocess
import sys
import tempfile
import time

ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "examples"))


def best(fn, repeat):
    return best_cpu(fn, repeat)[::2]


def best_cpu(fn, repeat):
    """(best wall seconds, best CPU seconds of the process, all threads, result)."""
    walls, cpus = [], []
    result = None
    for _ in range(repeat):
        c0, t0 = time.process_time(), time.perf_counter()
        result = fn()
        walls.append(time.perf_counter() - t0)
        cpus.append(time.process_time() - c0)
    return min(walls), min(cpus), result


def model_path(cache: pathlib.Path, storeys: int, offices: int) -> pathlib.Path:
    path = cache / f"office_{storeys}x{offices}.ifc"
    if not path.exists():
        from ifc_office import author_office

        t0 = time.perf_counter()
        model, _ = author_office(storeys=storeys, offices_per_side=offices)
        model.write(str(path))
        print(f"authored {path} in {time.perf_counter() - t0:.1f} s", file=sys.stderr)
    return path


def ms(seconds: float) -> str:
    return f"{seconds * 1e3:,.0f} ms" if seconds >= 0.1 else f"{seconds * 1e3:.1f} ms"


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--models", default="3x6,10x50")
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--quick", action="store_true", help="geometry on all cores only")
    parser.add_argument("--cache", type=pathlib.Path, default=pathlib.Path(tempfile.gettempdir()) / "kovalith_bench_ifc")
    parser.add_argument("--reference", metavar="REV", help="time the outputs of this git revision's modules too")
    parser.add_argument("--exports-only", metavar="OUT", type=pathlib.Path, help=argparse.SUPPRESS)
    args = parser.parse_args()
    args.cache.mkdir(parents=True, exist_ok=True)
    if args.exports_only:
        return exports_only(args)

    import ifcopenshell

    from kovalith import cypher, ifc, interop
    from kovalith.building import compile_building

    cores = multiprocessing.cpu_count()
    rows = []
    export_rows = []
    geometry = {}
    for spec in args.models.split(","):
        storeys, offices = map(int, spec.split("x"))
        path = model_path(args.cache, storeys, offices)
        t_open, c_open, model = best_cpu(lambda: ifcopenshell.open(str(path)), args.repeat)
        t_geo, c_geo, rooms = best_cpu(lambda: ifc.load(model, threads=cores), args.repeat)
        geometry[spec] = t_geo
        if args.quick:
            t_geo1 = t_occ = float("nan")
        else:
            t_geo1, _ = best(lambda: ifc.load(model, threads=1), args.repeat)
            t_occ, _ = best(lambda: ifc.load(model, threads=cores, geometry_library="opencascade"), args.repeat)
        t_build, c_build, graph = best_cpu(lambda: ifc.compile_rooms(rooms), args.repeat)
        graph_cost = (t_open + t_geo + t_build, c_open + c_geo + c_build)
        t_plain, _ = best(lambda: compile_building(rooms.registry(), **ifc.DEFAULT_SETTINGS), args.repeat)
        out = args.cache / "out"
        out.mkdir(exist_ok=True)
        t_export, _ = best(lambda: (cypher.write_cypher(graph, out / "g.cypher"), interop.write_json(graph, out / "g.json")),
                           args.repeat)
        export_rows.append((spec, len(rooms.rooms), graph_cost, exports(graph, rooms, out, args.repeat, source=path)))
        if args.reference:
            reference = reference_exports(args, path, out)
            export_rows[-1][3].update((k, "") for k in reference if k not in export_rows[-1][3])
            export_rows.append((f"{spec} ({args.reference})", len(rooms.rooms), graph_cost, reference))
        products = len(rooms.rooms) + len(rooms.openings) + len(rooms.wires) + len(rooms.elements)
        rows.append((spec, len(rooms.rooms), products, len(graph.edges), os.path.getsize(path) / 1e6,
                     t_open, t_geo, t_geo1, t_occ, t_build, t_plain, t_export,
                     t_open + t_geo + t_build + t_export))

    load = ", ".join(f"{x:.2f}" for x in os.getloadavg())
    print(f"\nfile -> graph, best of {args.repeat}, {cores} cores (multiprocessing.cpu_count()), "
          f"load average {load} (1, 5, 15 min) at the end\n")
    head = ["model", "spaces", "products read", "edges", "file MB", "open", f"geometry ({cores} cores)",
            "geometry (1 core)", f"geometry, Open CASCADE ({cores} cores)", "build",
            "compiler without elements", "export", "total"]
    print("| " + " | ".join(head) + " |")
    print("|" + "---|" * len(head))
    for spec, spaces, products, edges, mb, *times in rows:
        print(f"| {spec} | {spaces:,} | {products:,} | {edges:,} | {mb:.1f} | " + " | ".join(ms(t) for t in times) + " |")
    names = list(export_rows[0][3]) if export_rows else []
    print(f"\neach output of the graph, best of {args.repeat}, against IFC -> graph (open + geometry + build): "
          "wall time (share of IFC -> graph's wall time) / share of its CPU time (all threads)\n")
    print("| model | spaces | IFC -> graph wall / CPU | " + " | ".join(names) + " |")
    print("|" + "---|" * (3 + len(names)))
    for spec, spaces, (t_graph, c_graph), times in export_rows:
        print(f"| {spec} | {spaces:,} | {ms(t_graph)} / {ms(c_graph)} | "
              + " | ".join(f"{ms(t[0])} ({100 * t[0] / t_graph:.1f} %) / {100 * t[1] / c_graph:.1f} %"
                           if isinstance(t, (list, tuple)) else str(t) for t in times.values()) + " |")
    print(f"\nspace boundaries and gbXML, best of {args.repeat}, wall time against the geometry ({cores} cores)\n")
    print("| model | spaces | geometry | space boundaries | gbXML | IFC copy | together | share of geometry |")
    print("|" + "---|" * 8)
    for spec, spaces, _, times in export_rows:
        if spec in geometry and isinstance(times.get("gbXML"), (list, tuple)):
            boundaries, written = times["space boundaries"][0], times["gbXML"][0]
            copy = times["IFC boundaries"][0] if isinstance(times.get("IFC boundaries"), (list, tuple)) else 0.0
            together = boundaries + written + copy
            print(f"| {spec} | {spaces:,} | {ms(geometry[spec])} | {ms(boundaries)} | {ms(written)} | {ms(copy)} | "
                  f"{ms(together)} | {100 * together / geometry[spec]:.0f} % |")
    return 0


OUTPUT_FILES = {"JSON": "g.json", "Cypher file": "g.cypher", "IndoorGML": "g.indoor.json", "BOT": "g.ttl"}


def reference_exports(args, path, out):
    """The export times of revision ``args.reference``'s Python modules with
    this build's extension, from a child process; each output file marked
    "same" or "differs" against the one this build wrote."""
    import kovalith

    ref = pathlib.Path(tempfile.mkdtemp(prefix="kovalith_ref_"))
    package = ref / "kovalith"
    package.mkdir()
    listing = subprocess.run(["git", "-C", str(ROOT), "ls-tree", "--name-only", args.reference, "python/kovalith/"],
                             check=True, capture_output=True, text=True).stdout.split()
    for name in listing:
        blob = subprocess.run(["git", "-C", str(ROOT), "show", f"{args.reference}:{name}"], check=True,
                              capture_output=True).stdout
        (package / pathlib.Path(name).name).write_bytes(blob)
    extension = pathlib.Path(kovalith.__file__)
    (package / extension.name).symlink_to(extension)
    ref_out = out.parent / "out_reference"
    ref_out.mkdir(exist_ok=True)
    env = {**os.environ, "PYTHONPATH": str(ref)}
    child = subprocess.run([sys.executable, __file__, "--exports-only", str(ref_out), "--models", str(path),
                            "--repeat", str(args.repeat)], env=env, check=True, capture_output=True, text=True)
    times = json.loads(child.stdout.splitlines()[-1])
    differ = [name for name, file in OUTPUT_FILES.items()
              if (out / file).read_bytes() != (ref_out / file).read_bytes()]
    times["files"] = (f"{len(OUTPUT_FILES)} of {len(OUTPUT_FILES)} identical" if not differ
                      else "differ: " + ", ".join(differ))
    return times


def exports_only(args):
    """Child of `reference_exports`: one model's export times as JSON on stdout."""
    import ifcopenshell

    from kovalith import ifc

    model = ifcopenshell.open(args.models)
    rooms = ifc.load(model, threads=multiprocessing.cpu_count())
    graph = ifc.compile_rooms(rooms)
    args.exports_only.mkdir(parents=True, exist_ok=True)
    print(json.dumps(exports(graph, rooms, args.exports_only, args.repeat, source=args.models)))
    return 0


def exports(graph, rooms, out, repeat, source=None):
    """Seconds per output, each written to disk where it is a file."""
    from kovalith import bot, cypher, db, ifc, indoorgml, interop

    try:
        from kovalith import energy
    except ImportError:  # a --reference revision from before the energy outputs
        energy = None
    with_regions, regions = indoorgml.compile_rooms(rooms)

    def indoor():
        indoorgml.write_indoorgml(with_regions, out / "g.indoor.json", meshes=rooms.rooms, regions=regions)

    steps = {
        "JSON": lambda: interop.write_json(graph, out / "g.json"),
        "networkx": lambda: interop.to_networkx(graph),
        "Cypher file": lambda: cypher.write_cypher(graph, out / "g.cypher"),
        "Neo4j CSV": lambda: db.write_neo4j_import_csv(graph, out / "csv"),
        "IndoorGML": indoor,
        "BOT": lambda: bot.write_bot(graph, out / "g.ttl"),
    }
    if energy is not None:
        boundaries = energy.space_boundaries(rooms)
        steps["space boundaries"] = lambda: energy.space_boundaries(rooms)
        steps["gbXML"] = lambda: energy.write_gbxml(rooms, boundaries, out / "g.xml")
        try:
            from kovalith.ifc_boundaries import write_space_boundaries
        except ImportError:  # a --reference revision from before the IFC copy
            write_space_boundaries = None
        if write_space_boundaries is not None and source is not None:
            # As the command line has it: rooms loaded from the file, which the writer reads again.
            from_file = dataclasses.replace(rooms, source=str(source))
            steps["IFC boundaries"] = lambda: write_space_boundaries(from_file, boundaries, out / "g.boundaries.ifc")
    times = {}
    for name, step in steps.items():
        step()  # imports and first-use set-up are not the export's cost
        times[name] = best_cpu(step, repeat)[:2]
    # What the contact regions IndoorGML draws add to the compile.
    with_regions = best_cpu(lambda: indoorgml.compile_rooms(rooms), repeat)
    without = best_cpu(lambda: ifc.compile_rooms(rooms), repeat)
    times["regions in the build"] = (with_regions[0] - without[0], with_regions[1] - without[1])
    return times


if __name__ == "__main__":
    sys.exit(main())
