"""Recording fakes of the legacy report library.

Every attribute write, item store and call on a fake lands in one shared log
as a tuple:

    ("set", "path.attr", value)
    ("item", "path.mapping", key, value)
    ("call", "path.method", args, kwargs)
    ("new", class_name, args)

Members spring into existence when first read; the ones the contract names
as mappings ("extra", "attrs") or lists ("hosts") are recording mappings and
lists. A factory ``add_...`` returns a new fake whose path is the parent's
path, "/", and the first argument given; ``generate_...`` calls append one
element named after the method (and its name argument) to the element given.
"""

import itertools
import xml.etree.ElementTree as ET

MAPPING_MEMBERS = {"extra", "attrs"}
LIST_MEMBERS = {"hosts"}


class RecordingMapping(dict):
    def __init__(self, log, path):
        super().__init__()
        self._log = log
        self._path = path

    def __setitem__(self, key, value):
        self._log.append(("item", self._path, key, value))
        super().__setitem__(key, value)

    def update(self, *args, **kwargs):
        self._log.append(("call", self._path + ".update", args, kwargs))
        super().update(*args, **kwargs)


class RecordingList(list):
    def __init__(self, log, path):
        super().__init__()
        self._log = log
        self._path = path

    def append(self, value):
        self._log.append(("call", self._path + ".append", (value,), {}))
        super().append(value)

    def generate_dom(self, element):
        self._log.append(("call", self._path + ".generate_dom", (element,), {}))
        for value in self:
            ET.SubElement(element, "hostentry").text = value


def _member(log, path, name):
    if name in MAPPING_MEMBERS:
        return RecordingMapping(log, path)
    if name in LIST_MEMBERS:
        return RecordingList(log, path)
    return Fake(log, path)


class Fake:
    def __init__(self, log, path):
        object.__setattr__(self, "_log", log)
        object.__setattr__(self, "_path", path)

    def __setattr__(self, name, value):
        self._log.append(("set", "%s.%s" % (self._path, name), value))
        object.__setattr__(self, name, value)

    def __getattr__(self, name):
        if name.startswith("__"):
            raise AttributeError(name)
        member = _member(self._log, "%s.%s" % (self._path, name), name)
        object.__setattr__(self, name, member)
        return member

    def __bool__(self):
        # a member nobody set reads as unset
        return False

    def __call__(self, *args, **kwargs):
        self._log.append(("call", self._path, args, kwargs))
        method = self._path.rsplit(".", 1)[-1]
        parent = self._path.rsplit(".", 1)[0]
        if method.startswith("add_") and method != "add_testscript":
            first = list(kwargs.values())[0] if kwargs else args[0]
            return Fake(self._log, "%s/%s" % (parent, first))
        if method.startswith("generate") and args:
            tag = method if len(args) == 1 else "%s-%s" % (method, args[1])
            ET.SubElement(args[0], tag)
        return None


def make_library(log, details_root=None):
    """Fake KYReport, legacy Campaign and TestScript classes logging into `log`.

    KYReport().generate_dom() returns `details_root` (a fresh <details/> when None)."""
    numbers = itertools.count()

    class KYReport(Fake):
        def __init__(self):
            log.append(("new", "KYReport", ()))
            super().__init__(log, "K")

        def generate_dom(self):
            log.append(("call", "K.generate_dom", (), {}))
            return details_root if details_root is not None else ET.Element("details")

    class Campaign(Fake):
        def __init__(self):
            log.append(("new", "Campaign", ()))
            super().__init__(log, "C")

    class TestScript(Fake):
        def __init__(self, *args):
            log.append(("new", "TestScript", args))
            super().__init__(log, "TS%d" % next(numbers))

    return KYReport, Campaign, TestScript
