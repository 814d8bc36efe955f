"""The lean legacy stand-in writes the same bytes as the stand-in it replaced.

Every export runs twice on one tree: through the lean stand-in and through the old
one (kept in support.legacy_original), and both result files must match byte for
byte."""

import datetime

import pytest

from korvo.reporter import scribe as scribe_module
from korvo.reporter.demo import Plan, build
from korvo.reporter.scribe import Scribe
from korvo.results import Errored, Failed, Passed
from support.legacy_original import campaign as old_campaign
from support.legacy_original import kyreport_top as old_top
from support.legacy_original import testscript as old_testscript
from support.report_trees import finish, job, section, task

FILES = ("ResultsDetails.xml", "ResultsSummary.xml")


def export_both(root, tmp_path, monkeypatch):
    """(lean bytes, old bytes) of both result files for one tree."""
    outputs = []
    for name in ("lean", "old"):
        if name == "old":
            monkeypatch.setattr(scribe_module, "KYReport", old_top.KYReport)
            monkeypatch.setattr(scribe_module, "Campaign", old_campaign.Campaign)
            monkeypatch.setattr(scribe_module, "TestScript", old_testscript.TestScript)
        out = tmp_path / name
        out.mkdir()
        Scribe(str(out), root).generate_xml(None, None)
        outputs.append([(out / f).read_bytes() for f in FILES])
    return outputs


@pytest.mark.parametrize("plan", [
    Plan(tasks=2, testcases=3, sections=2, steps=7, fail_rate=0.5, seed=3),
    Plan(tasks=1, testcases=0, sections=0, steps=0),
    Plan(tasks=3, testcases=2, sections=1, steps=1, fail_rate=1.0, seed=9),
    Plan(tasks=0),
], ids=["mixed", "bare", "all-failing", "no-tasks"])
def test_demo_jobs_export_identically(plan, tmp_path, monkeypatch):
    logs = tmp_path / "logs"
    logs.mkdir()
    root, _ = build(plan, str(logs))
    lean, old = export_both(root, tmp_path, monkeypatch)
    assert lean == old
    assert lean[0].count(b"<teststep ") == plan.tasks * (plan.testcases + 2) * \
        plan.sections * plan.steps


def odd_job():
    """Values off the demo's beaten track: texts to escape, non-text ids, details,
    extras, step index/continue_, Processor types, hosts and veld settings, times
    with fractions of a second in the run time."""
    root = job(host="h1", submitter="me", archivefile="a.zip", cli="run it",
               korvopath="/opt/k", korvoversion=3,
               veld={"dnsname": "v", "attributes": {"a": 1}, "status": "ok", "cmd": "c"})
    root.add_detail("job detail \x1b[1m")
    t = task(root, "t1", description="d\x01", parameters={"n": 1}, testscript="/s/x.py",
             logfile="/logs/TaskLog.t1")
    setup = section(t, "common_setup", type="CommonSetup", result=Passed)
    sub = setup.add_section(id=7, seq_num=1, type="MyProcessor")
    sub.start()
    sub.add_detail("sub detail")
    step = sub.add_section(id="s", seq_num=1, type="Step")
    step.start(description="step \x07", xref={"file": "x.py", "line": 3})
    step.stop(result=Errored, index=4, continue_=False, note={"k": ["v", 2]})
    sub.stop()
    tc = t.add_section(id="tc1", seq_num=2, type="Testcase")
    tc.start(description="case", logs={"file": "L", "begin": 1, "size": 2})
    ts = tc.add_section(id="ts", seq_num=1, type="TestSection")
    ts.start(description="")
    for k in range(3):
        s = ts.add_section(id="st%d" % k, seq_num=k, type="Step")
        s.start()
        s.stop(result=Failed if k == 1 else Passed, runtime=1.5)
    ts.stop()
    tc.stop()
    tc.starttime = datetime.datetime(2024, 1, 1, 10, 0, 0, 500000)
    tc.stoptime = datetime.datetime(2024, 1, 1, 10, 0, 3, 100000)
    t.stop()
    plugin = root.add_plugin(id="p", seq_num=2)
    plugin.start()
    plugin.stop()
    return finish(root)


def test_odd_values_export_identically(tmp_path, monkeypatch):
    lean, old = export_both(odd_job(), tmp_path, monkeypatch)
    assert lean == old
    assert b'index="4"' in lean[0] and b"\\x07" in lean[0]


def test_shared_leaves_are_equal_elements_only():
    # A document whose leaves are shared still holds every element where a tree of
    # copies would: two steps with different results keep their own results.
    from korvo.kyreport.campaign import Campaign
    from korvo.kyreport.testscript import TestScript
    from korvo.kyreport.toplevel.kyreport_top import KYReport

    report = KYReport()
    report.campaign = Campaign()

    script = TestScript(None, None)
    report.campaign.jobexecution.add_testscript(script, "t")
    tc = script.add_testcase(tcid="tc", logfilepath="")
    sect = tc.add_testsection(sectionid="s")
    first = sect.add_teststep(id="a", name="a")
    second = sect.add_teststep(id="b", name="b")
    first.result.value = "Passed"
    second.result.value = "Failed"
    root = report.generate_dom()
    results = [e.text for e in root.iter("result")]
    assert results == ["Passed", "Failed"]
    runinfos = list(root.iter("runinfo"))
    assert len({id(e) for e in runinfos[-2:]}) == 1  # empty run information is shared


@pytest.mark.parametrize("bound", [1, 1 << 16], ids=["bound-reached", "default"])
def test_recurring_steps_share_attribute_mappings(bound, tmp_path, monkeypatch):
    # Steps recurring in every section share one attribute mapping per id and name
    # (memory of a million-node document); past the bound each gets its own, and the
    # files are the old stand-in's either way.
    from korvo.kyreport import _xml

    monkeypatch.setattr(_xml, "_MAX_SHARED_ATTRIBS", bound)
    logs = tmp_path / "logs"
    logs.mkdir()
    plan = Plan(tasks=1, testcases=2, sections=2, steps=3)
    root, _ = build(plan, str(logs))
    out = tmp_path / "dom"
    out.mkdir()
    scribe = Scribe(str(out), root)
    scribe.generate_xml(None, None)
    steps = list(scribe.kyreport.generate_dom().iter("teststep"))
    assert len(steps) == (plan.testcases + 2) * plan.sections * plan.steps
    mappings = {id(step.attrib) for step in steps}
    per_id = len(steps) // plan.steps  # each step id recurs this often
    # bound 1: the first id met shares its mapping, every other step has its own
    assert len(mappings) == (plan.steps if bound > 1 else 1 + len(steps) - per_id)
    lean, old = export_both(root, tmp_path, monkeypatch)
    assert lean == old
