"""Rooms named the way people name them: GlobalId, number (Name) or LongName."""

import pytest

from kovalith import GraphNode, SpatialGraph, Vector3D
from kovalith.ifc import find_room

# global_id, name, long_name, storey. Room 1's Name is room 0's GlobalId, two
# rooms share a LongName up to case, and room 5's Name is digits.
ROOMS = [
    ("2O2Fr$t4X7Zf8NOew3FLOH", "0.01", "Kitchen", "Level 0"),
    ("3cUkl32yn9qRSPvBJVyWYp", "2O2Fr$t4X7Zf8NOew3FLOH", "Living Room", "Level 0"),
    ("1hOSvn6df7F8_7GcBWlRGQ", "1.01", "Office", "Level 1"),
    ("0lrLs5RGv4Lx1AVVAqKQ6w", "1.02", "office", "Level 1"),
    ("2ZB8XQ$Dn8EuHu6b1rrFVz", "Store2", None, None),
    ("1Bq0n9H9X5mP3xvC3YdZb_", "5", "Plant", "Roof"),
]


@pytest.fixture(scope="module")
def graph():
    nodes = []
    for i, (gid, name, long_name, storey) in enumerate(ROOMS):
        node = GraphNode(i, Vector3D(i, 0, 0))
        for key, value in (("global_id", gid), ("name", name), ("long_name", long_name), ("storey", storey)):
            node.set_attribute(key, value)
        nodes.append(node)
    return SpatialGraph(nodes, [], [])


@pytest.mark.parametrize("key, expected", [
    (ROOMS[0][0], 0),            # a GlobalId wins over another room whose Name is the same text
    (ROOMS[1][0], 1),
    ("0.01", 0),                 # Name, exact
    ("kitchen", 0),              # LongName, any case
    ("LIVING ROOM", 1),
    ("store2", 4),               # Name, any case, when nothing matches exactly
    ("5", 5),                    # a Name of digits is a Name first
    ("3", 3),                    # then digits are a node position
    ("nowhere", KeyError("no room named 'nowhere'")),
    ("99", KeyError("no room named '99'")),
    ("Office", ValueError("2 rooms match 'Office': 1.01 'Office' on Level 1, GlobalId 1hOSvn6df7F8_7GcBWlRGQ; "
                          "1.02 'office' on Level 1, GlobalId 0lrLs5RGv4Lx1AVVAqKQ6w. Give the number or GlobalId")),
])
def test_find_room(graph, key, expected):
    if isinstance(expected, Exception):
        with pytest.raises(type(expected)) as info:
            find_room(graph, key)
        assert str(info.value.args[0]).startswith(str(expected.args[0]))
    else:
        assert find_room(graph, key) == expected


def test_candidates_name_rooms_without_storey_or_long_name(graph):
    nodes = list(graph.nodes)
    twin = GraphNode(len(nodes), Vector3D(9, 0, 0))
    for key, value in (("global_id", "0ewm8Yc1T2B8bxOJm2Zb3p"), ("name", "Store2")):
        twin.set_attribute(key, value)
    with pytest.raises(ValueError, match="Store2 on no storey, GlobalId 2ZB8XQ\\$Dn8EuHu6b1rrFVz; "
                                         "Store2 on no storey, GlobalId 0ewm8Yc1T2B8bxOJm2Zb3p"):
        find_room(SpatialGraph(nodes + [twin], [], []), "Store2")
