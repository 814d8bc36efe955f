"""Tasks and job-level plugins onto legacy test scripts."""

import pytest

from korvo.results import Failed, Passed
from support.report_trees import RUN, T0, T1, job, plain, section, task, timed, timing_writes


def script_node(**fields):
    from korvo.results import ResultCounter

    fields.setdefault("summary", ResultCounter())
    return plain(**fields)


def test_task_fields_summary_details_and_section_dispatch(scribe, fake, log):
    t = task(job(), logfile="/logs/t1.log", testscript="/a/b/c.py",
             parameters={"a": 1, "b": "x\x1b"}, description="desc\x01")
    cs = section(t, "cs", type="CommonSetup")
    tc = section(t, "tc1", type="Testcase", result=Failed)
    tc.logs = {"file": "t1.log", "begin": 5}
    plug = t.add_plugin(id="plug", seq_num=2)
    plug.start()
    plug.stop()
    timed(plug)
    section(t, "cc", type="CommonCleanup")
    t.add_detail("note\x1b")
    t.stop()
    timed(t)

    assert scribe._handle_testscript(fake("TS"), t)._path == "TS"

    head = [e for e in log if not e[1].startswith("TS/")]
    assert head == timing_writes("TS") + [
        ("set", "TS.initinfo.pargs", "{'a': 1, 'b': 'x\\x1b'}"),
        ("set", "TS.initinfo.description", "desc\\x01"),
        ("set", "TS.initinfo.logfile.filepath", "t1.log"),
        ("set", "TS.initinfo.script.name", "c.py"),
        ("set", "TS.initinfo.script.path", "/a/b"),
        ("call", "TS.summary.update", (t.summary,), {}),
        ("call", "TS.runinfo.set_args", (), {"diag": "note\\x1b"}),
        ("call", "TS.add_testsection", (), {"sectionid": "commonSetup"}),
        ("call", "TS.add_testcase", (), {"tcid": "tc1", "logfilepath": "t1.log"}),
        ("call", "TS.add_testcase", (), {"tcid": "plug", "logfilepath": ""}),
        ("call", "TS.add_testsection", (), {"sectionid": "commonCleanup"}),
    ]
    # each child is filled before the next one is created
    order = [e[1].split(".")[0] for e in log if e[1].startswith("TS/") and "starttime" in e[1]]
    assert order == ["TS/commonSetup", "TS/tc1", "TS/plug", "TS/commonCleanup"]
    assert ("set", "TS/tc1.result.value", "Failed") in log


def test_pargs_is_the_printed_mapping(scribe, fake, log):
    scribe._handle_testscript(fake("TS"), script_node(parameters={"n": 2, "s": "v"}))
    assert ("set", "TS.initinfo.pargs", "{'n': 2, 's': 'v'}") in log


@pytest.mark.parametrize("empty", [None, "", {}, "absent"])
def test_unset_optional_fields_leave_initinfo_untouched(scribe, fake, log, empty):
    fields = {} if empty == "absent" else dict.fromkeys(
        ["parameters", "description", "logfile", "testscript"], empty)
    scribe._handle_testscript(fake("TS"), script_node(**fields))
    assert not [e for e in log if ".initinfo." in e[1]]


@pytest.mark.parametrize("path,name,directory", [
    ("/a/b/c.py", "c.py", "/a/b"),
    ("c.py", "c.py", ""),
    ("/c.py", "c.py", "/"),
    ("a//b.py", "b.py", "a"),
    ("//c.py", "c.py", "//"),
    ("dir/", "", "dir"),
])
def test_script_path_split(scribe, fake, log, path, name, directory):
    scribe._handle_testscript(fake("TS"), script_node(testscript=path))
    assert [e for e in log if ".script." in e[1]] == [
        ("set", "TS.initinfo.script.name", name), ("set", "TS.initinfo.script.path", directory)]


@pytest.mark.parametrize("sect_type", ["commonsetup", "CommonSetupX", "Testcase"])
def test_other_types_become_test_cases(scribe, fake, log, sect_type):
    child = plain(id="x", name="x", type=sect_type)
    scribe._handle_testscript(fake("TS"), script_node(sections=[child]))
    assert ("call", "TS.add_testcase", (), {"tcid": "x", "logfilepath": ""}) in log


@pytest.mark.parametrize("logs", [None, {}, {"begin": 1}, "absent"])
def test_test_case_without_log_file_name(scribe, fake, log, logs):
    child = plain(id="x", name="x", type="T")
    if logs != "absent":
        child.logs = logs
    if logs is None:
        # a null logs field counts as unset for the log file name, and fails the
        # record fill's key lookup afterwards
        with pytest.raises(AttributeError):
            scribe._handle_testscript(fake("TS"), script_node(sections=[child]))
    else:
        scribe._handle_testscript(fake("TS"), script_node(sections=[child]))
    assert ("call", "TS.add_testcase", (), {"tcid": "x", "logfilepath": ""}) in log


def test_null_stop_time_gives_no_runtime(scribe, fake, log):
    scribe._handle_testscript(fake("TS"), script_node(stoptime=None))
    assert log[:2] == timing_writes("TS", stop=None, runtime=None)[:2]
    assert not [e for e in log if e[1] == "TS.runtime"]


def test_arguments(scribe, fake, log):
    ky = fake("K")
    assert scribe._handle_testscript(kyts=ky, task=script_node()) is ky
    log.clear()
    for args, kwargs in [((ky,), {}), ((ky, script_node(), 1), {}), ((ky,), {"node": 1})]:
        with pytest.raises(TypeError):
            scribe._handle_testscript(*args, **kwargs)
    assert log == []
