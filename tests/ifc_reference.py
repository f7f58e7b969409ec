"""A plain, slow transcription of the IFC points-and-faces reading rules,
used only to check the native reader on generated texts."""
import re

WHITE_SPACE = ("\t\n\x0b\x0c\r \x85\xa0\u1680\u2000\u2001\u2002\u2003\u2004\u2005\u2006"
               "\u2007\u2008\u2009\u200a\u2028\u2029\u202f\u205f\u3000")
INSTANCE_NUMBER = re.compile(r"\+?[0-9]+", re.ASCII)
REAL = re.compile(
    r"[+-]?(?:(?i:inf|infinity|nan)|(?:[0-9]+\.?[0-9]*|\.[0-9]+)(?:[eE][+-]?[0-9]+)?)", re.ASCII)


def trim(text):
    return text.strip(WHITE_SPACE)


def instance_number(text):
    if not INSTANCE_NUMBER.fullmatch(text):
        return None
    value = int(text)
    return value if value < 2**64 else None


def real(text):
    """Coordinate value, or None when the text is not a number."""
    return float(text) if REAL.fullmatch(text) else None


def coordinate(part):
    value = real(part.strip(" .;"))
    return 0.0 if value is None else value


def read(text):
    points, vertex_of, vertices, faces = {}, {}, [], []
    for line in text.split("\n"):
        line = trim(line)
        if not line.startswith("#"):
            continue
        equals = line.find("=")
        if equals < 0:
            continue
        number = instance_number(trim(line[1:equals]))
        if number is None:
            continue
        rest = line[equals + 1:]
        if "IFCCARTESIANPOINT" in rest:
            kind = "point"
        elif "IFCPOLYLOOP" in rest:
            kind = "loop"
        else:
            continue
        start, stop = rest.find("(("), rest.find("))")
        if start < 0 or stop < 0 or stop < start + 2:
            continue
        inner = rest[start + 2:stop]
        if kind == "point":
            parts = inner.split(",")
            if len(parts) < 3:
                continue
            points[number] = tuple(coordinate(p) for p in parts[:3])
            continue
        loop = []
        for part in inner.split(","):
            reference = instance_number(trim(part).lstrip("#"))
            if reference is None or reference not in points:
                continue
            if reference not in vertex_of:
                vertex_of[reference] = len(vertices)
                vertices.append(points[reference])
            loop.append(vertex_of[reference])
        if len(loop) >= 3:
            faces.append(loop)
    return vertices, faces
