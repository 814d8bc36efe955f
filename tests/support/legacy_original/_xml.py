"""How the stand-in legacy library turns values into XML text."""

import datetime
import xml.etree.ElementTree as ET

__all__ = ["text_of", "leaf", "timing_dom", "mapping_dom"]


def text_of(value):
    """The text written for `value`; None for None."""
    kind = type(value)
    if kind is str or value is None:
        return value
    if kind is datetime.datetime or isinstance(value, datetime.datetime):
        return value.isoformat()
    if isinstance(value, datetime.timedelta):
        seconds = value.total_seconds()
        return str(int(seconds)) if seconds == int(seconds) else repr(seconds)
    if isinstance(value, str):
        return value
    return str(value)


_SubElement = ET.SubElement


def leaf(element, tag, value, always=False):
    """Appends <tag>value</tag> to `element` when `value` is not None (or `always`)."""
    if value is None and not always:
        return None
    child = _SubElement(element, tag)
    child.text = text_of(value)
    return child


def timing_dom(element, obj):
    """The three timing elements of `obj`, always written."""
    _SubElement(element, "starttime").text = text_of(obj.starttime)
    _SubElement(element, "stoptime").text = text_of(obj.stoptime)
    _SubElement(element, "runtime").text = text_of(obj.runtime)


def mapping_dom(element, tag, mapping, item_tag="item"):
    """<tag><item key="k">v</item>...</tag> for a mapping; nothing when empty."""
    if not mapping:
        return None
    holder = ET.SubElement(element, tag)
    for key, value in mapping.items():
        leaf(holder, item_tag, value, always=True).set("key", text_of(key))
    return holder
