"""A first look at kovalith: records, a mesh and a hand-made graph of rooms."""

from kovalith import GraphEdge, GraphNode, Mesh, SpatialGraph, SpatialRegistry, Vector3D, Wire


def box(x0, y0, z0, x1, y1, z1):
    """An axis-aligned box room with outward-facing quads."""
    vs = [Vector3D(x, y, z) for z in (z0, z1) for y in (y0, y1) for x in (x0, x1)]
    faces = [[0, 2, 3, 1], [4, 5, 7, 6], [0, 1, 5, 4], [2, 6, 7, 3], [0, 4, 6, 2], [1, 3, 7, 5]]
    return Mesh(vs, faces)


def fmt(v):
    return f"({v.x:g}, {v.y:g}, {v.z:g})"


def main():
    office = box(0, 0, 0, 4, 5, 3)
    corridor = box(4, 0, 0, 6, 5, 3)
    column = Wire(Vector3D(1, 1, 0), Vector3D(1, 1, 3))
    registry = SpatialRegistry([office, corridor], [column], [])
    print(f"registry: {len(registry.meshes)} rooms, {len(registry.wires)} column")
    print(f"office: {len(office.vertices)} vertices, {len(office.faces)} faces")

    nodes = [GraphNode(0, Vector3D(2, 2.5, 1.5)), GraphNode(1, Vector3D(5, 2.5, 1.5))]
    nodes[0].set_attribute("name", "Office 0.01")
    nodes[1].set_attribute("name", "Corridor 0")
    wall = GraphEdge(0, 1, 15.0, Vector3D(4, 2.5, 1.5), "VerticalWallContact")
    graph = SpatialGraph(nodes, [wall], [])
    for n in graph.nodes:
        print(f"room {n.index}: {n.get_attribute('name')} at {fmt(n.centroid)}")
    for e in graph.edges:
        print(f"contact {e.node_a}-{e.node_b}: {e.contact_type}, {e.shared_area:g} m2 at "
              f"{fmt(e.contact_centroid)}")


if __name__ == "__main__":
    main()
