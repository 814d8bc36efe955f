"""How the stand-in legacy library turns values into XML text."""

import datetime
import xml.etree.ElementTree as ET

__all__ = ["text_of", "leaf", "timing_dom", "mapping_dom"]


def text_of(value):
    """The text written for `value`; None for None."""
    if value is None or isinstance(value, str):
        return value
    if isinstance(value, datetime.datetime):
        return value.isoformat()
    if isinstance(value, datetime.timedelta):
        seconds = value.total_seconds()
        return str(int(seconds)) if seconds == int(seconds) else repr(seconds)
    return str(value)


def leaf(element, tag, value, always=False):
    """Appends <tag>value</tag> to `element` when `value` is not None (or `always`)."""
    if value is None and not always:
        return None
    child = ET.SubElement(element, tag)
    child.text = text_of(value)
    return child


def timing_dom(element, obj):
    """The three timing elements of `obj`, always written."""
    for tag in ("starttime", "stoptime", "runtime"):
        leaf(element, tag, getattr(obj, tag), always=True)


def mapping_dom(element, tag, mapping, item_tag="item"):
    """<tag><item key="k">v</item>...</tag> for a mapping; nothing when empty."""
    if not mapping:
        return None
    holder = ET.SubElement(element, tag)
    for key, value in mapping.items():
        leaf(holder, item_tag, value, always=True).set("key", text_of(key))
    return holder
