"""A two-storey IFC building where every way from room to room is known,
authored with ifcopenshell.api, and the truth its graph must equal.

One row of rooms along x, all 5 m deep (y 0..5); the ground storey's rooms
run from z 0 to 3, the upper storey's from 3.3 to 6.3 above a 0.3 m slab.
Each pair of neighbours holds one of the cases a walkable layer has to get
right (the comment at each row of `CONTACTS` says which), and `CONTACTS` is
the plan's truth: every contact the compiled graph must have, with how
people cross it (``via``) and what stands in its gap (``elements``), and no
other contact. Names stand for GlobalIds; `author_walks` returns the map.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any

CLEAR = 3.0  # floor to ceiling
SLAB = 0.3
UPPER = CLEAR + SLAB  # floor of the upper storey
DEPTH = 5.0


@dataclass(frozen=True)
class Box:
    x: tuple[float, float]
    y: tuple[float, float]
    z: tuple[float, float]


def _ground(x0: float, x1: float, y: tuple[float, float] = (0.0, DEPTH)) -> Box:
    return Box((x0, x1), y, (0.0, CLEAR))


def _upper(x0: float, x1: float, y: tuple[float, float] = (0.0, DEPTH), bottom: float = UPPER) -> Box:
    return Box((x0, x1), y, (bottom, UPPER + CLEAR))


# name -> (storey, body)
ROOMS: dict[str, tuple[int, Box]] = {
    "Kitchen": (0, _ground(0.0, 4.0)),
    "Living": (0, _ground(4.0, 9.0)),
    "Hall": (0, _ground(9.2, 12.0)),
    "Stair 0": (0, _ground(12.05, 15.0)),
    "Store": (0, _ground(15.1, 18.0)),
    "Ramp 0": (0, _ground(18.2, 22.0)),
    "Plant": (0, _ground(22.2, 26.0)),
    "Office": (0, _ground(26.2, 30.0)),
    "Exit": (0, _ground(30.2, 34.0)),
    "Bed 1": (1, _upper(0.0, 3.9)),
    "Bed 2": (1, _upper(4.1, 9.0)),
    "Gallery": (1, _upper(9.2, 12.0, (0.0, 2.0))),
    "Stair 1": (1, _upper(12.2, 15.0)),
    "Ramp 1": (1, _upper(18.2, 22.0)),
    "Plant 1": (1, _upper(22.8, 26.0, bottom=UPPER + 0.7)),  # a 1 m plenum under it, no slab
}
FLAT_ROOM = "Label"  # a space of zero height lying in the ground floor
FLAT_BOX = Box((0.0, 4.0), (0.0, DEPTH), (0.0, 0.0))


def _wall(x0: float, storey: int) -> Box:
    return Box((x0, x0 + 0.2), (0.0, DEPTH), (0.0, CLEAR) if storey == 0 else (UPPER, UPPER + CLEAR))


# name -> (ifc class, storey, body); bodies are boxes in world metres
ELEMENTS: dict[str, tuple[str, int, Box]] = {
    "Wall L|H": ("IfcWall", 0, _wall(9.0, 0)),
    "Screen H|S": ("IfcVirtualElement", 0, Box((12.0, 12.05), (0.0, DEPTH), (0.0, CLEAR))),
    "Wall R|M": ("IfcWall", 0, _wall(18.0, 0)),
    "Wall M|P": ("IfcWall", 0, _wall(22.0, 0)),
    "Wall P|O": ("IfcWall", 0, _wall(26.0, 0)),
    "Wall O|E": ("IfcWall", 0, _wall(30.0, 0)),
    "Wall B|B": ("IfcWall", 1, _wall(3.9, 1)),
    "Wall B|G": ("IfcWall", 1, _wall(9.0, 1)),
    "Wall G|S": ("IfcWall", 1, _wall(12.0, 1)),
    "Floor 1": ("IfcSlab", 1, Box((-0.1, 22.1), (-0.1, DEPTH + 0.1), (CLEAR, UPPER))),
    "Flight": ("IfcStairFlight", 0, Box((13.0, 14.0), (1.0, 4.0), (0.0, UPPER))),
    "Ramp": ("IfcRamp", 0, Box((19.0, 21.0), (1.0, 4.0), (0.0, UPPER))),
}
STAIR = "Stair"  # IfcStair without a body of its own: "Flight" is its part
BROKEN = "Railing"  # an IfcRailing whose placement cannot be evaluated

# name -> (ifc class, host element, body, filled by)
OPENINGS: dict[str, tuple[str, str, Box, str | None]] = {
    "Door L|H opening": ("IfcOpeningElement", "Wall L|H", Box((9.0, 9.2), (1.0, 2.0), (0.0, 2.1)), "Door L|H"),
    # A door standing on the slab of the upper storey, its body 4 mm proud of
    # both faces of its wall (within the 5 mm a face may lie behind the one
    # opposite it), and an opening box as wide reaching 1 cm into the slab:
    # both lie over the floor contacts below, on 4 mm x 1 m strips, without
    # opening them.
    "Door B|B opening": ("IfcOpeningElement", "Wall B|B",
                         Box((3.896, 4.104), (1.0, 2.0), (UPPER - 0.01, UPPER + 2.1)), "Door B|B"),
    "Passage": ("IfcOpeningElement", "Wall R|M", Box((18.0, 18.2), (2.0, 2.9), (0.0, 2.0)), None),
    "Hatch": ("IfcOpeningElement", "Wall M|P", Box((22.0, 22.2), (1.0, 1.5), (1.0, 1.5)), None),
    "Window opening": ("IfcOpeningElement", "Wall M|P", Box((22.0, 22.2), (3.0, 4.0), (1.0, 2.2)), "Window"),
    "Door P|O opening": ("IfcOpeningElement", "Wall P|O", Box((26.0, 26.2), (1.0, 2.0), (0.0, 2.1)), "Door P|O"),
    # The stair hole covers the whole floor contact of the hall and the gallery.
    "Stair hole": ("IfcOpeningElement", "Floor 1", Box((9.2, 12.0), (0.0, 2.0), (CLEAR, UPPER)), None),
}
FILLINGS: dict[str, tuple[str, Box | None]] = {
    "Door L|H": ("IfcDoor", Box((9.075, 9.125), (1.0, 2.0), (0.0, 2.1))),
    "Door B|B": ("IfcDoor", Box((3.896, 4.104), (1.0, 2.0), (UPPER, UPPER + 2.1))),
    "Window": ("IfcWindow", Box((22.075, 22.125), (3.0, 4.0), (1.0, 2.2))),
    "Door P|O": ("IfcDoor", None),  # a body IfcOpenShell cannot build: its opening stands in
}
# A door with neither a body nor an opening, placed on the east face of
# "Wall O|E" with its width along +y: its box comes from the placement, the
# overall size and the wall's thickness.
LOOSE_DOOR = "Door O|E"
LOOSE_DOOR_ORIGIN = (30.2, 1.0, 0.0)
LOOSE_DOOR_SIZE = (1.0, 2.1)  # OverallWidth, OverallHeight
LOOSE_DOOR_BOX = Box((30.0, 30.2), (1.0, 2.0), (0.0, 2.1))

FALLBACKS = {"Door P|O": "opening", LOOSE_DOOR: "box"}
# OverallWidth of the doors that have one (the loose door's is LOOSE_DOOR_SIZE).
DOOR_WIDTHS = {"Door L|H": 0.9, "Door P|O": 0.85}
# The width of every contact a person crosses through a door or a passage:
# a door's OverallWidth, else the extent of its body or opening across the
# wall (1 m for "Door B|B"), a passage's extent (0.9 m); no other contact has one.
WIDTHS: dict[tuple[str, str], float] = {
    ("Hall", "Living"): 0.9,
    ("Office", "Plant"): 0.85,
    ("Exit", "Office"): LOOSE_DOOR_SIZE[0],
    ("Bed 1", "Bed 2"): 1.0,
    ("Ramp 0", "Store"): 0.9,
}


@dataclass(frozen=True)
class Contact:
    """What the plan says of one contact."""

    via: tuple[str, ...] = ()
    elements: tuple[str, ...] = ()
    doors: tuple[str, ...] = ()
    windows: tuple[str, ...] = ()
    crossings: tuple[str, ...] = ()


# (room, room) in name order -> the contact; no other pair touches.
CONTACTS: dict[tuple[str, str], Contact] = {
    ("Kitchen", "Living"): Contact(via=("open",)),  # open plan: the faces touch, no wall
    ("Hall", "Living"): Contact(via=("door",), elements=("Wall L|H",), doors=("Door L|H",)),
    ("Hall", "Stair 0"): Contact(via=("open",), elements=("Screen H|S",)),  # only a virtual boundary
    ("Stair 0", "Store"): Contact(),  # 0.1 m apart, nothing between: no way through
    ("Ramp 0", "Store"): Contact(via=("passage",), elements=("Wall R|M",)),  # unfilled, 0.9 x 2.0 m
    ("Plant", "Ramp 0"): Contact(elements=("Wall M|P",), windows=("Window",)),  # a hatch and a window
    ("Office", "Plant"): Contact(via=("door",), elements=("Wall P|O",), doors=("Door P|O",)),
    ("Exit", "Office"): Contact(via=("door",), elements=("Wall O|E",), doors=(LOOSE_DOOR,)),
    ("Bed 1", "Bed 2"): Contact(via=("door",), elements=("Wall B|B",), doors=("Door B|B",)),
    ("Bed 2", "Gallery"): Contact(elements=("Wall B|G",)),
    ("Gallery", "Stair 1"): Contact(elements=("Wall G|S",)),
    ("Bed 1", "Kitchen"): Contact(elements=("Floor 1",)),  # the door above stands on it
    ("Bed 2", "Living"): Contact(elements=("Floor 1",)),
    ("Gallery", "Hall"): Contact(via=("stair_hole",)),  # wholly inside the hole: no slab left
    ("Stair 0", "Stair 1"): Contact(via=("stair",), elements=("Floor 1",), crossings=("Flight",)),
    ("Ramp 0", "Ramp 1"): Contact(via=("ramp",), elements=("Floor 1",), crossings=("Ramp",)),
    ("Plant", "Plant 1"): Contact(),  # a plenum with no slab element is not a way through
}
STOREY_NAMES = ("Level 0", "Level 1")


def author_walks(extra_doors: dict[str, tuple[str, Box, float]] | None = None) -> tuple[Any, dict[str, str]]:
    """Author the building; returns ``(ifcopenshell.file, name -> GlobalId)``.

    `extra_doors` adds doors beyond the plan, ``name -> (host wall, opening
    box, OverallWidth)``, each filling an opening of that box in its wall
    with a body as large.
    """
    import ifcopenshell.api.aggregate
    import ifcopenshell.api.context
    import ifcopenshell.api.feature
    import ifcopenshell.api.geometry
    import ifcopenshell.api.project
    import ifcopenshell.api.root
    import ifcopenshell.api.spatial
    import ifcopenshell.api.unit

    api = ifcopenshell.api
    model = api.project.create_file(version="IFC4")
    project = api.root.create_entity(model, ifc_class="IfcProject", name="Walks")
    api.unit.assign_unit(model, units=[api.unit.add_si_unit(model, unit_type="LENGTHUNIT")])
    body = api.context.add_context(model, context_type="Model", context_identifier="Body",
                                   target_view="MODEL_VIEW",
                                   parent=api.context.add_context(model, context_type="Model"))
    ids: dict[str, str] = {}

    def placement(origin: tuple[float, float, float], x_axis: tuple[float, float, float] | None = None) -> Any:
        axes = model.createIfcAxis2Placement3D(
            model.createIfcCartesianPoint(tuple(map(float, origin))),
            model.createIfcDirection((0.0, 0.0, 1.0)) if x_axis else None,
            model.createIfcDirection(x_axis) if x_axis else None)
        return model.createIfcLocalPlacement(None, axes)

    def box_shape(box: Box) -> Any:
        dx, dy, dz = box.x[1] - box.x[0], box.y[1] - box.y[0], box.z[1] - box.z[0]
        profile = model.createIfcRectangleProfileDef(
            "AREA", None, model.createIfcAxis2Placement2D(model.createIfcCartesianPoint((dx / 2, dy / 2))), dx, dy)
        solid = model.createIfcExtrudedAreaSolid(
            profile, model.createIfcAxis2Placement3D(model.createIfcCartesianPoint((0.0, 0.0, 0.0))),
            model.createIfcDirection((0.0, 0.0, 1.0)), dz)
        return model.createIfcShapeRepresentation(body, "Body", "SweptSolid", [solid])

    def flat_shape(box: Box) -> Any:
        (x0, x1), (y0, y1), (z, _) = box.x, box.y, box.z
        points = model.createIfcCartesianPointList3D(
            [(x0, y0, z), (x1, y0, z), (x1, y1, z), (x0, y1, z)] * 2)
        triangles = [(1, 3, 2), (1, 4, 3), (5, 6, 7), (5, 7, 8), (1, 2, 6), (1, 6, 5),
                     (2, 3, 7), (2, 7, 6), (3, 4, 8), (3, 8, 7), (4, 1, 5), (4, 5, 8)]
        faces = model.createIfcTriangulatedFaceSet(points, None, True, triangles)
        return model.createIfcShapeRepresentation(body, "Body", "Tessellation", [faces])

    def product(ifc_class: str, name: str, box: Box | None, **attributes: Any) -> Any:
        element = api.root.create_entity(model, ifc_class=ifc_class, name=name)
        for key, value in attributes.items():
            setattr(element, key, value)
        if box is not None:
            element.ObjectPlacement = placement((box.x[0], box.y[0], box.z[0]))
            api.geometry.assign_representation(model, product=element, representation=box_shape(box))
        ids[name] = element.GlobalId
        return element

    site = api.root.create_entity(model, ifc_class="IfcSite", name="Site")
    building = api.root.create_entity(model, ifc_class="IfcBuilding", name="House")
    api.aggregate.assign_object(model, relating_object=project, products=[site])
    api.aggregate.assign_object(model, relating_object=site, products=[building])
    storeys = []
    for k, storey_name in enumerate(STOREY_NAMES):
        storey = api.root.create_entity(model, ifc_class="IfcBuildingStorey", name=storey_name)
        storey.Elevation = k * UPPER
        storeys.append(storey)
    api.aggregate.assign_object(model, relating_object=building, products=storeys)

    spaces: list[list[Any]] = [[], []]
    for name, (k, box) in ROOMS.items():
        spaces[k].append(product("IfcSpace", name, box))
    flat = product("IfcSpace", FLAT_ROOM, None)
    flat.ObjectPlacement = placement((0.0, 0.0, 0.0))
    api.geometry.assign_representation(model, product=flat, representation=flat_shape(FLAT_BOX))
    spaces[0].append(flat)
    for k, storey in enumerate(storeys):
        api.aggregate.assign_object(model, relating_object=storey, products=spaces[k])

    contained: list[list[Any]] = [[], []]
    elements = {}
    for name, (ifc_class, k, box) in ELEMENTS.items():
        elements[name] = product(ifc_class, name, box)
        if name != "Flight":
            contained[k].append(elements[name])
    stair = product("IfcStair", STAIR, None)
    stair.ObjectPlacement = placement((13.0, 1.0, 0.0))
    api.aggregate.assign_object(model, relating_object=stair, products=[elements["Flight"]])
    contained[0].append(stair)
    railing = product("IfcRailing", BROKEN, Box((1.0, 2.0), (4.8, 4.9), (0.0, 1.0)))
    contained[0].append(railing)

    for name, (ifc_class, host, box, filling) in OPENINGS.items():
        opening = product(ifc_class, name, box)
        api.feature.add_feature(model, feature=opening, element=elements[host])
        if filling is None:
            continue
        filling_class, filling_box = FILLINGS[filling]
        element = product(filling_class, filling, filling_box or box,
                          **({"OverallWidth": DOOR_WIDTHS[filling]} if filling in DOOR_WIDTHS else {}))
        if filling_box is None:  # a profile of no width: nothing IfcOpenShell can build
            element.Representation.Representations[0].Items[0].SweptArea.XDim = 0.0
        api.feature.add_filling(model, opening=opening, element=element)
        contained[ELEMENTS[host][1]].append(element)
    for name, (host, box, overall) in (extra_doors or {}).items():
        opening = product("IfcOpeningElement", f"{name} opening", box)
        api.feature.add_feature(model, feature=opening, element=elements[host])
        door = product("IfcDoor", name, box, OverallWidth=overall)
        api.feature.add_filling(model, opening=opening, element=door)
        contained[ELEMENTS[host][1]].append(door)
    width, height = LOOSE_DOOR_SIZE
    loose = product("IfcDoor", LOOSE_DOOR, None, OverallWidth=width, OverallHeight=height)
    loose.ObjectPlacement = placement(LOOSE_DOOR_ORIGIN, (0.0, 1.0, 0.0))
    contained[0].append(loose)
    for k, storey in enumerate(storeys):
        api.spatial.assign_container(model, relating_structure=storey, products=contained[k])
    # The single-threaded geometry iterator stops at a product like this one.
    railing.ObjectPlacement.RelativePlacement = None
    return model, ids
