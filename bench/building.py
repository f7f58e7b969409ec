"""Synthetic buildings for the graph build's tests and benchmarks.

A building is plain data: meshes and apertures as (vertices, faces) with
vertices as (x, y, z) tuples and faces as lists of vertex positions, wires as
((x, y, z), (x, y, z)). `Building.registry()` turns it into a
kovalith.SpatialRegistry.

`grid_building` is the regular case whose contacts can be counted by hand:
`floors` storeys of `rooms_per_side` x `rooms_per_side` box rooms, one door
quad in every wall that two rooms share (a notch at the bottom of the wall),
one column standing in every room. `random_building` varies everything the
contact search and the wire test care about: room sizes, missing rooms,
triangulated and reversed faces, doors that cut holes or notches, cover a
whole wall, sit just off the wall's plane, stair openings in slabs, coplanar
openings far away, a rotation of the whole building, and columns whose
midpoints lie inside rooms, on slabs, on edges and on corners.
"""

from __future__ import annotations

import math
import random
from dataclasses import dataclass, field

# Box faces with outward normals over the corners
# 0 (x0,y0,z0) 1 (x1,y0,z0) 2 (x1,y1,z0) 3 (x0,y1,z0), 4..7 the same at z1.
BOX_FACES = (
    (0, 3, 2, 1),  # bottom, -z
    (4, 5, 6, 7),  # top, +z
    (0, 1, 5, 4),  # -y
    (1, 2, 6, 5),  # +x
    (2, 3, 7, 6),  # +y
    (3, 0, 4, 7),  # -x
)


def box_vertices(x0, y0, z0, x1, y1, z1):
    return [(x0, y0, z0), (x1, y0, z0), (x1, y1, z0), (x0, y1, z0),
            (x0, y0, z1), (x1, y0, z1), (x1, y1, z1), (x0, y1, z1)]


def box_mesh(x0, y0, z0, x1, y1, z1):
    return box_vertices(x0, y0, z0, x1, y1, z1), [list(f) for f in BOX_FACES]


def quad(corners):
    return list(corners), [[0, 1, 2, 3]]


@dataclass
class Building:
    meshes: list = field(default_factory=list)
    wires: list = field(default_factory=list)
    apertures: list = field(default_factory=list)
    elements: list = field(default_factory=list)  # wall and slab bodies, with elements=True

    def element_meshes(self):
        from kovalith import Mesh, Vector3D

        return [Mesh([Vector3D(*v) for v in vertices], faces) for vertices, faces in self.elements]

    def kovalith_lists(self):
        from kovalith import Mesh, Vector3D, Wire

        def mesh(m):
            vertices, faces = m
            return Mesh([Vector3D(*v) for v in vertices], faces)

        return ([mesh(m) for m in self.meshes],
                [Wire(Vector3D(*a), Vector3D(*b)) for a, b in self.wires],
                [mesh(m) for m in self.apertures])

    def registry(self):
        from kovalith import SpatialRegistry

        return SpatialRegistry(*self.kovalith_lists())


def grid_building(rooms_per_side, floors, *, room=4.0, height=3.0, door_width=1.0,
                  door_height=2.0, doors=True, columns=True):
    """Regular grid; see `grid_expectations` for its contacts."""
    n = rooms_per_side
    b = Building()
    for k in range(floors):
        z0, z1 = k * height, (k + 1) * height
        for j in range(n):
            for i in range(n):
                x0, y0 = i * room, j * room
                b.meshes.append(box_mesh(x0, y0, z0, x0 + room, y0 + room, z1))
                if columns:
                    cx, cy = x0 + room / 4, y0 + room / 3
                    b.wires.append(((cx, cy, z0), (cx, cy, z1)))
                if not doors:
                    continue
                if i + 1 < n:  # wall x = x0 + room with the next room in x
                    x, ym = x0 + room, y0 + room / 2
                    a, c = ym - door_width / 2, ym + door_width / 2
                    b.apertures.append(quad([(x, a, z0), (x, c, z0), (x, c, z0 + door_height),
                                             (x, a, z0 + door_height)]))
                if j + 1 < n:  # wall y = y0 + room with the next room in y
                    y, xm = y0 + room, x0 + room / 2
                    a, c = xm - door_width / 2, xm + door_width / 2
                    b.apertures.append(quad([(a, y, z0), (c, y, z0), (c, y, z0 + door_height),
                                             (a, y, z0 + door_height)]))
    return b


def grid_expectations(rooms_per_side, floors, *, room=4.0, height=3.0, door_width=1.0,
                      door_height=2.0, doors=True):
    """(wall contacts, slab contacts, total shared area) of `grid_building`."""
    n = rooms_per_side
    walls = floors * 2 * n * (n - 1)
    slabs = n * n * (floors - 1)
    wall_area = room * height - (door_width * door_height if doors else 0.0)
    return walls, slabs, walls * wall_area + slabs * room * room


def _rotate(point, angle, shift):
    x, y, z = point
    c, s = math.cos(angle), math.sin(angle)
    return (c * x - s * y + shift[0], s * x + c * y + shift[1], z + shift[2])


def _place(mesh, angle, shift):
    vertices, faces = mesh
    return [_rotate(v, angle, shift) for v in vertices], faces


def _vary_faces(rng, mesh):
    """Reverses some faces and fans others into triangles (same surface)."""
    vertices, faces = mesh
    out = []
    for f in faces:
        f = list(f)
        if rng.random() < 0.2:
            f.reverse()
        if len(f) == 4 and rng.random() < 0.2:
            out += [[f[0], f[1], f[2]], [f[0], f[2], f[3]]]
        else:
            out.append(f)
    return vertices, out


def random_building(seed, rooms_per_side=4, floors=3, *, tolerance=1e-3, rotate=None):
    """A varied building for comparing search strategies; returns a Building."""
    rng = random.Random(seed)
    n = rooms_per_side
    xs = [0.0]
    ys = [0.0]
    for _ in range(n):
        xs.append(xs[-1] + rng.choice((2.5, 3.0, 3.5, 4.0, 5.25)))
        ys.append(ys[-1] + rng.choice((2.5, 3.0, 4.0, 4.5)))
    zs = [0.0]
    for _ in range(floors):
        zs.append(zs[-1] + rng.choice((2.75, 3.0, 3.5)))
    if rotate is None:
        rotate = rng.random() < 0.5
    angle = rng.uniform(0.0, 2 * math.pi) if rotate else 0.0
    shift = (rng.uniform(-50, 50), rng.uniform(-50, 50), rng.uniform(-5, 5)) if rotate else (0, 0, 0)

    b = Building()
    present = {(i, j, k) for k in range(floors) for j in range(n) for i in range(n)
               if rng.random() > 0.1}

    def add_aperture(mesh):
        b.apertures.append(_place(mesh, angle, shift))

    def add_wire(p, q):
        b.wires.append((_rotate(p, angle, shift), _rotate(q, angle, shift)))

    def wall_opening(axis, at, lo, hi, z0, z1):
        """An opening in the wall plane `axis` = `at` spanning [lo, hi] x [z0, z1]."""
        kind = rng.random()
        if kind < 0.05:  # the whole wall and more
            a, c, za, zb = lo - 0.5, hi + 0.5, z0 - 0.5, z1 + 0.5
        else:
            width = rng.uniform(0.3, min(1.5, hi - lo - 0.2))
            a = rng.uniform(lo + 0.1, hi - 0.1 - width)
            c = a + width
            za = z0 if kind < 0.6 else rng.uniform(z0 + 0.2, z0 + 0.8)
            zb = min(z1 - 0.1, za + rng.uniform(0.5, 2.0))
        offset = rng.choice((0.0, 0.0, 0.0, 0.4 * tolerance, -0.4 * tolerance, 3 * tolerance))

        def p(u, z):
            w = at + offset
            return (w, u, z) if axis == 0 else (u, w, z)

        corners = [p(a, za), p(c, za), p(c, zb), p(a, zb)]
        if rng.random() < 0.5:
            corners.reverse()
        if rng.random() < 0.2:  # a thin door leaf: two faces in the wall
            add_aperture((corners, [[0, 1, 2], [0, 2, 3]]))
        else:
            add_aperture(quad(corners))

    for (i, j, k) in sorted(present, key=lambda t: (t[2], t[1], t[0])):
        x0, x1, y0, y1, z0, z1 = xs[i], xs[i + 1], ys[j], ys[j + 1], zs[k], zs[k + 1]
        b.meshes.append(_place(_vary_faces(rng, box_mesh(x0, y0, z0, x1, y1, z1)), angle, shift))
        if (i + 1, j, k) in present and rng.random() < 0.7:
            wall_opening(0, x1, y0, y1, z0, z1)
        if (i, j + 1, k) in present and rng.random() < 0.7:
            wall_opening(1, y1, x0, x1, z0, z1)
        if (i, j, k + 1) in present and rng.random() < 0.25:  # stair opening
            a, c = rng.uniform(x0, x1 - 1.0), rng.uniform(y0, y1 - 1.0)
            add_aperture(quad([(a, c, z1), (a + 1.0, c, z1), (a + 1.0, c + 0.8, z1),
                               (a, c + 0.8, z1)]))
        # Columns: inside, midpoint on the slab, on a wall edge, on a corner.
        kind = rng.random()
        if kind < 0.4:
            px, py = rng.uniform(x0, x1), rng.uniform(y0, y1)
            add_wire((px, py, z0), (px, py, z1))
        elif kind < 0.6:
            px, py = rng.uniform(x0, x1), rng.uniform(y0, y1)
            add_wire((px, py, z0 - 1.0), (px, py, z0 + 1.0))
        elif kind < 0.8:
            py = rng.uniform(y0, y1)
            add_wire((x0, py, z0 - 0.5), (x0, py, z0 + 0.5))
        else:
            add_wire((x0, y0, z1 - 1.0), (x0, y0, z1 + 1.0))

    # An opening far away in the plane of a wall: cuts nothing.
    x = xs[1]
    add_aperture(quad([(x, 500.0, 0.0), (x, 501.0, 0.0), (x, 501.0, 2.0), (x, 500.0, 2.0)]))
    rng.shuffle(b.apertures)
    return b


# --- Real buildings: rooms a wall or a floor build-up apart -------------------

@dataclass
class Expected:
    """What one room pair of `real_building` must give (merge="plane")."""
    area: float
    centroid: tuple
    gap: float
    openings: list
    opening_area: float
    opening_centroid: tuple | None
    slab: bool


def _rect_minus(u0, u1, v0, v1, holes):
    """Area and centre of a rectangle less disjoint rectangles inside it."""
    area = (u1 - u0) * (v1 - v0)
    mu, mv = area * (u0 + u1) / 2, area * (v0 + v1) / 2
    for a0, a1, b0, b1 in holes:
        h = (a1 - a0) * (b1 - b0)
        area -= h
        mu -= h * (a0 + a1) / 2
        mv -= h * (b0 + b1) / 2
    return area, mu / area, mv / area


def _split_faces(mesh, parts):
    """Each quad face cut into parts x parts quads, each fanned into triangles."""
    vertices, faces = mesh
    vertices = list(vertices)
    out = []
    for f in faces:
        if len(f) != 4 or parts < 1:
            out.append(list(f))
            continue
        p = [vertices[k] for k in f]
        grid = {}
        for a in range(parts + 1):
            for b in range(parts + 1):
                s, t = a / parts, b / parts
                pt = tuple((1 - s) * (1 - t) * p[0][c] + s * (1 - t) * p[1][c] + s * t * p[2][c]
                           + (1 - s) * t * p[3][c] for c in range(3))
                grid[a, b] = len(vertices)
                vertices.append(pt)
        for a in range(parts):
            for b in range(parts):
                q = [grid[a, b], grid[a + 1, b], grid[a + 1, b + 1], grid[a, b + 1]]
                out += [[q[0], q[1], q[2]], [q[0], q[2], q[3]]]
    return vertices, out


def real_building(nx, ny, floors, *, seed=0, room=4.0, height=3.0, wall=0.2, slab=0.3,
                  void=0.5, shaft=0.0, door_share=0.8, door_kind="box", stair_share=0.3,
                  missing=0.0, split=1, inside_out=0.0, angle=0.0, shift=(0.0, 0.0, 0.0),
                  scale=1.0, elements=False):
    """Rooms in a grid with walls of thickness `wall`, floors `slab` + `void`.

    Room (i, j, k) spans `room` x `room` x `height`. Doors (1 m x 2 m at the
    bottom of a wall, in `door_share` of the walls) are opening boxes through
    the wall (`door_kind="box"`) or panels on its mid-plane ("panel"); stair
    holes (1 m x 0.8 m) are panels on the slab's mid-plane. With `shaft` > 0
    every other x-wall is 2 * `wall` + `shaft` thick and holds, in half of its
    bays, a shaft room `shaft` wide: the rooms on both sides then meet the
    shaft, not each other. `missing` drops rooms at random, `split` cuts every
    quad into split x split quads and then triangles, `inside_out` winds a
    share of the rooms inside out; `angle` (radians, about z), `shift` and
    `scale` place the whole model. With `elements`, the building also holds a
    wall body per wall between two rooms and a slab body (under its ceiling
    void) per room and storey but the top one, as real models do, in
    `Building.elements`. Returns (Building, truth) with truth
    {(a, b): Expected} for merge="plane" (one plane per pair here).
    """
    rng = random.Random(seed)
    xgap = [wall if (shaft <= 0 or i % 2 == 0) else 2 * wall + shaft for i in range(nx - 1)]
    xs = [0.0]
    for i in range(nx - 1):
        xs.append(xs[-1] + room + xgap[i])
    ys = [j * (room + wall) for j in range(ny)]
    pitch = height + void + slab
    zs = [k * pitch for k in range(floors)]
    c, s = math.cos(angle), math.sin(angle)

    def place(p):
        x, y, z = p
        return ((c * x - s * y) * scale + shift[0], (s * x + c * y) * scale + shift[1],
                z * scale + shift[2])

    b = Building()
    truth = {}
    node = {}

    def add_room(key, x0, y0, z0, x1, y1, z1):
        vertices, faces = _split_faces(box_mesh(x0, y0, z0, x1, y1, z1), split)
        if rng.random() < inside_out:
            faces = [list(reversed(f)) for f in faces]
        node[key] = len(b.meshes)
        b.meshes.append(([place(v) for v in vertices], faces))

    def add_opening(mesh):
        vertices, faces = _split_faces(mesh, split)
        b.apertures.append(([place(v) for v in vertices], faces))
        return len(b.apertures) - 1

    present = {(i, j, k) for k in range(floors) for j in range(ny) for i in range(nx)
               if rng.random() >= missing}
    shafts = {(i, j, k) for k in range(floors) for j in range(ny) for i in range(nx - 1)
              if xgap[i] > wall and (j + k) % 2 == 0}
    for k in range(floors):
        for j in range(ny):
            for i in range(nx):
                if (i, j, k) in present:
                    add_room(("r", i, j, k), xs[i], ys[j], zs[k], xs[i] + room, ys[j] + room,
                             zs[k] + height)
                if (i, j, k) in shafts:
                    x0 = xs[i] + room + wall
                    add_room(("s", i, j, k), x0, ys[j], zs[k], x0 + shaft, ys[j] + room,
                             zs[k] + height)

    def pair(p, q, area, centroid, gap, openings, hole, slab_pair, hole_area=0.0):
        a, bb = sorted((node[p], node[q]))
        hole_c = None if hole is None else place(hole)
        truth[a, bb] = Expected(area * scale ** 2, place(centroid), gap * scale, sorted(openings),
                                hole_area * scale ** 2, hole_c, slab_pair)

    def add_element(x0, y0, z0, x1, y1, z1):
        if elements:
            vertices, faces = box_mesh(x0, y0, z0, x1, y1, z1)
            b.elements.append(([place(v) for v in vertices], faces))

    def wall_pair(p, q, axis, w0, w1, fixed, z0, gap, door):
        """Pair across a wall normal to `axis` between `w0` and `w1` (the two
        faces), spanning [fixed, fixed + room] x [z0, z0 + height]."""
        if axis == 0:
            add_element(w0, fixed, z0, w1, fixed + room, z0 + height)
        else:
            add_element(fixed, w0, z0, fixed + room, w1, z0 + height)
        mid = (w0 + w1) / 2
        holes, openings, hole_c = [], [], None
        if door:
            u0 = fixed + rng.uniform(0.3, room - 1.3)
            holes.append((u0, u0 + 1.0, z0, z0 + 2.0))
            if door_kind == "box":
                lo = (w0, u0, z0) if axis == 0 else (u0, w0, z0)
                hi = (w1, u0 + 1.0, z0 + 2.0) if axis == 0 else (u0 + 1.0, w1, z0 + 2.0)
                openings.append(add_opening(box_mesh(*lo, *hi)))
            else:
                pts = [(u0, z0), (u0 + 1.0, z0), (u0 + 1.0, z0 + 2.0), (u0, z0 + 2.0)]
                corners = [(mid, u, z) if axis == 0 else (u, mid, z) for u, z in pts]
                openings.append(add_opening(quad(corners)))
            uc, zc = u0 + 0.5, z0 + 1.0
            hole_c = (mid, uc, zc) if axis == 0 else (uc, mid, zc)
        area, uc, zc = _rect_minus(fixed, fixed + room, z0, z0 + height, holes)
        centre = (mid, uc, zc) if axis == 0 else (uc, mid, zc)
        pair(p, q, area, centre, gap, openings, hole_c, False, 2.0 if door else 0.0)

    for k in range(floors):
        for j in range(ny):
            for i in range(nx):
                here = (i, j, k) in present
                z0 = zs[k]
                # x walls
                if i + 1 < nx:
                    x_end, x_next = xs[i] + room, xs[i + 1]
                    if (i, j, k) in shafts:
                        s0 = x_end + wall
                        sh = ("s", i, j, k)
                        if here:
                            wall_pair(("r", i, j, k), sh, 0, x_end, s0, ys[j], z0, wall, False)
                        if (i + 1, j, k) in present:
                            wall_pair(sh, ("r", i + 1, j, k), 0, s0 + shaft, x_next, ys[j], z0,
                                      wall, False)
                    elif here and (i + 1, j, k) in present:
                        wall_pair(("r", i, j, k), ("r", i + 1, j, k), 0, x_end, x_next, ys[j],
                                  z0, xgap[i], rng.random() < door_share)
                # y walls
                if j + 1 < ny:
                    if here and (i, j + 1, k) in present:
                        wall_pair(("r", i, j, k), ("r", i, j + 1, k), 1, ys[j] + room, ys[j + 1],
                                  xs[i], z0, wall, rng.random() < door_share)
                    if (i, j, k) in shafts and (i, j + 1, k) in shafts:
                        x0 = xs[i] + room + wall
                        area = shaft * height
                        mid = ys[j] + room + wall / 2
                        pair(("s", i, j, k), ("s", i, j + 1, k), area,
                             (x0 + shaft / 2, mid, z0 + height / 2), wall, [], None, False)
                # slabs
                if k + 1 < floors:
                    gap = void + slab
                    mid = z0 + height + gap / 2
                    if here and (i, j, k + 1) in present:
                        add_element(xs[i], ys[j], z0 + height + void, xs[i] + room, ys[j] + room,
                                    z0 + height + void + slab)
                        holes, openings, hole_c = [], [], None
                        if rng.random() < stair_share:
                            a = xs[i] + rng.uniform(0.2, room - 1.2)
                            bq = ys[j] + rng.uniform(0.2, room - 1.0)
                            holes.append((a, a + 1.0, bq, bq + 0.8))
                            openings.append(add_opening(quad(
                                [(a, bq, mid), (a + 1.0, bq, mid), (a + 1.0, bq + 0.8, mid),
                                 (a, bq + 0.8, mid)])))
                            hole_c = (a + 0.5, bq + 0.4, mid)
                        area, xc, yc = _rect_minus(xs[i], xs[i] + room, ys[j], ys[j] + room,
                                                   holes)
                        pair(("r", i, j, k), ("r", i, j, k + 1), area, (xc, yc, mid), gap,
                             openings, hole_c, True, 0.8 if openings else 0.0)
                    if (i, j, k) in shafts and (i, j, k + 1) in shafts:
                        x0 = xs[i] + room + wall
                        pair(("s", i, j, k), ("s", i, j, k + 1), shaft * room,
                             (x0 + shaft / 2, ys[j] + room / 2, mid), gap, [], None, True)
    return b, truth
