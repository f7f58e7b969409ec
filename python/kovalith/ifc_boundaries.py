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

    def template(self, entity: str, *names: str) -> str:
        """A line of `entity` as a format string: ``{0}`` its id, ``{1}``... the
        named attributes in the order given, '$' for the others. A building's
        hundred thousand points, polylines and boundaries are written this way
        rather than through `add`, which orders the attributes for each."""
        order = [a.name() for a in self._schema.declaration_by_name(entity).all_attributes()]
        unknown = set(names) - set(order)
        if unknown:
            raise ValueError(f"{entity} has no attribute {', '.join(sorted(unknown))}")
        fields = ["{%d}" % (names.index(a) + 1) if a in names else "$" for a in order]
        return "#{0}=" + entity.upper() + "(" + ",".join(fields) + ");"

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


def _reals(values: Sequence[float]) -> list[str]:
    """`_real` of many finite values: Python's shortest repr has a decimal
    point already but where it takes an exponent."""
    out = [repr(v) for v in values]
    return [r if "e" not in r else _real(v) for r, v in zip(out, values)]


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
_LEVEL_2A, _LEVEL_2B = "'2a'", "'2b'"
_GUID_DIGITS = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz_$"


class _Guids:
    """New GlobalIds as STRING literals, drawn a few thousand at a time: random
    UUIDs (version 4) in IFC's 22 base-64 digits, as `_guid` makes them one by
    one, the digits of a batch found with NumPy."""

    BATCH = 4096

    def __init__(self) -> None:
        self.ready: list[str] = []

    def __call__(self) -> str:
        if not self.ready:
            self.ready = self._draw(self.BATCH)
        return self.ready.pop()

    @staticmethod
    def _draw(count: int) -> list[str]:
        import numpy as np

        raw = np.frombuffer(os.urandom(16 * count), dtype=np.uint8).reshape(count, 16).copy()
        raw[:, 6] = (raw[:, 6] & 0x0F) | 0x40  # version 4
        raw[:, 8] = (raw[:, 8] & 0x3F) | 0x80  # RFC 4122 variant
        bits = np.unpackbits(raw, axis=1)
        # The first digit holds the top two bits, the other 21 six each.
        digits = np.concatenate((bits[:, :2] @ np.array([2, 1]).reshape(2, 1),
                                 bits[:, 2:].reshape(count, 21, 6) @ np.array([32, 16, 8, 4, 2, 1])), axis=1)
        table = np.frombuffer(_GUID_DIGITS.encode("ascii"), dtype=np.uint8)
        text = table[digits].tobytes().decode("ascii")
        return [f"'{text[k:k + 22]}'" for k in range(0, 22 * count, 22)]


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
        self.guid = _Guids()
        self.connection = step.template("IfcConnectionSurfaceGeometry", "SurfaceOnRelatingElement")
        names = ("GlobalId", "OwnerHistory", "Name", "Description", "RelatingSpace", "RelatedBuildingElement",
                 "ConnectionGeometry", "PhysicalOrVirtualBoundary", "InternalOrExternalBoundary")
        self.boundary = step.template("IfcRelSpaceBoundary2ndLevel", *names, "ParentBoundary",
                                      "CorrespondingBoundary") if self.second_level else \
            step.template("IfcRelSpaceBoundary", *names)

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

    def _direction_of(self, key: tuple[float, ...]) -> int:
        """The IfcDirection of ratios already rounded, one entity per direction."""
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
        given: list[Any] = []
        owner: list[int] = []  # record of each ring
        role: list[int] = []  # 0 outer, 1 hole, 2 opening
        for index, record in enumerate(self.records):
            given.append(record.polygon.outer)
            given.extend(record.polygon.holes)
            given.extend(o.outer for o in record.openings)
            holes, openings = len(record.polygon.holes), len(record.openings)
            owner.extend([index] * (1 + holes + openings))
            role.extend([0] + [1] * holes + [2] * openings)
        arrays = [np.asarray(ring, dtype=np.float64).reshape(-1, 3) for ring in given]
        sizes = np.array([len(r) for r in arrays], dtype=np.intp)
        points = np.concatenate(arrays) if arrays else np.zeros((0, 3))
        # A closed ring's last point repeats its first: dropped.
        starts = np.cumsum(sizes) - sizes
        last = starts + sizes - 1
        closed = (sizes > 1) & (points[np.minimum(starts, len(points) - 1)] ==
                                points[np.maximum(last, 0)]).all(axis=1) if len(points) else sizes > 1
        keep = np.ones(len(points), dtype=bool)
        keep[last[closed]] = False
        points = points[keep]
        sizes = sizes - closed
        roles = np.array(role, dtype=np.intp)
        short = sizes < 3
        if short.any():
            bad = short & (roles != 1)
            if bad.any():
                raise ValueError(f"boundary {owner[int(np.argmax(bad))]}: a polygon has fewer than three points")
            # A hole of no area leaves the piece as it is.
            points = points[np.repeat(~short, sizes)]
            sizes, roles = sizes[~short], roles[~short]
            owner = [o for o, gone in zip(owner, short.tolist()) if not gone]
        owner_of = np.array(owner, dtype=np.intp)
        role = roles.tolist()
        count = len(sizes)
        bad = ~np.isfinite(points).all(axis=1)
        if bad.any():
            raise ValueError(f"boundary {owner_of[np.repeat(np.arange(count), sizes)[bad][0]]}: "
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
        """Add the lines: what each piece refers to first (checked piece by
        piece), then each kind of entity for all pieces at once."""
        import numpy as np

        if not self.records:
            return 0, 0, 0
        if not self.second_level:
            self.history = self._owner_history()
        s = self.step
        spaces, origin, normals, u, flat, starts, sizes, area, owner_of, role = self._geometry()
        records = self.records
        count = len(records)
        parents = [s.reserve() for _ in range(count)]
        opening_rels = [[s.reserve() for _ in r.openings] for r in records]
        history = _ref(self.history)
        ring_role, ring_size, ring_area, ring_owner = role.tolist(), sizes.tolist(), area.tolist(), owner_of.tolist()
        rings = len(ring_owner)
        virtual: dict[int, int] = {}
        contained: dict[int, list[int]] = {}
        elements: list[int] = []
        physical: list[str] = []
        inner: list[list[int]] = []  # per piece: what each opening on it refers to
        ring = 0
        for index, record in enumerate(records):
            if record.element is not None:
                elements.append(self._id(record.element, "element", index))
                physical.append(".PHYSICAL." if record.physical else ".VIRTUAL.")
            else:
                elements.append(self._virtual_element(index, spaces[index], virtual, contained, history))
                physical.append(".VIRTUAL.")
            while ring < rings and ring_owner[ring] == index:
                if ring_area[ring] == 0.0 and ring_role[ring] != 1:
                    raise ValueError(f"boundary {index}: its polygon has no area" if ring_role[ring] == 0
                                     else f"boundary {index}: an opening on it has no area")
                ring += 1
            products = []
            for opening in record.openings:
                product = opening.filling if opening.filling is not None else opening.opening
                if product is None:
                    raise ValueError(f"boundary {index}: an opening names neither an opening nor a filling")
                products.append(self._id(product, "opening", index))
            inner.append(products)
        # Directions rounded to 12 places (a piece's and its neighbours' normals
        # are one entity).
        distinct, which = np.unique(np.concatenate((normals, u)), axis=0, return_inverse=True)
        found = [self._direction_of(tuple(round(c, 12) + 0.0 for c in n)) for n in distinct.tolist()]
        directions = [found[k] for k in which.ravel().tolist()]
        axes, references = directions[:count], directions[count:]
        lines = s.lines
        point = s.template("IfcCartesianPoint", "Coordinates")
        polyline = s.template("IfcPolyline", "Points")

        # Per piece: its plane's origin, placement and plane.
        base = s.next
        s.next += 3 * count
        o = _reals(origin.ravel().tolist())
        lines.extend([point.format(base + k, f"({o[3 * k]},{o[3 * k + 1]},{o[3 * k + 2]})") for k in range(count)])
        placement = s.template("IfcAxis2Placement3D", "Location", "Axis", "RefDirection")
        lines.extend([placement.format(base + count + k, f"#{base + k}", f"#{axes[k]}", f"#{references[k]}")
                      for k in range(count)])
        basis = s.template("IfcPlane", "Position")
        planes = range(base + 2 * count, base + 3 * count)
        lines.extend([basis.format(n, f"#{n - count}") for n in planes])

        # The rings' points (a hole of no area is left out) and polylines.
        kept = (role != 1) | (area != 0.0)
        coordinates = _reals(flat.ravel().tolist())
        taken = np.nonzero(np.repeat(kept, sizes))[0].tolist()
        first_point = s.next
        s.next += len(taken)
        lines.extend([point.format(first_point + j, f"({coordinates[2 * g]},{coordinates[2 * g + 1]})")
                      for j, g in enumerate(taken)])
        refs = [f"#{n}" for n in range(first_point, first_point + len(taken))]
        outer = [0] * count
        holes: list[list[int]] = [[] for _ in range(count)]
        own: list[list[int]] = [[] for _ in range(count)]  # each opening's own outline
        at = 0
        number = s.next
        for ring in np.nonzero(kept)[0].tolist():
            size, index, kind = ring_size[ring], ring_owner[ring], ring_role[ring]
            ids = refs[at:at + size]
            at += size
            if kind == 0:
                ids = ids[::-1] if ring_area[ring] < 0.0 else ids
                outer[index] = number
            elif kind == 1:
                ids = ids[::-1] if ring_area[ring] > 0.0 else ids
                holes[index].append(number)
            else:
                ccw = ids if ring_area[ring] > 0.0 else ids[::-1]
                # Clockwise in the parent, counter-clockwise as its own boundary.
                lines.append(polyline.format(number, "(" + ",".join(ccw[::-1]) + "," + ccw[-1] + ")"))
                holes[index].append(number)
                number += 1
                own[index].append(number)
                ids = ccw
            lines.append(polyline.format(number, "(" + ",".join(ids) + "," + ids[0] + ")"))
            number += 1
        s.next = number

        # The pieces' surfaces and relationships, then their openings'.
        bounded = s.template("IfcCurveBoundedPlane", "BasisSurface", "OuterBoundary", "InnerBoundaries")
        base = s.next
        s.next += 2 * count
        lines.extend([bounded.format(base + k, f"#{planes[k]}", f"#{outer[k]}", _refs(holes[k]))
                      for k in range(count)])
        lines.extend([self.connection.format(base + count + k, f"#{base + k}") for k in range(count)])
        space_ids = [space.id() for space in spaces]
        internal = [self._internal(r) for r in records]
        level = [_LEVEL_2B if r.internal and r.other_space is None else _LEVEL_2A for r in records]
        lines.extend([self._relationship(parents[k], space_ids[k], elements[k], base + count + k, physical[k],
                                         internal[k], level[k], None, _corresponding(parents, r.corresponding))
                      for k, r in enumerate(records)])
        for index, record in enumerate(records):
            for k, opening in enumerate(record.openings):
                surface = s.next
                s.next += 2
                lines.append(bounded.format(surface, f"#{planes[index]}", f"#{own[index][k]}", "()"))
                lines.append(self.connection.format(surface + 1, f"#{surface}"))
                lines.append(self._relationship(
                    opening_rels[index][k], space_ids[index], inner[index][k], surface + 1,
                    ".VIRTUAL." if opening.kind == "air" else ".PHYSICAL.", internal[index], level[index],
                    parents[index], self._opening_partner(record, opening, opening_rels)))
        for storey, contents in contained.items():
            s.add("IfcRelContainedInSpatialStructure", GlobalId=self.guid(), OwnerHistory=history,
                  RelatedElements=_refs(contents), RelatingStructure=_ref(storey))
        return count, sum(len(r) for r in opening_rels), len(set(virtual.values()))

    def _relationship(self, number: int, space: int, element: int, geometry: int, physical: str, internal: str,
                      level: str, parent: int | None, corresponding: int | None) -> str:
        """The line of a boundary."""
        values = (self.guid(), _ref(self.history), _SECOND_LEVEL, level, f"#{space}", f"#{element}", f"#{geometry}",
                  physical, internal)
        if self.second_level:
            return self.boundary.format(number, *values, _ref(parent), _ref(corresponding))
        return self.boundary.format(number, *values)

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
            element = self.step.add("IfcVirtualElement", GlobalId=self.guid(), OwnerHistory=history,
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
            a, b, c, d = matrix
            matrix = [[0.0 + o[0] * a[j] + o[1] * b[j] + o[2] * c[j] + o[3] * d[j] for j in range(4)] for o in outer]
    chain[placement.id()] = matrix
    return matrix


def _unit(vector: list[float]) -> list[float]:
    length = math.sqrt(sum(c * c for c in vector))
    if not length > 0.0:
        raise ValueError("a placement has a direction of no length")
    return [c / length for c in vector]


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
