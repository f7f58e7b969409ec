"""The fast paths of the graph build against plain scans on the same inputs.

kovalith always takes the R*-tree of faces, the aperture index, the wire
prefilter and the worker pool; the test-only probe module runs the same native
build with any of them replaced by its reference: every leaf tested per query,
every aperture face tested per face, every triangle of every mesh per wire, one
thread."""

import math
import random

import pytest
from graph_helpers import building, load_probe

probe = load_probe()

REFERENCE = dict(faces="scan", apertures_mode="scan", wires_mode="brute_force",
                 execution="serial")


def run(b, tolerance=1e-3, **modes):
    return probe.build(b.meshes, b.wires, b.apertures, tolerance, **modes)


def tilt_apertures(b, seed, max_degrees):
    """Turns every aperture face about its first edge by a random small angle
    and lifts one corner off its plane: many distinct, non-planar normals."""
    rng = random.Random(seed)
    out = []
    for vertices, faces in b.apertures:
        (ax, ay, az), (bx, by, bz) = vertices[0], vertices[1]
        ux, uy, uz = bx - ax, by - ay, bz - az
        n = math.sqrt(ux * ux + uy * uy + uz * uz) or 1.0
        ux, uy, uz = ux / n, uy / n, uz / n
        t = math.radians(rng.uniform(-max_degrees, max_degrees))
        c, s = math.cos(t), math.sin(t)
        moved = []
        for x, y, z in vertices:
            px, py, pz = x - ax, y - ay, z - az
            d = px * ux + py * uy + pz * uz
            # Rodrigues' rotation about the unit axis u.
            cx, cy, cz = uy * pz - uz * py, uz * px - ux * pz, ux * py - uy * px
            moved.append((ax + px * c + cx * s + ux * d * (1 - c),
                          ay + py * c + cy * s + uy * d * (1 - c),
                          az + pz * c + cz * s + uz * d * (1 - c)))
        x, y, z = moved[-1]
        moved[-1] = (x + rng.uniform(-2e-3, 2e-3), y + rng.uniform(-2e-3, 2e-3), z)
        out.append((moved, faces))
    return building.Building(b.meshes, b.wires, out)


def pivot_apertures(b, seed, angles):
    """Turns each aperture mesh about an axis in its plane through the point of
    that plane nearest the world origin. The plane offsets (measured at the
    origin) barely change, so the turned faces still pass the coplanarity test
    while lying well off the walls they cut: the case the aperture query's
    tilt allowance exists for."""
    rng = random.Random(seed)
    out = []
    for vertices, faces in b.apertures:
        p0, p1, p2 = (vertices[i] for i in faces[0][:3])
        e1 = [p1[k] - p0[k] for k in range(3)]
        e2 = [p2[k] - p0[k] for k in range(3)]
        n = [e1[1] * e2[2] - e1[2] * e2[1], e1[2] * e2[0] - e1[0] * e2[2],
             e1[0] * e2[1] - e1[1] * e2[0]]
        ln = math.sqrt(sum(c * c for c in n))
        n = [c / ln for c in n]
        d = -sum(n[k] * p0[k] for k in range(3))
        foot = [-d * c for c in n]
        r = [rng.uniform(-1, 1) for _ in range(3)] if len(angles) > 3 else [0.0, 0.0, 1.0]
        axis = [n[1] * r[2] - n[2] * r[1], n[2] * r[0] - n[0] * r[2], n[0] * r[1] - n[1] * r[0]]
        la = math.sqrt(sum(c * c for c in axis)) or 1.0
        u = [c / la for c in axis]
        t = math.radians(rng.choice(angles))
        c, s = math.cos(t), math.sin(t)
        moved = []
        for p in vertices:
            q = [p[k] - foot[k] for k in range(3)]
            dq = sum(q[k] * u[k] for k in range(3))
            x = [u[1] * q[2] - u[2] * q[1], u[2] * q[0] - u[0] * q[2], u[0] * q[1] - u[1] * q[0]]
            moved.append(tuple(foot[k] + q[k] * c + x[k] * s + u[k] * dq * (1 - c)
                               for k in range(3)))
        out.append((moved, faces))
    return building.Building(b.meshes, b.wires, out)


def probing_wires(b, seed):
    """Wires whose midpoints sit on mesh corners, edge midpoints and face
    centres, plus random ones: the boundary cases of the ray parity test."""
    rng = random.Random(seed)
    wires = []
    for vertices, faces in rng.sample(b.meshes, min(12, len(b.meshes))):
        for face in faces:
            ring = [vertices[i] for i in face]
            centre = tuple(sum(p[k] for p in ring) / len(ring) for k in range(3))
            corner = ring[0]
            edge = tuple((ring[0][k] + ring[1][k]) / 2 for k in range(3))
            for m in (centre, corner, edge):
                h = rng.choice((0.0, 0.5, 1.0))
                wires.append(((m[0], m[1], m[2] - h), (m[0], m[1], m[2] + h)))
    return building.Building(b.meshes, b.wires + wires, b.apertures)


def assert_close(edges, reference):
    """The same edges in the same order, areas and centres equal to rounding."""
    assert [(e[0], e[1], e[4]) for e in edges] == [(e[0], e[1], e[4]) for e in reference]
    for got, want in zip(edges, reference):
        assert got[2] == pytest.approx(want[2], rel=1e-9, abs=1e-9)
        assert got[3] == pytest.approx(want[3], rel=1e-9, abs=1e-9)


def open_meshes(b, seed):
    """Drops a face from some rooms: the parity of an open mesh counts every
    face the ray meets above the midpoint, not just the enclosing cell."""
    rng = random.Random(seed)
    meshes = [(vs, [f for k, f in enumerate(fs) if k != rng.randrange(len(fs))])
              if rng.random() < 0.3 else (vs, fs) for vs, fs in b.meshes]
    return probing_wires(building.Building(meshes, b.wires, b.apertures), seed)


def hostile_coordinates(b, seed):
    """Puts NaN, infinite and huge coordinates into a few meshes, apertures and
    wires: boxes that the trees must keep out and faces that never match."""
    rng = random.Random(seed)
    bad = (math.nan, math.inf, -math.inf, 1e308)

    def spoil(mesh):
        vertices, faces = mesh
        vertices = list(vertices)
        k = rng.randrange(len(vertices))
        x, y, z = vertices[k]
        vertices[k] = (rng.choice(bad), y, z) if rng.random() < 0.5 else (x, y, rng.choice(bad))
        return vertices, faces

    meshes = [spoil(m) if rng.random() < 0.15 else m for m in b.meshes]
    apertures = [spoil(m) if rng.random() < 0.15 else m for m in b.apertures]
    wires = list(b.wires) + [((rng.choice(bad), 1.0, 1.0), (2.0, 2.0, 2.0)) for _ in range(3)]
    return building.Building(meshes, wires, apertures)


VARIANTS = {
    "plain": lambda b, seed: b,
    "hostile coordinates": hostile_coordinates,
    "open meshes": open_meshes,
    "tilted apertures": lambda b, seed: tilt_apertures(b, seed, 2.0),
    "boundary wires": probing_wires,
}


@pytest.mark.parametrize("variant", sorted(VARIANTS))
@pytest.mark.parametrize("seed", range(12))
def test_fast_paths_match_the_scans_exactly(seed, variant):
    b = VARIANTS[variant](building.random_building(seed, rooms_per_side=4, floors=3), seed)
    expected = run(b, **REFERENCE)
    assert repr(run(b)) == repr(expected)  # repr: NaN centroids compare equal too
    assert len(expected[1]) > 50 and len(expected[2]) > 10  # not a vacuous comparison


@pytest.mark.parametrize("tolerance", [1e-6, 0.05, 0.3])
def test_other_tolerances(tolerance):
    b = tilt_apertures(building.random_building(5, rooms_per_side=3, floors=2), 5, 10.0)
    assert run(b, tolerance) == run(b, tolerance, **REFERENCE)


# Few distinct tilts (the aperture normals fall into a handful of clusters)
# and a different tilt for every face (too many clusters: the bound from the
# tolerance alone).
@pytest.mark.parametrize("angles", [(-1.5, 0.0, 1.5), tuple(x / 10 for x in range(-20, 21))])
@pytest.mark.parametrize("seed", range(4))
def test_apertures_turned_off_their_walls(seed, angles):
    b = pivot_apertures(building.random_building(seed, rooms_per_side=5, floors=3), seed, angles)
    expected = run(b, 0.05, **REFERENCE)
    assert run(b, 0.05) == expected
    assert_close(expected[1], run(b, 0.05, apertures_mode="every_coplanar")[1])
    # Turned openings still cut some contacts.
    bare = probe.build(b.meshes, b.wires, [], 0.05)[1]
    assert sum(e[2] for e in bare) > sum(e[2] for e in expected[1]) + 1.0


def test_apertures_far_from_the_origin():
    # The tilt allowance of the aperture query grows with the distance from
    # the origin, where the plane offsets are measured.
    b = building.random_building(9, rooms_per_side=3, floors=2, rotate=True)
    shift = lambda p: (p[0] + 2e5, p[1] - 3e5, p[2] + 40.0)  # noqa: E731
    moved = building.Building(
        [([shift(p) for p in vs], fs) for vs, fs in b.meshes],
        [(shift(a), shift(c)) for a, c in b.wires],
        [([shift(p) for p in vs], fs) for vs, fs in b.apertures])
    moved = tilt_apertures(moved, 9, 1.0)
    assert run(moved) == run(moved, **REFERENCE)


@pytest.mark.parametrize("seed", range(6))
def test_indexed_apertures_match_every_coplanar_face(seed):
    """Against subtracting every coplanar aperture face for every pair, as
    written in the plain algorithm: the same edges; areas and centres agree to
    rounding, since the polygon library's grid follows the largest operand and
    a far-off face in the plane changes that grid."""
    b = tilt_apertures(building.random_building(seed), seed, 1.0) if seed % 2 else \
        building.random_building(seed)
    fast = run(b)[1]
    assert_close(fast, run(b, apertures_mode="every_coplanar")[1])
    # The apertures do cut: without them the areas differ.
    bare = probe.build(b.meshes, b.wires, [], 1e-3)[1]
    assert sum(e[2] for e in bare) > sum(e[2] for e in fast) + 1.0


class TestFaceIndex:
    @staticmethod
    def meshes():
        b = building.random_building(4, rooms_per_side=3, floors=2)
        return b.meshes

    def test_queries_match_the_scan(self):
        meshes = self.meshes()
        rng = random.Random(1)
        leaves = probe.leaf_envelopes(meshes, 1e-3)
        for _ in range(200):
            lo = [rng.uniform(-60, 60) for _ in range(3)]
            hi = [c + rng.choice((0.0, rng.uniform(0, 8))) for c in lo]
            first = rng.randrange(len(leaves))
            got = probe.query_leaves(meshes, 1e-3, lo, hi, first, True)
            assert got == probe.query_leaves(meshes, 1e-3, lo, hi, first, False)
        # Boxes equal to leaf envelopes find at least that leaf.
        for k in range(0, len(leaves), 7):
            lo, hi, _, _ = leaves[k]
            assert k in probe.query_leaves(meshes, 1e-3, lo, hi, 0, True)

    @pytest.mark.parametrize("lo, hi, hit", [
        ((1, 1, 1), (2, 2, 2), True),            # shares the corner (1, 1, 1)
        ((1, 0, 0), (2, 1, 1), True),            # shares a face
        ((1.0001, 0, 0), (2, 1, 1), False),
        ((math.nan, 0, 0), (2, 1, 1), False),
        ((-math.inf, -math.inf, -math.inf), (math.inf, math.inf, math.inf), True),
    ])
    def test_touching_boxes_intersect(self, lo, hi, hit):
        cube = building.box_mesh(0, 0, 0, 1, 1, 1)
        for indexed in (True, False):
            found = probe.query_leaves([cube], 0.0, lo, hi, 0, indexed)
            assert bool(found) == hit

    SQUARE = ([(1, 0, 0), (1, 1, 0), (1, 1, 1), (1, 0, 1)], [[0, 1, 2, 3]])
    SPANNING = ([(0, 0, 0), (1, 0, 1), (0, 1, 1)], [[0, 1, 2]])  # box 0..1 in every axis

    @pytest.mark.parametrize("mesh, tolerance, lo, hi", [
        (SQUARE, 1e-3, (0.999, -0.001, -0.001), (1.001, 1.001, 1.001)),
        (SPANNING, -0.25, (0.25, 0.25, 0.25), (0.75, 0.75, 0.75)),
        # The corners cross (1 and 0) and are spanned again.
        (SPANNING, -1.0, (0.0, 0.0, 0.0), (1.0, 1.0, 1.0)),
    ])
    def test_envelope_rule(self, mesh, tolerance, lo, hi):
        [(got_lo, got_hi, m, f)] = probe.leaf_envelopes([mesh], tolerance)
        assert (m, f) == (0, 0)
        assert got_lo == pytest.approx(lo, abs=1e-15) and got_hi == pytest.approx(hi, abs=1e-15)

    @pytest.mark.parametrize("gap, found", [(1.5e-3, True), (2.5e-3, False)])
    def test_faces_up_to_two_tolerances_apart_are_candidates(self, gap, found):
        def wall(x):
            return ([(x, 0, 0), (x, 1, 0), (x, 1, 1), (x, 0, 1)], [[0, 1, 2, 3]])
        [(lo, hi, _, _)] = probe.leaf_envelopes([wall(1.0 + gap)], 1e-3)
        assert bool(probe.query_leaves([wall(1.0)], 1e-3, lo, hi, 0, True)) == found
