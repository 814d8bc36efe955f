"""The records of the legacy report: run information, cross-references,
log-file positions, results, identifiers, summaries, hosts and the test
section, subsection, case and step records.

Every ``generate_dom(element)`` appends this record's elements to
`element` and returns what it appended.
"""

import xml.etree.ElementTree as ET

from ._xml import leaf, mapping_dom, text_of, timing_dom

__all__ = [
    "Timing", "RunInfo", "XRef", "LogFileRef", "ResultRecord", "IdRecord", "Summary",
    "HostList", "VeldRecord", "TestSection", "CommonSubSection", "TestCase", "TestStep",
]


class Timing:
    """Start, stop (date-times) and run time (a duration) of a record.

    Written as <starttime>, <stoptime> and <runtime> (seconds)."""

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

    def __init__(self):
        self.file = None
        self.line = None

    def generate_dom(self, element):
        xref = ET.SubElement(element, "xref")
        if self.file is not None:
            xref.set("file", text_of(self.file))
        if self.line is not None:
            xref.set("line", text_of(self.line))
        return xref


class LogFileRef:
    """A record's place in a log file: <logfile path="..." begin=".." size=".."/>;
    `attrs` holds further attributes (normally "begin" and "size")."""

    def __init__(self, filepath=None):
        self.filepath = filepath
        self.attrs = {}

    def generate_dom(self, element):
        logfile = ET.SubElement(element, "logfile")
        if self.filepath is not None:
            logfile.set("path", text_of(self.filepath))
        for key, value in self.attrs.items():
            if value is not None:
                logfile.set(text_of(key), text_of(value))
        return logfile


class ResultRecord:
    """The result of a record as text: <result>Failed</result>; none when unset."""

    def __init__(self):
        self.value = None

    def generate_dom(self, element):
        return leaf(element, "result", self.value)


class IdRecord:
    """An identifier: <id name="...">value</id>; `attrs` become attributes."""

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


class _Record(Timing):
    """Members common to sections, subsections and steps: timing, run
    information, an extra mapping, cross-reference, log position, result,
    and child records in the order added."""

    TAG = "record"

    def __init__(self):
        super().__init__()
        self.runinfo = RunInfo()
        self.extra = {}
        self.xref = XRef()
        self.logfile = LogFileRef()
        self.result = ResultRecord()
        self.children = []

    def _identity_dom(self, element):
        pass

    def _own_dom(self, element):
        pass

    def generate_dom(self, element):
        record = ET.SubElement(element, self.TAG)
        self._identity_dom(record)
        timing_dom(record, self)
        self._own_dom(record)
        self.xref.generate_dom(record)
        self.logfile.generate_dom(record)
        self.result.generate_dom(record)
        self.runinfo.generate_dom(record)
        mapping_dom(record, "extra", self.extra)
        for child in self.children:
            child.generate_dom(record)
        return record

    def add_teststep(self, *, id, name):
        step = TestStep(id, name)
        self.children.append(step)
        return step


class TestStep(_Record):
    """A test step, nested to any depth: <teststep id="..." name="...">;
    `index` and `continue_` are written as attributes when set."""

    TAG = "teststep"

    def __init__(self, id, name):
        super().__init__()
        self.id = id
        self.name = name
        self.description = None
        self.index = None
        self.continue_ = None

    def _identity_dom(self, element):
        element.set("id", text_of(self.id))
        element.set("name", text_of(self.name))
        if self.index is not None:
            element.set("index", text_of(self.index))
        if self.continue_ is not None:
            element.set("continue", text_of(self.continue_))

    def _own_dom(self, element):
        leaf(element, "description", self.description)


class CommonSubSection(_Record):
    """A subsection of a common setup or cleanup: <subsection> with its <id>,
    <name> and <description>, holding test steps."""

    TAG = "subsection"

    def __init__(self, name):
        super().__init__()
        self.id = IdRecord()
        self.name = name
        self.description = None

    def _identity_dom(self, element):
        self.id.generate_dom(element)
        leaf(element, "name", self.name)

    def _own_dom(self, element):
        leaf(element, "description", self.description)

    def add_commonsubsection(self, *, name):
        raise TypeError("subsections do not nest")


class TestSection(_Record):
    """A test section of a test case, or a common setup/cleanup of a script:
    <testsection id="...">, holding test steps or common subsections."""

    TAG = "testsection"

    def __init__(self, sectionid):
        super().__init__()
        self.sectionid = sectionid

    def _identity_dom(self, element):
        element.set("id", text_of(self.sectionid))

    def add_commonsubsection(self, *, name):
        subsection = CommonSubSection(name)
        self.children.append(subsection)
        return subsection


class TestCaseInitInfo:
    """Identity and start-up information of a test case."""

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

    def generate_dom(self, element):
        initinfo = ET.SubElement(element, "initinfo")
        self.id.generate_dom(initinfo)
        for tag in ("name", "swversion", "hwversion", "fwversion", "tstversion",
                    "description"):
            leaf(initinfo, tag, getattr(self, tag))
        self.xref.generate_dom(initinfo)
        self.logfile.generate_dom(initinfo)
        return initinfo


class TestCase(Timing):
    """A test case of a script: <testcase id="...">, its <initinfo>, result,
    run information and extra, then its test sections."""

    def __init__(self, tcid, logfilepath):
        super().__init__()
        self.tcid = tcid
        self.initinfo = TestCaseInitInfo(tcid, logfilepath)
        self.runinfo = RunInfo()
        self.extra = {}
        self.result = ResultRecord()
        self.sections = []

    def add_testsection(self, *, sectionid):
        section = TestSection(sectionid)
        self.sections.append(section)
        return section

    def generate_dom(self, element):
        testcase = ET.SubElement(element, "testcase", id=text_of(self.tcid))
        timing_dom(testcase, self)
        self.initinfo.generate_dom(testcase)
        self.result.generate_dom(testcase)
        self.runinfo.generate_dom(testcase)
        mapping_dom(testcase, "extra", self.extra)
        for section in self.sections:
            section.generate_dom(testcase)
        return testcase
