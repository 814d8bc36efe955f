"""Native pretty-printing of element trees against the serialise/parse/pretty-print round trip."""

import contextlib
import xml.etree.ElementTree as ET
from unittest import mock
from xml.dom import minidom
from xml.parsers.expat import ExpatError

import pytest
from hypothesis import given, settings, strategies as st

from korvo.reporter import scribe

from support.profiles import examples


def library_pretty(element):
    return minidom.parseString(ET.tostring(element, encoding="utf-8")).toprettyxml(indent="  ")


@contextlib.contextmanager
def library_path_counted():
    """Counts the serialisations the fallback makes (the native walk makes none)."""
    calls = []
    real = ET.tostring

    def spy(*args, **kwargs):
        calls.append(args)
        return real(*args, **kwargs)

    with mock.patch.object(ET, "tostring", spy):
        yield calls


def native_pretty(element):
    with library_path_counted() as calls:
        text = scribe._pretty_xml(element)
    assert calls == [], "the native walk gave up on a valid tree"
    return text


# ---- generated trees ---------------------------------------------------------------

names = st.sampled_from(["a", "b", "job", "testCase", "x-y", "_n", "n.1", "Z9", "result"])
# Markup characters, quotes, every line-end form and tabs, mixed with the whole range of
# characters XML allows (outside the BMP included).
markup = st.sampled_from(["&", "<", ">", '"', "'", "\t", "\r", "\n", "\r\n", " ", "]]>", "&amp;"])
allowed = st.characters(
    min_codepoint=0x20, max_codepoint=0x10FFFF, exclude_categories=("Cs",), exclude_characters="\ufffe\uffff"
)
texts = st.lists(st.one_of(markup, allowed, st.text(allowed, max_size=5)), max_size=8).map("".join)
maybe_text = st.one_of(st.none(), st.just(""), texts)


@st.composite
def trees(draw, depth=0):
    element = ET.Element(draw(names), draw(st.dictionaries(names, texts, max_size=5)))
    element.text = draw(maybe_text)
    if depth < 4:
        for child in draw(st.lists(trees(depth=depth + 1), max_size=4 if depth < 2 else 2)):
            child.tail = draw(maybe_text)
            element.append(child)
    return element


@settings(max_examples=examples(1.5))
@given(trees())
def test_native_walk_equals_library_round_trip(element):
    assert native_pretty(element) == library_pretty(element)


forbidden = st.sampled_from(
    [chr(c) for c in range(0x20) if c not in (9, 10, 13)] + ["\ufffe", "\uffff", "\ud800", "\udfff"]
)


@settings(max_examples=examples(0.6))
@given(trees(), forbidden, st.sampled_from(["text", "tail", "attrib"]), st.data())
def test_documents_the_parser_rejects_raise_its_error(element, bad, where, data):
    nodes = list(element.iter())
    node = data.draw(st.sampled_from(nodes[1:] if where == "tail" and len(nodes) > 1 else nodes))
    if where == "attrib":
        node.set("bad", "v" + bad)
    elif where == "tail" and node is not element:
        node.tail = (node.tail or "") + bad
    else:
        node.text = (node.text or "") + bad
    with pytest.raises(ExpatError) as expected:
        library_pretty(element)
    with library_path_counted() as calls, pytest.raises(ExpatError) as raised:
        scribe._pretty_xml(element)
    assert calls, "the native walk accepted a document the parser rejects"
    assert str(raised.value) == str(expected.value)


# ---- the layout, spelled out -------------------------------------------------------


def test_layout_of_mixed_content():
    root = ET.Element("a", {"z": "1", "b": 'q"<&>'})
    root.text = "head"
    one = ET.SubElement(root, "one")
    one.text = "only text"
    one.tail = "between"
    ET.SubElement(root, "empty", {"k": ""})
    inner = ET.SubElement(root, "inner")
    ET.SubElement(inner, "leaf").tail = "after leaf"
    assert native_pretty(root) == (
        '<?xml version="1.0" ?>\n'
        '<a z="1" b="q&quot;&lt;&amp;&gt;">\n'
        "  head\n"
        "  <one>only text</one>\n"
        "  between\n"
        '  <empty k=""/>\n'
        "  <inner>\n"
        "    <leaf/>\n"
        "    after leaf\n"
        "  </inner>\n"
        "</a>\n"
    )


def test_line_ends_in_text_and_attributes():
    root = ET.Element("a", {"v": "1\r\n2\r3\t4\n5"})
    root.text = "x\r\ny\rz\n"
    assert native_pretty(root) == library_pretty(root)
    assert "x\ny\nz\n</a>" in native_pretty(root)


def test_empty_and_missing_texts_write_an_empty_element():
    for text in (None, ""):
        element = ET.Element("a")
        element.text = text
        child = ET.SubElement(element, "b")
        child.text = text
        child.tail = text
        assert native_pretty(element) == '<?xml version="1.0" ?>\n<a>\n  <b/>\n</a>\n'


def test_root_tail():
    root = ET.Element("a")
    root.tail = " \n\t\r"
    assert native_pretty(root) == '<?xml version="1.0" ?>\n<a/>\n'
    root.tail = "junk"
    with pytest.raises(ExpatError, match="junk after document element"):
        scribe._pretty_xml(root)


def test_attribute_order_is_insertion_order():
    root = ET.Element("a")
    for name in ("zeta", "alpha", "mid"):
        root.set(name, name)
    assert native_pretty(root).splitlines()[1] == '<a zeta="zeta" alpha="alpha" mid="mid"/>'


# ---- what the library decides ------------------------------------------------------


@pytest.mark.parametrize(
    "build",
    [
        lambda: ET.Element("{urn:x}a", {"{urn:y}k": "v"}),
        lambda: ET.Element("a", {"xmlns": "urn:x", "b": "1"}),
        lambda: ET.Element("caf\u00e9"),
        lambda: _with_child(ET.Element("a"), ET.Comment("note")),
        lambda: _with_child(ET.Element("a"), ET.ProcessingInstruction("pi", "data")),
    ],
)
def test_trees_outside_the_native_walk_come_from_the_library(build):
    element = build()
    assert scribe._pretty_xml(element) == library_pretty(element)


def _with_child(parent, child):
    parent.append(child)
    return parent


@pytest.mark.parametrize(
    "build",
    [
        lambda: _with_text(ET.Element("a"), 5),
        lambda: _with_text(ET.Element("a"), b"bytes"),
        lambda: _with_text(ET.Element("a"), ["list"]),
        lambda: ET.Element("a", {"k": 1}),
        lambda: ET.Element(7),
        lambda: _with_tail(ET.Element("a"), ET.Element("b"), 3.5),
    ],
)
def test_serialisation_errors_are_the_element_trees(build):
    element = build()
    with pytest.raises(TypeError) as expected:
        library_pretty(element)
    with pytest.raises(TypeError) as raised:
        scribe._pretty_xml(element)
    assert str(raised.value) == str(expected.value)


def _with_text(element, text):
    element.text = text
    return element


def _with_tail(parent, child, tail):
    child.tail = tail
    parent.append(child)
    return parent


@pytest.mark.parametrize("name", ["", "1a", "a:b", "a b", "-a"])
def test_invalid_names_raise_the_parsers_error(name):
    for element in (ET.Element(name), ET.Element("a", {name: "v"})):
        with pytest.raises(ExpatError) as expected:
            library_pretty(element)
        with pytest.raises(ExpatError) as raised:
            scribe._pretty_xml(element)
        assert str(raised.value) == str(expected.value)


def test_falsy_non_text_is_written_as_nothing():
    element = ET.Element("a")
    element.text = 0
    assert scribe._pretty_xml(element) == library_pretty(element) == '<?xml version="1.0" ?>\n<a/>\n'


def test_moderate_depth_is_native_and_extreme_depth_raises_recursion_error():
    root = leaf = ET.Element("a")
    for _ in range(100):
        leaf = ET.SubElement(leaf, "a")
    assert native_pretty(root) == library_pretty(root)
    for _ in range(100_000):
        leaf = ET.SubElement(leaf, "a")
    with pytest.raises(RecursionError):
        scribe._pretty_xml(root)


def test_not_an_element():
    with pytest.raises((TypeError, AttributeError)):
        scribe._pretty_xml("text")
    with pytest.raises(TypeError):
        scribe._pretty_xml()


def test_printing_leaves_the_elements_as_they_were():
    # Reading .attrib would give every element without attributes a dict for good (a
    # quarter of a gigabyte on a million-record document); printing must only read.
    root = ET.Element("job", {"id": "1"})
    shared = ET.Element("runinfo")
    for n in range(3):
        record = ET.SubElement(root, "teststep", {"id": str(n)})
        ET.SubElement(record, "starttime").text = "2026-01-01T00:00:0%d" % n
        record.append(shared)
    sizes = [e.__sizeof__() for e in root.iter()]
    text = native_pretty(root)
    assert [e.__sizeof__() for e in root.iter()] == sizes
    assert text == library_pretty(root)
