"""Type stubs of the kovalith extension module."""

from collections.abc import Sequence
from typing import Any, SupportsFloat, SupportsIndex, final

_Float = SupportsFloat | SupportsIndex

@final
class Vector3D:
    """Standard 3D vector representation."""

    x: float
    y: float
    z: float
    def __new__(cls, x: _Float, y: _Float, z: _Float) -> Vector3D: ...

@final
class GraphNode:
    """Represents a node inside the spatial network with flexible metadata."""

    def __new__(cls, index: SupportsIndex, centroid: Vector3D) -> GraphNode: ...
    @property
    def index(self) -> int: ...
    @property
    def centroid(self) -> Vector3D: ...
    def set_attribute(self, key: str, value: Any) -> None: ...
    def get_attribute(self, key: str) -> Any: ...
    def get_all_attributes(self) -> dict[str, Any]: ...

@final
class GraphEdge:
    """Represents an edge inside the spatial network with flexible metadata."""

    def __new__(
        cls,
        node_a: SupportsIndex,
        node_b: SupportsIndex,
        shared_area: _Float,
        contact_centroid: Vector3D,
        contact_type: str,
    ) -> GraphEdge: ...
    @property
    def node_a(self) -> int: ...
    @property
    def node_b(self) -> int: ...
    @property
    def shared_area(self) -> float: ...
    @property
    def contact_centroid(self) -> Vector3D: ...
    @property
    def contact_type(self) -> str: ...
    def set_attribute(self, key: str, value: Any) -> None: ...
    def get_attribute(self, key: str) -> Any: ...
    def get_all_attributes(self) -> dict[str, Any]: ...

@final
class WireContact:
    """Represents intersection contacts between 1D linear elements (wires/columns) and 3D cells (meshes)."""

    @property
    def wire_index(self) -> int: ...
    @property
    def mesh_index(self) -> int: ...

@final
class SpatialGraph:
    """A high-performance spatial topological network mapping rooms, boundaries, and routing logic."""

    def __new__(
        cls,
        nodes: Sequence[GraphNode],
        edges: Sequence[GraphEdge],
        wire_contacts: Sequence[WireContact],
    ) -> SpatialGraph: ...
    @property
    def nodes(self) -> list[GraphNode]: ...
    @property
    def edges(self) -> list[GraphEdge]: ...
    @property
    def wire_contacts(self) -> list[WireContact]: ...
    def to_cypher_queries(self) -> list[str]: ...
    def find_shortest_path(self, start: SupportsIndex, end: SupportsIndex) -> list[int]: ...

@final
class Wire:
    """Represents a 1D linear element (columns, beams, or wires)."""

    start: Vector3D
    end: Vector3D
    def __new__(cls, start: Vector3D, end: Vector3D) -> Wire: ...

@final
class Mesh:
    """A high-performance polygonal mesh representation tailored for architectural geometry."""

    def __new__(
        cls, vertices: Sequence[Vector3D], faces: Sequence[Sequence[SupportsIndex]]
    ) -> Mesh: ...
    @property
    def vertices(self) -> list[Vector3D]: ...
    @property
    def faces(self) -> list[list[int]]: ...
    def validate(self) -> None: ...
    def clean(self, tolerance: _Float) -> Mesh: ...
    def compute_volume_centroid(self) -> Vector3D: ...
    def slice_by_plane(self, normal: Vector3D, origin: Vector3D) -> tuple[Mesh, Mesh]: ...

@final
class TopologicalEntity:
    """Represents any entity inside the topological hierarchy."""

    id: int
    entity_type: str
    parent_id: int | None
    def __new__(
        cls, id: SupportsIndex, entity_type: str, parent_id: SupportsIndex | None
    ) -> TopologicalEntity: ...

@final
class SpatialRegistry:
    """The main high-performance workspace container managing multi-mesh and multi-dimensional spatial elements."""

    @property
    def meshes(self) -> list[Mesh]: ...
    @meshes.setter
    def meshes(self, value: Sequence[Mesh]) -> None: ...
    @property
    def wires(self) -> list[Wire]: ...
    @wires.setter
    def wires(self, value: Sequence[Wire]) -> None: ...
    @property
    def apertures(self) -> list[Mesh]: ...
    @apertures.setter
    def apertures(self, value: Sequence[Mesh]) -> None: ...
    def __new__(
        cls, meshes: Sequence[Mesh], wires: Sequence[Wire], apertures: Sequence[Mesh]
    ) -> SpatialRegistry: ...
    def build_spatial_graph(self, tolerance: _Float) -> SpatialGraph: ...

@final
class IfcParser:
    """The native IFC parser engine, parsing points and wire loops in linear time."""

    @staticmethod
    def parse_ifc_points_and_faces(ifc_content: str) -> Mesh: ...

def boolean_join_extruded(
    mesh_a: Mesh, mesh_b: Mesh, z_base: _Float, height: _Float
) -> list[Mesh]: ...
