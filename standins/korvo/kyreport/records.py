"""The records of the legacy report: run information, cross-references,
log-file positions, results, identifiers, summaries, hosts and the test
section, subsection, case and step records.

Every ``generate_dom(element)`` appends this record's elements to
`element` and returns what it appended.

A job holds one record per report node, so records are slotted and make
their run information and child list only when first used.
"""

import datetime
import xml.etree.ElementTree as ET

from ._xml import Leaves, leaf, mapping_dom, text_of, times_dom, timing_dom

_Element = ET.Element
_timedelta = datetime.timedelta

__all__ = [
    "Timing", "RunInfo", "XRef", "LogFileRef", "ResultRecord", "IdRecord", "Summary",
    "HostList", "VeldRecord", "TestSection", "CommonSubSection", "TestCase", "TestStep",
]

_SubElement = ET.SubElement
_NO_CHILDREN = ()
_new = object.__new__
_SMALL_INTS = 4096
_SMALL_INT_TEXTS = tuple(str(n) for n in range(_SMALL_INTS))
_STEP_ATTRIBUTES = ("id", "name")


class Timing:
    """Start, stop (date-times) and run time (a duration) of a record.

    Written as <starttime>, <stoptime> and <runtime> (seconds)."""

    __slots__ = ("starttime", "stoptime", "runtime")

    def __init__(self):
        self.starttime = None
        self.stoptime = None
        self.runtime = None

    def generate_simple_elt_dom(self, element, name):
        """Appends <name>value of attribute name</name> to `element`."""
        return leaf(element, name, getattr(self, name), always=True)


class RunInfo:
    """Diagnostics of a run: ``set_args(diag=text)`` adds one <diag> line;
    any other named argument is kept as a <arg key="name"> entry."""

    __slots__ = ("diags", "args")

    def __init__(self):
        self.diags = []
        self.args = {}

    def set_args(self, **kwargs):
        for key, value in kwargs.items():
            if key == "diag":
                self.diags.append(value)
            else:
                self.args[key] = value

    def generate_dom(self, element):
        runinfo = ET.SubElement(element, "runinfo")
        for diag in self.diags:
            leaf(runinfo, "diag", diag, always=True)
        for key, value in self.args.items():
            leaf(runinfo, "arg", value, always=True).set("key", key)
        return runinfo


class XRef:
    """Where the code of a record lies: <xref file="..." line="..."/>."""

    __slots__ = ("file", "line")

    def __init__(self):
        self.file = None
        self.line = None

    def generate_dom(self, element, leaves=None):
        attrib = {}
        if self.file is not None:
            attrib["file"] = text_of(self.file)
        if self.line is not None:
            attrib["line"] = text_of(self.line)
        if leaves is not None and all(type(v) is str for v in attrib.values()):
            return leaves.empty(element, "xref", attrib)
        xref = ET.SubElement(element, "xref")
        for key, value in attrib.items():
            xref.set(key, value)
        return xref


class LogFileRef:
    """A record's place in a log file: <logfile path="..." begin=".." size=".."/>;
    `attrs` holds further attributes (normally "begin" and "size")."""

    __slots__ = ("filepath", "attrs")

    def __init__(self, filepath=None):
        self.filepath = filepath
        self.attrs = {}

    def attributes(self):
        """The element's attributes as texts, in order."""
        path = self.filepath
        if path is None:
            attrib = {}
        else:
            attrib = {"path": path if type(path) is str else text_of(path)}
        for key, value in self.attrs.items():
            if value is not None:
                kind = type(value)
                if kind is int and 0 <= value < _SMALL_INTS:
                    text = _SMALL_INT_TEXTS[value]  # sizes of log lines: one text each
                else:
                    text = value if kind is str else str(value) if kind is int else text_of(value)
                attrib[key if type(key) is str else text_of(key)] = text
        return attrib

    def generate_dom(self, element):
        return _SubElement(element, "logfile", self.attributes())


class ResultRecord:
    """The result of a record as text: <result>Failed</result>; none when unset."""

    __slots__ = ("value",)

    def __init__(self):
        self.value = None

    def generate_dom(self, element, leaves=None):
        if leaves is None or self.value is None:
            return leaf(element, "result", self.value)
        return leaves.text(element, "result", text_of(self.value))


class IdRecord:
    """An identifier: <id name="...">value</id>; `attrs` become attributes."""

    __slots__ = ("attrs", "idtypevalue")

    def __init__(self):
        self.attrs = {}
        self.idtypevalue = None

    def generate_dom(self, element):
        ident = leaf(element, "id", self.idtypevalue, always=True)
        for key, value in self.attrs.items():
            if value is not None:
                ident.set(text_of(key), text_of(value))
        return ident


class Summary:
    """Counts of results by result name; ``update(counter)`` adds a counter's
    counts (any object with ``items()`` giving name/count pairs)."""

    __slots__ = ("counts",)

    def __init__(self):
        self.counts = {}

    def update(self, counter):
        for key, count in counter.items():
            self.counts[key] = self.counts.get(key, 0) + count

    def generate_dom(self, element):
        """<summary total="N"><count result="name">n</count>...</summary>"""
        summary = ET.SubElement(element, "summary")
        self._fill(summary)
        return summary

    def generate_resultsonly_dom(self, element):
        """<results total="N"><count result="name">n</count>...</results>"""
        results = ET.SubElement(element, "results")
        self._fill(results)
        return results

    def _fill(self, holder):
        holder.set("total", str(sum(self.counts.values())))
        for key, count in self.counts.items():
            leaf(holder, "count", count, always=True).set("result", text_of(key))


class HostList(list):
    """The hosts a job ran on; written as one <host> element per entry."""

    def generate_dom(self, element):
        return [leaf(element, "host", host, always=True) for host in self]


class VeldRecord:
    """Settings for the results service: ``set_args(dnsname=, attributes=, post=)``
    (each optional). Written as <veld dnsname="..."> with <attribute key="..">
    entries and a <post> element holding the post-processing entries."""

    __slots__ = ("dnsname", "attributes", "post")

    def __init__(self):
        self.dnsname = None
        self.attributes = None
        self.post = None

    def set_args(self, dnsname=None, attributes=None, post=None):
        if dnsname is not None:
            self.dnsname = dnsname
        if attributes is not None:
            self.attributes = attributes
        if post is not None:
            self.post = post

    def generate_dom(self, element):
        veld = ET.SubElement(element, "veld")
        if self.dnsname is not None:
            veld.set("dnsname", text_of(self.dnsname))
        if isinstance(self.attributes, dict):
            for key, value in self.attributes.items():
                leaf(veld, "attribute", value, always=True).set("key", text_of(key))
        elif self.attributes is not None:
            leaf(veld, "attribute", self.attributes)
        if self.post is not None:
            mapping_dom(veld, "post", self.post, item_tag="entry")
        return veld


class _WithRunInfo(Timing):
    """Timing plus run information that is made on first use."""

    __slots__ = ("_runinfo",)

    def __init__(self):
        Timing.__init__(self)
        self._runinfo = None

    @property
    def runinfo(self):
        runinfo = self._runinfo
        if runinfo is None:
            runinfo = self._runinfo = RunInfo()
        return runinfo

    @runinfo.setter
    def runinfo(self, value):
        self._runinfo = value

    def _runinfo_dom(self, element, leaves):
        runinfo = self._runinfo
        if runinfo is None or (not runinfo.diags and not runinfo.args):
            memo = leaves.memo
            shared = memo.get("runinfo")
            if shared is None:
                shared = memo["runinfo"] = _Element("runinfo")
            element.append(shared)
        else:
            runinfo.generate_dom(element)


class _Record(_WithRunInfo):
    """Members common to sections, subsections and steps: timing, run
    information, an extra mapping, cross-reference, log position, result,
    and child records in the order added."""

    __slots__ = ("extra", "xref", "logfile", "result", "children")

    TAG = "record"

    def __init__(self):
        _WithRunInfo.__init__(self)
        self.extra = {}
        self.xref = XRef()
        self.logfile = LogFileRef()
        self.result = ResultRecord()
        self.children = _NO_CHILDREN

    def _identity_dom(self, element, leaves):
        pass

    def _open_dom(self, element, leaves):
        record = _SubElement(element, self.TAG)
        self._identity_dom(record, leaves)
        return record

    def _own_dom(self, element, leaves):
        pass

    def generate_dom(self, element, leaves=None):
        # The hot path of a details document: one call per record, the usual member
        # objects handled inline, leaves shared through the document's memo.
        if leaves is None:
            leaves = Leaves()
        memo = leaves.memo
        record = self._open_dom(element, leaves)
        times_dom(record, self)
        runtime = self.runtime
        if type(runtime) is _timedelta:
            # run times repeat (mostly a few whole seconds): one shared element per value,
            # found by the duration itself
            shared = memo.get(runtime)
            if shared is None:
                leaves.text(record, "runtime", text_of(runtime))
                memo[runtime] = record[-1]
            else:
                record.append(shared)
        else:
            leaves.text(record, "runtime", text_of(runtime))
        self._own_dom(record, leaves)
        xref = self.xref
        if type(xref) is XRef:
            file, line = xref.file, xref.line
            last = leaves.last_xref
            if file is last[0] and line is last[1]:
                record.append(last[2])  # records mostly share one place (or none)
            elif type(file) is str and type(line) is int:
                key = ("xref", file, line)
                shared = memo.get(key)
                if shared is None:
                    shared = memo[key] = _Element("xref", {"file": file, "line": str(line)})
                leaves.last_xref = (file, line, shared)
                record.append(shared)
            else:
                xref.generate_dom(record, leaves)
        else:
            xref.generate_dom(record)
        logfile = self.logfile
        if type(logfile) is LogFileRef:
            _SubElement(record, "logfile", logfile.attributes())
        else:
            logfile.generate_dom(record)
        result = self.result
        if type(result) is not ResultRecord:
            result.generate_dom(record)
        elif type(result.value) is str:
            leaves.text(record, "result", result.value)
        else:
            result.generate_dom(record, leaves)
        self._runinfo_dom(record, leaves)
        if self.extra:
            mapping_dom(record, "extra", self.extra)
        for child in self.children:
            child.generate_dom(record, leaves)
        return record

    def _add_child(self, child):
        if self.children:
            self.children.append(child)
        else:
            self.children = [child]
        return child

    def add_teststep(self, *, id, name):
        return self._add_child(TestStep(id, name))


def _description_dom(element, description, leaves):
    if description is not None:
        leaves.text(element, "description", text_of(description))


class TestStep(_Record):
    """A test step, nested to any depth: <teststep id="..." name="...">;
    `index` and `continue_` are written as attributes when set."""

    __slots__ = ("id", "name", "description", "index", "continue_")

    TAG = "teststep"

    def __init__(self, id, name):
        # _Record.__init__ inline, members made without running their __init__: a job
        # makes one step per step node
        self.starttime = self.stoptime = self.runtime = self._runinfo = None
        self.extra = {}
        self.xref = xref = _new(XRef)
        xref.file = xref.line = None
        self.logfile = logfile = _new(LogFileRef)
        logfile.filepath = None
        logfile.attrs = {}
        self.result = result = _new(ResultRecord)
        result.value = None
        self.children = _NO_CHILDREN
        self.id = id
        self.name = name
        self.description = None
        self.index = None
        self.continue_ = None

    def _open_dom(self, element, leaves):
        # the attributes given at once: steps are most records of a job
        ident, name = self.id, self.name
        if (type(ident) is str and type(name) is str and self.index is None
                and self.continue_ is None):
            # the same steps recur in every section: one mapping per id and name
            step = _SubElement(element, "teststep")
            leaves.attrib(step, _STEP_ATTRIBUTES, (ident, name))
            return step
        attrib = {"id": ident if type(ident) is str else text_of(ident),
                  "name": name if type(name) is str else text_of(name)}
        if self.index is not None:
            attrib["index"] = text_of(self.index)
        if self.continue_ is not None:
            attrib["continue"] = text_of(self.continue_)
        return _SubElement(element, "teststep", attrib)

    def _own_dom(self, element, leaves):
        _description_dom(element, self.description, leaves)


class CommonSubSection(_Record):
    """A subsection of a common setup or cleanup: <subsection> with its <id>,
    <name> and <description>, holding test steps."""

    __slots__ = ("id", "name", "description")

    TAG = "subsection"

    def __init__(self, name):
        _Record.__init__(self)
        self.id = IdRecord()
        self.name = name
        self.description = None

    def _identity_dom(self, element, leaves):
        self.id.generate_dom(element)
        leaf(element, "name", self.name)

    def _own_dom(self, element, leaves):
        _description_dom(element, self.description, leaves)

    def add_commonsubsection(self, *, name):
        raise TypeError("subsections do not nest")


class TestSection(_Record):
    """A test section of a test case, or a common setup/cleanup of a script:
    <testsection id="...">, holding test steps or common subsections."""

    __slots__ = ("sectionid",)

    TAG = "testsection"

    def __init__(self, sectionid):
        _Record.__init__(self)
        self.sectionid = sectionid

    def _identity_dom(self, element, leaves):
        element.set("id", text_of(self.sectionid))

    def add_commonsubsection(self, *, name):
        return self._add_child(CommonSubSection(name))


class TestCaseInitInfo:
    """Identity and start-up information of a test case."""

    __slots__ = ("id", "name", "swversion", "hwversion", "fwversion", "tstversion",
                 "description", "xref", "logfile")

    _TAGS = ("name", "swversion", "hwversion", "fwversion", "tstversion", "description")

    def __init__(self, tcid, logfilepath):
        self.id = IdRecord()
        self.id.idtypevalue = tcid
        self.name = None
        self.swversion = None
        self.hwversion = None
        self.fwversion = None
        self.tstversion = None
        self.description = None
        self.xref = XRef()
        self.logfile = LogFileRef(logfilepath)

    def generate_dom(self, element, leaves=None):
        if leaves is None:
            leaves = Leaves()
        initinfo = ET.SubElement(element, "initinfo")
        self.id.generate_dom(initinfo)
        for tag in self._TAGS:
            value = getattr(self, tag)
            if value is not None:
                leaves.text(initinfo, tag, text_of(value))
        self.xref.generate_dom(initinfo, leaves)
        self.logfile.generate_dom(initinfo)
        return initinfo


class TestCase(_WithRunInfo):
    """A test case of a script: <testcase id="...">, its <initinfo>, result,
    run information and extra, then its test sections."""

    __slots__ = ("tcid", "initinfo", "extra", "result", "sections")

    def __init__(self, tcid, logfilepath):
        _WithRunInfo.__init__(self)
        self.tcid = tcid
        self.initinfo = TestCaseInitInfo(tcid, logfilepath)
        self.extra = {}
        self.result = ResultRecord()
        self.sections = []

    def add_testsection(self, *, sectionid):
        section = TestSection(sectionid)
        self.sections.append(section)
        return section

    def generate_dom(self, element, leaves=None):
        if leaves is None:
            leaves = Leaves()
        testcase = ET.SubElement(element, "testcase", id=text_of(self.tcid))
        timing_dom(testcase, self, leaves)
        self.initinfo.generate_dom(testcase, leaves)
        self.result.generate_dom(testcase, leaves)
        self._runinfo_dom(testcase, leaves)
        mapping_dom(testcase, "extra", self.extra)
        for section in self.sections:
            section.generate_dom(testcase, leaves)
        return testcase
