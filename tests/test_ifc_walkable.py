"""Where people walk: an authored building's contacts, how people cross them
and what stands in their gap, against the plan's truth (tests/ifc_walk_models.py)."""

import math

import pytest

from ifc_models import require_ifcopenshell, skip_under_asan
from ifc_walk_models import (BROKEN, CONTACTS, ELEMENTS, FALLBACKS, FLAT_ROOM, LOOSE_DOOR, LOOSE_DOOR_BOX, ROOMS,
                             Contact, author_walks)

require_ifcopenshell()
pytest.importorskip("kovalith.building", reason="the building compiler is not in this build")

import kovalith.ifc as kifc  # noqa: E402
from kovalith import routes  # noqa: E402
from kovalith.arrays import mesh_to_arrays  # noqa: E402

pytestmark = skip_under_asan
THREADS = (1, 2)


@pytest.fixture(scope="module")
def walks():
    """(GlobalId -> name, threads -> (IfcRooms, graph)): the model read with one and two geometry threads."""
    model, ids = author_walks()
    out = {}
    for threads in THREADS:
        rooms = kifc.load(model, threads=threads)
        out[threads] = (rooms, kifc.compile_rooms(rooms))
    return {gid: name for name, gid in ids.items()}, out


def contacts_of(graph, names):
    """(room, room) in name order -> Contact, as the graph has them."""
    nodes = graph.nodes
    out = {}
    for e in graph.edges:
        pair = tuple(sorted(nodes[k].get_attribute("name") for k in (e.node_a, e.node_b)))
        assert pair not in out, f"{pair}: one edge per room pair and contact plane"

        def named(key):
            return tuple(sorted(names[gid] for gid in e.get_attribute(key)))

        out[pair] = Contact(via=tuple(e.get_attribute("via")), elements=named("elements"), doors=named("doors"),
                            windows=named("windows"), crossings=named("crossings"))
        assert e.get_attribute("walkable") is bool(e.get_attribute("via")), pair
        physical = [n for n in out[pair].elements if ELEMENTS[n][0] != "IfcVirtualElement"]
        assert e.get_attribute("virtual") is (not physical), pair
    return out


@pytest.mark.parametrize("threads", THREADS)
def test_walkable_pairs_via_and_elements_equal_the_plan(walks, threads):
    """Every contact of the plan with its via, elements, doors, windows and
    crossings, and no other: grazing doors and openings, open plan, virtual
    boundaries, passages, stair flights and ramps without holes, a stair hole
    over a whole contact, a plenum, doors without bodies."""
    names, out = walks
    _, graph = out[threads]
    got = contacts_of(graph, names)
    assert sorted(got) == sorted(CONTACTS)
    for pair, expected in CONTACTS.items():
        assert got[pair] == Contact(**{k: tuple(sorted(v)) if k != "via" else v
                                       for k, v in vars(expected).items()}), pair


def test_stair_hole_keeps_the_contact_it_covers(walks):
    """The gallery's floor lies wholly inside the stair hole: the net contact
    is empty, and the contact stays with the hole's area."""
    names, out = walks
    _, graph = out[1]
    nodes = graph.nodes
    (edge,) = [e for e in graph.edges
               if {nodes[e.node_a].get_attribute("name"), nodes[e.node_b].get_attribute("name")} == {"Gallery", "Hall"}]
    box = ROOMS["Gallery"][1]
    assert edge.shared_area == pytest.approx(0.0, abs=1e-6)
    assert edge.get_attribute("opening_area") == pytest.approx((box.x[1] - box.x[0]) * (box.y[1] - box.y[0]), rel=1e-6)
    assert [names[g] for g in edge.get_attribute("opening_ids")] == ["Stair hole"]


def test_one_and_two_threads_give_identical_graphs(walks):
    """The single-threaded geometry iterator stops at the broken railing;
    every product after it is still read, and the graphs are the same."""
    _, out = walks

    def signature(rooms, graph):
        def plain(value):
            return [plain(v) for v in value] if isinstance(value, (list, tuple)) else value

        return ([(p.global_id, reason) for p, reason in rooms.skipped], rooms.fallbacks,
                [p.global_id for p in rooms.room_products + rooms.opening_products + rooms.element_products],
                [n.get_all_attributes() for n in graph.nodes],
                [(e.node_a, e.node_b, e.contact_type, round(e.shared_area, 9),
                  sorted((k, plain(v)) for k, v in e.get_all_attributes().items()
                         if not isinstance(v, float) and k != "opening_centroid")) for e in graph.edges])

    assert signature(*out[1]) == signature(*out[2])


def test_degenerate_rooms_failed_products_and_door_fallbacks_are_reported(walks):
    names, out = walks
    rooms, _ = out[1]
    assert sorted((names[p.global_id], reason) for p, reason in rooms.skipped) == sorted(
        [(FLAT_ROOM, "degenerate room: zero height"), (BROKEN, "geometry failed")])
    assert {names[gid]: source for gid, source in rooms.fallbacks.items()} == FALLBACKS
    meshes = {names[p.global_id]: mesh for p, mesh in zip(rooms.opening_products, rooms.openings)}

    def corners(mesh):
        return sorted({tuple(round(c, 9) for c in v) for v in mesh_to_arrays(mesh).vertices.tolist()})

    box = LOOSE_DOOR_BOX
    assert corners(meshes[LOOSE_DOOR]) == sorted((x, y, z) for x in box.x for y in box.y for z in box.z)
    assert corners(meshes["Door P|O"]) == corners(meshes["Door P|O opening"])
    assert [names[p.global_id] for p in rooms.element_products if p.ifc_class == "IfcStairFlight"] == ["Flight"]


def test_routes_on_foot_reach_what_the_plan_joins(walks):
    """From every room, the rooms `via="walkable"` reaches are those the
    plan's walkable contacts join to it (a plain flood fill)."""
    _, out = walks
    _, graph = out[2]
    position = {n.get_attribute("name"): k for k, n in enumerate(graph.nodes)}
    joined = {name: {name} for name in position}
    for (a, b), contact in CONTACTS.items():
        if contact.via:
            merged = joined[a] | joined[b]
            for name in merged:
                joined[name] = merged
    for name, k in position.items():
        reach = routes.distances(graph, k, via="walkable", cost="walk")
        assert {n for n, j in position.items() if math.isfinite(reach.distance[j])} == joined[name], name
    walk = kifc.walk_route(graph, position["Kitchen"], position["Stair 1"])
    assert [graph.nodes[k].get_attribute("name") for k in walk] == ["Kitchen", "Living", "Hall", "Stair 0", "Stair 1"]


def test_summary_counts_ways_storeys_degenerate_rooms_and_fallbacks(walks):
    from kovalith import report

    rooms, graph = walks[1][1]
    lines = dict(line.split(":", 1) for line in report.summary(rooms, graph).splitlines())
    assert {k: v.strip() for k, v in lines.items() if k in (
        "walkable contacts", "storeys joined on foot", "doors", "no way on foot", "degenerate rooms")} == {
        "walkable contacts": "10 (4 door, 2 open, 1 passage, 1 ramp, 1 stair, 1 stair_hole)",
        "storeys joined on foot": "Level 0\u2013Level 1 (ramp, stair, stair_hole)",
        "doors": "4 of 4 join two rooms, on 4 contacts (1 from their openings, 1 from a box)",
        "no way on foot": "1: Plant 1",
        "degenerate rooms": "1 (1 zero height), not compiled",
    }
