"""The root node onto the legacy campaign and its job execution."""

import pytest

from korvo.results import Failed
from support.report_trees import RUN, T0, finish, job, plain, section, task, timed, timing_writes


def campaign_node(**fields):
    from korvo.results import ResultCounter

    base = {"id": "job", "name": "Job", "summary": ResultCounter(), "tasks": []}
    base.update(fields)
    return plain(**base)


def test_full_campaign_then_job_execution(scribe, fake, log):
    root = job(id="job-9", host="lab-3", submitter="ann", cli="run x", korvopath="/opt/k",
               korvoversion="7.1", archivefile="/arch/a.zip", testbed="tb", release="r1",
               image="img", veld={"cmd": "go", "dnsname": "v.local", "status": 0,
                                  "error": "e", "attributes": {"a": 1}, "other": 2})
    t1 = task(root, "t1", logfile="/l/t1.log")
    section(t1, "tc", result=Failed)
    t1.stop()
    plug = root.add_plugin(id="plug", seq_num=1)
    plug.start()
    plug.stop()
    task(root, "t2").stop()
    root.add_detail("d\x1b")
    finish(root)
    for node in root.tasks:
        timed(node)

    assert scribe._handle_campaign(fake("C"), root)._path == "C"

    top = [e for e in log if not e[1].startswith(("TS", "C.jobexecution"))
           and e[0] != "new"]
    assert top == timing_writes("C") + [
        ("set", "C.initinfo.jobid", "job-9"),
        ("set", "C.initinfo.name", "job-9"),
        ("set", "C.archivefile", "/arch/a.zip"),
        ("set", "C.initinfo.testbed", "tb"),
        ("set", "C.initinfo.release", "r1"),
        ("set", "C.initinfo.image", "img"),
        ("set", "C.initinfo.submitter", "ann"),
        ("call", "C.initinfo.hosts.append", ("lab-3",), {}),
        ("set", "C.initinfo.params.cli", "run x"),
        ("set", "C.initinfo.zet.path", "/opt/k"),
        ("set", "C.initinfo.zet.version", "7.1"),
        ("call", "C.summary.update", (root.summary,), {}),
        ("call", "C.runinfo.set_args", (), {"diag": "d\\x1b"}),
        ("call", "C.veld.set_args", (), {"dnsname": "v.local", "attributes": {"a": 1},
                                         "post": {"status": 0, "cmd": "go", "error": "e"}}),
    ]
    assert list(top[-1][3]["post"]) == ["status", "cmd", "error"]
    job_exec = [e for e in log if e[1].startswith("C.jobexecution") or e[0] == "new"]
    assert job_exec == timing_writes("C.jobexecution") + [
        ("new", "TestScript", ("t1.log", None)),
        ("call", "C.jobexecution.add_testscript", (log[job_exec_index(log, 0)][2][0], "t1"), {}),
        ("new", "TestScript", (None, None)),
        ("call", "C.jobexecution.add_testscript", (log[job_exec_index(log, 1)][2][0], "plug"), {}),
        ("new", "TestScript", (None, None)),
        ("call", "C.jobexecution.add_testscript", (log[job_exec_index(log, 2)][2][0], "t2"), {}),
    ]
    # each script is registered before it is filled
    registered = [i for i, e in enumerate(log) if e[1] == "C.jobexecution.add_testscript"]
    filled = [log.index(("set", "TS%d.starttime" % n, T0)) for n in range(3)]
    assert all(r < f for r, f in zip(registered, filled))
    assert registered[1] > filled[0]


def job_exec_index(log, n):
    return [i for i, e in enumerate(log) if e[1] == "C.jobexecution.add_testscript"][n]


def test_absent_or_empty_optional_fields_are_skipped(scribe, fake, log):
    for fields in ({}, dict.fromkeys(["archivefile", "submitter", "host", "cli", "korvopath",
                                      "korvoversion"], "")):
        log.clear()
        scribe._handle_campaign(fake("C"), campaign_node(**fields))
        assert [e[1] for e in log] == [
            "C.starttime", "C.stoptime", "C.runtime", "C.initinfo.jobid", "C.initinfo.name",
            "C.summary.update", "C.jobexecution.starttime", "C.jobexecution.stoptime",
            "C.jobexecution.runtime"]


def test_null_stop_time_gives_no_runtime_anywhere(scribe, fake, log):
    scribe._handle_campaign(fake("C"), campaign_node(stoptime=None))
    assert not [e for e in log if e[1].endswith("runtime")]
    assert ("set", "C.jobexecution.stoptime", None) in log


@pytest.mark.parametrize("veld,expected", [
    ({}, {}),
    ({"status": 1}, {"post": {"status": 1}}),
    ({"dnsname": "d"}, {"dnsname": "d"}),
    ({"unknown": 1}, {}),
])
def test_veld_settings(scribe, fake, log, veld, expected):
    scribe._handle_campaign(fake("C"), campaign_node(extra={"veld": veld}))
    assert [e for e in log if e[1] == "C.veld.set_args"] == [
        ("call", "C.veld.set_args", (), expected)]


def test_no_veld_no_call(scribe, fake, log):
    scribe._handle_campaign(fake("C"), campaign_node(extra={"testbed": None}))
    assert not [e for e in log if "veld" in e[1]]
    assert ("set", "C.initinfo.testbed", None) in log


def test_detail_that_is_not_text_fails(scribe, fake):
    with pytest.raises(TypeError):
        scribe._handle_campaign(fake("C"), campaign_node(details=[b"x"]))


def test_arguments(scribe, fake, log):
    ky = fake("K")
    assert scribe._handle_campaign(kyts=ky, campaign=campaign_node()) is ky
    assert scribe._handle_jobexecution(kyjobexc=ky, campaign=campaign_node()) is ky
    log.clear()
    for method in (scribe._handle_campaign, scribe._handle_jobexecution):
        with pytest.raises(TypeError):
            method(ky)
        with pytest.raises(TypeError):
            method(ky, campaign_node(), 3)
        with pytest.raises(TypeError):
            method(kyts=ky, root=campaign_node())
    assert log == []
