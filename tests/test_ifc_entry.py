"""The IFC entry under hostile files: what reaches IfcOpenShell is decided first.

Paths that are not a readable regular file in an IFC format, text cut short
or broken, placement cycles, bad arguments and an interrupted first import
each give one exception from `kovalith.ifc.load` and one line with exit code 1
from `kovalith graph`, instead of a crash, a hang or a silently wrong graph.
"""

import ctypes
import hashlib
import os
import pathlib
import stat
import subprocess
import sys
import textwrap
import warnings

import pytest

from ifc_models import office_file, require_ifcopenshell, skip_under_asan

ifcopenshell = require_ifcopenshell()

import kovalith.ifc as kifc  # noqa: E402
from kovalith import cli  # noqa: E402

pytestmark = skip_under_asan

END = "END-ISO-10303-21;"


@pytest.fixture(scope="module")
def office(tmp_path_factory):
    path, layout = office_file("metres", tmp_path_factory.mktemp("entry"))
    return path, layout


def _cut(text):
    """The office cut at 40 % of its length: no END-ISO-10303-21;."""
    return text[: int(len(text) * 0.4)]


def _first_point_line(text):
    lines = text.splitlines()
    return next(k for k, line in enumerate(lines) if "IFCCARTESIANPOINT((0.,0.,0.))" in line), lines


def _out_of_range(text):
    k, lines = _first_point_line(text)
    lines[k] = lines[k].replace("((0.,", "((1.E400,", 1)
    return "\n".join(lines) + "\n", k + 1


def _broken_aggregate(text):
    k, lines = _first_point_line(text)
    lines[k] = lines[k].replace("((0.,", "((((0.,", 1)
    return "\n".join(lines) + "\n"


# Each case writes its input into a directory and returns the path; the
# expected exception and the text the one line must hold follow. "{path}" is
# filled in with the path given.
def _write(name, data):
    def make(directory, text):
        path = directory / name
        path.write_bytes(data(text) if callable(data) else data)
        return path
    return make


def _fifo(directory, text):
    path = directory / "pipe.ifc"
    os.mkfifo(path)
    return path


def _nul_gigabytes(directory, text):
    path = directory / "zeros.ifc"
    with open(path, "wb") as f:
        f.truncate(2 << 30)  # sparse: 2 GiB of NUL bytes on no disk
    return path


def _out_of_range_file(directory, text):
    data, line = _out_of_range(text)
    path = directory / "huge.ifc"
    path.write_text(data)
    return path, f"line {line}: 1.E400 is not a valid value"


CASES = {
    "missing": (lambda d, t: d / "missing.ifc", FileNotFoundError, "no such file: {path}"),
    "directory": (lambda d, t: d, ValueError, "{path} is a directory, not an IFC file"),
    "fifo": (_fifo, ValueError, "{path} is a named pipe (FIFO), not an IFC file"),
    "device": (lambda d, t: pathlib.Path(os.devnull), ValueError, "is a character device, not an IFC file"),
    "empty": (_write("empty.ifc", b""), ValueError, "cannot read {path} as IFC: it is empty"),
    "text": (_write("junk.ifc", b"not IFC at all\n"), ValueError, "it starts with b'not IFC at all"),
    "nul bytes": (_nul_gigabytes, ValueError, "it starts with b'\\x00\\x00"),
    "zip name": (_write("model.ifczip", lambda t: t.encode()), ValueError, "its name says a ZIP archive"),
    "cut short": (_write("cut.ifc", lambda t: _cut(t).encode()), ValueError,
                  "cannot read {path} as IFC: it ends without END-ISO-10303-21;"),
    "broken aggregate": (_write("broken.ifc", lambda t: _broken_aggregate(t).encode()), ValueError,
                         "not found on line "),
    "number out of range": (_out_of_range_file, ValueError, "cannot read {path} as IFC: "),
}


def _case(name, directory, text):
    make, error, message = CASES[name]
    made = make(directory, text)
    path, extra = made if isinstance(made, tuple) else (made, "")
    return path, error, message.format(path=path) + extra


@pytest.mark.parametrize("name", list(CASES))
def test_hostile_paths_give_one_error(tmp_path, office, name):
    text = office[0].read_text()
    path, error, message = _case(name, tmp_path, text)
    with pytest.raises(error) as info:
        kifc.load(path)
    assert message in str(info.value) and "\n" not in str(info.value)
    code = cli.main(["graph", str(path), "--quiet"])
    assert code == 1


@pytest.mark.parametrize("name", ["fifo", "nul bytes", "cut short", "number out of range"])
def test_hostile_paths_on_the_command_line(tmp_path, office, name):
    """A separate interpreter: a crash or a hang would fail here, not take the suite down."""
    path, _, message = _case(name, tmp_path, office[0].read_text())
    proc = subprocess.run([sys.executable, "-m", "kovalith", "graph", str(path)], capture_output=True,
                          text=True, timeout=120, env=_child_env())
    assert (proc.returncode, proc.stdout) == (1, "")
    assert proc.stderr.count("\n") == 1 and message in proc.stderr, proc.stderr


def _child_env():
    return dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))


def _drop_file_permission_override():
    # Root reads a file whatever its mode: without these two capabilities
    # (dropped from the bounding set, so the interpreter exec'd next never has
    # them) it is held to the mode like anyone else.
    libc = ctypes.CDLL(None, use_errno=True)
    pr_capbset_drop, cap_dac_override, cap_dac_read_search = 24, 1, 2
    for cap in (cap_dac_override, cap_dac_read_search):
        if libc.prctl(pr_capbset_drop, cap, 0, 0, 0) != 0:
            raise OSError(ctypes.get_errno(), "prctl(PR_CAPBSET_DROP)")


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="Linux capabilities")
def test_a_file_without_read_permission(tmp_path, office):
    path = tmp_path / "locked.ifc"
    path.write_bytes(office[0].read_bytes())
    path.chmod(0)
    child = textwrap.dedent(f"""
        import sys
        import kovalith.ifc
        try:
            kovalith.ifc.load({str(path)!r})
        except PermissionError as e:
            print("PermissionError", e.filename)
        sys.exit(__import__("kovalith.cli").cli.main(["graph", {str(path)!r}]))
    """)
    try:
        proc = subprocess.run([sys.executable, "-c", child], capture_output=True, text=True, timeout=120,
                              env=_child_env(), preexec_fn=_drop_file_permission_override if os.geteuid() == 0
                              else None)
    except subprocess.SubprocessError as exc:
        if isinstance(exc.__cause__, OSError) or "preexec" in str(exc):
            pytest.skip(f"cannot drop the permission override here: {exc}")
        raise
    assert proc.stdout == f"PermissionError {path}\n"
    assert (proc.returncode, proc.stderr) == (1, f"kovalith: {path}: Permission denied\n")


def test_lenient_reads_what_is_there_with_one_warning(tmp_path, office, capsys):
    path = tmp_path / "cut.ifc"
    path.write_text(_cut(office[0].read_text()))
    with pytest.warns(kifc.IfcReadWarning, match="ends without END-ISO-10303-21;") as caught:
        rooms = kifc.load(path, lenient=True)
    assert len(caught) == 1
    assert 0 < len(rooms.rooms) <= len(office[1].spaces)
    assert cli.main(["graph", str(path), "--lenient", "--quiet"]) == 0
    out, err = capsys.readouterr()
    assert out == "" and err.startswith(f"kovalith: warning: {path} was read in part:") and err.count("\n") == 1
    assert cli.main(["graph", str(path), "--quiet"]) == 1
    assert "--lenient" in capsys.readouterr().err


def test_a_complete_file_reads_without_warning(office):
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert len(kifc.load(office[0]).rooms) == len(office[1].spaces)


def test_placement_cycles_skip_their_products(tmp_path):
    """A placement relative to itself, and one relative to a loop of two: the
    products placed there are skipped and counted; every other room loads."""
    from ifc_office import author_office

    model, layout = author_office(storeys=1, offices_per_side=2)
    spaces = model.by_type("IfcSpace")
    direct = spaces[0].ObjectPlacement
    direct.PlacementRelTo = direct
    relative = spaces[1].ObjectPlacement.RelativePlacement
    a = model.createIfcLocalPlacement(None, relative)
    b = model.createIfcLocalPlacement(a, relative)
    a.PlacementRelTo = b
    spaces[1].ObjectPlacement.PlacementRelTo = a
    path = tmp_path / "cycles.ifc"
    model.write(str(path))
    cyclic = {spaces[0].GlobalId, spaces[1].GlobalId}
    for source in (path, model):
        rooms = kifc.load(source)
        assert {p.global_id for p in rooms.room_products} == {s.global_id for s in layout.spaces} - cyclic
        assert sorted((p.global_id, why) for p, why in rooms.skipped) == sorted((g, "placement cycle")
                                                                                for g in cyclic)


@pytest.mark.parametrize("threads, error, message", [
    (1.5, TypeError, "threads must be an int, not float"),
    ("2", TypeError, "threads must be an int, not str"),
    (True, TypeError, "threads must be an int, not bool"),
    (0, ValueError, "threads must be at least 1, not 0"),
])
def test_thread_count_is_checked(office, threads, error, message):
    with pytest.raises(error, match=message):
        kifc.load(office[0], threads=threads)


INTERRUPTED_IMPORT = """
import signal, sys
import kovalith.ifc

class Interrupting:
    # Ctrl-C arriving while IfcOpenShell's submodules load, the first time
    # only: raised, or (as IfcOpenShell's native wrapper does when it lands
    # during its initialisation) caught and cleared where it lands.
    fired = False
    def find_spec(self, name, path=None, target=None):
        if name == sys.argv[2] and not Interrupting.fired:
            Interrupting.fired = True
            if sys.argv[3] == "raised":
                raise KeyboardInterrupt
            try:
                signal.raise_signal(signal.SIGINT)
            except KeyboardInterrupt:
                pass
        return None

sys.meta_path.insert(0, Interrupting())
try:
    kovalith.ifc.load(sys.argv[1])
    print("loaded")
except KeyboardInterrupt:
    print("interrupted")
print(len(kovalith.ifc.load(sys.argv[1]).rooms))
"""


@pytest.mark.parametrize("how", ["raised", "cleared"])
@pytest.mark.parametrize("module", ["ifcopenshell.util", "ifcopenshell.util.unit", "ifcopenshell.geom"])
def test_ctrl_c_during_the_first_import(office, module, how):
    proc = subprocess.run([sys.executable, "-c", INTERRUPTED_IMPORT, str(office[0]), module, how],
                          capture_output=True, text=True, timeout=120, env=_child_env())
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.split() == ["interrupted", str(len(office[1].spaces))]


class TestOutputPaths:
    """An output that names the model, or another output, is refused before any work."""

    @pytest.mark.parametrize("outputs, message", [
        ([("--json", "{model}")], "--json {model} is the model itself"),
        ([("--cypher", "./{rel}")], "--cypher ./{rel} is the model itself"),
        ([("--png", "{link}")], "--png {link} is the model itself"),
        ([("--db", "kuzu://{model}")], "--db {model} is the model itself"),
        ([("--json", "{tmp}/g.out"), ("--cypher", "{tmp}/g.out")], "--json {tmp}/g.out is also given to --cypher"),
        ([("--json", "{tmp}/g.out"), ("--png", "{tmp}/sub/../g.out")], "--png {tmp}/sub/../g.out is also given to --json"),
    ])
    def test_refused(self, tmp_path, office, capsys, monkeypatch, outputs, message):
        model = tmp_path / "m.ifc"
        model.write_bytes(office[0].read_bytes())
        (tmp_path / "sub").mkdir()
        (tmp_path / "link.ifc").symlink_to(model)
        monkeypatch.chdir(tmp_path.parent)
        fill = {"model": model, "tmp": tmp_path, "link": tmp_path / "link.ifc",
                "rel": f"{tmp_path.name}/m.ifc"}
        digest = hashlib.sha256(model.read_bytes()).hexdigest()
        argv = ["graph", str(model)] + [a.format(**fill) for option in outputs for a in option]
        assert cli.main(argv) == 1
        out, err = capsys.readouterr()
        assert out == "" and err == f"kovalith: {message.format(**fill)}; give each output its own path\n"
        assert hashlib.sha256(model.read_bytes()).hexdigest() == digest
        assert sorted(p.name for p in tmp_path.iterdir()) == ["link.ifc", "m.ifc", "sub"]
        assert stat.S_ISREG(model.stat().st_mode)


TIGHT_LOAD = """
import os, resource, sys
import kovalith.ifc as kifc
import ifcopenshell
model = ifcopenshell.open(sys.argv[1])
expected = len(kifc.load(model, threads=1).rooms)
soft, hard = resource.getrlimit(resource.RLIMIT_AS)
size = int(next(l for l in open("/proc/self/status") if l.startswith("VmSize")).split()[1]) * 1024
resource.setrlimit(resource.RLIMIT_AS, (size + int(sys.argv[2]), hard))
try:
    limited = len(kifc.load(model, threads=2).rooms)
except MemoryError:
    limited = None
resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
print(limited, expected, len(kifc.load(model, threads=2).rooms))
"""


@pytest.mark.parametrize("extra_kib", [0, 8 * 1024 + 8, 8 * 1024 + 100, 16 * 1024, 64 * 1024])
def test_geometry_threads_under_an_address_space_limit(office, extra_kib):
    """IfcOpenShell's iterator aborted ("cannot allocate memory for
    thread-local data") or waited forever for a worker that could not set
    itself up; the threads are now fitted to the room left."""
    proc = subprocess.run([sys.executable, "-c", TIGHT_LOAD, str(office[0]), str(extra_kib * 1024)],
                          capture_output=True, text=True, timeout=120, env=_child_env())
    assert proc.returncode == 0, proc.stderr
    limited, expected, after = proc.stdout.split()
    assert limited in ("None", expected) and after == expected
