"""The search shortcuts of both graph builds against plain references: one
pass over many openings against a chain of differences, the per-face index
query on a mesh spread over the site, faces without a plane kept out of
the candidate search, and room faces fetched nearest first against all
read at once."""

import math
import random
import warnings

import pytest
from graph_helpers import building, load_probe

import kovalith
from kovalith import Mesh, SpatialRegistry, Vector3D
from kovalith.building import compile_building

probe = load_probe()


def rect(x0, y0, x1, y1):
    return [[(x0, y0), (x1, y0), (x1, y1), (x0, y1)]]


def random_clip(rng, size):
    x, y = rng.uniform(-1, size), rng.uniform(-1, size)
    w, h = rng.uniform(0.05, 2.5), rng.uniform(0.05, 2.5)
    kind = rng.randrange(7)
    if kind == 0:
        ring = [(x, y), (x + w, y), (x + w, y + h), (x, y + h)]
        return [ring[::-1] if rng.random() < 0.5 else ring]
    if kind == 1:  # triangle
        return [[(x, y), (x + w, y), (x + rng.uniform(0, w), y + h)]]
    if kind == 2:  # bowtie: two lobes of opposite turn
        return [[(x, y), (x + w, y + h), (x + w, y), (x, y + h)]]
    if kind == 3:  # pentagram: its centre is covered twice, outside even-odd
        pts = [(x + w * math.cos(a), y + w * math.sin(a))
               for a in (2 * math.pi * k * 2 / 5 for k in range(5))]
        return [pts]
    if kind == 4:  # L shape, not convex
        return [[(x, y), (x + w, y), (x + w, y + h / 3), (x + w / 3, y + h / 3),
                 (x + w / 3, y + h), (x, y + h)]]
    if kind == 5:  # frame: a polygon with a hole
        return [[(x, y), (x + w, y), (x + w, y + h), (x, y + h)],
                [(x + w / 4, y + h / 4), (x + 3 * w / 4, y + h / 4), (x + 3 * w / 4, y + 3 * h / 4),
                 (x + w / 4, y + 3 * h / 4)]]
    return [[(x, y), (x, y), (x + w, y + h), (x + 2 * w, y + 2 * h)]]  # no area


def assert_same_measure(got, want, scale):
    assert got[0] == pytest.approx(want[0], rel=1e-9, abs=1e-12 * scale * scale)
    if want[0] > 1e-9 * scale * scale:
        assert got[1] == pytest.approx(want[1], rel=1e-9, abs=1e-9 * scale)


@pytest.mark.parametrize("seed, count", [(0, 5), (1, 40), (2, 150), (3, 500)])
def test_one_pass_equals_a_chain_of_differences(seed, count):
    rng = random.Random(seed)
    size = 3.0 * math.sqrt(count)
    subject = rect(0, 0, size, size * 0.6)
    if seed % 2:
        subject.append([(size / 3, size / 6), (size / 2, size / 6), (size / 2, size / 3)])
    clips = [random_clip(rng, size) for _ in range(count)]
    clips += clips[: count // 10]  # exact duplicates
    one_pass, union, chain = probe.subtract_clips(subject, clips)
    assert_same_measure(one_pass, chain, size)
    assert_same_measure(union, chain, size)


@pytest.mark.parametrize("layout", ["row", "grid", "piled"])
def test_many_doors_in_one_wall(layout):
    """The partition must split rows, grids and piles of openings alike (the
    chain of differences it is checked against grows with the square)."""
    n = 400
    if layout == "row":
        clips = [rect(k * 0.04 + 0.01, 0.1, k * 0.04 + 0.03, 0.9) for k in range(n)]
    elif layout == "grid":
        clips = [rect(a * 0.5 + 0.1, b * 0.5 + 0.1, a * 0.5 + 0.4, b * 0.5 + 0.4)
                 for a in range(20) for b in range(n // 20)]
    else:
        clips = [rect(1 + 1e-3 * k, 1, 3 + 1e-3 * k, 3) for k in range(n // 4)]
    subject = rect(0, 0, 20.0, 25.0)
    one_pass, union, chain = probe.subtract_clips(subject, clips)
    assert_same_measure(one_pass, chain, 25.0)
    assert_same_measure(union, chain, 25.0)


def unit_rooms(n):
    return [building.box_mesh(i, j, 0, i + 1, j + 1, 1) for j in range(n) for i in range(n)]


def floor_grid(n):
    vertices = [(i, j, 0.0) for j in range(n + 1) for i in range(n + 1)]
    faces = [[j * (n + 1) + i, j * (n + 1) + i + 1, (j + 1) * (n + 1) + i + 1,
              (j + 1) * (n + 1) + i] for j in range(n) for i in range(n)]
    return vertices, faces


def test_spread_out_mesh_listed_first():
    """One mesh of floor quads under a grid of rooms: each of its faces finds
    only the room above it, in both builds."""
    n = 7
    b = building.Building([floor_grid(n)] + unit_rooms(n))
    reference = dict(faces="scan", apertures_mode="scan", wires_mode="brute_force",
                     execution="serial")
    got = probe.build(b.meshes, b.wires, b.apertures, 1e-3)
    assert got == probe.build(b.meshes, b.wires, b.apertures, 1e-3, **reference)
    slab_pairs = sorted((e[0], e[1]) for e in got[1] if e[0] == 0)
    assert slab_pairs == [(0, k) for k in range(1, n * n + 1)]

    edges = compile_building(b.registry()).edges
    walls = {(1 + j * n + i, 1 + j * n + i + 1) for j in range(n) for i in range(n - 1)}
    walls |= {(1 + j * n + i, 1 + (j + 1) * n + i) for j in range(n - 1) for i in range(n)}
    assert {(e.node_a, e.node_b) for e in edges} == walls | set(slab_pairs)
    assert all(e.shared_area == pytest.approx(1.0) for e in edges)


def poison_meshes(rng):
    nan, inf = math.nan, math.inf
    vertices = [(nan, nan, nan), (nan, 0, 0), (0, nan, 1), (inf, 0, 0), (0, -inf, 0),
                (0, 0, 0), (1e300, 1e300, 0), (-1e300, -1e300, 0), (2e300, 2e300, 0)]
    faces = [rng.sample(range(5), 3) for _ in range(300)]
    faces += [[5, 6, 7], [6, 7, 8]]  # huge and degenerate: collinear corners
    return (vertices, faces)


@pytest.mark.parametrize("where", ["last", "first", "middle"])
def test_faces_without_a_plane_change_nothing(where):
    rng = random.Random(4)
    b, _ = building.real_building(3, 2, 2, seed=4, wall=0.0, slab=0.0, void=0.0)
    clean = (probe.build(b.meshes, b.wires, b.apertures, 1e-3),
             compile_building(b.registry()).edges)
    k = {"last": len(b.meshes), "first": 0, "middle": len(b.meshes) // 2}[where]
    meshes = b.meshes[:k] + [poison_meshes(rng)] + b.meshes[k:]
    poisoned = building.Building(meshes, b.wires, b.apertures + [poison_meshes(rng)])

    def renumber(node):
        return node if node < k else node + 1

    spec = probe.build(poisoned.meshes, poisoned.wires, poisoned.apertures, 1e-3)
    assert spec[1] == [(renumber(a), renumber(c), area, centre, kind)
                       for a, c, area, centre, kind in clean[0][1]]
    edges = compile_building(poisoned.registry()).edges
    assert [(e.node_a, e.node_b, e.shared_area) for e in edges] == [
        (renumber(e.node_a), renumber(e.node_b), e.shared_area) for e in clean[1]]


def _box(x0, y0, z0, x1, y1, z1):
    v = [Vector3D(x, y, z) for z in (z0, z1) for y in (y0, y1) for x in (x0, x1)]
    return Mesh(v, [[0, 2, 3, 1], [4, 5, 7, 6], [0, 1, 5, 4], [2, 6, 7, 3], [0, 4, 6, 2], [1, 3, 7, 5]])


def _stack(n):
    # n thin rooms in the 1 m slab gap between two rooms: every face of the
    # stack has all the others in its search box.
    rooms = [_box(0, 0, 0, 4, 4, 3), _box(0, 0, 4, 4, 4, 7)]
    return rooms + [_box(0, 0, 3.05 + k * 0.9 / n, 4, 4, 3.05 + (k + 0.5) * 0.9 / n) for k in range(n)]


def _edge_records(graph):
    return [(e.node_a, e.node_b, e.shared_area, e.contact_type, e.contact_centroid.x,
             e.contact_centroid.y, e.contact_centroid.z, repr(sorted(e.get_all_attributes().items())))
            for e in graph.edges]


NEAREST_FIRST_CASES = [
    ("doors and stairs", dict(), {}),
    ("triangulated, inside out, missing", dict(split=2, inside_out=0.3, missing=0.1), {}),
    ("rotated 5 km out, shafts", dict(angle=0.4, shift=(5000.0, -3000.0, 20.0), shaft=0.1), {}),
    ("millimetres", dict(scale=1000.0), dict(distance=1.0, wall_gap=500.0, slab_gap=2000.0)),
    ("gaps far beyond the model", dict(), dict(wall_gap=60.0, slab_gap=60.0)),
    ("rotated, gaps far beyond", dict(angle=0.4, missing=0.2), dict(wall_gap=60.0, slab_gap=60.0)),
]


@pytest.mark.parametrize("merge", ["face", "plane", "room"])
@pytest.mark.parametrize("name, shape, settings", NEAREST_FIRST_CASES, ids=[c[0] for c in NEAREST_FIRST_CASES])
def test_nearest_first_search_equals_reading_every_face(name, shape, settings, merge):
    """A face whose search box holds many room faces fetches them in steps of
    widening depth and stops once nearer rooms cover it; taking every face
    through the steps (limit 0), or none (a limit no box reaches), must give
    the same graph to the last bit, elements and openings included."""
    b, _ = building.real_building(4, 3, 3, seed=11, elements=True, **shape)
    cases = [(b.registry(), dict(elements=b.element_meshes(), **settings)),
             (SpatialRegistry(_stack(60), [], []), {})]
    previous = kovalith._near_face_limit(64)
    try:
        for registry, options in cases:
            graphs = []
            for limit in (10**9, 64, 0):
                kovalith._near_face_limit(limit)
                with warnings.catch_warnings():
                    warnings.simplefilter("ignore")  # the gap settings' warning
                    graphs.append(_edge_records(compile_building(registry, merge=merge, **options)))
            assert graphs[0], name
            assert graphs[1] == graphs[0]
            assert graphs[2] == graphs[0]
    finally:
        kovalith._near_face_limit(previous)


def _tilted_scene(seed, n=120):
    """Boxes of mixed sizes (slabs, beams, halls) scattered through a 12 m
    cube and turned by one random rotation, 1 km out: faces in generic
    directions, each with many others in front of it, shading one another."""
    rng = random.Random(seed)
    a, b, c = (rng.uniform(0.0, 2.0 * math.pi) for _ in range(3))
    ca, sa, cb, sb, cc, sc = math.cos(a), math.sin(a), math.cos(b), math.sin(b), math.cos(c), math.sin(c)
    turn = [[ca * cb, ca * sb * sc - sa * cc, ca * sb * cc + sa * sc],
            [sa * cb, sa * sb * sc + ca * cc, sa * sb * cc - ca * sc],
            [-sb, cb * sc, cb * cc]]
    meshes = []
    for _ in range(n):
        x, y, z = (rng.uniform(0.0, 12.0) for _ in range(3))
        w, d = rng.choice((0.3, 1.0, 3.0, 6.0)), rng.choice((0.3, 1.0, 3.0, 6.0))
        h = rng.choice((0.05, 0.3, 1.0, 3.0))
        corners = [(p, q, r) for r in (z, z + h) for q in (y, y + d) for p in (x, x + w)]
        vertices = [Vector3D(*(sum(row[k] * p[k] for k in range(3)) + 1000.0 for row in turn))
                    for p in corners]
        meshes.append(Mesh(vertices, [[0, 2, 3, 1], [4, 5, 7, 6], [0, 1, 5, 4], [2, 6, 7, 3],
                                      [0, 4, 6, 2], [1, 3, 7, 5]]))
    return SpatialRegistry(meshes, [], [])


@pytest.mark.parametrize("seed", range(6))
def test_nearest_first_search_in_generic_directions(seed):
    """Faces in generic directions bound what is not fetched yet by the box
    of their widest neighbours: a bound too tight there reorders or loses
    occluders, and the graph changes."""
    registry = _tilted_scene(seed)
    previous = kovalith._near_face_limit(64)
    try:
        for merge in ("face", "plane"):
            graphs = []
            for limit in (10**9, 0, 5):
                kovalith._near_face_limit(limit)
                with warnings.catch_warnings():
                    warnings.simplefilter("ignore")
                    graph = compile_building(registry, merge=merge, wall_gap=6.0, slab_gap=6.0)
                graphs.append(_edge_records(graph))
            assert graphs[0]
            assert graphs[1] == graphs[0] and graphs[2] == graphs[0]
    finally:
        kovalith._near_face_limit(previous)
