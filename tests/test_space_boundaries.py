"""space_boundaries: every room's surface cut into contact and exterior
pieces, checked against the generator's plan and against plain sums over
the room meshes."""

import math

import numpy as np
import pytest
from graph_helpers import box, building

from kovalith import SpatialRegistry
from kovalith.building import compile_building, space_boundaries


def _surface_area(mesh):
    """Area of a mesh's faces, summed over fan triangles."""
    v = np.array([[p.x, p.y, p.z] for p in mesh.vertices])
    total = 0.0
    for face in mesh.faces:
        a = v[face[0]]
        for k in range(2, len(face)):
            total += 0.5 * np.linalg.norm(np.cross(v[face[k - 1]] - a, v[face[k]] - a))
    return total


def _signed_area(ring, normal):
    cross = np.cross(ring[:-1] - ring[0], ring[1:] - ring[0]).sum(axis=0)
    return 0.5 * float(np.dot(cross, normal))


@pytest.mark.parametrize("options", [
    dict(),
    dict(split=2, angle=0.4, shift=(5e3, -5e3, 20.0), door_kind="panel"),
    dict(missing=0.3, inside_out=0.3, shaft=1.0, seed=3),
], ids=["plain", "triangulated-rotated-far", "missing-inside-out-shafts"])
def test_pieces_partition_every_room_and_pair_every_contact(options):
    options = {"seed": 7, **options}
    b, truth = building.real_building(3, 3, 3, elements=True, **options)
    registry = b.registry()
    elements = b.element_meshes()
    graph, pieces = space_boundaries(registry, elements=elements)
    plain = compile_building(registry, elements=elements)
    assert [(e.node_a, e.node_b, e.shared_area) for e in graph.edges] == \
        [(e.node_a, e.node_b, e.shared_area) for e in plain.edges]

    rooms = registry.meshes
    for r, mesh in enumerate(rooms):
        own = [p for p in pieces if p.room == r]
        assert sum(p.area for p in own) == pytest.approx(_surface_area(mesh), rel=1e-6)
        corners = np.array([[q.x, q.y, q.z] for q in mesh.vertices])
        for p in own:
            # On the room's face: for these box rooms the outermost plane along the normal.
            level = (corners @ p.normal).max()
            for ring in [p.polygon.outer, *p.polygon.holes]:
                assert np.abs(ring @ p.normal - level).max() < 1e-6 * (1 + np.abs(ring).max())
                assert (ring[0] == ring[-1]).all()
            assert _signed_area(p.polygon.outer, p.normal) > 0
            assert all(_signed_area(h, p.normal) < 0 for h in p.polygon.holes)

    by_edge = {}
    for k, p in enumerate(pieces):
        if p.other is None:
            assert p.edge is None and p.corresponding is None
            continue
        q = pieces[p.corresponding]
        assert (q.corresponding, q.room, q.other, q.edge, q.element) == (k, p.other, p.room, p.edge, p.element)
        assert q.area == pytest.approx(p.area, rel=1e-9)
        assert np.dot(q.normal, p.normal) < -0.999
        assert sorted(o.opening for o in q.openings) == sorted(o.opening for o in p.openings)
        edge = graph.edges[p.edge]
        assert {p.room, p.other} == {edge.node_a, edge.node_b}
        if p.room == edge.node_a:
            by_edge.setdefault(p.edge, []).append(p)

    assert sorted(by_edge) == list(range(len(graph.edges)))
    for k, own in by_edge.items():
        edge = graph.edges[k]
        want = truth[edge.node_a, edge.node_b]
        assert sum(p.area for p in own) == pytest.approx(want.area + want.opening_area, rel=1e-6)
        assert sorted({o.opening for p in own for o in p.openings}) == want.openings
        assert sum(o.area for p in own for o in p.openings) == pytest.approx(want.opening_area, abs=1e-6)
        # Every generated contact has a wall or slab body behind it, the
        # edge's own, and the depth is its gap.
        assert sorted({p.element for p in own}) == edge.get_attribute("elements")
        assert all(p.depth == pytest.approx(want.gap, rel=1e-6) for p in own)


A, B, C = box(0, 0, 0, 4, 5, 3), box(4.2, 0, 0, 8, 5, 3), box(0, 0, 3.3, 4, 5, 6.3)
WALL, SLAB = box(4, 0, 0, 4.2, 5, 3), box(0, 0, 3, 4.2, 5, 3.3)
OUTER_WALL = box(-0.3, 0, 0, 0, 5, 3)
ROOF = box(-0.3, 0, 6.3, 4.2, 5, 6.6)
GROUND = box(-0.3, 0, -0.3, 8, 5, 0)
CLADDING = box(-0.5, 0, 0, -0.3, 5, 3)  # beyond the outer wall: never the nearest
DOOR, WINDOW = box(4, 2, 0, 4.2, 3, 2.1), box(-0.35, 1, 1, 0.05, 2, 2)
SKYLIGHT = box(1, 1, 6.3, 2, 3, 6.6)

X, Y, Z = (1, 0, 0), (0, 1, 0), (0, 0, 1)
NX, NY, NZ = (-1, 0, 0), (0, -1, 0), (0, 0, -1)
# Per room, its pieces: (normal, other room, element, area, depth, {opening: area}).
EXPECTED = {
    0: [(X, 1, 0, 15.0, 0.2, {0: 2.1}), (Z, 2, 1, 20.0, 0.3, {}), (NX, None, 2, 15.0, 0.3, {1: 1.0}),
        (NZ, None, 4, 20.0, 0.3, {}), (Y, None, None, 12.0, 0.0, {}), (NY, None, None, 12.0, 0.0, {})],
    1: [(NX, 0, 0, 15.0, 0.2, {0: 2.1}), (NZ, None, 4, 19.0, 0.3, {}), (Z, None, None, 19.0, 0.0, {}),
        (X, None, None, 15.0, 0.0, {}), (Y, None, None, 11.4, 0.0, {}), (NY, None, None, 11.4, 0.0, {})],
    2: [(NZ, 0, 1, 20.0, 0.3, {}), (Z, None, 3, 20.0, 0.3, {2: 2.0}), (X, None, None, 15.0, 0.0, {}),
        (NX, None, None, 15.0, 0.0, {}), (Y, None, None, 12.0, 0.0, {}), (NY, None, None, 12.0, 0.0, {})],
}


@pytest.mark.parametrize("merge", ["plane", "face", "room"])
def test_exterior_pieces_find_the_element_behind_and_its_openings(merge):
    """Two rooms behind a wall with a door, a room above over a slab; an
    outer wall with a window (its box proud of both faces) and cladding
    beyond it, a ground slab under both ground rooms, a roof with a
    skylight: what the plan says lies behind each face."""
    elements = [WALL, SLAB, OUTER_WALL, ROOF, GROUND, CLADDING]
    registry = SpatialRegistry([A, B, C], [], [DOOR, WINDOW, SKYLIGHT])
    _, pieces = space_boundaries(registry, elements=elements, merge=merge)
    got = {r: sorted((tuple(np.round(p.normal).astype(int).tolist()), p.other, p.element, round(p.area, 6),
                      round(p.depth, 6), {o.opening: round(o.area, 6) for o in p.openings})
                     for p in pieces if p.room == r) for r in range(3)}
    want = {r: sorted((n, o, e, a, d, dict(op)) for n, o, e, a, d, op in rows) for r, rows in EXPECTED.items()}
    assert got == want


def test_a_fan_of_slivers_is_one_piece_and_a_lone_room_has_its_faces():
    """Faces of one plane merge: a wall drawn as a fan of slivers from one
    corner gives one piece per plane, and a room alone is all exterior."""
    fan = box(0, 0, 0, 4, 5, 3)
    vertices = [(p.x, p.y, p.z) for p in fan.vertices]
    faces = [list(f) for f in fan.faces]
    # Replace the +x face by a fan of 40 triangles from one corner.
    x_face = next(f for f in faces if all(vertices[k][0] == 4 for k in f))
    faces.remove(x_face)
    a, b, c, d = (vertices[k] for k in x_face)
    edge_points = [tuple(b[i] + (c[i] - b[i]) * t / 20 for i in range(3)) for t in range(21)] + \
        [tuple(c[i] + (d[i] - c[i]) * t / 20 for i in range(3)) for t in range(1, 21)]
    first = len(vertices)
    vertices += [a] + edge_points
    faces += [[first, first + 1 + t, first + 2 + t] for t in range(len(edge_points) - 1)]
    from kovalith import Mesh, Vector3D
    room = Mesh([Vector3D(*p) for p in vertices], faces)
    _, pieces = space_boundaries(SpatialRegistry([room, box(20, 0, 0, 21, 1, 1)], [], []))
    own = [p for p in pieces if p.room == 0]
    assert len(own) == 6
    assert sum(p.area for p in own) == pytest.approx(2 * (20 + 12 + 15))
    assert all(p.other is None and p.element is None and not p.openings for p in pieces)
    assert math.isclose(sum(p.area for p in pieces if p.room == 1), 6.0)
