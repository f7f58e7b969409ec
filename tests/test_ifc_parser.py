import math
import random
import sys

import pytest
from hypothesis import example, given, settings, strategies as st

from kovalith import IfcParser, Mesh

import ifc_reference

parse = IfcParser.parse_ifc_points_and_faces


def coords(mesh):
    return [(v.x, v.y, v.z) for v in mesh.vertices]


def same_values(native, reference):
    """Equality that tells -0.0 from 0.0 and lets NaN equal NaN."""
    def key(values):
        return [tuple(repr(c) for c in v) for v in values]
    return key(native) == key(reference)


def check_against_reference(text):
    mesh = parse(text)
    vertices, faces = ifc_reference.read(text)
    assert same_values(coords(mesh), vertices)
    assert mesh.faces == faces
    return mesh


TRIANGLE = ["#1=IFCCARTESIANPOINT((0.,0.,0.));", "#2=IFCCARTESIANPOINT((1.,0.,0.));",
            "#3=IFCCARTESIANPOINT((0.,1.,0.));"]


class TestReading:
    def test_triangle(self):
        mesh = parse("\n".join(TRIANGLE + ["#4=IFCPOLYLOOP((#1,#2,#3));"]))
        assert coords(mesh) == [(0, 0, 0), (1, 0, 0), (0, 1, 0)]
        assert mesh.faces == [[0, 1, 2]]

    def test_vertices_in_order_of_first_use(self):
        mesh = parse("\n".join(TRIANGLE + ["#4=IFCPOLYLOOP((#3,#1,#2));"]))
        assert coords(mesh) == [(0, 1, 0), (0, 0, 0), (1, 0, 0)]
        assert mesh.faces == [[0, 1, 2]]

    def test_loop_before_its_points_gives_nothing(self):
        mesh = parse("\n".join(["#4=IFCPOLYLOOP((#1,#2,#3));"] + TRIANGLE))
        assert coords(mesh) == [] and mesh.faces == []

    def test_two_dimensional_point_is_ignored(self):
        text = "\n".join(TRIANGLE + ["#5=IFCCARTESIANPOINT((1.,2.));",
                                     "#6=IFCPOLYLOOP((#1,#5,#2,#3));"])
        assert parse(text).faces == [[0, 1, 2]]

    def test_shared_points_share_vertices(self):
        square = ["#1=IFCCARTESIANPOINT((0.,0.,0.));", "#2=IFCCARTESIANPOINT((1.,0.,0.));",
                  "#3=IFCCARTESIANPOINT((1.,1.,0.));", "#4=IFCCARTESIANPOINT((0.,1.,0.));",
                  "#5=IFCPOLYLOOP((#1,#2,#3));", "#6=IFCPOLYLOOP((#1,#3,#4));"]
        mesh = parse("\n".join(square))
        assert len(mesh.vertices) == 4 and mesh.faces == [[0, 1, 2], [0, 2, 3]]

    def test_line_endings_blanks_and_empty_lines(self):
        text = "\r\n".join(["", "   " + TRIANGLE[0] + "\t ", "", TRIANGLE[1], "\u3000" + TRIANGLE[2],
                            "\xa0#4=IFCPOLYLOOP((#1,#2,#3));\u2028", ""])
        mesh = parse(text)
        assert coords(mesh) == [(0, 0, 0), (1, 0, 0), (0, 1, 0)] and mesh.faces == [[0, 1, 2]]

    @pytest.mark.parametrize("number_text, kept", [
        (" 12 ", True), ("+12", True), ("12", True), ("\u200312\u2003", True),
        ("-12", False), ("", False), ("+", False), ("-", False), ("1 2", False), ("++12", False),
        ("0x1", False), ("\u0661\u0662", False), ("18446744073709551616", False),
        ("000000000000000000000012", True), ("99999999999999999999", False),
    ])
    def test_instance_numbers(self, number_text, kept):
        text = "\n".join([f"#{number_text}=IFCCARTESIANPOINT((7.,7.,7.));"] + TRIANGLE +
                         ["#4=IFCPOLYLOOP((#1,#2,#12,#3));"])
        assert ((7, 7, 7) in coords(parse(text))) == kept

    def test_largest_instance_number(self):
        top = 2**64 - 1
        text = "\n".join(TRIANGLE + [f"#{top}=IFCCARTESIANPOINT((5.,5.,5.));",
                                     f"#4=IFCPOLYLOOP((#1,#2,#{top}));"])
        assert coords(parse(text))[2] == (5, 5, 5)

    @pytest.mark.parametrize("reference, resolved", [
        ("#2", True), ("2", True), ("##2", True), (" #2 ", True), ("+2", True), ("#+2", True),
        ("# 2", False), ("#-2", False), ("#2a", False), ("#", False), ("", False), ("#02", True),
    ])
    def test_loop_references(self, reference, resolved):
        text = "\n".join(TRIANGLE + ["#9=IFCCARTESIANPOINT((5.,5.,5.));",
                                     f"#4=IFCPOLYLOOP((#1,{reference},#3,#9));"])
        assert parse(text).faces == [[0, 1, 2, 3] if resolved else [0, 1, 2]]

    def test_short_loop_dropped_but_its_vertices_stay(self):
        text = "\n".join(TRIANGLE + ["#4=IFCPOLYLOOP((#1,#2,#77));", "#5=IFCPOLYLOOP((#3,#2,#1));"])
        mesh = parse(text)
        assert coords(mesh) == [(0, 0, 0), (1, 0, 0), (0, 1, 0)] and mesh.faces == [[2, 1, 0]]

    def test_repeated_references_repeat_positions(self):
        assert parse("\n".join(TRIANGLE + ["#4=IFCPOLYLOOP((#1,#1,#2,#1));"])).faces == [[0, 0, 1, 0]]

    def test_redefined_point(self):
        text = "\n".join(TRIANGLE + ["#4=IFCPOLYLOOP((#1,#2,#3));",
                                     "#1=IFCCARTESIANPOINT((9.,9.,9.));",
                                     "#2=IFCCARTESIANPOINT((8.,8.,8.));",
                                     "#5=IFCPOLYLOOP((#1,#2,#3));"])
        mesh = parse(text)
        # Vertices keep the coordinates they had at their first use.
        assert coords(mesh) == [(0, 0, 0), (1, 0, 0), (0, 1, 0)]
        assert mesh.faces == [[0, 1, 2], [0, 1, 2]]
        redefined_first = "\n".join(TRIANGLE + ["#1=IFCCARTESIANPOINT((9.,9.,9.));",
                                                "#4=IFCPOLYLOOP((#1,#2,#3));"])
        assert coords(parse(redefined_first))[0] == (9, 9, 9)

    @pytest.mark.parametrize("line", [
        "#5=IFCCARTESIANPOINT((1.,2.,3.)",           # no "))"
        "#5=IFCCARTESIANPOINT(1.,2.,3.))",           # no "(("
        "#5=IFCCARTESIANPOINT))((1.,2.,3.))",         # "))" before "(("
        "#5=IFCCARTESIANPOINT(()1.,2.,3.((",
        "#5 IFCCARTESIANPOINT((1.,2.,3.))",           # no "="
        "5=IFCCARTESIANPOINT((1.,2.,3.))",            # no "#"
        "#5=IFCCARTESIANPOIN((1.,2.,3.))",            # no keyword
        "#5=ifccartesianpoint((1.,2.,3.))",           # keywords are case-sensitive
    ])
    def test_malformed_point_lines_are_skipped(self, line):
        text = "\n".join(TRIANGLE + [line, "#4=IFCPOLYLOOP((#1,#5,#2,#3));"])
        assert parse(text).faces == [[0, 1, 2]]

    @pytest.mark.parametrize("line", [
        "#4=IFCPOLYLOOP))#1,#2,#3((",
        "#4=IFCPOLYLOOP))((#1,#2,#3))",
        "#4=IFCPOLYLOOP)) ((#1,#2,#3",
        "))((",
        "#4=))((",
    ])
    def test_closing_before_opening_is_skipped(self, line):
        mesh = parse("\n".join(TRIANGLE + [line]))
        assert mesh.faces == [] and coords(mesh) == []

    def test_entity_over_several_lines_is_skipped(self):
        text = "\n".join(TRIANGLE + ["#4=IFCPOLYLOOP((#1,", "#2,#3));"])
        assert parse(text).faces == []

    def test_two_entities_on_one_line(self):
        text = "\n".join(TRIANGLE + [
            "#4=IFCPOLYLOOP((#1,#2,#3)); #5=IFCCARTESIANPOINT((4.,4.,4.));",
            "#6=IFCPOLYLOOP((#1,#2,#4));",
            "#7=IFCPOLYLOOP((#3,#2,#1)); #8=IFCPOLYLOOP((#1,#2));",
        ])
        mesh = parse(text)
        # Line 1 is a point line (a point keyword anywhere wins) numbered 4 whose
        # first group holds "#1,#2,#3": three coordinates that are not numbers.
        assert coords(mesh) == [(0, 0, 0), (1, 0, 0), (0, 0, 0), (0, 1, 0)]
        assert mesh.faces == [[0, 1, 2], [3, 1, 0]]

    def test_empty_text(self):
        mesh = parse("")
        assert mesh.vertices == [] and mesh.faces == []

    def test_keyword_argument_static_call_and_docstring(self):
        mesh = IfcParser.parse_ifc_points_and_faces(ifc_content="\n".join(TRIANGLE))
        assert isinstance(mesh, Mesh) and mesh.vertices == []
        assert IfcParser.parse_ifc_points_and_faces.__text_signature__ == "(ifc_content)"
        assert IfcParser.parse_ifc_points_and_faces.__doc__ == (
            "Extracts coordinate data and creates a compiled Mesh from raw IFC text streams.")

    @pytest.mark.parametrize("argument, error", [(b"#1=", TypeError), (None, TypeError),
                                                 ("\ud800", UnicodeEncodeError)])
    def test_argument_errors(self, argument, error):
        with pytest.raises(error) as info:
            parse(argument)
        assert info.value.__notes__ == ["while processing 'ifc_content'"]

    def test_non_ascii_text_elsewhere(self):
        text = "\n".join(["/* Größe: ü€😀 */", "#1=IFCCARTESIANPOINT((0.,0.,0.)); /* ä */"] +
                         TRIANGLE[1:] + ["#4=IFCPOLYLOOP((#1,#2,#3)); /* 😀 */"])
        assert parse(text).faces == [[0, 1, 2]]

    def test_non_ascii_text_gets_no_lasting_utf8_copy(self):
        # A non-ASCII str would otherwise keep a UTF-8 copy of itself (as
        # large as the file) for as long as the caller holds it.
        text = "\n".join(["/* \u00e9 */"] + TRIANGLE + ["#4=IFCPOLYLOOP((#1,#2,#3));"])
        text = text * 50
        size = sys.getsizeof(text)
        assert parse(text).faces == [[0, 1, 2]] * 50
        assert sys.getsizeof(text) == size

    def test_many_points_with_scattered_numbers(self):
        # Enough entries to grow the lookup tables several times; the numbers
        # are spread over the whole 64-bit range.
        rng = random.Random(5)
        numbers = list({rng.getrandbits(64) for _ in range(6000)})[:5999] + [2**64 - 1]
        lines = [f"#{n}=IFCCARTESIANPOINT(({k}.,{k % 7}.,-{k}.5));" for k, n in enumerate(numbers)]
        for k in range(0, len(numbers) - 2, 3):
            lines.append(f"#{k}=IFCPOLYLOOP((#{numbers[k]},#{numbers[k + 1]},#{numbers[k + 2]}));")
        rng.shuffle(lines)
        mesh = check_against_reference("\n".join(lines))
        assert len(mesh.faces) > 100


def number_of(text):
    """The x coordinate that the reader makes of one coordinate text."""
    mesh = parse(f"#1=IFCCARTESIANPOINT(({text},0.,0.));\n#2=IFCPOLYLOOP((#1,#1,#1));")
    return mesh.vertices[0].x


class TestNumbers:
    @pytest.mark.parametrize("text, value", [
        ("2.5E2", 250.0), ("abc", 0.0), (".5", 5.0), ("0.", 0.0), ("-2.", -2.0),
        ("1.E-5", 1e-5), ("+1.5", 1.5), ("-0.", -0.0), ("1e400", math.inf), ("-1e400", -math.inf),
        ("1e-400", 0.0), ("-1e-400", -0.0), ("4.9e-324", 5e-324), ("2.4e-324", 0.0),
        ("2.5e-324", 5e-324), ("1.7976931348623158e308", 1.7976931348623157e308),
        ("1.7976931348623159e308", math.inf),
        ("0e99999999999999999999", 0.0), ("1e-99999999999999999999", 0.0),
        ("1e99999999999999999999", math.inf),
        ("0.000000000000000000000000000000001e340", 1e307),
        ("100000000000000000000000000000000000000e-360", 1e-322),
        ("inf", math.inf), ("-Infinity", -math.inf), ("+INF", math.inf),
        ("1e", 0.0), ("e5", 0.0), ("1..2", 0.0), ("--1", 0.0), ("+-1", 0.0), ("1 2", 0.0),
        ("0x1p3", 0.0), ("1_0", 0.0), ("nan(1)", 0.0), ("infin", 0.0), ("1.5\t", 0.0),
        ("\u0663", 0.0), ("   ;;1.5;; ", 1.5), ("1e+5", 1e5), ("1E-0", 1.0),
        ("9007199254740993", 9007199254740992.0), ("9007199254740995", 9007199254740996.0),
        ("123456789012345678901234567890", 1.2345678901234568e+29),
        ("0.1000000000000000055511151231257827021181583404541015625", 0.1),
        ("0.00000000000000000000000000000000000000000000001", 1e-47), ("1e22", 1e22),
        ("1e23", 1e23), ("8.98846567431158e307", 8.98846567431158e307),
    ])
    def test_table(self, text, value):
        result = number_of(text)
        assert repr(result) == repr(value)

    @pytest.mark.parametrize("text", ["nan", "NaN", "-nan", "+nAn"])
    def test_nan(self, text):
        assert math.isnan(number_of(text))

    @settings(max_examples=400)
    @given(st.text(alphabet="0123456789.eE+-infatyNAIFTY_x ;", max_size=10))
    @example("1.e5")
    def test_against_reference(self, text):
        expected = ifc_reference.coordinate(text)
        result = number_of(text)
        assert repr(result) == repr(expected) or (math.isnan(result) and math.isnan(expected))

    @given(st.floats())
    def test_every_double_round_trips(self, value):
        result = number_of(repr(value))
        assert repr(result) == repr(value) or (math.isnan(result) and math.isnan(value))


# Generated texts: line fragments that hit every rule, mixed at random. The
# well-formed choice is repeated in each list so that most lines are usable
# and loops find their points.
def mostly(good, *others):
    return st.sampled_from([good] * (4 * len(others) + 2) + list(others))


blank = mostly("", " ", "\t", "\u3000", "\xa0", "\u2028", "\u200a", "\x1c", "\u200b", "\r")
number = st.one_of(st.integers(0, 5).map(str), st.integers(0, 5).map(str), st.integers(0, 5).map(str),
                   st.sampled_from(["+3", "-1", "", "+", "18446744073709551615", "1 2", "\u0663"]))
coordinate = st.one_of(
    st.floats().map(repr), st.integers(-3, 3).map(lambda k: f"{k}."),
    st.sampled_from(["0.", "-2.", "1.E-5", ".5", "abc", "", "1e400", "-1e-400", "nan(1)", "1_0",
                     "-Infinity", " 1. ", "1.\t", ";3.;", "1..2", "+.5e+3", "2."]))
reference = st.builds(lambda pre, n, post: pre + n + post,
                      mostly("#", "", "##", "# ", " #", "#-"), number, blank)


@st.composite
def ifc_line(draw, kind=None):
    kind = kind or draw(st.sampled_from(["point", "point", "loop", "loop", "other"]))
    head = draw(blank) + "#" + draw(blank) + draw(number) + draw(blank) + "=" + draw(blank)
    tail = draw(mostly(";", "", ");", " IFCPOLYLOOP((#1,#2,#3))", "((9,9,9))", "\u00e4"))
    if kind == "point":
        parts = draw(st.lists(coordinate, min_size=2, max_size=4))
        body = draw(mostly("IFCCARTESIANPOINT", "X IFCCARTESIANPOINT", "IFCCARTESIANPOINTLIST"))
        group = draw(mostly("(({}))", "(({})", "({}))", ")){}(("))
        return head + body + group.format(",".join(parts)) + tail + draw(blank)
    if kind == "loop":
        refs = draw(st.lists(reference, min_size=draw(st.sampled_from([0, 3, 3, 3])), max_size=6))
        group = draw(mostly("(({}))", ")){}((", "(( {} ))"))
        return head + "IFCPOLYLOOP" + group.format(",".join(refs)) + tail + draw(blank)
    return draw(st.sampled_from(["", "ISO-10303-21;", "#5=IFCFACE((#4));", "))((", "# = ((1,2,3))",
                                 "#9 IFCPOLYLOOP((#1,#2,#3))", "DATA;", "#3=IFCPOLYLOOP"]))


class TestAgainstReference:
    @settings(max_examples=120, deadline=None)
    @given(st.lists(ifc_line("point"), min_size=3, max_size=12),
           st.lists(ifc_line(), max_size=30), st.lists(ifc_line("loop"), max_size=10),
           st.sampled_from(["\n", "\r\n"]))
    def test_generated_texts(self, points, mixed, loops, separator):
        check_against_reference(separator.join(points + mixed + loops))
