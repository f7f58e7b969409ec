"""Routes people walk through a spatial graph: through doors, by walking
distance, from one room to all, or from the nearest of several exits.

Every function takes a `kovalith.SpatialGraph` first and reads its routing
structure (neighbour lists with centroid costs), which is built natively on
the first route query of a graph -- `SpatialGraph.find_shortest_path`
included -- and reused by every later one. Nothing a route reads from it can
change: a graph's node and edge lists, the nodes' centroids and the edges'
ends are all read-only. Edge attributes can change at any time, so the
choices that read them (``via="openings"``, ``cost="walk"``, a predicate) are
evaluated afresh at every call, in O(edges).

Which edges a route may cross (`via`):

- ``"any"``: every contact, walls and slabs included (what
  `SpatialGraph.find_shortest_path` uses);
- ``"openings"``: contacts whose ``openings`` attribute (the positions of the
  apertures in the contact) is a non-empty sequence: doors, stair openings.
  Edges without the attribute, or with ``None`` or ``[]``, are shut;
- ``"walkable"``: contacts whose ``walkable`` attribute is ``True`` (set by
  `kovalith.ifc.compile_rooms`: a door, a passage, an open boundary, a stair
  hole, a stair or a ramp); any other value, or none, shuts the edge;
- a callable: ``via(edge)`` is called once per edge of the graph, in edge
  order, and the edge is admitted when the result is true; an exception it
  raises propagates unchanged;
- any other collection (set, list, tuple, ...): the admitted edges, given as
  `GraphEdge` objects of the graph (by identity) or as positions in
  ``graph.edges``, or both. ``bytes``, ``bytearray`` and ``memoryview`` are
  refused with ``TypeError``: they hold small ints, and ``b"any"`` read as
  edge positions would admit edges 97, 110 and 121.

What a route costs (`cost`), in the model's length unit:

- ``"centroid"``: the straight line between the two room centroids
  (``sqrt((dx*dx + dy*dy) + dz*dz)``);
- ``"walk"``: room centroid to the edge's ``opening_centroid`` attribute (a
  `Vector3D`), or to its ``contact_centroid`` when that attribute is ``None``
  or absent, then on to the next room centroid.

Ties. When several routes have the same length, the one returned is fixed
and the same for every function here: the search settles the unsettled room
with the smallest distance, the lowest position winning among equal
distances, and changes a room's distance only when the new one is strictly
smaller (so an equal alternative keeps the earlier predecessor, and among
parallel edges the first in edge order wins). With several sources all start
at 0. An edge whose cost is infinite or NaN (a non-finite centroid) is never
used.
"""

from __future__ import annotations

import math
import numbers
import operator
from collections.abc import Callable, Collection, Iterable
from typing import TYPE_CHECKING, Any, NamedTuple, Union

import kovalith
from kovalith import GraphEdge, SpatialGraph

if TYPE_CHECKING:
    import numpy as np
    import numpy.typing as npt

__all__ = ["Reach", "Route", "distances", "nearest", "route"]

_search: Callable[..., Any] = getattr(kovalith, "_route_search")
_size: Callable[..., Any] = getattr(kovalith, "_route_size")

Via = Union[str, Callable[[GraphEdge], object], Collection[Union[GraphEdge, int]]]

_COSTS = ("centroid", "walk")
_VIA_NAMES = "'any', 'openings', 'walkable'"


class Route(NamedTuple):
    """A route between two rooms.

    Attributes
    ----------
    rooms : list of int
        Room (node) positions in travel order, first the start, last the end;
        ``[start]`` when start and end are the same room; ``[]`` when the end
        cannot be reached.
    edges : list of int
        Positions in ``graph.edges`` of the contacts crossed, one fewer than
        `rooms`.
    length : float
        Total cost in the model's length unit; ``inf`` when unreachable.
    """

    rooms: list[int]
    edges: list[int]
    length: float


class Reach(NamedTuple):
    """Shortest routes from one or several sources to every room.

    Attributes
    ----------
    distance : numpy.ndarray of float64
        Per room, the length of its shortest route from the nearest source
        (model length unit); ``inf`` when no source reaches it (or only
        beyond the limit).
    predecessor : numpy.ndarray of int64
        Per room, the room it is reached from; -1 for sources and unreached
        rooms.
    edge : numpy.ndarray of int64
        Per room, the position in ``graph.edges`` of the contact it is
        reached through; -1 for sources and unreached rooms.
    source : numpy.ndarray of int64
        Per room, the source its route starts from; -1 when unreached.
    """

    distance: npt.NDArray[np.float64]
    predecessor: npt.NDArray[np.int64]
    edge: npt.NDArray[np.int64]
    source: npt.NDArray[np.int64]

    def route(self, room: int) -> Route:
        """The route from the nearest source to `room`, read from the arrays.

        Raises
        ------
        ValueError
            When `room` is not a position of the graph's rooms.
        """
        room = _room(room, len(self.distance), "room")
        if math.isinf(self.distance[room]):
            return Route([], [], math.inf)
        rooms, edges = [room], []
        while self.predecessor[rooms[-1]] >= 0:
            edges.append(int(self.edge[rooms[-1]]))
            rooms.append(int(self.predecessor[rooms[-1]]))
        return Route(rooms[::-1], edges[::-1], float(self.distance[room]))


def route(graph: SpatialGraph, start: int, end: int, *, via: Via = "any",
          cost: str = "centroid") -> Route:
    """A shortest route between two rooms over the admitted contacts.

    Parameters
    ----------
    graph : SpatialGraph
    start, end : int
        Room positions in ``graph.nodes``.
    via : str, callable or collection
        Which contacts may be crossed (see the module documentation):
        ``"any"``, ``"openings"``, ``"walkable"``, a predicate on
        `GraphEdge`, or a collection of edges or edge positions.
    cost : {"centroid", "walk"}
        Centroid to centroid, or walking distance through the contact's
        opening (model length unit).

    Returns
    -------
    Route
        Empty rooms and edges and an infinite length when `end` cannot be
        reached from `start` over the admitted contacts.

    Raises
    ------
    TypeError
        For a graph that is not a `SpatialGraph`, a room that is not an int,
        a `via` of bytes, or a `via` collection holding something else than
        edges and ints.
    ValueError
        For a room outside the graph, an unknown `via` or `cost`, or a `via`
        edge (or position) that is not in the graph.
    IndexError
        When an edge of the graph names a node outside its node list.
    """
    rooms, edges = _counts(graph)
    start = _room(start, rooms, "start")
    end = _room(end, rooms, "end")
    mode, walk = _via(graph, via, edges), _walk(cost)
    found, crossed, length = _search(graph, (start,), end, mode, walk, math.inf)
    return Route(found, crossed, length)


def distances(graph: SpatialGraph, start: int, *, via: Via = "any", cost: str = "centroid",
              limit: float | None = None) -> Reach:
    """Shortest routes from one room to every room.

    Parameters
    ----------
    graph : SpatialGraph
    start : int
        Room position in ``graph.nodes``.
    via, cost
        As for `route`.
    limit : float, optional
        Rooms farther than `limit` (model length unit) are reported
        unreached; a room at exactly `limit` is reached. The search stops
        early, so a small limit is cheap. None: no limit.

    Returns
    -------
    Reach
        Arrays of one entry per room.

    Raises
    ------
    ImportError
        When NumPy is not installed (``pip install 'kovalith[arrays]'``).
    TypeError, ValueError, IndexError
        As for `route`; ValueError also for a negative or NaN `limit`.
    """
    rooms, edges = _counts(graph)
    return _reach(graph, [_room(start, rooms, "start")], via, cost, limit, edges)


def nearest(graph: SpatialGraph, sources: Iterable[int], *, via: Via = "any",
            cost: str = "centroid", limit: float | None = None) -> Reach:
    """Shortest routes from the nearest of several sources to every room
    (for example the nearest exit of every room of a building).

    Parameters
    ----------
    graph : SpatialGraph
    sources : iterable of int
        Room positions, all starting at distance 0; repeats are allowed.
    via, cost, limit
        As for `distances`.

    Returns
    -------
    Reach
        ``source`` names, per room, the source its route starts from; among
        equally near sources the tie rule of the module decides.

    Raises
    ------
    ImportError
        When NumPy is not installed (``pip install 'kovalith[arrays]'``).
    TypeError, ValueError, IndexError
        As for `distances`; ValueError also when `sources` is empty.
    """
    rooms, edges = _counts(graph)
    if isinstance(sources, (str, bytes)) or not isinstance(sources, Iterable):
        raise TypeError(f"sources: expected an iterable of room positions, got "
                        f"{type(sources).__name__!r}")
    chosen = [_room(s, rooms, "sources") for s in sources]
    if not chosen:
        raise ValueError("sources: at least one room is needed")
    return _reach(graph, chosen, via, cost, limit, edges)


def _reach(graph: SpatialGraph, sources: list[int], via: Via, cost: str,
           limit: float | None, edges: int) -> Reach:
    mode, walk = _via(graph, via, edges), _walk(cost)
    bound = _limit(limit)
    try:
        import numpy as np
    except ImportError as error:  # pragma: no cover - numpy is a test dependency
        raise ImportError("kovalith.routes needs NumPy for distance arrays: "
                          "pip install 'kovalith[arrays]'") from error
    distance, predecessor, edge, source = _search(graph, sources, None, mode, walk, bound)
    return Reach(np.frombuffer(distance, dtype=np.float64),
                 np.frombuffer(predecessor, dtype=np.int64),
                 np.frombuffer(edge, dtype=np.int64),
                 np.frombuffer(source, dtype=np.int64))


def _counts(graph: SpatialGraph) -> tuple[int, int]:
    if not isinstance(graph, SpatialGraph):
        raise TypeError(f"graph: expected SpatialGraph, got {type(graph).__name__!r}")
    rooms, edges = _size(graph)
    return int(rooms), int(edges)


def _room(value: object, rooms: int, name: str) -> int:
    if isinstance(value, bool):
        raise TypeError(f"{name}: expected a room position (int), got bool")
    try:
        position = operator.index(value)  # type: ignore[arg-type]
    except TypeError:
        raise TypeError(f"{name}: expected a room position (int), got "
                        f"{type(value).__name__!r}") from None
    if not 0 <= position < rooms:
        raise ValueError(f"{name}: room {position} is not in the graph ({rooms} rooms)")
    return position


def _walk(cost: object) -> bool:
    if not isinstance(cost, str) or cost not in _COSTS:
        raise ValueError(f"cost: expected 'centroid' or 'walk', got {cost!r}")
    return cost == "walk"


def _via(graph: SpatialGraph, via: object, edge_count: int) -> object:
    """None (every edge), "openings", or one byte per edge."""
    if isinstance(via, str):
        if via == "any":
            return None
        if via == "openings":
            return "openings"
        if via == "walkable":
            return bytes(e.get_attribute("walkable") is True for e in graph.edges)
        raise ValueError(f"via: expected {_VIA_NAMES}, a predicate or a collection of "
                         f"edges, got {via!r}")
    if isinstance(via, (bytes, bytearray, memoryview)):
        raise TypeError(f"via: expected {_VIA_NAMES}, a predicate or a collection of edges, "
                        f"got {type(via).__name__!r} (bytes are not a collection of edges)")
    # getattr rather than callable(): no narrowing of `via` to a synthetic type.
    predicate = getattr(via, "__call__", None)
    if predicate is not None:
        return bytes(1 if predicate(e) else 0 for e in graph.edges)
    if not isinstance(via, Iterable):
        raise TypeError(f"via: expected {_VIA_NAMES}, a predicate or a collection of "
                        f"edges, got {type(via).__name__!r}")
    mask = bytearray(edge_count)
    wanted: dict[int, GraphEdge] = {}
    for item in via:
        if isinstance(item, GraphEdge):
            wanted[id(item)] = item
        elif isinstance(item, bool) or not hasattr(item, "__index__"):
            raise TypeError(f"via: expected GraphEdge objects or edge positions, got "
                            f"{type(item).__name__!r}")
        else:
            position = operator.index(item)
            if not 0 <= position < edge_count:
                raise ValueError(f"via: edge {position} is not in the graph "
                                 f"({edge_count} edges)")
            mask[position] = 1
    if wanted:
        found = set()
        for k, e in enumerate(graph.edges):
            if id(e) in wanted:
                mask[k] = 1
                found.add(id(e))
        if len(found) != len(wanted):
            raise ValueError("via: an edge object is not in the graph")
    return mask


def _limit(limit: object) -> float:
    if limit is None:
        return math.inf
    if isinstance(limit, bool) or not isinstance(limit, numbers.Real):
        raise TypeError(f"limit: expected a number, got {type(limit).__name__!r}")
    value = float(limit)
    if not value >= 0.0:
        raise ValueError(f"limit: expected a non-negative length, got {value!r}")
    return value
