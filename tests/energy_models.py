"""A two-storey IFC building whose energy boundaries are known from its plan,
authored with ifcopenshell.api, and the truth its boundaries must equal.

The plan (world metres, before the model's offset): a 12 x 6 m block on the
grid lines x = 0, 5, 9, 12 and y = 0, 6. Walls are 0.2 m thick on the grid
lines, slabs 0.3 m; each space stops at the faces of its walls and slabs, as
authoring tools export them. Both storeys are split on the same grid lines,
so every ceiling meets exactly one floor above it and no face is left half
covered:

    Level 1 (z 3.3 .. 6.3)   D | door | E  open (IfcVirtualElement)  F     roof above
    Level 0 (z 0.0 .. 3.0)   A | door | B  wall                      C     ground slab below

Doors: A|B and D|E through the interior walls, and one from A to the outside
in the south wall. Windows in the exterior walls of every room but D's north.
The spaces are placed with their local x along world y, inside placements
nested site / building / storey, so only a correct inverse of a space's
placement brings its local coordinates back to the world.

`author_energy` writes the building in a schema (IFC2X3, IFC4, IFC4X3), a
length unit (metre or millimetre) and at an offset; `BOUNDARIES` is the
truth, derived from the plan's boxes by plain box arithmetic in
`_plan_boundaries` (nothing of kovalith): per space, every face with what
lies behind it and beyond, its gbXML surface type, area and openings.
Names stand for GlobalIds; `author_energy` returns the map.
"""

from __future__ import annotations

import pathlib
from dataclasses import dataclass
from typing import Any

from ifc_walk_models import Box

WALL = 0.2
SLAB = 0.3
CLEAR = 3.0  # floor to ceiling
STOREY = CLEAR + SLAB  # floor to floor
X_GRID = (0.0, 5.0, 9.0, 12.0)
DEPTH = 6.0  # y grid lines 0 and DEPTH
STOREY_NAMES = ("Level 0", "Level 1")
SCHEMAS = ("IFC2X3", "IFC4", "IFC4X3")
FAR = (3000.0, 4000.0)  # 5 km from the origin

_H = WALL / 2


def _z(storey: int) -> tuple[float, float]:
    return storey * STOREY, storey * STOREY + CLEAR


def _room(storey: int, column: int) -> Box:
    return Box((X_GRID[column] + _H, X_GRID[column + 1] - _H), (_H, DEPTH - _H), _z(storey))


# name -> (storey, body)
ROOMS: dict[str, tuple[int, Box]] = {
    "A": (0, _room(0, 0)), "B": (0, _room(0, 1)), "C": (0, _room(0, 2)),
    "D": (1, _room(1, 0)), "E": (1, _room(1, 1)), "F": (1, _room(1, 2)),
}

_LENGTH = X_GRID[-1]
# name -> (ifc class, storey, body)
ELEMENTS: dict[str, tuple[str, int, Box]] = {}
for _s in (0, 1):
    ELEMENTS[f"Wall {_s} S"] = ("IfcWall", _s, Box((-_H, _LENGTH + _H), (-_H, _H), _z(_s)))
    ELEMENTS[f"Wall {_s} N"] = ("IfcWall", _s, Box((-_H, _LENGTH + _H), (DEPTH - _H, DEPTH + _H), _z(_s)))
    ELEMENTS[f"Wall {_s} W"] = ("IfcWall", _s, Box((-_H, _H), (_H, DEPTH - _H), _z(_s)))
    ELEMENTS[f"Wall {_s} E"] = ("IfcWall", _s, Box((_LENGTH - _H, _LENGTH + _H), (_H, DEPTH - _H), _z(_s)))
    ELEMENTS[f"Wall {_s} x5"] = ("IfcWall", _s, Box((5.0 - _H, 5.0 + _H), (_H, DEPTH - _H), _z(_s)))
ELEMENTS["Wall 0 x9"] = ("IfcWall", 0, Box((9.0 - _H, 9.0 + _H), (_H, DEPTH - _H), _z(0)))
# The open boundary between E and F: nothing stands there but a boundary drawn in the gap.
ELEMENTS["Open 1 x9"] = ("IfcVirtualElement", 1, Box((9.0 - _H, 9.0 + _H), (_H, DEPTH - _H), _z(1)))
_SLAB_PLAN = ((-_H, _LENGTH + _H), (-_H, DEPTH + _H))
ELEMENTS["Slab 0"] = ("IfcSlab", 0, Box(*_SLAB_PLAN, (-SLAB, 0.0)))
ELEMENTS["Slab 1"] = ("IfcSlab", 1, Box(*_SLAB_PLAN, (CLEAR, STOREY)))
ELEMENTS["Roof"] = ("IfcRoof", 1, Box(*_SLAB_PLAN, (STOREY + CLEAR, STOREY + CLEAR + SLAB)))

DOOR = (1.0, 2.1)  # width, height
WINDOW = (1.6, 1.4)
SILL = 0.9


def _across_x(x0: float, host: str, size: tuple[float, float], sill: float = 0.0) -> Box:
    """An opening box through a wall that runs along x, from x0 along it."""
    box = ELEMENTS[host][2]
    return Box((x0, x0 + size[0]), box.y, (box.z[0] + sill, box.z[0] + sill + size[1]))


def _across_y(y0: float, host: str, size: tuple[float, float], sill: float = 0.0) -> Box:
    """An opening box through a wall that runs along y, from y0 along it."""
    box = ELEMENTS[host][2]
    return Box(box.x, (y0, y0 + size[0]), (box.z[0] + sill, box.z[0] + sill + size[1]))


# opening name -> (host element, opening box, filling name, filling class); each
# IfcOpeningElement voids its host and is filled by a door or a window.
OPENINGS: dict[str, tuple[str, Box, str, str]] = {
    "Door A|B opening": ("Wall 0 x5", _across_y(2.0, "Wall 0 x5", DOOR), "Door A|B", "IfcDoor"),
    "Door A out opening": ("Wall 0 S", _across_x(1.5, "Wall 0 S", DOOR), "Door A out", "IfcDoor"),
    "Door D|E opening": ("Wall 1 x5", _across_y(4.0, "Wall 1 x5", DOOR), "Door D|E", "IfcDoor"),
    "Window A opening": ("Wall 0 N", _across_x(1.7, "Wall 0 N", WINDOW, SILL), "Window A", "IfcWindow"),
    "Window B opening": ("Wall 0 S", _across_x(6.2, "Wall 0 S", WINDOW, SILL), "Window B", "IfcWindow"),
    "Window C opening": ("Wall 0 E", _across_y(2.2, "Wall 0 E", WINDOW, SILL), "Window C", "IfcWindow"),
    "Window D opening": ("Wall 1 S", _across_x(1.7, "Wall 1 S", WINDOW, SILL), "Window D", "IfcWindow"),
    "Window E opening": ("Wall 1 N", _across_x(6.2, "Wall 1 N", WINDOW, SILL), "Window E", "IfcWindow"),
    "Window F opening": ("Wall 1 S", _across_x(9.7, "Wall 1 S", WINDOW, SILL), "Window F", "IfcWindow"),
    "Window F east opening": ("Wall 1 E", _across_y(3.2, "Wall 1 E", WINDOW, SILL), "Window F east", "IfcWindow"),
}
# The door and window bodies stand in the middle of their openings, 5 cm thick.
FILLING_THICKNESS = 0.05


@dataclass(frozen=True)
class Opening:
    """An opening on a boundary: names of the IfcOpeningElement and its filling."""

    opening: str
    filling: str
    kind: str  # "door" | "window"
    area: float  # m2


@dataclass(frozen=True)
class Boundary:
    """What the plan says of one face of a space."""

    surface_type: str  # gbXML surfaceType
    other: str | None  # the space on the other side
    element: str  # what stands behind the face
    area: float  # m2, gross
    normal: tuple[float, float, float]  # out of the space
    corners: tuple[tuple[float, float, float], ...]  # world metres (no offset), counter-clockwise seen from outside
    openings: tuple[Opening, ...] = ()

    @property
    def internal(self) -> bool:
        return self.other is not None

    @property
    def physical(self) -> bool:
        return ELEMENTS[self.element][0] != "IfcVirtualElement"


_EPS = 1e-9


def _span(box: Box, axis: int) -> tuple[float, float]:
    return (box.x, box.y, box.z)[axis]


def _overlap(a: tuple[float, float], b: tuple[float, float]) -> float:
    return min(a[1], b[1]) - max(a[0], b[0])


def _face_corners(box: Box, axis: int, side: int) -> tuple[tuple[float, float, float], ...]:
    """The face's corners, counter-clockwise seen from outside the box."""
    u, v = (axis + 1) % 3, (axis + 2) % 3  # (u, v, axis) is right-handed
    c = _span(box, axis)[1 if side > 0 else 0]
    (u0, u1), (v0, v1) = _span(box, u), _span(box, v)
    ring = [(u0, v0), (u1, v0), (u1, v1), (u0, v1)] if side > 0 else [(u0, v0), (u0, v1), (u1, v1), (u1, v0)]
    out = []
    for a, b in ring:
        p = [0.0, 0.0, 0.0]
        p[axis], p[u], p[v] = c, a, b
        out.append((p[0], p[1], p[2]))
    return tuple(out)


def _surface_type(axis: int, side: int, other: str | None, element: str) -> str:
    if ELEMENTS[element][0] == "IfcVirtualElement":
        return "Air"
    if axis != 2:
        return "InteriorWall" if other else "ExteriorWall"
    if side > 0:
        return "Ceiling" if other else "Roof"
    # The ground floor lies at the lowest storey's elevation: on grade, not under it.
    return "InteriorFloor" if other else "SlabOnGrade"


def _plan_boundaries() -> dict[str, tuple[Boundary, ...]]:
    """Each space's six faces, each with the one element that covers it and
    the space (if any) beyond that element, from the boxes alone."""
    out: dict[str, tuple[Boundary, ...]] = {}
    for name, (_, room) in ROOMS.items():
        faces = []
        for axis in range(3):
            u, v = (axis + 1) % 3, (axis + 2) % 3
            for side in (-1, 1):
                c = _span(room, axis)[1 if side > 0 else 0]
                face_u, face_v = _span(room, u), _span(room, v)
                full = (face_u[1] - face_u[0]) * (face_v[1] - face_v[0])
                behind = [e for e, (_, _, box) in ELEMENTS.items()
                          if abs(_span(box, axis)[0 if side > 0 else 1] - c) < _EPS
                          and _overlap(_span(box, u), face_u) > _EPS and _overlap(_span(box, v), face_v) > _EPS]
                assert len(behind) == 1, (name, axis, side, behind)
                element = behind[0]
                box = ELEMENTS[element][2]
                assert _overlap(_span(box, u), face_u) * _overlap(_span(box, v), face_v) > full - _EPS
                far = _span(box, axis)[1 if side > 0 else 0]
                beyond = [r for r, (_, other) in ROOMS.items()
                          if abs(_span(other, axis)[0 if side > 0 else 1] - far) < _EPS
                          and _overlap(_span(other, u), face_u) > _EPS and _overlap(_span(other, v), face_v) > _EPS]
                assert len(beyond) <= 1, (name, axis, side, beyond)
                other = beyond[0] if beyond else None
                if other is not None:
                    far_box = ROOMS[other][1]
                    assert (_span(far_box, u), _span(far_box, v)) == (face_u, face_v), "faces meet whole"
                openings = []
                for opening, (host, hole, filling, filling_class) in OPENINGS.items():
                    area = max(_overlap(_span(hole, u), face_u), 0.0) * max(_overlap(_span(hole, v), face_v), 0.0)
                    if host == element and area > _EPS:
                        kind = "door" if filling_class == "IfcDoor" else "window"
                        openings.append(Opening(opening, filling, kind, area))
                normal = [0.0, 0.0, 0.0]
                normal[axis] = float(side)
                faces.append(Boundary(_surface_type(axis, side, other, element), other, element, full,
                                      (normal[0], normal[1], normal[2]), _face_corners(room, axis, side),
                                      tuple(openings)))
        out[name] = tuple(faces)
    return out


#: space name -> its boundaries, one per face (every face is one piece in this plan).
BOUNDARIES: dict[str, tuple[Boundary, ...]] = _plan_boundaries()


# How the doors and windows open, for the building authored with
# ``operations=True``: filling name -> (what the model says, the opening's
# ``operation``, its gbXML ``openingType``). What the model says: panels
# (IfcWindowPanelProperties' OperationType) on the window's type or style
# and on the window itself, the door's own OperationType (IFC4 on; IFC2X3
# has none, so its style carries it there) and its type's or style's.
OPERATION_CASES: dict[str, tuple[dict[str, Any], str | None, str]] = {
    "Window A": ({"type_panels": ("FIXEDCASEMENT",)}, "fixed", "FixedWindow"),
    "Window B": ({"type_panels": ("FIXEDCASEMENT", "SIDEHUNGLEFTHAND")}, "operable", "OperableWindow"),
    "Window C": ({"type_panels": ("FIXEDCASEMENT",), "own_panels": ("TILTANDTURNRIGHTHAND",)}, "operable",
                 "OperableWindow"),
    "Window D": ({}, "fixed", "FixedWindow"),
    "Window E": ({"own_panels": ("NOTDEFINED",)}, "fixed", "FixedWindow"),
    "Skylight D": ({"own_panels": ("FIXEDCASEMENT", "FIXEDCASEMENT")}, "fixed", "FixedSkylight"),
    "Skylight F": ({"type_panels": ("TOPHUNG",)}, "operable", "OperableSkylight"),
    "Door A|B": ({"door": "SINGLE_SWING_LEFT"}, "non-sliding", "NonSlidingDoor"),
    "Door A out": ({"door_type": "SLIDING_TO_LEFT"}, "sliding", "SlidingDoor"),
    "Door D|E": ({"door": "DOUBLE_DOOR_SLIDING", "door_type": "SINGLE_SWING_RIGHT"}, "sliding", "SlidingDoor"),
    "Passage B|C opening": ({}, None, "Air"),  # an opening nothing fills
}
SKYLIGHT = (1.0, 1.0)
# The openings the building authored with ``operations=True`` adds: skylights
# through the roof above D and F, and a passage through the wall between B and C.
_ROOF = ELEMENTS["Roof"][2]
OPERATION_OPENINGS: dict[str, tuple[str, Box, str | None, str | None]] = {
    "Skylight D opening": ("Roof", Box((2.0, 2.0 + SKYLIGHT[0]), (2.0, 2.0 + SKYLIGHT[1]), _ROOF.z), "Skylight D",
                           "IfcWindow"),
    "Skylight F opening": ("Roof", Box((10.0, 10.0 + SKYLIGHT[0]), (2.5, 2.5 + SKYLIGHT[1]), _ROOF.z), "Skylight F",
                           "IfcWindow"),
    "Passage B|C opening": ("Wall 0 x9", _across_y(2.0, "Wall 0 x9", DOOR), None, None),
}


def author_energy(*, schema: str = "IFC4", unit: str = "m", offset: tuple[float, float] = (0.0, 0.0),
                  operations: bool = False) -> tuple[Any, dict[str, str]]:
    """Author the building; returns ``(ifcopenshell.file, name -> GlobalId)``.

    Parameters
    ----------
    schema : {"IFC2X3", "IFC4", "IFC4X3"}
    unit : {"m", "mm"}
        The file's length unit; every length is written in it.
    offset : (float, float)
        Where the site's placement puts the plan's origin, in metres.
    operations : bool
        Add `OPERATION_OPENINGS` and say how the doors and windows open, as
        `OPERATION_CASES` has it (the plan's `BOUNDARIES` then no longer hold).
    """
    import ifcopenshell.api.aggregate
    import ifcopenshell.api.context
    import ifcopenshell.api.feature
    import ifcopenshell.api.geometry
    import ifcopenshell.api.owner
    import ifcopenshell.api.owner.settings
    import ifcopenshell.api.project
    import ifcopenshell.api.root
    import ifcopenshell.api.spatial
    import ifcopenshell.api.unit

    if unit not in ("m", "mm"):
        raise ValueError(f"unit must be 'm' or 'mm', not {unit!r}")
    if schema not in SCHEMAS:
        raise ValueError(f"schema must be one of {SCHEMAS}, not {schema!r}")
    k = 1000.0 if unit == "mm" else 1.0
    api = ifcopenshell.api
    model = api.project.create_file(version=schema)
    if schema == "IFC2X3":  # every rooted entity needs an owner history there
        user = api.owner.add_person_and_organisation(
            model, person=api.owner.add_person(model, identification="kovalith", family_name="Energy"),
            organisation=api.owner.add_organisation(model, identification="kovalith", name="kovalith"))
        application = api.owner.add_application(model, application_full_name="kovalith tests",
                                                application_identifier="kovalith")
        api.owner.settings.get_user = lambda file: user if file is model else None
        api.owner.settings.get_application = lambda file: application if file is model else None
    project = api.root.create_entity(model, ifc_class="IfcProject", name="Energy")
    length = api.unit.add_si_unit(model, unit_type="LENGTHUNIT", prefix="MILLI" if unit == "mm" else None)
    api.unit.assign_unit(model, units=[length, api.unit.add_si_unit(model, unit_type="AREAUNIT"),
                                       api.unit.add_si_unit(model, unit_type="VOLUMEUNIT")])
    body = api.context.add_context(model, context_type="Model", context_identifier="Body",
                                   target_view="MODEL_VIEW",
                                   parent=api.context.add_context(model, context_type="Model"))
    ids: dict[str, str] = {}

    def placement(parent: Any, origin: tuple[float, float, float],
                  x_axis: tuple[float, float, float] | None = None) -> Any:
        axes = model.createIfcAxis2Placement3D(
            model.createIfcCartesianPoint(tuple(c * k for c in origin)),
            model.createIfcDirection((0.0, 0.0, 1.0)) if x_axis else None,
            model.createIfcDirection(x_axis) if x_axis else None)
        return model.createIfcLocalPlacement(parent, axes)

    def box_shape(dx: float, dy: float, dz: float) -> Any:
        profile = model.createIfcRectangleProfileDef(
            "AREA", None, model.createIfcAxis2Placement2D(model.createIfcCartesianPoint((dx * k / 2, dy * k / 2))),
            dx * k, dy * k)
        solid = model.createIfcExtrudedAreaSolid(
            profile, model.createIfcAxis2Placement3D(model.createIfcCartesianPoint((0.0, 0.0, 0.0))),
            model.createIfcDirection((0.0, 0.0, 1.0)), dz * k)
        return model.createIfcShapeRepresentation(body, "Body", "SweptSolid", [solid])

    def product(ifc_class: str, name: str, parent: Any, z0: float, box: Box, *, turned: bool = False,
                **attributes: Any) -> Any:
        """A box product placed relative to `parent` (a storey at height z0).
        Turned: its local x runs along world y, as a check on placements."""
        element = api.root.create_entity(model, ifc_class=ifc_class, name=name)
        for key, value in attributes.items():
            setattr(element, key, value)
        dx, dy, dz = box.x[1] - box.x[0], box.y[1] - box.y[0], box.z[1] - box.z[0]
        if turned:  # local (u, v) -> world (x1 - v, y0 + u)
            element.ObjectPlacement = placement(parent, (box.x[1], box.y[0], box.z[0] - z0), (0.0, 1.0, 0.0))
            dx, dy = dy, dx
        else:
            element.ObjectPlacement = placement(parent, (box.x[0], box.y[0], box.z[0] - z0))
        api.geometry.assign_representation(model, product=element, representation=box_shape(dx, dy, dz))
        ids[name] = element.GlobalId
        return element

    site = api.root.create_entity(model, ifc_class="IfcSite", name="Site")
    site.ObjectPlacement = placement(None, (offset[0], offset[1], 0.0))
    building = api.root.create_entity(model, ifc_class="IfcBuilding", name="Block")
    building.ObjectPlacement = placement(site.ObjectPlacement, (0.0, 0.0, 0.0))
    api.aggregate.assign_object(model, relating_object=project, products=[site])
    api.aggregate.assign_object(model, relating_object=site, products=[building])
    storeys = []
    for s, storey_name in enumerate(STOREY_NAMES):
        storey = api.root.create_entity(model, ifc_class="IfcBuildingStorey", name=storey_name)
        storey.Elevation = s * STOREY * k
        storey.ObjectPlacement = placement(building.ObjectPlacement, (0.0, 0.0, s * STOREY))
        storeys.append(storey)
    api.aggregate.assign_object(model, relating_object=building, products=storeys)

    def here(s: int) -> tuple[Any, float]:
        return storeys[s].ObjectPlacement, s * STOREY

    spaces: list[list[Any]] = [[], []]
    for name, (s, box) in ROOMS.items():
        required = {"InteriorOrExteriorSpace": "INTERNAL"} if schema == "IFC2X3" else {}
        spaces[s].append(product("IfcSpace", name, *here(s), box, turned=True, LongName=f"Room {name}", **required))
    for s, storey in enumerate(storeys):
        api.aggregate.assign_object(model, relating_object=storey, products=spaces[s])
    contained: list[list[Any]] = [[], []]
    elements = {}
    for name, (ifc_class, s, box) in ELEMENTS.items():
        elements[name] = product(ifc_class, name, *here(s), box)
        contained[s].append(elements[name])
    fillings = {}
    for name, (host, box, filling, filling_class) in (OPENINGS | (OPERATION_OPENINGS if operations else {})).items():
        s = ELEMENTS[host][1]
        opening = product("IfcOpeningElement", name, *here(s), box)
        api.feature.add_feature(model, feature=opening, element=elements[host])
        if filling is None or filling_class is None:
            continue
        # The filling: the opening's box, thinned to FILLING_THICKNESS across
        # the wall (or the roof, for a skylight).
        sizes = [box.x[1] - box.x[0], box.y[1] - box.y[0], box.z[1] - box.z[0]]
        thick = sizes.index(min(sizes))
        span = (box.x, box.y, box.z)[thick]
        middle = (span[0] + span[1]) / 2
        thin = (middle - FILLING_THICKNESS / 2, middle + FILLING_THICKNESS / 2)
        body_box = Box(*[thin if axis == thick else (box.x, box.y, box.z)[axis] for axis in range(3)])
        width, height = (DOOR if filling_class == "IfcDoor" else SKYLIGHT if thick == 2 else WINDOW)
        element = product(filling_class, filling, *here(s), body_box, OverallWidth=width * k, OverallHeight=height * k)
        api.feature.add_filling(model, opening=opening, element=element)
        contained[s].append(element)
        fillings[filling] = element
    if operations:
        _say_operations(model, schema, fillings)
    for s, storey in enumerate(storeys):
        api.spatial.assign_container(model, relating_structure=storey, products=contained[s])
    if schema == "IFC2X3":  # the fillings' relationships are created without one
        history = model.by_type("IfcOwnerHistory")[0]
        for entity in model.by_type("IfcRoot"):
            entity.OwnerHistory = entity.OwnerHistory or history
    return model, ids


def _say_operations(model: Any, schema: str, fillings: dict[str, Any]) -> None:
    """Types, styles, panel properties and door operations as `OPERATION_CASES` has them."""
    import ifcopenshell.api.pset
    import ifcopenshell.api.root
    import ifcopenshell.api.type
    import ifcopenshell.guid

    api = ifcopenshell.api
    old = schema == "IFC2X3"

    def panels(operations: tuple[str, ...]) -> list[Any]:
        return [model.create_entity("IfcWindowPanelProperties", GlobalId=ifcopenshell.guid.new(), Name=f"Panel {k}",
                                    OperationType=operation, PanelPosition="MIDDLE")
                for k, operation in enumerate(operations)]

    def typed(element: Any, ifc_class: str, name: str, **attributes: Any) -> Any:
        kind = api.root.create_entity(model, ifc_class=ifc_class, name=name)
        for key, value in attributes.items():
            setattr(kind, key, value)
        api.type.assign_type(model, related_objects=[element], relating_type=kind, should_map_representations=False)
        return kind

    for name, (said, _, _) in OPERATION_CASES.items():
        element = fillings.get(name)
        if element is None:
            continue
        if element.is_a("IfcWindow"):
            if "type_panels" in said:
                style = dict(ConstructionType="NOTDEFINED", OperationType="NOTDEFINED",
                             ParameterTakesPrecedence=False, Sizeable=False)
                kind = typed(element, "IfcWindowStyle", f"{name} style", **style) if old else \
                    typed(element, "IfcWindowType", f"{name} type", PredefinedType="WINDOW",
                          PartitioningType="NOTDEFINED")
                kind.HasPropertySets = panels(said["type_panels"])
            for panel in panels(said.get("own_panels", ())):
                api.pset.assign_pset(model, products=[element], pset=panel)
            continue
        own, of_type = said.get("door"), said.get("door_type")
        if old:  # an IFC2X3 door says it through its style alone
            typed(element, "IfcDoorStyle", f"{name} style", OperationType=own or of_type,
                  ConstructionType="NOTDEFINED", ParameterTakesPrecedence=False, Sizeable=False)
            continue
        if of_type is not None:
            typed(element, "IfcDoorType", f"{name} type", PredefinedType="DOOR", OperationType=of_type)
        element.OperationType = own or "NOTDEFINED"


def variant_name(schema: str = "IFC4", unit: str = "m", offset: tuple[float, float] = (0.0, 0.0)) -> str:
    return f"{schema}-{unit}" + ("-far" if offset != (0.0, 0.0) else "")


#: The copies the tests read: each schema in metres, plus a millimetre one and one 5 km out.
VARIANTS: dict[str, dict[str, Any]] = {
    variant_name(schema): {"schema": schema} for schema in SCHEMAS
} | {variant_name(unit="mm"): {"unit": "mm"}, variant_name(offset=FAR): {"offset": FAR}}

_cache: dict[tuple[str, str], tuple[pathlib.Path, dict[str, str]]] = {}


def energy_file(variant: str, directory: pathlib.Path) -> tuple[pathlib.Path, dict[str, str]]:
    """The authored file of a variant (written once per directory) and its name -> GlobalId map."""
    key = (variant, str(directory))
    if key not in _cache:
        model, ids = author_energy(**VARIANTS[variant])
        path = directory / f"energy_{variant}.ifc"
        model.write(str(path))
        _cache[key] = (path, ids)
    return _cache[key]


def operations_file(schema: str, directory: pathlib.Path) -> tuple[pathlib.Path, dict[str, str]]:
    """The building authored with ``operations=True`` in a schema (written once per directory)."""
    key = (f"operations-{schema}", str(directory))
    if key not in _cache:
        model, ids = author_energy(schema=schema, operations=True)
        path = directory / f"energy_operations_{schema}.ifc"
        model.write(str(path))
        _cache[key] = (path, ids)
    return _cache[key]
