"""What a JUnit client must read from our JUnit XML, worked out from a results document."""

import os
import re

from junitparser import Error, Failure, JUnitXml, Properties, Skipped

SUCCESS = ("passed", "passx")
RERUN = "rerun: "  # the detail line a merge gives a node that replaced an earlier run
# Characters XML 1.0 cannot hold at all.
XML_ILLEGAL = re.compile("[\x00-\x08\x0b\x0c\x0e-\x1f\ud800-\udfff\ufffe\uffff]")


def parse(text):
    assert not XML_ILLEGAL.search(text)
    return JUnitXml.fromstring(text.encode("utf-8"))


def outcome_of(value):
    """What a CI server must see for a result code (None: no result)."""
    if value in SUCCESS:
        return "pass"
    if value == "failed":
        return "failure"
    if value in (None, "skipped"):
        return "skipped"
    return "error"


def seen_outcome(case):
    kinds = {Failure: "failure", Error: "error", Skipped: "skipped"}
    found = [kinds[type(r)] for r in case.result if type(r) in kinds]
    assert len(found) <= 1, found
    return found[0] if found else "pass"


def reruns_of(node):
    """The runs a merge replaced, as the testcase's "rerun" properties show them."""
    return [d[len(RERUN):] for d in node.get("details") or ()
            if isinstance(d, str) and d.startswith(RERUN) and len(d) > len(RERUN)]


def seen_reruns(case):
    return [p.value for props in case.iterchildren(Properties) for p in props
            if p.name == "rerun"]


def expected_suites(doc):
    """[(suite name, [(classname, name, result name, reruns)])] from a results document."""
    report = doc["report"]
    suites = []

    def value(node):
        result = node.get("result")
        return result["value"] if result else None

    for entry in report.get("tasks", []):
        if entry["type"] == "Plugin":
            if value(entry) not in SUCCESS + (None,):
                suites.append((entry["id"], [(report["id"], entry["id"], value(entry),
                                              reruns_of(entry))]))
            continue
        script = entry.get("testscript")
        classname = os.path.splitext(os.path.basename(script))[0] if script else entry["id"]
        cases = []
        for node in entry.get("sections", []):
            if node["type"] == "Testcase" or value(node) not in SUCCESS + (None,):
                cases.append((classname, node["id"], value(node), reruns_of(node)))
        suites.append((entry["id"], cases))
    return suites


def check_against_document(xml, doc):
    report = doc["report"]
    suites = expected_suites(doc)
    assert xml.name == report["id"]
    assert [s.name for s in xml] == [name for name, _ in suites]
    grand = {"tests": 0, "failures": 0, "errors": 0, "skipped": 0}
    for suite, (name, cases) in zip(xml, suites):
        outcomes = [outcome_of(v) for _, _, v, _ in cases]
        counts = {"tests": len(cases), "failures": outcomes.count("failure"),
                  "errors": outcomes.count("error"), "skipped": outcomes.count("skipped")}
        assert (suite.tests, suite.failures, suite.errors, suite.skipped) == tuple(counts.values())
        for key in grand:
            grand[key] += counts[key]
        got = list(suite)
        assert [(c.classname, c.name) for c in got] == [(k, n) for k, n, _, _ in cases]
        for case, (_, _, value, reruns) in zip(got, cases):
            assert seen_outcome(case) == outcome_of(value), (name, case.name, value)
            assert seen_reruns(case) == reruns, (name, case.name)
            if outcome_of(value) == "error":
                assert case.result[0].type.lower() == value
    assert (xml.tests, xml.failures, xml.errors, xml.skipped) == tuple(grand.values())
