"""Space boundaries as gbXML 6.01, the exchange format of energy simulation tools.

`write_gbxml` writes the boundaries of `kovalith.energy.space_boundaries`:

- ``Campus`` / ``Building`` (with its ``Area``) / a ``BuildingStorey`` per
  storey of the model (``Level`` its elevation) / a ``Space`` per room: the
  ``IfcSpace``'s GlobalId in ``ifcGUID`` and ``CADObjectId``, its ``Name``,
  ``Area`` (its floor: the downward boundaries projected on the horizontal),
  ``Volume`` (its mesh's) and ``buildingStoreyIdRef``;
- a ``Surface`` per boundary, on the campus: ``surfaceType`` the boundary's;
  ``AdjacentSpaceId`` the space, and for an internal boundary the space on the
  other side too. The two sides of an internal boundary are one surface,
  written from the lower space for a horizontal one (a ``Ceiling``, with
  ``AdjacentSpaceId/@surfaceType`` telling ``Ceiling`` and ``InteriorFloor``
  apart, as gbXML asks) and from the space first in the model for a wall.
  ``PlanarGeometry`` holds the outer ring counter-clockwise seen from outside
  the first space, so its right-hand normal points away from it;
  ``RectangularGeometry`` its bounding rectangle in the surface's own axes
  (width horizontal, height up the slope; the bottom-left corner seen from
  outside), ``Azimuth`` (degrees clockwise from +y, north) and ``Tilt``
  (degrees from facing straight up) of the normal. ``CADObjectId`` is the
  element's GlobalId. gbXML's polygons have no holes: a boundary with holes
  is cut into hole-free surfaces along lines through its holes (needs
  shapely);
- an ``Opening`` per door, window or hole on it (a hole in an ``Air``
  surface, such as the stair hole that makes it one, is the surface itself
  and is not repeated): ``NonSlidingDoor``,
  ``FixedWindow`` (``FixedSkylight`` in a surface facing up or down) or
  ``Air``, with its ring, its rectangle relative to the surface's corner and
  ``CADObjectId`` the door's or window's GlobalId, else the opening's;
- a ``Construction`` per surface type (gbXML requires one per surface; these
  name the type and carry no layers).

Lengths are metres, areas square metres, volumes cubic metres, coordinates
world coordinates, written as plain decimals (micrometres). `schema` loads
the gbXML 6.01 XSD that the ``xgbxml`` package ships, for `validate`.

Needs lxml: ``pip install 'kovalith[energy]'``.
"""

from __future__ import annotations

import importlib.util
import math
import os
import pathlib
from typing import TYPE_CHECKING, Any, Sequence

if TYPE_CHECKING:
    from kovalith.energy import SpaceBoundary
    from kovalith.ifc import IfcRooms

__all__ = ["VERSION", "NAMESPACE", "OPENING_TYPES", "gbxml_document", "write_gbxml", "schema_path", "schema",
           "validate", "require"]

VERSION = "6.01"
NAMESPACE = "http://www.gbxml.org/schema"
#: gbXML ``openingType`` by opening kind, for a wall and for a surface facing up or down.
OPENING_TYPES = {"door": ("NonSlidingDoor", "NonSlidingDoor"), "window": ("FixedWindow", "FixedSkylight"),
                 "air": ("Air", "Air")}
#: Below this length (metres) a normal has no horizontal direction: the
#: surface is level, and its axes follow x and y.
LEVEL_NORMAL = 1e-9
#: Surfaces smaller than this (m2) are left out: slivers of rounding that
#: carry no heat and that simulation tools reject as degenerate.
MIN_AREA = 1e-6
# Surfaces the sun can reach; the rest face the ground or another space.
SUNLIT = frozenset({"ExteriorWall", "Roof", "RaisedFloor"})


def _lxml() -> Any:
    try:
        from lxml import etree  # type: ignore[import-untyped]
    except ImportError as exc:
        raise ImportError("gbXML needs lxml: pip install 'kovalith[energy]'") from exc
    return etree


def require() -> None:
    """Raise the `write_gbxml` ImportError now if lxml is missing (before long work)."""
    _lxml()


def _numpy() -> Any:
    import numpy

    return numpy


def _number(value: float, digits: int = 6) -> str:
    # xsd:decimal has no exponent and no NaN: fixed notation only.
    if not math.isfinite(value):
        raise ValueError(f"gbXML cannot hold the number {value!r}")
    return f"{value:.{digits}f}"


def _frame(normal: Any) -> tuple[Any, Any]:
    """The surface's width axis (horizontal, to the right seen from outside)
    and height axis (up the slope, or +y on a level surface seen from above)."""
    np = _numpy()
    n = np.asarray(normal, dtype=np.float64)
    right = np.array([-n[1], n[0], 0.0])  # z x n
    length = float(np.linalg.norm(right))
    if length < LEVEL_NORMAL:
        right = np.array([1.0 if n[2] >= 0.0 else -1.0, 0.0, 0.0])
    else:
        right /= length
    # n x right, written out: numpy's cross costs more than the sum on one pair.
    up = np.array([n[1] * right[2] - n[2] * right[1], n[2] * right[0] - n[0] * right[2],
                   n[0] * right[1] - n[1] * right[0]])
    return right, up


def _angles(normal: Any) -> tuple[float, float]:
    """(azimuth, tilt) in degrees of an outward normal."""
    nx, ny, nz = (float(c) for c in normal)
    tilt = math.degrees(math.acos(max(-1.0, min(1.0, nz))))
    if math.hypot(nx, ny) < LEVEL_NORMAL:
        return 0.0, tilt
    return math.degrees(math.atan2(nx, ny)) % 360.0, tilt


def _area(ring: Any) -> float:
    """Area of a planar ring (open), by Newell's sum about its first point."""
    np = _numpy()
    p = np.asarray(ring, dtype=np.float64)
    p = p - p[0]
    a, b = p[:-1], p[1:]
    x = float((a[:, 1] * b[:, 2] - a[:, 2] * b[:, 1]).sum())
    y = float((a[:, 2] * b[:, 0] - a[:, 0] * b[:, 2]).sum())
    z = float((a[:, 0] * b[:, 1] - a[:, 1] * b[:, 0]).sum())
    return 0.5 * math.sqrt(x * x + y * y + z * z)


def _open(ring: Any) -> Any:
    """A ring without its closing point."""
    if len(ring) > 1 and all(float(a) == float(b) for a, b in zip(ring[0], ring[-1])):
        return ring[:-1]
    return ring


class _Plane:
    """A boundary's plane: 3D rings to the surface's axes and back."""

    def __init__(self, origin: Any, normal: Any) -> None:
        np = _numpy()
        self.origin = np.asarray(origin, dtype=np.float64)
        self.normal = np.asarray(normal, dtype=np.float64)
        self.right, self.up = _frame(normal)

    def to_2d(self, points: Any) -> Any:
        np = _numpy()
        d = np.asarray(points, dtype=np.float64) - self.origin
        return np.stack([d @ self.right, d @ self.up], axis=1)

    def to_3d(self, points: Any) -> Any:
        np = _numpy()
        p = np.asarray(points, dtype=np.float64)
        return self.origin + p[:, :1] * self.right + p[:, 1:2] * self.up


def _hole_free(polygon: Any, plane: _Plane) -> list[Any]:
    """The outer rings (3D, open, counter-clockwise about the normal) of hole-free
    parts that together make `polygon`: cut along a line across each hole."""
    if not polygon.holes:
        return [_open(polygon.outer)]
    try:
        import shapely  # type: ignore[import-untyped]
        from shapely.geometry import Polygon, box  # type: ignore[import-untyped]
        from shapely.geometry.polygon import orient  # type: ignore[import-untyped]
    except ImportError as exc:
        raise ImportError("a boundary with holes needs shapely for gbXML: pip install 'kovalith[energy]'") from exc
    outer = plane.to_2d(_open(polygon.outer))
    parts = [Polygon(outer, [plane.to_2d(_open(h)) for h in polygon.holes])]
    x0, y0, x1, y1 = parts[0].bounds
    margin = 1.0 + (x1 - x0) + (y1 - y0)
    done: list[Any] = []
    while parts:
        part = parts.pop()
        if part.is_empty or part.area <= 0.0:
            continue
        if not part.interiors:
            done.append(part)
            continue
        # A vertical cut through the middle of the first hole opens it into
        # the outer ring on both sides.
        hx0, _, hx1, _ = Polygon(part.interiors[0]).bounds
        cut = 0.5 * (hx0 + hx1)
        for half in (box(x0 - margin, y0 - margin, cut, y1 + margin), box(cut, y0 - margin, x1 + margin, y1 + margin)):
            piece = shapely.intersection(part, half)
            parts.extend(g for g in getattr(piece, "geoms", [piece]) if isinstance(g, Polygon))
    return [plane.to_3d(list(orient(p, 1.0).exterior.coords)[:-1]) for p in done]


class _Writer:
    def __init__(self, rooms: IfcRooms, boundaries: Sequence[SpaceBoundary]) -> None:
        self.etree = _lxml()
        self.rooms = rooms
        self.boundaries = boundaries
        self.surfaces = 0
        self.openings = 0
        self.skipped = 0
        self.constructions: dict[str, str] = {}

    def element(self, parent: Any, tag: str, text: str | None = None, **attributes: str) -> Any:
        node = self.etree.SubElement(parent, tag, attributes)
        if text is not None:
            node.text = text
        return node

    def loop(self, parent: Any, points: Any) -> None:
        # Parsed from text in one call: a surface's coordinates are most of the
        # document's elements, and lxml makes them far faster this way than
        # one SubElement call each.
        for p in points:
            for c in p:
                if not math.isfinite(float(c)):
                    raise ValueError(f"gbXML cannot hold the coordinate {float(c)!r}")
        text = "".join("<CartesianPoint>" + "".join(f"<Coordinate>{float(c):.6f}</Coordinate>" for c in p)
                       + "</CartesianPoint>" for p in points.tolist())
        parent.append(self.etree.fromstring(f'<PolyLoop xmlns="{NAMESPACE}">{text}</PolyLoop>'))

    def rectangle(self, parent: Any, plane: _Plane, ring: Any) -> tuple[Any, Any]:
        """RectangularGeometry of a surface; returns its corner in the plane's axes."""
        np = _numpy()
        flat = plane.to_2d(ring)
        low, high = flat.min(axis=0), flat.max(axis=0)
        azimuth, tilt = _angles(plane.normal)
        geometry = self.element(parent, "RectangularGeometry")
        self.element(geometry, "Azimuth", _number(azimuth, 4))
        corner = self.element(geometry, "CartesianPoint")
        for c in plane.to_3d(np.array([low]))[0]:
            self.element(corner, "Coordinate", _number(float(c)))
        self.element(geometry, "Tilt", _number(tilt, 4))
        self.element(geometry, "Height", _number(float(high[1] - low[1])))
        self.element(geometry, "Width", _number(float(high[0] - low[0])))
        return low, high

    def construction(self, surface_type: str) -> str:
        return self.constructions.setdefault(surface_type, f"construction-{surface_type}")

    def surface(self, campus: Any, first: SpaceBoundary, second: SpaceBoundary | None) -> None:
        outer = _open(first.polygon.outer)
        if len(outer) < 3:
            self.skipped += 1
            return
        plane = _Plane(outer[0], first.normal)
        parts = _hole_free(first.polygon, plane)
        centres = [(plane.to_2d(_open(o.outer)).mean(axis=0), o) for o in first.openings]
        facing = "level" if abs(float(first.normal[2])) > 0.5 else "wall"
        for part in parts:
            if len(part) < 3 or _area(part) < MIN_AREA:
                self.skipped += 1
                continue
            self.surfaces += 1
            node = self.element(campus, "Surface", id=f"surface-{self.surfaces}", surfaceType=first.surface_type,
                                constructionIdRef=self.construction(first.surface_type),
                                exposedToSun="true" if first.surface_type in SUNLIT else "false")
            horizontal_pair = second is not None and first.surface_type == "Ceiling"
            self.element(node, "AdjacentSpaceId", spaceIdRef=f"space-{first.room}",
                         **({"surfaceType": "Ceiling"} if horizontal_pair else {}))
            if second is not None:
                self.element(node, "AdjacentSpaceId", spaceIdRef=f"space-{second.room}",
                             **({"surfaceType": "InteriorFloor"} if horizontal_pair else {}))
            low, _ = self.rectangle(node, plane, part)
            planar = self.element(node, "PlanarGeometry")
            self.loop(planar, part)
            inside = _Inside(plane.to_2d(part)) if len(parts) > 1 else None
            for centre, opening in centres:
                if inside is not None and not inside(centre):
                    continue
                if opening.kind == "air" and first.surface_type == "Air":
                    continue  # a hole in an open boundary: the surface is air already
                self.opening(node, plane, low, opening, facing)
            if first.element is not None:
                self.element(node, "CADObjectId", first.element)

    def opening(self, surface: Any, plane: _Plane, corner: Any, opening: Any, facing: str) -> None:
        ring = _open(opening.outer)
        if len(ring) < 3 or _area(ring) < MIN_AREA:
            return
        self.openings += 1
        kind = OPENING_TYPES.get(opening.kind, OPENING_TYPES["air"])
        node = self.element(surface, "Opening", id=f"opening-{self.openings}",
                            openingType=kind[0] if facing == "wall" else kind[1])
        flat = plane.to_2d(ring)
        low, high = flat.min(axis=0), flat.max(axis=0)
        geometry = self.element(node, "RectangularGeometry")
        point = self.element(geometry, "CartesianPoint")
        for c in low - corner:
            self.element(point, "Coordinate", _number(float(c)))
        self.element(geometry, "Height", _number(float(high[1] - low[1])))
        self.element(geometry, "Width", _number(float(high[0] - low[0])))
        self.loop(self.element(node, "PlanarGeometry"), ring)
        target = opening.filling or opening.opening
        if target is not None:
            self.element(node, "CADObjectId", target)

    def document(self, building_name: str | None) -> Any:
        from kovalith.energy import mesh_measures

        etree, rooms = self.etree, self.rooms
        root = etree.Element("gbXML", {"temperatureUnit": "C", "lengthUnit": "Meters", "areaUnit": "SquareMeters",
                                       "volumeUnit": "CubicMeters", "useSIUnitsForResults": "true",
                                       "version": VERSION}, nsmap={None: NAMESPACE})
        campus = self.element(root, "Campus", id="campus")
        self.element(campus, "Name", building_name or pathlib.Path(rooms.source).stem or "Campus")
        building = self.element(campus, "Building", id="building", buildingType="Unknown")
        self.element(building, "Name", building_name or pathlib.Path(rooms.source).stem or "Building")
        floor = [0.0] * len(rooms.rooms)
        for b in self.boundaries:
            if float(b.normal[2]) < -0.5:
                floor[b.room] += b.area * -float(b.normal[2])
        total = self.element(building, "Area")
        storey_ids: dict[str, str] = {}
        for k, (name, _) in enumerate(rooms.storeys):
            storey_ids.setdefault(name, f"storey-{k}")
        for k, (mesh, product) in enumerate(zip(rooms.rooms, rooms.room_products)):
            attributes = {"id": f"space-{k}", "ifcGUID": product.global_id}
            if product.storey in storey_ids:
                attributes["buildingStoreyIdRef"] = storey_ids[product.storey]
            space = self.element(building, "Space", **attributes)
            self.element(space, "Name", product.name or product.long_name or product.global_id)
            if product.long_name:
                self.element(space, "Description", product.long_name)
            self.element(space, "Area", _number(floor[k], 4))
            self.element(space, "Volume", _number(mesh_measures(mesh)[1], 4))
            self.element(space, "CADObjectId", product.global_id)
        total.text = _number(sum(floor), 4)
        for k, (name, elevation) in enumerate(rooms.storeys):
            if storey_ids.get(name) != f"storey-{k}":
                continue
            storey = self.element(building, "BuildingStorey", id=f"storey-{k}")
            self.element(storey, "Name", name)
            self.element(storey, "Level", _number(elevation))
        written = [False] * len(self.boundaries)
        for b in self.boundaries:
            if written[b.index]:
                continue
            other = self.boundaries[b.corresponding] if b.corresponding is not None else None
            written[b.index] = True
            if other is None:
                self.surface(campus, b, None)
                continue
            written[other.index] = True
            first, second = sorted((b, other), key=_first_side)
            self.surface(campus, first, second)
        for surface_type, ident in self.constructions.items():
            construction = self.element(root, "Construction", id=ident)
            self.element(construction, "Name", surface_type)
        return root


def _first_side(boundary: SpaceBoundary) -> tuple[int, int]:
    """The side an internal surface is written from: the one facing up (the
    lower space's ceiling), else the space first in the model."""
    nz = float(boundary.normal[2])
    return (0 if nz > 0.5 else 2 if nz < -0.5 else 1), boundary.room


class _Inside:
    """Point-in-polygon by crossings, for handing openings to the part of a cut surface they lie in."""

    def __init__(self, ring: Any) -> None:
        self.ring = ring

    def __call__(self, point: Any) -> bool:
        x, y = float(point[0]), float(point[1])
        inside = False
        n = len(self.ring)
        for i in range(n):
            (x0, y0), (x1, y1) = self.ring[i], self.ring[(i + 1) % n]
            if (y0 > y) != (y1 > y) and x < x0 + (y - y0) * (x1 - x0) / (y1 - y0):
                inside = not inside
        return inside


def gbxml_document(rooms: IfcRooms, boundaries: Sequence[SpaceBoundary], *,
                   building_name: str | None = None) -> Any:
    """The gbXML document of `write_gbxml` as an ``lxml.etree`` root element."""
    return _Writer(rooms, boundaries).document(building_name)


def write_gbxml(rooms: IfcRooms, boundaries: Sequence[SpaceBoundary], path: str | os.PathLike[str], *,
                building_name: str | None = None) -> dict[str, int]:
    """Write the space boundaries of ``rooms`` as a gbXML 6.01 file.

    Parameters
    ----------
    rooms : kovalith.ifc.IfcRooms
        The model the boundaries were computed for.
    boundaries : sequence of kovalith.energy.SpaceBoundary
        As `kovalith.energy.space_boundaries` gives them (indices and
        ``corresponding`` intact).
    path : path
        The file to write (UTF-8).
    building_name : str, optional
        The campus's and building's ``Name``; the model file's name by default.

    Returns
    -------
    dict
        Counts: ``spaces``, ``surfaces`` and ``openings`` written, and
        ``skipped``, the surfaces left out as degenerate (under `MIN_AREA`
        or fewer than three corners).

    Raises
    ------
    ImportError
        lxml is missing, or shapely for a boundary with holes.
    ValueError
        A coordinate or measure is not finite.
    """
    writer = _Writer(rooms, boundaries)
    root = writer.document(building_name)
    writer.etree.cleanup_namespaces(root)
    writer.etree.ElementTree(root).write(os.fspath(path), xml_declaration=True, encoding="UTF-8",
                                         pretty_print=True)
    return {"spaces": len(rooms.rooms), "surfaces": writer.surfaces, "openings": writer.openings,
            "skipped": writer.skipped}


def schema_path() -> pathlib.Path:
    """The gbXML 6.01 XSD shipped by the ``xgbxml`` package (found without importing it).

    Raises
    ------
    FileNotFoundError
        ``xgbxml`` is not installed, or ships no 6.01 schema.
    """
    spec = importlib.util.find_spec("xgbxml")
    folders = list(spec.submodule_search_locations or []) if spec is not None else []
    for folder in folders:
        found = sorted(pathlib.Path(folder).rglob(f"GreenBuildingXML_Ver{VERSION}.xsd"))
        if found:
            return found[0]
    raise FileNotFoundError(f"no gbXML {VERSION} schema: pip install xgbxml (it ships the XSD)")


def schema() -> Any:
    """The gbXML 6.01 schema as an ``lxml.etree.XMLSchema``."""
    etree = _lxml()
    return etree.XMLSchema(etree.parse(str(schema_path())))


def validate(source: str | os.PathLike[str] | Any) -> list[str]:
    """Check a gbXML file (a path, or an lxml element) against the 6.01 schema;
    returns the schema's complaints, one line each (empty: valid)."""
    etree = _lxml()
    document = etree.parse(os.fspath(source)) if isinstance(source, (str, os.PathLike)) else source
    checker = schema()
    if checker.validate(document):
        return []
    return [f"line {e.line}: {e.message}" for e in checker.error_log]
