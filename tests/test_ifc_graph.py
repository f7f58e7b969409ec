"""From IFC file to room graph: every neighbour the author built, doors and stairs named on the edges."""

import pytest

from ifc_models import FAR, VARIANTS, expected_contacts, office_file, skip_under_asan, require_ifcopenshell

require_ifcopenshell()
pytest.importorskip("kovalith.building", reason="the building compiler is not in this build")

import kovalith.ifc as kifc  # noqa: E402

pytestmark = skip_under_asan


@pytest.fixture(scope="session")
def graphs(tmp_path_factory):
    """variant -> (layout, IfcRooms, graph), each compiled once."""
    directory = tmp_path_factory.mktemp("ifc_graph")
    out = {}
    for variant in VARIANTS:
        path, layout = office_file(variant, directory)
        rooms = kifc.load(path)
        out[variant] = (layout, rooms, kifc.compile_rooms(rooms))
    return out


def named_edges(graph):
    nodes = graph.nodes
    return {tuple(sorted((nodes[e.node_a].get_attribute("name"), nodes[e.node_b].get_attribute("name")))): e
            for e in graph.edges}


@pytest.mark.parametrize("variant", list(VARIANTS))
class TestGraph:
    def test_nodes_carry_the_space_attributes(self, graphs, variant):
        layout, _, graph = graphs[variant]
        for node, space in zip(graph.nodes, layout.spaces, strict=True):
            attrs = node.get_all_attributes()
            assert (attrs["global_id"], attrs["name"], attrs["long_name"], attrs["ifc_class"]) == (
                space.global_id, space.name, space.long_name, "IfcSpace")
            assert attrs["storey"] == layout.storey_names[space.storey]
            assert attrs["elevation"] == pytest.approx(space.z[0])

    def test_every_neighbour_pair_and_no_other(self, graphs, variant):
        layout, _, graph = graphs[variant]
        edges = named_edges(graph)
        assert len(edges) == len(graph.edges), "one edge per room pair and contact plane"
        assert {pair: e.contact_type for pair, e in edges.items()} == expected_contacts(layout)
        for e in graph.edges:
            wall = e.contact_type == "VerticalWallContact"
            assert e.get_attribute("gap") == pytest.approx(0.2 if wall else 0.3, abs=1e-6)

    def test_doors_link_the_rooms_they_join(self, graphs, variant):
        layout, _, graph = graphs[variant]
        edges = named_edges(graph)
        door_of = {tuple(sorted((a, b))): gid for gid, a, b in layout.doors}
        for pair, e in edges.items():
            expected = [door_of[pair]] if pair in door_of else []
            assert e.get_attribute("doors") == expected, pair
            assert e.get_attribute("windows") == []
            if expected:
                assert set(e.get_attribute("opening_ids")) == {expected[0], layout.door_openings[expected[0]]}
                assert e.get_attribute("opening_area") == pytest.approx(1.0 * 2.1, rel=1e-6)
                assert e.get_attribute("walkable") is True

    def test_storeys_link_through_the_stair_opening_only(self, graphs, variant):
        layout, _, graph = graphs[variant]
        edges = named_edges(graph)
        stairs = {tuple(sorted((lower, upper))): gid for gid, lower, upper in layout.stairs}
        x0, y0, x1, y1 = layout.stair_rect
        for pair, e in edges.items():
            if e.contact_type != "HorizontalSlabContact":
                continue
            if pair in stairs:
                assert e.get_attribute("opening_ids") == [stairs[pair]] and e.get_attribute("walkable") is True
                assert e.get_attribute("opening_area") == pytest.approx((x1 - x0) * (y1 - y0), rel=1e-6)
                c = e.get_attribute("opening_centroid")
                assert c[:2] == pytest.approx([(x0 + x1) / 2, (y0 + y1) / 2], abs=1e-6)
            else:
                assert e.get_attribute("opening_ids") == [] and e.get_attribute("walkable") is False
        assert len(stairs) == 2 and set(stairs) <= set(edges)

    def test_linear_elements_map_to_their_rooms(self, graphs, variant):
        layout, _, graph = graphs[variant]
        by_name = {n.get_attribute("name"): n for n in graph.nodes}
        expected: dict[str, list[str]] = {}
        for gid, room in layout.columns + layout.beams + layout.segments:
            expected.setdefault(room, []).append(gid)
        for name, node in by_name.items():
            assert sorted(node.get_attribute("elements")) == sorted(expected.get(name, [])), name

    def test_walking_route_from_the_ground_to_the_top_floor(self, graphs, variant):
        _, _, graph = graphs[variant]
        route = kifc.walk_route(graph, kifc.find_room(graph, "0.S1"), kifc.find_room(graph, "2.N2"))
        assert [graph.nodes[i].get_attribute("name") for i in route] == ["0.S1", "0.C", "1.C", "2.C", "2.N2"]


def test_units_and_placement_change_no_edge(graphs):
    """The millimetre file, the one 5 km from the origin and the IFC2X3 file give the metre model's graph."""
    def signature(variant, dx=0.0, dy=0.0):
        _, _, graph = graphs[variant]
        return sorted(
            (pair, e.contact_type, round(e.shared_area, 6), round(e.get_attribute("gap"), 6),
             round(e.contact_centroid.x - dx, 5), round(e.contact_centroid.y - dy, 5),
             round(e.contact_centroid.z, 5), len(e.get_attribute("openings")))
            for pair, e in named_edges(graph).items())

    reference = signature("metres")
    assert signature("millimetres") == reference
    assert signature("far", *FAR) == reference
    assert signature("ifc2x3") == reference


def test_one_call_equals_load_then_compile(graphs, tmp_path):
    path, _ = office_file("metres", tmp_path)
    graph = kifc.building_graph(path, threads=1)
    _, _, reference = graphs["metres"]
    assert [n.get_all_attributes() for n in graph.nodes] == [n.get_all_attributes() for n in reference.nodes]
    assert [(e.node_a, e.node_b, e.get_attribute("doors")) for e in graph.edges] == [
        (e.node_a, e.node_b, e.get_attribute("doors")) for e in reference.edges]


class TestSettingsAndLookup:
    def test_unknown_setting(self, graphs):
        _, rooms, _ = graphs["metres"]
        with pytest.raises(TypeError, match="unknown setting.*wall_thickness"):
            kifc.compile_rooms(rooms, wall_thickness=0.2)

    def test_a_smaller_wall_gap_loses_the_wall_contacts(self, graphs):
        _, rooms, _ = graphs["metres"]
        graph = kifc.compile_rooms(rooms, wall_gap=0.1)
        assert {e.contact_type for e in graph.edges} == {"HorizontalSlabContact"}

    def test_find_room(self, graphs):
        layout, _, graph = graphs["metres"]
        assert kifc.find_room(graph, layout.spaces[3].global_id) == 3
        assert kifc.find_room(graph, layout.spaces[3].name) == 3
        assert kifc.find_room(graph, "3") == 3
        with pytest.raises(KeyError, match="no room named 'nowhere'"):
            kifc.find_room(graph, "nowhere")
        with pytest.raises(IndexError, match="end 99 is not a room"):
            kifc.walk_route(graph, 0, 99)
