"""Drives the native planar kernel through tests/native/kernel_probe.cpp.

The probe (built with the address and undefined-behaviour sanitizers) is an
executable CMake builds beside the module: `KOVALITH_KERNEL_PROBE` names it,
else it is looked for beside the imported kovalith package, then in the build
trees under build/. Only where none is newer than its sources is it compiled
here, once, into the pytest cache (keyed by the hash of its sources). It is
spoken to over a pipe. In Python a ring is a list of (x, y) tuples, a polygon
a list of rings (outer first) and a region a list of polygons.
"""

import hashlib
import os
import pathlib
import shutil
import subprocess

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
SOURCES = [
    ROOT / "tests/native/kernel_probe.cpp",
    ROOT / "src/kernel/plane.cpp",
    ROOT / "src/kernel/polygon.cpp",
    ROOT / "src/kernel/extrusion.cpp",
    ROOT / "src/kernel/mesh_clean.cpp",
]
HEADERS = [ROOT / "src/kernel/plane.h", ROOT / "src/kernel/polygon.h",
           ROOT / "src/kernel/extrusion.h", ROOT / "src/kernel/mesh_clean.h",
           ROOT / "src/records/mesh.h", ROOT / "src/records/vector3d.h",
           ROOT / "src/support/thread_scratch.h", ROOT / "src/support/hash_seed.h"]
FLAGS = ["-std=c++23", "-O1", "-g", "-Wall", "-Wextra", "-Werror",
         "-fsanitize=address,undefined", "-fno-sanitize-recover=undefined"]


def _clean_env(**extra):
    # Under the sanitized suite the interpreter runs with libasan preloaded
    # and leak checking on: neither may reach the compiler or the probe.
    env = {k: v for k, v in os.environ.items()
           if k not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS")}
    env.update(extra)
    return env


def _build(cache_dir):
    cxx = os.environ.get("CXX", "g++")
    if shutil.which(cxx) is None:
        pytest.skip(f"no C++ compiler ({cxx}) to build the kernel probe")
    digest = hashlib.sha256(" ".join([cxx, *FLAGS]).encode())
    for path in SOURCES + HEADERS:
        digest.update(path.read_bytes())
    exe = cache_dir / f"kernel_probe-{digest.hexdigest()[:16]}"
    if not exe.exists():
        tmp = exe.with_suffix(".tmp")
        subprocess.run([cxx, *FLAGS, f"-I{ROOT / 'src'}", *map(str, SOURCES),
                        "-lpolyclipping", "-o", str(tmp)], check=True, env=_clean_env())
        tmp.replace(exe)
    return exe


def _built_probe():
    """The probe CMake built, if one is at least as new as its sources."""
    import kovalith

    candidates = []
    if os.environ.get("KOVALITH_KERNEL_PROBE"):
        candidates.append(pathlib.Path(os.environ["KOVALITH_KERNEL_PROBE"]))
    candidates.append(pathlib.Path(kovalith.__file__).resolve().parent.parent / "kernel_probe")
    candidates += sorted((ROOT / "build").glob("*/kernel_probe"), key=lambda p: p.stat().st_mtime, reverse=True)
    newest_source = max(p.stat().st_mtime for p in SOURCES + HEADERS)
    for exe in candidates:
        if exe.is_file() and os.access(exe, os.X_OK) and exe.stat().st_mtime >= newest_source:
            return exe
    return None


def _num(x):
    return float(x).hex()


def _ring_tokens(ring):
    return [str(len(ring))] + [_num(c) for p in ring for c in p]


def _polygon_tokens(polygon):
    return [str(len(polygon))] + [t for ring in polygon for t in _ring_tokens(ring)]


def _region_tokens(region):
    return [str(len(region))] + [t for p in region for t in _polygon_tokens(p)]


class _Reader:
    def __init__(self, tokens):
        self.tokens = tokens
        self.at = 0

    def next(self):
        self.at += 1
        return self.tokens[self.at - 1]

    def count(self):
        return int(self.next())

    def number(self):
        return float.fromhex(self.next())

    def ring(self):
        return [(self.number(), self.number()) for _ in range(self.count())]

    def region(self):
        return [[self.ring() for _ in range(self.count())] for _ in range(self.count())]

    def mesh(self):
        vertices = [(self.number(), self.number(), self.number()) for _ in range(self.count())]
        faces = [[self.count() for _ in range(self.count())] for _ in range(self.count())]
        return vertices, faces


class KernelProbe:
    def __init__(self, exe):
        env = _clean_env(ASAN_OPTIONS="detect_leaks=0:abort_on_error=1",
                         UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1")
        self.proc = subprocess.Popen([str(exe)], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     text=True, env=env)

    def close(self):
        self.proc.stdin.close()
        self.proc.wait(timeout=30)

    def _call(self, *tokens):
        self.proc.stdin.write(" ".join(tokens) + "\n")
        self.proc.stdin.flush()
        line = self.proc.stdout.readline()
        assert line, f"kernel probe died (exit {self.proc.poll()})"
        return _Reader(line.split())

    @staticmethod
    def _mesh_face(vertices, face):
        return ([str(len(vertices))] + [_num(c) for v in vertices for c in v]
                + [str(len(face))] + [str(i) for i in face])

    def plane(self, vertices, face):
        r = self._call("plane", *self._mesh_face(vertices, face))
        if r.tokens == ["none"]:
            return None
        return (r.number(), r.number(), r.number()), r.number()

    def frame(self, normal):
        r = self._call("frame", *map(_num, normal))
        return (r.number(), r.number(), r.number()), (r.number(), r.number(), r.number())

    def project(self, vertices, face, origin, u, v):
        tokens = self._mesh_face(vertices, face) + [_num(c) for w in (origin, u, v) for c in w]
        return self._call("project", *tokens).ring()

    def intersect(self, a, b):
        return self._call("intersect", *_polygon_tokens(a), *_polygon_tokens(b)).region()

    def subtract(self, a, b):
        return self._call("subtract", *_polygon_tokens(a), *_polygon_tokens(b)).region()

    def subtract_region(self, region, b):
        return self._call("subtract_region", *_region_tokens(region), *_polygon_tokens(b)).region()

    def measure(self, region):
        """(region_area, [polygon_area of each polygon])"""
        r = self._call("measure", *_region_tokens(region))
        values = [float.fromhex(t) for t in r.tokens]
        return values[0], values[1:]

    def extrude(self, ring, z_base, height):
        """(vertices, faces) of the prism over a closed ring"""
        return self._call("extrude", *_ring_tokens(ring), _num(z_base), _num(height)).mesh()

    def clean(self, tolerance, vertices, faces):
        """(vertices, faces), or the error message; faces need not be in range"""
        tokens = [_num(tolerance), str(len(vertices))] + [_num(c) for v in vertices for c in v]
        tokens.append(str(len(faces)))
        for face in faces:
            tokens += [str(len(face))] + [str(i) for i in face]
        r = self._call("clean", *tokens)
        if r.tokens[0] == "error":
            return " ".join(r.tokens[1:])
        return r.mesh()

    def centroid(self, region):
        r = self._call("centroid", *_region_tokens(region))
        if r.tokens == ["none"]:
            return None
        return r.number(), r.number()


def start_probe(request, tmp_path_factory):
    """A running KernelProbe; the session fixture `kernel` of conftest.py."""
    exe = _built_probe()
    if exe is None:
        cache = getattr(request.config, "cache", None)
        cache_dir = cache.mkdir("kernel_probe") if cache else tmp_path_factory.mktemp("probe")
        exe = _build(pathlib.Path(cache_dir))
    return KernelProbe(exe)
