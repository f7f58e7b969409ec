"""The graph as Linked Building Data: the W3C Building Topology Ontology (BOT), in Turtle.

`bot_graph` builds an `rdflib.Graph`, `write_bot` writes it as Turtle:

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

rdflib and pySHACL are optional dependencies: ``pip install 'kovalith[standards]'``.
"""

from __future__ import annotations

import io
import json
import os
import pathlib
from typing import Any, Literal
from urllib.parse import quote

from kovalith import SpatialGraph
from kovalith.values import graph_properties

__all__ = ["BOT", "DEFAULT_BASE", "DEFAULT_VOCABULARY", "SHAPES", "bot_graph", "write_bot", "validate"]

BOT = "https://w3id.org/bot#"
# Placeholders of the documentation domain: set your own.
DEFAULT_BASE = "https://example.org/building/"
DEFAULT_VOCABULARY = "https://example.org/kovalith#"
SHAPES = pathlib.Path(__file__).with_name("bot_shapes.ttl")
# Characters an IRI path segment may hold as they are (RFC 3987 unreserved and sub-delims but "&").
_SAFE = "-._~!$'()*+,;=@"


def _rdflib() -> Any:
    try:
        import rdflib
    except ImportError as exc:
        raise ImportError("kovalith.bot needs rdflib: pip install 'kovalith[standards]'") from exc
    return rdflib


def _iri_part(text: str) -> str:
    return quote(text, safe=_SAFE)


def bot_graph(graph: SpatialGraph, *, base: str = DEFAULT_BASE, vocabulary: str = DEFAULT_VOCABULARY,
              non_finite: Literal["omit", "raise"] = "omit") -> Any:
    """The BOT description of a compiled graph as an `rdflib.Graph`.

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
        GlobalId (their IRIs would merge).
    """
    rdflib = _rdflib()
    from rdflib.namespace import RDF, RDFS, XSD

    nodes, edges = graph_properties(graph, non_finite=non_finite)
    bot = rdflib.Namespace(BOT)
    vocab = rdflib.Namespace(vocabulary)
    out = rdflib.Graph()
    out.bind("bot", bot)
    out.bind("kov", vocab)
    out.bind("inst", rdflib.Namespace(base))

    def literal(value: Any) -> Any:
        if isinstance(value, list):
            return rdflib.Literal(json.dumps(value, ensure_ascii=False, allow_nan=False), datatype=RDF.JSON)
        if isinstance(value, float):
            return rdflib.Literal(repr(value), datatype=XSD.double)
        return rdflib.Literal(value)

    def describe(subject: Any, properties: dict[str, Any]) -> None:
        for key, value in properties.items():
            out.add((subject, vocab[_iri_part(key)], literal(value)))

    site, building = rdflib.URIRef(base + "site"), rdflib.URIRef(base + "building")
    out.add((site, RDF.type, bot.Site))
    out.add((building, RDF.type, bot.Building))
    out.add((site, bot.hasBuilding, building))

    spaces = []
    seen: dict[str, int] = {}
    storeys: dict[Any, Any] = {}
    for k, props in enumerate(nodes):
        gid = props.get("global_id")
        if isinstance(gid, str) and gid:
            if gid in seen:
                raise ValueError(f"node {k}: global_id {gid!r} is the GlobalId of node {seen[gid]}; "
                                 "each room needs an IRI of its own")
            seen[gid] = k
            space = rdflib.URIRef(base + _iri_part(gid))
        else:
            space = rdflib.URIRef(base + f"space_{props['index']}")
        spaces.append(space)
        out.add((space, RDF.type, bot.Space))
        if isinstance(props.get("name"), str):
            out.add((space, RDFS.label, rdflib.Literal(props["name"])))
        describe(space, props)
        storey_name = props.get("storey")
        key = storey_name if isinstance(storey_name, str) else ""
        if key not in storeys:
            storey = rdflib.URIRef(base + "storey_" + _iri_part(key))
            storeys[key] = storey
            out.add((storey, RDF.type, bot.Storey))
            out.add((building, bot.hasStorey, storey))
            if key:
                out.add((storey, RDFS.label, rdflib.Literal(key)))
        out.add((storeys[key], bot.hasSpace, space))
        for element_id in _ids(props.get("elements")):
            out.add((space, bot.containsElement, _element(out, rdflib, bot, vocab, base, element_id)))

    for k, (edge, props) in enumerate(zip(graph.edges, edges)):
        a, b = spaces[edge.node_a], spaces[edge.node_b]
        interface = rdflib.URIRef(base + f"interface_{k}")
        out.add((a, bot.adjacentZone, b))
        out.add((b, bot.adjacentZone, a))
        out.add((interface, RDF.type, bot.Interface))
        out.add((interface, bot.interfaceOf, a))
        out.add((interface, bot.interfaceOf, b))
        describe(interface, props)
        for element_id in dict.fromkeys(_ids(props.get("elements")) + _ids(props.get("doors"))
                                        + _ids(props.get("windows"))):
            element = _element(out, rdflib, bot, vocab, base, element_id)
            out.add((interface, bot.interfaceOf, element))
            out.add((a, bot.adjacentElement, element))
            out.add((b, bot.adjacentElement, element))
    return out


def _ids(value: Any) -> list[str]:
    return [v for v in value if isinstance(v, str) and v] if isinstance(value, list) else []


def _element(out: Any, rdflib: Any, bot: Any, vocab: Any, base: str, global_id: str) -> Any:
    from rdflib.namespace import RDF

    element = rdflib.URIRef(base + _iri_part(global_id))
    out.add((element, RDF.type, bot.Element))
    out.add((element, vocab.global_id, rdflib.Literal(global_id)))
    return element


def write_bot(graph: SpatialGraph, path: str | os.PathLike[str], *, base: str = DEFAULT_BASE,
              vocabulary: str = DEFAULT_VOCABULARY, non_finite: Literal["omit", "raise"] = "omit") -> int:
    """Write `bot_graph` as Turtle (UTF-8); returns the number of triples.
    Nothing is written when a value is refused."""
    rdf = bot_graph(graph, base=base, vocabulary=vocabulary, non_finite=non_finite)
    buffer = io.BytesIO()
    _exact_turtle(rdf).serialize(buffer, encoding="utf-8")
    with open(path, "wb") as f:
        f.write(buffer.getvalue())
    return len(rdf)


def _exact_turtle(rdf: Any) -> Any:
    """rdflib's Turtle serializer, but for doubles: it writes them in the
    short form with six digits, which loses precision; here they keep the
    lexical form they were given (Python's shortest exact repr)."""
    from rdflib import Literal
    from rdflib.namespace import XSD
    from rdflib.plugins.serializers.turtle import _GEN_QNAME_FOR_DT, TurtleSerializer

    class ExactTurtle(TurtleSerializer):  # type: ignore[misc]
        def label(self, node: Any, position: int) -> str:
            if isinstance(node, Literal) and node.datatype == XSD.double:
                return str(node._literal_n3(use_plain=False,
                                            qname_callback=lambda dt: self.get_pname(dt, _GEN_QNAME_FOR_DT)))
            return str(super().label(node, position))

    return ExactTurtle(rdf)


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
