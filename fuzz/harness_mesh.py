"""Mesh construction from arbitrary nested sequences, and reading it back."""

import kovalith
from decode import Reader

HOSTILE_ELEMENTS = [None, "0", 1.5, -1, 2**64, [], b"\x00\x01\x02", (0, 1, 2), range(3)]


def random_face(r: Reader, vertex_count: int):
    n = r.uint(6)
    face = [r.index(vertex_count) for _ in range(n)]
    if r.byte() % 32 == 0 and face:
        face[r.uint(n - 1)] = HOSTILE_ELEMENTS[r.byte() % len(HOSTILE_ELEMENTS)]
    return tuple(face) if r.byte() % 2 else face


def random_mesh_input(r: Reader):
    count = r.uint(12)
    vertices = [kovalith.Vector3D(r.coord(), r.coord(), r.coord()) for _ in range(count)]
    faces = [random_face(r, count) for _ in range(r.uint(8))]
    if r.byte() % 32 == 0:
        vertices.append(HOSTILE_ELEMENTS[r.byte() % len(HOSTILE_ELEMENTS)])
    return vertices, faces


def test_one_input(data: bytes) -> None:
    vertices, faces = random_mesh_input(Reader(data))
    try:
        mesh = kovalith.Mesh(vertices, faces)
    except (TypeError, ValueError, IndexError, OverflowError):
        return
    assert len(mesh.vertices) == len(vertices)
    assert mesh.faces == [list(f) for f in faces]
    assert mesh.validate() is None


if __name__ == "__main__":
    from decode import fuzz_forever

    fuzz_forever(test_one_input)
