"""A small office building as kovalith input: rooms, doors, a stair opening, columns.

Each storey has a corridor along the middle with a row of offices on either side.
Doors are quads in the walls between offices and the corridor; the stair is an
opening in the slab above the corridor's east end; columns stand in the south
offices, and one tall column runs through all storeys at the corridor's centre.
"""

from dataclasses import dataclass, field

from kovalith import Mesh, Vector3D, Wire

STOREY_HEIGHT = 3.0
OFFICE_WIDTH = 4.0
OFFICE_DEPTH = 6.0
CORRIDOR_WIDTH = 2.0
DOOR_WIDTH = 1.0
DOOR_HEIGHT = 2.1
STAIR_LENGTH = 4.0

# Outward-facing quads of a box whose vertex i has x = bit 0, y = bit 1, z = bit 2.
BOX_FACES = [[0, 2, 3, 1], [4, 5, 7, 6], [0, 1, 5, 4], [2, 6, 7, 3], [0, 4, 6, 2], [1, 3, 7, 5]]


def box(x0, y0, z0, x1, y1, z1):
    vs = [Vector3D(x, y, z) for z in (z0, z1) for y in (y0, y1) for x in (x0, x1)]
    return Mesh(vs, BOX_FACES)


def quad(a, b, c, d):
    return Mesh([Vector3D(*a), Vector3D(*b), Vector3D(*c), Vector3D(*d)], [[0, 1, 2, 3]])


@dataclass
class Room:
    name: str
    storey: int
    kind: str  # "office" or "corridor"
    rect: tuple  # (x0, y0, x1, y1) in plan


@dataclass
class Office:
    rooms: list = field(default_factory=list)
    meshes: list = field(default_factory=list)
    doors: list = field(default_factory=list)  # (storey, (x0, y0), (x1, y1)) in plan
    apertures: list = field(default_factory=list)
    wires: list = field(default_factory=list)
    stair: tuple = ()  # plan rectangle of the slab opening


def build_office(storeys=3, offices_per_side=6):
    b = Office()
    length = offices_per_side * OFFICE_WIDTH
    y_corr0 = OFFICE_DEPTH
    y_corr1 = OFFICE_DEPTH + CORRIDOR_WIDTH
    y_north1 = y_corr1 + OFFICE_DEPTH
    b.stair = (length - STAIR_LENGTH, y_corr0, length, y_corr1)

    def add_room(name, storey, kind, rect):
        x0, y0, x1, y1 = rect
        z0 = storey * STOREY_HEIGHT
        b.rooms.append(Room(name, storey, kind, rect))
        b.meshes.append(box(x0, y0, z0, x1, y1, z0 + STOREY_HEIGHT))

    for s in range(storeys):
        z0 = s * STOREY_HEIGHT
        for i in range(offices_per_side):
            x0 = i * OFFICE_WIDTH
            add_room(f"{s}.S{i + 1}", s, "office", (x0, 0.0, x0 + OFFICE_WIDTH, y_corr0))
        add_room(f"{s}.C", s, "corridor", (0.0, y_corr0, length, y_corr1))
        for i in range(offices_per_side):
            x0 = i * OFFICE_WIDTH
            add_room(f"{s}.N{i + 1}", s, "office", (x0, y_corr1, x0 + OFFICE_WIDTH, y_north1))

        for i in range(offices_per_side):
            dx0 = i * OFFICE_WIDTH + (OFFICE_WIDTH - DOOR_WIDTH) / 2
            dx1 = dx0 + DOOR_WIDTH
            for y in (y_corr0, y_corr1):
                b.apertures.append(
                    quad((dx0, y, z0), (dx1, y, z0), (dx1, y, z0 + DOOR_HEIGHT), (dx0, y, z0 + DOOR_HEIGHT))
                )
                b.doors.append((s, (dx0, y), (dx1, y)))
            cx, cy = i * OFFICE_WIDTH + 0.5, 0.5
            b.wires.append(Wire(Vector3D(cx, cy, z0), Vector3D(cx, cy, z0 + STOREY_HEIGHT)))

        if s > 0:
            sx0, sy0, sx1, sy1 = b.stair
            b.apertures.append(quad((sx0, sy0, z0), (sx1, sy0, z0), (sx1, sy1, z0), (sx0, sy1, z0)))

    mid = (length / 2, (y_corr0 + y_corr1) / 2)
    b.wires.append(Wire(Vector3D(*mid, 0.0), Vector3D(*mid, storeys * STOREY_HEIGHT)))
    return b
