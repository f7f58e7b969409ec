"""Space boundaries for energy models: every room's envelope in pieces, classified.

`space_boundaries` splits the surface of every ``IfcSpace`` of a loaded model
into second-level space boundaries: pieces that each have one thing on their
other side (another space across one wall or slab, the outside, the ground),
with the doors, windows and holes on them. `write_gbxml` writes them as gbXML
(see `kovalith.gbxml`); `enclosure` checks that each space's boundaries close
it.

The pieces come from `kovalith.building.space_boundaries`, fed as
`kovalith.ifc.compile_rooms` feeds the compiler: contact pieces are paired
(the same region seen from each space, ``corresponding`` both ways) and split
by the element behind them, and the rest of each face, the exterior
remainder, is split the same way by the exterior wall, roof or ground slab
behind it.

Classification
--------------
A boundary's orientation follows gbXML's tilt rule: it faces **up** when its
outward normal is less than 60 degrees from straight up (``n.z > 0.5``),
**down** when less than 60 degrees from straight down (``n.z < -0.5``), and is
a **wall** otherwise.

*Internal* boundaries (a space on the other side):

- ``Air`` when no physical element lies between the two spaces: faces that
  touch (open plan), a gap with nothing in it, an ``IfcVirtualElement``, or a
  stair or ramp alone (a floor contact inside a stair hole). ``physical`` is
  False; ``element`` is the virtual element, else None.
- otherwise by orientation: ``InteriorWall``; ``Ceiling`` for the lower space
  (its piece faces up); ``InteriorFloor`` for the upper space (faces down).
  gbXML names an interior horizontal surface after the side it is written
  from; `kovalith.gbxml` writes it once, from the lower space, as a
  ``Ceiling``, and tells each space's side in ``AdjacentSpaceId/@surfaceType``.

An exterior piece past which the building goes on (a space or a physical
element lies at the thickest wall or slab bridged, ``wall_gap`` or
``slab_gap``, past its inner point: the end of a partition behind a
corridor's wall, the strip of a ceiling under a wall standing on the slab
above) is internal too, with no space across: ``InteriorWall``, ``Ceiling``
or ``InteriorFloor`` by orientation.

*External* boundaries (nothing but the outside or the ground beyond):

- a space lies *below ground* when the top of its storey, its storey's
  elevation plus its own height, is at or below the ground level: the
  ``ground_level`` setting, else 0.0, the building's datum from which IFC
  storey elevations are measured (when no space reaches above that datum,
  the elevations are not measured from the ground and the lowest space's
  elevation is the ground instead). A space without a storey has its lowest
  point as its elevation.
- wall: ``UndergroundWall`` for a space below ground, ``Roof`` when an
  ``IfcRoof`` or a slab of type ``ROOF`` stands behind it (a steep roof),
  else ``ExteriorWall``.
- up: ``UndergroundCeiling`` below ground, else ``Roof`` (whatever is behind
  it: a roof slab, a floor slab with nothing above, or no element).
- down: ``UndergroundSlab`` below ground; ``SlabOnGrade`` for a space on the
  lowest storey above ground (its elevation within `LEVEL_TOLERANCE` of the
  lowest) or with a slab of type ``BASESLAB`` behind; ``RaisedFloor`` (a
  floor over the outside air: an overhang, a space over a passage)
  otherwise.

``Shade`` never occurs: every boundary bounds a space.

Openings on a boundary are the doors, windows and openings the compiler
admits there (doors and windows cut walls only; openings in slabs and roofs,
a skylight's too, cut floors, ceilings and roofs only). A
door or window loaded as its own body and its opening, loaded too, are one
`BoundaryOpening`: ``opening`` is the ``IfcOpeningElement``'s GlobalId (the
door's or window's own where it fills none), ``filling`` the door's or
window's. ``kind`` is ``"door"`` (an ``IfcDoor`` fills it), ``"window"`` (an
``IfcWindow`` or any other filling) or ``"air"`` (nothing fills it: a stair
hole, an open passage). ``operation`` says how it opens, as the loader read
it (`kovalith.ifc.IfcRooms`): a window is ``"operable"`` when a panel of it
opens, else ``"fixed"``; a door ``"sliding"`` or ``"non-sliding"``. A piece
with nothing behind it that doors and windows cover (`FILLED_SHARE` of it)
lies in the element behind the rest of its face: the loader reads an element
with an unfilled opening with all its openings cut, the filled ones too.

All coordinates are in metres, in world coordinates, as `kovalith.ifc.load`
gives them. Needs NumPy.
"""

from __future__ import annotations

import importlib
import math
import os
from typing import TYPE_CHECKING, Any, NamedTuple, Sequence

if TYPE_CHECKING:
    from kovalith import SpatialGraph
    from kovalith.building import RegionPolygon
    from kovalith.ifc import IfcRooms

__all__ = ["BoundaryOpening", "SpaceBoundary", "Enclosure", "SURFACE_TYPES", "OPENING_KINDS", "OPERATIONS",
           "LEVEL_TOLERANCE", "MIN_AREA",
           "space_boundaries", "compile_rooms", "classify", "enclosure", "write_gbxml"]

#: Every ``surface_type`` a boundary can have (gbXML's names).
SURFACE_TYPES = ("InteriorWall", "ExteriorWall", "InteriorFloor", "Ceiling", "Roof", "SlabOnGrade",
                 "UndergroundWall", "UndergroundSlab", "UndergroundCeiling", "RaisedFloor", "Air")
#: Every ``kind`` of a `BoundaryOpening`.
OPENING_KINDS = ("door", "window", "air")
#: Every ``operation`` of a `BoundaryOpening` (None for a hole), and the one a
#: door or window has when the model does not say.
OPERATIONS = ("fixed", "operable", "sliding", "non-sliding")
DEFAULT_OPERATION = {"window": "fixed", "door": "non-sliding", "air": None}
#: A boundary faces up above this ``n.z`` and down below its negative: gbXML
#: calls a surface a wall from 60 degrees of tilt from the horizontal on.
FACING_COS = 0.5
#: Storey elevations closer than this (metres) are one level: exporters round
#: them, and a finished floor may be written a few millimetres off.
LEVEL_TOLERANCE = 0.01

#: The compiler's rule for which gap applies: a piece whose ``|n.z|`` exceeds
#: this is bridged by ``slab_gap``, the others by ``wall_gap``.
SLAB_COS = 0.707
#: A piece with no element behind it that doors and windows cover to this
#: share lies in the element around it (see `classify`).
FILLED_SHARE = 0.99
#: Pieces this small or smaller (m2) are slivers of rounding and bound nothing.
MIN_AREA = 1e-6
#: How far beyond the gap (metres) the building must still be there for an
#: exterior piece to face no outside.
PROBE_MARGIN = 0.01

ROOF_CLASSES = ("IfcRoof",)
WALL, UP, DOWN = "wall", "up", "down"


class BoundaryOpening(NamedTuple):
    """A door, window or hole on a boundary.

    ``opening`` is the GlobalId of the ``IfcOpeningElement`` (of the door or
    window itself when it fills none), ``filling`` that of the ``IfcDoor`` or
    ``IfcWindow`` filling it (None for a hole), ``kind`` one of
    `OPENING_KINDS`; ``outer`` an (n, 3) closed ring in metres, world
    coordinates, counter-clockwise seen from outside the space (as its
    boundary's polygon), lying within the boundary; ``area`` in m2;
    ``operation`` how it opens (`OPERATIONS`): ``"fixed"`` or
    ``"operable"`` for a window, ``"sliding"`` or ``"non-sliding"`` for a
    door, None for a hole (see `kovalith.ifc.IfcRooms` for how the model
    says it).
    """

    opening: str | None
    filling: str | None
    kind: str
    outer: Any
    area: float
    operation: str | None = None


class SpaceBoundary(NamedTuple):
    """One piece of a space's envelope: what lies beyond it, and how gbXML names it.

    Attributes
    ----------
    index : int
        Its position in the list `space_boundaries` returns.
    space : str
        GlobalId of the ``IfcSpace`` it bounds.
    polygon : kovalith.building.RegionPolygon
        Metres, world coordinates: the outer ring counter-clockwise seen from
        outside the space (about `normal`), holes clockwise, rings closed.
    normal : numpy.ndarray
        (3,) unit normal pointing out of the space.
    area : float
        m2, gross: holes removed, openings not.
    surface_type : str
        One of `SURFACE_TYPES` (see the module's notes).
    internal : bool
        A space lies on the other side (IFC INTERNAL), else EXTERNAL.
    physical : bool
        A physical building element lies behind it (IFC PHYSICAL); False for
        an open or virtual boundary and for an exterior piece with no element.
    element, element_class : str or None
        GlobalId and IFC class of the element behind it (None: nothing).
    other_space : str or None
        GlobalId of the space on the other side.
    corresponding : int or None
        Index of the same boundary seen from the other space; the two point
        at each other.
    openings : list of BoundaryOpening
    room, other_room : int, int or None
        Positions of the two spaces in ``rooms.rooms``.
    """

    index: int  # type: ignore[assignment]  # the field shadows tuple.index, by its agreed name
    space: str
    polygon: RegionPolygon
    normal: Any
    area: float
    surface_type: str
    internal: bool
    physical: bool
    element: str | None
    element_class: str | None
    other_space: str | None
    corresponding: int | None
    openings: list[BoundaryOpening]
    room: int = -1
    other_room: int | None = None


class Enclosure(NamedTuple):
    """How well a space's boundaries close it: ``boundary_area`` (the sum of
    their gross areas) against ``surface_area`` (its mesh's), both m2."""

    room: int
    space: str
    name: str | None
    boundary_area: float
    surface_area: float

    @property
    def error(self) -> float:
        """``|boundary_area - surface_area| / surface_area`` (inf for an empty mesh)."""
        if self.surface_area <= 0.0:
            return math.inf
        return abs(self.boundary_area - self.surface_area) / self.surface_area


def _numpy() -> Any:
    try:
        import numpy
    except ImportError as exc:  # pragma: no cover - numpy comes with every extra that loads IFC
        raise ImportError("kovalith.energy needs NumPy: pip install 'kovalith[energy]'") from exc
    return numpy


def compile_rooms(rooms: IfcRooms, *, ground_level: float | None = None,
                  **settings: Any) -> tuple[SpatialGraph, list[SpaceBoundary]]:
    """`kovalith.ifc.compile_rooms` that also returns the space boundaries, in
    one compile: ``(graph, boundaries)``.

    Takes the settings of `kovalith.ifc.compile_rooms`, with its defaults,
    and sets the same graph attributes; ``ground_level`` as in
    `space_boundaries`.
    """
    from kovalith import building, ifc

    unknown = set(settings) - set(ifc.DEFAULT_SETTINGS)
    if unknown:
        raise TypeError(f"unknown setting(s): {', '.join(sorted(unknown))}")
    merged = {**ifc.DEFAULT_SETTINGS, **settings}
    graph, pieces = building.space_boundaries(rooms.registry(), **merged, **ifc.compile_inputs(rooms))
    ifc.annotate(graph, rooms)
    return graph, classify(rooms, pieces, ground_level=ground_level, wall_gap=merged["wall_gap"],
                           slab_gap=merged["slab_gap"])


def space_boundaries(rooms: IfcRooms, *, ground_level: float | None = None,
                     **settings: Any) -> list[SpaceBoundary]:
    """Every space's envelope as boundaries, classified.

    Parameters
    ----------
    rooms : kovalith.ifc.IfcRooms
        A model read by `kovalith.ifc.load`.
    ground_level : float, optional
        Storey elevation (metres, the datum of the storeys' elevations) of
        the ground around the building: a space whose storey top is at or
        below it is below ground. Default 0.0 (see the module's notes).
    **settings
        Those of `kovalith.ifc.compile_rooms` (``distance``, ``angle``,
        ``min_area``, ``wall_gap``, ``slab_gap``, ``merge``), with its
        defaults.

    Returns
    -------
    list of SpaceBoundary
        Space by space in the order of ``rooms.rooms``; per space they
        partition its surface (closed, consistently wound meshes): their
        areas sum to the mesh's surface area.

    Raises
    ------
    TypeError
        An unknown setting, or one that is not a number.
    ValueError
        A setting out of range (see `kovalith.building.compile_building`).
    """
    return compile_rooms(rooms, ground_level=ground_level, **settings)[1]


def _facing(normal: Any) -> str:
    nz = float(normal[2])
    if nz > FACING_COS:
        return UP
    if nz < -FACING_COS:
        return DOWN
    return WALL


class _Levels:
    """Which spaces are below ground and which stand on the lowest storey above it."""

    def __init__(self, rooms: IfcRooms, ground_level: float | None) -> None:
        np = _numpy()
        arrays = importlib.import_module("kovalith.arrays")
        count = len(rooms.rooms)
        self.elevation = np.zeros(count)
        self.top = np.zeros(count)
        for k, mesh in enumerate(rooms.rooms):
            z = arrays.mesh_to_arrays(mesh).vertices[:, 2]
            bottom, height = (float(z.min()), float(z.max() - z.min())) if len(z) else (0.0, 0.0)
            product = rooms.room_products[k] if k < len(rooms.room_products) else None
            elevation = product.elevation if product is not None and product.elevation is not None else bottom
            self.elevation[k] = elevation
            self.top[k] = elevation + height
        if ground_level is not None:
            ground = float(ground_level)
            if not math.isfinite(ground):
                raise ValueError(f"ground_level must be finite, not {ground_level!r}")
        elif count and not (self.top > LEVEL_TOLERANCE).any():
            ground = float(self.elevation.min())  # elevations not measured from the ground
        else:
            ground = 0.0
        self.below = self.top <= ground + LEVEL_TOLERANCE
        above = self.elevation[~self.below]
        lowest = float(above.min()) if len(above) else math.inf
        self.on_grade = ~self.below & (self.elevation <= lowest + LEVEL_TOLERANCE)


def _element_role(product: Any, kind: str) -> str:
    """How an element counts behind a boundary: ``"roof"``, ``"base"`` (a
    ground slab), ``"virtual"``, ``"crossing"`` or ``"physical"``."""
    if kind != "physical":
        return kind
    predefined = getattr(product, "predefined_type", None)
    if product.ifc_class.startswith(ROOF_CLASSES) or (product.ifc_class.startswith("IfcSlab")
                                                       and predefined == "ROOF"):
        return "roof"
    if product.ifc_class.startswith("IfcSlab") and predefined == "BASESLAB":
        return "base"
    return "physical"


def _surface_type(facing: str, beyond: str, role: str | None, below: bool, on_grade: bool) -> str:
    """gbXML's type of a boundary; `beyond` is ``"space"`` (a contact),
    ``"building"`` (no space, but no outside either) or ``"outside"``."""
    if beyond == "space" and role in (None, "virtual", "crossing"):
        return "Air"
    if beyond != "outside":
        return {WALL: "InteriorWall", UP: "Ceiling", DOWN: "InteriorFloor"}[facing]
    if facing == WALL:
        if below:
            return "UndergroundWall"
        return "Roof" if role == "roof" else "ExteriorWall"
    if facing == UP:
        return "UndergroundCeiling" if below else "Roof"
    if below:
        return "UndergroundSlab"
    return "SlabOnGrade" if on_grade or role == "base" else "RaisedFloor"


def _fan(mesh: Any) -> tuple[Any, Any]:
    """A mesh's vertices and its faces fanned into triangles from their first corner: ((n, 3), (m, 3))."""
    np = _numpy()
    arrays = importlib.import_module("kovalith.arrays").mesh_to_arrays(mesh)
    v = np.asarray(arrays.vertices, dtype=np.float64)
    index = np.asarray(arrays.indices, dtype=np.intp)
    offsets = np.asarray(arrays.offsets, dtype=np.intp)
    if len(offsets) < 2:
        return v, np.empty((0, 3), dtype=np.intp)
    fans = np.maximum(np.diff(offsets) - 2, 0)  # triangles per face
    first = np.repeat(offsets[:-1], fans)
    # Triangle t of a face joins its corners 0, t + 1 and t + 2.
    step = np.arange(len(first)) - np.repeat(np.cumsum(fans) - fans, fans) + 1
    return v, np.stack([index[first], index[first + step], index[first + step + 1]], axis=1)


class _Fans:
    """Many meshes' faces fanned into triangles at once (`_fan` for each):
    their vertices one after the other, ``triangles`` indexing them, and per
    mesh the first and the count of its vertices and of its triangles."""

    def __init__(self, meshes: Sequence[Any]) -> None:
        np = _numpy()
        to_arrays = importlib.import_module("kovalith.arrays").mesh_to_arrays
        arrays = [to_arrays(mesh) for mesh in meshes]
        count = len(arrays)
        self.vertex_count = np.array([len(a.vertices) for a in arrays], dtype=np.intp)
        self.vertex_start = np.cumsum(self.vertex_count) - self.vertex_count
        self.vertices = np.concatenate([np.asarray(a.vertices, dtype=np.float64).reshape(-1, 3) for a in arrays]) \
            if count else np.zeros((0, 3))
        index_count = np.array([len(a.indices) for a in arrays], dtype=np.intp)
        index_start = np.cumsum(index_count) - index_count
        indices = np.concatenate([np.asarray(a.indices, dtype=np.intp) for a in arrays]) if count else \
            np.zeros(0, dtype=np.intp)
        indices = indices + np.repeat(self.vertex_start, index_count)
        offsets = [np.asarray(a.offsets, dtype=np.intp) for a in arrays]
        face_count = np.array([max(len(o) - 1, 0) for o in offsets], dtype=np.intp)
        face_start = np.concatenate([o[:-1] for o in offsets if len(o) > 1]) if face_count.any() else \
            np.zeros(0, dtype=np.intp)
        face_size = np.concatenate([np.diff(o) for o in offsets if len(o) > 1]) if face_count.any() else \
            np.zeros(0, dtype=np.intp)
        face_start = face_start + np.repeat(index_start, face_count)
        fans = np.maximum(face_size - 2, 0)  # triangles per face
        first = np.repeat(face_start, fans)
        # Triangle t of a face joins its corners 0, t + 1 and t + 2.
        step = np.arange(len(first)) - np.repeat(np.cumsum(fans) - fans, fans) + 1
        self.triangles = np.stack([indices[first], indices[first + step], indices[first + step + 1]], axis=1) \
            .reshape(-1, 3)
        self.triangle_count = np.bincount(np.repeat(np.repeat(np.arange(count), face_count), fans),
                                          minlength=count).astype(np.intp)
        self.triangle_start = np.cumsum(self.triangle_count) - self.triangle_count

    def mesh_of_vertex(self) -> Any:
        np = _numpy()
        return np.repeat(np.arange(len(self.vertex_count)), self.vertex_count)

    def mesh_of_triangle(self) -> Any:
        np = _numpy()
        return np.repeat(np.arange(len(self.triangle_count)), self.triangle_count)


class _Solids:
    """Point-in-solid tests against closed meshes (rooms, physical elements).

    A ray from the point counts the mesh's triangles it crosses; an odd count
    is inside. The ray's direction is skewed against every axis so that, in
    buildings drawn on a grid, it meets no edge or vertex.
    """

    RAY = (0.5257311121, 0.3090169944, 0.7919723596)

    def __init__(self, meshes: Sequence[Any]) -> None:
        np = _numpy()
        self.fans = _Fans(meshes)
        count = len(self.fans.vertex_count)
        low = np.full((count, 3), np.inf)
        high = np.full((count, 3), -np.inf)
        some = self.fans.vertex_count > 0
        if some.any():
            starts = self.fans.vertex_start[some]
            low[some] = np.minimum.reduceat(self.fans.vertices, starts, axis=0)
            high[some] = np.maximum.reduceat(self.fans.vertices, starts, axis=0)
        self.low, self.high = low, high
        direction = np.array(self.RAY)
        self.direction = direction / np.linalg.norm(direction)

    def contains(self, point: Any) -> bool:
        return bool(self.contains_all(point)[0])

    def contains_all(self, points: Any) -> Any:
        """`contains` for each of (n, 3) points at once: a bool array.

        The pairs of a point and a mesh whose box holds it are found by
        sorting the points along one axis; each pair's ray is tested against
        all of that mesh's triangles in one array operation.
        """
        np = _numpy()
        points = np.asarray(points, dtype=np.float64).reshape(-1, 3)
        inside = np.zeros(len(points), dtype=bool)
        if not len(points) or not len(self.low):
            return inside
        point_of, mesh_of = self._pairs(points)
        fans = self.fans
        count, first = fans.triangle_count, fans.triangle_start
        if not len(point_of) or not count[mesh_of].any():
            return inside
        used = np.unique(mesh_of)
        # The triangles of the meshes some point lies in the box of.
        taken = np.repeat(first[used] - (np.cumsum(count[used]) - count[used]), count[used]) + \
            np.arange(int(count[used].sum()))
        triangles = fans.vertices[fans.triangles[taken]]
        first = np.zeros(len(count), dtype=np.intp)
        first[used] = np.cumsum(count[used]) - count[used]
        # Moeller-Trumbore: what depends on the triangle and the ray's
        # direction alone is computed once per triangle.
        a = triangles[:, 0]
        e1, e2 = triangles[:, 1] - a, triangles[:, 2] - a
        d = self.direction
        p = np.stack([d[1] * e2[:, 2] - d[2] * e2[:, 1], d[2] * e2[:, 0] - d[0] * e2[:, 2],
                      d[0] * e2[:, 1] - d[1] * e2[:, 0]], axis=1)
        det = np.einsum("ij,ij->i", e1, p)
        ok = np.abs(det) > 1e-12
        inv = np.where(ok, 1.0 / np.where(ok, det, 1.0), 0.0)
        per_pair = count[mesh_of]
        pair = np.repeat(np.arange(len(point_of)), per_pair)
        tri = np.repeat(first[mesh_of] - np.concatenate(([0], np.cumsum(per_pair)[:-1])), per_pair) + \
            np.arange(len(pair))
        s = points[point_of[pair]] - a[tri]
        u = np.einsum("ij,ij->i", s, p[tri]) * inv[tri]
        q = _cross(s, e1[tri])
        v = (q @ d) * inv[tri]
        t = np.einsum("ij,ij->i", e2[tri], q) * inv[tri]
        hit = ok[tri] & (u >= 0.0) & (v >= 0.0) & (u + v <= 1.0) & (t > 0.0)
        # A crossing on an edge shared by two triangles is one crossing.
        hit_pair, hit_t = pair[hit], np.round(t[hit], 9)
        order = np.lexsort((hit_t, hit_pair))
        hit_pair, hit_t = hit_pair[order], hit_t[order]
        distinct = np.ones(len(hit_pair), dtype=bool)
        distinct[1:] = (hit_pair[1:] != hit_pair[:-1]) | (hit_t[1:] != hit_t[:-1])
        crossings = np.bincount(hit_pair[distinct], minlength=len(point_of))
        inside[point_of[crossings % 2 == 1]] = True
        return inside

    def _pairs(self, points: Any) -> tuple[Any, Any]:
        """(point, mesh) index pairs whose mesh's bounding box holds the point."""
        np = _numpy()
        lows, highs = self.low, self.high
        found = []
        for axis in range(3):
            order = np.argsort(points[:, axis], kind="stable")
            along = points[order, axis]
            start = np.searchsorted(along, lows[:, axis], side="left")
            stop = np.searchsorted(along, highs[:, axis], side="right")
            width = np.maximum(stop - start, 0)
            found.append((int(width.sum()), order, start, width))
        _, order, start, width = min(found, key=lambda f: f[0])
        mesh_of = np.repeat(np.arange(len(lows)), width)
        offsets = np.arange(len(mesh_of)) - np.repeat(np.cumsum(width) - width, width)
        point_of = order[np.repeat(start, width) + offsets]
        keep = ((lows[mesh_of] <= points[point_of]) & (points[point_of] <= highs[mesh_of])).all(axis=1)
        return point_of[keep], mesh_of[keep]


def _inner_point(polygon: Any, normal: Any) -> Any:
    """A point inside a piece's polygon (off its holes): the outer ring's
    centroid where it lies inside, else the centroid of the largest fan
    triangle of the outer ring that does."""
    np = _numpy()
    ring = np.asarray(polygon.outer, dtype=np.float64)[:-1]
    origin = ring[0]
    n = np.asarray(normal, dtype=np.float64)
    u = ring[1] - origin if len(ring) > 1 else np.array([1.0, 0.0, 0.0])
    u = u - n * (u @ n)
    length = float(np.linalg.norm(u))
    if length == 0.0 or len(ring) < 3:
        return ring.mean(axis=0) if len(ring) else origin
    u /= length
    w = np.array([n[1] * u[2] - n[2] * u[1], n[2] * u[0] - n[0] * u[2], n[0] * u[1] - n[1] * u[0]])

    def flat(points: Any) -> Any:
        d = np.asarray(points, dtype=np.float64) - origin
        return np.stack([d @ u, d @ w], axis=1)

    outer = flat(ring)
    holes = [flat(np.asarray(h)[:-1]) for h in polygon.holes]

    def inside(p: Any) -> bool:
        return _in_ring(p, outer) and not any(_in_ring(p, h) for h in holes)

    a, b = outer[1:-1] - outer[0], outer[2:] - outer[0]
    doubled = a[:, 0] * b[:, 1] - a[:, 1] * b[:, 0]
    centres = (outer[0] + outer[1:-1] + outer[2:]) / 3.0
    total = float(doubled.sum())
    candidates = [(doubled[:, None] * centres).sum(axis=0) / total] if total != 0.0 else []
    candidates += [centres[k] for k in np.argsort(-doubled)]
    for c in candidates:
        if inside(c):
            return origin + c[0] * u + c[1] * w
    return ring.mean(axis=0)


def _inner_points(polygons: Sequence[Any], normals: Any) -> Any:
    """`_inner_point` of each polygon, (n, 3): the outer ring's centroid
    computed for all polygons at once, tested against all their rings at
    once; a polygon whose centroid lies outside (an L, a hole in the middle)
    or that is degenerate is left to `_inner_point`."""
    np = _numpy()
    count = len(polygons)
    result = np.empty((count, 3))
    if not count:
        return result
    normals = np.asarray(normals, dtype=np.float64).reshape(-1, 3)
    outers = [np.asarray(p.outer, dtype=np.float64).reshape(-1, 3)[:-1] for p in polygons]
    sizes = np.array([len(r) for r in outers], dtype=np.intp)
    slow = sizes < 3
    fast = np.nonzero(~slow)[0]
    if len(fast):
        rings = [outers[k] for k in fast.tolist()]
        size = sizes[fast]
        starts = np.concatenate(([0], np.cumsum(size)[:-1]))
        points = np.concatenate(rings)
        origin = points[starts]
        n = normals[fast]
        u = points[starts + 1] - origin
        u = u - n * np.einsum("ij,ij->i", u, n)[:, None]
        length = np.sqrt(np.einsum("ij,ij->i", u, u))
        degenerate = length == 0.0
        u = u / np.where(degenerate, 1.0, length)[:, None]
        w = _cross(n, u)
        of_point = np.repeat(np.arange(len(fast)), size)
        d = points - origin[of_point]
        x = np.einsum("ij,ij->i", d, u[of_point])
        y = np.einsum("ij,ij->i", d, w[of_point])
        # Fan triangles from the first corner, which lies at (0, 0): each
        # edge (i, i + 1) makes one, of doubled area x_i y_i+1 - x_i+1 y_i and
        # centre (p_i + p_i+1) / 3 (the edges at the first corner add nothing).
        following = np.arange(len(points)) + 1
        following[starts + size - 1] = starts
        doubled = x * y[following] - x[following] * y
        total = np.add.reduceat(doubled, starts)
        cx = np.add.reduceat(doubled * ((x + x[following]) / 3.0), starts)
        cy = np.add.reduceat(doubled * ((y + y[following]) / 3.0), starts)
        usable = ~degenerate & (total != 0.0)
        cx = cx / np.where(usable, total, 1.0)
        cy = cy / np.where(usable, total, 1.0)
        # Even-odd: the centroid is inside when it crosses the outer ring an
        # odd number of times and each hole an even number.
        ring_of = [np.arange(len(fast))]
        ring_points = [np.stack([x, y], axis=1)]
        ring_sizes = [size]
        for j, k in enumerate(fast.tolist()):
            for hole in polygons[k].holes:
                h = np.asarray(hole, dtype=np.float64).reshape(-1, 3)[:-1]
                if len(h) == 0:
                    continue
                dh = h - origin[j]
                ring_points.append(np.stack([dh @ u[j], dh @ w[j]], axis=1))
                ring_of.append(np.array([j]))
                ring_sizes.append(np.array([len(h)]))
        owner = np.concatenate(ring_of)
        all_sizes = np.concatenate(ring_sizes)
        all_points = np.concatenate(ring_points)
        all_starts = np.concatenate(([0], np.cumsum(all_sizes)[:-1]))
        nxt = np.arange(len(all_points)) + 1
        nxt[all_starts + all_sizes - 1] = all_starts
        of = np.repeat(owner, all_sizes)
        px, py = cx[of], cy[of]
        x0, y0 = all_points[:, 0], all_points[:, 1]
        x1, y1 = all_points[nxt, 0], all_points[nxt, 1]
        straddles = (y0 > py) != (y1 > py)
        with np.errstate(divide="ignore", invalid="ignore"):
            crosses = straddles & (px < x0 + (py - y0) * (x1 - x0) / np.where(straddles, y1 - y0, 1.0))
        odd = np.add.reduceat(crosses.astype(np.intp), all_starts) % 2 == 1
        # The outer ring is each polygon's first ring, the holes follow.
        outer_odd = odd[:len(fast)]
        hole_odd = np.zeros(len(fast), dtype=bool)
        np.logical_or.at(hole_odd, owner[len(fast):], odd[len(fast):])
        good = usable & outer_odd & ~hole_odd
        result[fast] = origin + cx[:, None] * u + cy[:, None] * w
        slow[fast[~good]] = True
    for k in np.nonzero(slow)[0].tolist():
        result[k] = _inner_point(polygons[k], normals[k])
    return result


def _in_ring(point: Any, ring: Any) -> bool:
    """Even-odd point-in-polygon in the plane (ring open, any winding)."""
    x, y = float(point[0]), float(point[1])
    inside = False
    n = len(ring)
    for i in range(n):
        x0, y0 = ring[i]
        x1, y1 = ring[(i + 1) % n]
        if (y0 > y) != (y1 > y) and x < x0 + (y - y0) * (x1 - x0) / (y1 - y0):
            inside = not inside
    return inside


class _Openings:
    """Opening positions to (opening GlobalId, filling GlobalId, kind, operation)."""

    def __init__(self, rooms: IfcRooms) -> None:
        operations = getattr(rooms, "operations", None) or {}
        fills: dict[str, str] = {}  # door or window GlobalId -> the opening it fills
        for product in rooms.opening_products:
            for filler in product.filled_by:
                fills.setdefault(filler, product.global_id)
        self.identity: list[tuple[str | None, str | None, str, str | None]] = []
        for product in rooms.opening_products:
            filling: str | None
            filling_class: str | None
            if product.ifc_class.startswith(("IfcDoor", "IfcWindow")):
                filling, filling_class = product.global_id, product.ifc_class
                opening = fills.get(product.global_id, product.global_id)
            else:
                opening = product.global_id
                filling = product.filled_by[0] if product.filled_by else None
                filling_class = product.filled_by_class[0] if product.filled_by_class else None
            kind = "air" if filling is None else "door" if (filling_class or "").startswith("IfcDoor") else "window"
            operation = DEFAULT_OPERATION[kind]
            if kind != "air" and operations.get(filling) in OPERATIONS:
                operation = operations[filling]
            self.identity.append((opening, filling, kind, operation))

    def on(self, piece_openings: Sequence[Any]) -> list[BoundaryOpening]:
        """The openings of one piece; a door and its opening found both are one (the larger ring)."""
        found: dict[Any, BoundaryOpening] = {}
        for item in piece_openings:
            opening, filling, kind, operation = self.identity[item.opening]
            record = BoundaryOpening(opening, filling, kind, item.outer, float(item.area), operation)
            key = opening if opening is not None else ("position", item.opening)
            held = found.get(key)
            if held is None or record.area > held.area:
                if held is not None and record.filling is None:
                    record = record._replace(filling=held.filling, kind=held.kind, operation=held.operation)
                found[key] = record
            elif held.filling is None and record.filling is not None:
                found[key] = held._replace(filling=record.filling, kind=record.kind, operation=record.operation)
        return list(found.values())


def classify(rooms: IfcRooms, pieces: Sequence[Any], *, ground_level: float | None = None,
             wall_gap: float | None = None, slab_gap: float | None = None) -> list[SpaceBoundary]:
    """Classify the pieces of `kovalith.building.space_boundaries` computed
    for ``rooms`` (with ``rooms.registry()`` and `kovalith.ifc.compile_inputs`).

    Returns one `SpaceBoundary` per piece, in the pieces' order, but for
    pieces of `MIN_AREA` or less (slivers that rounding leaves along the
    edges of faces), which are left out; ``index`` and ``corresponding``
    count the boundaries returned. See the module's notes for the
    rules and `space_boundaries` for ``ground_level``. ``wall_gap`` and
    ``slab_gap`` are those the pieces were computed with (metres; default
    those of `kovalith.ifc.compile_rooms`): an exterior piece faces the
    outside only when the building does not go on that far past it.

    Raises
    ------
    IndexError
        A piece names a room, element or opening that ``rooms`` does not have.
    """
    np = _numpy()
    from kovalith import ifc

    gaps = (float(ifc.DEFAULT_SETTINGS["wall_gap"] if wall_gap is None else wall_gap),
            float(ifc.DEFAULT_SETTINGS["slab_gap"] if slab_gap is None else slab_gap))
    levels = _Levels(rooms, ground_level)
    openings = _Openings(rooms)
    kinds = [ifc.element_kind(p) for p in rooms.element_products]
    roles = [_element_role(p, kind) for p, kind in zip(rooms.element_products, kinds)]
    room_ids = [p.global_id for p in rooms.room_products]
    # Slivers of rounding (a face's edge cut against a contact a hair away)
    # bound nothing: left out, the rest renumbered.
    kept = [float(piece.area) > MIN_AREA for piece in pieces]
    position = [-1] * len(pieces)
    for k, index in enumerate([k for k, keep in enumerate(kept) if keep]):
        position[index] = k
    around: dict[tuple[Any, ...], int] | None = None  # found when a piece first needs it
    rows: list[tuple[Any, int, int | None, list[BoundaryOpening], int | None, Any]] = []
    probes: list[int] = []  # rows of exterior pieces, whose far side is looked at
    for piece, keep in zip(pieces, kept):
        if not keep:
            continue
        on_piece = openings.on(piece.openings)
        element = piece.element
        if element is None and sum(o.area for o in on_piece if o.kind != "air") >= FILLED_SHARE * float(piece.area):
            # A door or window in an element that has an unfilled opening too:
            # the loader cuts all of that element's openings, so nothing stands
            # behind the door's region. It is part of the element around it.
            if around is None:
                around = _surrounding_elements(pieces, roles)
            element = around.get(_face_key(piece))
        normal = np.asarray(piece.normal, dtype=np.float64)
        other = None if piece.other is None else int(piece.other)
        if other is None:
            probes.append(len(rows))
        rows.append((piece, int(piece.room), other, on_piece, element, normal))
    outside = [False] * len(rows)
    if probes:
        solids = _Solids(list(rooms.rooms) + [m for m, kind in zip(rooms.elements, kinds) if kind == "physical"])
        normals = np.array([rows[k][5] for k in probes]).reshape(-1, 3)
        # Past the thickest wall or slab the compiler bridges (or past the
        # element behind, if thicker) lies the outside, unless the building
        # goes on: the end of a partition wall behind a corridor wall, a
        # wall standing on the slab above a ceiling, a neighbour's party wall.
        reach = np.array([max(gaps[abs(float(rows[k][5][2])) > SLAB_COS], float(rows[k][0].depth)) + PROBE_MARGIN
                          for k in probes])
        inner = _inner_points([rows[k][0].polygon for k in probes], normals)
        within = solids.contains_all(inner + reach[:, None] * normals)
        for k, building_there in zip(probes, within.tolist()):
            outside[k] = not building_there
    boundaries: list[SpaceBoundary] = []
    for index, ((piece, room, other, on_piece, element, normal), out) in enumerate(zip(rows, outside)):
        twin = None if piece.corresponding is None else position[int(piece.corresponding)]
        role = None if element is None else roles[element]
        product = None if element is None else rooms.element_products[element]
        beyond = "space" if other is not None else "outside" if out else "building"
        surface_type = _surface_type(_facing(normal), beyond, role, bool(levels.below[room]),
                                     bool(levels.on_grade[room]))
        boundaries.append(SpaceBoundary(
            index=index,
            space=room_ids[room],
            polygon=piece.polygon,
            normal=normal,
            area=float(piece.area),
            surface_type=surface_type,
            internal=beyond != "outside",
            physical=role is not None and role not in ("virtual", "crossing"),
            element=None if product is None or role == "crossing" else product.global_id,
            element_class=None if product is None or role == "crossing" else product.ifc_class,
            other_space=None if other is None else room_ids[other],
            corresponding=None if twin is None or twin < 0 else twin,
            openings=on_piece,
            room=room,
            other_room=other,
        ))
    return boundaries


def _face_key(piece: Any) -> tuple[Any, ...]:
    """The face a piece lies on: its contact, or for an exterior piece its plane
    (normal and offset rounded to a millionth and a millimetre)."""
    if piece.edge is not None:
        return int(piece.room), "edge", int(piece.edge)
    normal = [round(float(c), 6) + 0.0 for c in piece.normal]
    offset = round(sum(float(a) * float(b) for a, b in zip(piece.normal, piece.polygon.outer[0])), 3) + 0.0
    return int(piece.room), *normal, offset


def _surrounding_elements(pieces: Sequence[Any], roles: Sequence[str]) -> dict[tuple[Any, ...], int]:
    """Per face (`_face_key`): the physical element behind most of its area."""
    areas: dict[tuple[Any, ...], dict[int, float]] = {}
    for piece in pieces:
        if piece.element is not None and roles[piece.element] not in ("virtual", "crossing"):
            by_element = areas.setdefault(_face_key(piece), {})
            by_element[piece.element] = by_element.get(piece.element, 0.0) + float(piece.area)
    return {key: max(by_element, key=lambda e: (by_element[e], -e)) for key, by_element in areas.items()}


def _cross(a: Any, b: Any) -> Any:
    """Row-wise cross product of two (n, 3) arrays (numpy's own is slow on small ones)."""
    np = _numpy()
    return np.stack([a[:, 1] * b[:, 2] - a[:, 2] * b[:, 1], a[:, 2] * b[:, 0] - a[:, 0] * b[:, 2],
                     a[:, 0] * b[:, 1] - a[:, 1] * b[:, 0]], axis=1)


def mesh_measures(mesh: Any) -> tuple[float, float]:
    """Surface area (m2) and enclosed volume (m3, from outward-wound faces) of
    a mesh; faces of more than three corners are fanned from their first."""
    np = _numpy()
    v, faces = _fan(mesh)
    if len(faces) == 0:
        return 0.0, 0.0
    origin = v.mean(axis=0)  # volumes about a point near the mesh keep far-off models exact
    a, b, c = (v[faces[:, k]] - origin for k in range(3))
    area = 0.5 * float(np.linalg.norm(_cross(b - a, c - a), axis=1).sum())
    volume = float(np.einsum("ij,ij->i", a, _cross(b, c)).sum()) / 6.0
    return area, abs(volume)


def mesh_volumes(meshes: Sequence[Any]) -> Any:
    """`mesh_measures`' volume of each mesh, computed for all meshes at once: (n,) m3."""
    np = _numpy()
    fans = _Fans(meshes)
    count = len(fans.vertex_count)
    v = fans.vertices
    if not len(fans.triangles):
        return np.zeros(count)
    # Volumes about a point near each mesh keep far-off models exact.
    of_vertex = fans.mesh_of_vertex()
    origin = np.stack([np.bincount(of_vertex, weights=v[:, k], minlength=count) for k in range(3)], axis=1)
    origin /= np.maximum(fans.vertex_count, 1)[:, None]
    of_triangle = fans.mesh_of_triangle()
    a, b, c = (v[fans.triangles[:, k]] - origin[of_triangle] for k in range(3))
    signed = np.einsum("ij,ij->i", a, _cross(b, c))
    return np.abs(np.bincount(of_triangle, weights=signed, minlength=count) / 6.0)


def enclosure(rooms: IfcRooms, boundaries: Sequence[SpaceBoundary]) -> list[Enclosure]:
    """Per space of ``rooms.rooms``: its boundaries' gross areas summed against
    its mesh's surface area. A space whose boundaries close it has an
    `Enclosure.error` near 0 (well under 0.01)."""
    totals = [0.0] * len(rooms.rooms)
    for boundary in boundaries:
        totals[boundary.room] += boundary.area
    result = []
    for k, mesh in enumerate(rooms.rooms):
        product = rooms.room_products[k]
        result.append(Enclosure(k, product.global_id, product.name, totals[k], mesh_measures(mesh)[0]))
    return result


def write_gbxml(rooms: IfcRooms, boundaries: Sequence[SpaceBoundary], path: str | os.PathLike[str],
                **options: Any) -> dict[str, int]:
    """Write the boundaries as gbXML 6.01; see `kovalith.gbxml.write_gbxml`."""
    from kovalith import gbxml

    return gbxml.write_gbxml(rooms, boundaries, path, **options)
