"""IFC models in: rooms, openings and linear elements read with IfcOpenShell.

`load` turns an IFC file (IFC2X3, IFC4, IFC4X3) into the three lists the
building compiler takes, each item beside the product it came from:

- rooms: one triangle `Mesh` per ``IfcSpace``;
- openings: one `Mesh` per ``IfcDoor``, ``IfcWindow`` and ``IfcOpeningElement``
  (the holes in walls that doors and windows fill, and the unfilled ones such
  as stair holes in slabs);
- wires: one `Wire` per ``IfcColumn``, ``IfcBeam``, ``IfcMember`` and
  distribution segment (``IfcFlowSegment`` and its subtypes: pipes, ducts,
  cable carriers), running along the element's long axis through the middle
  of its body, from end to end;
- elements: one `Mesh` per building element that can stand between two rooms
  (walls, slabs, roofs, coverings, curtain walls, plates, members, railings,
  ``IfcVirtualElement``) or lead from one storey to the next (stairs, ramps
  and their flights): what the compiler finds in the gap of each contact.

All geometry comes from IfcOpenShell's geometry iterator, on all cores, in
world coordinates (every placement applied, site and storey included) and in
metres whatever the file's length unit. `building_graph` adds the compile
step and names the graph's nodes and edges after the products.

IfcOpenShell is an optional dependency: ``pip install 'kovalith[ifc]'``.
"""

from __future__ import annotations

import contextlib
import importlib
import json
import math
import multiprocessing
import operator
import os
import pathlib
import re
import signal
import stat
import sys
import threading
import warnings
from collections import Counter
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, Callable, Iterable, Iterator

from kovalith import Mesh, SpatialGraph, SpatialRegistry, Vector3D, Wire

if TYPE_CHECKING:
    import ifcopenshell

__all__ = [
    "NoSpacesError",
    "IfcReadWarning",
    "open_model",
    "annotate",
    "walkable_graph",
    "walk_route",
    "is_walkable",
    "find_room",
    "Product",
    "IfcRooms",
    "load",
    "compile_rooms",
    "building_graph",
    "ROOM_CLASSES",
    "OPENING_CLASSES",
    "WIRE_CLASSES",
    "ELEMENT_CLASSES",
    "VIA",
    "compile_inputs",
    "element_kind",
    "opening_orientation",
]

ROOM_CLASSES = ("IfcSpace",)
OPENING_CLASSES = ("IfcDoor", "IfcWindow", "IfcOpeningElement")
WIRE_CLASSES = ("IfcColumn", "IfcBeam", "IfcMember", "IfcFlowSegment")
ELEMENT_CLASSES = ("IfcWall", "IfcSlab", "IfcRoof", "IfcCovering", "IfcCurtainWall", "IfcPlate", "IfcMember",
                   "IfcRailing", "IfcVirtualElement", "IfcStair", "IfcStairFlight", "IfcRamp", "IfcRampFlight")
STAIR_CLASSES = ("IfcStair", "IfcStairFlight")
RAMP_CLASSES = ("IfcRamp", "IfcRampFlight")
WALL_HOSTS = ("IfcWall", "IfcCurtainWall")
SLAB_HOSTS = ("IfcSlab", "IfcRoof")

# A room lower than this (metres), or holding less volume (cubic metres), is
# a space drawn flat: a label in a floor plane rather than a room. Its faces
# would lie in a slab or a wall and make contacts with both sides of it.
MIN_ROOM_HEIGHT = 1e-3
MIN_ROOM_VOLUME = 1e-6

GEOMETRY_LIBRARY = "hybrid-cgal-simple-opencascade"

# Settings of the one-call path, for models exported by authoring tools:
# coordinates there are rounded to a millimetre or so and faces triangulated,
# so faces that touch are allowed a few millimetres of play.
DEFAULT_SETTINGS: dict[str, Any] = {
    "distance": 5e-3,
    "angle": 1.0,
    "min_area": 0.01,
    "wall_gap": 0.5,
    "slab_gap": 2.0,
    "merge": "plane",
}


class NoSpacesError(ValueError):
    """The model has no ``IfcSpace`` with geometry, so there are no rooms to compile."""


@dataclass(frozen=True)
class Product:
    """The IFC product behind a room, an opening or a wire.

    Attributes
    ----------
    global_id, name, long_name, ifc_class : str or None
        As in the file (``long_name`` only where the class has one).
    storey : str or None
        Name of the building storey that contains or aggregates the product.
    elevation : float or None
        That storey's elevation in metres (its ``Elevation``, else its
        placement height), None without a storey.
    step_id : int
        The entity's ``#id`` in the file.
    host : str or None
        For an ``IfcOpeningElement``: the class of the element it voids
        (``IfcWall``, ``IfcSlab``, ...).
    filled_by : tuple of str
        For an ``IfcOpeningElement``: GlobalIds of the doors and windows that
        fill it; empty for a hole left open, such as a stair opening.
    filled_by_class : tuple of str
        Their IFC classes, in the same order.
    predefined_type : str or None
        For slabs and roofs: the occurrence's ``PredefinedType`` (``FLOOR``,
        ``ROOF``, ``BASESLAB``, ...; for an IFC2X3 roof its ``ShapeType``).
    """

    global_id: str
    name: str | None
    long_name: str | None
    ifc_class: str
    storey: str | None
    elevation: float | None
    step_id: int
    host: str | None = None
    filled_by: tuple[str, ...] = ()
    filled_by_class: tuple[str, ...] = ()
    predefined_type: str | None = None


@dataclass
class IfcRooms:
    """What `load` read: compiler input and the products behind it.

    ``rooms[i]`` came from ``room_products[i]``, and likewise for openings,
    wires and elements. ``skipped`` lists ``(product, reason)`` for every
    product of the classes read whose geometry could not be used: no body
    representation, geometry IfcOpenShell could not build, or a degenerate
    result; a room is also skipped when it is degenerate (fewer than four
    faces, zero height or zero volume: the reason says which). An element
    without a body of its own whose parts are aggregated to it (a stair and
    its flights, a roof and its slabs) is read through its parts and is not
    skipped. ``fallbacks`` maps the GlobalId of each door whose own body could
    not be used to where its mesh came from instead: ``"opening"`` (the
    opening it fills) or ``"box"`` (its placement, ``OverallWidth``,
    ``OverallHeight`` and the thickness of the wall it stands in).
    ``door_widths`` maps the GlobalId of each door with a positive
    ``OverallWidth`` to that width in metres. ``operations`` maps the
    GlobalId of each door and window to how it opens: a door is
    ``"sliding"`` when its ``OperationType`` (its own, else its type's or
    style's) is a sliding one, else ``"non-sliding"``; a window is
    ``"operable"`` when a panel of it (an ``IfcWindowPanelProperties`` of
    its own, else of its type or style) opens, and ``"fixed"`` when all its
    panels are fixed casements or nothing says how they open.
    """

    rooms: list[Mesh] = field(default_factory=list)
    openings: list[Mesh] = field(default_factory=list)
    wires: list[Wire] = field(default_factory=list)
    elements: list[Mesh] = field(default_factory=list)
    room_products: list[Product] = field(default_factory=list)
    opening_products: list[Product] = field(default_factory=list)
    wire_products: list[Product] = field(default_factory=list)
    element_products: list[Product] = field(default_factory=list)
    skipped: list[tuple[Product, str]] = field(default_factory=list)
    fallbacks: dict[str, str] = field(default_factory=dict)
    schema: str = ""
    unit_scale: float = 1.0  # metres per file length unit
    door_widths: dict[str, float] = field(default_factory=dict)  # GlobalId -> OverallWidth in metres
    operations: dict[str, str] = field(default_factory=dict)  # door or window GlobalId -> how it opens
    storeys: list[tuple[str, float]] = field(default_factory=list)  # (name, elevation in metres), by elevation
    source: str = ""

    def registry(self) -> SpatialRegistry:
        """A `SpatialRegistry` of the rooms, wires and openings, in this order."""
        return SpatialRegistry(self.rooms, self.wires, self.openings)


def _ifcopenshell() -> Any:
    # A first import interrupted halfway (Ctrl-C while IfcOpenShell loads)
    # leaves half-initialised modules in sys.modules, and every later import
    # would return them ("module 'ifcopenshell' has no attribute 'util'").
    # Dropping what this call added lets the next call import them afresh;
    # modules that were complete before are kept, so models already opened
    # keep their classes.
    #
    # A Ctrl-C that lands while IfcOpenShell's native wrapper initialises is
    # cleared there and never raised, so while Python's default handler is
    # the one in place, the import runs under a handler that notes the
    # signal, and a noted signal is raised once the import is over.
    before = {name for name in sys.modules if name == "ifcopenshell" or name.startswith("ifcopenshell.")}
    noted: list[int] = []
    with _noting_sigint(noted):
        try:
            import ifcopenshell
            import ifcopenshell.geom
            import ifcopenshell.util.unit
        except BaseException as exc:
            _forget_modules(before)
            if isinstance(exc, ImportError):
                raise ImportError("kovalith.ifc needs IfcOpenShell: pip install 'kovalith[ifc]'") from exc
            raise
    if noted:
        _forget_modules(before)
        raise KeyboardInterrupt
    return ifcopenshell


def _forget_modules(keep: set[str]) -> None:
    for name in [n for n in sys.modules if (n == "ifcopenshell" or n.startswith("ifcopenshell.")) and n not in keep]:
        del sys.modules[name]


@contextlib.contextmanager
def _noting_sigint(noted: list[int]) -> Iterator[None]:
    """Within the block, SIGINT is noted in `noted` and raised as usual,
    where the default handler is in place (only the main thread may swap it)."""
    if (threading.current_thread() is not threading.main_thread()
            or signal.getsignal(signal.SIGINT) is not signal.default_int_handler):
        yield
        return

    def note(signum: int, frame: Any) -> None:
        noted.append(signum)
        raise KeyboardInterrupt

    signal.signal(signal.SIGINT, note)
    try:
        yield
    finally:
        signal.signal(signal.SIGINT, signal.default_int_handler)


class IfcReadWarning(UserWarning):
    """A model read with ``lenient=True`` although its text is cut short or
    holds entities IfcOpenShell could not parse: what is there was read."""


# What an IFC file must start with, by the format IfcOpenShell picks from its
# name: the text form (ISO 10303-21, optionally after a byte order mark and
# comments), or the ZIP and SQLite containers.
_STEP_HEAD = re.compile(rb"\A(?:\xef\xbb\xbf)?(?:\s|/\*.*?\*/)*ISO-10303-21\s*;", re.S)
_STEP_TAIL = re.compile(rb"END-ISO-10303-21\s*;(?:\s|/\*.*?\*/)*\Z", re.S)
_CONTAINERS = {".ifcZIP": (b"PK\x03\x04", "a ZIP archive"), ".ifcSQLite": (b"SQLite format 3\x00", "an SQLite database")}
# Bytes read from each end of the file to check its head and tail.
_PROBE_BYTES = 4096
_NOT_REGULAR = ((stat.S_ISDIR, "a directory"), (stat.S_ISFIFO, "a named pipe (FIFO)"),
                (stat.S_ISCHR, "a character device"), (stat.S_ISBLK, "a block device"),
                (stat.S_ISSOCK, "a socket"))


def _kind(mode: int) -> str:
    return next((name for test, name in _NOT_REGULAR if test(mode)), "not a regular file")


def _check_file(path: str, ifcopenshell: Any) -> bool:
    """Decide before IfcOpenShell sees `path` whether it can be read as IFC.

    It must be a regular file this process may read that starts as its format
    does (IfcOpenShell's parser hangs on a pipe, crashes on a file it may not
    read, and reads gigabytes of junk before refusing them). Returns False for
    IFC text that does not end with ``END-ISO-10303-21;`` (cut short), True
    otherwise; raises for everything else.
    """
    try:
        mode = os.stat(path).st_mode
    except FileNotFoundError:
        raise FileNotFoundError(f"no such file: {path}") from None
    if not stat.S_ISREG(mode):  # decided before opening: opening a device or pipe can block or act
        raise ValueError(f"{path} is {_kind(mode)}, not an IFC file")
    # Non-blocking, and checked again on the descriptor, in case the path was
    # swapped for a pipe in between.
    flags = os.O_RDONLY
    for name in ("O_NONBLOCK", "O_NOCTTY", "O_CLOEXEC", "O_BINARY"):  # each where the platform has it
        flags |= getattr(os, name, 0)
    fd = os.open(path, flags)
    with os.fdopen(fd, "rb") as f:
        info = os.fstat(f.fileno())
        if not stat.S_ISREG(info.st_mode):
            raise ValueError(f"{path} is {_kind(info.st_mode)}, not an IFC file")
        head = f.read(_PROBE_BYTES)
        container = _CONTAINERS.get(ifcopenshell.guess_format(pathlib.Path(path)) or "")
        if container is not None:
            magic, what = container
            if not head.startswith(magic):
                raise ValueError(f"cannot read {path} as IFC: its name says {what}, its content is not one")
            return True
        if not _STEP_HEAD.match(head):
            found = "is empty" if not head else f"starts with {head[:16]!r}"
            raise ValueError(f"cannot read {path} as IFC: it {found}, not ISO-10303-21 text")
        f.seek(max(0, info.st_size - _PROBE_BYTES))
        return _STEP_TAIL.search(f.read(_PROBE_BYTES)) is not None


_LOG_LINE = re.compile(r"\[(\w+)\](?: \[[^\]]*\])+ (.*)")  # [level] [code] [time] message
_OFFSET = re.compile(r" at offset (\d+)")
_BAD_TOKEN = re.compile(r"token (.*) at offset (\d+) invalid valid token")


def _line_of(path: str, offset: int) -> int:
    line = 1
    with open(path, "rb") as f:
        while offset > 0:
            chunk = f.read(min(offset, 1 << 20))
            if not chunk:
                break
            line += chunk.count(b"\n")
            offset -= len(chunk)
    return line


def _parse_errors(ifcopenshell: Any, path: str) -> list[str]:
    """The errors IfcOpenShell's parser logged since the last call, the one
    earliest in the file first, its byte offset turned into a line number."""
    errors: list[tuple[float, str]] = []
    for entry in ifcopenshell.get_log().splitlines():
        if entry.startswith("{"):  # the log was switched to JSON
            try:
                record = json.loads(entry)
            except ValueError:
                continue
            level, message = str(record.get("level", "")), str(record.get("message", ""))
        else:
            found = _LOG_LINE.match(entry)
            if found is None:
                continue
            level, message = found.groups()
        if level.lower() in ("error", "critical", "fatal"):
            at = _OFFSET.search(message)
            errors.append((int(at[1]) if at else float("inf"), message))
    if not errors:
        return []
    first = min(range(len(errors)), key=lambda k: errors[k][0])
    offset, message = errors.pop(first)
    if offset != float("inf"):
        line = _line_of(path, int(offset))
        bad = _BAD_TOKEN.fullmatch(message)
        if bad is not None:
            message = f"line {line}: {bad[1]} is not a valid value (a number out of range?)"
        else:
            message = _OFFSET.sub(f" on line {line}", message)
    return [message] + [m for _, m in errors]


def open_model(source: str | os.PathLike[str] | Any, *, lenient: bool = False) -> Any:
    """Open an IFC file, or pass an opened ``ifcopenshell.file`` through.

    The path is checked before IfcOpenShell reads it: a regular file this
    process may read, starting with the ``ISO-10303-21;`` header (or, for
    ``.ifcZIP`` and ``.ifcSQLite`` names, that container's signature).

    Parameters
    ----------
    lenient : bool
        Text that is cut short (no ``END-ISO-10303-21;`` at the end) or holds
        entities IfcOpenShell could not parse is refused by default: what
        such a file yields is silently incomplete (rooms lose their
        placements, walls and doors vanish). True reads what is there and
        issues an `IfcReadWarning` instead.

    Raises
    ------
    FileNotFoundError
        No file at the path.
    PermissionError
        The file may not be read by this process.
    ValueError
        The file exists but is not readable as IFC, is incomplete or broken
        (without `lenient`), or is a directory, pipe or device (the message
        says why).
    """
    ifcopenshell = _ifcopenshell()
    if isinstance(source, ifcopenshell.file):
        return source
    if not isinstance(source, (str, os.PathLike)):
        raise TypeError(f"source must be a path or an ifcopenshell.file, not {type(source).__name__}")
    path = os.fspath(source)
    if isinstance(path, bytes):
        path = os.fsdecode(path)
    complete = _check_file(path, ifcopenshell)
    problems = [] if complete else ["it ends without END-ISO-10303-21; (the file was cut short)"]
    if problems and not lenient:
        raise ValueError(_incomplete(path, problems))
    ifcopenshell.get_log()  # what earlier calls logged is not this file's
    try:
        model = ifcopenshell.open(path)
    except (ifcopenshell.Error, OSError, RuntimeError, UnicodeError, LookupError, NotImplementedError) as exc:
        reason = next(iter(_parse_errors(ifcopenshell, path)), None) or str(exc)
        raise ValueError(f"cannot read {path} as IFC: {reason}") from exc
    problems += _parse_errors(ifcopenshell, path)
    if problems:
        if not lenient:
            raise ValueError(_incomplete(path, problems))
        warnings.warn(f"{path} was read in part: {_problem_text(problems)}", IfcReadWarning, stacklevel=2)
    return model


def _problem_text(problems: list[str]) -> str:
    more = len(problems) - 1
    return problems[0] + (f" (and {more} more problem{'s' * (more > 1)})" if more else "")


def _incomplete(path: str, problems: list[str]) -> str:
    return (f"cannot read {path} as IFC: {_problem_text(problems)}; "
            "lenient=True (kovalith graph --lenient) reads what is there")


class _Relations:
    """The spatial and opening relationships of a model, read once.

    Going through IfcOpenShell's attribute access per product (inverse
    attributes, ``ifcopenshell.util.element``) costs far more than the
    geometry for large models, so each relationship entity is read once here.
    """

    def __init__(self, model: Any, storeys: dict[int, tuple[str, float | None]]) -> None:
        # A relationship missing one of its ends (a required attribute left
        # unset by the exporter) relates nothing and is passed over.
        self.storeys = storeys
        self.parent: dict[int, int] = {}
        for rel in model.by_type("IfcRelContainedInSpatialStructure"):
            if rel.RelatingStructure is None:
                continue
            structure = rel.RelatingStructure.id()
            for element in rel.RelatedElements or ():
                if element is not None:
                    self.parent.setdefault(element.id(), structure)
        self.wholes: set[int] = set()  # products with parts aggregated to them
        for rel in model.by_type("IfcRelAggregates"):
            if rel.RelatingObject is None:
                continue
            whole = rel.RelatingObject.id()
            for part in rel.RelatedObjects or ():
                if part is not None:
                    self.parent.setdefault(part.id(), whole)
                    self.wholes.add(whole)
        self.host: dict[int, tuple[int, str]] = {}
        for rel in model.by_type("IfcRelVoidsElement"):
            element, opening = rel.RelatingBuildingElement, rel.RelatedOpeningElement
            if element is not None and opening is not None:
                self.host.setdefault(opening.id(), (element.id(), element.is_a()))
        self.fillings: dict[int, list[tuple[str, str]]] = {}
        self.filled: dict[int, int] = {}  # door or window -> the opening it fills
        for rel in model.by_type("IfcRelFillsElement"):
            filling, opening = rel.RelatedBuildingElement, rel.RelatingOpeningElement
            if filling is None or opening is None:
                continue
            self.fillings.setdefault(opening.id(), []).append((filling.GlobalId, filling.is_a()))
            self.filled.setdefault(filling.id(), opening.id())

    def storey(self, step_id: int) -> tuple[str | None, float | None]:
        """Name and elevation of the storey above `step_id` in the spatial tree."""
        seen = 0
        current: int | None = step_id
        while current is not None and seen < 64:  # a cyclic decomposition must not hang the load
            if current in self.storeys:
                name, elevation = self.storeys[current]
                return name, elevation
            parent = self.parent.get(current)
            if parent is None and current in self.host:  # an opening belongs where its wall or slab is
                parent = self.host[current][0]
            current = parent
            seen += 1
        return None, None

    def describe(self, element: Any) -> Product:
        step_id = element.id()
        ifc_class = element.is_a()
        storey, elevation = self.storey(step_id)
        host = self.host.get(step_id)
        fillings = self.fillings.get(step_id, [])
        # IfcRoot's GlobalId and Name are its first and third attributes in
        # every schema; indexing skips the by-name lookup.
        return Product(
            global_id=element[0],
            name=element[2],
            long_name=getattr(element, "LongName", None) if element.is_a("IfcSpatialElement")
            or element.is_a("IfcSpatialStructureElement") else None,
            ifc_class=ifc_class,
            storey=storey,
            elevation=elevation,
            step_id=step_id,
            host=host[1] if host else None,
            filled_by=tuple(gid for gid, _ in fillings),
            filled_by_class=tuple(cls for _, cls in fillings),
            predefined_type=_predefined_type(element, ifc_class),
        )


def _predefined_type(element: Any, ifc_class: str) -> str | None:
    # Read for slabs and roofs only, where energy boundaries need it (a roof
    # slab, a ground slab): a by-name lookup on every product would cost.
    if ifc_class.startswith("IfcSlab"):
        value = element.PredefinedType
    elif ifc_class.startswith("IfcRoof"):
        value = getattr(element, "PredefinedType", None) or getattr(element, "ShapeType", None)
    else:
        return None
    return value if isinstance(value, str) else None


def _door_operation(door: Any) -> str:
    """``"sliding"`` or ``"non-sliding"``: the door's ``OperationType`` (IFC4
    on), else its type's (``IfcDoorType``, an IFC2X3 ``IfcDoorStyle``)."""
    import ifcopenshell.util.element

    value = getattr(door, "OperationType", None)
    if not isinstance(value, str) or value in ("NOTDEFINED", "USERDEFINED"):
        kind = ifcopenshell.util.element.get_type(door)
        value = getattr(kind, "OperationType", None) if kind is not None else None
    return "sliding" if isinstance(value, str) and "SLIDING" in value else "non-sliding"


def _window_operation(window: Any) -> str:
    """``"operable"`` or ``"fixed"``: the panels' ``OperationType``s, the
    window's own panel properties, else its type's (or style's)."""
    import ifcopenshell.util.element

    operations = _panel_operations(
        d for rel in getattr(window, "IsDefinedBy", None) or () if rel.is_a("IfcRelDefinesByProperties")
        for d in _definitions(rel.RelatingPropertyDefinition))
    if not operations:
        kind = ifcopenshell.util.element.get_type(window)
        operations = _panel_operations(getattr(kind, "HasPropertySets", None) or ()) if kind is not None else []
    known = {op for op in operations if isinstance(op, str) and op != "NOTDEFINED"}
    return "operable" if known - {"FIXEDCASEMENT"} else "fixed"


def _definitions(definition: Any) -> Iterable[Any]:
    if definition is None:
        return ()
    # IFC4's IfcPropertySetDefinitionSet wraps a list of definitions.
    if definition.is_a("IfcPropertySetDefinitionSet"):
        return definition.wrappedValue or ()
    return (definition,)


def _panel_operations(definitions: Iterable[Any]) -> list[Any]:
    return [d.OperationType for d in definitions if d is not None and d.is_a("IfcWindowPanelProperties")]


def _placement_z(element: Any, scale: float) -> float | None:
    placement = getattr(element, "ObjectPlacement", None)
    if placement is None:
        return None
    import ifcopenshell.util.placement

    return float(ifcopenshell.util.placement.get_local_placement(placement)[2][3]) * scale


def _products(model: Any, classes: Iterable[str]) -> list[Any]:
    found: dict[int, Any] = {}
    for ifc_class in classes:
        try:
            for element in model.by_type(ifc_class):
                found[element.id()] = element
        except RuntimeError:  # a class this schema does not have
            continue
    return [found[k] for k in sorted(found)]


def _storey_table(model: Any, scale: float) -> dict[int, tuple[str, float | None]]:
    table: dict[int, tuple[str, float | None]] = {}
    cycles: set[int] | None = None
    for storey in model.by_type("IfcBuildingStorey"):
        elevation = storey.Elevation
        if elevation is not None:
            z: float | None = float(elevation) * scale
        else:
            if cycles is None:
                cycles = _placement_cycles(model)
            z = None if _placement_id(storey) in cycles else _placement_z(storey, scale)
        table[storey.id()] = (storey.Name or storey.GlobalId, z)
    return table


def _no_spaces_message(model: Any, source: str, spaces: int) -> str:
    counts = Counter(e.is_a() for e in model.by_type("IfcProduct"))
    storeys = sorted(model.by_type("IfcBuildingStorey"), key=lambda s: (s.Elevation or 0.0))
    storey_text = ", ".join(repr(s.Name or s.GlobalId) for s in storeys) or "none"
    top = ", ".join(f"{n} {c}" for c, n in counts.most_common(8) if c != "IfcBuildingStorey") or "no products"
    what = "no IfcSpace" if spaces == 0 else f"no IfcSpace with usable geometry ({spaces} without)"
    return (f"{source} has {what}, so there are no rooms to compile; storeys: {storey_text}; "
            f"elements: {top}. Export the model with its spaces (rooms) included.")


def _iterate(model: Any, elements: list[Any], threads: int, library: str,
             progress: Callable[[int], None] | None, *, voids: bool = False) -> dict[int, tuple[Any, Any]]:
    """Triangulate `elements` in world coordinates and metres, with the
    openings that void them cut out when `voids` is set.

    Returns step id -> (vertices, an (n, 3) float64 array; triangles, an
    (m, 3) int32 array) for every product IfcOpenShell could build. One
    product failing never loses another: the single-threaded geometry
    iterator stops at the first product that throws (the threaded one goes
    on), so every product it did not return is built again on its own, and
    only those that fail alone are left out. Both thread counts end with the
    same products from the same kernel. `progress` is called once per product,
    built or not.
    """
    ifcopenshell = _ifcopenshell()
    settings = ifcopenshell.geom.settings()
    settings.set("use-world-coords", True)
    settings.set("convert-back-units", False)  # metres, whatever the file's unit
    settings.set("disable-opening-subtractions", not voids)
    settings.set("weld-vertices", True)
    out: dict[int, tuple[Any, Any]] = {}
    if not elements:
        return out
    try:
        iterator = ifcopenshell.geom.iterator(settings, model, max(1, threads), include=elements,
                                              geometry_library=library)
    except RuntimeError as exc:
        raise _iterator_error(library, exc) from exc
    if iterator.initialize():
        while True:
            shape = iterator.get()
            out[shape.id] = _arrays(shape.geometry)
            if progress is not None:
                progress(1)
            if not iterator.next():
                break
    for element in elements:
        if element.id() in out:
            continue
        try:
            shape = ifcopenshell.geom.create_shape(settings, element, _body(element), geometry_library=library)
            out[element.id()] = _arrays(shape.geometry)
        except (RuntimeError, ValueError, TypeError, AttributeError):
            pass  # left out: `load` reports it with the products it skips
        finally:
            if progress is not None:
                progress(1)
    return out


def _body(element: Any) -> Any:
    """The body representation the geometry iterator would build, or None to let IfcOpenShell choose."""
    for representation in getattr(element.Representation, "Representations", None) or ():
        if representation is not None and representation.RepresentationIdentifier == "Body":
            return representation
    return None


def _arrays(geometry: Any) -> tuple[Any, Any]:
    import numpy as np

    verts = np.frombuffer(geometry.verts_buffer, dtype=np.float64).reshape(-1, 3)
    faces = np.frombuffer(geometry.faces_buffer, dtype=np.int32).reshape(-1, 3)
    return verts, faces


def _iterator_error(library: str, exc: RuntimeError) -> Exception:
    """What a failure to start the geometry iterator means to the caller."""
    text = str(exc)
    if "registered" in text or "kernel" in text:
        return ValueError(f"geometry_library {library!r}: {text}")
    if "alloc" in text or "memory" in text.lower() or "Resource temporarily unavailable" in text:
        return MemoryError(f"the geometry kernel ran out of memory starting up ({text})")
    return RuntimeError(f"the geometry kernel could not start: {text}")


def _thread_count(threads: Any) -> int:
    if threads is None:
        return multiprocessing.cpu_count()
    if isinstance(threads, bool):
        raise TypeError("threads must be an int, not bool")
    try:
        count = operator.index(threads)
    except TypeError:
        raise TypeError(f"threads must be an int, not {type(threads).__name__}") from None
    if count < 1:
        raise ValueError(f"threads must be at least 1, not {count}")
    return count


# Address space one more geometry thread needs besides its stack: its malloc
# arena reserves 64 MiB, and its share of the kernel's working memory.
_THREAD_ADDRESS_SPACE = 96 << 20


def _fit_threads(threads: int) -> int:
    """`threads`, or fewer when an address-space limit (RLIMIT_AS) leaves no
    room for that many. IfcOpenShell's iterator does not survive a worker
    thread that cannot set itself up: it aborts the process or waits for the
    thread forever, so the threads are fitted to the room before it starts."""
    if threads <= 1:
        return threads
    try:
        import resource

        limit = resource.getrlimit(resource.RLIMIT_AS)[0]
        if limit == resource.RLIM_INFINITY:
            return threads
        stack = resource.getrlimit(resource.RLIMIT_STACK)[0]
        with open("/proc/self/status") as status:
            mapped = next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmSize:"))
    except (ImportError, OSError, ValueError, StopIteration):
        return threads
    per_thread = _THREAD_ADDRESS_SPACE + (stack if 0 < stack < (1 << 30) else 8 << 20)
    return max(1, min(threads, 1 + (limit - mapped) // per_thread))


# Address space (bytes) the single-threaded geometry iterator is given at the
# least. IfcOpenShell does not survive an allocation failing inside it (the
# process dies), so with less room left under an RLIMIT_AS the load stops
# before it starts, with MemoryError.
_MIN_GEOMETRY_ADDRESS_SPACE = 8 << 20


def _check_address_space() -> None:
    try:
        import resource

        limit = resource.getrlimit(resource.RLIMIT_AS)[0]
        if limit == resource.RLIM_INFINITY:
            return
        with open("/proc/self/status") as status:
            mapped = next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmSize:"))
    except (ImportError, OSError, ValueError, StopIteration):
        return
    if limit - mapped < _MIN_GEOMETRY_ADDRESS_SPACE:
        raise MemoryError(f"the geometry kernel needs more address space than the limit leaves "
                          f"({max(0, limit - mapped) >> 20} MiB of {_MIN_GEOMETRY_ADDRESS_SPACE >> 20} MiB)")


def _placement_id(element: Any) -> int | None:
    placement = getattr(element, "ObjectPlacement", None)
    return None if placement is None else placement.id()


def _placement_cycles(model: Any) -> set[int]:
    """Step ids of the object placements that lie on a cycle of
    ``PlacementRelTo`` references, or are placed relative to one.

    Each placement is visited once: a walk up its chain stops at the first
    placement whose fate is already known.
    """
    fate: dict[int, bool] = {}  # placement id -> reaches a cycle
    for start in model.by_type("IfcObjectPlacement"):
        chain: list[int] = []
        on_chain: set[int] = set()
        current = start
        cyclic = False
        while current is not None:
            step = current.id()
            if step in fate:
                cyclic = fate[step]
                break
            if step in on_chain:
                cyclic = True
                break
            chain.append(step)
            on_chain.add(step)
            current = getattr(current, "PlacementRelTo", None)
        for step in chain:
            fate[step] = cyclic
    return {step for step, cyclic in fate.items() if cyclic}


def _mesh(verts: Any, faces: Any) -> Mesh:
    from kovalith.arrays import mesh_from_arrays

    return mesh_from_arrays(verts, faces)


def _axis(verts: Any) -> tuple[Vector3D, Vector3D] | None:
    """The long axis of a body: the line through the centre of its box in the
    frame of its principal directions, from one end to the other."""
    import numpy as np

    points = np.asarray(verts, dtype=float).reshape(-1, 3)
    if len(points) < 2 or not np.isfinite(points).all():
        return None
    centre = points.mean(axis=0)
    _, _, axes = np.linalg.svd(points - centre, full_matrices=False)
    local = (points - centre) @ axes.T
    lo, hi = local.min(axis=0), local.max(axis=0)
    if hi[0] - lo[0] <= 0.0:
        return None
    mid = (lo + hi) / 2
    a = centre + axes.T @ np.array([lo[0], mid[1], mid[2]])
    b = centre + axes.T @ np.array([hi[0], mid[1], mid[2]])
    if (b[2], b[1], b[0]) < (a[2], a[1], a[0]):  # bottom to top, then by y and x: a stable direction
        a, b = b, a
    return Vector3D(*map(float, a)), Vector3D(*map(float, b))


def load(
    source: str | os.PathLike[str] | Any,
    *,
    threads: int | None = None,
    progress: bool | Callable[[int, int], None] = False,
    geometry_library: str = GEOMETRY_LIBRARY,
    lenient: bool = False,
) -> IfcRooms:
    """Read the rooms, openings, wires and bounding elements of an IFC model.

    Parameters
    ----------
    source : path or ifcopenshell.file
        An IFC file (any schema IfcOpenShell reads) or a model already opened.
    threads : int, optional
        Workers of the geometry iterator; all cores
        (``multiprocessing.cpu_count()``) by default. Fewer run when an
        address-space limit (``RLIMIT_AS``) leaves too little room for
        more: about 100 MiB each besides the first.
    progress : bool or callable
        True shows a progress bar on stderr (tqdm); a callable is called as
        ``progress(done, total)`` after each product.
    geometry_library : str
        IfcOpenShell's geometry kernel. The default tries its simple CGAL
        kernel first, which builds extrusions and face sets several times
        faster, and falls back to Open CASCADE for what it cannot build;
        ``"opencascade"`` uses Open CASCADE throughout.
    lenient : bool
        Read a file that is cut short or partly unparsable, with an
        `IfcReadWarning`, instead of refusing it (see `open_model`).

    Returns
    -------
    IfcRooms
        Meshes and wires in world coordinates and metres, each beside its
        `Product`, in file order (by step id); products whose geometry failed
        and degenerate rooms are in ``skipped`` with the reason, and the load
        goes on; doors without a usable body are in ``fallbacks``. Every
        thread count gives the same result. Products
        placed relative to a cycle of placements (a placement relative to
        itself, directly or through others) have no position: they are
        skipped with the reason ``"placement cycle"``.

    Raises
    ------
    ImportError
        IfcOpenShell is not installed.
    FileNotFoundError, PermissionError, ValueError
        Missing, unreadable, incomplete or broken file (see `open_model`).
    TypeError
        `threads` is not an integer.
    MemoryError
        The geometry kernel ran out of memory.
    NoSpacesError
        No ``IfcSpace`` with geometry; the message lists the storeys and the
        element counts found instead.
    """
    ifcopenshell = _ifcopenshell()
    threads = _thread_count(threads)
    model = open_model(source, lenient=lenient)
    name = os.fspath(source) if isinstance(source, (str, os.PathLike)) else "the model"
    scale = float(ifcopenshell.util.unit.calculate_unit_scale(model))
    storeys = _storey_table(model, scale)
    relations = _Relations(model, storeys)
    groups = {
        "room": _products(model, ROOM_CLASSES),
        "opening": _products(model, OPENING_CLASSES),
        "wire": _products(model, WIRE_CLASSES),
        "element": _products(model, ELEMENT_CLASSES),
    }
    if not groups["room"]:
        raise NoSpacesError(_no_spaces_message(model, name, 0))
    result = IfcRooms(schema=model.schema, unit_scale=scale, source=name)
    result.storeys = sorted(((n, z if z is not None else 0.0) for n, z in storeys.values()), key=lambda s: s[1])
    # A product placed relative to a cycle of placements has no position, and
    # the geometry iterator would recurse without end on it.
    cycles = _placement_cycles(model)
    # A member is both a linear element and a bounding one: built once, used twice.
    with_geometry = list({e.id(): e for elements in groups.values() for e in elements
                          if getattr(e, "Representation", None) is not None
                          and _placement_id(e) not in cycles}.values())
    total = len(with_geometry)
    bar = None
    tick: Callable[[int], None] | None = None
    if progress is True:
        from tqdm import tqdm  # type: ignore[import-untyped]

        bar = tqdm(total=total, unit="product", desc="geometry", leave=False, disable=total == 0)
        tick = bar.update
    elif callable(progress):
        done = [0]
        report = progress

        def tick(n: int) -> None:
            done[0] += n
            report(done[0], total)

    threads = _fit_threads(threads)
    try:
        _check_address_space()
        shapes = _iterate(model, with_geometry, threads, geometry_library, tick)
    finally:
        if bar is not None:
            bar.close()
    # Rooms, openings and axes need no voids cut, and the bodies of elements
    # are read whole too: the compiler cuts every opening out of the contact
    # itself, and a door stands in its opening. A hole nothing fills (a stair
    # hole) is different: there the slab is not, so it cannot stand behind a
    # floor contact lying inside the hole. Elements with such holes are read
    # again with their openings cut; where that fails, their whole body stays.
    holed = {relations.host[o.id()][0] for o in groups["opening"]
             if o.id() in relations.host and o.id() not in relations.fillings}
    hosts = [e for e in with_geometry if e.id() in holed and e.is_a().startswith(ELEMENT_CLASSES)]
    for step, (verts, faces) in _iterate(model, hosts, threads, geometry_library, None, voids=True).items():
        if len(faces) > 0:
            shapes[step] = (verts, faces)
    lists: dict[str, tuple[list[Any], list[Product]]] = {
        "room": (result.rooms, result.room_products),
        "opening": (result.openings, result.opening_products),
        "wire": (result.wires, result.wire_products),
        "element": (result.elements, result.element_products),
    }
    walls = [e.id() for e in groups["element"] if e.is_a().startswith(WALL_HOSTS)]
    # Without panel properties in the model no window says how it opens.
    panels = bool(model.by_type("IfcWindowPanelProperties"))
    for element in groups["opening"]:
        if element.is_a("IfcDoor"):
            width = getattr(element, "OverallWidth", None)
            if isinstance(width, (int, float)) and math.isfinite(width) and width > 0:
                result.door_widths[element[0]] = float(width) * scale
            result.operations[element[0]] = _door_operation(element)
        elif element.is_a("IfcWindow"):
            result.operations[element[0]] = _window_operation(element) if panels else "fixed"
    for kind, elements in groups.items():
        items, products = lists[kind]
        for element in elements:
            product = relations.describe(element)
            if _placement_id(element) in cycles:
                result.skipped.append((product, "placement cycle"))
                continue
            built = getattr(element, "Representation", None) is not None
            shape = shapes.get(element.id())
            try:
                if shape is None:
                    raise _Unusable("geometry failed" if built else "no representation")
                verts, faces = shape
                if kind == "wire":
                    axis = _axis(verts)
                    if axis is None:
                        raise _Unusable("unusable geometry: no extent")
                    items.append(Wire(*axis))
                else:
                    if len(faces) == 0:
                        raise _Unusable("unusable geometry: no faces")
                    if kind == "room":
                        _check_room(verts, faces)
                    items.append(_mesh(verts, faces))
            except (_Unusable, ValueError, IndexError) as exc:
                reason = str(exc) if isinstance(exc, _Unusable) else f"unusable geometry: {exc}"
                if kind == "opening" and product.ifc_class.startswith("IfcDoor"):
                    substitute = _door_substitute(element, relations, shapes, walls, scale)
                    if substitute is not None:
                        source, mesh = substitute
                        items.append(mesh)
                        products.append(product)
                        result.fallbacks[product.global_id] = source
                        continue
                if kind == "element" and not built and element.id() in relations.wholes:
                    continue  # an aggregate: its parts carry the body
                result.skipped.append((product, reason))
                continue
            products.append(product)
    if not result.rooms:
        raise NoSpacesError(_no_spaces_message(model, name, len(groups["room"])))
    return result


class _Unusable(Exception):
    """A product's geometry cannot be used; the message is the reason `load` reports."""


def _check_room(verts: Any, faces: Any) -> None:
    """Raise `_Unusable` for a room that encloses nothing: fewer than four
    faces, zero height, or zero volume (a flat or open surface)."""
    import numpy as np

    if len(faces) < 4:
        raise _Unusable("degenerate room: fewer than four faces")
    height = float(verts[:, 2].max() - verts[:, 2].min()) if len(verts) else 0.0
    if not height >= MIN_ROOM_HEIGHT:
        raise _Unusable("degenerate room: zero height")
    # Signed volume by the divergence theorem, about the first vertex so that
    # a building far from the origin loses no digits.
    a, b, c = (verts[faces[:, k]] - verts[0] for k in range(3))
    volume = abs(float(np.einsum("ij,ij->i", a, np.cross(b, c)).sum())) / 6.0
    if not volume >= MIN_ROOM_VOLUME:
        raise _Unusable("degenerate room: zero volume")


def _door_substitute(door: Any, relations: _Relations, shapes: dict[int, tuple[Any, Any]], walls: list[int],
                     scale: float) -> tuple[str, Mesh] | None:
    """A body for a door whose own one cannot be used: the opening it fills,
    else a box from its placement, ``OverallWidth`` and ``OverallHeight``
    through the wall it stands in; None when neither is known.

    The box spans the door's local x from 0 to the width and z from 0 to the
    height, as the door's own body does, and along its local y the wall's
    full thickness where a line through the middle of the door crosses it
    (the door's placement may lie on either face of the wall or on its
    axis). The host wall is the one voided by the opening the door fills,
    else any wall that line crosses; without one the box is a flat panel in
    the door's placement plane.
    """
    import numpy as np

    opening = relations.filled.get(door.id())
    if opening is not None and opening in shapes and len(shapes[opening][1]) > 0:
        return "opening", _mesh(*shapes[opening])
    width, height = getattr(door, "OverallWidth", None), getattr(door, "OverallHeight", None)
    placement = getattr(door, "ObjectPlacement", None)
    if placement is None or not width or not height or width <= 0 or height <= 0:
        return None
    import ifcopenshell.util.placement

    try:
        matrix = np.asarray(ifcopenshell.util.placement.get_local_placement(placement), dtype=float)
    except (RuntimeError, ValueError, TypeError, AttributeError, RecursionError):
        return None
    origin = matrix[:3, 3] * scale
    x_axis, y_axis, z_axis = (matrix[:3, k] / np.linalg.norm(matrix[:3, k]) for k in range(3))
    width, height = float(width) * scale, float(height) * scale
    if not (np.isfinite(matrix).all() and np.isfinite([width, height]).all()):
        return None
    middle = origin + x_axis * width / 2 + z_axis * height / 2
    host = relations.host[opening][0] if opening in relations.host else None
    candidates = [host] if host in shapes else [w for w in walls if w in shapes]
    depth = None
    for wall in candidates:
        verts, faces = shapes[wall]
        if len(verts) == 0 or not ((verts.min(axis=0) - _DOOR_REACH <= middle)
                                   & (middle <= verts.max(axis=0) + _DOOR_REACH)).all():
            continue
        hits = _line_hits(middle, y_axis, verts, faces)
        near = hits[np.abs(hits) <= _DOOR_REACH]
        if len(near) >= 2 and near.max() - near.min() > _MIN_WALL:
            depth = (float(near.min()), float(near.max()))
            break
    y0, y1 = depth if depth is not None else (0.0, 0.0)
    # Corner (x, y, z) of the door's frame is at index 4y + 2z + x.
    corners = np.array([origin + x_axis * x + y_axis * y + z_axis * z
                        for y in (y0, y1) for z in (0.0, height) for x in (0.0, width)])
    if depth is None:
        return "box", _mesh(corners[:4], np.array([[0, 1, 3], [0, 3, 2]], dtype=np.int32))
    box = np.array([[0, 3, 1], [0, 2, 3], [4, 5, 7], [4, 7, 6], [0, 1, 5], [0, 5, 4],
                    [2, 7, 3], [2, 6, 7], [0, 6, 2], [0, 4, 6], [1, 3, 7], [1, 7, 5]], dtype=np.int32)
    a, b, c = (corners[box[:, k]] - corners[0] for k in range(3))
    if np.einsum("ij,ij->i", a, np.cross(b, c)).sum() < 0.0:  # a left-handed placement
        box = box[:, ::-1].copy()
    return "box", _mesh(corners, box)


# How far from a door's placement, across the wall, the faces of its wall may
# lie (metres): more than any wall the compiler bridges.
_DOOR_REACH = 1.0
# Thinner than this (metres), two crossings of a wall's faces are one.
_MIN_WALL = 1e-6


def _line_hits(point: Any, direction: Any, verts: Any, faces: Any) -> Any:
    """Parameters t at which the line ``point + t * direction`` crosses the
    triangles (Moeller-Trumbore, both sides, unbounded t)."""
    import numpy as np

    if len(faces) == 0:
        return np.empty(0)
    a, b, c = (verts[faces[:, k]] for k in range(3))
    e1, e2 = b - a, c - a
    p = np.cross(direction, e2)
    det = np.einsum("ij,ij->i", e1, p)
    ok = np.abs(det) > 1e-12
    inv = np.where(ok, 1.0 / np.where(ok, det, 1.0), 0.0)
    s = point - a
    u = np.einsum("ij,ij->i", s, p) * inv
    q = np.cross(s, e1)
    v = (q @ direction) * inv
    t = np.einsum("ij,ij->i", e2, q) * inv
    inside = ok & (u >= 0.0) & (v >= 0.0) & (u + v <= 1.0)
    return t[inside]


def compile_rooms(rooms: IfcRooms, **settings: Any) -> SpatialGraph:
    """Compile what `load` read into a graph named after its products.

    Settings are those of `kovalith.building.compile_building` (``distance``,
    ``angle``, ``min_area``, ``wall_gap``, ``slab_gap``, ``merge``); unset ones
    take `DEFAULT_SETTINGS`, chosen for exported models (5 mm of play). The
    compiler gets the element meshes with their kinds (`element_kind`) and
    the openings with their orientations (`opening_orientation`).

    Node attributes: ``global_id``, ``name``, ``long_name``, ``storey``,
    ``elevation`` (metres), ``ifc_class`` of the space, and ``elements``, the
    GlobalIds of the columns, beams, members and segments standing in it
    (the graph's wire contacts, by product).

    Edge attributes, besides the compiler's ``gap``, ``openings`` (positions
    in ``rooms.openings``), ``opening_area``, ``opening_centroid`` and
    ``virtual``: those of `annotate`.
    """
    compile_building = importlib.import_module("kovalith.building").compile_building
    unknown = set(settings) - set(DEFAULT_SETTINGS)
    if unknown:
        raise TypeError(f"unknown setting(s): {', '.join(sorted(unknown))}")
    graph: SpatialGraph = compile_building(rooms.registry(), **{**DEFAULT_SETTINGS, **settings},
                                           **compile_inputs(rooms))
    annotate(graph, rooms)
    return graph


def compile_inputs(rooms: IfcRooms) -> dict[str, Any]:
    """The keyword arguments beside ``rooms.registry()`` that every compile
    of a loaded model takes (``compile_building``, ``contact_regions``): the
    element meshes, their kinds and the openings' orientations."""
    return {"elements": rooms.elements,
            "element_kinds": [element_kind(p) for p in rooms.element_products],
            "opening_orientations": [opening_orientation(p) for p in rooms.opening_products]}


def element_kind(product: Product) -> str:
    """How the compiler reads an element: ``"crossing"`` for stairs, ramps
    and their flights (they lead through a floor rather than separate two
    rooms), ``"virtual"`` for ``IfcVirtualElement`` (a boundary drawn where
    nothing stands), ``"physical"`` for every other element."""
    if product.ifc_class.startswith(STAIR_CLASSES + RAMP_CLASSES):
        return "crossing"
    if product.ifc_class == "IfcVirtualElement":
        return "virtual"
    return "physical"


def opening_orientation(product: Product) -> str:
    """Which contacts an opening may cut: ``"wall"`` for doors, windows and
    openings that void a wall (or that they fill, voiding no slab),
    ``"slab"`` for openings voiding a slab or roof, filled (a skylight) or
    not, ``"any"`` for the rest.

    A door or a window box reaches into the floor below it or stands on the
    slab of the storey above; cutting floor contacts with it would make a way
    between storeys through a door.
    """
    if product.ifc_class.startswith(("IfcDoor", "IfcWindow")):
        return "wall"
    if product.host is not None and product.host.startswith(SLAB_HOSTS):
        return "slab"  # a stair hole, or a skylight's opening in a roof
    if product.filled_by or (product.host is not None and product.host.startswith(WALL_HOSTS)):
        return "wall"
    return "any"


#: How people cross a contact, in the order `annotate` lists them in ``via``.
VIA = ("door", "passage", "open", "stair_hole", "stair", "ramp")
#: An unfilled opening in a wall is a passage from this size on (metres):
#: the clear width of the narrowest door people are expected to use, and a
#: height a person walks through upright.
PASSAGE_WIDTH = 0.6
PASSAGE_HEIGHT = 1.8


def annotate(graph: SpatialGraph, rooms: IfcRooms) -> None:
    """Set the product attributes of `compile_rooms` on a graph compiled from
    ``rooms.registry()`` with the elements, kinds and orientations of ``rooms``.

    Nodes get ``global_id``, ``name``, ``long_name``, ``storey``,
    ``elevation``, ``ifc_class`` and ``elements`` (see `compile_rooms`).
    Edges get:

    - ``opening_ids``: the GlobalIds of the openings in ``openings``, in the
      same order; ``doors`` and ``windows``: the GlobalIds of the doors and
      windows among them, directly or through the opening they fill;
    - ``elements``: the GlobalIds of the walls, slabs, coverings, virtual
      elements, ... standing in the contact's gap (the compiler gives their
      positions); ``crossings``: those of the stairs and ramps crossing its
      floor build-up; ``virtual``: as the compiler set it (no physical
      element in the gap);
    - ``via``: how people cross the contact, in the order of `VIA`, empty
      when they cannot; ``walkable``: ``bool(via)``;
    - ``width`` (metres), on a wall contact people cross through a door or
      a passage: the clear width of the widest of them. A door's is its
      ``OverallWidth``; a door without one, and a passage, count the
      horizontal extent of their body across the wall (the longer one of
      its plan, as for a passage's size). Contacts without a door or a
      passage have no ``width``.

    The rules of ``via`` (docs/building.md gives the reasons): on a wall
    contact ``"door"`` for a door, or an opening a door fills, among the
    openings; ``"passage"`` for an unfilled opening at least `PASSAGE_WIDTH`
    wide and `PASSAGE_HEIGHT` high; ``"open"`` when the faces touch (gap 0)
    or only virtual elements stand between them. On a slab contact
    ``"stair_hole"`` for an unfilled opening voiding a slab or roof;
    ``"stair"`` and ``"ramp"`` for a stair or stair flight, a ramp or ramp
    flight crossing it. Windows never let anyone through.
    """
    nodes = graph.nodes
    if len(nodes) != len(rooms.room_products):
        raise ValueError(f"graph has {len(nodes)} nodes but the model {len(rooms.room_products)} rooms")
    standing: list[list[str]] = [[] for _ in nodes]
    for contact in graph.wire_contacts:
        standing[contact.mesh_index].append(rooms.wire_products[contact.wire_index].global_id)
    for node, product, inside in zip(nodes, rooms.room_products, standing):
        node.set_attribute("global_id", product.global_id)
        node.set_attribute("name", product.name)
        node.set_attribute("long_name", product.long_name)
        node.set_attribute("storey", product.storey)
        node.set_attribute("elevation", product.elevation)
        node.set_attribute("ifc_class", product.ifc_class)
        node.set_attribute("elements", inside)
    openings = rooms.opening_products
    elements = rooms.element_products
    sizes: dict[int, tuple[float, float]] = {}

    def size(position: int) -> tuple[float, float]:
        if position not in sizes:
            sizes[position] = _opening_size(rooms.openings[position])
        return sizes[position]

    def is_passage(position: int) -> bool:
        width, height = size(position)
        return width >= PASSAGE_WIDTH - _SIZE_SLACK and height >= PASSAGE_HEIGHT - _SIZE_SLACK

    def door_width(gids: Iterable[str], position: int) -> float:
        known = [rooms.door_widths[g] for g in gids if g in rooms.door_widths]
        return max(known) if known else size(position)[0]

    for edge in graph.edges:
        positions = edge.get_attribute("openings") or []
        between = [elements[i] for i in edge.get_attribute("elements") or []]
        crossing = [elements[i] for i in edge.get_attribute("crossings") or []]
        slab = edge.contact_type == "HorizontalSlabContact"
        doors: list[str] = []
        windows: list[str] = []
        via: set[str] = set()
        widths: list[float] = []
        for position in positions:
            p = openings[position]
            if p.ifc_class.startswith("IfcDoor"):
                doors.append(p.global_id)
                widths.append(door_width((p.global_id,), position))
            elif p.ifc_class.startswith("IfcWindow"):
                windows.append(p.global_id)
            elif p.filled_by:
                filling = [gid for gid, cls in zip(p.filled_by, p.filled_by_class) if cls.startswith("IfcDoor")]
                doors.extend(filling)
                windows.extend(gid for gid in p.filled_by if gid not in filling)
                if filling:
                    widths.append(door_width(filling, position))
            elif slab:
                if p.host is not None and p.host.startswith(SLAB_HOSTS):
                    via.add("stair_hole")
            elif is_passage(position):
                via.add("passage")
                widths.append(size(position)[0])
        if slab:
            # Only a hole or a flight leads through a floor: a door listed
            # here (an opening of unknown orientation) stands on it.
            for p in crossing:
                via.add("stair" if p.ifc_class.startswith(STAIR_CLASSES) else "ramp")
        else:
            if doors:
                via.add("door")
            if edge.get_attribute("gap") == 0.0 or (between and all(element_kind(p) == "virtual" for p in between)):
                via.add("open")
        ordered = [v for v in VIA if v in via]
        edge.set_attribute("opening_ids", [openings[i].global_id for i in positions])
        edge.set_attribute("doors", list(dict.fromkeys(doors)))
        edge.set_attribute("windows", list(dict.fromkeys(windows)))
        edge.set_attribute("elements", [p.global_id for p in between])
        edge.set_attribute("crossings", [p.global_id for p in crossing])
        edge.set_attribute("via", ordered)
        edge.set_attribute("walkable", bool(ordered))
        widths = [w for w in widths if math.isfinite(w)]
        if not slab and widths:
            edge.set_attribute("width", max(widths))


def _opening_size(mesh: Mesh) -> tuple[float, float]:
    """(width, height) of an opening's or a door's body, in metres; NaN for
    a body without finite points.

    The height is its vertical extent; the width its longer horizontal one,
    measured along the principal axes of its plan, so a wall running in any
    direction reads the same. For an opening narrower than its wall is thick
    the longer extent is the wall's thickness, below a passage's width for
    every wall the compiler bridges.
    """
    import numpy as np

    from kovalith.arrays import mesh_to_arrays

    points = np.asarray(mesh_to_arrays(mesh).vertices, dtype=float)
    if len(points) == 0 or not np.isfinite(points).all():
        return math.nan, math.nan
    height = float(points[:, 2].max() - points[:, 2].min())
    plan = points[:, :2] - points[:, :2].mean(axis=0)
    _, _, axes = np.linalg.svd(plan, full_matrices=False)
    local = plan @ axes.T
    return float((local.max(axis=0) - local.min(axis=0)).max()), height


# Rounding in the file and the kernel (metres): a 0.6 m opening may come back
# a hair narrower.
_SIZE_SLACK = 1e-6


def building_graph(
    source: str | os.PathLike[str] | Any,
    *,
    threads: int | None = None,
    progress: bool | Callable[[int, int], None] = False,
    geometry_library: str = GEOMETRY_LIBRARY,
    lenient: bool = False,
    **settings: Any,
) -> SpatialGraph:
    """From an IFC file (or opened model) to the graph of its rooms in one call.

    ``load(source, threads=..., progress=..., geometry_library=..., lenient=...)`` then ``compile_rooms`` with the
    compiler settings given (see there for the defaults and for the node and
    edge attributes). Raises what `load` raises.
    """
    rooms = load(source, threads=threads, progress=progress, geometry_library=geometry_library, lenient=lenient)
    return compile_rooms(rooms, **settings)


def walkable_graph(graph: SpatialGraph) -> SpatialGraph:
    """The same nodes, joined only where a person can pass: the edges whose
    ``walkable`` attribute (set by `compile_rooms`) is true."""
    return SpatialGraph(graph.nodes, [e for e in graph.edges if e.get_attribute("walkable")], [])


def walk_route(graph: SpatialGraph, start: int, end: int) -> list[int]:
    """Shortest walk from room `start` to room `end` through doors and open
    holes (stairs) only: the rooms in travel order, ``[]`` when there is none.

    Walking distance in metres, room centre to the middle of the door (the
    edge's ``opening_centroid``) to the next room centre, over the edges whose
    ``walkable`` attribute `compile_rooms` set; windows never let a route
    through. `kovalith.routes.route` with the same arguments gives the edges
    crossed and the length as well.
    """
    from kovalith.routes import route

    count = len(graph.nodes)
    for name, value in (("start", start), ("end", end)):
        if not 0 <= value < count:
            raise IndexError(f"{name} {value} is not a room of a {count}-room graph")
    return route(graph, start, end, via="walkable", cost="walk").rooms


def is_walkable(edge: Any) -> bool:
    """True for a contact a person can pass: see ``walkable`` in `compile_rooms`."""
    return edge.get_attribute("walkable") is True


def find_room(graph: SpatialGraph, key: str) -> int:
    """The node position of the room that `key` names.

    `key` is tried, in this order, as a ``global_id`` (exact; a GlobalId
    always wins, even over another room whose name happens to be the same
    text), a ``name`` (exact: the room number in most models), a
    ``long_name`` or ``name`` regardless of case ("kitchen" finds
    "Kitchen"), and last as a node position given as digits. The first kind
    that matches decides.

    Raises
    ------
    KeyError
        No room matches.
    ValueError
        Several rooms match at the deciding step; the message lists each
        with its number, long name, storey and GlobalId.
    """
    if not isinstance(key, str):
        raise TypeError(f"key must be a str, not {type(key).__name__}")
    nodes = graph.nodes
    records = [(n.get_attribute("global_id"), n.get_attribute("name"), n.get_attribute("long_name")) for n in nodes]
    folded = key.casefold()
    steps: tuple[Callable[[tuple[Any, Any, Any]], bool], ...] = (
        lambda r: r[0] == key,
        lambda r: r[1] == key,
        lambda r: any(isinstance(v, str) and v.casefold() == folded for v in (r[2], r[1])),
    )
    for matches in steps:
        hits = [i for i, r in enumerate(records) if matches(r)]
        if len(hits) == 1:
            return hits[0]
        if hits:
            raise ValueError(f"{len(hits)} rooms match {key!r}: "
                             + "; ".join(_room_text(nodes[i]) for i in hits[:_CANDIDATES_SHOWN])
                             + (f"; and {len(hits) - _CANDIDATES_SHOWN} more" if len(hits) > _CANDIDATES_SHOWN else "")
                             + ". Give the number or GlobalId of one")
    if key.isdigit() and int(key) < len(nodes):
        return int(key)
    raise KeyError(f"no room named {key!r} (give a space's Name, LongName, GlobalId or a node position)")


# Candidates listed when a room name is ambiguous; more would not fit a line.
_CANDIDATES_SHOWN = 12


def _room_text(node: Any) -> str:
    """One room for a message: number, long name, storey and GlobalId."""
    name, long_name, storey = (node.get_attribute(k) for k in ("name", "long_name", "storey"))
    text = str(name) if name is not None else "(no name)"
    if long_name:
        text += f" {long_name!r}"
    return text + f" on {storey if storey is not None else 'no storey'}, GlobalId {node.get_attribute('global_id')}"
