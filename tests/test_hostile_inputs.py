"""Python objects that fight back: each gets a clear exception or the documented result."""

import sys

import pytest
from kovalith import GraphEdge, GraphNode, Mesh, SpatialGraph, SpatialRegistry, Vector3D, Wire

V = Vector3D(0, 0, 0)


class Boom(Exception):
    pass


class RaisingIter:
    """A sequence whose iteration raises midway."""

    def __init__(self, items, fail_at):
        self.items, self.fail_at = items, fail_at

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        if i == self.fail_at:
            raise Boom("iteration failed")
        return self.items[i]


class RaisingLen(RaisingIter):
    def __len__(self):
        raise Boom("len failed")


class NegativeLen(RaisingIter):
    def __len__(self):
        return -1


class HugeLen(RaisingIter):
    def __len__(self):
        return sys.maxsize


class RaisingIndex:
    def __index__(self):
        raise Boom("index failed")


class WrongIndex:
    def __index__(self):
        return "three"


class RaisingFloat:
    def __float__(self):
        raise Boom("float failed")


class WrongFloat:
    def __float__(self):
        return "1.0"


class Grower:
    """Appends to the list being converted each time it is converted."""

    def __init__(self, target):
        self.target = target

    def __index__(self):
        if len(self.target) < 50:
            self.target.append([0, 0, 0])
        return 0


# (description, call, expected exception or None for success)
CASES = [
    ("__iter__ raises in vertices", lambda: Mesh(RaisingIter([V, V], 1), []), Boom),
    ("__iter__ raises in a face", lambda: Mesh([V], [RaisingIter([0, 0, 0], 2)]), Boom),
    ("__len__ raises", lambda: Mesh(RaisingLen([V, V, V], 99), [[0, 1, 2]]), None),
    ("__len__ negative", lambda: Mesh(NegativeLen([V], 99), []), None),
    ("__len__ huge", lambda: Mesh(HugeLen([V], 99), [HugeLen([0, 0, 0], 99)]), None),
    ("__index__ raises", lambda: Mesh([V], [[0, RaisingIndex(), 0]]), Boom),
    ("__index__ returns non-int", lambda: GraphNode(WrongIndex(), V), TypeError),
    ("__float__ raises", lambda: Vector3D(RaisingFloat(), 0, 0), Boom),
    ("__float__ returns non-float", lambda: GraphEdge(0, 0, WrongFloat(), V, ""), TypeError),
    ("nan and inf coordinates", lambda: Mesh([Vector3D(float("nan"), float("inf"), -1e308)], []), None),
    ("lone surrogate contact type", lambda: GraphEdge(0, 0, 0.0, V, "\ud800"), UnicodeEncodeError),
    ("bytes as a face", lambda: Mesh([V], [b"\x00\x00\x00"]), None),
    ("str as a face", lambda: Mesh([V], ["000"]), TypeError),
    ("dict as nodes", lambda: SpatialGraph({0: GraphNode(0, V)}, [], []), TypeError),
    ("generator as wires", lambda: SpatialRegistry([], (w for w in []), []), TypeError),
    ("subclass of list", lambda: Mesh(type("L", (list,), {})([V]), []), None),
]


@pytest.mark.parametrize("description, call, expected", CASES, ids=[c[0] for c in CASES])
def test_hostile_input(description, call, expected):
    if expected is None:
        call()
    else:
        with pytest.raises(expected):
            call()


def test_list_growing_during_conversion_is_converted_as_iterated():
    faces = [[0, 0, 0]]
    faces[0][1] = Grower(faces)
    m = Mesh([V], faces)
    assert len(m.faces) == len(faces) == 2


def test_vertices_list_cleared_by_a_face_conversion():
    vertices = [V, V, V]

    class Clearing:
        def __index__(self):
            vertices.clear()
            return 0

    # Vertices are converted before faces, so the mesh keeps three of them.
    m = Mesh(vertices, [[Clearing(), 1, 2]])
    assert len(m.vertices) == 3 and vertices == []


def test_setter_converting_value_that_mutates_registry_input():
    meshes = [Mesh([V], [])] * 3

    class Mutating:
        def __len__(self):
            meshes.clear()
            return 3

        def __getitem__(self, i):
            return meshes[i]

    reg = SpatialRegistry([], [], [])
    reg.meshes = Mutating()
    assert reg.meshes == []
