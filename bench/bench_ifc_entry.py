"""Hostile IFC input at the toolkit's entry, on two builds side by side.

    python3 bench/bench_ifc_entry.py --build before=/tmp/old --build after=build/dev
                                     [--only paths,memory,import] [--tries 20]

A build is a directory with the kovalith package in it (what PYTHONPATH
would name). Every row runs in a fresh child interpreter with that build
first on its path, and reports its exit code (or the signal that killed it,
or "hang" when it had to be killed), its wall time, its peak resident memory
(the child's own, from wait4) and the last line it wrote to stderr.

- paths: `kovalith graph` on a file it may not read (as root with the
  permission override dropped), a FIFO, /dev/zero, a 2 GiB file of NUL
  bytes (sparse), the office model cut at 40 %, with a broken aggregate, with
  a coordinate of 1.E400, with two spaces placed in placement cycles, and
  with ``--json`` naming the model (whether the model survived); and
  ``ifc.load(threads=1.5)``.
- memory: `compile_building` and `ifc.load(threads=2)` after RLIMIT_AS was set
  a little above what the process has mapped (each offset a child of its own).
- import: a real SIGINT at a random moment of the first `ifc.load` (while
  IfcOpenShell is being imported), then a second `ifc.load`: how many of
  `--tries` children were left with a broken `ifc.load`.
"""

import argparse
import ctypes
import hashlib
import json
import os
import random
import shutil
import signal
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
TIMEOUT = 90.0


def run(build, argv, *, timeout=TIMEOUT, preexec=None, cwd=None):
    """(outcome, seconds, peak MiB, last stderr line) of a child interpreter."""
    env = dict(os.environ, PYTHONPATH=os.path.abspath(build))
    start = time.perf_counter()
    err = tempfile.TemporaryFile()
    proc = subprocess.Popen([sys.executable, *argv], stdout=subprocess.DEVNULL, stderr=err, env=env,
                            preexec_fn=preexec, cwd=cwd)
    deadline = start + timeout
    status = None
    while status is None:
        pid, code, usage = os.wait4(proc.pid, os.WNOHANG)
        if pid:
            status = code
            break
        if time.perf_counter() > deadline:
            proc.kill()
            _, code, usage = os.wait4(proc.pid, 0)
            status = "hang"
            break
        time.sleep(0.01)
    seconds = time.perf_counter() - start
    proc.returncode = 0  # reaped above
    if status == "hang":
        outcome = f"hang (killed after {timeout:.0f} s)"
    elif os.WIFSIGNALED(status):
        outcome = f"killed by {signal.Signals(os.WTERMSIG(status)).name}"
    else:
        outcome = f"exit {os.WEXITSTATUS(status)}"
    err.seek(0)
    lines = err.read().decode(errors="replace").strip().splitlines()
    return outcome, seconds, usage.ru_maxrss / 1024, lines[-1][:160] if lines else ""


def drop_permission_override():
    libc = ctypes.CDLL(None, use_errno=True)
    for cap in (1, 2):  # CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH
        libc.prctl(24, cap, 0, 0, 0)  # PR_CAPBSET_DROP


def author(directory):
    sys.path.insert(0, os.path.join(ROOT, "examples"))
    from ifc_office import author_office

    model, _ = author_office(storeys=3, offices_per_side=2)
    office = os.path.join(directory, "office.ifc")
    model.write(office)
    text = open(office).read()
    files = {"office": office}

    def write(name, data):
        path = os.path.join(directory, name)
        with open(path, "w") as f:
            f.write(data)
        files[name] = path

    write("cut40.ifc", text[: int(len(text) * 0.4)])
    lines = text.splitlines()
    k = next(i for i, line in enumerate(lines) if "IFCCARTESIANPOINT((0.,0.,0.))" in line)
    for name, new in (("broken.ifc", "((((0.,"), ("e400.ifc", "((1.E400,")):
        changed = lines[:]
        changed[k] = changed[k].replace("((0.,", new, 1)
        write(name, "\n".join(changed) + "\n")
    spaces = model.by_type("IfcSpace")
    spaces[0].ObjectPlacement.PlacementRelTo = spaces[0].ObjectPlacement
    relative = spaces[1].ObjectPlacement.RelativePlacement
    a = model.createIfcLocalPlacement(None, relative)
    b = model.createIfcLocalPlacement(a, relative)
    a.PlacementRelTo = b
    spaces[1].ObjectPlacement.PlacementRelTo = a
    files["cycle.ifc"] = os.path.join(directory, "cycle.ifc")
    model.write(files["cycle.ifc"])
    files["locked.ifc"] = os.path.join(directory, "locked.ifc")
    shutil.copy(office, files["locked.ifc"])
    os.chmod(files["locked.ifc"], 0)
    files["fifo.ifc"] = os.path.join(directory, "fifo.ifc")
    os.mkfifo(files["fifo.ifc"])
    files["zeros.ifc"] = os.path.join(directory, "zeros.ifc")
    with open(files["zeros.ifc"], "wb") as f:
        f.truncate(2 << 30)
    return files


def paths_rows(build, files, directory):
    graph = ["-m", "kovalith", "graph"]
    yield "unreadable (mode 000)", run(build, graph + [files["locked.ifc"]], preexec=drop_permission_override)
    yield "FIFO", run(build, graph + [files["fifo.ifc"]])
    yield "/dev/zero", run(build, graph + ["/dev/zero"])
    yield "2 GiB of NUL bytes", run(build, graph + [files["zeros.ifc"]], timeout=180)
    yield "cut at 40 %", run(build, graph + [files["cut40.ifc"]])
    yield "broken aggregate", run(build, graph + [files["broken.ifc"]])
    yield "1.E400 in a point", run(build, graph + [files["e400.ifc"]])
    yield "placement cycles (2 spaces)", run(build, graph + [files["cycle.ifc"]])
    target = os.path.join(directory, "target.ifc")
    shutil.copy(files["office"], target)
    digest = hashlib.sha256(open(target, "rb").read()).hexdigest()
    outcome = run(build, graph + [target, "--json", target, "-q"])
    kept = hashlib.sha256(open(target, "rb").read()).hexdigest() == digest
    yield "--json naming the model", outcome[:3] + (("model kept" if kept else "MODEL OVERWRITTEN") + "; "
                                                      + outcome[3],)
    code = f"import kovalith.ifc as k; k.load({files['office']!r}, threads=1.5)"
    yield "ifc.load(threads=1.5)", run(build, ["-c", code])


MEMORY_CHILD = r"""
import os, resource, sys
what, extra = sys.argv[1], int(sys.argv[2]) << 10
sys.path.insert(0, sys.argv[3])
if what == "compile":
    from graph_helpers import building
    from kovalith.building import compile_building
    reg = building.random_building(3, rooms_per_side=6, floors=2).registry()
    call = lambda: compile_building(reg)
else:
    import ifcopenshell, ifcopenshell.geom, ifcopenshell.util.unit
    import kovalith.ifc as kifc
    model = ifcopenshell.open(sys.argv[4])
    kifc.load(model, threads=1)
    call = lambda: kifc.load(model, threads=2)
def mapped():
    with open("/proc/self/status") as f:
        return next(int(l.split()[1]) * 1024 for l in f if l.startswith("VmSize:"))
soft, hard = resource.getrlimit(resource.RLIMIT_AS)
resource.setrlimit(resource.RLIMIT_AS, (mapped() + extra, hard))
try:
    call(); outcome = "completed"
except BaseException as e:
    outcome = type(e).__name__
resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
call()
sys.stderr.write(outcome + ", usable after\n")
"""


def memory_rows(build, files):
    tests = os.path.join(ROOT, "tests")
    for what, offsets in (("compile", (8192, 8196, 8200, 8204, 8208, 8212, 8232)),
                          ("ifc", (0, 8192, 8200, 8300, 16384, 65536))):
        tally = {}
        for extra in offsets:
            outcome, _, _, last = run(build, ["-c", MEMORY_CHILD, what, str(extra), tests, files["office"]],
                                      timeout=60)
            key = outcome if outcome != "exit 0" else last
            tally.setdefault(key, []).append(extra)
        name = "compile_building" if what == "compile" else "ifc.load(threads=2)"
        text = "; ".join(f"{k}: {len(v)} (+{', +'.join(map(str, v))} KiB)" for k, v in tally.items())
        yield f"{name} under RLIMIT_AS", ("", 0.0, 0.0, text)


IMPORT_CHILD = r"""
import os, subprocess, sys
import kovalith.ifc as kifc
delay = float(sys.argv[2])
killer = subprocess.Popen(["sh", "-c", f"sleep {delay}; kill -INT {os.getpid()}"])
try:
    kifc.load(sys.argv[1], threads=1)
    first = "loaded"
except KeyboardInterrupt:
    first = "interrupted"
killer.wait()
try:
    kifc.load(sys.argv[1], threads=1)
    second = "works"
except Exception as e:
    second = f"broken ({type(e).__name__}: {e})"
sys.stderr.write(f"{first}; {second}\n")
"""


def import_rows(build, files, tries):
    rng = random.Random(7)
    counts = {}
    for _ in range(tries):
        delay = rng.uniform(0.05, 0.6)
        _, _, _, last = run(build, ["-c", IMPORT_CHILD, files["office"], f"{delay:.3f}"], timeout=60)
        key = last.split(" (")[0] if last else "no report"
        counts[key] = counts.get(key, 0) + 1
    yield f"Ctrl-C in the first ifc.load ({tries} tries)", ("", 0.0, 0.0,
                                                             "; ".join(f"{k}: {n}" for k, n in counts.items()))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", action="append", required=True, help="name=path")
    parser.add_argument("--only", default="paths,memory,import")
    parser.add_argument("--tries", type=int, default=20)
    args = parser.parse_args()
    only = args.only.split(",")
    directory = tempfile.mkdtemp(prefix="kovalith-entry-")
    try:
        files = author(directory)
        for name, build in (b.split("=", 1) for b in args.build):
            groups = [paths_rows(build, files, directory) if "paths" in only else (),
                      memory_rows(build, files) if "memory" in only else (),
                      import_rows(build, files, args.tries) if "import" in only else ()]
            for rows in groups:
                for what, (outcome, seconds, peak, last) in rows:
                    print(json.dumps({"build": name, "input": what, "outcome": outcome,
                                      "seconds": round(seconds, 3), "peak_mib": round(peak, 1), "stderr": last},
                                     ensure_ascii=False), flush=True)
    finally:
        shutil.rmtree(directory, ignore_errors=True)  # root removes the mode-000 file as any other


if __name__ == "__main__":
    main()
