"""space_boundaries on small random registries (those of the graph harness)
with random element bodies and settings, some of them hostile.

Checked: the graph equals compile_building's for the same settings; the
pieces are deterministic across two runs; contact pieces are paired both
ways across their edge's two rooms; every area is finite; and where every room
is a closed box apart from the others, each room's pieces sum to its
surface area."""

import math
import warnings

from decode import BOX_FACES, Reader, box_points, mesh_data, use_test_helpers
from harness_graph import as_mesh, registry_data
from kovalith import SpatialRegistry, Vector3D, Wire
from kovalith.building import compile_building, space_boundaries

use_test_helpers()

MERGES = ("face", "plane", "room")
KINDS = ("physical", "virtual", "crossing")
ORIENTATIONS = ("any", "wall", "slab")


def element(r: Reader, meshes):
    """A slab of a box's face (a wall or floor behind it), or any mesh."""
    if not meshes or r.chance(3):
        return mesh_data(r, max_vertices=8, max_faces=6)
    points, _ = r.choice(meshes)
    if len(points) != 8 or not all(math.isfinite(c) for p in points for c in p):
        return mesh_data(r, max_vertices=8, max_faces=6)
    lo, hi = list(points[0]), list(points[6])
    axis = r.small(2)
    thick = r.choice([0.2, 0.0, 0.5, 3.0])
    if r.chance(2):
        lo[axis], hi[axis] = hi[axis], hi[axis] + thick
    else:
        lo[axis], hi[axis] = lo[axis] - thick, lo[axis]
    return box_points(*lo, *hi), [list(f) for f in BOX_FACES]


def face_area(points, face):
    """Sum of the face's fan triangles' areas (0 for non-finite corners)."""
    total = 0.0
    a = points[face[0]]
    for k in range(2, len(face)):
        b, c = points[face[k - 1]], points[face[k]]
        u = [b[i] - a[i] for i in range(3)]
        v = [c[i] - a[i] for i in range(3)]
        n = (u[1] * v[2] - u[2] * v[1], u[2] * v[0] - u[0] * v[2], u[0] * v[1] - u[1] * v[0])
        total += 0.5 * math.sqrt(sum(x * x for x in n))
    return total if math.isfinite(total) else 0.0


def key(pieces):
    return repr([(p.room, p.other, p.edge, p.corresponding, p.element, p.area, p.depth,
                  p.polygon.outer.tolist(), [o.opening for o in p.openings]) for p in pieces])


def test_one_input(data: bytes) -> None:
    r = Reader(data)
    meshes, wires, apertures = registry_data(r)
    elements = [element(r, meshes) for _ in range(r.small(3))]
    settings = dict(distance=r.choice([1e-3, 0.0, 0.05]), wall_gap=r.choice([0.5, 0.0, 2.0]),
                    slab_gap=r.choice([2.0, 0.3]), min_area=r.choice([0.01, 0.0]),
                    merge=r.choice(MERGES))
    if elements:
        settings["elements"] = [as_mesh(e) for e in elements]
        settings["element_kinds"] = [r.choice(KINDS) for _ in elements]
    if apertures and r.chance(2):
        settings["opening_orientations"] = [r.choice(ORIENTATIONS) for _ in apertures]
    registry = SpatialRegistry([as_mesh(m) for m in meshes],
                               [Wire(Vector3D(*a), Vector3D(*b)) for a, b in wires],
                               [as_mesh(m) for m in apertures])
    with warnings.catch_warnings():  # settings out of scale are meant here
        warnings.simplefilter("ignore")
        graph, pieces = space_boundaries(registry, **settings)
        plain = compile_building(registry, **settings)
        again = space_boundaries(registry, **settings)[1]
    assert [(e.node_a, e.node_b, e.shared_area, e.contact_type) for e in graph.edges] == \
        [(e.node_a, e.node_b, e.shared_area, e.contact_type) for e in plain.edges]
    assert key(again) == key(pieces)

    covered = [0.0] * len(meshes)
    for k, p in enumerate(pieces):
        assert math.isfinite(p.area) and p.area > 0.0 and math.isfinite(p.depth)
        assert all(math.isfinite(o.area) and o.area <= p.area * (1 + 1e-6) + 1e-9 for o in p.openings)
        covered[p.room] += p.area
        if p.other is None:
            assert p.edge is None and p.corresponding is None
            continue
        edge = graph.edges[p.edge]
        assert {p.room, p.other} == {edge.node_a, edge.node_b}
        if p.corresponding is not None:
            q = pieces[p.corresponding]
            assert (q.corresponding, q.room, q.other, q.edge) == (k, p.other, p.room, p.edge)
    # Where rooms overlap, each pair gets the face area it shares, so the
    # pieces of one face may overlap too: the sums hold for separate boxes.
    boxes = [box_corners(points, faces) for points, faces in meshes]
    if all(boxes) and all(not interiors_meet(a, b) for k, a in enumerate(boxes) for b in boxes[k + 1:]):
        for (points, faces), area in zip(meshes, covered):
            total = sum(face_area(points, f) for f in faces)
            assert math.isclose(area, total, rel_tol=1e-6, abs_tol=1e-9), (area, total)


def box_corners(points, faces):
    """(lo, hi) of a closed, finite, not too large box made by box_points, else None."""
    if len(points) != 8 or [tuple(f) for f in faces] != BOX_FACES:
        return None
    lo, hi = points[0], points[6]
    if not all(abs(c) < 1e6 for c in lo + hi) or points != box_points(*lo, *hi):
        return None
    return (lo, hi) if all(h > l for l, h in zip(lo, hi)) else None


def interiors_meet(a, b):
    return all(min(a[1][k], b[1][k]) > max(a[0][k], b[0][k]) for k in range(3))

if __name__ == "__main__":
    from decode import fuzz_forever

    fuzz_forever(test_one_input)
