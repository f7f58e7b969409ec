"""Reading IFC models: world coordinates and metres, products, and errors a user can act on."""

import sys

import pytest

from ifc_models import FAR, VARIANTS, office_file, skip_under_asan, require_ifcopenshell

ifcopenshell = require_ifcopenshell()

import kovalith.ifc as kifc  # noqa: E402

pytestmark = skip_under_asan


@pytest.fixture(scope="session")
def model_dir(tmp_path_factory):
    return tmp_path_factory.mktemp("ifc")


@pytest.fixture(scope="session")
def loaded(model_dir):
    """variant -> (layout, IfcRooms), each loaded once."""
    out = {}
    for variant in VARIANTS:
        path, layout = office_file(variant, model_dir)
        out[variant] = (layout, kifc.load(path))
    return out


def box(mesh):
    vs = [(v.x, v.y, v.z) for v in mesh.vertices]
    return tuple(min(c) for c in zip(*vs)), tuple(max(c) for c in zip(*vs))


@pytest.mark.parametrize("variant", list(VARIANTS))
class TestLoad:
    def test_rooms_are_the_spaces_in_world_metres(self, loaded, variant):
        layout, rooms = loaded[variant]
        assert [p.global_id for p in rooms.room_products] == [s.global_id for s in layout.spaces]
        for mesh, product, space in zip(rooms.rooms, rooms.room_products, layout.spaces):
            (x0, y0, z0), (x1, y1, z1) = box(mesh)
            assert (x0, y0, x1, y1) == pytest.approx(space.rect, abs=1e-6)
            assert (z0, z1) == pytest.approx(space.z, abs=1e-6)
            assert (product.name, product.long_name, product.ifc_class) == (space.name, space.long_name, "IfcSpace")
            assert product.storey == layout.storey_names[space.storey]
            assert product.elevation == pytest.approx(space.z[0], abs=1e-9)
        assert rooms.skipped == []
        assert [name for name, _ in rooms.storeys] == layout.storey_names

    def test_openings_are_doors_windows_and_holes_with_their_hosts(self, loaded, variant):
        layout, rooms = loaded[variant]
        by_id = {p.global_id: (p, m) for p, m in zip(rooms.opening_products, rooms.openings)}
        holes = [gid for gid, _, _ in layout.stairs]
        expected = {gid for gid, _, _ in layout.doors} | set(layout.door_openings.values()) | set(layout.windows)
        # every window fills an opening too: openings = doors + windows, each twice, plus the stair holes
        assert len(by_id) == 2 * (len(layout.doors) + len(layout.windows)) + len(holes)
        assert expected | set(holes) <= set(by_id)
        for door, opening in layout.door_openings.items():
            product = by_id[opening][0]
            assert (product.host, product.filled_by, product.filled_by_class) == ("IfcWall", (door,), ("IfcDoor",))
        for gid, lower, upper in layout.stairs:
            product, mesh = by_id[gid]
            assert (product.host, product.filled_by) == ("IfcSlab", ())
            (x0, y0, _), (x1, y1, _) = box(mesh)
            assert (x0, y0, x1, y1) == pytest.approx(layout.stair_rect, abs=1e-6)

    def test_wires_run_along_the_axis_of_columns_beams_and_segments(self, loaded, variant):
        layout, rooms = loaded[variant]
        ox, oy = layout.origin
        by_id = {p.global_id: w for p, w in zip(rooms.wire_products, rooms.wires)}
        assert len(by_id) == len(layout.columns) + len(layout.beams) + len(layout.segments)
        for s, (gid, _) in enumerate(layout.columns):
            w = by_id[gid]
            ends = [(w.start.x - ox, w.start.y - oy, w.start.z), (w.end.x - ox, w.end.y - oy, w.end.z)]
            assert ends == [pytest.approx((0.65, 0.65, 3.3 * s), abs=1e-6),
                            pytest.approx((0.65, 0.65, 3.3 * s + 3.0), abs=1e-6)]
        for gid, _ in layout.beams + layout.segments:
            w = by_id[gid]
            assert abs(w.start.z - w.end.z) < 1e-6 and abs(w.start.y - w.end.y) < 1e-6
        classes = {p.ifc_class for p in rooms.wire_products}
        assert classes == {"IfcColumn", "IfcBeam", "IfcFlowSegment" if variant == "ifc2x3" else "IfcPipeSegment"}


def test_millimetre_and_far_variants_give_the_same_geometry(loaded):
    _, metres = loaded["metres"]
    for variant, (dx, dy) in (("millimetres", (0.0, 0.0)), ("far", FAR)):
        _, other = loaded[variant]
        for a, b in zip(metres.rooms, other.rooms):
            (a0, a1), (b0, b1) = box(a), box(b)
            assert [b0[0] - dx, b0[1] - dy, b0[2], b1[0] - dx, b1[1] - dy, b1[2]] == pytest.approx(
                [*a0, *a1], abs=1e-6)
    assert loaded["millimetres"][1].unit_scale == pytest.approx(0.001)


@pytest.mark.parametrize("variant", ["metres", "far"])
def test_open_cascade_one_thread_and_an_opened_model_read_the_same(model_dir, loaded, variant):
    path, _ = office_file(variant, model_dir)
    one = kifc.load(ifcopenshell.open(str(path)), threads=1, geometry_library="opencascade")
    reference = loaded[variant][1]
    assert [p.global_id for p in one.opening_products] == [p.global_id for p in reference.opening_products]
    for a, b in zip(one.rooms + one.openings, reference.rooms + reference.openings):
        assert sorted((v.x, v.y, v.z) for v in a.vertices) == sorted((v.x, v.y, v.z) for v in b.vertices)
        assert len(a.faces) == len(b.faces)
    ends = [(w.start.x, w.start.y, w.start.z, w.end.x, w.end.y, w.end.z) for w in one.wires]
    assert ends == [pytest.approx((w.start.x, w.start.y, w.start.z, w.end.x, w.end.y, w.end.z), abs=1e-9)
                    for w in reference.wires]


def space_model():
    """A tiny model: one storey, one wall, and the spaces the test adds."""
    from ifc_office import author_office

    return author_office(storeys=1, offices_per_side=2)


class TestErrors:
    def test_missing_file(self, tmp_path):
        with pytest.raises(FileNotFoundError, match="no such file: .*missing.ifc"):
            kifc.load(tmp_path / "missing.ifc")

    @pytest.mark.parametrize("content", [b"", b"not an ifc file\n", b"ISO-10303-21;\nHEADER;\n\x00\xff"])
    def test_unreadable_file(self, tmp_path, content):
        path = tmp_path / "bad.ifc"
        path.write_bytes(content)
        with pytest.raises(ValueError, match="cannot read .*bad.ifc as IFC"):
            kifc.load(path)

    def test_directory(self, tmp_path):
        with pytest.raises(ValueError, match="is a directory"):
            kifc.load(tmp_path)

    def test_wrong_source_type(self):
        with pytest.raises(TypeError, match="source must be a path or an ifcopenshell.file, not int"):
            kifc.load(3)

    def test_no_spaces_names_storeys_and_element_counts(self):
        model, _ = space_model()
        for space in model.by_type("IfcSpace"):
            model.remove(space)
        with pytest.raises(kifc.NoSpacesError) as info:
            kifc.load(model)
        text = str(info.value)
        assert "has no IfcSpace" in text and "'Level 0'" in text
        assert f"{len(model.by_type('IfcWall'))} IfcWall" in text and "4 IfcDoor" in text

    def test_failing_geometry_is_skipped_counted_and_reported(self):
        model, layout = space_model()
        broken = model.by_type("IfcSpace")[1]
        broken.Representation.Representations[0].Items[0].SweptArea.XDim = 0.0
        import ifcopenshell.api.root

        bare = ifcopenshell.api.root.create_entity(model, ifc_class="IfcColumn", name="no body")
        rooms = kifc.load(model)
        assert len(rooms.rooms) == len(layout.spaces) - 1
        assert broken.GlobalId not in {p.global_id for p in rooms.room_products}
        assert sorted((p.global_id, why) for p, why in rooms.skipped) == sorted(
            [(broken.GlobalId, "geometry failed"), (bare.GlobalId, "no representation")])

    def test_spaces_without_any_geometry(self):
        model, _ = space_model()
        for space in model.by_type("IfcSpace"):
            space.Representation.Representations[0].Items[0].SweptArea.YDim = 0.0
        with pytest.raises(kifc.NoSpacesError, match=r"no IfcSpace with usable geometry \(5 without\)"):
            kifc.load(model)

    def test_bad_thread_count_and_kernel(self):
        model, _ = space_model()
        with pytest.raises(ValueError, match="threads must be at least 1, not 0"):
            kifc.load(model, threads=0)
        with pytest.raises(ValueError, match="geometry_library 'nope'"):
            kifc.load(model, geometry_library="nope")

    def test_missing_ifcopenshell_names_the_extra(self, monkeypatch):
        monkeypatch.setitem(sys.modules, "ifcopenshell", None)
        with pytest.raises(ImportError, match=r"pip install 'kovalith\[ifc\]'"):
            kifc.load("any.ifc")


def test_progress_callback_counts_every_product(model_dir, loaded):
    path, _ = office_file("metres", model_dir)
    calls = []
    rooms = kifc.load(path, progress=lambda done, total: calls.append((done, total)))
    total = len(rooms.rooms) + len(rooms.openings) + len(rooms.wires) + len(rooms.elements)
    assert calls == [(i, total) for i in range(1, total + 1)]
