"""Resolve a clash between two extruded rooms, then clean and slice the pieces.

    python3 examples/clash.py

Two rooms drawn on top of each other share part of their plans. The boolean
join splits them into the shared cell and the two remainders, each re-extruded
between the same floor and ceiling; the pieces are then welded and cut at
desk height.
"""

import sys

from kovalith import Mesh, Vector3D, boolean_join_extruded

FLOOR, HEIGHT = 0.0, 3.0
DESK_HEIGHT = 0.75


def prism(points, z0, z1):
    """An extruded plan outline: bottom cap first (the join reads face 0 as the plan)."""
    n = len(points)
    vs = [Vector3D(x, y, z0) for x, y in points] + [Vector3D(x, y, z1) for x, y in points]
    faces = [list(range(n - 1, -1, -1)), list(range(n, 2 * n))]
    faces += [[i, (i + 1) % n, (i + 1) % n + n, i + n] for i in range(n)]
    return Mesh(vs, faces)


def plan_area(mesh):
    """Shoelace area of face 0 projected to the plan."""
    vs = mesh.vertices
    ring = [vs[i] for i in mesh.faces[0]]
    s = sum(a.x * b.y - b.x * a.y for a, b in zip(ring, ring[1:] + ring[:1]))
    return abs(s) / 2


def prism_volume(mesh):
    zs = [v.z for v in mesh.vertices]
    return plan_area(mesh) * (max(zs) - min(zs))


def triangle_area(mesh):
    total = 0.0
    vs = mesh.vertices
    for f in mesh.faces:
        a, b, c = (vs[i] for i in f[:3])
        u = (b.x - a.x, b.y - a.y, b.z - a.z)
        v = (c.x - a.x, c.y - a.y, c.z - a.z)
        cx = (u[1] * v[2] - u[2] * v[1], u[2] * v[0] - u[0] * v[2], u[0] * v[1] - u[1] * v[0])
        total += 0.5 * (cx[0] ** 2 + cx[1] ** 2 + cx[2] ** 2) ** 0.5
    return total


def main():
    # Drawn by two teams: a meeting room and an L-shaped lounge overlapping it.
    meeting = prism([(0, 0), (6, 0), (6, 4), (0, 4)], FLOOR, HEIGHT)
    lounge = prism([(4, 2), (10, 2), (10, 8), (7, 8), (7, 5), (4, 5)], FLOOR, HEIGHT)
    print("before:")
    for name, m in (("meeting", meeting), ("lounge", lounge)):
        print(f"  {name:<8} plan {plan_area(m):6.2f} m2  volume {prism_volume(m):6.2f} m3")
    total_before = plan_area(meeting) + plan_area(lounge)

    cells = boolean_join_extruded(meeting, lounge, FLOOR, HEIGHT)
    labels = ["shared", "meeting only", "lounge only"]
    print(f"after the join: {len(cells)} disjoint cells")
    for label, cell in zip(labels, cells):
        print(f"  {label:<13} plan {plan_area(cell):6.2f} m2  volume {prism_volume(cell):6.2f} m3")
    shared = plan_area(cells[0])
    print(f"  plan area conserved: {sum(plan_area(c) for c in cells):.2f} m2 = "
          f"{total_before:.2f} - {shared:.2f} counted twice before")

    print(f"each cell welded (1 mm) and cut at desk height {DESK_HEIGHT} m:")
    for label, cell in zip(labels, cells):
        welded = cell.clean(0.001)
        above, below = welded.slice_by_plane(Vector3D(0, 0, 1), Vector3D(0, 0, DESK_HEIGHT))
        c = welded.compute_volume_centroid()
        print(f"  {label:<13} {len(welded.vertices)} vertices, vertex mean ({c.x:.2f}, {c.y:.2f}, {c.z:.2f}); "
              f"surface below {triangle_area(below):6.2f} m2, above {triangle_area(above):6.2f} m2")
    return 0


if __name__ == "__main__":
    sys.exit(main())
