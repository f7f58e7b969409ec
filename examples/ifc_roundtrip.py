"""Write a room as IFC point and polygon-loop lines, read it back, compare.

    python3 examples/ifc_roundtrip.py [path.ifc]

The file holds a minimal header and data section with one IFCCARTESIANPOINT
line per vertex and one IFCPOLYLOOP line per face. If ifcopenshell is
installed, the same file is opened with it too and the counts compared.
"""

import pathlib
import sys
import tempfile

from kovalith import IfcParser, Mesh, Vector3D

HEADER = """ISO-10303-21;
HEADER;
FILE_DESCRIPTION(('ViewDefinition [CoordinationView]'),'2;1');
FILE_NAME('room.ifc','2026-12-07T00:00:00',(''),(''),'kovalith','kovalith','');
FILE_SCHEMA(('IFC4'));
ENDSEC;
DATA;
"""
FOOTER = "ENDSEC;\nEND-ISO-10303-21;\n"


def room():
    vs = [Vector3D(x, y, z) for z in (0.0, 2.8) for y in (0.0, 3.5) for x in (0.0, 4.25)]
    faces = [[0, 2, 3, 1], [4, 5, 7, 6], [0, 1, 5, 4], [2, 6, 7, 3], [0, 4, 6, 2], [1, 3, 7, 5]]
    return Mesh(vs, faces)


def ifc_number(x):
    text = repr(float(x))
    return text if "." in text or "e" in text else text + "."


def to_ifc(mesh):
    lines = []
    ids = {}
    next_id = 100
    for i, v in enumerate(mesh.vertices):
        ids[i] = next_id
        lines.append(f"#{next_id}=IFCCARTESIANPOINT(({ifc_number(v.x)},{ifc_number(v.y)},{ifc_number(v.z)}));")
        next_id += 1
    for face in mesh.faces:
        refs = ",".join(f"#{ids[i]}" for i in face)
        lines.append(f"#{next_id}=IFCPOLYLOOP(({refs}));")
        next_id += 1
    return HEADER + "\n".join(lines) + "\n" + FOOTER


def face_corners(mesh):
    """Each face as its corner coordinates: independent of vertex numbering."""
    vs = [(v.x, v.y, v.z) for v in mesh.vertices]
    return [[vs[i] for i in face] for face in mesh.faces]


def main():
    path = pathlib.Path(sys.argv[1]) if len(sys.argv) > 1 else pathlib.Path(tempfile.gettempdir()) / "kovalith_room.ifc"
    original = room()
    path.write_text(to_ifc(original), encoding="utf-8")
    back = IfcParser.parse_ifc_points_and_faces(path.read_text(encoding="utf-8"))
    # The reader numbers vertices in order of first use by a loop, so compare
    # the vertex sets and each face's corner coordinates.
    same_vertices = sorted((v.x, v.y, v.z) for v in back.vertices) == sorted(
        (v.x, v.y, v.z) for v in original.vertices
    )
    same_faces = face_corners(back) == face_corners(original)
    print(f"wrote {path}: {len(original.vertices)} points, {len(original.faces)} loops")
    print(f"read back: {len(back.vertices)} vertices, {len(back.faces)} faces; "
          f"vertices identical: {same_vertices}, faces identical: {same_faces}")
    try:
        import ifcopenshell
    except ImportError:
        print("ifcopenshell is not installed: skipped the cross-check")
    else:
        model = ifcopenshell.open(str(path))
        points = len(model.by_type("IfcCartesianPoint"))
        loops = len(model.by_type("IfcPolyLoop"))
        print(f"ifcopenshell: {points} IfcCartesianPoint, {loops} IfcPolyLoop; "
              f"counts agree: {(points, loops) == (len(back.vertices), len(back.faces))}")
    return 0 if same_vertices and same_faces else 1


if __name__ == "__main__":
    sys.exit(main())
