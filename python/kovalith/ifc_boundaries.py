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
the same polygon seen from either side of the element: opposite normals,
and the same ring once the distance between the two faces is taken out
(area alone is not enough: the offices along a corridor wall give the
corridor pieces of one area behind one element).

The new entities are written as IFC text and added to the model's own text,
which is otherwise copied byte for byte (IfcOpenShell writes the model out
instead where the boundaries are replaced, the model was given opened, or
the copy is a container such as ``.ifcZIP``).

IfcOpenShell is an optional dependency: ``pip install 'kovalith[ifc]'``.
"""

from __future__ import annotations

import contextlib
import math
import os
import pathlib
import re
import tempfile
import time
import uuid
import warnings
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
        The file to write. It is written whole or not at all: a failure
        leaves no partial file. It may not be the model itself. A name
        ending in ``.ifcZIP`` (or another container IfcOpenShell writes) is
        written in that format, the rest as IFC text.
    replace : bool
        Remove the model's own space boundaries (of every level, with their
        connection geometry) first; by default they are kept beside the new
        ones.
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
        range or not mutual; a polygon has fewer than three distinct points,
        no area or a coordinate that is not finite; the rooms came from an
        opened model and `model` is not given.
    ImportError
        IfcOpenShell is not installed.
    """
    from kovalith import ifc

    ifcopenshell = ifc._ifcopenshell()
    out = os.fspath(path)
    if isinstance(out, bytes):
        out = os.fsdecode(out)
    from_file = os.path.exists(rooms.source)
    if from_file:
        _refuse_same_file(rooms.source, out)
    if model is None:
        if not from_file:
            raise ValueError(f"the rooms were not loaded from a file ({rooms.source!r}): pass the model as model=")
        # `load` has read this file already, leniently if it was told to: what
        # it accepted, the copy accepts too, without warning again.
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", ifc.IfcReadWarning)
            model = ifc.open_model(rooms.source, lenient=True)
        text = _plain_text(rooms.source)
    elif not isinstance(model, ifcopenshell.file):
        raise TypeError(f"model must be an ifcopenshell.file, not {type(model).__name__}")
    else:
        text = None
    records = list(boundaries)
    _check_pairs(records)
    removed = 0
    if replace:
        if text is None:  # the caller's model stays as it is
            model = ifcopenshell.file.from_string(model.to_string())
        removed = _remove_boundaries(model)
        text = None
    step = _Step(model, ifcopenshell)
    counts = _Writer(model, float(rooms.unit_scale), records, step).write()
    if text is None:
        text = model.to_string().encode("utf-8")
    _write_whole(_splice(text, step.lines), out, ifcopenshell)
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


# The DATA section's end: the last ENDSEC before the end of the exchange
# structure, only blanks and comments between them.
_DATA_END = re.compile(rb"ENDSEC\s*;(?:\s|/\*.*?\*/)*END-ISO-10303-21\s*;(?:\s|/\*.*?\*/)*\Z", re.S)


def _plain_text(source: str) -> bytes | None:
    """The model's own text, to add the boundaries to as it is; None for a
    container (ZIP, SQLite) or anything else IfcOpenShell must write out."""
    with open(source, "rb") as handle:
        data = handle.read()
    return data if _DATA_END.search(data) is not None and data.lstrip().startswith(b"ISO-10303-21") else None


def _splice(text: bytes, lines: list[str]) -> bytes:
    end = _DATA_END.search(text)
    if end is None:
        raise ValueError("the model's text has no end of its DATA section")
    added = "\n".join(lines).encode("ascii")
    return b"".join((text[:end.start()], added, b"\n" if lines else b"", text[end.start():]))


def _remove_boundaries(model: Any) -> int:
    import ifcopenshell.util.element

    existing = list(model.by_type("IfcRelSpaceBoundary"))
    geometry = {rel.ConnectionGeometry for rel in existing if rel.ConnectionGeometry is not None}
    for rel in existing:
        model.remove(rel)
    for item in geometry:
        ifcopenshell.util.element.remove_deep2(model, item)
    return len(existing)


_CONTAINERS = (".ifczip", ".ifcxml", ".ifcjson", ".ifcsqlite", ".ifchdf")


def _write_whole(text: bytes, out: str, ifcopenshell: Any) -> None:
    """Write to a temporary file beside `out`, then move it into place."""
    directory = os.path.dirname(os.path.abspath(out))
    suffix = pathlib.Path(out).suffix
    handle, temporary = tempfile.mkstemp(dir=directory, prefix=".kovalith-", suffix=suffix or ".ifc")
    try:
        if suffix.lower() in _CONTAINERS:
            os.close(handle)
            ifcopenshell.file.from_string(text.decode("utf-8")).write(temporary)
        else:
            with os.fdopen(handle, "wb") as stream:
                stream.write(text)
        os.replace(temporary, out)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(temporary)
        raise


class _Step:
    """New entities as lines of IFC text, numbered on from the model's last.

    IfcOpenShell sets an entity's attributes one call at a time, which for
    the hundred thousand entities of a large building's boundaries costs
    many times what writing their lines does. Attributes are named and put
    in the schema's order, so a line is right in every schema.
    """

    def __init__(self, model: Any, ifcopenshell: Any) -> None:
        schema = ifcopenshell.ifcopenshell_wrapper.schema_by_name(model.schema_identifier)
        self.next = int(model.get_max_id()) + 1
        self.lines: list[str] = []
        self._order: dict[str, tuple[str, list[str]]] = {}
        self._schema = schema

    def reserve(self) -> int:
        self.next += 1
        return self.next - 1

    def add(self, entity: str, at: int | None = None, **values: str) -> int:
        """Add an entity with its attributes already as text ('$' where none); returns its id."""
        found = self._order.get(entity)
        if found is None:
            names = [a.name() for a in self._schema.declaration_by_name(entity).all_attributes()]
            found = self._order[entity] = (entity.upper(), names)
        name, order = found
        number = self.reserve() if at is None else at
        self.lines.append(f"#{number}={name}({','.join(values.get(a, '$') for a in order)});")
        return number


def _ref(number: int | None) -> str:
    return "$" if number is None else f"#{number}"


def _refs(numbers: Sequence[int]) -> str:
    return "(" + ",".join(f"#{n}" for n in numbers) + ")"


def _real(value: float) -> str:
    """A REAL as IFC text writes it: always with a decimal point."""
    text = repr(float(value))
    mantissa, _, exponent = text.partition("e")
    if "." not in mantissa:
        mantissa += "."
    return mantissa + ("E" + exponent if exponent else "")


def _string(value: str) -> str:
    """A STRING literal: quotes and backslashes doubled, other than printable ASCII as \\X2\\ hex."""
    out = []
    for ch in value:
        if ch in "'\\":
            out.append(ch * 2)
        elif " " <= ch <= "~":
            out.append(ch)
        else:
            out.append("\\X2\\" + "".join(f"{u:04X}" for u in _utf16(ch)) + "\\X0\\")
    return "'" + "".join(out) + "'"


def _utf16(ch: str) -> list[int]:
    data = ch.encode("utf-16-be")
    return [int.from_bytes(data[k:k + 2], "big") for k in range(0, len(data), 2)]


_SECOND_LEVEL = "'2ndLevel'"
_GUID_DIGITS = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz_$"


def _quoted_guid() -> str:
    """A new GlobalId as a STRING literal (its digits need no escaping)."""
    return f"'{_guid()}'"


def _guid() -> str:
    """A new GlobalId: a random UUID in IFC's 22 base-64 digits (the first holds its top two bits)."""
    n = uuid.uuid4().int
    return "".join([_GUID_DIGITS[n >> 126]] + [_GUID_DIGITS[(n >> shift) & 63] for shift in range(120, -1, -6)])


class _Writer:
    """The boundaries' entities, their geometry computed for all pieces at once."""

    def __init__(self, model: Any, unit_scale: float, records: list[Any], step: _Step) -> None:
        self.model = model
        self.records = records
        self.step = step
        self.per_metre = 1.0 / unit_scale
        self.second_level = model.schema != "IFC2X3"
        self.history: int | None = None
        self.directions: dict[tuple[float, ...], int] = {}
        self.found: dict[str, int] = {}

    def _owner_history(self) -> int:
        """IFC2X3 requires an owner history on every rooted entity: one saying kovalith added these."""
        s = self.step
        # An application's identifier is unique in a file: a model kovalith wrote before already has one.
        application = next((a for a in self.model.by_type("IfcApplication")
                            if a.ApplicationIdentifier == "kovalith"), None)
        if application is not None:
            organisation, app = application.ApplicationDeveloper.id(), application.id()
        else:
            organisation = s.add("IfcOrganization", Name=_string("kovalith"))
            app = s.add("IfcApplication", ApplicationDeveloper=_ref(organisation), Version=_string(_version()),
                        ApplicationFullName=_string("kovalith"), ApplicationIdentifier=_string("kovalith"))
        person = s.add("IfcPerson", GivenName=_string("kovalith"))
        user = s.add("IfcPersonAndOrganization", ThePerson=_ref(person), TheOrganization=_ref(organisation))
        return s.add("IfcOwnerHistory", OwningUser=_ref(user), OwningApplication=_ref(app), ChangeAction=".ADDED.",
                     CreationDate=str(int(time.time())))

    def _id(self, global_id: str, what: str, index: int) -> int:
        found = self.found.get(global_id)
        if found is None:
            try:
                found = self.found[global_id] = self.model.by_guid(global_id).id()
            except RuntimeError:
                raise ValueError(f"boundary {index}: its {what} {global_id} is not in the model") from None
        return found

    def _direction(self, vector: Any) -> int:
        key = tuple(round(float(c), 12) + 0.0 for c in vector)
        found = self.directions.get(key)
        if found is None:
            found = self.directions[key] = self.step.add(
                "IfcDirection", DirectionRatios="(" + ",".join(map(_real, key)) + ")")
        return found

    def _placements(self, np: Any) -> tuple[Any, Any, list[Any]]:
        """Per record, the inverse of its space's placement (file units): rotations, translations."""
        at: dict[str, int] = {}
        chain: dict[int, Matrix] = {}
        matrices: list[Any] = []
        entities: list[Any] = []
        of_record = []
        for index, record in enumerate(self.records):
            if record.space not in at:
                space = self.model.by_id(self._id(record.space, "space", index))
                placement = getattr(space, "ObjectPlacement", None)
                at[record.space] = len(matrices)
                matrices.append(np.eye(4) if placement is None else _placement_matrix(placement, chain))
                entities.append(space)
            of_record.append(at[record.space])
        inverse = np.linalg.inv(np.array(matrices, dtype=np.float64).reshape(-1, 4, 4))[of_record]
        return inverse[:, :3, :3], inverse[:, :3, 3], [entities[k] for k in of_record]

    def _geometry(self) -> tuple[Any, ...]:
        """Every ring of every piece in its plane's 2D coordinates, and each piece's plane."""
        import numpy as np

        rotation, translation, spaces = self._placements(np)
        rings: list[Any] = []
        owner: list[int] = []  # record of each ring
        role: list[int] = []  # 0 outer, 1 hole, 2 opening
        for index, record in enumerate(self.records):
            for kind, ring in [(0, record.polygon.outer)] + [(1, h) for h in record.polygon.holes] + \
                    [(2, o.outer) for o in record.openings]:
                ring = np.asarray(ring, dtype=np.float64).reshape(-1, 3)
                if len(ring) > 1 and np.array_equal(ring[0], ring[-1]):
                    ring = ring[:-1]
                if len(ring) < 3:
                    if kind == 1:
                        continue  # a hole of no area leaves the piece as it is
                    raise ValueError(f"boundary {index}: a polygon has fewer than three points")
                rings.append(ring)
                owner.append(index)
                role.append(kind)
        sizes = np.array([len(r) for r in rings], dtype=np.intp)
        owner_of = np.array(owner, dtype=np.intp)
        points = np.concatenate(rings) if rings else np.zeros((0, 3))
        bad = ~np.isfinite(points).all(axis=1)
        if bad.any():
            raise ValueError(f"boundary {owner_of[np.repeat(np.arange(len(rings)), sizes)[bad][0]]}: "
                             "a coordinate is not finite")
        of_point = np.repeat(owner_of, sizes)
        local = np.einsum("nij,nj->ni", rotation[of_point], points * self.per_metre) + translation[of_point]
        normals = np.array([np.asarray(r.normal, dtype=np.float64) for r in self.records]).reshape(-1, 3)
        normals = np.einsum("nij,nj->ni", rotation, normals)
        length = np.linalg.norm(normals, axis=1)
        if len(length) and not (np.isfinite(length).all() and (length > _MIN_EDGE).all()):
            raise ValueError(f"boundary {int(np.argmin(np.nan_to_num(length)))}: its normal has no direction")
        normals /= length[:, None]
        # A level RefDirection where the plane is not level keeps walls' 2D
        # x along the wall and y up, as people draw them.
        helper = np.where((np.abs(normals[:, 2]) < 0.9)[:, None], [0.0, 0.0, 1.0], [1.0, 0.0, 0.0])
        u = np.cross(helper, normals)
        u /= np.linalg.norm(u, axis=1)[:, None]
        v = np.cross(normals, u)
        starts = np.concatenate(([0], np.cumsum(sizes)[:-1])).astype(np.intp)
        first_ring = np.searchsorted(owner_of, np.arange(len(self.records)))
        origin = local[starts[first_ring]] if len(self.records) else np.zeros((0, 3))
        offset = local - origin[of_point]
        flat = np.round(np.column_stack(((offset * u[of_point]).sum(axis=1), (offset * v[of_point]).sum(axis=1))),
                        9) + 0.0
        following = np.arange(len(flat)) + 1
        ends = starts + sizes
        following[ends[sizes > 0] - 1] = starts[sizes > 0]
        cross = flat[:, 0] * flat[following, 1] - flat[following, 0] * flat[:, 1]
        area = 0.5 * np.add.reduceat(cross, starts)
        return spaces, origin, normals, u, flat, starts, sizes, area, owner_of, np.array(role)

    def write(self) -> tuple[int, int, int]:
        if not self.records:
            return 0, 0, 0
        if not self.second_level:
            self.history = self._owner_history()
        s = self.step
        spaces, origin, normals, u, flat, starts, sizes, area, owner_of, role = self._geometry()
        count = len(self.records)
        parents = [s.reserve() for _ in range(count)]
        opening_rels = [[s.reserve() for _ in r.openings] for r in self.records]
        virtual: dict[int, int] = {}
        contained: dict[int, list[int]] = {}
        history = _ref(self.history)
        coordinates = [_real(c) for c in flat.ravel().tolist()]
        lines = s.lines

        def points_of(ring: int) -> list[str]:
            """The 2D points of a ring, as references to new IfcCartesianPoints."""
            refs = []
            for k in range(2 * int(starts[ring]), 2 * int(starts[ring] + sizes[ring]), 2):
                number = s.reserve()
                lines.append(f"#{number}=IFCCARTESIANPOINT(({coordinates[k]},{coordinates[k + 1]}));")
                refs.append(f"#{number}")
            return refs

        ring = 0
        for index, record in enumerate(self.records):
            direction = f".{'PHYSICAL' if record.physical else 'VIRTUAL'}."
            if record.element is not None:
                element = self._id(record.element, "element", index)
            else:
                element = self._virtual_element(index, spaces[index], virtual, contained, history)
                direction = ".VIRTUAL."
            position = s.add("IfcAxis2Placement3D",
                             Location=_point(s, origin[index]), Axis=_ref(self._direction(normals[index])),
                             RefDirection=_ref(self._direction(u[index])))
            plane = s.add("IfcPlane", Position=_ref(position))
            outer = -1
            holes: list[int] = []
            openings: list[tuple[int, int]] = []  # (hole polyline, own outer polyline)
            while ring < len(owner_of) and owner_of[ring] == index:
                usable = area[ring] != 0.0
                if role[ring] == 0:
                    if not usable:
                        raise ValueError(f"boundary {index}: its polygon has no area")
                    outer = _polyline(s, points_of(ring), area[ring] < 0.0)
                elif role[ring] == 1:
                    if usable:
                        holes.append(_polyline(s, points_of(ring), area[ring] > 0.0))
                else:
                    if not usable:
                        raise ValueError(f"boundary {index}: an opening on it has no area")
                    ids = points_of(ring)
                    ccw = ids if area[ring] > 0.0 else ids[::-1]
                    openings.append((s.add("IfcPolyline", Points="(" + ",".join(ccw[::-1] + ccw[-1:]) + ")"),
                                     s.add("IfcPolyline", Points="(" + ",".join(ccw + ccw[:1]) + ")")))
                ring += 1
            surface = s.add("IfcCurveBoundedPlane", BasisSurface=_ref(plane), OuterBoundary=_ref(outer),
                            InnerBoundaries=_refs(holes + [hole for hole, _ in openings]))
            internal = self._internal(record)
            level = _string("2b" if record.internal and record.other_space is None else "2a")
            self._relationship(parents[index], spaces[index], element, surface, direction, internal, level, None,
                               _corresponding(parents, record.corresponding))
            for k, (opening, (_, own)) in enumerate(zip(record.openings, openings)):
                product = opening.filling if opening.filling is not None else opening.opening
                if product is None:
                    raise ValueError(f"boundary {index}: an opening names neither an opening nor a filling")
                inner = self._id(product, "opening", index)
                surface = s.add("IfcCurveBoundedPlane", BasisSurface=_ref(plane), OuterBoundary=_ref(own),
                                InnerBoundaries="()")
                partner = self._opening_partner(record, opening, opening_rels)
                self._relationship(opening_rels[index][k], spaces[index], inner, surface,
                                   ".VIRTUAL." if opening.kind == "air" else ".PHYSICAL.", internal, level,
                                   parents[index], partner)
        for storey, elements in contained.items():
            s.add("IfcRelContainedInSpatialStructure", GlobalId=_quoted_guid(), OwnerHistory=history,
                  RelatedElements=_refs(elements), RelatingStructure=_ref(storey))
        return count, sum(len(r) for r in opening_rels), len(set(virtual.values()))

    def _relationship(self, number: int, space: Any, element: int, surface: int, physical: str, internal: str,
                      level: str, parent: int | None, corresponding: int | None) -> None:
        s = self.step
        geometry = s.add("IfcConnectionSurfaceGeometry", SurfaceOnRelatingElement=_ref(surface))
        common = {"GlobalId": _quoted_guid(), "OwnerHistory": _ref(self.history), "Name": _SECOND_LEVEL,
                  "Description": level, "RelatingSpace": _ref(space.id()), "RelatedBuildingElement": _ref(element),
                  "ConnectionGeometry": _ref(geometry), "PhysicalOrVirtualBoundary": physical,
                  "InternalOrExternalBoundary": internal}
        if self.second_level:
            s.add("IfcRelSpaceBoundary2ndLevel", at=number, ParentBoundary=_ref(parent),
                  CorrespondingBoundary=_ref(corresponding), **common)
        else:
            s.add("IfcRelSpaceBoundary", at=number, **common)

    def _opening_partner(self, record: Any, opening: Any, opening_rels: list[list[int]]) -> int | None:
        """The same opening's boundary on the other side of a contact."""
        if not self.second_level or record.corresponding is None:
            return None
        other = self.records[record.corresponding]
        key = (opening.opening, opening.filling)
        same = [k for k, o in enumerate(other.openings) if (o.opening, o.filling) == key]
        return opening_rels[record.corresponding][same[0]] if len(same) == 1 else None

    def _virtual_element(self, index: int, space: Any, virtual: dict[int, int], contained: dict[int, list[int]],
                         history: str) -> int:
        """The IfcVirtualElement behind a piece with no element, shared with its other side."""
        record = self.records[index]
        partner = record.corresponding
        if partner is not None and partner in virtual:
            element = virtual[partner]
        else:
            name = "Open boundary" if record.other_space is not None else "Virtual boundary"
            element = self.step.add("IfcVirtualElement", GlobalId=_quoted_guid(), OwnerHistory=history,
                                    Name=_string(name),
                                    Description=_string("Created for a space boundary with no element behind it"))
            storey = _storey(space)
            if storey is not None:
                contained.setdefault(storey.id(), []).append(element)
        virtual[index] = element
        return element

    def _internal(self, record: Any) -> str:
        if record.internal:
            return ".INTERNAL."
        if self.second_level and record.surface_type in ON_EARTH:
            return ".EXTERNAL_EARTH."
        return ".EXTERNAL."


Matrix = list[list[float]]  # 4 rows of 4: an affine map in file units


def _placement_matrix(placement: Any, chain: dict[int, Matrix]) -> Matrix:
    """A local placement as a 4x4 matrix in file units, its parents' kept in
    `chain`: the spaces of a storey share their parents, and IfcOpenShell's
    own evaluation, placement by placement, would be most of the writer's
    time on a large building (plain floats: NumPy's overhead on 3-vectors is
    the rest). Placements other than an IfcLocalPlacement over an
    IfcAxis2Placement3D or 2D are left to IfcOpenShell."""
    found = chain.get(placement.id())
    if found is not None:
        return found
    axes = getattr(placement, "RelativePlacement", None)
    if not placement.is_a("IfcLocalPlacement") or axes is None or \
            axes.is_a() not in ("IfcAxis2Placement3D", "IfcAxis2Placement2D"):
        import ifcopenshell.util.placement

        matrix: Matrix = [list(map(float, row)) for row in ifcopenshell.util.placement.get_local_placement(placement)]
    else:
        location = [*map(float, axes.Location.Coordinates), 0.0, 0.0][:3]
        z = [0.0, 0.0, 1.0]
        if axes.is_a("IfcAxis2Placement3D") and axes.Axis is not None:
            z = _unit([float(c) for c in axes.Axis.DirectionRatios])
        reference = getattr(axes, "RefDirection", None)
        x = [1.0, 0.0, 0.0] if reference is None else [*map(float, reference.DirectionRatios), 0.0][:3]
        along = x[0] * z[0] + x[1] * z[1] + x[2] * z[2]
        x = _unit([x[k] - along * z[k] for k in range(3)])
        y = [z[1] * x[2] - z[2] * x[1], z[2] * x[0] - z[0] * x[2], z[0] * x[1] - z[1] * x[0]]
        matrix = [[x[k], y[k], z[k], location[k]] for k in range(3)] + [[0.0, 0.0, 0.0, 1.0]]
        parent = placement.PlacementRelTo
        if parent is not None:
            outer = _placement_matrix(parent, chain)
            matrix = [[sum(outer[i][k] * matrix[k][j] for k in range(4)) for j in range(4)] for i in range(4)]
    chain[placement.id()] = matrix
    return matrix


def _unit(vector: list[float]) -> list[float]:
    length = math.sqrt(sum(c * c for c in vector))
    if not length > 0.0:
        raise ValueError("a placement has a direction of no length")
    return [c / length for c in vector]


def _point(step: _Step, xyz: Any) -> str:
    return _ref(step.add("IfcCartesianPoint", Coordinates="(" + ",".join(_real(c) for c in xyz) + ")"))


def _polyline(step: _Step, ids: list[str], reverse: bool) -> int:
    """A closed IfcPolyline through points (its first repeated last), reversed when asked."""
    if reverse:
        ids = ids[::-1]
    return step.add("IfcPolyline", Points="(" + ",".join(ids + ids[:1]) + ")")


def _corresponding(parents: list[int], index: int | None) -> int | None:
    return None if index is None else parents[index]


def _storey(space: Any) -> Any:
    """The spatial structure element that aggregates or contains a space (its storey, mostly)."""
    for rel in getattr(space, "Decomposes", None) or ():
        whole = rel.RelatingObject
        if whole.is_a("IfcSpace"):
            return _storey(whole)
        if whole.is_a("IfcSpatialStructureElement"):
            return whole
    for rel in getattr(space, "ContainedInStructure", None) or ():
        return rel.RelatingStructure
    return None


def _version() -> str:
    from importlib import metadata

    try:
        return metadata.version("kovalith")
    except metadata.PackageNotFoundError:
        return "unknown"
