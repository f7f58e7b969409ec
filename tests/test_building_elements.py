"""compile_building's opening attribution and element search on small
buildings whose answer follows from the plan: which openings lie mostly in a
contact, which elements fill its gap, which stairs pass through a floor.

Plan (metres): rooms A (x 0..4) and B (x 4.2..8) on the ground floor behind a
0.2 m wall at x 4..4.2, y 0..5, z 0..3; room C above A (z 3.3..6.3) over a
0.3 m slab. Each case adds elements or openings and states every edge's
expected lists.
"""

import pytest
from graph_helpers import box

from kovalith import Mesh, SpatialRegistry, Vector3D
from kovalith.building import compile_building

A, B, C = box(0, 0, 0, 4, 5, 3), box(4.2, 0, 0, 8, 5, 3), box(0, 0, 3.3, 4, 5, 6.3)
WALL = box(4, 0, 0, 4.2, 5, 3)
SLAB = box(0, 0, 3, 4.2, 5, 3.3)
UPPER_WALL = box(4, 0, 3.3, 4.2, 5, 6.3)  # stands on the slab, outside C
RAILING = box(1, 1, 3.3, 3, 1.05, 4.4)  # stands on C's floor
VIRTUAL = Mesh([Vector3D(4.1, 0, 0), Vector3D(4.1, 5, 0), Vector3D(4.1, 5, 3), Vector3D(4.1, 0, 3)],
               [[0, 1, 2, 3]])


def flight(z0, z1):
    """A stair flight: a ramp-shaped prism rising along x from z0 to z1 over x 1..3, y 1..2."""
    points = [(1, 1, z0), (3, 1, z0), (3, 1, z1), (1, 2, z0), (3, 2, z0), (3, 2, z1)]
    faces = [[0, 2, 1], [3, 4, 5], [0, 1, 4, 3], [1, 2, 5, 4], [0, 3, 5, 2]]
    return Mesh([Vector3D(*p) for p in points], faces)


DOOR = box(4, 2, 0, 4.2, 3, 2.1)
DOOR_ON_SLAB = box(2, 2, 3.3, 2.2, 3, 5.4)  # a door box inside C whose underside lies on the slab
THICK_DOOR = box(3.98, 2, 0, 4.22, 3, 2.1)  # an opening box 2 cm proud of both faces of the wall
GRAZING_HOLE = box(3.99, 0, 3, 5, 5, 3.3)  # a slab hole meeting the A-C contact by 0.05 m2

# name: (rooms, apertures, orientations, elements, kinds, {pair: expected})
CASES = {
    "wall and slab behind their contacts": (
        [A, B, C], [], None, [WALL, SLAB, UPPER_WALL, RAILING], None,
        {(0, 1): dict(elements=[0], virtual=False), (0, 2): dict(elements=[1], virtual=False)}),
    "nothing behind a gap": (
        [A, B, C], [], None, [], None,
        {(0, 1): dict(elements=[], virtual=True), (0, 2): dict(elements=[], virtual=True)}),
    "a virtual boundary": (
        [A, B, C], [], None, [VIRTUAL, SLAB], ["virtual", "physical"],
        {(0, 1): dict(elements=[0], virtual=True), (0, 2): dict(elements=[1], virtual=False)}),
    "a flight through the slab": (
        [A, B, C], [], None, [SLAB, flight(0.0, 3.3)], ["physical", "crossing"],
        {(0, 1): dict(crossings=[]), (0, 2): dict(elements=[0], crossings=[1])}),
    "flights that stop short of a storey": (
        [A, B, C], [], None, [flight(0.0, 2.9), flight(3.3, 6.0)], ["crossing", "crossing"],
        {(0, 1): dict(crossings=[]), (0, 2): dict(crossings=[], elements=[])}),
    "a door cuts the wall, never the slab it stands on": (
        [A, B, C], [DOOR, DOOR_ON_SLAB], ["wall", "wall"], None, None,
        {(0, 1): dict(openings=[0], opening_area=2.1), (0, 2): dict(openings=[], opening_area=0.0)}),
    "without orientations a door box on the slab cuts it": (
        [A, B, C], [DOOR, DOOR_ON_SLAB], None, None, None,
        {(0, 1): dict(openings=[0], opening_area=2.1), (0, 2): dict(openings=[1], opening_area=0.2)}),
    "an opening box proud of both wall faces": (
        [A, B, C], [THICK_DOOR], ["wall"], None, None,
        {(0, 1): dict(openings=[0], opening_area=2.1), (0, 2): dict(openings=[], opening_area=0.0)}),
    "a grazing hole removes its sliver but is not listed": (
        [A, B, C], [GRAZING_HOLE], ["slab"], None, None,
        {(0, 1): dict(openings=[], opening_area=0.0), (0, 2): dict(openings=[], opening_area=0.05)}),
    "a door straddling two contacts belongs to the larger share": (
        [A, box(4.2, 0, 0, 8, 2.5, 3), box(4.2, 2.5, 0, 8, 5, 3)], [box(4, 2.2, 0, 4.2, 3.2, 2.1)], None,
        None, None,
        {(0, 1): dict(openings=[], opening_area=0.3 * 2.1), (0, 2): dict(openings=[0], opening_area=0.7 * 2.1),
         (1, 2): dict(openings=[], gap=0.0)}),
    "a floor wholly inside a stair hole": (
        [box(0, 0, 0, 1, 1, 3), box(0, 0, 3.3, 1, 1, 6.3)], [box(-0.5, -0.5, 3, 1.5, 1.5, 3.3)], ["slab"],
        None, None,
        {(0, 1): dict(openings=[0], opening_area=1.0, shared_area=0.0, contact_centroid=[0.5, 0.5, 3.15])}),
}


@pytest.mark.parametrize("merge", ["plane", "face"])
@pytest.mark.parametrize("case", list(CASES))
def test_plan_truth(case, merge):
    rooms, apertures, orientations, elements, kinds, truth = CASES[case]
    registry = SpatialRegistry(rooms, [], apertures)
    graph = compile_building(registry, merge=merge, elements=elements, element_kinds=kinds,
                             opening_orientations=orientations)
    got = {}
    for e in graph.edges:
        got.setdefault((e.node_a, e.node_b), []).append(e)
    assert set(got) == set(truth)
    for pair, want in truth.items():
        [edge] = got[pair]  # one face pair per contact in these plans
        attrs = edge.get_all_attributes()
        assert ("elements" in attrs) == (elements is not None)
        for key, value in want.items():
            if key == "shared_area":
                assert edge.shared_area == pytest.approx(value, abs=1e-9), (pair, key)
            elif key == "contact_centroid":
                c = edge.contact_centroid
                assert [c.x, c.y, c.z] == pytest.approx(value, abs=1e-9), (pair, key)
            elif isinstance(value, float):
                assert attrs[key] == pytest.approx(value, abs=1e-9), (pair, key)
            else:
                assert attrs[key] == value, (pair, key)
        if attrs["opening_area"] > 0:
            assert len(attrs["opening_centroid"]) == 3
        else:
            assert "opening_centroid" not in attrs


def test_a_triangulated_wall_lists_its_door_once():
    """Merged over the triangles of both faces, the door's share adds up."""
    def fan(mesh):
        faces = [f[i:i + 3] if i == 0 else [f[0], f[i], f[i + 1]] for f in mesh.faces for i in (0, 2)]
        return Mesh(mesh.vertices, faces)

    registry = SpatialRegistry([fan(A), fan(B)], [], [box(4, 1.5, 0, 4.2, 3.5, 2.1)])
    [edge] = compile_building(registry).edges
    assert edge.get_attribute("openings") == [0]
    assert edge.get_attribute("opening_area") == pytest.approx(2 * 2.1)
    assert edge.shared_area == pytest.approx(15 - 4.2)


@pytest.mark.parametrize("kwargs, error, message", [
    (dict(element_kinds=["physical"]), ValueError, "element_kinds needs elements"),
    (dict(elements=[WALL], element_kinds=["solid"]), ValueError, r"element_kinds\[0\] must be one of"),
    (dict(elements=[WALL], element_kinds=["physical", "virtual"]), ValueError, "2 items for 1 elements"),
    (dict(elements=[WALL, "wall"]), TypeError, r"elements\[1\] must be a kovalith.Mesh"),
    (dict(opening_orientations=["wall"]), ValueError, "1 items for 0 openings"),
    (dict(opening_orientations="wall"), TypeError, "sequence of str"),
])
def test_bad_extras(kwargs, error, message):
    with pytest.raises(error, match=message):
        compile_building(SpatialRegistry([A, B], [], []), **kwargs)


def _signed_area(ring, normal):
    """Area of a closed 3D ring about `normal` (positive: counter-clockwise)."""
    import numpy as np

    cross = np.cross(ring[:-1] - ring[0], ring[1:] - ring[0]).sum(axis=0)
    return 0.5 * float(np.dot(cross, normal))


@pytest.mark.parametrize("options", [dict(split=2), dict(split=2, angle=0.4, shift=(5e3, -5e3, 20.0))],
                         ids=["triangulated", "rotated-far"])
def test_regions_are_the_contacts(options):
    """Every edge's region: one polygon per contact plane however the faces
    were triangulated, with the generator's net area, on node_a's face, wound
    about its outward normal; doors at the floor notch the outer ring, stair
    holes inside the floor are holes."""
    import numpy as np
    from graph_helpers import building
    from kovalith.building import contact_regions

    b, truth = building.real_building(3, 3, 3, seed=5, **options)
    graph, regions, normals = contact_regions(b.registry())
    assert len(regions) == len(graph.edges) == len(truth)
    plain = compile_building(b.registry())
    for edge, same, polygons, normal in zip(graph.edges, plain.edges, regions, normals):
        want = truth[edge.node_a, edge.node_b]
        assert (edge.node_a, edge.node_b, edge.shared_area) == (same.node_a, same.node_b, same.shared_area)
        [polygon] = polygons
        area = _signed_area(polygon.outer, normal) + sum(_signed_area(h, normal) for h in polygon.holes)
        assert area == pytest.approx(want.area, rel=1e-6)
        assert len(polygon.holes) == (1 if want.slab and want.openings else 0)
        assert all(_signed_area(h, normal) < 0 for h in polygon.holes)
        assert (abs(normal[2]) > 0.707) == want.slab
        # On the plane of node_a's face: half the gap behind the contact centre.
        c = edge.contact_centroid
        plane_point = np.array([c.x, c.y, c.z]) - normal * want.gap / 2
        for ring in [polygon.outer, *polygon.holes]:
            assert np.abs((ring - plane_point) @ normal).max() < 1e-6 * (1 + np.abs(ring).max())
            assert (ring[0] == ring[-1]).all()


@pytest.mark.parametrize("seed", [1, 2])
def test_stacked_openings_remove_their_union(seed):
    """Hundreds of overlapping slab holes (more than one pass of the clipper
    takes) remove exactly their union's area, which a plain sweep over the
    compressed coordinates of the rectangles gives."""
    import random

    rng = random.Random(seed)
    rects = []
    for _ in range(400):
        x0, y0 = rng.uniform(0.5, 2.5), rng.uniform(0.5, 3.5)
        rects.append((x0, y0, x0 + rng.uniform(0.05, 1.2), y0 + rng.uniform(0.05, 1.0)))
    holes = [box(x0, y0, 3.0 + 0.3 * k / 400, x1, y1, 3.0 + 0.3 * (k + 1) / 400)
             for k, (x0, y0, x1, y1) in enumerate(rects)]
    import numpy as np

    xs = np.unique([v for r in rects for v in (r[0], r[2])])
    ys = np.unique([v for r in rects for v in (r[1], r[3])])
    cells = np.zeros((len(xs) - 1, len(ys) - 1), dtype=bool)
    for x0, y0, x1, y1 in rects:
        cells[np.searchsorted(xs, x0):np.searchsorted(xs, x1), np.searchsorted(ys, y0):np.searchsorted(ys, y1)] = True
    union = float((np.diff(xs)[:, None] * np.diff(ys)[None, :] * cells).sum())
    [edge] = compile_building(SpatialRegistry([A, C], [], holes), opening_orientations=["slab"] * 400).edges
    assert edge.get_attribute("opening_area") == pytest.approx(union, rel=1e-9)
    assert edge.shared_area == pytest.approx(20.0 - union, rel=1e-9)


@pytest.mark.parametrize("settings, warned", [
    (dict(), None),
    (dict(wall_gap=50.0), "wall_gap=50 exceeds the model's extent"),
    (dict(slab_gap=1e6), "slab_gap=1e\\+06 exceeds the model's extent"),
    (dict(distance=1.0), "distance=1 is over 0.01 of the model's extent"),
])
def test_settings_out_of_scale_warn(settings, warned):
    import warnings

    registry = SpatialRegistry([A, B, C], [], [])
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        graph = compile_building(registry, **settings)
    messages = [str(w.message) for w in caught]
    if warned is None:
        assert messages == []
    else:
        [message] = messages
        assert __import__("re").search(warned, message), message
        assert caught[0].filename == __file__  # points at the caller
    assert len(graph.edges) >= 2
