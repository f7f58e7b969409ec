"""Graph nodes and edges with attribute maps, the graph container and the registry."""

import gc
import sys

import pytest
from kovalith import GraphEdge, GraphNode, Mesh, SpatialGraph, SpatialRegistry, Vector3D, Wire


def origin():
    return Vector3D(0, 0, 0)


MAKERS = {
    "node": lambda: GraphNode(3, origin()),
    "edge": lambda: GraphEdge(0, 1, 1.0, origin(), "VerticalWallContact"),
}


@pytest.fixture(params=sorted(MAKERS))
def make_record(request):
    return MAKERS[request.param]


@pytest.fixture
def record(make_record):
    return make_record()


class TestAttributeMap:
    def test_starts_empty(self, record):
        assert record.get_all_attributes() == {}
        assert record.get_attribute("x") is None

    def test_returns_the_stored_object(self, record):
        value = "a" * 100
        record.set_attribute("name", value)
        assert record.get_attribute("name") is value

    def test_replacing_keeps_one_entry(self, record):
        record.set_attribute("k", "first")
        record.set_attribute("k", 5)
        assert record.get_all_attributes() == {"k": 5}

    def test_values_are_shared_not_copied(self, record):
        items = []
        record.set_attribute("items", items)
        items.append(1)
        assert record.get_attribute("items") is items
        assert record.get_all_attributes()["items"] is items

    def test_dict_is_a_new_snapshot(self, record):
        record.set_attribute("a", 1)
        d = record.get_all_attributes()
        d["b"] = 2
        assert record.get_all_attributes() == {"a": 1}
        assert record.get_all_attributes() is not d

    def test_none_is_stored(self, record):
        record.set_attribute("nothing", None)
        assert record.get_all_attributes() == {"nothing": None}

    @pytest.mark.parametrize("key", [1, b"k", None])
    def test_keys_must_be_str(self, record, key):
        with pytest.raises(TypeError) as excinfo:
            record.set_attribute(key, 1)
        assert excinfo.value.__notes__ == ["while processing 'key'"]
        with pytest.raises(TypeError):
            record.get_attribute(key)

    def test_lone_surrogate_key_refused(self, record):
        with pytest.raises(UnicodeEncodeError):
            record.set_attribute("\udcff", 1)
        assert record.get_all_attributes() == {}

    def test_many_keys_each_visited_once(self, record):
        expected = {f"key{i}": i for i in range(200)}
        for k, v in expected.items():
            record.set_attribute(k, v)
        record.set_attribute("key7", "seven")
        expected["key7"] = "seven"
        assert record.get_all_attributes() == expected
        assert all(record.get_attribute(k) == v for k, v in expected.items())
        assert record.get_attribute("key200") is None

    def test_references_released_with_the_record(self, make_record):
        record = make_record()
        value = object()
        before = sys.getrefcount(value)
        record.set_attribute("v", value)
        record.set_attribute("w", value)
        assert sys.getrefcount(value) == before + 2
        record.set_attribute("w", None)
        assert sys.getrefcount(value) == before + 1
        del record
        assert sys.getrefcount(value) == before

    def test_reference_cycles_are_collected(self, make_record):
        record = make_record()
        record.set_attribute("self", record)
        record.set_attribute("box", [record])
        probe = object()
        record.set_attribute("probe", probe)
        before = sys.getrefcount(probe)
        del record
        gc.collect()
        assert sys.getrefcount(probe) == before - 1

    def test_long_chain_is_freed_without_recursion_overflow(self):
        head = GraphNode(0, origin())
        for i in range(200_000):
            nxt = GraphNode(i, origin())
            nxt.set_attribute("next", head)
            head = nxt
        del head, nxt


class TestBorrowConflicts:
    def test_release_of_old_value_may_call_back(self):
        node = GraphNode(0, origin())
        seen = []

        class Finaliser:
            def __del__(self):
                # Runs while set_attribute replaces this value: the node must be
                # consistent and accessible again by then.
                seen.append(node.get_attribute("k"))
                node.set_attribute("other", 1)

        node.set_attribute("k", Finaliser())
        node.set_attribute("k", "new")
        assert seen == ["new"]
        assert node.get_all_attributes() == {"k": "new", "other": 1}

    def test_setter_conversion_calling_back(self):
        v = Vector3D(1, 2, 3)

        class Sneaky:
            def __float__(self):
                return v.x  # reads the object being assigned

        with pytest.raises(RuntimeError, match="Already mutably borrowed") as excinfo:
            v.y = Sneaky()
        assert excinfo.value.__notes__ == ["while processing 'y'"]
        assert (v.x, v.y, v.z) == (1.0, 2.0, 3.0)
        v.y = 4
        assert v.y == 4.0

    def test_registry_setter_sequence_calling_back(self):
        reg = SpatialRegistry([], [], [])

        class Peeking:
            def __len__(self):
                return 1

            def __getitem__(self, i):
                if i == 0:
                    reg.wires  # re-entry into the registry being assigned
                raise IndexError

        with pytest.raises(RuntimeError, match="Already mutably borrowed"):
            reg.meshes = Peeking()
        assert reg.meshes == []


class TestGraphRecords:
    def test_node_fields(self):
        c = Vector3D(1, 2, 3)
        n = GraphNode(5, c)
        c.x = 9.0
        assert n.index == 5 and n.centroid.x == 1.0
        n.centroid.x = 7.0
        assert n.centroid.x == 1.0

    def test_edge_fields_unchecked(self):
        e = GraphEdge(2, 2, -1.0, Vector3D(3, 1, 1.5), "")
        assert (e.node_a, e.node_b, e.shared_area, e.contact_type) == (2, 2, -1.0, "")
        e.contact_centroid.x = 5.0
        assert e.contact_centroid.x == 3.0


class TestSpatialGraph:
    def test_empty(self):
        g = SpatialGraph([], [], [])
        assert (g.nodes, g.edges, g.wire_contacts) == ([], [], [])

    def test_nodes_and_edges_are_shared(self):
        na, nb = GraphNode(0, origin()), GraphNode(1, origin())
        e = GraphEdge(0, 1, 1.0, origin(), "VerticalWallContact")
        nodes = [na, nb]
        g = SpatialGraph(nodes, (e,), [])
        assert g.nodes[0] is na and g.edges[0] is e
        assert g.nodes is not g.nodes
        na.set_attribute("name", "Kitchen")
        assert g.nodes[0].get_attribute("name") == "Kitchen"
        nodes.append(GraphNode(2, origin()))
        assert len(g.nodes) == 2

    def test_same_node_twice(self):
        n = GraphNode(0, origin())
        before = sys.getrefcount(n)
        g = SpatialGraph([n, n], [], [])
        assert g.nodes[0] is g.nodes[1] is n
        assert sys.getrefcount(n) == before + 2
        del g
        assert sys.getrefcount(n) == before

    def test_failed_construction_releases_taken_references(self):
        n = GraphNode(0, origin())
        before = sys.getrefcount(n)
        with pytest.raises(TypeError):
            SpatialGraph([n], [n], [])
        assert sys.getrefcount(n) == before

    def test_nodes_survive_the_graph(self):
        n = GraphNode(0, origin())
        n.set_attribute("a", 1)
        g = SpatialGraph([n], [], [])
        node = g.nodes[0]
        del g, n
        assert node.get_attribute("a") == 1

    def test_graph_in_attribute_cycle_is_collected(self):
        n = GraphNode(0, origin())
        g = SpatialGraph([n], [], [])
        n.set_attribute("graph", g)
        probe = object()
        n.set_attribute("probe", probe)
        before = sys.getrefcount(probe)
        del n, g
        gc.collect()
        assert sys.getrefcount(probe) == before - 1


def unit_mesh(offset=0.0):
    vs = [Vector3D(offset, 0, 0), Vector3D(offset + 1, 0, 0), Vector3D(offset, 1, 0)]
    return Mesh(vs, [[0, 1, 2]])


class TestSpatialRegistry:
    def test_empty(self):
        reg = SpatialRegistry([], [], [])
        assert (reg.meshes, reg.wires, reg.apertures) == ([], [], [])

    def test_copies_in_both_directions(self):
        m1, m2 = unit_mesh(), unit_mesh(5)
        reg = SpatialRegistry([m1, m1], [Wire(origin(), origin())], [m2])
        meshes = reg.meshes
        assert len(meshes) == 2 and meshes[0] is not m1 and meshes[0] is not meshes[1]
        assert meshes[1].vertices[1].x == 1.0
        assert reg.apertures[0].vertices[0].x == 5.0
        reg.meshes.append(m2)
        assert len(reg.meshes) == 2

    def test_assignment_replaces_whole_lists(self):
        reg = SpatialRegistry([], [], [])
        reg.meshes = (unit_mesh(), unit_mesh(2))
        reg.wires = [Wire(origin(), Vector3D(0, 0, 3))]
        assert len(reg.meshes) == 2 and reg.wires[0].end.z == 3.0

    @pytest.mark.parametrize(
        "attr, value", [("wires", [unit_mesh()]), ("apertures", "abc"), ("meshes", [unit_mesh(), 1])]
    )
    def test_failed_assignment_keeps_the_list(self, attr, value):
        reg = SpatialRegistry([unit_mesh()], [Wire(origin(), origin())], [unit_mesh()])
        with pytest.raises(TypeError) as excinfo:
            setattr(reg, attr, value)
        assert excinfo.value.__notes__ == [f"while processing '{attr}'"]
        assert len(getattr(reg, attr)) == 1
