"""IndoorGML 2.0 and BOT of authored IFC offices: valid against the schema
and the shapes, and holding the building the author laid out."""

import json
import math
import pathlib

import pytest

from ifc_models import expected_contacts, office_file, require_ifcopenshell, skip_under_asan

require_ifcopenshell()

from kovalith import GraphEdge, GraphNode, SpatialGraph, Vector3D, bot, cli, indoorgml, routes  # noqa: E402

pytestmark = skip_under_asan
jsonschema = pytest.importorskip("jsonschema", reason="jsonschema (the standards extra) is not installed")
rdflib = pytest.importorskip("rdflib", reason="rdflib (the standards extra) is not installed")
pytest.importorskip("pyshacl", reason="pySHACL (the standards extra) is not installed")

SCHEMA = pathlib.Path(__file__).resolve().parent / "data" / "indoorgml2" / "indoorjson2.schema.json"
BOT = rdflib.Namespace(bot.BOT)


@pytest.fixture(scope="module", params=["metres", "millimetres"])
def written(request, tmp_path_factory):
    """The office of a variant through the command: its layout, graph and both files."""
    import kovalith.ifc as kifc

    directory = tmp_path_factory.mktemp(request.param)
    path, layout = office_file(request.param, directory)
    files = {"indoorgml": directory / "office.indoor.json", "bot": directory / "office.ttl"}
    code = cli.main(["graph", str(path), "--quiet", "--indoorgml", str(files["indoorgml"]),
                     "--bot", str(files["bot"]), "--bot-base", "https://example.com/office/"])
    assert code == 0
    return layout, kifc.building_graph(path), files


def validator():
    schema = json.loads(SCHEMA.read_text(encoding="utf-8"))
    return jsonschema.Draft202012Validator(schema, format_checker=jsonschema.Draft202012Validator.FORMAT_CHECKER)


def newell_area(points):
    """Area of a planar polygon in 3D (Newell's normal, halved)."""
    nx = ny = nz = 0.0
    for (x0, y0, z0), (x1, y1, z1) in zip(points, points[1:] + points[:1]):
        nx += (y0 - y1) * (z0 + z1)
        ny += (z0 - z1) * (x0 + x1)
        nz += (x0 - x1) * (y0 + y1)
    return 0.5 * math.sqrt(nx * nx + ny * ny + nz * nz)


def surface_area(geometry, vertices):
    surfaces = [geometry["boundaries"]] if geometry["type"] == "Surface" else geometry["boundaries"]
    total = 0.0
    for rings in surfaces:
        outer, *holes = ([vertices[i] for i in ring] for ring in rings)
        total += newell_area(outer) - sum(newell_area(h) for h in holes)
    return total


def pairs_by_name(pairs):
    return {tuple(sorted(p)) for p in pairs}


def test_indoorgml_validates_and_holds_the_layout(written):
    layout, graph, files = written
    document = json.loads(files["indoorgml"].read_text(encoding="utf-8"))
    errors = [f"{list(e.path)}: {e.message}" for e in validator().iter_errors(document)]
    assert errors == []
    vertices = document["vertices"]
    adjacency, connectivity = document["layers"]["adjacency"], document["layers"]["connectivity"]

    # Cells: one per authored space, referring to its IfcSpace and storey.
    cells = adjacency["primalSpace"]["cellSpaceMember"]
    by_id = {s.global_id: s for s in layout.spaces}
    assert sorted(c["attributes"]["global_id"] for c in cells.values()) == sorted(by_id)
    name_of = {}
    for cell_id, cell in cells.items():
        space = by_id[cell["attributes"]["global_id"]]
        name_of[cell["duality"]] = space.name
        refs = {r["role"]: r["externalObject"]["name"] for r in cell["attributes"]["externalReference"]}
        assert refs == {"IfcSpace": space.global_id, "IfcBuildingStorey": layout.storey_names[space.storey]}
        assert cell["level"] == layout.storey_names[space.storey] and cell["name"] == space.name
        assert cell["cellSpaceGeom"]["type"] == "Solid"

    # Adjacency: every contact the plain scan of the plan finds, and no other.
    edges = adjacency["dualSpace"]["edgeMember"]
    assert pairs_by_name((name_of[a], name_of[b]) for a, b in (e["connects"] for e in edges.values())) == set(
        expected_contacts(layout))
    # Each boundary's polygon has the contact's net area.
    boundaries = adjacency["primalSpace"]["cellBoundaryMember"]
    assert len(boundaries) == len(graph.edges)
    for k, e in enumerate(graph.edges):
        boundary = boundaries[f"contact-{k}"]
        assert boundary["attributes"]["shared_area"] == e.shared_area
        assert surface_area(boundary["cellBoundaryGeom"], vertices) == pytest.approx(e.shared_area, rel=1e-9)

    # Connectivity: the doors and stair openings the author placed.
    walk_edges = connectivity["dualSpace"]["edgeMember"]
    rooms_of = {f"walk-{cell['duality']}": name_of[cell["duality"]] for cell in cells.values()}
    authored = [(a, b) for _, a, b in layout.doors] + [(a, b) for _, a, b in layout.stairs]
    assert pairs_by_name((rooms_of[a], rooms_of[b]) for a, b in (e["connects"] for e in walk_edges.values())) \
        == pairs_by_name(authored)
    for edge in walk_edges.values():
        assert connectivity["primalSpace"]["cellBoundaryMember"][edge["duality"]]["attributes"]["via"]
    # Weights are walking distances: along a route they add up to its length.
    start = next(k for k, n in enumerate(graph.nodes) if n.get_attribute("name") == "0.S1")
    end = next(k for k, n in enumerate(graph.nodes) if n.get_attribute("name") == "2.N2")
    walk = routes.route(graph, start, end, via=lambda e: e.get_attribute("walkable") is True, cost="walk")
    assert len(walk.rooms) == 5
    assert sum(walk_edges[f"walk-edge-{k}"]["weight"] for k in walk.edges) == pytest.approx(walk.length, rel=1e-12)
    connections = document["layerConnections"]
    assert len(connections) == len(cells) and {c["typeOfTopoExpression"] for c in connections} == {"EQUALS"}


@pytest.mark.parametrize("break_it, path", [
    (lambda d: d["layers"]["adjacency"]["primalSpace"]["cellSpaceMember"]["room-0"].pop("poi"), "poi"),
    (lambda d: d["layers"]["adjacency"]["dualSpace"]["edgeMember"]["edge-0"]["connects"].append("node-9"),
     "connects"),
    (lambda d: d["layerConnections"][0].update(typeOfTopoExpression="TOUCHES"), "typeOfTopoExpression"),
])
def test_the_schema_check_can_fail(written, break_it, path):
    document = json.loads(written[2]["indoorgml"].read_text(encoding="utf-8"))
    break_it(document)
    assert any(path in e.message or path in list(e.path) for e in validator().iter_errors(document))


def test_bot_conforms_to_the_shapes_and_holds_the_layout(written):
    layout, graph, files = written
    conforms, report = bot.validate(files["bot"])
    assert conforms, report
    rdf = rdflib.Graph().parse(files["bot"], format="turtle")
    base = "https://example.com/office/"
    by_iri = {rdflib.URIRef(base + s.global_id): s for s in layout.spaces if "$" not in s.global_id}
    spaces = set(rdf.subjects(rdflib.RDF.type, BOT.Space))
    assert len(spaces) == len(layout.spaces) and set(by_iri) <= spaces
    name = {s: str(rdf.value(s, rdflib.RDFS.label)) for s in spaces}
    adjacent = {tuple(sorted((name[a], name[b]))) for a, _, b in rdf.triples((None, BOT.adjacentZone, None))}
    assert adjacent == set(expected_contacts(layout))
    for storey in rdf.subjects(rdflib.RDF.type, BOT.Storey):
        members = {name[s] for s in rdf.objects(storey, BOT.hasSpace)}
        level = layout.storey_names.index(str(rdf.value(storey, rdflib.RDFS.label)))
        assert members == {s.name for s in layout.spaces if s.storey == level}
    interfaces = set(rdf.subjects(rdflib.RDF.type, BOT.Interface))
    assert len(interfaces) == len(graph.edges)
    vocab = rdflib.Namespace(bot.DEFAULT_VOCABULARY)
    areas = sorted(rdf.value(i, vocab.shared_area).toPython() for i in interfaces)
    assert areas == sorted(e.shared_area for e in graph.edges)  # doubles exact through Turtle
    doors = {gid for gid, _, _ in layout.doors}
    elements = {str(rdf.value(e, vocab.global_id)) for e in rdf.subjects(rdflib.RDF.type, BOT.Element)}
    assert doors <= elements
    for door, a, b in layout.doors:
        element = next(e for e in rdf.subjects(vocab.global_id, rdflib.Literal(door)))
        [interface] = rdf.subjects(BOT.interfaceOf, element)
        assert {name[z] for z in rdf.objects(interface, BOT.interfaceOf) if z in spaces} == {a, b}


def test_shapes_refuse_what_a_building_cannot_be(tmp_path):
    nodes = [GraphNode(k, Vector3D(k, 0, 0)) for k in range(3)]
    for k, node in enumerate(nodes):
        node.set_attribute("global_id", f"{k:022d}")
        node.set_attribute("storey", "Level 0")
    edges = [GraphEdge(0, 1, 0.0, Vector3D(0.5, 0, 0), "VerticalWallContact"),
             GraphEdge(1, 2, 4.0, Vector3D(1.5, 0, 0), "VerticalWallContact")]
    edges[1].set_attribute("doors", ["not a GlobalId"])
    rdf = bot.bot_graph(SpatialGraph(nodes, edges, []))
    # A space on two storeys.
    rdf.add((rdflib.URIRef(bot.DEFAULT_BASE + "storey_Level%201"), BOT.hasSpace,
             rdflib.URIRef(bot.DEFAULT_BASE + f"{0:022d}")))
    rdf.add((rdflib.URIRef(bot.DEFAULT_BASE + "storey_Level%201"), rdflib.RDF.type, BOT.Storey))
    rdf.add((rdflib.URIRef(bot.DEFAULT_BASE + "building"), BOT.hasStorey,
             rdflib.URIRef(bot.DEFAULT_BASE + "storey_Level%201")))
    conforms, report = bot.validate(rdf)
    assert not conforms
    for message in ("exactly one storey", "one positive area", "one IFC GlobalId"):
        assert message in report, report
    assert "exactly two zones" not in report
    # An interface of three spaces.
    rdf.add((rdflib.URIRef(bot.DEFAULT_BASE + "interface_1"), BOT.interfaceOf,
             rdflib.URIRef(bot.DEFAULT_BASE + f"{0:022d}")))
    assert "exactly two zones" in bot.validate(rdf)[1]


def test_every_output_names_the_properties_alike(written, tmp_path):
    from kovalith import cypher, interop

    _, graph, files = written
    g = interop.to_networkx(graph)
    names = {"networkx": {k for _, d in g.nodes(data=True) for k in d} | {k for *_, d in g.edges(data=True) for k in d}}
    interop.write_json(graph, tmp_path / "g.json")
    data = json.loads((tmp_path / "g.json").read_text(encoding="utf-8"))
    names["json"] = ({k for n in data["nodes"] for k in n} | {k for e in data["edges"] for k in e}) - {
        "id", "source", "target", "key"}
    from test_output_schema import property_map

    rooms_and_contacts = cypher.cypher_statements(graph)[:len(graph.nodes) + len(graph.edges)]
    names["cypher"] = {k for q in rooms_and_contacts for k in property_map(q)}
    document = json.loads(files["indoorgml"].read_text(encoding="utf-8"))
    adjacency = document["layers"]["adjacency"]["primalSpace"]
    names["indoorgml"] = ({k for c in adjacency["cellSpaceMember"].values() for k in c["attributes"]}
                          | {k for b in adjacency["cellBoundaryMember"].values() for k in b["attributes"]}) - {
        "externalReference"}
    rdf = rdflib.Graph().parse(files["bot"], format="turtle")
    names["bot"] = {str(p)[len(bot.DEFAULT_VOCABULARY):] for p in rdf.predicates()
                    if str(p).startswith(bot.DEFAULT_VOCABULARY)}
    assert {k: v for k, v in names.items() if v != names["networkx"]} == {}
    assert {"index", "centroid", "shared_area", "contact_centroid", "contact_type", "global_id"} <= names["bot"]


def test_turtle_reads_back_every_character_and_value():
    from test_cypher_file import text_graph

    import db_roundtrip as rt

    for graph in (text_graph(), rt.attributed_building(), rt.hand_graph()):
        rdf = bot.bot_graph(graph, base="https://example.com/b/")
        from urllib.parse import unquote

        predicate = {unquote(str(p)[len(bot.DEFAULT_VOCABULARY):]): p for p in set(rdf.predicates())
                     if str(p).startswith(bot.DEFAULT_VOCABULARY)}
        for node in graph.nodes:
            space = rdflib.URIRef(f"https://example.com/b/space_{node.index}")
            for key, value in node.get_all_attributes().items():
                stored = rt.stored(value)
                if stored is None:
                    assert key not in predicate or rdf.value(space, predicate[key]) is None
                    continue
                got = rdf.value(space, predicate[key])
                got = json.loads(str(got)) if isinstance(stored, list) else got.toPython()
                assert got == stored and type(got) is type(stored), (key, got, stored)


def test_regions_of_a_graph_compiled_elsewhere(tmp_path):
    import kovalith.ifc as kifc

    rooms = kifc.load(office_file("metres", tmp_path)[0])
    graph, regions = indoorgml.compile_rooms(rooms)
    plain = kifc.compile_rooms(rooms)
    assert [(e.node_a, e.node_b, e.shared_area) for e in graph.edges] == [
        (e.node_a, e.node_b, e.shared_area) for e in plain.edges]
    assert [n.get_all_attributes() for n in graph.nodes] == [n.get_all_attributes() for n in plain.nodes]
    again = indoorgml.contact_regions(plain, rooms)
    assert [[p.outer.tolist() for p in r] for r in again] == [[p.outer.tolist() for p in r] for r in regions]
    with pytest.raises(ValueError, match="give the settings the graph was compiled with"):
        indoorgml.contact_regions(plain, rooms, min_area=20.0)
