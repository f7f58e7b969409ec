"""Mesh.clean, Mesh.slice_by_plane and boolean_join_extruded on random valid
meshes with hostile geometry: NaN, infinite, huge and tiny coordinates,
repeated corners, zero-area and self-intersecting faces.

clean is compared with the plain dictionary weld of the test suite; slice and
join are checked for what must hold of any output (valid meshes of the
promised shape, the receiver unchanged)."""

import math

import kovalith
from decode import Reader, mesh_data, same_floats, use_test_helpers
from kovalith import Mesh, Vector3D

use_test_helpers()
from test_clean import reference_clean  # noqa: E402

SLICE_NORMALS = [(0.0, 0.0, 1.0), (1.0, 0.0, 0.0), (1.0, 1.0, 0.0), (0.0, 0.0, 1e-9),
                 (0.0, 0.0, 0.0), (float("nan"), 0.0, 1.0), (1e-5, 1e-5, 1e-5),
                 (float("inf"), 0.0, 0.0), (1e300, 1e300, 0.0)]


def make(points, faces) -> Mesh:
    return Mesh([Vector3D(*p) for p in points], faces)


def xyz(mesh: Mesh):
    return [(v.x, v.y, v.z) for v in mesh.vertices]


def revalidated(mesh: Mesh) -> Mesh:
    """The mesh rebuilt through the validating constructor."""
    return Mesh(mesh.vertices, mesh.faces)


def is_subsequence(short, long) -> bool:
    it = iter(long)
    return all(any(repr(x) == repr(y) for y in it) for x in short)


def check_clean(mesh: Mesh, points, faces, tolerance: float) -> None:
    out = mesh.clean(tolerance)
    expected_points, expected_faces = reference_clean(points, faces, tolerance)
    assert same_floats(xyz(out), expected_points)
    assert out.faces == expected_faces
    revalidated(out)
    # What holds whatever the welding rule: fewer vertices, each an exact copy
    # of an input vertex in input order, and no face with a collapsed edge.
    assert len(out.vertices) <= len(points) and is_subsequence(xyz(out), points)
    assert len(out.faces) <= len(faces)
    for face in out.faces:
        assert len(face) >= 3 and all(face[k] != face[k - 1] for k in range(len(face)))
    negative = mesh.clean(-tolerance)
    assert same_floats(xyz(negative), xyz(out)) and negative.faces == out.faces


def check_slice(mesh: Mesh, faces, normal, origin) -> None:
    length = math.sqrt(normal[0] * normal[0] + normal[1] * normal[1] + normal[2] * normal[2])
    try:
        above, below = mesh.slice_by_plane(Vector3D(*normal), Vector3D(*origin))
    except ValueError as e:
        assert str(e) == "Invalid plane normal vector." and length < 1e-8
        return
    assert not length < 1e-8
    fan = sum(len(f) - 2 for f in faces)
    pieces = len(above.faces) + len(below.faces)
    # A whole triangle goes to one side; a cut one becomes 1 + 2 triangles.
    assert fan <= pieces <= 3 * fan and (pieces - fan) % 2 == 0
    for half in (above, below):
        assert all(len(f) == 3 for f in half.faces)
        revalidated(half)
    if math.isnan(length):
        assert above.faces == [] and len(below.faces) == fan


def check_join(mesh_a: Mesh, mesh_b: Mesh, z_base: float, height: float) -> None:
    try:
        cells = kovalith.boolean_join_extruded(mesh_a, mesh_b, z_base, height)
    except ValueError as e:
        name = "mesh_a" if not mesh_a.faces else "mesh_b"
        assert str(e) == f"{name} has no faces"
        return
    assert mesh_a.faces and mesh_b.faces
    for cell in cells:
        revalidated(cell)
        vertices, faces = xyz(cell), cell.faces
        n = len(vertices) // 2
        # A prism of the cell's outline: bottom ring, lid, one quad per side.
        assert len(vertices) == 2 * n and n >= 3 and len(faces) == n + 2
        assert faces[0] == list(range(n - 1, -1, -1)) and faces[1] == list(range(n, 2 * n))
        assert faces[2:] == [[i, (i + 1) % n, (i + 1) % n + n, i + n] for i in range(n)]
        assert all(math.isfinite(c) for p in vertices for c in p[:2])
        assert same_floats([p[2] for p in vertices[:n]], [z_base] * n)
        assert same_floats([p[:2] for p in vertices[n:]], [p[:2] for p in vertices[:n]])


def test_one_input(data: bytes) -> None:
    r = Reader(data)
    points, faces = mesh_data(r)
    mesh = make(points, faces)
    check_clean(mesh, points, faces, r.tolerance())

    normal = r.choice(SLICE_NORMALS) if r.byte() % 4 else (r.coord(), r.coord(), r.coord())
    origin = (r.grid(), r.grid(), r.grid()) if r.byte() % 4 else (r.coord(), r.coord(), r.coord())
    check_slice(mesh, faces, normal, origin)

    other = make(*mesh_data(r))
    z_base, height = (0.0, 3.0) if r.byte() % 4 else (r.coord(), r.coord())
    check_join(mesh, other, z_base, height)
    check_join(other, mesh, z_base, height)

    # Every operation leaves its receiver and arguments as they were.
    assert same_floats(xyz(mesh), points) and mesh.faces == faces


if __name__ == "__main__":
    from decode import fuzz_forever

    fuzz_forever(test_one_input)
