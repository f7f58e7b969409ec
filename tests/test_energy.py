"""Space boundaries for energy models and their gbXML.

Two kinds of truth: small box buildings whose pieces are written out here
face by face (each face of each box one piece, contacts over whole faces), so
the classification can be checked rule by rule against the type the plan
gives; and authored IFC offices, compiled end to end, whose boundaries follow
from the plan rectangles, written as gbXML, checked against the gbXML 6.01
schema and read back by OpenStudio's gbXML reverse translator.
"""

from __future__ import annotations

import importlib.util
import math
from collections import Counter
from typing import Any

import pytest

np = pytest.importorskip("numpy")

from kovalith import Mesh, Vector3D  # noqa: E402
from kovalith.building import BoundaryOpening, BoundaryPiece, RegionPolygon  # noqa: E402
from kovalith.energy import classify, enclosure, mesh_measures  # noqa: E402
from kovalith.ifc import IfcRooms, Product  # noqa: E402

NORMALS = {"bottom": (0, 0, -1), "top": (0, 0, 1), "south": (0, -1, 0), "east": (1, 0, 0), "north": (0, 1, 0),
           "west": (-1, 0, 0)}
# Corners of each face of a box, counter-clockwise seen from outside: corner
# The native records, built by hand for plans whose pieces are known.
Hole, Piece = BoundaryOpening, BoundaryPiece

# k is (x0 or x1, y0 or y1, z0 or z1) by the bits of k.
CORNERS = {"bottom": (0, 2, 3, 1), "top": (4, 5, 7, 6), "south": (0, 1, 5, 4), "east": (1, 3, 7, 5),
           "north": (3, 2, 6, 7), "west": (2, 0, 4, 6)}
OPPOSITE = {"bottom": "top", "top": "bottom", "south": "north", "north": "south", "east": "west", "west": "east"}


def corners(box):
    (x0, y0, z0), (x1, y1, z1) = box
    return np.array([(x1 if k & 1 else x0, y1 if k & 2 else y0, z1 if k & 4 else z0) for k in range(8)], float)


def ring_area(ring):
    return float(np.linalg.norm(sum(np.cross(a, b) for a, b in zip(ring[:-1], ring[1:])))) / 2


def box_mesh(box):
    return Mesh([Vector3D(*p) for p in corners(box)], [list(CORNERS[f]) for f in CORNERS])


def product(gid, ifc_class, storey=None, elevation=None, **more):
    return Product(gid, gid, None, ifc_class, storey, elevation, 0, **more)


def box_building(rooms, elements=(), contacts=(), behind=(), openings=(), holes=()):
    """An `IfcRooms` of box rooms and its pieces, one per face.

    rooms: (name, ((x0, y0, z0), (x1, y1, z1)), storey elevation or None);
    elements: (name, class, predefined type[, body box]); contacts: (room, face, room,
    element name or None), the second room's opposite face the other side;
    behind: (room, face, element) for exterior faces; openings: (name,
    class, filled by, its class); holes: (room, face, opening name).
    """
    names = [r[0] for r in rooms]
    element_names = [e[0] for e in elements]
    opening_names = [o[0] for o in openings]
    model = IfcRooms(
        rooms=[box_mesh(box) for _, box, _ in rooms],
        room_products=[product(n, "IfcSpace", None if z is None else f"L{z}", z) for n, _, z in rooms],
        # An element without a body of its own lies far off, behind nothing.
        elements=[box_mesh(e[3] if len(e) > 3 else ((-99, -99, -99), (-98, -98, -98))) for e in elements],
        element_products=[product(n, c, predefined_type=t) for n, c, t, *_ in elements],
        openings=[box_mesh(((0, 0, 0), (1, 1, 1)))] * len(openings),
        opening_products=[product(n, c, filled_by=(f,) if f else (), filled_by_class=(fc,) if fc else ())
                          for n, c, f, fc in openings],
        storeys=sorted({(f"L{z}", z) for _, _, z in rooms if z is not None}, key=lambda s: s[1]),
    )
    at = {}
    pieces = []
    for k, (name, box, _) in enumerate(rooms):
        points = corners(box)
        for face, order in CORNERS.items():
            ring = points[list(order) + [order[0]]]
            at[name, face] = len(pieces)
            pieces.append(Piece(k, RegionPolygon(ring, []), np.array(NORMALS[face], float), ring_area(ring),
                                None, None, None, None, 0.0, []))
    for a, face, b, element in contacts:
        for (r, f), (o, of) in (((a, face), (b, OPPOSITE[face])), ((b, OPPOSITE[face]), (a, face))):
            e = None if element is None else element_names.index(element)
            pieces[at[r, f]] = pieces[at[r, f]]._replace(other=names.index(o), corresponding=at[o, of], element=e)
    for room, face, element in behind:
        pieces[at[room, face]] = pieces[at[room, face]]._replace(element=element_names.index(element))
    for room, face, name in holes:
        piece = pieces[at[room, face]]
        ring = piece.polygon.outer
        small = ring.mean(axis=0) + 0.25 * (ring - ring.mean(axis=0))
        piece.openings.append(Hole(opening_names.index(name), small, ring_area(small)))
    return model, pieces, at


GROUND = ((0, 0, 0), (4, 5, 3))


def shifted(box, dx=0.0, dz=0.0):
    (x0, y0, z0), (x1, y1, z1) = box
    return (x0 + dx, y0, z0 + dz), (x1 + dx, y1, z1 + dz)


WALLS = ("south", "east", "north", "west")
# A face the case does not name: outside air beside it and above it, the ground below.
PLAIN = {"top": "Roof", "bottom": "SlabOnGrade", **{f: "ExteriorWall" for f in WALLS}}
# name: (box_building arguments, {(room, face): surface type where it is not PLAIN's})
CASES = {
    "two storeys, wall and floor slab between": (
        dict(rooms=[("A", GROUND, 0.0), ("B", shifted(GROUND, dx=4.2), 0.0), ("C", shifted(GROUND, dz=3.3), 3.3)],
             elements=[("Wall", "IfcWall", None), ("Floor", "IfcSlab", "FLOOR")],
             contacts=[("A", "east", "B", "Wall"), ("A", "top", "C", "Floor")]),
        {("A", "east"): "InteriorWall", ("B", "west"): "InteriorWall", ("A", "top"): "Ceiling",
         ("C", "bottom"): "InteriorFloor", ("A", "bottom"): "SlabOnGrade", ("B", "bottom"): "SlabOnGrade",
         ("B", "top"): "Roof", ("C", "top"): "Roof"}),
    "open plan, a virtual boundary, an empty gap": (
        dict(rooms=[("A", GROUND, 0.0), ("B", shifted(GROUND, dx=4.0), 0.0), ("C", shifted(GROUND, dx=8.1), 0.0),
                    ("D", shifted(GROUND, dx=12.3), 0.0)],
             elements=[("Screen", "IfcVirtualElement", None)],
             contacts=[("A", "east", "B", None), ("B", "east", "C", "Screen"), ("C", "east", "D", None)]),
        {("A", "east"): "Air", ("B", "west"): "Air", ("B", "east"): "Air", ("C", "west"): "Air",
         ("C", "east"): "Air", ("D", "west"): "Air", ("A", "top"): "Roof", ("D", "bottom"): "SlabOnGrade"}),
    "basement under the ground floor, ground floor beyond it, an overhang": (
        dict(rooms=[("Cellar", shifted(GROUND, dz=-3.3), -3.3), ("Hall", GROUND, 0.0),
                    ("Shop", shifted(GROUND, dx=5.0), 0.0), ("Bay", shifted(GROUND, dx=10.0, dz=3.3), 3.3),
                    ("Porch", shifted(GROUND, dx=15.0, dz=3.3), 3.3)],
             elements=[("Floor", "IfcSlab", "FLOOR"), ("Base", "IfcSlab", "BASESLAB")],
             contacts=[("Cellar", "top", "Hall", "Floor")], behind=[("Porch", "bottom", "Base")]),
        {("Cellar", "top"): "Ceiling", ("Hall", "bottom"): "InteriorFloor", ("Cellar", "bottom"): "UndergroundSlab",
         ("Cellar", "south"): "UndergroundWall", ("Cellar", "east"): "UndergroundWall",
         ("Cellar", "north"): "UndergroundWall", ("Cellar", "west"): "UndergroundWall",
         ("Shop", "bottom"): "SlabOnGrade", ("Bay", "bottom"): "RaisedFloor", ("Porch", "bottom"): "SlabOnGrade",
         ("Hall", "top"): "Roof", ("Shop", "top"): "Roof", ("Bay", "top"): "Roof", ("Porch", "top"): "Roof"}),
    "an underground room's roof outside the footprint": (
        dict(rooms=[("Vault", shifted(GROUND, dz=-3.3), -3.3), ("Hall", shifted(GROUND, dx=4.2), 0.0)]),
        {("Vault", "top"): "UndergroundCeiling", ("Vault", "bottom"): "UndergroundSlab",
         ("Hall", "bottom"): "SlabOnGrade", ("Hall", "top"): "Roof",
         **{("Vault", f): "UndergroundWall" for f in WALLS}}),
    "storeys measured from sea level, none below ground": (
        dict(rooms=[("Low", shifted(GROUND, dz=-9.0), -9.0), ("High", shifted(GROUND, dz=-5.7), -5.7)],
             elements=[("Floor", "IfcSlab", None)], contacts=[("Low", "top", "High", "Floor")]),
        {("Low", "bottom"): "SlabOnGrade", ("Low", "top"): "Ceiling", ("High", "bottom"): "InteriorFloor",
         ("High", "top"): "Roof"}),
    "the building goes on past a face: a partition's end, a solid above, a room past a thick wall": (
        dict(rooms=[("Corridor", GROUND, 0.0), ("Far", ((0, 5.9, 0), (4, 9, 3)), 0.0),
                    ("Yard", shifted(GROUND, dx=-5.0), 0.0)],
             elements=[("Corridor wall", "IfcWall", None, ((0, -0.2, 0), (4, 0, 3))),
                       ("Partition", "IfcWall", None, ((1.9, -6, 0), (2.1, -0.2, 3))),
                       ("Plinth above", "IfcWall", None, ((0, 0, 3.3), (4, 5, 6.3))),
                       ("Thick wall", "IfcWall", None, ((0, 5, 0), (4, 5.9, 3))),
                       ("Slab", "IfcSlab", None, ((-5, -1, 3), (4, 6, 3.3))),
                       ("Skin", "IfcCovering", None, ((-0.3, 0, 0), (-0.2, 5, 3)))],
             behind=[("Corridor", "south", "Corridor wall"), ("Corridor", "top", "Slab"),
                     ("Corridor", "north", "Thick wall"), ("Yard", "top", "Slab"), ("Far", "south", "Thick wall")]),
        {("Corridor", "south"): "InteriorWall", ("Corridor", "top"): "Ceiling", ("Corridor", "north"): "InteriorWall",
         ("Far", "south"): "InteriorWall"}),
    "roofs: a steep roof behind a wall face, a roof slab, rooms without a storey": (
        dict(rooms=[("Attic", GROUND, None), ("Loft", shifted(GROUND, dx=5.0), None)],
             elements=[("Roof", "IfcRoof", None), ("Deck", "IfcSlab", "ROOF"), ("Wall", "IfcWall", None)],
             behind=[("Attic", "south", "Roof"), ("Attic", "north", "Deck"), ("Attic", "top", "Deck"),
                     ("Attic", "east", "Wall"), ("Loft", "west", "Wall")]),
        {("Attic", "south"): "Roof", ("Attic", "north"): "Roof", ("Attic", "top"): "Roof",
         ("Attic", "bottom"): "SlabOnGrade", ("Loft", "bottom"): "SlabOnGrade", ("Loft", "top"): "Roof"}),
}


@pytest.mark.parametrize("case", CASES)
def test_classification_follows_the_plan(case):
    arguments, expected = CASES[case]
    model, pieces, at = box_building(**arguments)
    boundaries = classify(model, pieces)
    assert [b.index for b in boundaries] == list(range(len(pieces)))
    names = [p.global_id for p in model.room_products]
    classes = {p.global_id: p.ifc_class for p in model.element_products}
    for (room, face), k in at.items():
        b, piece = boundaries[k], pieces[k]
        want = expected.get((room, face), PLAIN[face])
        assert b.surface_type == want, (room, face)
        assert b.space == room and b.room == names.index(room)
        assert b.internal == (piece.other is not None or want in ("InteriorWall", "Ceiling", "InteriorFloor"))
        assert b.other_space == (None if piece.other is None else names[piece.other])
        assert b.corresponding == piece.corresponding
        if b.corresponding is not None:  # paired both ways, the same element seen from either side
            assert boundaries[b.corresponding].corresponding == k
            assert boundaries[b.corresponding].element == b.element
        element = None if piece.element is None else model.element_products[piece.element].global_id
        assert b.element == element and b.element_class == classes.get(element)
        assert b.physical == (element is not None and classes[element] != "IfcVirtualElement")
        assert b.area == pytest.approx(piece.area) and np.allclose(b.normal, piece.normal)
    # Whole faces: every room is closed by its boundaries.
    assert all(e.error < 1e-9 for e in enclosure(model, boundaries))


def test_openings_are_named_by_their_opening_and_filling():
    openings = [("Door opening", "IfcOpeningElement", "Door", "IfcDoor"), ("Door", "IfcDoor", None, None),
                ("Window", "IfcWindow", None, None), ("Stair hole", "IfcOpeningElement", None, None),
                ("Hatch", "IfcOpeningElement", None, None),
                ("Panel opening", "IfcOpeningElement", "Panel", "IfcPlate")]
    model, pieces, at = box_building(
        rooms=[("A", GROUND, 0.0), ("B", shifted(GROUND, dx=4.2), 0.0), ("C", shifted(GROUND, dz=3.3), 3.3)],
        elements=[("Wall", "IfcWall", None)], contacts=[("A", "east", "B", "Wall"), ("A", "top", "C", None)],
        openings=openings,
        # The door's body and its opening both lie in the wall: one opening.
        holes=[("A", "east", "Door opening"), ("A", "east", "Door"), ("B", "west", "Door"),
               ("A", "south", "Window"), ("A", "top", "Stair hole"), ("C", "bottom", "Stair hole"),
               ("B", "east", "Hatch"), ("B", "north", "Panel opening")])
    boundaries = classify(model, pieces)

    def found(room, face):
        return sorted((o.opening, o.filling, o.kind) for o in boundaries[at[room, face]].openings)

    assert found("A", "east") == [("Door opening", "Door", "door")]
    assert found("B", "west") == [("Door opening", "Door", "door")]  # the door alone: its opening named
    assert found("A", "south") == [("Window", "Window", "window")]  # a window filling no opening
    assert found("A", "top") == found("C", "bottom") == [("Stair hole", None, "air")]
    assert found("B", "east") == [("Hatch", None, "air")]
    assert found("B", "north") == [("Panel opening", "Panel", "window")]
    assert boundaries[at["A", "top"]].surface_type == "Air"
    for b in boundaries:
        for o in b.openings:
            assert o.area == pytest.approx(ring_area(o.outer)) and o.area < b.area


@pytest.mark.parametrize("offset", [(0.0, 0.0, 0.0), (3000.0, 4000.0, 120.0)])
def test_mesh_measures_of_quads_and_triangles(offset):
    box = tuple(tuple(c + o for c, o in zip(p, offset)) for p in ((1.0, 2.0, 0.5), (3.5, 6.0, 3.5)))
    points = [Vector3D(*p) for p in corners(box)]
    quads = [list(f) for f in CORNERS.values()]
    triangles = [t for f in CORNERS.values() for t in ([f[0], f[1], f[2]], [f[0], f[2], f[3]])]
    inside_out = [f[::-1] for f in quads]
    for faces in (quads, triangles, inside_out):
        area, volume = mesh_measures(Mesh(points, faces))
        assert area == pytest.approx(2 * (2.5 * 4 + 2.5 * 3 + 4 * 3), rel=1e-12)
        assert volume == pytest.approx(2.5 * 4 * 3, rel=1e-9)


# ---------------------------------------------------------------------------
# Authored IFC models, end to end.

GB = "{http://www.gbxml.org/schema}"


@pytest.fixture(scope="module")
def model_dir(tmp_path_factory):
    from ifc_models import require_ifcopenshell

    require_ifcopenshell()
    return tmp_path_factory.mktemp("energy")


def loaded(model_dir, variant):
    from energy_models import energy_file

    from kovalith import energy, ifc

    path, ids = energy_file(variant, model_dir)
    rooms = ifc.load(path, threads=1)
    return path, ids, rooms, energy.space_boundaries(rooms)


def same_ring(got, want, tolerance=1e-6):
    """The rings are the same cycle of corners (any start), in the same direction."""
    got = [tuple(p) for p in np.asarray(got)[:-1]]
    if len(got) != len(want):
        return False
    for start in range(len(got)):
        if all(np.allclose(got[(start + i) % len(got)], want[i], atol=tolerance) for i in range(len(want))):
            return True
    return False


@pytest.mark.parametrize("variant", ["IFC2X3-m", "IFC4-m", "IFC4X3-m", "IFC4-mm", "IFC4-m-far"])
def test_boundaries_of_the_authored_building_equal_the_plan(model_dir, variant):
    """Every face of every space is one boundary (the plan's grid leaves no
    face half covered): its type, both sides, element, area, corners and
    openings equal what the plan's boxes give, in every schema, in
    millimetres and 5 km from the origin."""
    from energy_models import BOUNDARIES, VARIANTS

    _, ids, rooms, boundaries = loaded(model_dir, variant)
    ox, oy = VARIANTS[variant].get("offset", (0.0, 0.0))
    name = {gid: n for n, gid in ids.items()}
    by_space: dict[str, list] = {}
    for b in boundaries:
        by_space.setdefault(name[b.space], []).append(b)
    assert set(by_space) == set(BOUNDARIES)
    for space, planned in BOUNDARIES.items():
        got = by_space[space]
        assert len(got) == len(planned), space
        for want in planned:
            match = [b for b in got if np.allclose(b.normal, want.normal, atol=1e-9)]
            assert len(match) == 1, (space, want.normal)
            b = match[0]
            assert (b.surface_type, b.internal, b.physical) == (want.surface_type, want.internal, want.physical)
            assert (name.get(b.other_space), name[b.element]) == (want.other, want.element), (space, want)
            assert b.element_class == ELEMENT_CLASS[want.element]
            assert b.area == pytest.approx(want.area, rel=1e-6)
            assert same_ring(b.polygon.outer, [(x + ox, y + oy, z) for x, y, z in want.corners]), (space, want)
            assert b.polygon.holes == []
            assert sorted((name[o.opening], name[o.filling], o.kind) for o in b.openings) == sorted(
                (o.opening, o.filling, o.kind) for o in want.openings), (space, want)
            for o, w in zip(sorted(b.openings, key=lambda o: name[o.opening]),
                            sorted(want.openings, key=lambda o: o.opening)):
                assert o.area == pytest.approx(w.area, rel=1e-6)
            if b.corresponding is not None:
                twin = boundaries[b.corresponding]
                assert twin.corresponding == b.index and twin.space == b.other_space and twin.other_space == b.space
                assert twin.element == b.element and twin.area == pytest.approx(b.area)
                assert np.allclose(twin.normal, -b.normal)
            else:
                assert b.other_space is None
    assert all(e.error < 1e-6 for e in enclosure(rooms, boundaries))


ELEMENT_CLASS: dict[str, str] = {}


@pytest.fixture(autouse=True, scope="module")
def _element_classes():
    from energy_models import ELEMENTS

    ELEMENT_CLASS.update({n: c for n, (c, _, _) in ELEMENTS.items()})


def newell(points):
    """(area, unit normal) of a planar loop of points."""
    p = np.asarray(points, float)
    p = p - p.mean(axis=0)
    n = np.cross(p, np.roll(p, -1, axis=0)).sum(axis=0) / 2
    area = float(np.linalg.norm(n))
    return area, n / area


def loop_points(element):
    return [[float(c.text) for c in point.iter(f"{GB}Coordinate")]
            for point in element.find(f"{GB}PlanarGeometry/{GB}PolyLoop").iter(f"{GB}CartesianPoint")]


ONE_OR_TWO = ("InteriorWall", "Ceiling", "InteriorFloor")


def gbxml_checked(path, rooms):
    """Parse a written gbXML file, check it against the XSD that xgbxml ships
    and for closure; returns the root."""
    import pathlib

    from lxml import etree

    spec = importlib.util.find_spec("xgbxml")
    assert spec is not None, "xgbxml is part of the test requirements"
    xsd = next(pathlib.Path(spec.submodule_search_locations[0]).rglob("GreenBuildingXML_Ver6.01.xsd"))
    schema = etree.XMLSchema(etree.parse(str(xsd)))
    document = etree.parse(str(path))
    assert schema.validate(document), schema.error_log
    root = document.getroot()
    assert root.get("version") == "6.01" and root.get("lengthUnit") == "Meters"
    spaces = {s.get("id"): s for s in root.iter(f"{GB}Space")}
    mesh_area = {}
    for k, (mesh, product) in enumerate(zip(rooms.rooms, rooms.room_products)):
        space = spaces[f"space-{k}"]
        assert space.find(f"{GB}CADObjectId").text == product.global_id
        mesh_area[space.get("id")] = mesh_measures(mesh)[0]
    closed = dict.fromkeys(spaces, 0.0)
    centre = {f"space-{k}": np.mean([(v.x, v.y, v.z) for v in mesh.vertices], axis=0)
              for k, mesh in enumerate(rooms.rooms)}
    for surface in root.iter(f"{GB}Surface"):
        adjacent = [a.get("spaceIdRef") for a in surface.findall(f"{GB}AdjacentSpaceId")]
        kind = surface.get("surfaceType")
        # Interior walls, ceilings and floors past which the building goes on
        # without a space (a partition's end) have one space.
        assert len(adjacent) == (2 if kind == "Air" else len(adjacent) if kind in ONE_OR_TWO else 1)
        points = loop_points(surface)
        area, normal = newell(points)
        for space in adjacent:
            closed[space] += area
        # Counter-clockwise seen from outside the first space: the normal points away from it.
        assert np.dot(np.mean(points, axis=0) - centre[adjacent[0]], normal) > 0
        rect = surface.find(f"{GB}RectangularGeometry")
        tilt = float(rect.find(f"{GB}Tilt").text)
        azimuth = float(rect.find(f"{GB}Azimuth").text)
        assert math.cos(math.radians(tilt)) == pytest.approx(normal[2], abs=1e-6)
        if abs(normal[2]) < 0.999:
            assert (math.degrees(math.atan2(normal[0], normal[1])) - azimuth) % 360 == pytest.approx(0, abs=1e-3)
        width, height = (float(rect.find(f"{GB}{t}").text) for t in ("Width", "Height"))
        assert width * height >= area * (1 - 1e-9)
        for opening in surface.findall(f"{GB}Opening"):
            opening_area, opening_normal = newell(loop_points(opening))
            assert opening_area <= area * (1 + 1e-9) and np.allclose(opening_normal, normal, atol=1e-6)
    for space, total in closed.items():
        assert total == pytest.approx(mesh_area[space], rel=0.01), space
    return root


@pytest.mark.parametrize("variant", ["IFC4-m", "IFC2X3-m", "IFC4-m-far"])
def test_gbxml_is_valid_closed_and_paired(model_dir, tmp_path, variant):
    from energy_models import BOUNDARIES

    from kovalith import energy

    _, ids, rooms, boundaries = loaded(model_dir, variant)
    counts = energy.write_gbxml(rooms, boundaries, tmp_path / "model.xml")
    root = gbxml_checked(tmp_path / "model.xml", rooms)
    name = {gid: n for n, gid in ids.items()}
    planned = [b for bs in BOUNDARIES.values() for b in bs]
    # An interior boundary is one surface for both spaces.
    assert counts["surfaces"] == sum(1 for b in planned if not b.internal) + sum(1 for b in planned if b.internal) // 2
    surfaces = list(root.iter(f"{GB}Surface"))
    assert len(surfaces) == counts["surfaces"]
    want: Counter = Counter()
    pairs = set()
    for space, bs in BOUNDARIES.items():
        for b in bs:
            if not b.internal:
                want[b.surface_type] += 1
            elif (key := (frozenset((space, b.other)), b.element)) not in pairs:
                pairs.add(key)  # written once, a floor from below as a ceiling
                want["Ceiling" if b.surface_type == "InteriorFloor" else b.surface_type] += 1
    assert Counter(s.get("surfaceType") for s in surfaces) == want
    space_name = {s.get("id"): name[s.get("ifcGUID")] for s in root.iter(f"{GB}Space")}
    for s in surfaces:
        adjacent = [space_name[a.get("spaceIdRef")] for a in s.findall(f"{GB}AdjacentSpaceId")]
        element = name[s.find(f"{GB}CADObjectId").text]
        match = [b for b in BOUNDARIES[adjacent[0]] if b.element == element and b.other == (adjacent[1:] or [None])[0]]
        assert len(match) == 1 and match[0].surface_type == s.get("surfaceType"), (adjacent, element)
        if s.get("surfaceType") == "Ceiling":
            assert [a.get("surfaceType") for a in s.findall(f"{GB}AdjacentSpaceId")] == ["Ceiling", "InteriorFloor"]
        openings = sorted((name[o.find(f"{GB}CADObjectId").text], o.get("openingType"))
                          for o in s.findall(f"{GB}Opening"))
        assert openings == sorted((o.filling, "NonSlidingDoor" if o.kind == "door" else "FixedWindow")
                                  for o in match[0].openings)
    assert counts["openings"] == sum(1 for _ in root.iter(f"{GB}Opening"))
    storeys = {s.get("id"): float(s.find(f"{GB}Level").text) for s in root.iter(f"{GB}BuildingStorey")}
    assert sorted(storeys.values()) == pytest.approx([0.0, 3.3])


# OpenStudio's gbXML reverse translator, run in a child interpreter: its
# native library's teardown at exit is not safe beside the other native
# libraries the suite loads. Writes what the test checks as JSON (its
# logger writes on stdout).
OPENSTUDIO_READ = """
import json, sys
import openstudio
translator = openstudio.gbxml.GbXMLReverseTranslator()
loaded = translator.loadModel(openstudio.toPath(sys.argv[1]))
out = {"loaded": loaded.is_initialized(), "errors": [m.logMessage() for m in translator.errors()], "spaces": []}
if loaded.is_initialized():
    model = loaded.get()
    def cad(space):
        return space.additionalProperties().getFeatureAsString("CADObjectId").get()
    out["surfaces"] = len(model.getSurfaces())
    for space in model.getSpaces():
        surfaces = []
        for s in space.surfaces():
            other = s.adjacentSurface()
            back = other.get().adjacentSurface() if other.is_initialized() else None
            surfaces.append({
                "area": s.grossArea(),
                "other": cad(other.get().space().get()) if other.is_initialized() else None,
                "other_area": other.get().grossArea() if other.is_initialized() else None,
                "back": back is not None and back.is_initialized() and back.get().handle() == s.handle(),
                "subsurfaces": [sub.subSurfaceType() for sub in s.subSurfaces()]})
        out["spaces"].append({"cad": cad(space), "floor": space.floorArea(), "volume": space.volume(),
                              "surfaces": surfaces})
with open(sys.argv[2], "w") as f:
    json.dump(out, f)
"""


def openstudio_read(path):
    """What OpenStudio's reverse translator makes of a gbXML file."""
    import json
    import subprocess
    import sys

    summary = path.with_suffix(".openstudio.json")
    result = subprocess.run([sys.executable, "-c", OPENSTUDIO_READ, str(path), str(summary)], capture_output=True,
                            text=True, timeout=600)
    assert result.returncode == 0, result.stderr
    return json.loads(summary.read_text())


def test_openstudio_reads_every_space_and_surface(model_dir, tmp_path):
    """OpenStudio's gbXML reverse translator takes the file whole: every
    space (found by its CADObjectId), a surface per boundary (an interior
    surface becomes one per side, matched to the other), the openings, and
    the plan's floor areas and volumes."""
    if importlib.util.find_spec("openstudio") is None:  # not imported here: see OPENSTUDIO_READ
        pytest.skip("openstudio is part of the test requirements")
    from energy_models import BOUNDARIES, ROOMS

    from kovalith import energy

    _, ids, rooms, boundaries = loaded(model_dir, "IFC4-m")
    energy.write_gbxml(rooms, boundaries, tmp_path / "model.xml")
    read = openstudio_read(tmp_path / "model.xml")
    assert read["loaded"]
    # OpenStudio reads 7.03 natively and says so about any older version.
    assert all("Version of schema" in m for m in read["errors"])
    name = {gid: n for n, gid in ids.items()}
    spaces = {name[s["cad"]]: s for s in read["spaces"]}
    assert set(spaces) == set(ROOMS)
    assert read["surfaces"] == len(boundaries)
    for space_name, space in spaces.items():
        planned = BOUNDARIES[space_name]
        _, box = ROOMS[space_name]
        dx, dy, dz = (box.x[1] - box.x[0]), (box.y[1] - box.y[0]), (box.z[1] - box.z[0])
        assert space["floor"] == pytest.approx(dx * dy, rel=1e-6)
        assert space["volume"] == pytest.approx(dx * dy * dz, rel=1e-6)
        surfaces = space["surfaces"]
        assert len(surfaces) == len(planned)
        assert sum(s["area"] for s in surfaces) == pytest.approx(sum(b.area for b in planned), rel=1e-6)
        matched = [s for s in surfaces if s["other"] is not None]
        assert all(s["back"] and s["other_area"] == pytest.approx(s["area"]) for s in matched)
        assert sorted(name[s["other"]] for s in matched) == sorted(b.other for b in planned if b.internal)
        kinds = Counter(sub for s in surfaces for sub in s["subsurfaces"])
        assert kinds == Counter({"door": "Door", "window": "FixedWindow"}[o.kind] for b in planned for o in b.openings)


def test_command_line_writes_gbxml(model_dir, tmp_path):
    from kovalith import cli

    path, _, rooms, _ = loaded(model_dir, "IFC4-m")
    out = tmp_path / "model.xml"
    assert cli.main(["graph", str(path), "--gbxml", str(out), "--quiet"]) == 0
    gbxml_checked(out, rooms)
    assert cli.main(["graph", str(path), "--gbxml", str(out), "--json", str(out), "--quiet"]) == 1


def office_counts(storeys, n):
    """Boundaries of examples/ifc_office.py's office by type, from its plan:
    per storey 2n offices either side of a corridor, each office behind an
    outer wall and, at the row's ends, an end wall; the corridor's faces meet
    the offices' across its walls but for a wall's width at each partition
    between two offices (the building goes on there: one-sided interior
    walls); the stair hole above each corridor but the first an open (Air)
    pair beside the corridors' floor contact."""
    per_storey_pairs = 2 * (n - 1) + 2 * n  # office | office, office | corridor
    return Counter({
        "ExteriorWall": storeys * (2 * n + 6),
        "InteriorWall": storeys * (2 * per_storey_pairs + 2 * (n - 1)),
        "Ceiling": (storeys - 1) * (2 * n + 1), "InteriorFloor": (storeys - 1) * (2 * n + 1),
        "Air": 2 * (storeys - 1), "SlabOnGrade": 2 * n + 1, "Roof": 2 * n + 1})


def test_office_boundaries_by_type_pairs_and_gbxml(model_dir, tmp_path):
    """The demo's office at the tests' size: counts by type and pairs as its
    plan gives them, every space closed, the gbXML valid and closed."""
    from ifc_models import SIZE, office_file

    from kovalith import energy, ifc

    path, layout = office_file("metres", model_dir)
    rooms = ifc.load(path, threads=1)
    boundaries = energy.space_boundaries(rooms)
    storeys, n = SIZE["storeys"], SIZE["offices_per_side"]
    assert Counter(b.surface_type for b in boundaries) == office_counts(storeys, n)
    pairs = sum(b.corresponding is not None for b in boundaries) // 2
    assert pairs == storeys * (2 * (n - 1) + 2 * n) + (storeys - 1) * (2 * n + 2)
    one_sided = [b for b in boundaries if b.internal and b.other_space is None]
    assert len(one_sided) == storeys * 2 * (n - 1)
    assert all(b.area == pytest.approx(0.2 * 3.0) and b.element_class == "IfcWall" for b in one_sided)
    stair_holes = {g for g, _, _ in layout.stairs}
    assert {o.opening for b in boundaries if b.surface_type == "Air" for o in b.openings} == stair_holes
    doors = {o.filling for b in boundaries for o in b.openings if o.kind == "door"}
    windows = {o.filling for b in boundaries for o in b.openings if o.kind == "window"}
    assert doors == {g for g, _, _ in layout.doors} and windows == set(layout.windows)
    assert all(e.error < 1e-6 for e in enclosure(rooms, boundaries))
    counts = energy.write_gbxml(rooms, boundaries, tmp_path / "office.xml")
    assert counts["skipped"] == 0
    gbxml_checked(tmp_path / "office.xml", rooms)


def test_walk_building_boundaries_follow_its_contacts(model_dir):
    """The walking test building (tests/ifc_walk_models.py): between every
    pair of rooms its plan joins, the boundaries carry exactly the elements,
    doors and windows the plan puts there; a pair with no physical element
    between (open plan, a virtual screen, an empty gap, a stair hole) is
    open (Air); a window in a wall that also has an unfilled hatch stays in
    its wall; and no other pair has boundaries."""
    import warnings

    from ifc_walk_models import CONTACTS, ELEMENTS, author_walks

    from kovalith import energy, ifc

    model, ids = author_walks()
    path = model_dir / "walks.ifc"
    model.write(str(path))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # the broken railing is reported and skipped
        rooms = ifc.load(path, threads=1)
    boundaries = energy.space_boundaries(rooms)
    name = {gid: n for n, gid in ids.items()}
    pairs: dict[tuple[str, str], list] = {}
    for b in boundaries:
        if b.other_space is not None and name.get(b.space) != "Label":
            pairs.setdefault(tuple(sorted((name[b.space], name[b.other_space]))), []).append(b)
    assert set(pairs) == set(CONTACTS)
    for pair, contact in CONTACTS.items():
        found = pairs[pair]
        assert {name[b.element] for b in found if b.element} == set(contact.elements), pair
        assert {name[o.filling] for b in found for o in b.openings if o.kind == "door"} == set(contact.doors), pair
        assert {name[o.filling] for b in found for o in b.openings if o.kind == "window"} == set(contact.windows)
        physical = [e for e in contact.elements if ELEMENTS[e][0] != "IfcVirtualElement"]
        for b in found:
            holes = [o for o in b.openings if o.kind == "air"]
            if b.surface_type == "Air":
                # Open: no physical element planned, or a hole through the one there is.
                assert not physical or (holes and sum(o.area for o in holes) >= 0.99 * b.area), (pair, b)
            else:
                assert physical and b.physical and name[b.element] in physical, (pair, b)
    assert all(e.error < 1e-6 for e in energy.enclosure(rooms, boundaries) if e.name != "Label")


@pytest.mark.parametrize("holes", [[(1.0, 1.0, 2.0, 2.0)], [(0.5, 0.5, 1.5, 4.5), (2.5, 1.0, 3.5, 2.0)]])
def test_gbxml_cuts_a_boundary_with_holes_into_hole_free_surfaces(tmp_path, holes):
    """gbXML's polygons have no holes: a roof with holes (where rooms stand
    on it, say) is written as surfaces that together cover it and nothing of
    its holes, each counter-clockwise seen from outside, and the skylight on
    it lands on exactly one of them."""
    pytest.importorskip("shapely")
    from kovalith import gbxml

    model, pieces, at = box_building(rooms=[("A", GROUND, 0.0)], openings=[("Skylight", "IfcWindow", None, None)],
                                     holes=[("A", "top", "Skylight")])
    k = at["A", "top"]
    rings = [np.array([(x0, y0, 3.0), (x0, y1, 3.0), (x1, y1, 3.0), (x1, y0, 3.0), (x0, y0, 3.0)])  # clockwise
             for x0, y0, x1, y1 in holes]
    skylight = np.array([(3.6, 4.2, 3.0), (3.9, 4.2, 3.0), (3.9, 4.8, 3.0), (3.6, 4.8, 3.0), (3.6, 4.2, 3.0)])
    net = 20.0 - sum((x1 - x0) * (y1 - y0) for x0, y0, x1, y1 in holes)
    pieces[k] = pieces[k]._replace(polygon=RegionPolygon(pieces[k].polygon.outer, rings), area=net,
                                   openings=[Hole(0, skylight, 0.18)])
    boundaries = classify(model, pieces)
    path = tmp_path / "holes.xml"
    gbxml.write_gbxml(model, boundaries, path)
    assert gbxml.validate(path) == []
    from lxml import etree

    roofs = [s for s in etree.parse(str(path)).getroot().iter(f"{GB}Surface") if s.get("surfaceType") == "Roof"]
    assert len(roofs) > 1
    total = 0.0
    with_skylight = 0
    for roof in roofs:
        points = np.array(loop_points(roof))
        area, normal = newell(points)
        assert np.allclose(normal, (0, 0, 1)) and np.allclose(points[:, 2], 3.0)
        total += area
        flat = points[:, :2]
        for x0, y0, x1, y1 in holes:  # nothing of a hole: its centre and corners' insides stay out
            for p in [((x0 + x1) / 2, (y0 + y1) / 2), (x0 + 1e-3, y0 + 1e-3), (x1 - 1e-3, y1 - 1e-3)]:
                assert not inside_ring(p, flat)
        for opening in roof.findall(f"{GB}Opening"):
            assert opening.get("openingType") == "FixedSkylight"
            assert inside_ring(np.array(loop_points(opening))[:, :2].mean(axis=0), flat)
            with_skylight += 1
    assert total == pytest.approx(net, rel=1e-9)
    assert with_skylight == 1


def inside_ring(point, ring):
    """Even-odd test of a 2D point against a ring of 2D points."""
    x, y = point
    inside = False
    for (x0, y0), (x1, y1) in zip(ring, np.roll(ring, -1, axis=0)):
        if (y0 > y) != (y1 > y) and x < x0 + (y - y0) * (x1 - x0) / (y1 - y0):
            inside = not inside
    return inside


def test_gbxml_text_carries_names_with_markup_and_stray_characters(tmp_path):
    """Names, storeys and ids reach the document as they are (markup escaped,
    whitespace in attributes kept); a character XML cannot hold, such as a
    stray control character from an exporter, becomes U+FFFD instead of
    failing the export."""
    import dataclasses

    from lxml import etree

    from kovalith import gbxml

    model, pieces, _ = box_building(rooms=[("A", GROUND, 0.0)])
    name = 'Büro <1> & "Flur" \'Nord\'\x01\ttab'
    storey = 'L "0" & <up>\nnext'
    space = dataclasses.replace(model.room_products[0], name=name, long_name="x]]>y", storey=storey,
                                global_id="0a&<b\"c")
    model = dataclasses.replace(model, room_products=[space], storeys=[(storey, 0.0)], source="/tmp/A & B.ifc")
    boundaries = classify(model, pieces)
    path = tmp_path / "names.xml"
    gbxml.write_gbxml(model, boundaries, path)
    assert gbxml.validate(path) == []
    root = etree.parse(str(path)).getroot()
    assert root.find(f"{GB}Campus/{GB}Name").text == "A & B"
    written = root.find(f".//{GB}Space")
    assert written.find(f"{GB}Name").text == name.replace("\x01", "\ufffd")
    assert written.find(f"{GB}Description").text == "x]]>y"
    assert written.get("ifcGUID") == written.find(f"{GB}CADObjectId").text == "0a&<b\"c"
    level = root.find(f".//{GB}BuildingStorey")
    assert written.get("buildingStoreyIdRef") == level.get("id") and level.find(f"{GB}Name").text == storey
    assert etree.tostring(gbxml.gbxml_document(model, boundaries)) == etree.tostring(
        etree.parse(str(path), etree.XMLParser(remove_blank_text=True)).getroot())


def test_batched_probes_equal_the_plain_scan():
    """The inner points of many polygons at once (rectangles, an L whose
    centroid lies outside it, a ring around a hole, tilted and far off) are
    those of the polygon-by-polygon search; the batched point-in-solid test
    agrees with box arithmetic for points in, out of and between boxes and an
    L-shaped solid."""
    from kovalith.energy import _inner_point, _inner_points, _Solids, mesh_volumes

    rng = np.random.default_rng(7)
    square = [(0, 0), (4, 0), (4, 4), (0, 4)]
    shapes = [([(0, 0), (3, 0), (3, 2), (0, 2)], []),
              ([(0, 0), (4, 0), (4, 1), (1, 1), (1, 4), (0, 4)], []),  # an L: its centroid is outside
              (square, [[(1, 1), (1, 3), (3, 3), (3, 1)]]),  # the centroid is in the hole
              (square, [[(0.5, 0.5), (0.5, 1), (1, 1), (1, 0.5)]])]
    polygons, normals = [], []
    for k in range(40):
        outer, holes = shapes[k % len(shapes)]
        n = rng.normal(size=3)
        n /= np.linalg.norm(n)
        u = np.cross(n, [0.3, 0.5, 0.8])
        u /= np.linalg.norm(u)
        w = np.cross(n, u)
        origin = rng.uniform(-5000, 5000, 3) if k % 3 == 0 else rng.uniform(-5, 5, 3)

        def lift(ring):
            return np.array([origin + x * u + y * w for x, y in ring + ring[:1]])

        polygons.append(RegionPolygon(lift(outer), [lift(h[::-1]) for h in holes]))
        normals.append(n)
    batched = _inner_points(polygons, np.array(normals))
    for got, polygon, n in zip(batched, polygons, normals):
        assert np.allclose(got, _inner_point(polygon, n), rtol=0, atol=1e-9)

    boxes = [((0, 0, 0), (4, 5, 3)), ((4.2, 0, 0), (8, 5, 3)), ((0, 0, 3.3), (8, 5, 6.3))]
    l_shape = Mesh([Vector3D(*p) for p in [(10, 0, 0), (14, 0, 0), (14, 1, 0), (11, 1, 0), (11, 4, 0), (10, 4, 0),
                                           (10, 0, 2), (14, 0, 2), (14, 1, 2), (11, 1, 2), (11, 4, 2), (10, 4, 2)]],
                   [[5, 4, 3, 2, 1, 0], [6, 7, 8, 9, 10, 11], [0, 1, 7, 6], [1, 2, 8, 7], [2, 3, 9, 8],
                    [3, 4, 10, 9], [4, 5, 11, 10], [5, 0, 6, 11]])
    solids = _Solids([box_mesh(b) for b in boxes] + [l_shape])
    points = np.concatenate([rng.uniform((-1, -1, -1), (15, 6, 7), (3000, 3)),
                             [(4.1, 2.5, 1.5), (2, 2.5, 3.15), (12, 3, 1), (10.5, 3, 1), (12.5, 0.5, 1)]])

    def truth(p):
        in_box = any(all(lo[i] < p[i] < hi[i] for i in range(3)) for lo, hi in boxes)
        x, y, z = p
        in_l = 0 < z < 2 and ((10 < x < 14 and 0 < y < 1) or (10 < x < 11 and 0 < y < 4))
        return in_box or in_l

    assert solids.contains_all(points).tolist() == [truth(p) for p in points]
    assert [solids.contains(p) for p in points[-5:]] == [False, False, False, True, True]
    meshes = [box_mesh(b) for b in boxes] + [Mesh([], []), l_shape, box_mesh(shifted(GROUND, dx=5000.0))]
    want = [float(np.prod(np.subtract(hi, lo))) for lo, hi in boxes] + [0.0, 4 * 1 * 2 + 1 * 3 * 2, 4 * 5 * 3]
    assert mesh_volumes(meshes) == pytest.approx(want, rel=1e-12)


@pytest.mark.parametrize("schema", ["IFC2X3", "IFC4", "IFC4X3"])
def test_doors_and_windows_open_as_the_model_says(model_dir, tmp_path, schema):
    """Each case of the table (a window fixed or operable by its type's or
    its own panels, or saying nothing; a skylight in the roof; a sliding and
    a hinged door, by their own operation or their type's or style's; an
    opening nothing fills) reaches its boundary opening's ``operation`` and
    its gbXML ``openingType``, which the 6.01 schema accepts."""
    from energy_models import OPERATION_CASES, operations_file
    from lxml import etree

    from kovalith import energy, gbxml, ifc

    path, ids = operations_file(schema, model_dir)
    rooms = ifc.load(path, threads=1)
    boundaries = energy.space_boundaries(rooms)
    name = {gid: n for n, gid in ids.items()}
    found: dict[str, set] = {}
    for b in boundaries:
        for o in b.openings:
            key = name[o.filling] if o.filling is not None else name[o.opening]
            found.setdefault(key, set()).add((o.kind, o.operation, gbxml.opening_type(o, b.normal), b.surface_type))
    out = tmp_path / "operations.xml"
    energy.write_gbxml(rooms, boundaries, out)
    assert gbxml.validate(out) == []
    # Every type the writer can give is one of the schema's.
    xsd = etree.parse(str(gbxml.schema_path()))
    allowed = {e.get("value") for e in xsd.iterfind(
        ".//{http://www.w3.org/2001/XMLSchema}simpleType[@name='openingTypeEnum']//"
        "{http://www.w3.org/2001/XMLSchema}enumeration")}
    assert {t for types in (*gbxml.OPENING_TYPES.values(), *gbxml.OPERATION_TYPES.values()) for t in types} <= allowed
    root = etree.parse(str(out)).getroot()
    written = {name[o.find(f"{GB}CADObjectId").text]: o.get("openingType") for o in root.iter(f"{GB}Opening")}
    for filling, (_, operation, opening_type) in OPERATION_CASES.items():
        kind = "air" if operation is None else "door" if filling.startswith("Door") else "window"
        assert {(k, op, t) for k, op, t, _ in found[filling]} == {(kind, operation, opening_type)}, filling
        if kind == "air":  # the hole is the whole open boundary between B and C: the surface is the air
            assert {surface for *_, surface in found[filling]} == {"Air"}
            assert filling not in written
        else:
            assert written[filling] == opening_type
            assert rooms.operations[ids[filling]] == operation
