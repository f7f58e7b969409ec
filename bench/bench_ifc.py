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

``--reference REV`` adds, in the same run, the same outputs of the same graph
written by the writer modules of git revision REV (values, interop, cypher,
db, indoorgml, bot, and energy, gbxml and ifc_boundaries where REV has them,
read from git and imported as modules of their own, over this build's native
module and loader); each step runs alternately with this build's and REV's
writers, so both see the same load, and the tables show both and which files
differ byte for byte (the IFC copy always differs: its new GlobalIds are
random).
"""

from __future__ import annotations

import argparse
import dataclasses
import multiprocessing
import os
import pathlib
import shutil
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
    args = parser.parse_args()
    args.cache.mkdir(parents=True, exist_ok=True)
    reference = reference_writers(args.reference) if args.reference else None

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
        geometry[spec] = (t_geo, c_geo)
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
        times, reference_times = exports(graph, rooms, out, args.repeat, source=path, reference=reference)
        export_rows.append((spec, len(rooms.rooms), graph_cost, times))
        if reference is not None:
            differ = [name for name, file in OUTPUT_FILES.items()
                      if (out / "reference" / file).exists()
                      and (out / file).read_bytes() != (out / "reference" / file).read_bytes()]
            times["files"] = ""
            reference_times["files"] = ("identical" if not differ else "differ: " + ", ".join(differ))
            export_rows.append((f"{spec} ({args.reference})", len(rooms.rooms), graph_cost,
                                {name: reference_times.get(name, "") for name in times}))
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
    print(f"\nspace boundaries and gbXML, best of {args.repeat}, wall time against the geometry ({cores} cores), "
          "and CPU time (all threads) against the geometry's, which depends less on what else the machine runs\n")
    print("| model | spaces | geometry wall / CPU | space boundaries | gbXML | IFC copy | together wall / CPU "
          "| share of geometry: wall / CPU |")
    print("|" + "---|" * 8)
    for spec, spaces, _, times in export_rows:
        base = spec.split(" (")[0]
        if base in geometry and isinstance(times.get("gbXML"), (list, tuple)):
            wall, cpu = geometry[base]
            steps = [times[name] if isinstance(times.get(name), (list, tuple)) else (0.0, 0.0)
                     for name in ("space boundaries", "gbXML", "IFC boundaries")]
            together = (sum(t[0] for t in steps), sum(t[1] for t in steps))
            print(f"| {spec} | {spaces:,} | {ms(wall)} / {ms(cpu)} | " + " | ".join(ms(t[0]) for t in steps)
                  + f" | {ms(together[0])} / {ms(together[1])} | {100 * together[0] / wall:.0f} % / "
                  f"{100 * together[1] / cpu:.0f} % |")
    return 0


OUTPUT_FILES = {"JSON": "g.json", "Cypher file": "g.cypher", "IndoorGML": "g.indoor.json", "BOT": "g.ttl",
                "gbXML": "g.xml"}


# The modules that write a graph's outputs, in the order they import each other.
WRITERS = ("values", "interop", "cypher", "db", "indoorgml", "bot", "energy", "gbxml", "ifc_boundaries")
# Those a revision may not have yet.
OPTIONAL_WRITERS = ("energy", "gbxml", "ifc_boundaries")


def reference_writers(rev):
    """REV's writer modules, imported as ``kovalith_reference_<name>``: their
    imports of one another point at each other, the rest at this build."""
    import importlib.util
    import re
    import types

    directory = pathlib.Path(tempfile.mkdtemp(prefix="kovalith_reference_"))
    modules = {}
    for name in WRITERS:
        shown = subprocess.run(["git", "-C", str(ROOT), "show", f"{rev}:python/kovalith/{name}.py"],
                               check=name not in OPTIONAL_WRITERS, capture_output=True, text=True)
        if shown.returncode != 0:
            modules[name] = None
            continue
        text = shown.stdout
        for other in WRITERS:
            text = text.replace(f"from kovalith.{other} import", f"from kovalith_reference_{other} import")

        def split(match):
            indent = match.group(0).split("from")[0]
            names = [n.strip() for n in match.group(1).split(",")]
            kept = [n for n in names if n not in WRITERS]
            lines = [f"{indent}from kovalith import " + ", ".join(kept)] if kept else []
            return "\n".join(lines + [f"{indent}import kovalith_reference_{n} as {n}" for n in names if n in WRITERS])

        text = re.sub(r"^[ \t]*from kovalith import ([\w, ]+)$", split, text, flags=re.M)
        file = directory / f"kovalith_reference_{name}.py"
        file.write_text(text, encoding="utf-8")
        spec = importlib.util.spec_from_file_location(f"kovalith_reference_{name}", file)
        module = importlib.util.module_from_spec(spec)
        sys.modules[spec.name] = module
        spec.loader.exec_module(module)
        modules[name] = module
    shutil.rmtree(directory)
    return types.SimpleNamespace(**modules)


def export_steps(graph, rooms, out, w, source=None):
    """Each output of the graph, written with the writer modules `w` into `out`;
    the space boundaries, gbXML and the IFC copy where `w` has them."""
    with_regions, regions = w.indoorgml.compile_rooms(rooms)
    out.mkdir(exist_ok=True)

    def indoor():
        w.indoorgml.write_indoorgml(with_regions, out / "g.indoor.json", meshes=rooms.rooms, regions=regions)

    return {
        "JSON": lambda: w.interop.write_json(graph, out / "g.json"),
        "networkx": lambda: w.interop.to_networkx(graph),
        "Cypher file": lambda: w.cypher.write_cypher(graph, out / "g.cypher"),
        "Neo4j CSV": lambda: w.db.write_neo4j_import_csv(graph, out / "csv"),
        "IndoorGML": indoor,
        "BOT": lambda: w.bot.write_bot(graph, out / "g.ttl"),
        # What the contact regions IndoorGML draws add to the compile.
        "regions in the build": lambda: w.indoorgml.compile_rooms(rooms),
    } | energy_steps(rooms, out, w, source)


def energy_steps(rooms, out, w, source):
    energy = getattr(w, "energy", None)
    if energy is None:
        return {}
    boundaries = energy.space_boundaries(rooms)
    steps = {"space boundaries": lambda: energy.space_boundaries(rooms),
             "gbXML": lambda: energy.write_gbxml(rooms, boundaries, out / "g.xml")}
    copy = getattr(w, "ifc_boundaries", None)
    if copy is not None and source is not None:
        # As the command line has it: rooms loaded from the file, which the writer reads again.
        from_file = dataclasses.replace(rooms, source=str(source))
        steps["IFC boundaries"] = lambda: copy.write_space_boundaries(from_file, boundaries, out / "g.boundaries.ifc")
    return steps


def exports(graph, rooms, out, repeat, source=None, reference=None):
    """(wall, CPU) seconds per output, each written to disk where it is a
    file, with this build's writers and, if given, the `reference` writers
    (into out / "reference"), their runs alternating."""
    import types

    from kovalith import bot, cypher, db, ifc, indoorgml, interop, values

    try:
        from kovalith import energy, gbxml, ifc_boundaries
    except ImportError:  # a build without the energy outputs
        energy = gbxml = ifc_boundaries = None
    ours = export_steps(graph, rooms, out, types.SimpleNamespace(
        values=values, interop=interop, cypher=cypher, db=db, indoorgml=indoorgml, bot=bot, energy=energy,
        gbxml=gbxml, ifc_boundaries=ifc_boundaries), source=source)
    sides = [ours] + ([export_steps(graph, rooms, out / "reference", reference, source=source)] if reference else [])
    sides_times = [{} for _ in sides]
    for name in ours:
        runs = [steps[name] for steps in sides if name in steps]
        for step in runs:
            step()  # imports and first-use set-up are not the export's cost
        walls, cpus = [[] for _ in runs], [[] for _ in runs]
        for _ in range(repeat):
            for k, step in enumerate(runs):
                wall, cpu, _ = best_cpu(step, 1)
                walls[k].append(wall)
                cpus[k].append(cpu)
        for k in range(len(runs)):
            sides_times[k][name] = (min(walls[k]), min(cpus[k]))
    plain = best_cpu(lambda: ifc.compile_rooms(rooms), repeat)
    for times in sides_times:
        wall, cpu = times["regions in the build"]
        times["regions in the build"] = (wall - plain[0], cpu - plain[1])
    return sides_times[0], (sides_times[1] if reference else None)


if __name__ == "__main__":
    sys.exit(main())
