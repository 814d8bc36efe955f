"""Whole exports through the stand-in legacy library: the result files are exactly
what the DOM library's pretty-printer makes of the documents."""

import xml.etree.ElementTree as ET
from xml.dom import minidom

from hypothesis import given, settings
from hypothesis import strategies as st

from korvo.reporter import scribe as scribe_module
from korvo.reporter.scribe import Scribe
from korvo.results import Failed, Passed, Skipped

from support.profiles import examples
from support.report_trees import finish, job, task

# Text the export cleans on its way: anything XML can carry plus the characters
# the escaping rewrites (the lowest control characters and ESC).
FREE = st.text(st.characters(
    blacklist_categories=("Cs",),
    blacklist_characters="\x0b\x0c\x0e\x0f\x10\x11\x12\x13\x14\x15\x16\x17\x18\x19\x1a"
                         "\x1c\x1d\x1e\x1f\ufffe\uffff"), max_size=12)
# Text written as it stands (ids, paths, job data): XML-safe, markup characters included.
SAFE = st.text(st.characters(min_codepoint=0x20, blacklist_categories=("Cs",),
                             blacklist_characters="\ufffe\uffff"), min_size=1, max_size=8)
RESULTS = st.sampled_from([None, Passed, Failed, Skipped])
TYPES = st.sampled_from(["CommonSetup", "CommonCleanup", "Testcase", "SetupProcessor", "Step"])


@st.composite
def section_specs(draw, depth):
    children = []
    if depth > 0:
        children = draw(st.lists(section_specs(depth - 1), max_size=2))
    data = {}
    if draw(st.booleans()):
        data["description"] = draw(FREE)
    if draw(st.booleans()):
        data["xref"] = {"file": draw(SAFE), "line": draw(st.integers(0, 999))}
    result = draw(RESULTS)
    if result is not None:
        data["result"] = result
    if draw(st.booleans()):
        data["details"] = draw(st.lists(FREE, max_size=2))
    # index and continue_ reach the legacy step as they are: numbers and flags
    for key in draw(st.lists(st.sampled_from(["index", "continue_"]), max_size=2, unique=True)):
        data[key] = draw(st.one_of(st.integers(), st.booleans()))
    for key in draw(st.lists(st.sampled_from(["note", "parameters"]), max_size=2, unique=True)):
        data[key] = draw(st.one_of(FREE, st.integers(), st.lists(FREE, max_size=2)))
    return {"id": draw(SAFE), "type": draw(TYPES), "data": data, "children": children}


@st.composite
def jobs(draw):
    job_data = {}
    for key in ("host", "submitter", "korvopath", "archivefile", "testbed", "image"):
        if draw(st.booleans()):
            job_data[key] = draw(SAFE)
    tasks = draw(st.lists(st.tuples(
        st.booleans(),  # job-level plugin instead of a task
        st.one_of(st.none(), FREE),  # task description
        st.lists(section_specs(2), max_size=3)), max_size=3))
    return job_data, draw(st.lists(FREE, max_size=2)), tasks


def build_section(parent, shape):
    node = parent.add_section(id=shape["id"], seq_num=len(parent.sections), type=shape["type"])
    node.start()
    for child in shape["children"]:
        build_section(node, child)
    node.stop(**shape["data"])


def build(job_data, details, tasks):
    root = job(id="job<&>", **job_data)
    for n, (is_plugin, description, sections) in enumerate(tasks):
        if is_plugin:
            plugin = root.add_plugin(id="plugin%d" % n, seq_num=n)
            plugin.start()
            plugin.stop()
            continue
        data = {"testscript": "/scripts/t%d.py" % n, "parameters": {"n": n}}
        if description is not None:
            data["description"] = description
        t = task(root, "t%d" % n, **data)
        for shape in sections:
            build_section(t, shape)
        t.stop()
    for detail in details:
        root.add_detail(detail)
    return finish(root)


def dom_pretty(element):
    return minidom.parseString(ET.tostring(element, encoding="utf-8")).toprettyxml(
        indent="  ").encode("utf-8")


def reference_summary(ts):
    root = ET.Element("jobSummary", {"archiveFilename": ts.archivefile or "",
                                     "zetTreePath": ts.initinfo.zet.path or ""})
    ET.SubElement(root, "jobName").text = ts.initinfo.name
    ET.SubElement(root, "image").text = ts.initinfo.image
    ts.summary.generate_resultsonly_dom(root)
    for name in ("starttime", "stoptime", "runtime"):
        ts.generate_simple_elt_dom(root, name)
    for name in ("testbed", "release", "submitter"):
        ts.initinfo.generate_simple_elt_dom(root, name)
    ET.SubElement(root, "debugProfile").text = "0"
    if len(ts.initinfo.hosts) > 0:
        ts.initinfo.hosts.generate_dom(root)
    else:
        ET.SubElement(root, "host")
    return root


@settings(max_examples=examples(0.4))
@given(jobs())
def test_result_files_match_the_dom_pretty_printer(tmp_path_factory, shape):
    directory = tmp_path_factory.mktemp("export")
    sc = Scribe(str(directory), build(*shape))
    sc.generate_xml(None, None)
    details = (directory / "ResultsDetails.xml").read_bytes()
    summary = (directory / "ResultsSummary.xml").read_bytes()
    details_root = sc.kyreport.generate_dom()
    assert details == dom_pretty(details_root)
    assert scribe_module._pretty_xml(details_root).encode("utf-8") == details
    assert summary == dom_pretty(reference_summary(sc.kyreport.campaign))
    # every ESC and low control character was cleaned on the way
    assert b"\x1b" not in details
