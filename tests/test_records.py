"""Value records: what is copied, what is shared, what is stored."""

import math

import pytest
from kovalith import Mesh, TopologicalEntity, Vector3D, Wire


def xyz(v):
    return (v.x, v.y, v.z)


class TestVector3D:
    def test_stores_floats(self):
        v = Vector3D(1, 2, 3)
        assert xyz(v) == (1.0, 2.0, 3.0)
        assert all(type(c) is float for c in xyz(v))

    def test_keeps_nan_and_infinities(self):
        v = Vector3D(float("nan"), float("inf"), -float("inf"))
        assert math.isnan(v.x) and v.y == math.inf and v.z == -math.inf

    def test_assignment(self):
        v = Vector3D(0, 0, 0)
        v.x, v.y, v.z = 1, 2.5, True
        assert xyz(v) == (1.0, 2.5, 1.0)

    def test_no_value_semantics_of_its_own(self):
        a, b = Vector3D(1, 2, 3), Vector3D(1, 2, 3)
        assert a != b and a == a
        assert hash(a) != hash(b)


class TestWire:
    def test_copies_end_points_in(self):
        a = Vector3D(1, 2, 3)
        w = Wire(a, a)
        a.x = 7.0
        assert w.start.x == 1.0 and w.end.x == 1.0

    def test_copies_end_points_out(self):
        w = Wire(Vector3D(1, 2, 3), Vector3D(4, 5, 6))
        assert w.start is not w.start
        w.start.x = 9.0
        assert w.start.x == 1.0

    def test_assignment_copies(self):
        w = Wire(Vector3D(0, 0, 0), Vector3D(0, 0, 0))
        b = Vector3D(4, 5, 6)
        w.end = b
        b.z = 0.0
        assert xyz(w.end) == (4.0, 5.0, 6.0)


class TestTopologicalEntity:
    def test_fields(self):
        t = TopologicalEntity(7, "Room", 7)
        assert (t.id, t.entity_type, t.parent_id) == (7, "Room", 7)
        assert TopologicalEntity(1, "", None).parent_id is None

    def test_parent_can_be_cleared(self):
        t = TopologicalEntity(2, "Storey", 1)
        t.parent_id = None
        assert t.parent_id is None
        t.parent_id = 2**64 - 1
        assert t.parent_id == 2**64 - 1

    def test_parent_is_required(self):
        with pytest.raises(TypeError):
            TopologicalEntity(1, "x")

    def test_text_round_trips(self):
        t = TopologicalEntity(1, "x", None)
        t.entity_type = "Raum \u00e4\U0001f3e0"
        assert t.entity_type == "Raum \u00e4\U0001f3e0"
        t.entity_type = ""
        assert t.entity_type == ""


def square():
    vs = [Vector3D(0, 0, 0), Vector3D(1, 0, 0), Vector3D(1, 1, 0), Vector3D(0, 1, 0)]
    return vs, [[0, 1, 2, 3]]


class TestMeshValidation:
    a, b, c = Vector3D(0, 0, 0), Vector3D(1, 0, 0), Vector3D(0, 1, 0)

    @pytest.mark.parametrize(
        "faces",
        [[], [[0, 1, 2]], [[0, 0, 0]], [[2, 1, 0, 1, 2]], ((0, 1, 2),), [range(3)]],
    )
    def test_valid(self, faces):
        m = Mesh([self.a, self.b, self.c], faces)
        assert m.faces == [list(f) for f in faces]
        assert m.validate() is None

    @pytest.mark.parametrize(
        "faces, exc, message",
        [
            ([[0, 1]], ValueError, "Face 0 has < 3 vertices."),
            ([[]], ValueError, "Face 0 has < 3 vertices."),
            ([[0, 1, 3]], IndexError, "Face 0 references out-of-bounds index 3."),
            ([[0, 1, 2], [0, 5, 1, 9]], IndexError, "Face 1 references out-of-bounds index 5."),
            ([[0, 1, 7], [0]], IndexError, "Face 0 references out-of-bounds index 7."),
            ([[0, 1, 2], [0, 1]], ValueError, "Face 1 has < 3 vertices."),
            ([[0, 1, 2]] * 3 + [[2**64 - 1] * 3], IndexError,
             f"Face 3 references out-of-bounds index {2**64 - 1}."),
        ],
    )
    def test_invalid(self, faces, exc, message):
        with pytest.raises(exc) as excinfo:
            Mesh([self.a, self.b, self.c], faces)
        assert excinfo.value.args == (message,)
        assert not getattr(excinfo.value, "__notes__", None)

    def test_empty_meshes(self):
        assert Mesh([], []).vertices == [] and Mesh([], []).faces == []
        assert len(Mesh([self.a, self.b], []).vertices) == 2
        with pytest.raises(IndexError):
            Mesh([], [[0, 0, 0]])


class TestMeshCopies:
    def test_constructor_copies(self):
        vs, fs = square()
        m = Mesh(vs, fs)
        vs[0].x = 5.0
        fs[0][0] = 3
        vs.append(Vector3D(9, 9, 9))
        assert m.vertices[0].x == 0.0 and m.faces == [[0, 1, 2, 3]] and len(m.vertices) == 4

    def test_reads_are_fresh_copies(self):
        m = Mesh(*square())
        m.vertices[0].x = 9.0
        m.faces[0][0] = 9
        assert m.vertices[0].x == 0.0 and m.faces == [[0, 1, 2, 3]]
        assert m.vertices is not m.vertices and m.faces[0] is not m.faces[0]

    def test_reads_back_exactly(self):
        vs = [Vector3D(0.1, -2.5e300, float("inf")), Vector3D(1, 2, 3), Vector3D(4, 5, 6)]
        faces = [[0, 1, 2], [2, 1, 0, 1]]
        m = Mesh(vs, faces)
        assert [xyz(v) for v in m.vertices] == [xyz(v) for v in vs]
        assert m.faces == faces
        assert all(type(i) is int for f in m.faces for i in f)


class Seq:
    """A sequence that is neither list nor tuple, with a lying length."""

    def __init__(self, items, length):
        self.items, self.length = items, length

    def __len__(self):
        return self.length

    def __getitem__(self, i):
        return self.items[i]


class TestSequenceRule:
    @pytest.mark.parametrize("length", [0, 2, 10**15])
    def test_length_only_sizes(self, length):
        vs, _ = square()
        m = Mesh(Seq(vs, length), Seq([Seq([0, 1, 2], 1)], length))
        assert len(m.vertices) == 4 and m.faces == [[0, 1, 2]]

    def test_failing_length_is_ignored(self):
        class NoLen(Seq):
            def __len__(self):
                raise RuntimeError("nope")

        m = Mesh(NoLen(square()[0], 0), [[0, 1, 2]])
        assert len(m.vertices) == 4

    @pytest.mark.parametrize("bad", ["abc", {0: 1}, {1, 2}, iter([]), 5])
    def test_non_sequences_refused(self, bad):
        with pytest.raises(TypeError):
            Mesh(bad, [])

    def test_list_mutated_during_conversion(self):
        vs = [Vector3D(0, 0, 0)] * 3
        faces = [[0, 1, 2]]

        class Shrinking:
            def __index__(self):
                faces.clear()
                return 0

        faces.append([Shrinking(), 0, 0])
        # Like the list iterator: the face being converted stays alive and is
        # finished; the emptied list then ends the iteration.
        m = Mesh(vs, faces)
        assert m.faces == [[0, 1, 2], [0, 0, 0]]
        assert faces == []
