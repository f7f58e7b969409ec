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
  and is not repeated): ``NonSlidingDoor`` or ``SlidingDoor``,
  ``FixedWindow`` or ``OperableWindow`` (``FixedSkylight`` or
  ``OperableSkylight`` in a surface facing up or down) as the opening's
  ``operation`` says, or ``Air``, with its ring, its rectangle relative to the surface's corner and
  ``CADObjectId`` the door's or window's GlobalId, else the opening's;
- a ``Construction`` per surface type (gbXML requires one per surface; these
  name the type and carry no layers).

Lengths are metres, areas square metres, volumes cubic metres, coordinates
world coordinates, written as plain decimals (micrometres). `schema` loads
the gbXML 6.01 XSD that the ``xgbxml`` package ships, for `validate`.

Needs NumPy (and shapely for a boundary with holes); `gbxml_document` and
`validate` need lxml: ``pip install 'kovalith[energy]'``.
"""

from __future__ import annotations

import importlib.util
import math
import os
import pathlib
import re
from typing import TYPE_CHECKING, Any, NamedTuple, Sequence

if TYPE_CHECKING:
    from kovalith.energy import SpaceBoundary
    from kovalith.ifc import IfcRooms

__all__ = ["VERSION", "NAMESPACE", "OPENING_TYPES", "OPERATION_TYPES", "opening_type", "gbxml_document",
           "write_gbxml", "schema_path", "schema",
           "validate", "require"]

VERSION = "6.01"
NAMESPACE = "http://www.gbxml.org/schema"
#: gbXML ``openingType`` by opening kind, for a wall and for a surface facing up or down.
OPENING_TYPES = {"door": ("NonSlidingDoor", "NonSlidingDoor"), "window": ("FixedWindow", "FixedSkylight"),
                 "air": ("Air", "Air")}
#: gbXML ``openingType`` by how a door or window opens, where it is not its kind's.
OPERATION_TYPES = {"operable": ("OperableWindow", "OperableSkylight"), "sliding": ("SlidingDoor", "SlidingDoor")}
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
    """Raise the `write_gbxml` ImportError now if NumPy is missing (before long work)."""
    try:
        import numpy  # noqa: F401
    except ImportError as exc:
        raise ImportError("gbXML needs NumPy: pip install 'kovalith[energy]'") from exc


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


# Characters XML 1.0 cannot hold at all, even escaped: C0 controls but tab,
# newline and carriage return, lone surrogates, U+FFFE and U+FFFF.
_NOT_XML = re.compile("[\x00-\x08\x0b\x0c\x0e-\x1f\ud800-\udfff\ufffe\uffff]")
_TEXT_ESCAPES = str.maketrans({"&": "&amp;", "<": "&lt;", ">": "&gt;"})
_ATTRIBUTE_ESCAPES = str.maketrans({"&": "&amp;", "<": "&lt;", ">": "&gt;", '"': "&quot;", "\t": "&#9;",
                                    "\n": "&#10;", "\r": "&#13;"})


def _text(value: str) -> str:
    """Character data: markup escaped; characters XML cannot carry (a stray
    control character in a name) become U+FFFD."""
    return _NOT_XML.sub("\ufffd", value).translate(_TEXT_ESCAPES)


def _attribute(value: str) -> str:
    """An attribute value in double quotes: its whitespace kept as references."""
    return _NOT_XML.sub("\ufffd", value).translate(_ATTRIBUTE_ESCAPES)


class _Part(NamedTuple):
    """One hole-free surface to write: the boundary it comes from (its
    first side), the second side, its ring (3D, open) and its openings."""

    first: SpaceBoundary
    second: SpaceBoundary | None
    ring: Any
    origin: Any
    openings: list[tuple[Any, Any]]  # (opening record, its ring: 3D, open)


class _Writer:
    """The document as text, its numbers computed for all surfaces at once.

    Written element by element with lxml, a large building's half a million
    elements cost several times what formatting their text does; the
    geometry of each surface is a few small arrays, so NumPy works on all
    surfaces' points together and the text is joined from the formatted
    numbers. The layout is lxml's pretty print.
    """

    def __init__(self, rooms: IfcRooms, boundaries: Sequence[SpaceBoundary]) -> None:
        self.rooms = rooms
        self.boundaries = boundaries
        self.surfaces = 0
        self.openings = 0
        self.skipped = 0
        self.constructions: dict[str, str] = {}

    def parts(self) -> list[_Part]:
        """Every surface to write, in order: a boundary alone or the two sides of
        an internal one from its first side, cut into hole-free parts."""
        np = _numpy()
        parts: list[_Part] = []
        written = [False] * len(self.boundaries)
        for b in self.boundaries:
            if written[b.index]:
                continue
            written[b.index] = True
            first, second = b, None
            if b.corresponding is not None:
                other = self.boundaries[b.corresponding]
                written[other.index] = True
                first, second = sorted((b, other), key=_first_side)
            outer = _open(np.asarray(first.polygon.outer, dtype=np.float64).reshape(-1, 3))
            if len(outer) < 3:
                self.skipped += 1
                continue
            # An opening of fewer than three corners is no opening (left out).
            openings = [(o, ring) for o in first.openings
                        if len(ring := _open(np.asarray(o.outer, dtype=np.float64).reshape(-1, 3))) >= 3]
            if not first.polygon.holes:
                parts.append(_Part(first, second, outer, outer[0], openings))
                continue
            plane = _Plane(outer[0], first.normal)
            rings = _hole_free(first.polygon, plane)
            centres = [plane.to_2d(ring).mean(axis=0) for _, ring in openings]
            for ring in rings:
                inside = _Inside(plane.to_2d(ring)) if len(rings) > 1 else None
                kept = [o for o, c in zip(openings, centres) if inside is None or inside(c)]
                parts.append(_Part(first, second, np.asarray(ring, dtype=np.float64), outer[0], kept))
        return parts

    def document(self, building_name: str | None) -> str:
        from kovalith.energy import mesh_volumes

        rooms = self.rooms
        stem = pathlib.Path(rooms.source).stem
        out = ["<?xml version='1.0' encoding='UTF-8'?>\n",
               f'<gbXML xmlns="{NAMESPACE}" temperatureUnit="C" lengthUnit="Meters" areaUnit="SquareMeters" '
               f'volumeUnit="CubicMeters" useSIUnitsForResults="true" version="{VERSION}">\n',
               '  <Campus id="campus">\n',
               f"    <Name>{_text(building_name or stem or 'Campus')}</Name>\n",
               '    <Building id="building" buildingType="Unknown">\n',
               f"      <Name>{_text(building_name or stem or 'Building')}</Name>\n"]
        floor = [0.0] * len(rooms.rooms)
        for b in self.boundaries:
            if float(b.normal[2]) < -0.5:
                floor[b.room] += b.area * -float(b.normal[2])
        out.append(f"      <Area>{_number(sum(floor), 4)}</Area>\n")
        storey_ids: dict[str, str] = {}
        for k, (name, _) in enumerate(rooms.storeys):
            storey_ids.setdefault(name, f"storey-{k}")
        volumes = mesh_volumes(rooms.rooms)
        for k, product in enumerate(rooms.room_products[:len(rooms.rooms)]):
            storey = storey_ids.get(product.storey) if product.storey is not None else None
            out.append(f'      <Space id="space-{k}" ifcGUID="{_attribute(product.global_id)}"'
                       + (f' buildingStoreyIdRef="{storey}"' if storey is not None else "") + ">\n"
                       f"        <Name>{_text(product.name or product.long_name or product.global_id)}</Name>\n"
                       + (f"        <Description>{_text(product.long_name)}</Description>\n" if product.long_name
                          else "")
                       + f"        <Area>{_number(floor[k], 4)}</Area>\n"
                       f"        <Volume>{_number(float(volumes[k]), 4)}</Volume>\n"
                       f"        <CADObjectId>{_text(product.global_id)}</CADObjectId>\n"
                       "      </Space>\n")
        for k, (name, elevation) in enumerate(rooms.storeys):
            if storey_ids.get(name) != f"storey-{k}":
                continue
            out.append(f'      <BuildingStorey id="storey-{k}">\n        <Name>{_text(name)}</Name>\n'
                       f"        <Level>{_number(elevation)}</Level>\n      </BuildingStorey>\n")
        out.append("    </Building>\n")
        self.surface_text(self.parts(), out)
        out.append("  </Campus>\n")
        for surface_type, ident in self.constructions.items():
            out.append(f'  <Construction id="{_attribute(ident)}">\n    <Name>{_text(surface_type)}</Name>\n'
                       "  </Construction>\n")
        out.append("</gbXML>\n")
        return "".join(out)

    def surface_text(self, parts: list[_Part], out: list[str]) -> None:
        np = _numpy()
        if not parts:
            return
        # Every ring of every part and of its openings, one after the other.
        rings = [p.ring for p in parts] + [ring for p in parts for _, ring in p.openings]
        sizes = np.array([len(r) for r in rings], dtype=np.intp)
        points = np.concatenate(rings).reshape(-1, 3)
        if not np.isfinite(points).all():
            raise ValueError(f"gbXML cannot hold the coordinate {float(points[~np.isfinite(points)][0])!r}")
        count = len(parts)
        opening_owner = np.array([k for k, p in enumerate(parts) for _ in p.openings], dtype=np.intp)
        ring_part = np.concatenate((np.arange(count, dtype=np.intp), opening_owner))
        starts = np.concatenate(([0], np.cumsum(sizes)[:-1])).astype(np.intp)
        # Per part: its plane's origin and axes; the axes per distinct normal.
        frames: dict[tuple[float, ...], tuple[Any, Any, tuple[float, float]]] = {}
        right = np.empty((count, 3))
        up = np.empty((count, 3))
        angles = np.empty((count, 2))
        for k, p in enumerate(parts):
            key = tuple(float(c) for c in p.first.normal)
            frame = frames.get(key)
            if frame is None:
                frame = frames[key] = (*_frame(key), _angles(key))
            right[k], up[k], angles[k] = frame
        origin = np.array([p.origin for p in parts], dtype=np.float64).reshape(-1, 3)
        of_point = np.repeat(ring_part, sizes)
        d = points - origin[of_point]
        r, u = right[of_point], up[of_point]
        flat_x = d[:, 0] * r[:, 0] + d[:, 1] * r[:, 1] + d[:, 2] * r[:, 2]
        flat_y = d[:, 0] * u[:, 0] + d[:, 1] * u[:, 1] + d[:, 2] * u[:, 2]
        low = np.stack([np.minimum.reduceat(flat_x, starts), np.minimum.reduceat(flat_y, starts)], axis=1)
        high = np.stack([np.maximum.reduceat(flat_x, starts), np.maximum.reduceat(flat_y, starts)], axis=1)
        area = _ring_areas(points, starts, sizes)
        # A surface's corner: the bottom-left of its rectangle, in the world.
        corner = origin + low[:count, :1] * right + low[:count, 1:2] * up
        relative = low[count:] - low[opening_owner]
        size = high - low
        numbers = np.concatenate((points.ravel(), corner.ravel(), relative.ravel(), size.ravel()))
        if not np.isfinite(numbers).all() or not np.isfinite(angles).all():
            raise ValueError("gbXML cannot hold a measure that is not finite")
        text = [f"{c:.6f}" for c in numbers.tolist()]
        angle_text = [f"{c:.4f}" for c in angles.ravel().tolist()]
        at = 3 * len(points)
        corner_at, relative_at, size_at = at, at + 3 * count, at + 3 * count + 2 * len(opening_owner)
        first_opening = count
        for k, part in enumerate(parts):
            first = part.first
            openings_at = first_opening
            first_opening += len(part.openings)
            if sizes[k] < 3 or area[k] < MIN_AREA:
                self.skipped += 1
                continue
            self.surfaces += 1
            surface_type = first.surface_type
            construction = self.constructions.setdefault(surface_type, f"construction-{surface_type}")
            horizontal_pair = part.second is not None and surface_type == "Ceiling"
            c = corner_at + 3 * k
            h = size_at + 2 * k
            out.append(f'    <Surface id="surface-{self.surfaces}" surfaceType="{_attribute(surface_type)}" '
                       f'constructionIdRef="{_attribute(construction)}" '
                       f'exposedToSun="{"true" if surface_type in SUNLIT else "false"}">\n'
                       f'      <AdjacentSpaceId spaceIdRef="space-{first.room}"'
                       + (' surfaceType="Ceiling"/>\n' if horizontal_pair else "/>\n"))
            if part.second is not None:
                out.append(f'      <AdjacentSpaceId spaceIdRef="space-{part.second.room}"'
                           + (' surfaceType="InteriorFloor"/>\n' if horizontal_pair else "/>\n"))
            out.append("      <RectangularGeometry>\n"
                       f"        <Azimuth>{angle_text[2 * k]}</Azimuth>\n"
                       "        <CartesianPoint>\n"
                       f"          <Coordinate>{text[c]}</Coordinate>\n"
                       f"          <Coordinate>{text[c + 1]}</Coordinate>\n"
                       f"          <Coordinate>{text[c + 2]}</Coordinate>\n"
                       "        </CartesianPoint>\n"
                       f"        <Tilt>{angle_text[2 * k + 1]}</Tilt>\n"
                       f"        <Height>{text[h + 1]}</Height>\n"
                       f"        <Width>{text[h]}</Width>\n"
                       "      </RectangularGeometry>\n"
                       "      <PlanarGeometry>\n")
            _loop(out, text, 3 * int(starts[k]), int(sizes[k]), "        ")
            out.append("      </PlanarGeometry>\n")
            for j, (opening, _) in enumerate(part.openings):
                ring = openings_at + j
                if opening.kind == "air" and surface_type == "Air":
                    continue  # a hole in an open boundary: the surface is air already
                if sizes[ring] < 3 or area[ring] < MIN_AREA:
                    continue
                self.openings += 1
                kind = opening_type(opening, first.normal)
                o = relative_at + 2 * (ring - count)
                h = size_at + 2 * ring
                out.append(f'      <Opening id="opening-{self.openings}" openingType="{kind}">\n'
                           "        <RectangularGeometry>\n"
                           "          <CartesianPoint>\n"
                           f"            <Coordinate>{text[o]}</Coordinate>\n"
                           f"            <Coordinate>{text[o + 1]}</Coordinate>\n"
                           "          </CartesianPoint>\n"
                           f"          <Height>{text[h + 1]}</Height>\n"
                           f"          <Width>{text[h]}</Width>\n"
                           "        </RectangularGeometry>\n"
                           "        <PlanarGeometry>\n")
                _loop(out, text, 3 * int(starts[ring]), int(sizes[ring]), "          ")
                out.append("        </PlanarGeometry>\n")
                target = opening.filling or opening.opening
                if target is not None:
                    out.append(f"        <CADObjectId>{_text(target)}</CADObjectId>\n")
                out.append("      </Opening>\n")
            if first.element is not None:
                out.append(f"      <CADObjectId>{_text(first.element)}</CADObjectId>\n")
            out.append("    </Surface>\n")


def _loop(out: list[str], text: list[str], at: int, count: int, indent: str) -> None:
    """A PolyLoop of `count` points whose coordinates' text starts at ``text[at]``."""
    point = (f"{indent}  <CartesianPoint>\n{indent}    <Coordinate>{{}}</Coordinate>\n"
             f"{indent}    <Coordinate>{{}}</Coordinate>\n{indent}    <Coordinate>{{}}</Coordinate>\n"
             f"{indent}  </CartesianPoint>\n").format
    out.append(f"{indent}<PolyLoop>\n")
    out.extend(point(*text[k:k + 3]) for k in range(at, at + 3 * count, 3))
    out.append(f"{indent}</PolyLoop>\n")


def _ring_areas(points: Any, starts: Any, sizes: Any) -> Any:
    """Area of each planar ring (open) of the concatenated `points`, by
    Newell's sum about its first point."""
    np = _numpy()
    first = np.repeat(starts, sizes)
    p = points - points[first]
    a, b = p[:-1], p[1:]
    cross = np.stack([a[:, 1] * b[:, 2] - a[:, 2] * b[:, 1], a[:, 2] * b[:, 0] - a[:, 0] * b[:, 2],
                      a[:, 0] * b[:, 1] - a[:, 1] * b[:, 0]], axis=1)
    # A pair across two rings is no edge (and the closing edge of a ring,
    # about its first point, adds nothing).
    cross[(starts + sizes - 1)[sizes > 0][:-1] if len(cross) else []] = 0.0
    total = np.add.reduceat(np.concatenate((cross, np.zeros((1, 3)))), starts, axis=0)
    return 0.5 * np.sqrt((total * total).sum(axis=1))


def opening_type(opening: Any, normal: Any) -> str:
    """gbXML's ``openingType`` of a `kovalith.energy.BoundaryOpening` on a
    surface with this outward normal: a window in a surface facing up or
    down is a skylight."""
    types = OPENING_TYPES.get(opening.kind, OPENING_TYPES["air"])
    operation = getattr(opening, "operation", None)
    if opening.kind in ("door", "window") and operation in OPERATION_TYPES:
        operated = OPERATION_TYPES[operation]
        if operated[0].endswith("Door") == (opening.kind == "door"):
            types = operated
    return types[0] if abs(float(normal[2])) <= 0.5 else types[1]


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
    etree = _lxml()
    text = _Writer(rooms, boundaries).document(building_name)
    return etree.fromstring(text.encode("utf-8"), etree.XMLParser(huge_tree=True, remove_blank_text=True))


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
        shapely is missing for a boundary with holes.
    ValueError
        A coordinate or measure is not finite.
    """
    writer = _Writer(rooms, boundaries)
    text = writer.document(building_name)
    with open(os.fspath(path), "w", encoding="utf-8", newline="\n") as stream:
        stream.write(text)
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
