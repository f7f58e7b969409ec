"""Storey plans a person can read: one scale for every storey, labels that fit,
and names drawn as the text they are."""

import os

import warnings

import pytest

from kovalith import GraphNode, Mesh, SpatialGraph, Vector3D

# matplotlib's native parts (FreeType, Agg) are not built for AddressSanitizer
# and keep their caches to the end; what these tests check is Python drawing
# code, which the sanitized run has nothing to add to.
if "ASAN_OPTIONS" in os.environ:
    pytest.skip("matplotlib's native parts are not run under AddressSanitizer", allow_module_level=True)
pytest.importorskip("matplotlib")

from kovalith import plot  # noqa: E402


def box(x0, y0, z0, x1, y1, z1):
    vs = [Vector3D(x, y, z) for z in (z0, z1) for y in (y0, y1) for x in (x0, x1)]
    return Mesh(vs, [[0, 2, 3, 1], [4, 5, 7, 6], [0, 1, 5, 4], [2, 6, 7, 3], [0, 4, 6, 2], [1, 3, 7, 5]])


# A wide ground floor under a small upper floor: drawn each at its own scale,
# the upper rooms would look as large as the lower ones.
ROOMS = [box(0, 0, 0, 30, 8, 3), box(30, 0, 0, 40, 8, 3), box(0, 0, 3, 5, 4, 6), box(5, 0, 3, 5.6, 4, 6)]
NAMES = [("G.1", "Hall"), ("G.2", "Kitchen"), ("1.1", "Office"), ("1.2", "Storage cupboard")]


def graph_of(rooms):
    nodes = []
    for i, mesh in enumerate(rooms):
        c = [sum(getattr(v, a) for v in mesh.vertices) / len(mesh.vertices) for a in "xyz"]
        nodes.append(GraphNode(i, Vector3D(*c)))
    return SpatialGraph(nodes, [], [])


def draw(tmp_path, names=NAMES, **settings):
    return plot.draw_storeys(graph_of(ROOMS), ROOMS, tmp_path / "plans.png",
                             label=lambda i: names[i][0], long_label=lambda i: names[i][1],
                             kind=lambda i: names[i][1], **settings)


@pytest.mark.parametrize("columns", [None, 1, 2, 5])
def test_every_storey_at_one_scale(tmp_path, columns):
    fig = draw(tmp_path, columns=columns)
    panels = [ax for ax in fig.axes if ax.collections]
    assert len(panels) == 2
    scales = set()
    for ax in panels:
        (x0, y0), (x1, y1) = ax.transData.transform([(0.0, 0.0), (10.0, 10.0)])
        scales.add((round(x1 - x0, 6), round(y1 - y0, 6)))
        assert ax.get_xlim() == panels[0].get_xlim() and ax.get_ylim() == panels[0].get_ylim()
    assert len(scales) == 1, "one scale for every storey"
    (sx, sy), = scales
    assert sx == pytest.approx(sy), "a metre is as long across as up"
    width, height = fig.get_size_inches()
    assert width <= 16.5 and height <= 11.5


# A 4 m office at the demo's scale (about 18 points per metre): room for a
# long name over a number; narrower rooms fall back to the long name alone,
# then the number, then a smaller number.
@pytest.mark.parametrize("width, height, number, long_name, expected", [
    (72, 108, "0.S1", "Office", ("Office\n0.S1", 7.0)),
    (72, 12, "0.S1", "Office", ("Office", 7.0)),
    (20, 108, "0.S1", "Office", ("0.S1", 7.0)),
    (72, 108, "0.S1", "Storage cupboard for the cleaners", ("0.S1", 7.0)),
    (8, 108, "0.S1", "Office", ("0.S1", 5.25)),
    (72, 108, "0.S1", "", ("0.S1", 7.0)),
    (72, 108, "Office", "Office", ("Office", 7.0)),
])
def test_long_name_where_it_fits(width, height, number, long_name, expected):
    assert plot._label(width, height, number, long_name, 7.0) == expected


def test_dollar_signs_in_names_are_text(tmp_path):
    """Names such as ``$\\frac{$`` once reached matplotlib's mathematics parser,
    which failed on them and took the whole picture down."""
    names = [("$\\frac{$", "$x$ cost"), ("G.2", "$$"), ("$1.1", "Office $5"), ("1.2", "a_b^c $")]
    path = tmp_path / "plans.png"
    fig = plot.draw_storeys(graph_of(ROOMS), ROOMS, path, label=lambda i: names[i][0],
                            long_label=lambda i: names[i][1], kind=lambda i: names[i][1],
                            storey=lambda i: "$level$" if i < 2 else "Level $1", title="$\\frac{$ model")
    assert path.read_bytes().startswith(b"\x89PNG")
    texts = [t.get_text() for t in fig.findobj(lambda a: hasattr(a, "get_parse_math"))
             if t.get_text() and "$" in t.get_text()]
    assert "$\\frac{$ model" in texts and "$x$ cost" in texts and "$level$" in texts
    assert not [t for t in fig.findobj(lambda a: hasattr(a, "get_parse_math"))
                if "$" in t.get_text() and t.get_parse_math()]


def test_control_characters_in_names_are_drawn_escaped(tmp_path):
    """A name holding a terminal escape or a line break is drawn as the
    report prints it: no glyph is missing (matplotlib's warning about one
    would carry the raw escape to the terminal)."""
    names = ["\x1b[31mred", "two\nlines", "\u202eevil", "ok"]
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        fig = plot.draw_storeys(graph_of(ROOMS), ROOMS, tmp_path / "plans.png",
                                label=lambda i: names[i], long_label=lambda i: names[3 - i],
                                kind=lambda i: names[i], storey=lambda i: names[i // 2],
                                title="model\x1b]0;title\x07")
    texts = [t.get_text() for t in fig.findobj(lambda a: hasattr(a, "get_parse_math")) if t.get_text()]
    assert "model\\x1b]0;title\\x07" in texts and "\\x1b[31mred" in texts and "two\\nlines" in texts
    assert not [t for t in texts if any(c in t for c in "\x1b\n\u202e\x07")]


def test_bad_input():
    with pytest.raises(ValueError, match="columns must be at least 1"):
        plot.draw_storeys(graph_of(ROOMS), ROOMS, "unused.png", columns=0)
    with pytest.raises(ValueError, match="4 nodes but 2 rooms"):
        plot.draw_storeys(graph_of(ROOMS), ROOMS[:2], "unused.png")
