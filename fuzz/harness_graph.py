"""build_spatial_graph on small random registries: boxes on a coarse grid (so
that walls and slabs touch), openings laid on their faces, wires through
them, some coordinates and tolerances hostile.

Checked: what every graph must satisfy (node per mesh with the vertex mean
as centroid, node_a < node_b, areas above the tolerance, wire contacts
sorted and unique), determinism across two builds, and equality with the
plain reference build of the test probe (every face scanned, one thread)."""

import math

from decode import BOX_FACES, Reader, box_points, mesh_data, use_test_helpers
from kovalith import Mesh, SpatialRegistry, Vector3D, Wire

use_test_helpers()
from graph_helpers import load_probe, summary  # noqa: E402

probe = load_probe()
REFERENCE = dict(faces="scan", apertures_mode="scan", wires_mode="brute_force",
                 execution="serial")
CONTACT_TYPES = {"VerticalWallContact", "HorizontalSlabContact"}


def opening(r: Reader, meshes):
    """A quad inside one face of a mesh (a door or stair hole), or any mesh."""
    if not meshes or r.chance(4):
        return mesh_data(r, max_vertices=6, max_faces=2)
    points, faces = r.choice(meshes)
    if not faces:
        return [], []
    face = [points[i] for i in r.choice(faces)][:4]
    if len(face) < 4:
        return face, [[0, 1, 2]] if len(face) == 3 else []
    # Shrink towards the centre by a random factor; sometimes the whole face.
    t = r.choice([0.25, 0.5, 0.0, 0.1])
    centre = [sum(p[k] for p in face) / 4 for k in range(3)]
    return [tuple(p[k] + (centre[k] - p[k]) * t for k in range(3)) for p in face], [[0, 1, 2, 3]]


def corners(points):
    """Lower and upper corner of a box made by box_points, else None."""
    if len(points) != 8:
        return None
    lo, hi = points[0], points[6]
    return (lo, hi) if all(math.isfinite(c) for c in lo + hi) else None


def neighbour(r: Reader, meshes):
    """A box against a face of an earlier box, sometimes shifted along it."""
    boxes = [c for c in (corners(p) for p, _ in meshes) if c]
    if not boxes:
        return mesh_data(r)
    lo, hi = (list(c) for c in r.choice(boxes))
    axis = r.small(2)
    size = hi[axis] - lo[axis]
    if r.chance(2):
        lo[axis], hi[axis] = lo[axis] - size, lo[axis]
    else:
        lo[axis], hi[axis] = hi[axis], hi[axis] + size
    other = (axis + 1 + r.small(1)) % 3
    shift = r.choice([0.0, 0.0, 0.5, 1.0, -0.25])
    lo[other] += shift
    hi[other] += shift
    return box_points(*lo, *hi), [list(f) for f in BOX_FACES]


def wire(r: Reader, meshes):
    """Mostly a vertical wire through the middle of a box; sometimes any."""
    boxes = [c for c in (corners(p) for p, _ in meshes) if c]
    if not boxes or r.chance(4):
        return (r.coord(), r.coord(), r.coord()), (r.coord(), r.coord(), r.coord())
    lo, hi = r.choice(boxes)
    x, y = (lo[0] + hi[0]) / 2, (lo[1] + hi[1]) / 2
    return (x, y, lo[2] + r.choice([0.0, 0.25, -1.0])), (x, y, hi[2] + r.choice([0.0, 0.5, -2.0]))


def registry_data(r: Reader):
    meshes = []
    for _ in range(1 + r.small(4)):
        meshes.append(neighbour(r, meshes) if meshes and not r.chance(3) else mesh_data(r))
    apertures = [opening(r, meshes) for _ in range(r.small(3))]
    wires = [wire(r, meshes) for _ in range(r.small(3))]
    return meshes, wires, apertures


def as_mesh(data) -> Mesh:
    points, faces = data
    return Mesh([Vector3D(*p) for p in points], faces)


def vertex_mean(points):
    if not points:
        return (math.nan,) * 3
    sums = [0.0, 0.0, 0.0]
    for p in points:
        for k in range(3):
            sums[k] += p[k]
    return tuple(s / len(points) for s in sums)


def check_graph(graph, meshes, wires, tolerance) -> None:
    nodes, edges, contacts = graph.nodes, graph.edges, graph.wire_contacts
    assert [n.index for n in nodes] == list(range(len(meshes)))
    for node, (points, _) in zip(nodes, meshes):
        c = node.centroid
        assert repr((c.x, c.y, c.z)) == repr(vertex_mean(points))
    for e in edges:
        assert e.node_a < e.node_b < len(meshes)
        assert e.shared_area > tolerance and e.contact_type in CONTACT_TYPES
    assert [e.node_a for e in edges] == sorted(e.node_a for e in edges)
    pairs = [(c.wire_index, c.mesh_index) for c in contacts]
    assert pairs == sorted(set(pairs))
    assert all(w < len(wires) and m < len(meshes) for w, m in pairs)


def test_one_input(data: bytes) -> None:
    r = Reader(data)
    meshes, wires, apertures = registry_data(r)
    tolerance = r.tolerance()
    registry = SpatialRegistry([as_mesh(m) for m in meshes],
                               [Wire(Vector3D(*a), Vector3D(*b)) for a, b in wires],
                               [as_mesh(m) for m in apertures])
    graph = registry.build_spatial_graph(tolerance)
    check_graph(graph, meshes, wires, tolerance)

    first = repr(summary(graph))
    assert repr(summary(registry.build_spatial_graph(tolerance))) == first
    centroids, edges, contacts = probe.build(meshes, wires, apertures, tolerance, **REFERENCE)
    assert repr(([(k, c) for k, c in enumerate(centroids)], edges, contacts)) == repr(
        ([(n.index, (n.centroid.x, n.centroid.y, n.centroid.z)) for n in graph.nodes],
         [(e.node_a, e.node_b, e.shared_area,
           (e.contact_centroid.x, e.contact_centroid.y, e.contact_centroid.z), e.contact_type)
          for e in graph.edges],
         [(c.wire_index, c.mesh_index) for c in graph.wire_contacts]))
    assert len(registry.meshes) == len(meshes) and len(registry.apertures) == len(apertures)


if __name__ == "__main__":
    from decode import fuzz_forever

    fuzz_forever(test_one_input)
