"""The details document is written to its temporary file in chunks while it is printed:
the bytes are those of one whole print, and a print that gives up after chunks went
out leaves nothing of them behind."""

import os
import xml.etree.ElementTree as ET
from xml.parsers.expat import ExpatError

import pytest

from korvo.reporter.demo import Plan, build
from korvo.reporter.scribe import Scribe, _pretty_xml

# Big enough for several 4 MiB chunks.
PLAN = Plan(tasks=20, testcases=20, sections=5, steps=8)


@pytest.fixture(scope="module")
def big_job(tmp_path_factory):
    logs = tmp_path_factory.mktemp("logs")
    root, _ = build(PLAN, str(logs))
    return root


def test_chunked_details_equal_one_whole_print(big_job, tmp_path):
    sc = Scribe(str(tmp_path), big_job)
    sc.generate_xml(None, None)
    written = (tmp_path / "ResultsDetails.xml").read_bytes()
    assert len(written) > 2 * (4 << 20)
    assert written == _pretty_xml(sc.kyreport.generate_dom()).encode("utf-8")
    assert sorted(os.listdir(tmp_path)) == ["ResultsDetails.xml", "ResultsSummary.xml"]


def test_print_giving_up_after_chunks_leaves_the_old_files(big_job, tmp_path):
    (tmp_path / "ResultsDetails.xml").write_text("old details")
    (tmp_path / "ResultsSummary.xml").write_text("old summary")
    last_step = big_job.tasks[-1].sections[-1].sections[-1].sections[-1]
    before = vars(last_step).get("xref")
    # cross-reference files reach the XML unescaped
    last_step.xref = {"file": "vertical tab \x0b is not XML", "line": 1}
    try:
        with pytest.raises(ExpatError):
            Scribe(str(tmp_path), big_job).generate_xml(None, None)
    finally:
        if before is None:
            del last_step.xref
        else:
            last_step.xref = before
    assert (tmp_path / "ResultsDetails.xml").read_text() == "old details"
    assert (tmp_path / "ResultsSummary.xml").read_text() == "old summary"
    assert sorted(os.listdir(tmp_path)) == ["ResultsDetails.xml", "ResultsSummary.xml",
                                            "xml_rough_string"]
    rough = (tmp_path / "xml_rough_string").read_bytes()
    assert ET.fromstring(rough.replace(b"\x0b", b" ")).tag == "kyreport"
