"""Second-level space boundaries written into a copy of an IFC model.

`write_space_boundaries` takes the boundaries of `kovalith.energy` (each
space's envelope split into pieces, each knowing what lies behind it and on
its other side) and writes them into a copy of the model they came from, so
that energy tools reading IFC find them where they look:

- IFC4 and IFC4X3: one ``IfcRelSpaceBoundary2ndLevel`` per piece, its
  ``ConnectionGeometry`` an ``IfcConnectionSurfaceGeometry`` over an
  ``IfcCurveBoundedPlane``, ``CorrespondingBoundary`` set both ways on the
  two sides of every contact, and each door, window or hole on a piece a
  boundary of its own whose ``ParentBoundary`` is the piece's.
- IFC2X3: ``IfcRelSpaceBoundary`` with ``Name`` "2ndLevel" and
  ``Description`` "2a" or "2b", the way second-level boundaries are told
  apart in that schema (which has neither ``ParentBoundary`` nor
  ``CorrespondingBoundary``).

The geometry
------------
Each surface lies in the object coordinate system of its space (the inverse
of the space's placement, which is how receiving tools place it) and in the
file's own length unit, so a millimetre model gets millimetre boundaries and
a model far from the origin keeps small numbers. The plane's ``Position``
has its origin on the piece, its ``Axis`` the piece's normal pointing out of
the space and its ``RefDirection`` level where the plane is not, so the
outer ``IfcPolyline`` (2D, in the plane's coordinates) runs
counter-clockwise about that normal. Inner boundaries, clockwise, are the
piece's own holes and, on a parent piece, the outlines of its openings.

What each boundary refers to
----------------------------
``RelatedBuildingElement`` is the element behind the piece, by GlobalId. A
piece with nothing behind it (an open boundary between two rooms, a face no
element closes) gets an ``IfcVirtualElement`` created for it, one shared by
the two sides of a contact, contained in the space's storey; such a
boundary is VIRTUAL whatever the record says. An opening's boundary refers
to the door or window filling it, or to the ``IfcOpeningElement`` of a hole
nothing fills (VIRTUAL then). ``InternalOrExternalBoundary`` is INTERNAL
or EXTERNAL, and EXTERNAL_EARTH for a floor on the ground and for walls and
slabs under it where the schema has that value (IFC4 on).

2a or 2b (every schema's ``Description``): a piece with another space or
the outside beyond its element is "2a"; an internal piece with neither (the
face of a slab under the foot of a wall above, the face against the end of
a wall) is "2b". An opening's boundary takes its parent's.

Pairs in IFC2X3: without ``CorrespondingBoundary``, the two sides of a
contact are the two "2a" boundaries that name the same
``RelatedBuildingElement`` with their spaces swapped and whose surfaces are
the same polygon across the element (equal area, opposite normals). This
writer gives each side one piece per element and plane.

IfcOpenShell is an optional dependency: ``pip install 'kovalith[ifc]'``.
"""

from __future__ import annotations

import contextlib
import os
import pathlib
import tempfile
import time
from typing import TYPE_CHECKING, Any, NamedTuple, Sequence

if TYPE_CHECKING:
    from kovalith.ifc import IfcRooms

__all__ = ["write_space_boundaries", "WrittenBoundaries", "ON_EARTH"]

#: Surface types whose other side is the ground.
ON_EARTH = ("SlabOnGrade", "UndergroundWall", "UndergroundSlab")

# Below this length (file units) a ring's edge gives no direction for the plane.
_MIN_EDGE = 1e-12


class WrittenBoundaries(NamedTuple):
    """What `write_space_boundaries` wrote."""

    boundaries: int  # one per piece
    openings: int  # one per door, window or hole on a piece
    virtual_elements: int  # created for pieces with no element behind them
    removed: int  # space boundaries of the model removed first (``replace=True``)


def write_space_boundaries(rooms: IfcRooms, boundaries: Sequence[Any], path: str | os.PathLike[str], *,
                           replace: bool = False, model: Any = None) -> WrittenBoundaries:
    """Write a copy of the model with second-level space boundaries.

    Parameters
    ----------
    rooms : kovalith.ifc.IfcRooms
        What `kovalith.ifc.load` read; the model is opened again from
        ``rooms.source`` and its ``unit_scale`` converts metres back into
        the file's unit.
    boundaries : sequence of kovalith.energy.SpaceBoundary
        The pieces, as `kovalith.energy.space_boundaries` gives them:
        metres, world coordinates, ``corresponding`` indices into this
        sequence. Empty writes a plain copy.
    path : path
        The file to write (IFC text, or whatever IfcOpenShell writes for the
        name's extension). It is written whole or not at all: a failure
        leaves no partial file. It may not be the model itself.
    replace : bool
        Remove the model's own space boundaries (of every level) first; by
        default they are kept beside the new ones.
    model : ifcopenshell.file, optional
        The model the rooms were loaded from, when `load` was given an opened
        model rather than a path. It is not changed: the boundaries go into
        a copy.

    Returns
    -------
    WrittenBoundaries

    Raises
    ------
    ValueError
        `path` names the model's own file; a boundary's space, element or
        opening is not in the model; a ``corresponding`` index is out of
        range or not mutual; a polygon has fewer than three distinct points
        or no area; the rooms came from an opened model and `model` is not
        given.
    ImportError
        IfcOpenShell is not installed.
    """
    import numpy as np

    from kovalith import ifc

    ifcopenshell = ifc._ifcopenshell()
    import ifcopenshell.guid
    import ifcopenshell.util.placement

    out = os.fspath(path)
    if isinstance(out, bytes):
        out = os.fsdecode(out)
    if model is None:
        if not os.path.exists(rooms.source):
            raise ValueError(f"the rooms were not loaded from a file ({rooms.source!r}): pass the model as model=")
        _refuse_same_file(rooms.source, out)
        copy = ifc.open_model(rooms.source)
    else:
        if not isinstance(model, ifcopenshell.file):
            raise TypeError(f"model must be an ifcopenshell.file, not {type(model).__name__}")
        if os.path.exists(rooms.source):
            _refuse_same_file(rooms.source, out)
        copy = ifcopenshell.file.from_string(model.to_string())
    records = list(boundaries)
    _check_pairs(records)
    writer = _Writer(copy, float(rooms.unit_scale), np, ifcopenshell, records)
    removed = writer.remove_boundaries() if replace else 0
    counts = writer.write()
    _write_whole(copy, out)
    return WrittenBoundaries(*counts, removed)


def _refuse_same_file(source: str, out: str) -> None:
    try:
        same = os.path.samefile(source, out)
    except OSError:
        same = os.path.realpath(source) == os.path.realpath(out)
    if same:
        raise ValueError(f"{out} is the model itself; write the copy to another path")


def _check_pairs(records: list[Any]) -> None:
    for i, record in enumerate(records):
        j = record.corresponding
        if j is None:
            continue
        if not 0 <= j < len(records) or records[j].corresponding != i:
            raise ValueError(f"boundary {i}: corresponding {j} does not point back at it")


def _write_whole(model: Any, out: str) -> None:
    """Write to a temporary file beside `out`, then move it into place."""
    directory = os.path.dirname(os.path.abspath(out))
    suffix = pathlib.Path(out).suffix or ".ifc"
    handle, temporary = tempfile.mkstemp(dir=directory, prefix=".kovalith-", suffix=suffix)
    os.close(handle)
    try:
        model.write(temporary)
        os.replace(temporary, out)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(temporary)
        raise


class _Frame(NamedTuple):
    """A piece's plane in its space's coordinates: origin, axes, and its IfcPlane."""

    origin: Any
    u: Any
    v: Any
    plane: Any


class _Writer:
    """Creates the entities of one model's boundaries."""

    def __init__(self, model: Any, unit_scale: float, np: Any, ifcopenshell: Any, records: list[Any]) -> None:
        self.model = model
        self.np = np
        self.ifcopenshell = ifcopenshell
        self.records = records
        self.per_metre = 1.0 / unit_scale
        self.schema = model.schema
        self.second_level = self.schema != "IFC2X3"
        self.history = self._owner_history() if not self.second_level else None
        self.spaces: dict[str, tuple[Any, Any, Any]] = {}  # GlobalId -> (space, rotation, translation)
        self.directions: dict[tuple[float, ...], Any] = {}
        self.virtual: dict[int, Any] = {}  # record index -> created IfcVirtualElement
        self.contained: dict[int, tuple[Any, list[Any]]] = {}  # storey id -> (storey, new elements)

    # entities
    def _owner_history(self) -> Any:
        """IFC2X3 requires an owner history on every rooted entity: one saying kovalith added these."""
        m = self.model
        # An application's identifier is unique in a file: a model kovalith wrote before already has one.
        application = next((a for a in m.by_type("IfcApplication") if a.ApplicationIdentifier == "kovalith"), None)
        if application is None:
            application = m.create_entity(
                "IfcApplication", ApplicationDeveloper=m.create_entity("IfcOrganization", Name="kovalith"),
                Version=_version(), ApplicationFullName="kovalith", ApplicationIdentifier="kovalith")
        organisation = application.ApplicationDeveloper
        user = m.create_entity("IfcPersonAndOrganization", ThePerson=m.create_entity("IfcPerson", GivenName="kovalith"),
                               TheOrganization=organisation)
        return m.create_entity("IfcOwnerHistory", OwningUser=user, OwningApplication=application,
                               ChangeAction="ADDED", CreationDate=int(time.time()))

    def _guid(self) -> str:
        return str(self.ifcopenshell.guid.new())

    def _direction(self, vector: Any) -> Any:
        key = tuple(round(float(c), 12) for c in vector)
        found = self.directions.get(key)
        if found is None:
            found = self.directions[key] = self.model.createIfcDirection(key)
        return found

    def _by_guid(self, global_id: str, what: str, index: int) -> Any:
        try:
            return self.model.by_guid(global_id)
        except RuntimeError:
            raise ValueError(f"boundary {index}: its {what} {global_id} is not in the model") from None

    def _space(self, global_id: str, index: int) -> tuple[Any, Any, Any]:
        """The space and the inverse of its placement (file units), once per space."""
        found = self.spaces.get(global_id)
        if found is None:
            np = self.np
            space = self._by_guid(global_id, "space", index)
            matrix = np.eye(4)
            if getattr(space, "ObjectPlacement", None) is not None:
                matrix = np.asarray(self.ifcopenshell.util.placement.get_local_placement(space.ObjectPlacement),
                                    dtype=np.float64)
            inverse = np.linalg.inv(matrix)
            found = self.spaces[global_id] = (space, inverse[:3, :3], inverse[:3, 3])
        return found

    # geometry
    def _local(self, points: Any, rotation: Any, translation: Any) -> Any:
        """World metres -> the space's coordinates in file units."""
        return (self.np.asarray(points, dtype=self.np.float64) * self.per_metre) @ rotation.T + translation

    def _frame(self, ring: Any, normal: Any, index: int) -> _Frame:
        np = self.np
        n = normal / np.linalg.norm(normal)
        # A level RefDirection where the plane is not level keeps walls' 2D
        # x along the wall and y up, as people draw them.
        helper = np.array([0.0, 0.0, 1.0]) if abs(n[2]) < 0.9 else np.array([1.0, 0.0, 0.0])
        u = np.cross(helper, n)
        if np.linalg.norm(u) < _MIN_EDGE:
            raise ValueError(f"boundary {index}: its normal has no direction")
        u /= np.linalg.norm(u)
        v = np.cross(n, u)
        origin = ring[0]
        m = self.model
        position = m.createIfcAxis2Placement3D(m.createIfcCartesianPoint(tuple(map(float, origin))),
                                               self._direction(n), self._direction(u))
        return _Frame(origin, u, v, m.createIfcPlane(position))

    def _polyline(self, ring: Any, frame: _Frame, *, clockwise: bool) -> Any:
        """A closed 2D IfcPolyline of a ring in the frame's plane, wound as asked."""
        np = self.np
        flat = np.column_stack(((ring - frame.origin) @ frame.u, (ring - frame.origin) @ frame.v))
        if len(flat) > 1 and np.allclose(flat[0], flat[-1], rtol=0.0, atol=_MIN_EDGE):
            flat = flat[:-1]
        x, y = flat[:, 0], flat[:, 1]
        area = 0.5 * float(np.dot(x, np.roll(y, -1)) - np.dot(np.roll(x, -1), y))
        if len(flat) < 3 or area == 0.0:
            return None
        if (area < 0.0) != clockwise:
            flat = flat[::-1]
        points = [self.model.createIfcCartesianPoint((float(a), float(b))) for a, b in flat]
        return self.model.createIfcPolyline(points + points[:1])

    def _surface(self, outer: Any, inner: list[Any], frame: _Frame, index: int) -> Any:
        curve = self._polyline(outer, frame, clockwise=False)
        if curve is None:
            raise ValueError(f"boundary {index}: its polygon has no area")
        holes = [h for h in (self._polyline(ring, frame, clockwise=True) for ring in inner) if h is not None]
        surface = self.model.createIfcCurveBoundedPlane(frame.plane, curve, holes)
        return self.model.createIfcConnectionSurfaceGeometry(surface, None)

    # relationships
    def remove_boundaries(self) -> int:
        import ifcopenshell.util.element

        existing = list(self.model.by_type("IfcRelSpaceBoundary"))
        geometry = {rel.ConnectionGeometry for rel in existing if rel.ConnectionGeometry is not None}
        for rel in existing:
            self.model.remove(rel)
        for item in geometry:
            ifcopenshell.util.element.remove_deep2(self.model, item)
        return len(existing)

    def _relationship(self, space: Any, element: Any, geometry: Any, physical: bool, internal: str,
                      level: str, parent: Any = None) -> Any:
        m = self.model
        if self.second_level:
            return m.createIfcRelSpaceBoundary2ndLevel(
                self._guid(), None, "2ndLevel", level, space, element, geometry,
                "PHYSICAL" if physical else "VIRTUAL", internal, parent, None)
        return m.createIfcRelSpaceBoundary(self._guid(), self.history, "2ndLevel", level, space, element, geometry,
                                           "PHYSICAL" if physical else "VIRTUAL", internal)

    def _virtual_element(self, index: int, space: Any) -> Any:
        """The IfcVirtualElement behind a piece with no element, shared with its other side."""
        record = self.records[index]
        partner = record.corresponding
        if partner is not None and partner in self.virtual:
            element = self.virtual[partner]
        else:
            name = "Open boundary" if record.other_space is not None else "Virtual boundary"
            element = self.model.createIfcVirtualElement(self._guid(), self.history, name,
                                                         "Created for a space boundary with no element behind it")
            storey = _storey(space)
            if storey is not None:
                self.contained.setdefault(storey.id(), (storey, []))[1].append(element)
        self.virtual[index] = element
        return element

    def _internal(self, record: Any) -> str:
        if record.internal:
            return "INTERNAL"
        if self.second_level and record.surface_type in ON_EARTH:
            return "EXTERNAL_EARTH"
        return "EXTERNAL"

    def write(self) -> tuple[int, int, int]:
        np = self.np
        pieces: list[Any] = []
        opening_rels: list[dict[tuple[Any, Any], Any]] = []
        opening_count = 0
        for index, record in enumerate(self.records):
            space, rotation, translation = self._space(record.space, index)
            if record.element is not None:
                element = self._by_guid(record.element, "element", index)
                physical = bool(record.physical)
            else:
                element = self._virtual_element(index, space)
                physical = False
            outer = self._local(record.polygon.outer, rotation, translation)
            normal = rotation @ np.asarray(record.normal, dtype=np.float64)
            frame = self._frame(outer, normal, index)
            openings = [(o, self._local(o.outer, rotation, translation)) for o in record.openings]
            holes = [self._local(h, rotation, translation) for h in record.polygon.holes]
            geometry = self._surface(outer, holes + [ring for _, ring in openings], frame, index)
            internal = self._internal(record)
            level = "2b" if record.internal and record.other_space is None else "2a"
            parent = self._relationship(space, element, geometry, physical, internal, level)
            pieces.append(parent)
            on_piece: dict[tuple[Any, Any], Any] = {}
            for opening, ring in openings:
                key = (opening.opening, opening.filling)
                product = opening.filling if opening.filling is not None else opening.opening
                if product is None:
                    raise ValueError(f"boundary {index}: an opening names neither an opening nor a filling")
                inner = self._by_guid(product, "opening", index)
                surface = self._surface(ring, [], frame, index)
                on_piece[key] = self._relationship(space, inner, surface, opening.kind != "air", internal, level,
                                                   parent if self.second_level else None)
                opening_count += 1
            opening_rels.append(on_piece)
        if self.second_level:
            for index, record in enumerate(self.records):
                partner = record.corresponding
                if partner is None:
                    continue
                pieces[index].CorrespondingBoundary = pieces[partner]
                for key, rel in opening_rels[index].items():
                    other = opening_rels[partner].get(key)
                    if other is not None:
                        rel.CorrespondingBoundary = other
        for storey, elements in self.contained.values():
            self.model.createIfcRelContainedInSpatialStructure(self._guid(), self.history, None, None, elements,
                                                               storey)
        return len(pieces), opening_count, len({element.id() for element in self.virtual.values()})


def _storey(space: Any) -> Any:
    """The spatial structure element that aggregates or contains a space (its storey, mostly)."""
    for rel in getattr(space, "Decomposes", None) or ():
        whole = rel.RelatingObject
        if whole.is_a("IfcSpatialStructureElement") and not whole.is_a("IfcSpace"):
            return whole
        if whole.is_a("IfcSpace"):
            return _storey(whole)
    for rel in getattr(space, "ContainedInStructure", None) or ():
        return rel.RelatingStructure
    return None


def _version() -> str:
    from importlib import metadata

    try:
        return metadata.version("kovalith")
    except metadata.PackageNotFoundError:
        return "unknown"
