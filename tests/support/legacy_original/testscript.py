"""The legacy test script: one run of one test script."""

import xml.etree.ElementTree as ET

from ._xml import leaf, timing_dom
from .records import LogFileRef, RunInfo, Summary, TestCase, TestSection, Timing

__all__ = ["TestScript"]


class ScriptRef:
    """Name and directory of the script file: <script name="..." path="..."/>."""

    def __init__(self):
        self.name = None
        self.path = None

    def generate_dom(self, element):
        script = ET.SubElement(element, "script")
        for key in ("name", "path"):
            value = getattr(self, key)
            if value is not None:
                script.set(key, value)
        return script


class TestScriptInitInfo:
    """Start-up information of a script run: arguments, description, log file
    and script file."""

    def __init__(self, logfile):
        self.pargs = None
        self.description = None
        self.logfile = LogFileRef(logfile)
        self.script = ScriptRef()

    def generate_dom(self, element):
        initinfo = ET.SubElement(element, "initinfo")
        leaf(initinfo, "pargs", self.pargs)
        leaf(initinfo, "description", self.description)
        self.logfile.generate_dom(initinfo)
        self.script.generate_dom(initinfo)
        return initinfo


class TestScript(Timing):
    """A test script run.

    ``TestScript(logfile, rerun_of)``: `logfile` is the path of the script's
    log file (or None); `rerun_of` is the id of the run this one repeats, or
    None for a first run, written as the attribute ``rerunOf``.

    Written as <testscript> with its timing, <initinfo>, <summary>,
    <runinfo>, then its common sections and test cases in the order added.
    """

    def __init__(self, logfile, rerun_of):
        super().__init__()
        self.rerun_of = rerun_of
        self.initinfo = TestScriptInitInfo(logfile)
        self.runinfo = RunInfo()
        self.summary = Summary()
        self.sections = []

    def add_testsection(self, *, sectionid):
        """A common setup or cleanup section, named by `sectionid`."""
        section = TestSection(sectionid)
        self.sections.append(section)
        return section

    def add_testcase(self, *, tcid, logfilepath):
        testcase = TestCase(tcid, logfilepath)
        self.sections.append(testcase)
        return testcase

    def generate_dom(self, element, id=None):
        script = ET.SubElement(element, "testscript")
        if id is not None:
            script.set("id", str(id))
        if self.rerun_of is not None:
            script.set("rerunOf", str(self.rerun_of))
        timing_dom(script, self)
        self.initinfo.generate_dom(script)
        self.summary.generate_dom(script)
        self.runinfo.generate_dom(script)
        for section in self.sections:
            section.generate_dom(script)
        return script
