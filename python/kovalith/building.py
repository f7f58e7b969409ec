"""Room adjacency of real buildings: contacts across walls and slabs.

`SpatialRegistry.build_spatial_graph(tolerance)` pairs faces that lie in one
plane, which is what rooms modelled face to face give. Rooms exported from
building models stop at the faces of their walls and slabs, so neighbours are
a wall thickness or a floor build-up apart; `compile_building` finds those
contacts, cuts the doors and stair holes out of them and gives one edge per
room pair and contact plane.
"""

from __future__ import annotations

import math
import warnings

import kovalith

from typing import Any, NamedTuple, Sequence

__all__ = ["compile_building", "contact_regions", "space_boundaries", "RegionPolygon", "BoundaryPiece",
           "BoundaryOpening", "MERGE_MODES", "ELEMENT_KINDS",
           "OPENING_ORIENTATIONS"]

#: Accepted values of ``merge``.
MERGE_MODES = ("face", "plane", "room")
#: Accepted values of ``element_kinds``.
ELEMENT_KINDS = ("physical", "virtual", "crossing")
#: Accepted values of ``opening_orientations``.
OPENING_ORIENTATIONS = ("any", "wall", "slab")


def _setting(name: str, value: float) -> float:
    try:
        number = float(value)
    except (TypeError, ValueError):
        raise TypeError(f"{name} must be a real number, not {type(value).__name__}") from None
    if math.isnan(number) or number < 0.0:
        raise ValueError(f"{name} must be a number >= 0, not {value!r}")
    if math.isinf(number):
        raise ValueError(f"{name} must be finite, not {value!r}")
    return number


def compile_building(
    registry: kovalith.SpatialRegistry,
    *,
    distance: float = 1e-3,
    angle: float = 1.0,
    min_area: float = 0.01,
    wall_gap: float = 0.5,
    slab_gap: float = 2.0,
    merge: str = "plane",
    elements: Sequence[kovalith.Mesh] | None = None,
    element_kinds: Sequence[str] | None = None,
    opening_orientations: Sequence[str] | None = None,
) -> kovalith.SpatialGraph:
    """Compile the room adjacency graph of a building.

    Every mesh of ``registry.meshes`` is a room and becomes the node of its
    position. Two rooms are joined where a face of one lies opposite a face
    of the other across a wall or slab no thicker than allowed, with the
    openings of ``registry.apertures`` inside that wall or slab cut out of the
    shared area. Wire contacts follow ``build_spatial_graph``.

    Lengths are in the model's unit (metres assumed by the defaults), areas in
    its square; scale all of them together for a model in millimetres.

    Parameters
    ----------
    registry : kovalith.SpatialRegistry
        Rooms (closed meshes, outward or consistently inside-out wound),
        wires and openings (door panels, opening boxes, stair holes: any mesh
        whose faces lie in the wall or slab they open).
    distance : float, default 1e-3
        Largest gap between two faces that still touch, a length. Also the
        slack on both sides of a wall or slab: a face may reach this far
        behind the face opposite it.
    angle : float, default 1.0
        Largest angle between two normals still treated as parallel, in
        degrees. Applies to room faces, third-room faces between them and
        openings alike.
    min_area : float, default 0.01
        Smallest contact kept, an area (0.01 m² is 10 cm by 10 cm); compared
        strictly, after the openings are removed.
    wall_gap : float, default 0.5
        Thickest wall bridged between two rooms, a length, for faces whose
        normal has ``|n.z| <= 0.707``. 0.5 m covers masonry and insulated
        external walls (0.1–0.4 m in practice) while staying below the
        narrowest room, so a room is never joined across another one.
    slab_gap : float, default 2.0
        Thickest floor build-up bridged between two storeys (slab plus
        ceiling void or raised floor), a length, for faces with
        ``|n.z| > 0.707``. Office plenums reach 1.5 m, and 2.0 m is still
        below a storey height, so the storey after next is never joined.
    merge : {"plane", "face", "room"}, default "plane"
        ``"face"``: one edge per face pair, as ``build_spatial_graph`` gives.
        ``"plane"``: one edge per room pair and contact plane (a triangulated
        wall becomes one edge). ``"room"``: one edge per room pair.
    elements : sequence of kovalith.Mesh, optional
        Bodies of building elements (walls, slabs, roofs, coverings, plates,
        railings, virtual boundaries, stairs, ramps). Given, every edge also
        lists the elements behind it (see Returns).
    element_kinds : sequence of str, optional
        One per element: ``"physical"`` (the default), ``"virtual"`` (a
        boundary drawn between open-plan rooms, with no body) or
        ``"crossing"`` (a stair or ramp: it joins the storeys its body passes
        between).
    opening_orientations : sequence of str, optional
        One per opening of ``registry.apertures``: ``"wall"`` (doors,
        windows, openings in walls: they cut wall contacts only), ``"slab"``
        (openings in slabs and roofs: slab contacts only) or ``"any"`` (the
        default: every contact).

    Returns
    -------
    kovalith.SpatialGraph
        Nodes as ``build_spatial_graph`` makes them. Each edge has
        ``node_a < node_b``, ``shared_area`` the net area,
        ``contact_centroid`` the centre of that area on the mid-plane between
        the two faces and ``contact_type`` "HorizontalSlabContact" when the
        face of ``node_a`` has ``|n.z| > 0.707``, else
        "VerticalWallContact" (for merged edges: that of the largest part).
        Its attributes are ``gap`` (float: the wall or slab thickness,
        area-weighted; 0.0 for touching faces), ``openings`` (list of the
        positions in ``registry.apertures`` that lie mostly in it, ascending;
        empty when none), ``opening_area`` (float: the area the openings
        removed) and ``opening_centroid`` (``[x, y, z]``, the centre of the
        removed area on the mid-plane: where a person walks through; left
        out when nothing was removed). With ``elements``: ``elements`` (list
        of the positions of the physical and virtual elements behind the
        contact, ascending), ``crossings`` (positions of the crossing
        elements passing through a slab contact) and ``virtual`` (True when
        no physical element lies behind it).

    Raises
    ------
    TypeError
        ``registry`` is not a SpatialRegistry, or a setting is not a number.
    ValueError
        A setting is negative, NaN or infinite, or ``merge`` is unknown; the
        message names the setting.
    KeyboardInterrupt
        Ctrl-C during the search; the registry is unchanged.

    Notes
    -----
    Two faces make a contact when they are parallel within ``angle``, face
    each other (or lie in one plane facing the same way, within
    ``distance``), and every corner of the second lies in front of the first
    at a distance between ``-distance`` and the allowed gap plus
    ``distance``. Distances are measured from the corners to the face's
    plane, so moving a whole building far from the origin changes no edge.
    Where a third room's face lies between the two, the part of the region it
    covers belongs to the nearer pair only. Rooms wound inside out (negative
    signed volume) are read as wound outward.

    Every opening face parallel to the contact inside the wall or slab
    removes its area, but an opening is listed on the edge only when at
    least half of its cross-section lies in the edge's region, or it covers
    at least half of the region; one that grazes the contact is not.
    ``min_area`` applies to the gross contact (net plus opening area), so a
    floor contact lying wholly inside a stair hole is kept, with a net area
    of 0.

    An element lies behind a contact when one of its faces parallel to the
    contact lies between the two faces over the region and, where the gap
    leaves room, its body reaches into the gap: an element that only touches
    or stands on one of the faces does not count. A crossing element passes
    through a slab contact when its body reaches from one face's plane
    through the other's, and beyond, over the region.
    """
    graph: kovalith.SpatialGraph = _compile(
        registry, False, distance=distance, angle=angle, min_area=min_area, wall_gap=wall_gap,
        slab_gap=slab_gap, merge=merge, elements=elements, element_kinds=element_kinds,
        opening_orientations=opening_orientations)
    return graph


class RegionPolygon(NamedTuple):
    """One polygon of a contact region, in world coordinates.

    ``outer`` is an (n, 3) float64 array of the outer ring, counter-clockwise
    about the edge's normal (right-hand rule), closed (its last point repeats
    its first); ``holes`` a list of such arrays, clockwise.
    """

    outer: Any
    holes: list[Any]


def contact_regions(
    registry: kovalith.SpatialRegistry, **settings: Any,
) -> tuple[kovalith.SpatialGraph, list[list[RegionPolygon]], Any]:
    """Compile like `compile_building` and return each edge's region too.

    Takes the settings of `compile_building`. Returns ``(graph, regions,
    normals)``: the graph `compile_building` gives for them, ``regions[k]``
    the net contact region of ``graph.edges[k]`` (openings and the parts
    nearer rooms own cut out) as a list of `RegionPolygon`, lying in the plane
    of ``node_a``'s face, and ``normals`` an (edges, 3) array of that face's
    outward normal. The face pairs of a merged edge are united, so a
    triangulated wall gives one polygon; with ``merge="room"`` the polygons
    of an edge may lie in several planes. An edge lying wholly inside an
    opening has no polygon. Needs NumPy.
    """
    import numpy as np

    graph, (points, rings, holes, edge_rings, normals) = _compile(registry, True, **settings)
    xyz = np.frombuffer(points, dtype=np.float64).reshape(-1, 3)
    ring_at = np.frombuffer(rings, dtype=np.uint64).astype(np.intp)
    is_hole = np.frombuffer(holes, dtype=np.uint8)
    edge_at = np.frombuffer(edge_rings, dtype=np.uint64).astype(np.intp)
    regions: list[list[RegionPolygon]] = []
    for k in range(len(edge_at) - 1):
        polygons: list[RegionPolygon] = []
        for r in range(edge_at[k], edge_at[k + 1]):
            ring = xyz[ring_at[r]:ring_at[r + 1]]
            if is_hole[r] and polygons:
                polygons[-1].holes.append(ring)
            else:
                polygons.append(RegionPolygon(ring, []))
        regions.append(polygons)
    return graph, regions, np.frombuffer(normals, dtype=np.float64).reshape(-1, 3)


class BoundaryOpening(NamedTuple):
    """An opening on a boundary piece, cut to the piece."""

    #: Position of the opening in ``registry.apertures``.
    opening: int
    #: (n, 3) float64 closed ring, counter-clockwise about the piece's normal.
    outer: Any
    area: float


class BoundaryPiece(NamedTuple):
    """One piece of a room's surface and what lies on its other side.

    ``polygon`` lies on the room's face plane; its outer ring is
    counter-clockwise about ``normal``, the room's outward normal (so seen
    from outside the room), holes clockwise, rings closed. ``area`` is the
    polygon's (openings are not removed). A contact piece has the room
    across in ``other``, its edge in ``edge`` and the same piece seen from
    that room in ``corresponding``; an exterior piece has None in all three.
    ``element`` is the position in ``elements`` of the element behind the
    piece, None when none lies there. ``depth`` is how far the other side
    is: the contact's gap, or the far side of the element behind an exterior
    piece (0.0 when there is none).
    """

    room: int
    polygon: RegionPolygon
    normal: Any
    area: float
    other: int | None
    edge: int | None
    corresponding: int | None
    element: int | None
    depth: float
    openings: list[BoundaryOpening]


def space_boundaries(
    registry: kovalith.SpatialRegistry, **settings: Any,
) -> tuple[kovalith.SpatialGraph, list[BoundaryPiece]]:
    """Split every room's surface into pieces, each knowing its other side.

    Takes the settings of `compile_building` and returns ``(graph, pieces)``:
    the graph `compile_building` gives for them and the pieces, by room.
    A room's faces are merged per plane first, so a triangulated wall is one
    polygon. Each plane is cut into the contacts on it (their gross region:
    openings are listed on the piece, not cut out of it; the same piece is
    given for both rooms, each on its own face) and the rest, the exterior
    remainder. Both are split by the element behind them, nearest first: an
    element lies behind a piece when one of its faces parallel to the piece
    lies between the room's face and the far side (the other room's face,
    or ``wall_gap`` / ``slab_gap`` away) over the piece and its body reaches
    beyond the room's face. Stairs and ramps (kind ``"crossing"``) bound no
    room. The openings on a piece are those whose faces parallel to it lie
    within that band, widened by its depth on both sides (opening boxes
    stand proud of their wall), each cut to the piece.

    Per room the pieces' areas sum to the area of its faces, up to rounding,
    as long as rooms do not overlap (then each pair still gets the face area
    it shares, and contact pieces of one face may overlap). Needs NumPy.
    """
    import numpy as np

    arguments, values = _arguments(registry, **settings)
    graph, buffers = getattr(kovalith, "_space_boundaries")(*arguments)
    _check_scale(graph, values, stacklevel=3)
    (points, rings, piece_rings, reals, links, opening_points, opening_rings, opening_links,
     opening_areas) = buffers
    xyz = np.frombuffer(points, dtype=np.float64).reshape(-1, 3)
    ring_at = np.frombuffer(rings, dtype=np.uint64).astype(np.intp).tolist()
    piece_at = np.frombuffer(piece_rings, dtype=np.uint64).astype(np.intp).tolist()
    real = np.frombuffer(reals, dtype=np.float64).reshape(-1, 5)
    link = np.frombuffer(links, dtype=np.int64).reshape(-1, 5).tolist()
    o_xyz = np.frombuffer(opening_points, dtype=np.float64).reshape(-1, 3)
    o_ring = np.frombuffer(opening_rings, dtype=np.uint64).astype(np.intp).tolist()
    o_link = np.frombuffer(opening_links, dtype=np.int64).reshape(-1, 2).tolist()
    o_area = np.frombuffer(opening_areas, dtype=np.float64).tolist()
    openings: list[list[BoundaryOpening]] = [[] for _ in range(len(link))]
    for k, (piece, opening) in enumerate(o_link):
        openings[piece].append(BoundaryOpening(opening, o_xyz[o_ring[k]:o_ring[k + 1]], o_area[k]))
    areas = real[:, 3].tolist()
    depths = real[:, 4].tolist()
    pieces: list[BoundaryPiece] = []
    for k, (room, other, edge, corresponding, element) in enumerate(link):
        first, end = piece_at[k], piece_at[k + 1]
        outer = xyz[ring_at[first]:ring_at[first + 1]]
        holes = [xyz[ring_at[r]:ring_at[r + 1]] for r in range(first + 1, end)]
        pieces.append(BoundaryPiece(
            room, RegionPolygon(outer, holes), real[k, :3], areas[k],
            None if other < 0 else other, None if edge < 0 else edge,
            None if corresponding < 0 else corresponding, None if element < 0 else element,
            depths[k], openings[k]))
    return graph, pieces


def _compile(registry: kovalith.SpatialRegistry, regions: bool, **settings: Any) -> Any:
    arguments, values = _arguments(registry, **settings)
    result = getattr(kovalith, "_compile_building")(*arguments, regions)
    _check_scale(result[0] if regions else result, values)
    return result


def _arguments(registry: kovalith.SpatialRegistry, *, distance: float = 1e-3,
               angle: float = 1.0, min_area: float = 0.01, wall_gap: float = 0.5, slab_gap: float = 2.0,
               merge: str = "plane", elements: Sequence[kovalith.Mesh] | None = None,
               element_kinds: Sequence[str] | None = None,
               opening_orientations: Sequence[str] | None = None) -> tuple[tuple[Any, ...], dict[str, float]]:
    """The native compiler's positional arguments, checked, and the settings' values."""
    if not isinstance(registry, kovalith.SpatialRegistry):
        raise TypeError(
            f"registry must be a kovalith.SpatialRegistry, not {type(registry).__name__}")
    values = {name: _setting(name, value) for name, value in (
        ("distance", distance), ("angle", angle), ("min_area", min_area),
        ("wall_gap", wall_gap), ("slab_gap", slab_gap))}
    if values["angle"] >= 90.0:
        raise ValueError(f"angle must be below 90 degrees, not {angle!r}")
    if merge not in MERGE_MODES:
        raise ValueError(f"merge must be one of {', '.join(MERGE_MODES)}, not {merge!r}")
    if elements is not None:
        elements = _meshes("elements", elements)
        element_kinds = _names("element_kinds", element_kinds, ELEMENT_KINDS, len(elements), "elements")
    elif element_kinds is not None:
        raise ValueError("element_kinds needs elements")
    opening_orientations = _names("opening_orientations", opening_orientations, OPENING_ORIENTATIONS,
                                  len(registry.apertures), "openings")
    return (registry, values["distance"], values["angle"], values["min_area"], values["wall_gap"],
            values["slab_gap"], merge, elements, element_kinds, opening_orientations), values


_DEFAULTS = {"distance": 1e-3, "wall_gap": 0.5, "slab_gap": 2.0}

#: A distance above this share of the model's extent suggests settings in
#: another unit than the model's (millimetre settings on a metre model).
DISTANCE_SHARE = 0.01


def _check_scale(graph: kovalith.SpatialGraph, values: dict[str, float], stacklevel: int = 4) -> None:
    """Warn about settings out of proportion with the model: gaps wider than
    the whole model, or a touching distance that only makes sense in another
    unit. Both join rooms that are not neighbours, and large gaps cost time."""
    nodes = graph.nodes
    if len(nodes) < 2:
        return
    centres = [n.centroid for n in nodes]
    extent = max(max(getattr(c, a) for c in centres) - min(getattr(c, a) for c in centres) for a in "xyz")
    if not (extent > 0.0 and math.isfinite(extent)):
        return
    # Defaults are left alone: a model of a few tiny rooms is not a mistake.
    for name in ("wall_gap", "slab_gap"):
        if values[name] > extent and values[name] != _DEFAULTS[name]:
            warnings.warn(f"{name}={values[name]:g} exceeds the model's extent ({extent:.4g} between room "
                          f"centres): are the settings in the model's unit?", stacklevel=stacklevel)
    if values["distance"] > DISTANCE_SHARE * extent and values["distance"] != _DEFAULTS["distance"]:
        warnings.warn(f"distance={values['distance']:g} is over {DISTANCE_SHARE:g} of the model's extent "
                      f"({extent:.4g} between room centres): are the settings in the model's unit?",
                      stacklevel=stacklevel)


def _meshes(name: str, values: Sequence[kovalith.Mesh]) -> list[kovalith.Mesh]:
    if isinstance(values, (str, bytes)):
        raise TypeError(f"{name} must be a sequence of kovalith.Mesh, not {type(values).__name__}")
    meshes = list(values)
    for k, mesh in enumerate(meshes):
        if not isinstance(mesh, kovalith.Mesh):
            raise TypeError(f"{name}[{k}] must be a kovalith.Mesh, not {type(mesh).__name__}")
    return meshes


def _names(name: str, values: Sequence[str] | None, allowed: tuple[str, ...], count: int,
           of: str) -> list[str] | None:
    if values is None:
        return None
    if isinstance(values, (str, bytes)):
        raise TypeError(f"{name} must be a sequence of str, not {type(values).__name__}")
    names = list(values)
    if len(names) != count:
        raise ValueError(f"{name} has {len(names)} items for {count} {of}")
    for k, value in enumerate(names):
        if value not in allowed:
            raise ValueError(f"{name}[{k}] must be one of {', '.join(allowed)}, not {value!r}")
    return names
