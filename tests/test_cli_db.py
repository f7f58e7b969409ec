"""kovalith graph --db URL: the graph of an IFC model loaded into FalkorDB and Kùzu."""

import pytest

from ifc_models import office_file, require_ifcopenshell

require_ifcopenshell()
pytest.importorskip("kovalith.building", reason="the building compiler is not in this build")
pytest.importorskip("kovalith.db", reason="the database loader is not in this build")
pytest.importorskip("falkordb_server", reason="the FalkorDB server fixture is not in this checkout")

from falkordb_server import falkordb_server  # noqa: E402, F401  (a pytest fixture)

import kovalith.ifc as kifc  # noqa: E402
from kovalith import cli  # noqa: E402


@pytest.fixture(scope="module")
def office(tmp_path_factory):
    path, layout = office_file("metres", tmp_path_factory.mktemp("cli_db"))
    return path, kifc.building_graph(path)


def run(capsys, *argv):
    code = cli.main(list(map(str, argv)))
    out, err = capsys.readouterr()
    return code, out, err


def test_falkordb_url_loads_every_room_and_contact(capsys, office, falkordb_server):
    import falkordb

    path, graph = office
    code, out, err = run(capsys, "graph", path, "--quiet", "--db", f"falkordb://127.0.0.1:{falkordb_server.port}/office")
    assert (code, out, err) == (0, "", "")
    db = falkordb.FalkorDB(host="127.0.0.1", port=falkordb_server.port).select_graph("office")
    try:
        rooms = db.query("MATCH (r:Room) RETURN r.global_id, r.name, r.storey ORDER BY r.index").result_set
        assert rooms == [[n.get_attribute(k) for k in ("global_id", "name", "storey")] for n in graph.nodes]
        doors = db.query("MATCH ()-[c:SHARES_WALL]->() RETURN c.doors").result_set
        assert len(doors) == len(graph.edges)
        assert sorted(d for (row,) in doors for d in row) == sorted(
            d for e in graph.edges for d in e.get_attribute("doors"))
        walkways = db.query("MATCH (a)-[w:CONNECTS_TO]->(b) RETURN a.index, b.index").result_set
        walkable = [(e.node_a, e.node_b) for e in graph.edges if e.get_attribute("walkable")]
        assert walkable and sorted(map(tuple, walkways)) == sorted(walkable + [(b, a) for a, b in walkable])
    finally:
        db.delete()


def test_kuzu_url_loads_every_room(capsys, office, tmp_path):
    kuzu = pytest.importorskip("kuzu")
    path, graph = office
    target = tmp_path / "office.kuzu"
    code, out, err = run(capsys, "graph", path, "--quiet", "--db", f"kuzu://{target}")
    assert (code, out, err) == (0, "", "")
    connection = kuzu.Connection(kuzu.Database(str(target)))
    assert connection.execute("MATCH (r:Room) RETURN count(r)").get_next()[0] == len(graph.nodes)
    assert connection.execute("MATCH ()-[c:SHARES_WALL]->() RETURN count(c)").get_next()[0] == len(graph.edges)


def test_a_database_that_is_not_there(capsys, office):
    path, _ = office
    code, out, err = run(capsys, "graph", path, "--db", "falkordb://127.0.0.1:1/office")
    assert code == 1 and out == "" and err.startswith("kovalith: ") and err.count("\n") == 1


def test_db_replace_loads_over_what_is_there(capsys, office, tmp_path):
    kuzu = pytest.importorskip("kuzu")
    path, graph = office
    url = f"kuzu://{tmp_path / 'office.kuzu'}"
    assert run(capsys, "graph", path, "--quiet", "--db", url)[0] == 0
    code, out, err = run(capsys, "graph", path, "--quiet", "--db", url)
    assert (code, out) == (1, "") and "--db-replace" in err and err.count("\n") == 1
    assert run(capsys, "graph", path, "--quiet", "--db", url, "--db-replace") == (0, "", "")
    connection = kuzu.Connection(kuzu.Database(str(tmp_path / "office.kuzu")))
    assert connection.execute("MATCH (r:Room) RETURN count(r)").get_next()[0] == len(graph.nodes)


@pytest.mark.parametrize("url, message", [
    ("ladybug:///{dir}/office.lbug", "needs the ladybug package, which is not installed (pip install ladybug)"),
    ("kuzu://", "give the database directory"),
    ("mysql://localhost/x", "unknown database URL"),
], ids=["fork-not-installed", "no-path", "unknown-scheme"])
def test_refused_url_before_any_work(capsys, office, tmp_path, url, message):
    """The URL and its engine are checked before the model is read: the one
    line names the fix, and no database of another engine is written."""
    import importlib.util

    if url.startswith("ladybug") and importlib.util.find_spec("ladybug") is not None:
        pytest.skip("the ladybug package is installed here")
    path, _ = office
    code, out, err = run(capsys, "graph", path, "--db", url.format(dir=tmp_path))
    assert (code, out) == (1, "") and message in err and err.count("\n") == 1
    assert list(tmp_path.iterdir()) == []
