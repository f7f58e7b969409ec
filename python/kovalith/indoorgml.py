"""The graph as OGC IndoorGML 2.0, in its JSON encoding.

`indoorgml_document` returns the document as a dict, `write_indoorgml` writes
it. Two thematic layers (``Topographic``), joined by inter-layer connections:

- ``adjacency``: a ``CellSpace`` per room and a ``CellBoundary`` per contact
  in its primal space; in its dual space a ``Node`` per room (at its
  centroid) and an ``Edge`` per contact;
- ``connectivity``: the same rooms, and a boundary and an edge only for the
  contacts a person can cross (the edge's ``via`` attribute, else its
  ``walkable`` one, as in `kovalith.db`), each boundary carrying ``via``;
- an ``InterLayerConnection`` (``EQUALS``) joins each room's cells and nodes
  in the two layers.

Each ``CellSpace`` has the room's properties in ``attributes`` (named and
converted as in every output, `kovalith.values`: ``index``, ``centroid``,
``global_id``, ``name``, ``storey``, ...) and an ``externalReference`` to the
``IfcSpace`` it came from (its GlobalId) and to its storey; ``level`` is the
storey's name. Each ``CellBoundary`` has the contact's properties
(``shared_area``, ``contact_type``, ...). ``Edge.weight`` is the walking
distance of `kovalith.routes` with ``cost="walk"``: room centroid to the
opening's centre (the ``opening_centroid`` attribute), or to the contact's
centroid where nothing was cut, to the other room's centroid; the edge's
curve runs through those three points. A contact whose weight is not finite
has no edge (no route crosses it).

Geometry, on the document's shared ``vertices``, in the model's unit:

- a room's ``cellSpaceGeom`` is a ``Solid`` of its mesh's faces, where the
  meshes are given (`meshes`);
- a contact's ``cellBoundaryGeom`` is its net region (the shared area with
  the openings and the parts nearer rooms own cut out), a ``Surface`` of one
  polygon with its holes or a ``CompositeSurface`` of several, where the
  regions are given (`regions`, from `kovalith.building.contact_regions`, or
  `contact_regions` here for a model read from IFC); a contact without a
  region (one lying wholly in an opening) has no geometry. A boundary of the
  connectivity layer is the passage through the contact and has none either.

The schema is the OGC working group's draft (``IndoorJSON2`` 0.1); validate
with ``jsonschema.Draft202012Validator``.
"""

from __future__ import annotations

import json
import math
import os
from typing import Any, Literal, Sequence

from kovalith import Mesh, SpatialGraph
from kovalith.values import building_documents, graph_properties

__all__ = ["VERSION", "indoorgml_document", "write_indoorgml", "compile_rooms", "contact_regions",
           "walking_length"]

VERSION = "0.1"
ADJACENCY, CONNECTIVITY = "adjacency", "connectivity"
# How people cross a walkable contact of a graph without ``via`` attributes.
DEFAULT_VIA = ("opening",)


def _point(value: Any) -> tuple[float, float, float] | None:
    if isinstance(value, list) and len(value) == 3 and all(type(v) is float for v in value):
        return value[0], value[1], value[2]
    return None


def _distance(p: tuple[float, float, float], q: tuple[float, float, float]) -> float:
    # The sum in the order kovalith.routes adds it.
    dx, dy, dz = q[0] - p[0], q[1] - p[1], q[2] - p[2]
    return math.sqrt((dx * dx + dy * dy) + dz * dz)


def walking_length(a: Any, through: Any, b: Any) -> float:
    """Room centroid `a` to the crossing point `through` to room centroid `b`
    (each ``(x, y, z)``), added as `kovalith.routes` adds a walk."""
    return _distance(a, through) + _distance(through, b)


def _via(props: dict[str, Any]) -> list[str]:
    via = props.get("via")
    if isinstance(via, list):
        return [v for v in via if isinstance(v, str)]
    return list(DEFAULT_VIA) if props.get("walkable") is True else []


class _Vertices:
    """The document's shared vertex list, appended to block by block."""

    def __init__(self) -> None:
        self.points: list[list[float]] = []

    def add(self, p: list[float]) -> int:
        self.points.append(p)
        return len(self.points) - 1

    def block(self, points: list[list[float]]) -> int:
        """Appends `points`; returns the index of the first."""
        first = len(self.points)
        self.points.extend(points)
        return first


def _finite(points: list[list[float]]) -> bool:
    return all(c - c == 0.0 for p in points for c in p)  # NaN - NaN and inf - inf are NaN


def _solid(mesh: Mesh, vertices: _Vertices) -> dict[str, Any] | None:
    # Through the mesh's arrays: no Vector3D and no list per face to read it.
    import numpy as np

    from kovalith.arrays import mesh_to_arrays

    arrays = mesh_to_arrays(mesh)
    if len(arrays.vertices) == 0 or not np.isfinite(arrays.vertices).all():
        return None
    first = vertices.block(arrays.vertices.tolist())
    corners = (arrays.indices.astype(np.int64) + first).tolist()
    offsets = arrays.offsets.tolist()
    faces = [[corners[i:j]] for i, j in zip(offsets, offsets[1:]) if j - i >= 3]
    return {"type": "Solid", "boundaries": [faces]} if faces else None


def _open_ring(points: Any) -> Any:
    """A ring without its closing point: the encoding closes rings itself."""
    if len(points) > 1 and all(a == b for a, b in zip(points[0], points[-1])):
        return points[:-1]
    return points


def _region_surfaces(regions: Sequence[Sequence[Any]], vertices: _Vertices) -> list[dict[str, Any] | None]:
    """The surface of each edge's region, its points appended to `vertices`
    in one block (one conversion of them all, not one per ring). A ring of
    fewer than three points or with a non-finite one is left out, and a
    polygon whose outer ring is, with its holes."""
    import numpy as np

    pieces: list[Any] = []
    shapes: list[list[list[int]]] = []  # per edge, per polygon: its rings' lengths
    for polygons in regions:
        edge_shape = []
        for polygon in polygons:
            rings = [_open_ring(np.asarray(r, dtype=np.float64).reshape(-1, 3))
                     for r in (polygon.outer, *polygon.holes)]
            pieces.extend(rings)
            edge_shape.append([len(r) for r in rings])
        shapes.append(edge_shape)
    if not pieces:
        return [None] * len(shapes)
    points = np.concatenate(pieces)
    finite = np.isfinite(points).all(axis=1)
    keep = np.ones(len(points), dtype=bool)
    usable: list[bool] = []
    row = 0
    for edge_shape in shapes:
        for lengths in edge_shape:
            outer_ok = True
            for j, n in enumerate(lengths):
                ok = n >= 3 and bool(finite[row:row + n].all()) and outer_ok
                if j == 0:
                    outer_ok = ok
                usable.append(ok)
                if not ok:
                    keep[row:row + n] = False
                row += n
    first = vertices.block(points[keep].tolist())
    out: list[dict[str, Any] | None] = []
    ring_no = 0
    for edge_shape in shapes:
        surfaces = []
        for lengths in edge_shape:
            rings = []
            for n in lengths:
                if usable[ring_no]:
                    rings.append(list(range(first, first + n)))
                    first += n
                ring_no += 1
            if rings:
                surfaces.append(rings)
        if not surfaces:
            out.append(None)
        elif len(surfaces) == 1:
            out.append({"type": "Surface", "boundaries": surfaces[0]})
        else:
            out.append({"type": "CompositeSurface", "boundaries": surfaces})
    return out


def _external_references(props: dict[str, Any]) -> list[dict[str, Any]]:
    out = []
    if isinstance(props.get("global_id"), str):
        out.append({"informationSystem": "IFC", "externalObject": {"name": props["global_id"]},
                    "role": props.get("ifc_class", "IfcSpace")})
    if isinstance(props.get("storey"), str):
        out.append({"informationSystem": "IFC", "externalObject": {"name": props["storey"]},
                    "role": "IfcBuildingStorey"})
    return out


def indoorgml_document(graph: SpatialGraph, *, meshes: Sequence[Mesh] | None = None,
                       regions: Sequence[Sequence[Any]] | None = None,
                       non_finite: Literal["omit", "raise"] = "omit") -> dict[str, Any]:
    """The IndoorGML 2.0 JSON document of a graph (see the module docstring).

    Parameters
    ----------
    graph : SpatialGraph
        Best from `kovalith.ifc.compile_rooms`; any graph works.
    meshes : sequence of Mesh, optional
        ``meshes[k]`` the room of ``graph.nodes[k]``: its cell's solid.
    regions : sequence of sequences of RegionPolygon, optional
        ``regions[k]`` the region of ``graph.edges[k]``: its boundary's surface.
    non_finite : {"omit", "raise"}
        As in `kovalith.values`; with ``"raise"`` a non-finite weight is
        refused too.

    Raises
    ------
    ValueError, TypeError
        What `kovalith.values.graph_properties` refuses; `meshes` or
        `regions` not one per node or edge.
    """
    nodes, edges = graph_properties(graph, non_finite=non_finite)
    if meshes is not None and len(meshes) != len(nodes):
        raise ValueError(f"meshes: {len(meshes)} meshes for {len(nodes)} nodes")
    if regions is not None and len(regions) != len(edges):
        raise ValueError(f"regions: {len(regions)} regions for {len(edges)} edges")
    vertices = _Vertices()
    centroid_at: list[int | None] = []
    centroids: list[tuple[float, float, float]] = []
    for node in graph.nodes:
        c = node.centroid
        point = [c.x, c.y, c.z]
        centroids.append((point[0], point[1], point[2]))
        centroid_at.append(vertices.add(point) if _finite([point]) else None)

    cells: dict[str, dict[str, Any]] = {}
    walk_cells: dict[str, dict[str, Any]] = {}
    # The cells by node position, and what they are bounded by, filled per edge.
    cell_list: list[dict[str, Any]] = []
    walk_cell_list: list[dict[str, Any]] = []
    for k, props in enumerate(nodes):
        cell: dict[str, Any] = {"type": "CellSpace", "poi": False, "duality": f"node-{k}", "boundedBy": []}
        if isinstance(props.get("name"), str):
            cell["name"] = props["name"]
        if isinstance(props.get("storey"), str):
            cell["level"] = props["storey"]
        if meshes is not None:
            solid = _solid(meshes[k], vertices)
            if solid is not None:
                cell["cellSpaceGeom"] = solid
        cell["attributes"] = {**props, "externalReference": _external_references(props)}
        cells[f"room-{k}"] = cell
        walk_cells[f"walk-room-{k}"] = walk_cell = {**cell, "duality": f"walk-node-{k}", "boundedBy": []}
        cell_list.append(cell)
        walk_cell_list.append(walk_cell)

    surfaces = _region_surfaces(regions, vertices) if regions is not None else None
    boundaries: dict[str, dict[str, Any]] = {}
    walk_boundaries: dict[str, dict[str, Any]] = {}
    edge_members: dict[str, dict[str, Any]] = {}
    walk_edges: dict[str, dict[str, Any]] = {}
    node_edges: list[list[str]] = [[] for _ in nodes]
    walk_node_edges: list[list[str]] = [[] for _ in nodes]
    for k, (edge, props) in enumerate(zip(graph.edges, edges)):
        a, b = edge.node_a, edge.node_b
        if a >= len(nodes) or b >= len(nodes):
            raise ValueError(f"edge {k} ({a}-{b}) names a node position beyond the {len(nodes)} nodes")
        virtual = props.get("virtual") is True
        boundary: dict[str, Any] = {"type": "CellBoundary", "isVirtual": virtual}
        if surfaces is not None and surfaces[k] is not None:
            boundary["cellBoundaryGeom"] = surfaces[k]
        boundary["attributes"] = props
        contact = f"contact-{k}"
        boundaries[contact] = boundary
        cell_list[a]["boundedBy"].append(contact)
        cell_list[b]["boundedBy"].append(contact)
        through = _point(props.get("opening_centroid")) or _point(props.get("contact_centroid"))
        weight = walking_length(centroids[a], through, centroids[b]) if through is not None else math.nan
        if not math.isfinite(weight):
            if non_finite == "raise":
                raise ValueError(f"edge {k} ({a}-{b}): its walking distance is not finite (non_finite='raise')")
            continue
        assert through is not None and centroid_at[a] is not None and centroid_at[b] is not None
        curve = {"type": "Curve", "boundaries": [centroid_at[a], vertices.add(list(through)), centroid_at[b]]}
        if a == b:  # a room touching itself: IndoorGML edges join two distinct nodes
            continue
        dual = f"edge-{k}"
        boundary["duality"] = dual
        edge_members[dual] = {"type": "Edge", "duality": contact, "weight": weight,
                              "connects": [f"node-{a}", f"node-{b}"], "geometry": curve}
        node_edges[a].append(dual)
        node_edges[b].append(dual)
        via = _via(props)
        if not via:
            continue
        walk_contact, walk_dual = f"walk-contact-{k}", f"walk-edge-{k}"
        walk_boundaries[walk_contact] = {
            "type": "CellBoundary", "isVirtual": virtual, "duality": walk_dual,
            "attributes": {"via": via, "length": weight, "contact": contact}}
        walk_cell_list[a]["boundedBy"].append(walk_contact)
        walk_cell_list[b]["boundedBy"].append(walk_contact)
        walk_edges[walk_dual] = {"type": "Edge", "duality": walk_contact, "weight": weight,
                                 "connects": [f"walk-node-{a}", f"walk-node-{b}"], "geometry": curve}
        walk_node_edges[a].append(walk_dual)
        walk_node_edges[b].append(walk_dual)

    def dual_nodes(prefix: str, cell_prefix: str, incident: list[list[str]]) -> dict[str, Any]:
        out = {}
        for k in range(len(nodes)):
            node: dict[str, Any] = {"type": "Node", "duality": f"{cell_prefix}{k}"}
            if centroid_at[k] is not None:
                node["geometry"] = {"type": "Point", "boundaries": centroid_at[k]}
            if incident[k]:
                node["connects"] = list(dict.fromkeys(incident[k]))
            out[f"{prefix}{k}"] = node
        return out

    for cell in (*cells.values(), *walk_cells.values()):
        if not cell["boundedBy"]:
            del cell["boundedBy"]
        else:
            cell["boundedBy"] = list(dict.fromkeys(cell["boundedBy"]))
    def layer(function: str, cells: Any, boundaries: Any, nodes: Any, edges: Any) -> dict[str, Any]:
        return {
            "type": "ThematicLayer", "semanticExtension": False, "theme": "Topographic",
            "primalSpace": {"function": function, "cellSpaceMember": cells, "cellBoundaryMember": boundaries},
            "dualSpace": {"isLogical": False, "nodeMember": nodes, "edgeMember": edges},
        }

    layers = {
        ADJACENCY: layer("adjacency", cells, boundaries, dual_nodes("node-", "room-", node_edges), edge_members),
        CONNECTIVITY: layer("connectivity", walk_cells, walk_boundaries,
                            dual_nodes("walk-node-", "walk-room-", walk_node_edges), walk_edges),
    }
    connections = [{"type": "InterLayerConnection", "connectedLayer1": ADJACENCY, "connectedLayer2": CONNECTIVITY,
                    "connectedNode1": f"node-{k}", "connectedNode2": f"walk-node-{k}",
                    "connectedCell1": f"room-{k}", "connectedCell2": f"walk-room-{k}",
                    "typeOfTopoExpression": "EQUALS"} for k in range(len(nodes))]
    return {"type": "IndoorJSON2", "version": VERSION, "layers": layers, "layerConnections": connections,
            "vertices": vertices.points}


def write_indoorgml(graph: SpatialGraph, path: str | os.PathLike[str], *, meshes: Sequence[Mesh] | None = None,
                    regions: Sequence[Sequence[Any]] | None = None,
                    non_finite: Literal["omit", "raise"] = "omit") -> None:
    """Write `indoorgml_document` as strict JSON (UTF-8); nothing is written
    when a value is refused."""
    with building_documents():
        text = json.dumps(indoorgml_document(graph, meshes=meshes, regions=regions, non_finite=non_finite),
                          allow_nan=False, ensure_ascii=False, check_circular=False)
    with open(path, "w", encoding="utf-8") as f:
        f.write(text + "\n")


def contact_regions(graph: SpatialGraph, rooms: Any, **settings: Any) -> list[list[Any]]:
    """The regions of the edges of a graph that `kovalith.ifc.compile_rooms`
    compiled from `rooms` with `settings`: ``result[k]`` for ``graph.edges[k]``.

    Compiles the rooms again through `kovalith.building.contact_regions`
    with the same settings, and checks that it gives the same contacts.

    Raises
    ------
    ValueError
        The compile gave other contacts (other settings than the graph's).
    """
    from kovalith import building, ifc

    again, regions, _ = building.contact_regions(rooms.registry(), **{**ifc.DEFAULT_SETTINGS, **settings},
                                               **ifc.compile_inputs(rooms))
    ours, theirs = graph.edges, again.edges
    if len(ours) != len(theirs) or any(
            (e.node_a, e.node_b, e.contact_type, e.shared_area) != (f.node_a, f.node_b, f.contact_type, f.shared_area)
            for e, f in zip(ours, theirs)):
        raise ValueError("graph: its contacts are not those of rooms with these settings; "
                         "give the settings the graph was compiled with")
    return regions


def compile_rooms(rooms: Any, **settings: Any) -> tuple[SpatialGraph, list[list[Any]]]:
    """`kovalith.ifc.compile_rooms` that also returns each edge's region, in
    one compile: ``(graph, regions)``, ``regions[k]`` for ``graph.edges[k]``.

    Takes the settings of `kovalith.ifc.compile_rooms`, with its defaults,
    and sets the same attributes (`kovalith.ifc.annotate`).
    """
    from kovalith import building, ifc

    unknown = set(settings) - set(ifc.DEFAULT_SETTINGS)
    if unknown:
        raise TypeError(f"unknown setting(s): {', '.join(sorted(unknown))}")
    graph, regions, _ = building.contact_regions(rooms.registry(), **{**ifc.DEFAULT_SETTINGS, **settings},
                                               **ifc.compile_inputs(rooms))
    ifc.annotate(graph, rooms)
    return graph, regions
