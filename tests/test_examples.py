"""The examples run end to end, so they never rot."""

import importlib.util
import os
import pathlib
import subprocess
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent


def run_example(name, *args, cwd=None):
    env = dict(os.environ)
    # Under the sanitized suite the preload must reach the child interpreter
    # as well; everything else is inherited unchanged, except that leak
    # checking stays off there: the examples load numpy, matplotlib and
    # ifcopenshell, whose own start-up allocations it would report. Memory
    # errors are still caught, and the suite's own process checks leaks.
    if "ASAN_OPTIONS" in env:
        env["ASAN_OPTIONS"] += ":detect_leaks=0"
    result = subprocess.run(
        [sys.executable, str(ROOT / "examples" / name), *map(str, args)],
        capture_output=True, text=True, timeout=300, env=env, cwd=cwd,
    )
    assert result.returncode == 0, result.stderr
    return result.stdout


def test_clash():
    out = run_example("clash.py")
    assert "after the join: 3 disjoint cells" in out
    assert "plan area conserved: 47.00 m2 = 51.00 - 4.00" in out


def test_demo_writes_report_cypher_and_picture(tmp_path):
    out = run_example("demo.py", tmp_path / "out")
    assert "rooms:              39 on 3 storeys" in out
    assert "walking route (doors, stair): 0.S1 -> 0.C -> 1.C -> 2.C -> 2.N6" in out
    from kovalith import cypher

    statements = cypher.read_statements(tmp_path / "out" / "building.cypher")
    # Rooms, contacts, and each walkable contact both ways.
    assert len(statements) == 39 + int(out.split("wall contacts:")[1].split()[0]) + int(
        out.split("slab contacts:")[1].split()[0]
    ) + 2 * int(out.split("walkable contacts:")[1].split()[0])
    assert statements[0].startswith("CREATE (:Room {index: 0, centroid: [")
    png = (tmp_path / "out" / "building.png").read_bytes()
    assert png.startswith(b"\x89PNG") and len(png) > 20_000
    html = tmp_path / "out" / "building.html"
    if importlib.util.find_spec("plotly") is None:  # the view extra is not installed
        assert "no building.html" in out and not html.exists()
    else:
        assert html.read_text(encoding="utf-8").startswith("<!DOCTYPE html>") and html.stat().st_size > 1_000_000


def test_ifc_roundtrip(tmp_path):
    out = run_example("ifc_roundtrip.py", tmp_path / "room.ifc")
    assert "vertices identical: True, faces identical: True" in out


def test_ifc_office_author_writes_a_readable_model(tmp_path):
    out = run_example("ifc_office.py", tmp_path / "office.ifc", "--storeys", "2", "--offices", "2",
                      "--unit", "mm", "--schema", "IFC2X3", "--offset", "3000", "4000")
    assert out.strip() == (f"wrote {tmp_path / 'office.ifc'}: 10 spaces on 2 storeys, 8 doors, 1 stair openings, "
                           "mm, IFC2X3, 5.0 km from the origin")
    assert (tmp_path / "office.ifc").read_text().startswith("ISO-10303-21;")
