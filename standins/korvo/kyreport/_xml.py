"""How the stand-in legacy library turns values into XML text.

A details document of a million records holds tens of millions of elements, most
of them small leaves that repeat (``<runtime>0</runtime>``, ``<runinfo/>``,
``<xref file="" line="-1"/>``, ``<result>Passed</result>``). While one document
is generated, `Leaves` hands out one shared element per distinct leaf, so the
document is a read-only tree whose equal childless leaves are the same object,
as are the attribute mappings of steps that recur in every section: it serialises
exactly as a tree of copies would, in a fraction of the memory.
"""

import datetime
import xml.etree.ElementTree as ET

__all__ = ["text_of", "leaf", "times_dom", "timing_dom", "mapping_dom", "Leaves"]

_Element = ET.Element
_SubElement = ET.SubElement
_datetime = datetime.datetime
_timedelta = datetime.timedelta


def text_of(value):
    """The text written for `value`; None for None."""
    kind = type(value)
    if kind is str or value is None:
        return value
    if kind is _datetime or isinstance(value, _datetime):
        return value.isoformat()
    if isinstance(value, _timedelta):
        seconds = value.total_seconds()
        return str(int(seconds)) if seconds == int(seconds) else repr(seconds)
    if isinstance(value, str):
        return value
    return str(value)


_NOTHING = object()
_MAX_SHARED_ATTRIBS = 1 << 16


class Leaves:
    """Shared childless elements and attribute mappings of one document, by tag,
    text and attributes.

    Only plain texts are shared; anything else gets an element of its own.
    """

    __slots__ = ("memo", "texts", "last_xref", "attribs")

    def __init__(self):
        self.memo = {}
        self.texts = {}  # <tag>text</tag> leaves: {tag: {text: element}}, no key to build
        self.last_xref = (_NOTHING, _NOTHING, None)  # (file, line, element) met last
        self.attribs = {}  # shared attribute mappings: {names: {texts: mapping}}

    def attrib(self, element, names, texts):
        """Gives `element` the attributes `names` with the plain `texts` (tuples).

        Elements with equal attributes share one mapping, as the document is read-only
        once made; past _MAX_SHARED_ATTRIBS distinct texts per set of names, new ones
        get a mapping of their own (jobs whose attributes never repeat)."""
        shared = self.attribs.get(names)
        if shared is None:
            shared = self.attribs[names] = {}
        attrib = shared.get(texts)
        if attrib is None:
            attrib = dict(zip(names, texts))
            if len(shared) < _MAX_SHARED_ATTRIBS:
                shared[texts] = attrib
        element.attrib = attrib

    def text(self, parent, tag, text):
        """Appends <tag>text</tag> to `parent`."""
        if type(text) is not str:
            _SubElement(parent, tag).text = text
            return
        by_text = self.texts.get(tag)
        if by_text is None:
            by_text = self.texts[tag] = {}
        element = by_text.get(text)
        if element is None:
            element = by_text[text] = _Element(tag)
            element.text = text
        parent.append(element)

    def empty(self, parent, tag, attrib=None):
        """Appends <tag .../> to `parent`, `attrib` holding plain texts only."""
        key = (tag, tuple(attrib.items())) if attrib else tag
        element = self.memo.get(key)
        if element is None:
            element = self.memo[key] = _Element(tag, attrib) if attrib else _Element(tag)
        parent.append(element)


def leaf(element, tag, value, always=False):
    """Appends <tag>value</tag> to `element` when `value` is not None (or `always`)."""
    if value is None and not always:
        return None
    child = _SubElement(element, tag)
    child.text = text_of(value)
    return child


def times_dom(element, obj):
    """<starttime> and <stoptime> of `obj`, always written."""
    start = obj.starttime
    _SubElement(element, "starttime").text = (
        start.isoformat() if type(start) is _datetime else text_of(start))
    stop = obj.stoptime
    _SubElement(element, "stoptime").text = (
        stop.isoformat() if type(stop) is _datetime else text_of(stop))


def timing_dom(element, obj, leaves=None):
    """The three timing elements of `obj`, always written."""
    times_dom(element, obj)
    if leaves is None:
        _SubElement(element, "runtime").text = text_of(obj.runtime)
    else:
        leaves.text(element, "runtime", text_of(obj.runtime))


def mapping_dom(element, tag, mapping, item_tag="item"):
    """<tag><item key="k">v</item>...</tag> for a mapping; nothing when empty."""
    if not mapping:
        return None
    holder = _SubElement(element, tag)
    for key, value in mapping.items():
        leaf(holder, item_tag, value, always=True).set("key", text_of(key))
    return holder
