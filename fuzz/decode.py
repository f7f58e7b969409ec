"""Turns fuzzer bytes into structured values (numbers, lists, text).

Kept free of the fuzzing engine, so the same harnesses run from pytest on
seeded random input and from atheris for long coverage-guided runs.
"""

import struct

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
