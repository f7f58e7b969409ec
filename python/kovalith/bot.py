"""The graph as Linked Building Data: the W3C Building Topology Ontology (BOT), in Turtle.

`turtle` writes the description as Turtle text, `write_bot` into a file and
`bot_graph` reads it into an `rdflib.Graph`:

- one ``bot:Site`` with one ``bot:Building`` (``bot:hasBuilding``), which
  ``bot:hasStorey`` each storey of the rooms (their ``storey`` attribute),
  each ``bot:Storey`` ``bot:hasSpace`` its rooms;
- one ``bot:Space`` per room, ``bot:adjacentZone`` every room it touches,
  ``bot:containsElement`` the elements standing in it (its ``elements``
  attribute: columns, beams, segments) and ``bot:adjacentElement`` the
  elements that bound its contacts;
- one ``bot:Interface`` per contact, ``bot:interfaceOf`` both rooms and each
  element that bounds it: the GlobalIds in the contact's ``elements``,
  ``doors`` and ``windows`` attributes, each a ``bot:Element``.

Every room, contact and element also carries its properties as datatype
properties in the `vocabulary` namespace, named and converted as in every
other output (`kovalith.values`): ``shared_area`` (the contact's area, an
``xsd:double``), ``global_id``, ``name``, ...; a list value is one
``rdf:JSON`` literal, so a vector keeps its order. Elements carry
``global_id``.

IRIs: a room or element is ``base`` + its GlobalId (percent-encoded where an
IRI needs it), or ``base + "space_<index>"`` for a room without one; a
contact is ``base + "interface_<k>"`` (its position in ``graph.edges``); the
storeys ``base + "storey_"`` + their name, the site and the building
``base + "site"`` and ``base + "building"`` (the graph holds no GlobalId for
them).

`SHAPES` is a SHACL shape set shipped with the package (one storey per
space, two zones per interface, a positive area, a GlobalId on every
element); `validate` runs it with pySHACL.

The text is written directly (rdflib's own serializer takes seconds for a
thousand rooms and writes doubles to six digits); rdflib reads it back and
pySHACL checks it, in the tests and in `bot_graph` and `validate`. rdflib and
pySHACL are optional dependencies: ``pip install 'kovalith[standards]'``.
"""

from __future__ import annotations

import json
import os
import pathlib
import re
from typing import Any, Literal
from json.encoder import encode_basestring as _json_string  # type: ignore[attr-defined]
from urllib.parse import quote

from kovalith import SpatialGraph
from kovalith.values import building_documents, graph_properties

__all__ = ["BOT", "DEFAULT_BASE", "DEFAULT_VOCABULARY", "SHAPES", "turtle", "bot_graph", "write_bot", "validate"]

BOT = "https://w3id.org/bot#"
# Placeholders of the documentation domain: set your own.
DEFAULT_BASE = "https://example.org/building/"
DEFAULT_VOCABULARY = "https://example.org/kovalith#"
SHAPES = pathlib.Path(__file__).with_name("bot_shapes.ttl")
# Characters an IRI path segment may hold as they are (RFC 3987 unreserved and sub-delims but "&").
_SAFE = "-._~!$'()*+,;=@"
# What an IRIREF of Turtle cannot hold (besides controls and the space).
_NOT_IN_IRI = frozenset('<>"{}|^`\\')
_PLAIN_NAME = re.compile(r"[A-Za-z_][A-Za-z0-9_]*\Z")
# Turtle strings: the quote, the backslash and every control character escaped.
_STRING_ESCAPES = {c: f"\\u{c:04X}" for c in [*range(0x20), 0x7F]}
_STRING_ESCAPES.update({ord('"'): '\\"', ord("\\"): "\\\\", ord("\n"): "\\n", ord("\r"): "\\r", ord("\t"): "\\t"})


def _rdflib() -> Any:
    try:
        import rdflib
    except ImportError as exc:
        raise ImportError("kovalith.bot needs rdflib: pip install 'kovalith[standards]'") from exc
    return rdflib


def _iri_part(text: str) -> str:
    return quote(text, safe=_SAFE)


def _check_iri(iri: str, what: str) -> str:
    bad = next((ch for ch in iri if ch in _NOT_IN_IRI or ord(ch) <= 0x20), None)
    if bad is not None or not iri:
        raise ValueError(f"{what}: {iri!r} is not an IRI Turtle can write (it is empty or holds {bad!r})")
    return iri


def _string(text: str) -> str:
    return '"' + text.translate(_STRING_ESCAPES) + '"'


def _literal(value: Any) -> str:
    cls = type(value)
    if cls is str:
        return _string(value)
    if cls is bool:
        return "true" if value else "false"
    if cls is int:
        return str(value)
    if cls is float:
        return f'"{value!r}"^^xsd:double'
    return _string(_json_list(value)) + "^^rdf:JSON"


def _json_list(value: list[Any]) -> str:
    """``json.dumps(value, ensure_ascii=False)`` of a converted list (items
    of one built-in type, floats finite), without the encoder's set-up per
    call: the lists are many and short."""
    if not value:
        return "[]"
    cls = type(value[0])
    if cls is str:
        return "[" + ", ".join(map(_json_string, value)) + "]"
    if cls is float:
        return "[" + ", ".join(map(float.__repr__, value)) + "]"
    if cls is bool:
        return "[" + ", ".join("true" if v else "false" for v in value) + "]"
    if cls is int:
        return "[" + ", ".join(map(int.__repr__, value)) + "]"
    return json.dumps(value, ensure_ascii=False, allow_nan=False)


class _Turtle:
    """Turtle text, one subject block at a time."""

    def __init__(self, base: str, vocabulary: str) -> None:
        self.base = base
        self.vocabulary = vocabulary
        self.blocks: list[str] = [
            f"@prefix bot: <{BOT}> .",
            "@prefix rdf: <http://www.w3.org/1999/02/22-rdf-syntax-ns#> .",
            "@prefix rdfs: <http://www.w3.org/2000/01/rdf-schema#> .",
            "@prefix xsd: <http://www.w3.org/2001/XMLSchema#> .",
            f"@prefix kov: <{vocabulary}> .",
            "",
        ]
        self.triples = 0
        self._names: dict[str, str] = {}

    def iri(self, local: str) -> str:
        return f"<{self.base}{local}>"

    def predicate(self, key: str) -> str:
        name = self._names.get(key)
        if name is None:
            name = self._names[key] = (f"kov:{key}" if _PLAIN_NAME.match(key)
                                       else f"<{self.vocabulary}{_iri_part(key)}>")
        return name

    def block(self, subject: str, pairs: list[tuple[str, str]]) -> None:
        self.triples += len(pairs)
        self.blocks.append(subject + " " + " ;\n    ".join(f"{p} {o}" for p, o in pairs) + " .")

    def properties(self, properties: dict[str, Any]) -> list[tuple[str, str]]:
        return [(self.predicate(k), _literal(v)) for k, v in properties.items()]

    def text(self) -> str:
        return "\n".join(self.blocks) + "\n"


def turtle(graph: SpatialGraph, *, base: str = DEFAULT_BASE, vocabulary: str = DEFAULT_VOCABULARY,
           non_finite: Literal["omit", "raise"] = "omit") -> tuple[str, int]:
    """The BOT description of a compiled graph as Turtle text, and its number of triples.

    Parameters
    ----------
    graph : SpatialGraph
        Best from `kovalith.ifc.compile_rooms` (GlobalIds, names, storeys);
        any graph works, its rooms named by position.
    base : str
        IRI that every resource's IRI starts with (see the module docstring).
    vocabulary : str
        Namespace of the datatype properties.
    non_finite : {"omit", "raise"}
        As in `kovalith.values`.

    Raises
    ------
    ValueError, TypeError
        What `kovalith.values.graph_properties` refuses; two rooms with one
        GlobalId (their IRIs would merge); a `base` or `vocabulary` that
        Turtle cannot write as an IRI.
    """
    _check_iri(base, "base")
    _check_iri(vocabulary, "vocabulary")
    nodes, edges = graph_properties(graph, non_finite=non_finite)
    out = _Turtle(base, vocabulary)
    site, building = out.iri("site"), out.iri("building")
    out.block(site, [("a", "bot:Site"), ("bot:hasBuilding", building)])

    spaces: list[str] = []
    seen: dict[str, int] = {}
    storeys: dict[str, tuple[str, list[str]]] = {}
    elements: dict[str, str] = {}
    adjacent: list[list[tuple[str, str]]] = [[] for _ in nodes]
    contained: list[list[str]] = [[] for _ in nodes]

    def element(global_id: str) -> str:
        iri = elements.get(global_id)
        if iri is None:
            iri = elements[global_id] = out.iri(_iri_part(global_id))
        return iri

    for k, props in enumerate(nodes):
        gid = props.get("global_id")
        if isinstance(gid, str) and gid:
            if gid in seen:
                raise ValueError(f"node {k}: global_id {gid!r} is the GlobalId of node {seen[gid]}; "
                                 "each room needs an IRI of its own")
            seen[gid] = k
            spaces.append(out.iri(_iri_part(gid)))
        else:
            spaces.append(out.iri(f"space_{props['index']}"))
        storey = props.get("storey")
        key = storey if isinstance(storey, str) else ""
        if key not in storeys:
            storeys[key] = (out.iri("storey_" + _iri_part(key)), [])
        storeys[key][1].append(spaces[k])
        contained[k] = [element(g) for g in _ids(props.get("elements"))]

    out.block(building, [("a", "bot:Building")] + [("bot:hasStorey", iri) for iri, _ in storeys.values()])
    for key, (iri, members) in storeys.items():
        pairs = [("a", "bot:Storey")] + ([("rdfs:label", _string(key))] if key else [])
        out.block(iri, pairs + [("bot:hasSpace", m) for m in members])

    for k, (edge, props) in enumerate(zip(graph.edges, edges)):
        a, b = edge.node_a, edge.node_b
        if a >= len(spaces) or b >= len(spaces):
            raise ValueError(f"edge {k} ({a}-{b}) names a node position beyond the {len(spaces)} nodes")
        bounding = [element(g) for g in dict.fromkeys(_ids(props.get("elements")) + _ids(props.get("doors"))
                                                      + _ids(props.get("windows")))]
        adjacent[a].append((spaces[b], ""))
        adjacent[b].append((spaces[a], ""))
        for iri in bounding:
            adjacent[a].append(("", iri))
            adjacent[b].append(("", iri))
        out.block(out.iri(f"interface_{k}"),
                  [("a", "bot:Interface"), ("bot:interfaceOf", spaces[a]), ("bot:interfaceOf", spaces[b])]
                  + [("bot:interfaceOf", iri) for iri in bounding] + out.properties(props))

    for k, props in enumerate(nodes):
        pairs = [("a", "bot:Space")]
        if isinstance(props.get("name"), str):
            pairs.append(("rdfs:label", _string(props["name"])))
        pairs += [("bot:adjacentZone", z) for z in dict.fromkeys(z for z, _ in adjacent[k] if z)]
        pairs += [("bot:adjacentElement", e) for e in dict.fromkeys(e for _, e in adjacent[k] if e)]
        pairs += [("bot:containsElement", e) for e in dict.fromkeys(contained[k])]
        out.block(spaces[k], pairs + out.properties(props))
    for global_id, iri in elements.items():
        out.block(iri, [("a", "bot:Element"), ("kov:global_id", _string(global_id))])
    return out.text(), out.triples


def _ids(value: Any) -> list[str]:
    return [v for v in value if isinstance(v, str) and v] if isinstance(value, list) else []


def bot_graph(graph: SpatialGraph, *, base: str = DEFAULT_BASE, vocabulary: str = DEFAULT_VOCABULARY,
              non_finite: Literal["omit", "raise"] = "omit") -> Any:
    """The `turtle` of a graph read into an `rdflib.Graph` (see there)."""
    rdflib = _rdflib()
    text, _ = turtle(graph, base=base, vocabulary=vocabulary, non_finite=non_finite)
    return rdflib.Graph().parse(data=text, format="turtle")


def write_bot(graph: SpatialGraph, path: str | os.PathLike[str], *, base: str = DEFAULT_BASE,
              vocabulary: str = DEFAULT_VOCABULARY, non_finite: Literal["omit", "raise"] = "omit") -> int:
    """Write the `turtle` of a graph (UTF-8); returns the number of triples.
    Nothing is written when a value is refused."""
    with building_documents():
        text, count = turtle(graph, base=base, vocabulary=vocabulary, non_finite=non_finite)
    with open(path, "w", encoding="utf-8", newline="\n") as f:
        f.write(text)
    return count


def validate(data: Any, *, vocabulary: str = DEFAULT_VOCABULARY) -> tuple[bool, str]:
    """Check a BOT description against `SHAPES` with pySHACL.

    `data` is an `rdflib.Graph` or the path of a Turtle file. The shapes are
    written for `DEFAULT_VOCABULARY`; another `vocabulary` is put in its
    place. Returns ``(conforms, report text)``.
    """
    rdflib = _rdflib()
    try:
        import pyshacl
    except ImportError as exc:
        raise ImportError("kovalith.bot.validate needs pySHACL: pip install 'kovalith[standards]'") from exc
    if not isinstance(data, rdflib.Graph):
        data = rdflib.Graph().parse(os.fspath(data), format="turtle")
    shapes_text = SHAPES.read_text(encoding="utf-8").replace(DEFAULT_VOCABULARY, vocabulary)
    shapes = rdflib.Graph().parse(data=shapes_text, format="turtle")
    conforms, _, text = pyshacl.validate(data, shacl_graph=shapes)
    return bool(conforms), str(text)
