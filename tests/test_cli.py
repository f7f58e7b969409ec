"""The kovalith command: summary, output files, exit codes and one-line errors."""

import json
import os
import subprocess
import sys

import pytest

from ifc_models import office_file, skip_under_asan, require_ifcopenshell

require_ifcopenshell()

from kovalith import Vector3D, cli  # noqa: E402

pytestmark = skip_under_asan


@pytest.fixture(scope="module")
def office(tmp_path_factory):
    return office_file("metres", tmp_path_factory.mktemp("cli"))


def run(capsys, *argv):
    code = cli.main(list(map(str, argv)))
    out, err = capsys.readouterr()
    return code, out, err


def no_spaces_file(tmp_path, office):
    import ifcopenshell

    model = ifcopenshell.open(str(office[0]))
    for space in model.by_type("IfcSpace"):
        model.remove(space)
    path = tmp_path / "walls_only.ifc"
    model.write(str(path))
    return path


class TestFailures:
    @pytest.mark.parametrize("argv, code, message", [
        (["graph", "{tmp}/missing.ifc"], 1, "kovalith: no such file: {tmp}/missing.ifc"),
        (["graph", "{tmp}/junk.ifc"], 1, "kovalith: cannot read {tmp}/junk.ifc as IFC"),
        (["graph", "{tmp}"], 1, "kovalith: {tmp} is a directory"),
        (["graph", "{tmp}/walls_only.ifc"], 1, "kovalith: {tmp}/walls_only.ifc has no IfcSpace"),
        (["graph", "{office}", "--route", "0.S1", "nowhere"], 1, "kovalith: no room named 'nowhere'"),
        (["graph", "{office}", "--route", "corridor", "0.S1"], 1,
         "kovalith: 3 rooms match 'corridor': 0.C 'Corridor' on Level 0, GlobalId "),
        (["graph", "{office}", "--db", "ftp://host/x"], 1, "kovalith: ftp://host/x: unknown database URL"),
        (["graph", "{office}", "--json", "{tmp}/no/such/dir/g.json"], 1, "kovalith: {tmp}/no/such/dir/g.json: No such"),
        (["graph", "{office}", "--distance", "-1"], 1, "kovalith: "),
        ([], 2, "usage: kovalith"),
        (["graph"], 2, "the following arguments are required: MODEL.ifc"),
        (["graph", "{office}", "--merge", "pairs"], 2, "invalid choice: 'pairs'"),
        (["frobnicate"], 2, "invalid choice: 'frobnicate'"),
    ])
    def test_exit_code_and_one_line(self, capsys, tmp_path, office, argv, code, message):
        (tmp_path / "junk.ifc").write_text("not IFC at all\n")
        no_spaces_file(tmp_path, office)
        fill = {"tmp": tmp_path, "office": office[0]}
        got, out, err = run(capsys, *(a.format(**fill) for a in argv))
        assert got == code
        assert out == "" and "Traceback" not in err
        assert message.format(**fill) in err
        if code == 1:
            assert err.count("\n") == 1


def test_version_comes_from_the_package_metadata(capsys):
    import pathlib
    import tomllib
    from importlib import metadata

    import kovalith

    code, out, err = run(capsys, "--version")
    assert code == 0 and err == ""
    try:
        dist = metadata.distribution("kovalith")
    except metadata.PackageNotFoundError:
        assert out == "kovalith (not installed: no package metadata)\n"
        return
    assert out == f"kovalith {dist.version}\n"
    if pathlib.Path(dist.locate_file("kovalith")).resolve() == pathlib.Path(kovalith.__file__).parent.resolve():
        root = pathlib.Path(__file__).resolve().parent.parent
        with open(root / "pyproject.toml", "rb") as f:
            assert dist.version == tomllib.load(f)["project"]["version"]


@pytest.mark.skipif(not pytest.importorskip("importlib").util.find_spec("kovalith.building"),
                    reason="the building compiler is not in this build")
class TestGraphCommand:
    def test_summary_and_every_output(self, capsys, tmp_path, office):
        import networkx as nx

        import kovalith.ifc as kifc

        path, layout = office
        files = {k: tmp_path / f"g.{k}" for k in ("cypher", "json", "png")}
        code, out, err = run(capsys, "graph", path, "--cypher", files["cypher"], "--json", files["json"],
                             "--png", files["png"], "--route", "0.S1", "2.N2")
        assert code == 0, err
        lines = dict(line.split(":", 1) for line in out.splitlines() if not line.startswith("wrote"))
        assert lines["rooms"].split() [:4] == ["15", "on", "3", "storeys"]
        assert "Level 0: 5, Level 1: 5, Level 2: 5" in lines["rooms"]
        assert lines["doors"].split()[:3] == ["12", "of", "12"]
        assert lines["no connection"].strip() == "none"
        assert lines["route"].strip() == "0.S1 -[door]-> 0.C -[stair hole]-> 1.C -[stair hole]-> 2.C -[door]-> 2.N2"
        doors, holes = len(layout.doors), len(layout.stairs)
        assert lines["walkable contacts"].strip() == f"{doors + holes} ({doors} door, {holes} stair_hole)"
        assert lines["storeys joined on foot"].strip() == ", ".join(
            f"{a}\u2013{b} (stair_hole)" for a, b in zip(layout.storey_names, layout.storey_names[1:]))
        assert lines["no way on foot"].strip() == "none"

        from kovalith import cypher, interop

        graph = kifc.building_graph(path)
        statements = cypher.read_statements(files["cypher"])
        walkable = sum(bool(e.get_attribute("via")) for e in graph.edges)
        assert len(statements) == len(graph.nodes) + len(graph.edges) + 2 * walkable
        assert not any("None" in q or "<builtins" in q for q in statements)
        door = next(i for i, e in enumerate(graph.edges) if e.get_attribute("doors"))
        c = graph.edges[door].get_attribute("opening_centroid")
        assert f"`opening_centroid`: [{', '.join(map(repr, c))}]" in statements[len(graph.nodes) + door]
        walls = sum(e.contact_type == "VerticalWallContact" for e in graph.edges)
        assert lines["wall contacts"].split()[0] == str(walls)

        # The JSON file is the networkx graph, data included, and both hold the records.
        g = nx.node_link_graph(json.loads(files["json"].read_text(encoding="utf-8")))
        assert nx.utils.graphs_equal(g, interop.to_networkx(graph))
        for i, node in enumerate(graph.nodes):
            attrs = dict(g.nodes[i])
            c = node.centroid
            assert attrs.pop("centroid") == [c.x, c.y, c.z] and attrs.pop("index") == node.index
            assert attrs == {k: v for k, v in node.get_all_attributes().items() if v is not None}
        for k, e in enumerate(graph.edges):
            attrs = dict(g.edges[e.node_a, e.node_b, k])
            assert attrs.pop("shared_area") == e.shared_area
            assert attrs.pop("contact_type") == e.contact_type
            c = attrs.pop("contact_centroid")
            assert c == [e.contact_centroid.x, e.contact_centroid.y, e.contact_centroid.z]
            expected = {k: v for k, v in e.get_all_attributes().items() if v is not None}
            oc = expected.pop("opening_centroid", None)
            want = [oc.x, oc.y, oc.z] if isinstance(oc, Vector3D) else oc
            assert attrs.pop("opening_centroid", None) == want
            assert attrs == expected
        assert files["png"].read_bytes().startswith(b"\x89PNG")

    @pytest.mark.parametrize("option, merge", [("face", "face"), ("plane", "plane"), ("room", "room"),
                                                ("pair", "room")])
    def test_merge_option_reaches_the_compiler(self, capsys, tmp_path, office, option, merge):
        import kovalith.ifc as kifc

        code, out, err = run(capsys, "graph", office[0], "--quiet", "--merge", option,
                             "--json", tmp_path / "g.json")
        assert code == 0, err
        data = json.loads((tmp_path / "g.json").read_text(encoding="utf-8"))
        expected = kifc.building_graph(office[0], merge=merge)
        got = sorted((e["source"], e["target"], e["shared_area"]) for e in data["edges"])
        assert got == sorted((e.node_a, e.node_b, e.shared_area) for e in expected.edges)

    def test_quiet_prints_nothing(self, capsys, tmp_path, office):
        code, out, err = run(capsys, "graph", office[0], "--quiet", "--json", tmp_path / "g.json")
        assert (code, out, err) == (0, "", "")
        assert (tmp_path / "g.json").stat().st_size > 0

    def test_python_dash_m(self, office):
        env = dict(os.environ)
        result = subprocess.run([sys.executable, "-m", "kovalith", "graph", str(office[0])],
                                capture_output=True, text=True, env=env, timeout=120)
        assert result.returncode == 0, result.stderr
        assert "rooms:              15 on 3 storeys" in result.stdout



HOSTILE_NAMES = {
    "0.S1": "0.S1\nroute:              forged -[door]-> nowhere",
    "0.C": "\x1b[2J\x1b[31mC",
    "1.C": "1.C\r\u2028\u202etxt.exe",
    "2.N2": "2.N2\x85\x07",
}


def test_room_names_cannot_forge_a_line_or_drive_the_terminal(capsys, tmp_path, office):
    import ifcopenshell

    model = ifcopenshell.open(str(office[0]))
    ids = {}
    for space in model.by_type("IfcSpace"):
        if space.Name in HOSTILE_NAMES:
            ids[space.Name] = space.GlobalId
            space.Name = HOSTILE_NAMES[space.Name]
    path = tmp_path / "hostile.ifc"
    model.write(str(path))
    code, out, err = run(capsys, "graph", path, "--route", ids["0.S1"], ids["2.N2"])
    assert code == 0, err
    lines = out.splitlines()
    assert [line for line in lines if line.startswith("route:")] == [
        r"route:              0.S1\nroute:              forged -[door]-> nowhere -[door]-> "
        r"\x1b[2J\x1b[31mC -[stair hole]-> 1.C\r\u2028\u202etxt.exe -[stair hole]-> 2.C -[door]-> 2.N2\x85\x07"]
    assert all(ch.isprintable() for line in lines for ch in line)
    code, out, err = run(capsys, "graph", path, "--route", "\x1b[31m", "2.N2")
    assert code == 1 and err.startswith("kovalith: no room named '\\x1b[31m'") and err.count("\n") == 1
