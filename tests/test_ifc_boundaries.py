"""Second-level space boundaries: the authored energy building
(tests/energy_models.py) as it loads, and the boundaries written into a copy."""

import pytest

from energy_models import ELEMENTS, FAR, OPENINGS, ROOMS, STOREY, STOREY_NAMES, VARIANTS, energy_file
from ifc_models import require_ifcopenshell, skip_under_asan

ifcopenshell = require_ifcopenshell()

import kovalith.ifc as kifc  # noqa: E402

pytestmark = skip_under_asan


@pytest.fixture(scope="module")
def model_dir(tmp_path_factory):
    return tmp_path_factory.mktemp("energy")


def bounds(mesh):
    """(x0, y0, z0, x1, y1, z1) of a mesh."""
    columns = list(zip(*((v.x, v.y, v.z) for v in mesh.vertices)))
    return tuple(map(min, columns)) + tuple(map(max, columns))


def world(box, offset):
    """(x0, y0, z0, x1, y1, z1) of a plan box in the world."""
    return (box.x[0] + offset[0], box.y[0] + offset[1], box.z[0], box.x[1] + offset[0], box.y[1] + offset[1], box.z[1])


@pytest.mark.parametrize("variant", list(VARIANTS))
def test_authored_building_loads_as_planned(model_dir, variant):
    """Every space, element, opening and filling of the plan reads back in
    world metres at its place, with its class, storey and host, whatever the
    schema, unit or offset."""
    path, ids = energy_file(variant, model_dir)
    rooms = kifc.load(path, threads=1)
    offset = VARIANTS[variant].get("offset", (0.0, 0.0))
    names = {gid: name for name, gid in ids.items()}
    assert rooms.skipped == [] and rooms.fallbacks == {}
    assert rooms.schema.startswith(VARIANTS[variant].get("schema", "IFC4"))
    assert rooms.unit_scale == (1e-3 if VARIANTS[variant].get("unit") == "mm" else 1.0)
    assert rooms.storeys == [(name, pytest.approx(k * STOREY)) for k, name in enumerate(STOREY_NAMES)]

    def read(products, meshes):
        return {names[p.global_id]: (p, bounds(m)) for p, m in zip(products, meshes)}

    spaces = read(rooms.room_products, rooms.rooms)
    assert set(spaces) == set(ROOMS)
    for name, (storey, box) in ROOMS.items():
        product, got = spaces[name]
        assert (product.ifc_class, product.storey) == ("IfcSpace", STOREY_NAMES[storey])
        assert got == pytest.approx(world(box, offset), abs=1e-6), name
    elements = read(rooms.element_products, rooms.elements)
    assert set(elements) == set(ELEMENTS)
    for name, (ifc_class, storey, box) in ELEMENTS.items():
        product, got = elements[name]
        assert (product.ifc_class, product.storey) == (ifc_class, STOREY_NAMES[storey])
        assert got == pytest.approx(world(box, offset), abs=1e-6), name
    openings = read(rooms.opening_products, rooms.openings)
    assert set(openings) == set(OPENINGS) | {filling for _, _, filling, _ in OPENINGS.values()}
    for name, (host, box, filling, filling_class) in OPENINGS.items():
        product, got = openings[name]
        assert (product.host, product.filled_by, product.filled_by_class) == (
            ELEMENTS[host][0], (ids[filling],), (filling_class,))
        assert got == pytest.approx(world(box, offset), abs=1e-6), name
        filled, inner = openings[filling]
        assert filled.ifc_class == filling_class
        outer = world(box, offset)
        assert all(a - 1e-6 <= b <= c <= d + 1e-6
                   for a, b, c, d in zip(outer[:3], inner[:3], inner[3:], outer[3:])), filling
