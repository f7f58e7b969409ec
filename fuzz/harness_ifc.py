"""IFC reading: generated and then mutated IFC-like text, checked against the
plain reference reader of the test suite (tests/ifc_reference.py)."""

import kovalith
from decode import Reader, same_floats, use_test_helpers

use_test_helpers()
import ifc_reference  # noqa: E402

parse = kovalith.IfcParser.parse_ifc_points_and_faces

# Unicode White_Space first, then look-alikes that are not White_Space.
BLANKS = [" ", "\t", "\r", "\x0b", "\x0c", "\x85", "\xa0", "\u1680", "\u2000", "\u200a", "\u2028",
          "\u2029", "\u202f", "\u205f", "\u3000", "\u200b", "\x1c", "\ufeff"]
NUMBERS = ["1", "2", "3", "4", "5", "0", "+2", "-1", "", "+", "-", "18446744073709551615",
           "18446744073709551616", "00000000000000000000000000003", "99999999999999999999999",
           "\u0663", "\uff12", "1 2", "0x1", "1e2", "2.", "\u00b2"]
COORDINATES = ["0.", "1.", "-2.", "2.5E2", "1.E-5", ".5", "abc", "", "1e400", "-1e-400", "nan",
               "-Infinity", "INF", "nan(1)", "1_0", "0x10", "1..2", "+.5e+3", " 1. ", "1.\t",
               ";3.;", "-0.", "1e", "e5", "+-1", "9" * 400, "0." + "0" * 400 + "1", "\u0663.",
               "1.7976931348623157e308", "1.7976931348623159e308", "4.9e-324", "2.4e-324"]
GROUPS = ["(({}))", "(({}))", "(({}))", "(({})", "({}))", ")){}((", "(( {} ))", "))(({}))",
          "(({})))", "((({}))", "(({}))(({}))", "{}"]
KEYWORDS = ["IFCCARTESIANPOINT", "IFCPOLYLOOP", "IFCCARTESIANPOINTLIST", "X IFCPOLYLOOP",
            "IFCPOLYLOOPIFCCARTESIANPOINT", "IFCFACE", "ifcpolyloop", "IFCCARTESIAN POINT"]
# Characters that the mutations insert: the syntax, blanks, multi-byte text,
# a lone surrogate (which str allows and UTF-8 cannot carry).
ALPHABET = list("#=(),;.+-eE0123456789 \n\r\x00") + ["\u3000", "\u00e4", "\U0001f600",
                                                     "\u2028", "\ud800"]


def blank(r: Reader) -> str:
    return r.choice(BLANKS) if r.chance(6) else ""


def number(r: Reader) -> str:
    return r.choice(NUMBERS) if r.chance(8) else str(r.small(6))


def coordinate(r: Reader) -> str:
    kind = r.byte() % 8
    if kind == 6:
        return repr(r.coord())
    if kind == 7:
        return r.choice(COORDINATES)
    return f"{r.small(6) - 3}."


def reference(r: Reader, defined: list) -> str:
    prefix = r.choice(["", "##", "# ", " #", "#-", "#+"]) if r.chance(8) else "#"
    known = defined and not r.chance(8)
    return prefix + (r.choice(defined) if known else number(r)) + blank(r)


def other_text(r: Reader) -> str:
    raw = r.take(r.small(40))
    return raw.decode("utf-8", "surrogateescape" if r.chance(8) else "replace")


def line(r: Reader, defined: list) -> str:
    """One entity line; `defined` collects the numbers of point lines, which
    loop lines mostly refer to."""
    own = number(r)
    head = blank(r) + ("" if r.chance(8) else "#") + blank(r) + own + blank(r) + \
        ("" if r.chance(8) else "=") + blank(r)
    kind = r.byte() % 16
    if kind < 8:
        body = r.choice(KEYWORDS) if r.chance(8) else "IFCCARTESIANPOINT"
        inner = ",".join(coordinate(r) for _ in range(3 + r.small(1) - r.chance(8)))
        defined.append(own)
    elif kind < 15:
        body = r.choice(KEYWORDS) if r.chance(8) else "IFCPOLYLOOP"
        inner = ",".join(reference(r, defined) for _ in range(r.choice([3, 3, 4, 5, 3, 2, 0])))
    else:
        return other_text(r)
    group = r.choice(GROUPS) if r.chance(6) else "(({}))"
    tail = r.choice(["", ");", " IFCPOLYLOOP((#1,#2,#3))", "((9,9,9))", "\u00e4", "))", "(("]) \
        if r.chance(6) else ";"
    return head + body + group.replace("{}", inner) + tail + blank(r)


def mutate(r: Reader, text: str) -> str:
    for _ in range(1 + r.small(3)):
        at = r.uint(len(text))
        op = r.byte() % 3
        if op == 0:
            text = text[:at] + r.choice(ALPHABET) + text[at:]
        elif op == 1:
            text = text[:at] + text[at + 1 + r.small(3):]
        else:
            text = text[:at] + text[at : at + r.small(8)] + text[at:]
    return text


def ifc_text(r: Reader) -> str:
    separator = "\r\n" if r.chance(4) else "\n"
    defined = []
    text = separator.join(line(r, defined) for _ in range(r.small(20)))
    return mutate(r, text) if r.chance(3) else text


def test_one_input(data: bytes) -> None:
    text = ifc_text(Reader(data))
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:
        try:
            parse(text)
        except UnicodeEncodeError:
            return
        raise AssertionError("a lone surrogate must fail the str conversion")
    mesh = parse(text)
    vertices, faces = ifc_reference.read(text)
    assert same_floats([(v.x, v.y, v.z) for v in mesh.vertices], vertices), text
    assert mesh.faces == faces, text
    assert mesh.validate() is None


if __name__ == "__main__":
    from decode import fuzz_forever

    fuzz_forever(test_one_input)
