"""Turns fuzzer bytes into structured values (numbers, lists, text).

Kept free of the fuzzing engine, so the same harnesses run from pytest on
seeded random input and from atheris for long coverage-guided runs.
"""

import struct
import sys

SPECIAL_FLOATS = [
    0.0, -0.0, 1.0, -1.0, 0.5, 1e-300, -1e-300, 5e-324, 1e300, -1e300,
    1.7976931348623157e308, float("inf"), float("-inf"), float("nan"), 1e-8, 0.707,
]


class Reader:
    def __init__(self, data: bytes):
        self.data = data
        self.pos = 0

    def remaining(self) -> int:
        return len(self.data) - self.pos

    def byte(self) -> int:
        if self.pos >= len(self.data):
            return 0
        b = self.data[self.pos]
        self.pos += 1
        return b

    def uint(self, limit: int) -> int:
        """An int in [0, limit]."""
        raw = int.from_bytes(self.take(4), "little")
        return raw % (limit + 1) if limit >= 0 else 0

    def small(self, limit: int) -> int:
        """An int in [0, limit] (limit < 256) from a single byte."""
        return self.byte() % (limit + 1)

    def take(self, n: int) -> bytes:
        chunk = self.data[self.pos : self.pos + n]
        self.pos += len(chunk)
        return chunk.ljust(n, b"\0")

    def coord(self) -> float:
        """Mostly small grid values, sometimes specials or raw doubles."""
        kind = self.byte() % 8
        if kind < 4:
            return float(self.byte() % 9) * 0.5 - 2.0
        if kind < 6:
            return SPECIAL_FLOATS[self.byte() % len(SPECIAL_FLOATS)]
        return struct.unpack("<d", self.take(8))[0]

    def index(self, count: int) -> int:
        """Mostly a valid position below count, sometimes just past it."""
        if self.byte() % 16 == 0:
            return count + self.byte() % 3
        return self.uint(max(count - 1, 0))

    def text(self, max_len: int) -> str:
        n = self.uint(max_len)
        return self.take(n).decode("utf-8", "surrogateescape")

    def choice(self, options):
        return options[self.byte() % len(options)]

    def chance(self, one_in: int) -> bool:
        """True once in `one_in` on random bytes, never on exhausted input
        (zero bytes), which therefore decodes to the ordinary case."""
        return self.byte() % one_in == one_in - 1

    def grid(self, steps: int = 4) -> float:
        """A small integer coordinate: boxes built from these touch often."""
        return float(self.byte() % (steps + 1))

    def tolerance(self) -> float:
        kind = self.byte() % 8
        if kind < 4:
            return self.choice(TOLERANCES)
        return self.choice(HOSTILE_TOLERANCES) if kind < 7 else self.coord()


TOLERANCES = [1e-3, 1e-6, 0.25, 1e-3]
HOSTILE_TOLERANCES = [0.0, -1e-3, float("nan"), float("inf"), 1e-300, 1e300, 5e-324, 0.999]

BOX_FACES = [(0, 3, 2, 1), (4, 5, 6, 7), (0, 1, 5, 4), (1, 2, 6, 5), (2, 3, 7, 6), (3, 0, 4, 7)]


def box_points(x0, y0, z0, x1, y1, z1):
    return [(x0, y0, z0), (x1, y0, z0), (x1, y1, z0), (x0, y1, z0),
            (x0, y0, z1), (x1, y0, z1), (x1, y1, z1), (x0, y1, z1)]


def valid_faces(r: Reader, vertex_count: int, max_faces: int):
    """Faces of 3 to 6 corners, all in range; repeats of a corner are common."""
    if vertex_count == 0:
        return []
    faces = []
    for _ in range(1 + r.small(max_faces - 1)):
        n = 3 + r.small(3)
        if r.chance(4):  # a corner repeated, or the whole face on one or two points
            pool = [r.small(vertex_count - 1) for _ in range(1 + r.small(1))]
            faces.append([r.choice(pool) for _ in range(n)])
        else:
            faces.append([r.small(vertex_count - 1) for _ in range(n)])
    return faces


def mesh_data(r: Reader, max_vertices: int = 10, max_faces: int = 8):
    """A valid mesh as (points, faces): a box with a hostile corner or two, a
    random soup, a degenerate shape (all points on a line, a bow-tie), or
    nothing at all. Exhausted input gives a plain box."""
    kind = r.byte() % 8
    if kind <= 3:
        x0, y0, z0 = r.grid(), r.grid(), r.grid()
        points = box_points(x0, y0, z0, x0 + 1 + r.grid(2), y0 + 1 + r.grid(2), z0 + 1 + r.grid(2))
        for _ in range(r.small(2) if r.chance(2) else 0):
            k = r.small(7)
            p = list(points[k])
            p[r.small(2)] = r.coord()
            points[k] = tuple(p)
        faces = [list(f) for f in BOX_FACES]
        if r.chance(4):
            del faces[r.small(5)]  # an open box
        return points, faces
    if kind <= 5:
        points = [(r.coord(), r.coord(), r.coord()) for _ in range(1 + r.small(max_vertices - 1))]
        return points, valid_faces(r, len(points), max_faces)
    if kind == 6:
        a = (r.coord(), r.coord(), r.coord())
        d = (r.grid(2), r.grid(2), r.grid(2))
        points = [tuple(a[i] + k * d[i] for i in range(3)) for k in range(4)]
        if r.chance(2):  # a bow-tie quad: self-intersecting, zero net area
            points = [(0.0, 0.0, a[2]), (1.0, 1.0, a[2]), (1.0, 0.0, a[2]), (0.0, 1.0, a[2])]
        return points, [[0, 1, 2, 3], [0, 1, 2], [3, 2, 1, 0]][: 1 + r.small(2)]
    return [], []


def use_test_helpers() -> None:
    """Puts tests/ on sys.path: the harnesses check against the plain
    reference implementations that the test suite keeps there."""
    import pathlib
    import sys

    tests = str(pathlib.Path(__file__).resolve().parent.parent / "tests")
    if tests not in sys.path:
        sys.path.insert(0, tests)


def same_floats(a, b) -> bool:
    """Nested tuples/lists of floats equal, -0.0 told from 0.0, NaN equal to NaN."""
    return repr(a) == repr(b)


def fuzz_forever(test_one_input) -> None:
    """Runs a harness under atheris, with libFuzzer's options from the
    command line. Coverage comes from the instrumented native build (see the
    Makefile's fuzz target); the Python side is not instrumented, since
    instrumenting every imported module costs minutes at start-up and the
    decoding code has few branches worth steering by."""
    import atheris

    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()
