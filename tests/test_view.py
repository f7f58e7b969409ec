"""The HTML view: what its diagnostics find, and the page in a real browser."""

import io

import pytest

from kovalith import GraphEdge, GraphNode, Mesh, SpatialGraph, Vector3D
from kovalith import view

pytest.importorskip("plotly")


def box(x0, y0, z0, x1, y1, z1, drop_face=False):
    vs = [Vector3D(x, y, z) for z in (z0, z1) for y in (y0, y1) for x in (x0, x1)]
    faces = [[0, 2, 3, 1], [4, 5, 7, 6], [0, 1, 5, 4], [2, 6, 7, 3], [0, 4, 6, 2], [1, 3, 7, 5]]
    return Mesh(vs, faces[:-1] if drop_face else faces)


# A small building whose faults are known. Rooms 0-1-2 are the building
# proper (a door, then a stair); 3 and 4 are joined by a door of their own but
# not to the rest; 5 touches room 0 through a wall with nothing behind it.
# Room 3's shell is open, room 4 is flat.
ROOMS = [box(0, 0, 0, 4, 5, 3), box(4, 0, 0, 8, 5, 3), box(4, 0, 3, 8, 5, 6),
         box(20, 0, 0, 24, 5, 3, drop_face=True), box(24, 0, 0, 28, 5, 0), box(-4, 0, 0, 0, 5, 3)]
LINKS = [  # a, b, contact type, way through (None: one cannot pass), virtual
    (0, 1, "VerticalWallContact", "door", False),
    (1, 2, "HorizontalSlabContact", "stair", False),
    (3, 4, "VerticalWallContact", "door", False),
    (0, 5, "VerticalWallContact", None, True),
    (0, 2, "VerticalWallContact", None, False),
]
TRUTH = {"unreachable": [3, 4, 5], "no_door": [2, 5], "virtual": [3], "degenerate": [3, 4]}


def graph_with(attributes):
    nodes = []
    for i, mesh in enumerate(ROOMS):
        c = [sum(getattr(v, a) for v in mesh.vertices) / len(mesh.vertices) for a in "xyz"]
        node = GraphNode(i, Vector3D(*c))
        node.set_attribute("name", f"R{i}")
        node.set_attribute("storey", "Level 1" if i == 2 else "Level 0")
        nodes.append(node)
    edges = []
    for a, b, kind, way, virtual in LINKS:
        e = GraphEdge(a, b, 10.0, Vector3D(4, 2.5, 1.5), kind)
        for key, value in attributes(way).items():
            e.set_attribute(key, value)
        if virtual:
            e.set_attribute("virtual", True)
        edges.append(e)
    return SpatialGraph(nodes, edges, [])


# The same facts in the attribute the compiler writes now, and in the older
# boolean one that a graph without ``via`` carries.
ATTRIBUTE_FORMS = {
    "via": lambda way: {"via": [way] if way else []},
    "walkable": lambda way: {"walkable": way is not None, "doors": ["D"] if way == "door" else []},
}


@pytest.mark.parametrize("form", list(ATTRIBUTE_FORMS))
def test_diagnostics_find_the_known_faults(form):
    graph = graph_with(ATTRIBUTE_FORMS[form])
    got = view.diagnose(graph, ROOMS, [("product", "geometry failed")])
    assert got.unreachable == TRUTH["unreachable"]
    assert got.no_door == TRUTH["no_door"]
    assert got.virtual == TRUTH["virtual"]
    assert [i for i, _ in got.degenerate] == TRUTH["degenerate"]
    assert "not closed" in got.degenerate[0][1] and "encloses 0 m3" in got.degenerate[1][1]
    assert got.skipped == [("product", "geometry failed")]
    assert [view.connection_kind(e) for e in graph.edges] == ["door", "stair", "door", None, None]


def test_without_any_walkable_contact_every_room_is_unreachable():
    graph = graph_with(lambda way: {"via": []})
    assert view.diagnose(graph).unreachable == list(range(len(ROOMS)))
    alone = SpatialGraph([GraphNode(0, Vector3D(2, 2, 1))], [], [])
    assert view.diagnose(alone, ROOMS[:1]).unreachable == []


def test_meshes_must_match_the_nodes():
    with pytest.raises(ValueError, match="6 nodes but 2 room meshes"):
        view.diagnose(graph_with(ATTRIBUTE_FORMS["via"]), ROOMS[:2])


# In a browser: the demo office with a route, and a room whose name is
# markup and TeX, which must reach the page as text.
HOSTILE = '</script><script>window.injected = 1</script>$\\frac{$'


@pytest.fixture(scope="module")
def office_page(tmp_path_factory):
    from ifc_models import office_file, require_ifcopenshell

    require_ifcopenshell()
    import kovalith.ifc as kifc
    from kovalith import routes

    directory = tmp_path_factory.mktemp("view")
    path, _ = office_file("metres", directory)
    rooms = kifc.load(path)
    graph = kifc.compile_rooms(rooms)
    graph.nodes[4].set_attribute("long_name", HOSTILE)
    route = routes.route(graph, kifc.find_room(graph, "0.S1"), kifc.find_room(graph, "2.N2"),
                         via=kifc.is_walkable, cost="walk")
    page = directory / "office.html"
    diagnostics = view.write_html(rooms, graph, page, route=route, title=HOSTILE)
    return page, graph, diagnostics


def test_page_is_one_self_contained_file(office_page):
    page, _, diagnostics = office_page
    text = page.read_text(encoding="utf-8")
    assert text.startswith("<!DOCTYPE html>")
    assert "src=\"http" not in text and "src='http" not in text
    assert "</script><script>window.injected" not in text  # the name stays text, in HTML and in the JSON
    assert diagnostics.unreachable == [] and diagnostics.no_door == []


def browser_or_skip():
    from browser import find_browser

    if find_browser() is None:
        pytest.skip("chromium is not installed (make test-deps installs it from Debian)")


def test_page_renders_in_chromium_with_a_clean_console(office_page):
    browser_or_skip()
    from browser import visit

    page, graph, _ = office_page
    storeys = sorted({n.get_attribute("storey") for n in graph.nodes})
    gd = "document.getElementById('building')"
    result = visit(page, ready=f"{gd} && {gd}._fullLayout && {gd}.querySelector('canvas')", checks={
        "title": "document.title",
        "injected": "window.injected === undefined",
        "traces": f"{gd}.data.map(t => t.name)",
        "menu": f"{gd}.layout.updatemenus[0].buttons.map(b => b.label)",
        # Choose the second storey in the menu: only its traces and the
        # storey-less ones (route, diagnostics) stay visible.
        "filtered": f"(() => {{ const b = {gd}.layout.updatemenus[0].buttons[2]; "
                    f"Plotly.restyle({gd}, b.args[0]); "
                    f"return {gd}.data.filter(t => t.visible !== false).map(t => t.name); }})()",
        "hostile": f"{gd}.data.some(t => Array.isArray(t.text) && t.text.some(s => s.includes("
                   f"'&lt;/script&gt;&lt;script&gt;window.injected = 1&lt;/script&gt;$\\\\frac{{$')))",
        "listing": "document.body.innerText.includes('Rooms unreachable on foot (0)')",
    })
    assert result.errors == []
    assert {url.split(":", 1)[0] for url in result.requests} <= {"file", "data", "blob", "about"}, result.requests
    v = result.values
    assert v["title"] == HOSTILE and v["injected"] is True and v["hostile"] is True and v["listing"] is True
    assert v["menu"] == ["all storeys", *storeys]
    assert [n for n in v["traces"] if n.endswith("rooms)")] == [f"{s} (5 rooms)" for s in storeys]
    assert "route" in " ".join(v["traces"]) and "door links" in v["traces"]
    assert any(n.startswith(storeys[1]) for n in v["filtered"])
    assert not any(n.startswith((storeys[0], storeys[2])) for n in v["filtered"])

    from PIL import Image

    image = Image.open(io.BytesIO(result.screenshot)).convert("RGB")
    plot = image.crop((0, 150, image.width * 3 // 4, image.height))  # the 3D scene, below the heading
    colours = plot.getcolors(maxcolors=1 << 20)
    assert colours is not None and len(colours) > 200, "the scene is blank"
    white = sum(n for n, c in colours if min(c) >= 250)
    assert white < 0.9 * plot.width * plot.height, "the scene is nearly all background"


def test_command_line_writes_the_page_with_the_route(tmp_path):
    from ifc_models import office_file, require_ifcopenshell

    require_ifcopenshell()
    from kovalith import cli

    model, _ = office_file("metres", tmp_path)
    page = tmp_path / "g.html"
    assert cli.main(["graph", str(model), "--quiet", "--html", str(page), "--route", "0.S1", "2.N2"]) == 0
    text = page.read_text(encoding="utf-8")
    assert text.startswith("<!DOCTYPE html>") and "route (" in text and "Rooms without a door (0)" in text
