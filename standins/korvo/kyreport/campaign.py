"""The legacy campaign: one job run, its start-up information, summary and
the job execution that holds the test scripts."""

import xml.etree.ElementTree as ET

from ._xml import Leaves, leaf, timing_dom
from .records import HostList, RunInfo, Summary, Timing, VeldRecord

__all__ = ["Campaign", "JobExecution"]


class Params:
    """Parameters of the job: the command line it was started with."""

    def __init__(self):
        self.cli = None


class Zet:
    """The harness installation the job ran with: path and version."""

    def __init__(self):
        self.path = None
        self.version = None


class CampaignInitInfo:
    """Start-up information of a job run."""

    FIELDS = ("jobid", "name", "testbed", "release", "image", "submitter")

    def __init__(self):
        self.jobid = None
        self.name = None
        self.testbed = None
        self.release = None
        self.image = None
        self.submitter = None
        self.hosts = HostList()
        self.params = Params()
        self.zet = Zet()

    def generate_simple_elt_dom(self, element, name):
        """Appends <name>value of attribute name</name> to `element`."""
        return leaf(element, name, getattr(self, name), always=True)

    def generate_dom(self, element):
        initinfo = ET.SubElement(element, "initinfo")
        for field in self.FIELDS:
            leaf(initinfo, field, getattr(self, field))
        if self.hosts:
            self.hosts.generate_dom(ET.SubElement(initinfo, "hosts"))
        leaf(initinfo, "cli", self.params.cli)
        zet = ET.SubElement(initinfo, "zet")
        for key in ("path", "version"):
            value = getattr(self.zet, key)
            if value is not None:
                zet.set(key, str(value))
        return initinfo


class JobExecution(Timing):
    """The run of the job's scripts: ``add_testscript(script, id)`` registers
    a script under its id, in order."""

    def __init__(self):
        super().__init__()
        self.testscripts = []

    def add_testscript(self, script, id):
        self.testscripts.append((script, id))
        return script

    def generate_dom(self, element, leaves=None):
        execution = ET.SubElement(element, "jobexecution")
        timing_dom(execution, self)
        for script, script_id in self.testscripts:
            script.generate_dom(execution, script_id, leaves)
        return execution


class Campaign(Timing):
    """The legacy campaign: <campaign archive="..."> with timing, initinfo,
    summary, runinfo, veld settings and the job execution."""

    def __init__(self):
        super().__init__()
        self.archivefile = None
        self.initinfo = CampaignInitInfo()
        self.summary = Summary()
        self.runinfo = RunInfo()
        self.veld = VeldRecord()
        self.jobexecution = JobExecution()

    def generate_dom(self, element, leaves=None):
        campaign = ET.SubElement(element, "campaign")
        if self.archivefile is not None:
            campaign.set("archive", str(self.archivefile))
        timing_dom(campaign, self)
        self.initinfo.generate_dom(campaign)
        self.summary.generate_dom(campaign)
        self.runinfo.generate_dom(campaign)
        self.veld.generate_dom(campaign)
        self.jobexecution.generate_dom(campaign, Leaves() if leaves is None else leaves)
        return campaign
