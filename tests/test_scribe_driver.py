"""The export driver: both result files, the summary document and the failure dump."""

import os
import resource
import xml.etree.ElementTree as ET
from xml.dom import minidom
from xml.parsers.expat import ExpatError

import pytest

from korvo.reporter import scribe as scribe_module
from korvo.reporter.scribe import Scribe
from korvo.results import Failed, Passed
from support.legacy_fakes import make_library
from support.report_trees import finish, job, section, task, timed

DETAILS = "ResultsDetails.xml"
SUMMARY = "ResultsSummary.xml"


def small_job(**data):
    root = job(**data)
    t = task(root, "t1")
    section(section(t, "tc"), "sec", result=Passed)
    t.stop()
    return finish(root)


def files(directory):
    return sorted(os.listdir(directory))


def test_generate_xml_call_order_with_fakes(fake_lib, tmp_path):
    sc = Scribe(str(tmp_path), small_job(image="img"))
    assert fake_lib == [("new", "KYReport", ())]
    assert (sc.kyreport._path, sc.logsdir, list(vars(sc))) == (
        "K", str(tmp_path), ["kyreport", "logsdir", "_campaign"])
    fake_lib.clear()
    assert sc.generate_xml(client=None, kwargs={}) is None
    assert fake_lib[:2] == [("new", "Campaign", ()), ("set", "K.campaign", sc.kyreport.campaign)]
    calls = [e[1] for e in fake_lib if e[0] == "call" and not e[1].startswith(("C.j", "TS"))
             and not e[1].endswith(("update", "set_args"))]
    assert calls == [
        "K.generate_dom", "C.summary.generate_resultsonly_dom",
        "C.generate_simple_elt_dom", "C.generate_simple_elt_dom", "C.generate_simple_elt_dom",
        "C.initinfo.generate_simple_elt_dom", "C.initinfo.generate_simple_elt_dom",
        "C.initinfo.generate_simple_elt_dom"]
    summary = minidom.parse(str(tmp_path / SUMMARY))
    root = summary.documentElement
    assert root.tagName == "jobSummary"
    assert [(k, v) for k, v in root.attributes.items()] == [("archiveFilename", ""),
                                                           ("zetTreePath", "")]
    assert [n.tagName for n in root.childNodes if n.nodeType == n.ELEMENT_NODE] == [
        "jobName", "image", "generate_resultsonly_dom",
        "generate_simple_elt_dom-starttime", "generate_simple_elt_dom-stoptime",
        "generate_simple_elt_dom-runtime", "generate_simple_elt_dom-testbed",
        "generate_simple_elt_dom-release", "generate_simple_elt_dom-submitter",
        "debugProfile", "host"]
    assert (tmp_path / DETAILS).read_text() == '<?xml version="1.0" ?>\n<details/>\n'


def test_summary_with_stand_in_library(tmp_path):
    root = small_job(host="h1", korvopath="/opt/k", archivefile="a.tgz", image="img",
                     submitter="me")
    Scribe(str(tmp_path), root).generate_xml(1, 2)
    text = (tmp_path / SUMMARY).read_text(encoding="utf-8")
    lines = text.splitlines()
    assert lines[:3] == ['<?xml version="1.0" ?>',
                         '<jobSummary archiveFilename="a.tgz" zetTreePath="/opt/k">',
                         "  <jobName>job-1</jobName>"]
    assert "  <image>img</image>" in lines
    assert "  <debugProfile>0</debugProfile>" in lines
    assert lines[-2:] == ["  <host>h1</host>", "</jobSummary>"]
    assert text.endswith("\n")


def test_summary_without_hosts_ends_with_empty_host(tmp_path):
    Scribe(str(tmp_path), small_job()).generate_xml(None, None)
    assert (tmp_path / SUMMARY).read_text().splitlines()[-2:] == ["  <host/>", "</jobSummary>"]


@pytest.mark.parametrize("args,kwargs", [((1,), {}), ((1, 2, 3), {}), ((1,), {"other": 2}),
                                         ((), {"client": 1})])
def test_argument_errors_write_nothing(tmp_path, args, kwargs):
    sc = Scribe(str(tmp_path), small_job())
    with pytest.raises(TypeError):
        sc.generate_xml(*args, **kwargs)
    assert files(tmp_path) == []
    assert sc.kyreport.campaign is None


def test_constructor_arguments(tmp_path):
    root = small_job()
    assert Scribe(campaign=root, logsdir=str(tmp_path))._campaign is root
    for args in [(), (str(tmp_path),), (str(tmp_path), root, 3)]:
        with pytest.raises(TypeError):
            Scribe(*args)


def test_logsdir_with_trailing_slash(tmp_path):
    Scribe(str(tmp_path) + "/", small_job()).generate_xml(None, None)
    assert files(tmp_path) == [DETAILS, SUMMARY]


def test_second_call_uses_a_fresh_legacy_campaign(tmp_path):
    sc = Scribe(str(tmp_path), small_job(host="h"))
    sc.generate_xml(None, None)
    first = sc.kyreport.campaign
    first_text = (tmp_path / DETAILS).read_bytes()
    sc.generate_xml(None, None)
    assert sc.kyreport.campaign is not first
    assert list(sc.kyreport.campaign.initinfo.hosts) == ["h"]
    assert (tmp_path / DETAILS).read_bytes() == first_text


def test_characters_xml_cannot_carry_in_descriptions_and_details_are_escaped(tmp_path):
    root = small_job()
    root.tasks[0].sections[0].sections[0].description = "tab\x0bbad & \u00e9\uffff"
    root.add_detail("form\x0cfeed\x1f")
    Scribe(str(tmp_path), root).generate_xml(None, None)
    details = minidom.parse(str(tmp_path / DETAILS))
    texts = [n.firstChild.data for n in details.getElementsByTagName("*")
             if n.firstChild is not None and n.firstChild.nodeType == n.TEXT_NODE]
    assert "tab\\x0bbad & \u00e9\\uffff" in texts
    assert "form\\x0cfeed\\x1f" in texts
    assert files(tmp_path) == [DETAILS, SUMMARY]


def test_unparsable_details_leave_rough_bytes_and_raise_parser_error(tmp_path):
    root = small_job()
    # cross-reference files reach the XML unescaped
    root.tasks[0].sections[0].xref = {"file": "tc\x0b.py", "line": 1}
    (tmp_path / DETAILS).write_text("old details")
    (tmp_path / SUMMARY).write_text("old summary")
    sc = Scribe(str(tmp_path), root)
    with pytest.raises(ExpatError):
        sc.generate_xml(None, None)
    expected = ET.tostring(sc.kyreport.generate_dom(), encoding="utf-8")
    assert (tmp_path / "xml_rough_string").read_bytes() == expected
    assert (tmp_path / DETAILS).read_text() == "old details"
    assert (tmp_path / SUMMARY).read_text() == "old summary"
    assert files(tmp_path) == [DETAILS, SUMMARY, "xml_rough_string"]


def test_fake_details_root_that_does_not_reparse(monkeypatch, tmp_path):
    log = []
    bad = ET.Element("details")
    bad.text = "\x1f"
    for name, cls in zip(("KYReport", "Campaign", "TestScript"), make_library(log, bad)):
        monkeypatch.setattr(scribe_module, name, cls)
    with pytest.raises(ExpatError):
        Scribe(str(tmp_path), small_job()).generate_xml(None, None)
    assert (tmp_path / "xml_rough_string").read_bytes() == b"<details>\x1f</details>"
    assert files(tmp_path) == ["xml_rough_string"]


def test_serialisation_type_error_propagates_without_dump(monkeypatch, tmp_path):
    log = []
    bad = ET.Element("details")
    bad.text = 5
    for name, cls in zip(("KYReport", "Campaign", "TestScript"), make_library(log, bad)):
        monkeypatch.setattr(scribe_module, name, cls)
    with pytest.raises(TypeError):
        Scribe(str(tmp_path), small_job()).generate_xml(None, None)
    assert files(tmp_path) == []


def test_missing_log_directory_raises_write_error_with_dump_error_as_context(tmp_path):
    sc = Scribe(str(tmp_path / "missing"), small_job())
    with pytest.raises(FileNotFoundError) as info:
        sc.generate_xml(None, None)
    assert info.value.filename.endswith(DETAILS)
    assert isinstance(info.value.__context__, FileNotFoundError)
    assert info.value.__context__.filename.endswith("xml_rough_string")


def test_failing_write_keeps_previous_files_whole(tmp_path, file_size_limit):
    root = small_job()
    sc = Scribe(str(tmp_path), root)
    sc.generate_xml(None, None)
    old_details = (tmp_path / DETAILS).read_bytes()
    old_summary = (tmp_path / SUMMARY).read_bytes()
    for i in range(40):
        root.add_detail("a longer run this time, line %d" % i)
    file_size_limit(len(old_details) + 10)
    with pytest.raises(OSError):
        sc.generate_xml(None, None)
    file_size_limit(resource.RLIM_INFINITY)
    assert (tmp_path / DETAILS).read_bytes() == old_details
    assert (tmp_path / SUMMARY).read_bytes() == old_summary
    assert files(tmp_path) == [DETAILS, SUMMARY]  # no temporary files, no partial dump


class PaddedSummaryET:
    """The element tree library, with a large attribute on the summary's debugProfile."""

    Element = ET.Element
    tostring = staticmethod(ET.tostring)

    @staticmethod
    def SubElement(parent, tag, *args, **kwargs):
        element = ET.SubElement(parent, tag, *args, **kwargs)
        if tag == "debugProfile":
            element.set("pad", "x" * 5000)
        return element


def test_failing_summary_write_keeps_previous_summary(tmp_path, file_size_limit, monkeypatch):
    sc = Scribe(str(tmp_path), small_job())
    sc.generate_xml(None, None)
    old_details = (tmp_path / DETAILS).read_bytes()
    old_summary = (tmp_path / SUMMARY).read_bytes()
    monkeypatch.setattr(scribe_module, "ET", PaddedSummaryET)
    file_size_limit(len(old_details) + 100)
    with pytest.raises(OSError):
        sc.generate_xml(None, None)
    file_size_limit(resource.RLIM_INFINITY)
    assert (tmp_path / DETAILS).read_bytes() == old_details
    assert (tmp_path / SUMMARY).read_bytes() == old_summary
    assert files(tmp_path) == [DETAILS, SUMMARY]


def test_replaced_file_keeps_its_permissions(tmp_path):
    sc = Scribe(str(tmp_path), small_job())
    sc.generate_xml(None, None)
    os.chmod(tmp_path / DETAILS, 0o640)
    sc.generate_xml(None, None)
    assert (os.stat(tmp_path / DETAILS).st_mode & 0o777) == 0o640


def test_result_files_are_utf8(tmp_path):
    root = small_job(image="\u00e9t\u00e9 \u2603")
    Scribe(str(tmp_path), root).generate_xml(None, None)
    assert "<image>\u00e9t\u00e9 \u2603</image>".encode("utf-8") in (tmp_path / SUMMARY).read_bytes()


class Tracing(Scribe):
    def __init__(self, *args):
        super().__init__(*args)
        self.seen = []

    def _handle_step(self, kystep, step):
        self.seen.append(step.id)
        return super()._handle_step(kystep, step)

    def _handle_testcase(self, kytc, testcase):
        self.seen.append("tc:" + testcase.id)
        return super()._handle_testcase(kytc, testcase)


def test_subclass_handlers_are_called_through_attribute_lookup(tmp_path):
    root = job()
    t = task(root)
    sec = section(section(t, "tc"), "sec")
    section(section(sec, "s1"), "s2")
    t.stop()
    finish(root)
    sc = Tracing(str(tmp_path), root)
    sc.generate_xml(None, None)
    assert sc.seen == ["tc:tc", "s1", "s2"]
    assert files(tmp_path) == [DETAILS, SUMMARY]


def test_handlers_replaced_on_the_class_are_called(monkeypatch, tmp_path):
    seen = []
    native_step = Scribe._handle_step

    def traced_step(self, kystep, step):
        seen.append(step.id)
        return native_step(self, kystep, step)

    monkeypatch.setattr(Scribe, "_handle_step", traced_step)
    root = job()
    t = task(root)
    sec = section(section(t, "tc"), "sec")
    section(section(sec, "s1"), "s2")
    t.stop()
    finish(root)
    Scribe(str(tmp_path), root).generate_xml(None, None)
    assert seen == ["s1", "s2"]
