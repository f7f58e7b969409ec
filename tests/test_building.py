"""kovalith.building.compile_building against generated buildings whose room
pairs, areas, centres, gaps and openings the generator computes on its own
(bench/building.py `real_building`)."""

import math

import pytest
from graph_helpers import building

import kovalith
import kovalith.building
from kovalith.building import compile_building

TEN_KM = (1.0e4, -1.0e4, 50.0)


def edges_by_pair(graph):
    out = {}
    for e in graph.edges:
        assert e.node_a < e.node_b
        out.setdefault((e.node_a, e.node_b), []).append(e)
    return out


def point(v):
    if v is None or isinstance(v, list):
        return None if v is None else tuple(v)
    return (v.x, v.y, v.z)


def close(a, b, scale=1.0):
    if a is None or b is None:
        return a is b
    return all(math.isclose(x, y, rel_tol=1e-9, abs_tol=1e-7 * scale) for x, y in zip(a, b))


def assert_matches(graph, truth, scale=1.0):
    got = edges_by_pair(graph)
    assert set(got) == set(truth), (sorted(set(truth) - set(got))[:5],
                                    sorted(set(got) - set(truth))[:5])
    for key, want in truth.items():
        [e] = got[key]
        a = e.get_all_attributes()
        # The walking point is there only where something was removed.
        assert list(a) == ["gap", "openings", "opening_area"] + ["opening_centroid"] * bool(want.opening_area)
        assert e.shared_area == pytest.approx(want.area, rel=1e-9), key
        assert close(point(e.contact_centroid), want.centroid, scale), key
        assert a["gap"] == pytest.approx(want.gap, rel=1e-9, abs=1e-9 * scale), key
        assert a["openings"] == want.openings, key
        assert a["opening_area"] == pytest.approx(want.opening_area, rel=1e-9,
                                                  abs=1e-9 * scale ** 2), key
        assert close(point(a.get("opening_centroid")), want.opening_centroid, scale), key
        assert (e.contact_type == "HorizontalSlabContact") == want.slab, key


@pytest.mark.parametrize("options", [
    dict(),
    dict(shaft=0.1),  # a thin room between rooms takes the part of the wall it covers
    dict(shaft=0.1, split=2, inside_out=0.3, door_kind="panel", missing=0.15),
    dict(shaft=0.1, split=2, angle=0.3, shift=TEN_KM, inside_out=0.5),
    dict(wall=0.35, slab=0.4, void=1.2, door_share=1.0, stair_share=1.0, angle=1.1),
], ids=["plain", "shaft", "triangulated-inside-out-panels", "rotated-far", "thick"])
def test_every_neighbour_pair_and_no_other(options):
    b, truth = building.real_building(4, 3, 3, seed=7, **options)
    assert_matches(compile_building(b.registry()), truth)


def test_translation_and_units_change_nothing():
    """10 km off the origin, or in millimetres with every setting scaled, the
    same pairs with the same areas, centres and openings."""
    base, truth = building.real_building(3, 3, 2, seed=3, shaft=0.1, split=2)
    far, far_truth = building.real_building(3, 3, 2, seed=3, shaft=0.1, split=2, shift=TEN_KM)
    mm, mm_truth = building.real_building(3, 3, 2, seed=3, shaft=0.1, split=2, scale=1000.0)
    assert set(truth) == set(far_truth) == set(mm_truth)
    assert_matches(compile_building(far.registry()), far_truth)
    assert_matches(compile_building(mm.registry(), distance=1.0, min_area=1e4, wall_gap=500.0,
                                    slab_gap=2000.0), mm_truth, scale=1000.0)


@pytest.mark.parametrize("merge", ["face", "plane", "room"])
def test_merge_modes_sum_the_face_pairs(merge):
    """A wall cut into triangles: "face" keeps one edge per face pair, the
    other modes one per room pair; areas and opening areas add up."""
    b, truth = building.real_building(3, 2, 2, seed=5, split=2)
    graph = compile_building(b.registry(), merge=merge)
    got = edges_by_pair(graph)
    assert set(got) == set(truth)
    for key, want in truth.items():
        edges = got[key]
        assert (len(edges) > 1) == (merge == "face")
        assert sum(e.shared_area for e in edges) == pytest.approx(want.area, rel=1e-9)
        assert sum(e.get_attribute("opening_area") for e in edges) == pytest.approx(
            want.opening_area, rel=1e-9, abs=1e-9)
        openings = sorted({k for e in edges for k in e.get_attribute("openings")})
        assert openings == want.openings


def test_gaps_bound_the_search():
    """wall_gap and slab_gap are upper bounds: 0 leaves only touching rooms,
    a gap just below the wall or slab thickness drops those pairs."""
    b, truth = building.real_building(3, 2, 2, seed=2)
    walls = {k for k, t in truth.items() if not t.slab}
    slabs = {k for k, t in truth.items() if t.slab}
    assert walls and slabs
    reg = b.registry()
    assert not compile_building(reg, wall_gap=0.0, slab_gap=0.0).edges
    assert set(edges_by_pair(compile_building(reg, wall_gap=0.19))) == slabs
    assert set(edges_by_pair(compile_building(reg, slab_gap=0.79))) == walls
    touching, touching_truth = building.real_building(3, 2, 2, seed=2, wall=0.0, slab=0.0,
                                                      void=0.0)
    graph = compile_building(touching.registry(), wall_gap=0.0, slab_gap=0.0)
    assert_matches(graph, touching_truth)


def test_nearest_room_wins_across_a_plenum():
    """A thin plenum room between two storeys owns the whole slab contact."""
    box = building.box_mesh
    lower, plenum, upper = box(0, 0, 0, 4, 4, 3), box(0, 0, 3.3, 4, 4, 3.5), box(0, 0, 4, 4, 4, 7)
    b = building.Building([lower, plenum, upper])
    got = edges_by_pair(compile_building(b.registry()))
    assert sorted(got) == [(0, 1), (1, 2)]
    for (key, gap) in (((0, 1), 0.3), ((1, 2), 0.5)):
        [e] = got[key]
        assert e.shared_area == pytest.approx(16.0)
        assert e.get_attribute("gap") == pytest.approx(gap)
    # Half a plenum: the rest of the slab still joins the two storeys.
    b = building.Building([lower, box(0, 0, 3.3, 2, 4, 3.5), upper])
    got = edges_by_pair(compile_building(b.registry()))
    assert got[0, 2][0].shared_area == pytest.approx(8.0)
    assert point(got[0, 2][0].contact_centroid) == pytest.approx((3.0, 2.0, 3.5))


def test_attributes_travel_with_the_export():
    b, truth = building.real_building(2, 1, 1, seed=1, door_share=1.0)
    graph = compile_building(b.registry())
    text = "\n".join(graph.to_cypher_queries())
    for name in ("gap", "openings", "opening_area", "opening_centroid"):
        assert name in text


@pytest.mark.parametrize("setting, value", [
    ("distance", -1e-3), ("angle", math.nan), ("min_area", -0.5), ("wall_gap", math.inf),
    ("slab_gap", -2.0), ("angle", 90.0),
])
def test_bad_settings_name_the_setting(setting, value):
    reg = kovalith.SpatialRegistry([], [], [])
    with pytest.raises(ValueError, match=setting):
        compile_building(reg, **{setting: value})


def test_bad_merge_and_registry():
    reg = kovalith.SpatialRegistry([], [], [])
    with pytest.raises(ValueError, match="merge"):
        compile_building(reg, merge="wall")
    with pytest.raises(TypeError, match="registry"):
        compile_building([])  # type: ignore[arg-type]
    graph = compile_building(reg)
    assert graph.nodes == [] and graph.edges == []


def _floor(n, z, up):
    vs = [kovalith.Vector3D(i, j, z) for j in range(n + 1) for i in range(n + 1)]
    fs = []
    for j in range(n):
        for i in range(n):
            q = [j * (n + 1) + i, j * (n + 1) + i + 1, (j + 1) * (n + 1) + i + 1, (j + 1) * (n + 1) + i]
            fs.append(q if up else q[::-1])
    return kovalith.Mesh(vs, fs)


@pytest.mark.parametrize("call", ["compile_building", "space_boundaries"])
@pytest.mark.parametrize("polls", [1, 3, 50])
def test_ctrl_c_stops_the_search(polls, call):
    """One floor mesh of 40,000 quads under another: a SIGINT at any poll of
    the search (raised there by the test hook, through the interpreter's
    signal handling) raises KeyboardInterrupt and leaves the registry as it
    was; the next compile completes."""
    reg = kovalith.SpatialRegistry([_floor(200, 0.0, True), _floor(200, 0.5, False)], [], [])
    kovalith._interrupt_after(polls)
    try:
        with pytest.raises(KeyboardInterrupt):
            getattr(kovalith.building, call)(reg, merge="face")
    finally:
        kovalith._interrupt_after(0)
    assert len(reg.meshes) == 2 and reg.meshes[1].faces[:3] == _floor(200, 0.5, False).faces[:3]
    assert len(compile_building(kovalith.SpatialRegistry(reg.meshes, [], []), merge="plane").edges) == 1


def _box(x0, y0, z0, x1, y1, z1):
    v = [kovalith.Vector3D(x, y, z) for z in (z0, z1) for y in (y0, y1) for x in (x0, x1)]
    return kovalith.Mesh(v, [[0, 2, 3, 1], [4, 5, 7, 6], [0, 1, 5, 4], [2, 6, 7, 3], [0, 4, 6, 2], [1, 3, 7, 5]])


@pytest.mark.parametrize("call", ["compile_building", "contact_regions"])
@pytest.mark.parametrize("polls", [1, 3, 8])
def test_ctrl_c_stops_openings_stacked_over_one_contact(polls, call):
    """20,000 openings through one slab's depth over one floor contact: the
    opening index and the one long task that cuts them stop at a Ctrl-C
    (raised by the test hook at a chosen poll) with KeyboardInterrupt, and
    the next compile gives what an uninterrupted one gave."""
    count = 20_000
    rooms = [_box(0, 0, 0, 40, 40, 3), _box(0, 0, 3.3, 40, 40, 6.3)]
    holes = [_box(10, 10, 3 + 0.3 * k / count, 11, 11.8, 3 + 0.3 * (k + 1) / count) for k in range(count)]
    reg = kovalith.SpatialRegistry(rooms, [], holes)
    settings = {"opening_orientations": ["slab"] * count}
    expected = [(e.node_a, e.node_b, e.shared_area) for e in compile_building(reg, **settings).edges]
    assert expected == [(0, 1, pytest.approx(40 * 40 - 1 * 1.8))]
    kovalith._interrupt_after(polls)
    try:
        with pytest.raises(KeyboardInterrupt):
            getattr(kovalith.building, call)(reg, **settings)
    finally:
        kovalith._interrupt_after(0)
    assert [(e.node_a, e.node_b, e.shared_area) for e in compile_building(reg, **settings).edges] == expected
