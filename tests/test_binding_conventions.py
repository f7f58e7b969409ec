"""How every entry point matches, converts and reports its arguments."""

import inspect
import sys
import weakref

import kovalith
import pytest
from kovalith import (
    GraphEdge,
    GraphNode,
    IfcParser,
    Mesh,
    SpatialGraph,
    SpatialRegistry,
    TopologicalEntity,
    Vector3D,
    Wire,
    WireContact,
)

CLASSES = [
    "Vector3D",
    "GraphNode",
    "GraphEdge",
    "WireContact",
    "SpatialGraph",
    "Wire",
    "Mesh",
    "TopologicalEntity",
    "SpatialRegistry",
    "IfcParser",
]


def origin():
    return Vector3D(0, 0, 0)


def node():
    return GraphNode(0, origin())


def edge():
    return GraphEdge(0, 1, 1.0, origin(), "VerticalWallContact")


# (callable, signature text, __doc__, valid arguments by name)
SURFACE = [
    (Vector3D, "(x, y, z)", "Standard 3D vector representation.", dict(x=1, y=2, z=3)),
    (
        GraphNode,
        "(index, centroid)",
        "Represents a node inside the spatial network with flexible metadata.",
        dict(index=1, centroid=origin()),
    ),
    (
        GraphEdge,
        "(node_a, node_b, shared_area, contact_centroid, contact_type)",
        "Represents an edge inside the spatial network with flexible metadata.",
        dict(node_a=0, node_b=1, shared_area=2.0, contact_centroid=origin(), contact_type="x"),
    ),
    (
        SpatialGraph,
        "(nodes, edges, wire_contacts)",
        "A high-performance spatial topological network mapping rooms, boundaries, and routing logic.",
        dict(nodes=[], edges=[], wire_contacts=[]),
    ),
    (
        Wire,
        "(start, end)",
        "Represents a 1D linear element (columns, beams, or wires).",
        dict(start=origin(), end=origin()),
    ),
    (
        Mesh,
        "(vertices, faces)",
        "A high-performance polygonal mesh representation tailored for architectural geometry.",
        dict(vertices=[], faces=[]),
    ),
    (
        TopologicalEntity,
        "(id, entity_type, parent_id)",
        "Represents any entity inside the topological hierarchy.",
        dict(id=1, entity_type="Room", parent_id=None),
    ),
    (
        SpatialRegistry,
        "(meshes, wires, apertures)",
        "The main high-performance workspace container managing multi-mesh and "
        "multi-dimensional spatial elements.",
        dict(meshes=[], wires=[], apertures=[]),
    ),
]

def plain(value):
    """A record as plain data, for comparing what two calls built."""
    if isinstance(value, (list, tuple)):
        return [plain(v) for v in value]
    if isinstance(value, Vector3D):
        return ("Vector3D", value.x, value.y, value.z)
    if isinstance(value, Mesh):
        return ("Mesh", plain(value.vertices), value.faces)
    if isinstance(value, Wire):
        return ("Wire", plain(value.start), plain(value.end))
    if isinstance(value, GraphNode):
        return ("GraphNode", value.index, plain(value.centroid))
    if isinstance(value, GraphEdge):
        return ("GraphEdge", value.node_a, value.node_b, value.shared_area,
                plain(value.contact_centroid), value.contact_type)
    return value


def triangle(x):
    return Mesh([Vector3D(x, 0, 0), Vector3D(x + 1, 0, 0), Vector3D(x, 1, 0)], [[0, 1, 2]])


# A different value for every parameter of each constructor.
DISTINCT = {
    Vector3D: dict(x=1.5, y=-2.0, z=3.25),
    GraphNode: dict(index=4, centroid=Vector3D(7, 8, 9)),
    GraphEdge: dict(node_a=3, node_b=5, shared_area=2.5, contact_centroid=Vector3D(1, 2, 3),
                    contact_type="HorizontalSlabContact"),
    SpatialGraph: dict(nodes=[GraphNode(0, Vector3D(1, 1, 1))],
                       edges=[GraphEdge(0, 0, 1.0, Vector3D(0, 0, 2), "x")], wire_contacts=[]),
    Wire: dict(start=Vector3D(1, 2, 3), end=Vector3D(4, 5, 6)),
    Mesh: dict(vertices=[Vector3D(0, 0, 0), Vector3D(1, 0, 0), Vector3D(0, 1, 0)], faces=[[0, 1, 2]]),
    TopologicalEntity: dict(id=11, entity_type="Room", parent_id=7),
    SpatialRegistry: dict(meshes=[triangle(0)], wires=[Wire(Vector3D(0, 0, 0), Vector3D(0, 0, 1))],
                          apertures=[triangle(5), triangle(9)]),
}


METHODS = [
    (node, "set_attribute", "($self, key, value)", None, dict(key="k", value=1)),
    (
        node,
        "get_attribute",
        "($self, key)",
        "Safely fetches attribute or returns Python None, bypassing ambiguous conversion traits.",
        dict(key="k"),
    ),
    (node, "get_all_attributes", "($self)", "Packs all attributes into a standard Python dictionary.", {}),
    (edge, "set_attribute", "($self, key, value)", None, dict(key="k", value=1)),
    (edge, "get_attribute", "($self, key)", None, dict(key="k")),
    (edge, "get_all_attributes", "($self)", None, {}),
    (lambda: Mesh([], []), "validate", "($self)", None, {}),
]


def test_module_registers_the_classes_in_order():
    names = [n for n in vars(kovalith) if not n.startswith("__")]
    assert names[: len(CLASSES)] == CLASSES
    assert kovalith.__doc__ == ""


@pytest.mark.parametrize("name", CLASSES)
class TestClassShape:
    def test_named_as_builtins(self, name):
        cls = getattr(kovalith, name)
        assert cls.__module__ == "builtins"
        assert cls.__qualname__ == name
        assert cls.__bases__ == (object,)

    def test_cannot_be_subclassed(self, name):
        with pytest.raises(TypeError):
            type("Sub", (getattr(kovalith, name),), {})

    def test_no_dict_no_weakref_slot(self, name):
        cls = getattr(kovalith, name)
        assert "__dict__" not in dir(cls)
        assert cls.__weakrefoffset__ == 0
        assert cls.__dictoffset__ == 0

    def test_no_special_methods_of_its_own(self, name):
        cls = getattr(kovalith, name)
        own = {k for k in vars(cls) if k.startswith("__") and k.endswith("__")}
        assert own <= {"__new__", "__doc__", "__module__", "__text_signature__"}


@pytest.mark.parametrize("cls", [WireContact, IfcParser])
def test_classes_without_constructor(cls):
    with pytest.raises(TypeError, match=rf"cannot create 'builtins.{cls.__name__}' instances"):
        cls()
    assert cls.__text_signature__ is None


def test_wire_contact_docstring():
    assert WireContact.__doc__ == (
        "Represents intersection contacts between 1D linear elements (wires/columns) and 3D cells (meshes)."
    )


def test_instances_reject_new_attributes_and_weakrefs():
    v = Vector3D(0, 0, 0)
    with pytest.raises(AttributeError):
        v.w = 1
    with pytest.raises(TypeError):
        weakref.ref(v)


@pytest.mark.parametrize("cls, sig, doc, kwargs", SURFACE, ids=lambda x: getattr(x, "__name__", None))
class TestConstructors:
    def test_signature_and_doc(self, cls, sig, doc, kwargs):
        assert cls.__text_signature__ == sig
        assert str(inspect.signature(cls)) == sig
        assert cls.__doc__ == doc

    def test_by_position_and_by_keyword(self, cls, sig, doc, kwargs):
        assert type(cls(*kwargs.values())) is cls
        assert type(cls(**kwargs)) is cls
        first, *rest = kwargs
        assert type(cls(kwargs[first], **{k: kwargs[k] for k in rest})) is cls
        # With a different value for every parameter, each one must land in
        # the property of its name however the call was spelled.
        values = DISTINCT[cls]
        expected = {k: plain(v) for k, v in values.items()}
        first, *rest = values
        for obj in (cls(*values.values()), cls(**values), cls(**dict(reversed(values.items()))),
                    cls(values[first], **{k: values[k] for k in reversed(rest)})):
            assert {k: plain(getattr(obj, k)) for k in values} == expected

    def test_missing_argument(self, cls, sig, doc, kwargs):
        with pytest.raises(TypeError, match="missing required argument"):
            cls(*list(kwargs.values())[:-1])

    def test_surplus_argument(self, cls, sig, doc, kwargs):
        with pytest.raises(TypeError, match="positional argument"):
            cls(*kwargs.values(), 0)

    def test_unknown_keyword(self, cls, sig, doc, kwargs):
        with pytest.raises(TypeError, match="unexpected keyword argument 'bogus'"):
            cls(**kwargs, bogus=1)

    def test_argument_given_twice(self, cls, sig, doc, kwargs):
        first = next(iter(kwargs))
        with pytest.raises(TypeError, match=f"multiple values for argument '{first}'"):
            cls(kwargs[first], **kwargs)

    def test_argument_errors_precede_conversion(self, cls, sig, doc, kwargs):
        # A bad value in the first place must not be reported when the call
        # itself is malformed: matching happens before any conversion.
        bad = [object()] * len(kwargs)
        with pytest.raises(TypeError, match="positional argument"):
            cls(*bad, 0)


@pytest.mark.parametrize("make, name, sig, doc, kwargs", METHODS, ids=lambda x: x if isinstance(x, str) else None)
class TestMethods:
    def test_signature_and_doc(self, make, name, sig, doc, kwargs):
        method = getattr(type(make()), name)
        assert method.__text_signature__ == sig
        params = list(inspect.signature(method).parameters)
        assert params == ["self", *kwargs]
        assert method.__doc__ == doc

    def test_by_position_and_by_keyword(self, make, name, sig, doc, kwargs):
        def outcome(call):
            obj = make()
            if hasattr(obj, "set_attribute"):
                obj.set_attribute("k", "before")
                obj.set_attribute("other", 2.5)
            result = call(getattr(obj, name))
            state = obj.get_all_attributes() if hasattr(obj, "get_all_attributes") else None
            return plain(result), state

        spelled = [outcome(lambda m: m(*kwargs.values())), outcome(lambda m: m(**kwargs)),
                   outcome(lambda m: m(**dict(reversed(kwargs.items()))))]
        assert spelled[0] == spelled[1] == spelled[2]
        result, state = spelled[0]
        if name == "set_attribute":
            assert state == {"k": 1, "other": 2.5}
        elif name == "get_attribute":
            assert result == "before"

    def test_malformed_calls(self, make, name, sig, doc, kwargs):
        method = getattr(make(), name)
        with pytest.raises(TypeError):
            method(*kwargs.values(), 0)
        with pytest.raises(TypeError):
            method(**kwargs, bogus=0)
        if kwargs:
            with pytest.raises(TypeError):
                method(*list(kwargs.values())[:-1])


def notes(excinfo):
    return getattr(excinfo.value, "__notes__", [])


class BadIndex:
    def __index__(self):
        raise ZeroDivisionError("no index")


class BadFloat:
    def __float__(self):
        raise ZeroDivisionError("no float")


# (callable, args, failing argument name, expected exception)
CONVERSION_FAILURES = [
    (Vector3D, ("a", 0, 0), "x", TypeError),
    (Vector3D, (0, None, 0), "y", TypeError),
    (Vector3D, (0, 0, 10**400), "z", OverflowError),
    (Vector3D, (BadFloat(), 0, 0), "x", ZeroDivisionError),
    (GraphNode, (-1, origin()), "index", OverflowError),
    (GraphNode, (2**64, origin()), "index", OverflowError),
    (GraphNode, (1.0, origin()), "index", TypeError),
    (GraphNode, (BadIndex(), origin()), "index", ZeroDivisionError),
    (GraphNode, (1, (0, 0, 0)), "centroid", TypeError),
    (GraphEdge, (0, 1, "1", origin(), "t"), "shared_area", TypeError),
    (GraphEdge, (0, 1, 1.0, origin(), b"t"), "contact_type", TypeError),
    (GraphEdge, (0, 1, 1.0, origin(), "\ud800"), "contact_type", UnicodeEncodeError),
    (Wire, (origin(), 5), "end", TypeError),
    (Mesh, ("abc", []), "vertices", TypeError),
    (Mesh, ({origin()}, []), "vertices", TypeError),
    (Mesh, ([origin()], [[0, -1, 0]]), "faces", OverflowError),
    (Mesh, ([origin()], ["abc"]), "faces", TypeError),
    (Mesh, ([origin()], [[0, 0.0, 0]]), "faces", TypeError),
    (Mesh, ([origin()], (x for x in [])), "faces", TypeError),
    (TopologicalEntity, (1, "t", -1), "parent_id", OverflowError),
    (TopologicalEntity, (1, 5, None), "entity_type", TypeError),
    (SpatialGraph, ([origin()], [], []), "nodes", TypeError),
    (SpatialGraph, ([], [node()], []), "edges", TypeError),
    (SpatialGraph, ([], [], "abc"), "wire_contacts", TypeError),
    (SpatialRegistry, ([], [Mesh([], [])], []), "wires", TypeError),
    (SpatialRegistry, ([], [], {}), "apertures", TypeError),
]


@pytest.mark.parametrize("cls, args, name, exc", CONVERSION_FAILURES)
def test_conversion_failure_names_the_parameter(cls, args, name, exc):
    with pytest.raises(exc) as excinfo:
        cls(*args)
    assert notes(excinfo) == [f"while processing '{name}'"]


def test_first_failing_argument_ends_the_call():
    with pytest.raises(TypeError) as excinfo:
        Vector3D("a", "b", "c")
    assert notes(excinfo) == ["while processing 'x'"]


@pytest.mark.parametrize(
    "value, expected",
    [(True, 1.0), (3, 3.0), (2**53, 2.0**53), (float("inf"), float("inf"))],
)
def test_float_rule_accepts_numbers(value, expected):
    assert Vector3D(value, 0, 0).x == expected


class Indexable:
    def __index__(self):
        return 7


class Floatable:
    def __float__(self):
        return 2.5


def test_dunder_conversions_are_honoured():
    assert Vector3D(Floatable(), Indexable(), 0).x == 2.5
    assert Vector3D(Floatable(), Indexable(), 0).y == 7.0
    assert GraphNode(Indexable(), origin()).index == 7
    assert GraphNode(2**64 - 1, origin()).index == 2**64 - 1


@pytest.mark.parametrize(
    "target, attr, value, exc",
    [
        (lambda: Vector3D(1, 2, 3), "x", "s", TypeError),
        (lambda: Wire(origin(), origin()), "start", 5, TypeError),
        (lambda: TopologicalEntity(1, "t", None), "id", -1, OverflowError),
        (lambda: TopologicalEntity(1, "t", 4), "parent_id", -1, OverflowError),
        (lambda: TopologicalEntity(1, "t", None), "entity_type", 5, TypeError),
        (lambda: SpatialRegistry([], [], []), "meshes", "abc", TypeError),
    ],
)
def test_failed_assignment_names_the_attribute_and_keeps_the_value(target, attr, value, exc):
    obj = target()
    before = getattr(obj, attr)
    with pytest.raises(exc) as excinfo:
        setattr(obj, attr, value)
    assert notes(excinfo) == [f"while processing '{attr}'"]
    after = getattr(obj, attr)
    if isinstance(before, (int, float, str, type(None), list)):
        assert after == before or (isinstance(before, list) and len(after) == len(before))
    else:
        assert (after.x, after.y, after.z) == (before.x, before.y, before.z)


@pytest.mark.parametrize(
    "target, attr",
    [
        (lambda: Vector3D(1, 2, 3), "x"),
        (lambda: Wire(origin(), origin()), "end"),
        (lambda: TopologicalEntity(1, "t", None), "parent_id"),
        (lambda: SpatialRegistry([], [], []), "apertures"),
    ],
)
def test_deleting_a_writable_attribute(target, attr):
    with pytest.raises(AttributeError, match="property has no deleter"):
        delattr(target(), attr)


@pytest.mark.parametrize(
    "target, attr",
    [
        (lambda: Mesh([], []), "faces"),
        (node, "index"),
        (edge, "contact_type"),
        (lambda: SpatialGraph([], [], []), "nodes"),
    ],
)
def test_read_only_attributes(target, attr):
    obj = target()
    with pytest.raises(AttributeError):
        setattr(obj, attr, getattr(obj, attr))
    with pytest.raises(AttributeError):
        delattr(obj, attr)


def test_types_survive_reimport():
    saved = sys.modules.pop("kovalith")
    try:
        import importlib

        again = importlib.import_module("kovalith")
        assert again is not saved
        assert again.Vector3D is saved.Vector3D
        assert isinstance(again.Vector3D(0, 0, 0), saved.Vector3D)
    finally:
        sys.modules["kovalith"] = saved
