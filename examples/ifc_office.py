"""Author an IFC office with IfcOpenShell: spaces, walls, slabs, doors, a stair opening, columns.

    python3 examples/ifc_office.py [out.ifc] [--storeys N] [--offices N] [--unit m|mm]
                                   [--schema IFC4|IFC2X3] [--offset X Y]

Each storey has a corridor along the middle with a row of offices on either side.
Walls are 0.2 m thick and stand on the grid lines, slabs are 0.3 m thick, and
every space stops at the faces of its walls and slabs, as authoring tools
export them: neighbours are a wall apart, storeys a slab apart. Each office has
a door (with its opening in the wall) to the corridor and a window in its
outer wall; the slab above each corridor's east end has a stair opening; each
storey has a column in its first south office, a beam and a pipe in the
corridor. Placements are nested (site, building, storey, element) so only
world coordinates put things where they are, and lengths are written in the
chosen unit.

`author_office` returns the model and a `Layout`, the record of what was
built (names, GlobalIds, plan rectangles in world metres, which door joins
which rooms), which the tests compare the compiled graph against.
"""

from __future__ import annotations

import argparse
import math
import pathlib
from dataclasses import dataclass, field
from typing import Any

STOREY_HEIGHT = 3.3  # floor to floor, metres
SLAB = 0.3
WALL = 0.2
OFFICE_WIDTH = 4.0  # grid line to grid line
OFFICE_DEPTH = 6.0
CORRIDOR_WIDTH = 2.2
DOOR_WIDTH = 1.0
DOOR_HEIGHT = 2.1
WINDOW_WIDTH = 1.6
STAIR_LENGTH = 3.5
COLUMN = 0.3


@dataclass
class Space:
    name: str
    long_name: str
    storey: int
    global_id: str
    rect: tuple[float, float, float, float]  # x0, y0, x1, y1 in world metres
    z: tuple[float, float]  # bottom, top in world metres


@dataclass
class Layout:
    """What `author_office` built, in world metres."""

    storeys: int
    offices_per_side: int
    origin: tuple[float, float]
    spaces: list[Space] = field(default_factory=list)
    doors: list[tuple[str, str, str]] = field(default_factory=list)  # (door GlobalId, room, room)
    door_openings: dict[str, str] = field(default_factory=dict)  # door GlobalId -> its opening
    windows: list[str] = field(default_factory=list)
    stairs: list[tuple[str, str, str]] = field(default_factory=list)  # (opening GlobalId, lower, upper)
    stair_rect: tuple[float, float, float, float] = (0.0, 0.0, 0.0, 0.0)
    columns: list[tuple[str, str]] = field(default_factory=list)  # (GlobalId, room it stands in)
    beams: list[tuple[str, str]] = field(default_factory=list)
    segments: list[tuple[str, str]] = field(default_factory=list)
    storey_names: list[str] = field(default_factory=list)


def author_office(
    *,
    storeys: int = 3,
    offices_per_side: int = 6,
    unit: str = "m",
    schema: str = "IFC4",
    offset: tuple[float, float] = (0.0, 0.0),
) -> tuple[Any, Layout]:
    """Author the office; returns ``(ifcopenshell.file, Layout)``.

    Parameters
    ----------
    storeys, offices_per_side : int
        Size of the building: ``storeys * (2 * offices_per_side + 1)`` spaces.
    unit : {"m", "mm"}
        The file's length unit; every length is written in it.
    schema : {"IFC4", "IFC2X3"}
    offset : (float, float)
        Where the site's placement puts the building, in metres.
    """
    import ifcopenshell
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
    scale = 1000.0 if unit == "mm" else 1.0
    api = ifcopenshell.api
    model = api.project.create_file(version=schema)
    if schema == "IFC2X3":
        # IFC2X3 requires an owner history on every rooted entity.
        user = api.owner.add_person_and_organisation(
            model, person=api.owner.add_person(model, identification="kovalith", family_name="Office",
                                               given_name="Author"),
            organisation=api.owner.add_organisation(model, identification="kovalith", name="kovalith"))
        application = api.owner.add_application(model, application_full_name="kovalith examples",
                                                application_identifier="kovalith")
        api.owner.settings.get_user = lambda file: user if file is model else None
        api.owner.settings.get_application = lambda file: application if file is model else None
    project = api.root.create_entity(model, ifc_class="IfcProject", name="Office")
    length = api.unit.add_si_unit(model, unit_type="LENGTHUNIT", prefix="MILLI" if unit == "mm" else None)
    api.unit.assign_unit(model, units=[length, api.unit.add_si_unit(model, unit_type="AREAUNIT"),
                                       api.unit.add_si_unit(model, unit_type="VOLUMEUNIT")])
    model_context = api.context.add_context(model, context_type="Model")
    body = api.context.add_context(model, context_type="Model", context_identifier="Body",
                                   target_view="MODEL_VIEW", parent=model_context)

    def point(x: float, y: float, z: float) -> Any:
        return model.create_entity("IfcCartesianPoint", Coordinates=(x * scale, y * scale, z * scale))

    def placement(parent: Any, x: float, y: float, z: float) -> Any:
        axes = model.create_entity("IfcAxis2Placement3D", Location=point(x, y, z))
        return model.create_entity("IfcLocalPlacement", PlacementRelTo=parent, RelativePlacement=axes)

    def box_representation(dx: float, dy: float, dz: float) -> Any:
        """A box from the local origin to (dx, dy, dz)."""
        centre = model.create_entity(
            "IfcAxis2Placement2D",
            Location=model.create_entity("IfcCartesianPoint", Coordinates=(dx * scale / 2, dy * scale / 2)),
        )
        profile = model.create_entity("IfcRectangleProfileDef", ProfileType="AREA", Position=centre,
                                      XDim=dx * scale, YDim=dy * scale)
        solid = model.create_entity(
            "IfcExtrudedAreaSolid", SweptArea=profile,
            Position=model.create_entity("IfcAxis2Placement3D", Location=point(0, 0, 0)),
            ExtrudedDirection=model.create_entity("IfcDirection", DirectionRatios=(0.0, 0.0, 1.0)),
            Depth=dz * scale,
        )
        return model.create_entity("IfcShapeRepresentation", ContextOfItems=body, RepresentationIdentifier="Body",
                                   RepresentationType="SweptSolid", Items=[solid])

    def product(ifc_class: str, name: str, parent_placement: Any, origin: tuple[float, float, float],
                size: tuple[float, float, float], **attributes: Any) -> Any:
        element = api.root.create_entity(model, ifc_class=ifc_class, name=name)
        for key, value in attributes.items():
            setattr(element, key, value)
        element.ObjectPlacement = placement(parent_placement, *origin)
        api.geometry.assign_representation(model, product=element, representation=box_representation(*size))
        return element

    site = api.root.create_entity(model, ifc_class="IfcSite", name="Site")
    site.ObjectPlacement = placement(None, offset[0], offset[1], 0.0)
    building = api.root.create_entity(model, ifc_class="IfcBuilding", name="Office building")
    building.ObjectPlacement = placement(site.ObjectPlacement, 0.0, 0.0, 0.0)
    api.aggregate.assign_object(model, relating_object=project, products=[site])
    api.aggregate.assign_object(model, relating_object=site, products=[building])

    layout = Layout(storeys, offices_per_side, offset)
    n = offices_per_side
    t = WALL
    length_x = n * OFFICE_WIDTH
    y_c0, y_c1 = OFFICE_DEPTH, OFFICE_DEPTH + CORRIDOR_WIDTH
    y_n1 = y_c1 + OFFICE_DEPTH
    clear = STOREY_HEIGHT - SLAB
    ox, oy = offset
    stair = (length_x - t / 2 - STAIR_LENGTH, y_c0 + t / 2, length_x - t / 2, y_c1 - t / 2)
    layout.stair_rect = (stair[0] + ox, stair[1] + oy, stair[2] + ox, stair[3] + oy)

    for s in range(storeys):
        elevation = s * STOREY_HEIGHT
        storey = api.root.create_entity(model, ifc_class="IfcBuildingStorey", name=f"Level {s}")
        storey.Elevation = elevation * scale
        storey.ObjectPlacement = placement(building.ObjectPlacement, 0.0, 0.0, elevation)
        api.aggregate.assign_object(model, relating_object=building, products=[storey])
        layout.storey_names.append(storey.Name)
        here = storey.ObjectPlacement
        contained: list[Any] = []
        spaces: list[Any] = []

        def add_space(name: str, long_name: str, x0: float, y0: float, x1: float, y1: float) -> None:
            space = product("IfcSpace", name, here, (x0, y0, 0.0), (x1 - x0, y1 - y0, clear), LongName=long_name)
            spaces.append(space)
            layout.spaces.append(Space(name, long_name, s, space.GlobalId, (x0 + ox, y0 + oy, x1 + ox, y1 + oy),
                                       (elevation, elevation + clear)))

        for i in range(n):
            x0 = i * OFFICE_WIDTH
            add_space(f"{s}.S{i + 1}", "Office", x0 + t / 2, t / 2, x0 + OFFICE_WIDTH - t / 2, y_c0 - t / 2)
        add_space(f"{s}.C", "Corridor", t / 2, y_c0 + t / 2, length_x - t / 2, y_c1 - t / 2)
        for i in range(n):
            x0 = i * OFFICE_WIDTH
            add_space(f"{s}.N{i + 1}", "Office", x0 + t / 2, y_c1 + t / 2, x0 + OFFICE_WIDTH - t / 2, y_n1 - t / 2)
        api.aggregate.assign_object(model, relating_object=storey, products=spaces)

        # Slab under the storey, walls on the grid lines.
        slab = product("IfcSlab", f"Floor {s}", here, (-t / 2, -t / 2, -SLAB), (length_x + t, y_n1 + t, SLAB))
        contained.append(slab)
        walls: dict[str, Any] = {}
        for key, y in (("south", 0.0), ("corridor_south", y_c0), ("corridor_north", y_c1), ("north", y_n1)):
            walls[key] = product("IfcWall", f"Wall {s} {key}", here, (-t / 2, y - t / 2, 0.0),
                                 (length_x + t, t, clear))
        for i in range(n + 1):
            x = i * OFFICE_WIDTH
            for key, (ya, yb) in (("S", (0.0, y_c0)), ("N", (y_c1, y_n1))):
                walls[f"{key}{i}"] = product("IfcWall", f"Wall {s} {key}{i}", here, (x - t / 2, ya + t / 2, 0.0),
                                             (t, yb - ya - t, clear))
        for i in (0, n):
            x = i * OFFICE_WIDTH
            walls[f"C{i}"] = product("IfcWall", f"Wall {s} C{i}", here, (x - t / 2, y_c0 + t / 2, 0.0),
                                     (t, CORRIDOR_WIDTH - t, clear))
        contained.extend(walls.values())

        for i in range(n):
            cx = i * OFFICE_WIDTH + OFFICE_WIDTH / 2
            for side, key, y in (("S", "corridor_south", y_c0), ("N", "corridor_north", y_c1)):
                origin = (cx - DOOR_WIDTH / 2, y - t / 2, 0.0)
                opening = product("IfcOpeningElement", f"Door opening {s}.{side}{i + 1}", here, origin,
                                  (DOOR_WIDTH, t, DOOR_HEIGHT))
                api.feature.add_feature(model, feature=opening, element=walls[key])
                door = product("IfcDoor", f"Door {s}.{side}{i + 1}", here, (origin[0], y - 0.025, 0.0),
                               (DOOR_WIDTH, 0.05, DOOR_HEIGHT),
                               OverallWidth=DOOR_WIDTH * scale, OverallHeight=DOOR_HEIGHT * scale)
                api.feature.add_filling(model, opening=opening, element=door)
                contained.append(door)
                layout.doors.append((door.GlobalId, f"{s}.{side}{i + 1}", f"{s}.C"))
                layout.door_openings[door.GlobalId] = opening.GlobalId
            for side, key, y in (("S", "south", 0.0), ("N", "north", y_n1)):
                origin = (cx - WINDOW_WIDTH / 2, y - t / 2, 0.9)
                opening = product("IfcOpeningElement", f"Window opening {s}.{side}{i + 1}", here, origin,
                                  (WINDOW_WIDTH, t, 1.4))
                api.feature.add_feature(model, feature=opening, element=walls[key])
                window = product("IfcWindow", f"Window {s}.{side}{i + 1}", here, (origin[0], y - 0.025, 0.9),
                                 (WINDOW_WIDTH, 0.05, 1.4),
                                 OverallWidth=WINDOW_WIDTH * scale, OverallHeight=1.4 * scale)
                api.feature.add_filling(model, opening=opening, element=window)
                contained.append(window)
                layout.windows.append(window.GlobalId)

        if s > 0:
            hole = product("IfcOpeningElement", f"Stair opening {s}", here, (stair[0], stair[1], -SLAB),
                           (stair[2] - stair[0], stair[3] - stair[1], SLAB))
            api.feature.add_feature(model, feature=hole, element=slab)
            layout.stairs.append((hole.GlobalId, f"{s - 1}.C", f"{s}.C"))

        column = product("IfcColumn", f"Column {s}.S1", here, (0.5, 0.5, 0.0), (COLUMN, COLUMN, clear))
        beam = product("IfcBeam", f"Beam {s}.C", here, (1.0, y_c0 + 0.9, clear - 0.5), (length_x - 2.0, 0.2, 0.4))
        pipe_class = "IfcPipeSegment" if schema != "IFC2X3" else "IfcFlowSegment"
        pipe = product(pipe_class, f"Pipe {s}.C", here, (0.5, y_c1 - 0.4, clear - 0.3), (length_x - 1.0, 0.1, 0.1))
        contained.extend([column, beam, pipe])
        layout.columns.append((column.GlobalId, f"{s}.S1"))
        layout.beams.append((beam.GlobalId, f"{s}.C"))
        layout.segments.append((pipe.GlobalId, f"{s}.C"))
        api.spatial.assign_container(model, relating_structure=storey, products=contained)
    return model, layout


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("path", nargs="?", default="out/office.ifc")
    parser.add_argument("--storeys", type=int, default=3)
    parser.add_argument("--offices", type=int, default=6, help="offices on each side of the corridor")
    parser.add_argument("--unit", choices=("m", "mm"), default="m")
    parser.add_argument("--schema", choices=("IFC4", "IFC2X3"), default="IFC4")
    parser.add_argument("--offset", type=float, nargs=2, default=(0.0, 0.0), metavar=("X", "Y"))
    args = parser.parse_args(argv)
    model, layout = author_office(storeys=args.storeys, offices_per_side=args.offices, unit=args.unit,
                                  schema=args.schema, offset=tuple(args.offset))
    path = pathlib.Path(args.path)
    path.parent.mkdir(parents=True, exist_ok=True)
    model.write(str(path))
    far = math.hypot(*layout.origin)
    print(f"wrote {path}: {len(layout.spaces)} spaces on {layout.storeys} storeys, {len(layout.doors)} doors, "
          f"{len(layout.stairs)} stair openings, {args.unit}, {args.schema}"
          + (f", {far / 1000:.1f} km from the origin" if far else ""))
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
