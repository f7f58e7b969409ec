"""IFC test models authored with ifcopenshell.api, and what their graphs must be.

The models come from examples/ifc_office.py (the demo's author) at a small
size: two offices on either side of a corridor on three storeys. Variants
change only how the same building is written: the file's length unit, the
schema, and where the site puts it. Each is authored once per session.

`expected_contacts` derives the neighbour pairs from the authored plan
rectangles by a plain scan, independently of the compiler.
"""

from __future__ import annotations

import itertools
import os
import pathlib
import sys
from typing import Any

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "examples"))

from ifc_office import SLAB, STOREY_HEIGHT, WALL, Layout, author_office  # noqa: E402

FAR = (3000.0, 4000.0)  # 5 km from the origin
VARIANTS: dict[str, dict[str, Any]] = {
    "metres": {},
    "millimetres": {"unit": "mm"},
    "far": {"offset": FAR},
    "ifc2x3": {"schema": "IFC2X3"},
}
SIZE = {"storeys": 3, "offices_per_side": 2}

# IfcOpenShell's native kernel is not built for AddressSanitizer: merely
# importing it under the sanitizer leaves allocations that the leak check at
# exit reports. These tests exercise Python glue over it, which the sanitizer
# run has nothing to check in, so under ASan their modules are skipped before
# anything imports IfcOpenShell.
ASAN_REASON = "IfcOpenShell's native kernel is not run under AddressSanitizer"
skip_under_asan = pytest.mark.skipif("ASAN_OPTIONS" in os.environ, reason=ASAN_REASON)


def require_ifcopenshell() -> Any:
    """IfcOpenShell, or skip the calling test module (not installed, or under ASan)."""
    if "ASAN_OPTIONS" in os.environ:
        pytest.skip(ASAN_REASON, allow_module_level=True)
    return pytest.importorskip("ifcopenshell")

_cache: dict[str, tuple[pathlib.Path, Layout]] = {}


def office_file(variant: str, directory: pathlib.Path) -> tuple[pathlib.Path, Layout]:
    """The authored file of a variant (written once into `directory`) and its layout."""
    if variant not in _cache:
        model, layout = author_office(**SIZE, **VARIANTS[variant])
        path = directory / f"office_{variant}.ifc"
        model.write(str(path))
        _cache[variant] = (path, layout)
    return _cache[variant]


def expected_contacts(layout: Layout, *, wall: float = WALL, slab: float = SLAB) -> dict[tuple[str, str], str]:
    """Neighbour pairs by a plain scan of the authored rectangles: (name, name) -> contact type.

    Same storey: the rectangles are one wall apart along x or y and overlap
    along the other axis. Consecutive storeys: one slab apart in z and
    overlapping in plan. Names in each pair are sorted.
    """
    eps = 1e-6
    out: dict[tuple[str, str], str] = {}
    for a, b in itertools.combinations(layout.spaces, 2):
        (ax0, ay0, ax1, ay1), (bx0, by0, bx1, by1) = a.rect, b.rect
        overlap_x = min(ax1, bx1) - max(ax0, bx0)
        overlap_y = min(ay1, by1) - max(ay0, by0)
        gap_x = max(bx0 - ax1, ax0 - bx1)
        gap_y = max(by0 - ay1, ay0 - by1)
        key = tuple(sorted((a.name, b.name)))
        if a.storey == b.storey:
            if (abs(gap_x - wall) < eps and overlap_y > eps) or (abs(gap_y - wall) < eps and overlap_x > eps):
                out[key] = "VerticalWallContact"
        elif abs(a.storey - b.storey) == 1:
            lower, upper = (a, b) if a.storey < b.storey else (b, a)
            if abs(upper.z[0] - lower.z[1] - slab) < eps and overlap_x > eps and overlap_y > eps:
                out[key] = "HorizontalSlabContact"
    return out


def storey_z(storey: int) -> float:
    return storey * STOREY_HEIGHT
