"""The JUnit XML writer, read back by a real JUnit client (junitparser)."""

import json
import os

import pytest
from hypothesis import given
from hypothesis import strategies as st
from junitparser import Error, Skipped

from korvo import results
from korvo.reporter.campaign import Section
from korvo.reporter.demo import Plan, build
from korvo.reporter.junit import to_junit, write_junit

from support.junit_oracle import XML_ILLEGAL, check_against_document, parse, seen_outcome
from support.report_trees import finish, job, section, task

# --- a whole job against its results document -------------------------------------------


@pytest.mark.parametrize("seed", [1, 3, 11])
def test_every_total_and_outcome_matches_the_results_document(tmp_path, seed):
    plan = Plan(tasks=3, testcases=6, sections=2, steps=3, fail_rate=0.6, seed=seed)
    root, _ = build(plan, str(tmp_path))
    doc = json.loads(root.dump_json())
    xml = parse(to_junit(root, tmp_path))
    check_against_document(xml, doc)

    # Suite and case attributes come from the tree too.
    tasks = [t for t in doc["report"]["tasks"] if t["type"] == "Task"]
    for suite, node in zip([s for s in xml if s.name.startswith("task")], tasks):
        assert suite.hostname == doc["report"]["host"]
        assert suite.timestamp == node["starttime"].replace(" ", "T")
        assert suite.time == pytest.approx(node["runtime"], abs=0.0006)


def test_all_result_kinds_reach_the_document(tmp_path):
    # The seeds above must exercise every outcome, or the comparison proves little.
    seen = set()
    for seed in (1, 3, 11):
        plan = Plan(tasks=3, testcases=6, sections=2, steps=3, fail_rate=0.6, seed=seed)
        os.makedirs(tmp_path / str(seed))
        root, _ = build(plan, str(tmp_path / str(seed)))
        for suite in parse(to_junit(root)):
            seen.update(seen_outcome(case) for case in suite)
    assert seen == {"pass", "failure", "error", "skipped"}


def test_log_slices_of_a_job_are_the_bytes_each_testcase_wrote(tmp_path):
    root, _ = build(Plan(tasks=2, testcases=3, sections=1, steps=2, seed=5), str(tmp_path))
    doc = json.loads(root.dump_json())
    xml = parse(to_junit(root, tmp_path))
    for suite, node in zip(xml, [t for t in doc["report"]["tasks"] if t["type"] == "Task"]):
        by_id = {s["id"]: s for s in node["sections"]}
        for case in suite:
            logs = by_id[case.name]["logs"]
            with open(tmp_path / logs["file"], "rb") as f:
                f.seek(logs["begin"])
                wrote = f.read(logs["size"]).decode()
            assert wrote and case.system_out == wrote
    assert all(c.system_out is None for s in parse(to_junit(root)) for c in s)


# --- what explains a result ---------------------------------------------------------------


def failing_testcase(root):
    t = task(root, testscript="/scripts/ping.sh.py")
    tc = t.add_section(id="tc1", seq_num=1, type="Testcase")
    tc.start(description="ping twice")
    connect = section(tc, "connect", result=results.Passed)
    send = tc.add_section(id="send", seq_num=2, type="TestSection")
    send.start()
    section(send, "first", type="Step", result=results.Failed.clone(reason="timeout"),
            description="send one packet")
    section(send, "second", type="Step", result=results.Errored)
    send.stop()
    tc.stop()
    t.stop()
    return connect


def test_failing_steps_go_into_message_and_body():
    root = job()
    failing_testcase(root)
    finish(root)
    (suite,) = parse(to_junit(root))
    (case,) = suite
    assert case.classname == "ping.sh"
    (error,) = case.result  # Failed + Errored climb up as Errored
    assert isinstance(error, Error) and error.type == "Errored"
    # Both steps explain it, the first one in the message.
    assert error.message == "send.first Failed: send one packet (timeout)"
    assert error.text.splitlines() == ["send.first Failed: send one packet (timeout)",
                                       "send.second Errored"]


def test_a_result_set_on_the_testcase_itself_explains_itself():
    root = job()
    t = task(root)
    section(t, "tc1", type="Testcase", result=results.Blocked.clone(reason="no rig"),
            description="needs the rig")
    section(t, "tc2", type="Testcase")  # never given a result
    t.stop()
    finish(root)
    (suite,) = parse(to_junit(root))
    blocked, empty = suite
    assert blocked.classname == "t1"  # no test script: the task id
    assert isinstance(blocked.result[0], Error) and blocked.result[0].type == "Blocked"
    assert blocked.result[0].message == "tc1 Blocked: needs the rig (no rig)"
    assert isinstance(empty.result[0], Skipped)
    assert empty.result[0].message == "no result recorded"
    assert (suite.tests, suite.errors, suite.skipped) == (2, 1, 1)


def test_broken_setup_and_plugins_are_testcases_and_passing_ones_are_not():
    root = job(host="lab-7")
    good = root.add_plugin(id="env_check", seq_num=0)
    good.start()
    good.stop()
    bad = root.add_plugin(id="licence", seq_num=1)
    bad.start()
    section(bad, "fetch", result=results.Aborted)
    bad.stop()
    t = task(root)
    section(t, "common_setup", type="CommonSetup", result=results.Failed)
    plugin = t.add_plugin(id="collector", seq_num=1)
    plugin.start()
    section(plugin, "copy", result=results.Errored)
    plugin.stop()
    section(t, "tc1", type="Testcase", result=results.Passx)
    section(t, "common_cleanup", type="CommonCleanup", result=results.Passed)
    t.stop()
    finish(root)
    xml = parse(to_junit(root))
    assert [s.name for s in xml] == ["licence", "t1"]
    licence, t1 = xml
    assert [(c.classname, c.name, seen_outcome(c)) for c in licence] == [
        ("job-1", "licence", "error")]
    assert licence.hostname == "lab-7"
    assert [(c.name, seen_outcome(c)) for c in t1] == [
        ("common_setup", "failure"), ("collector", "error"), ("tc1", "pass")]
    assert list(t1)[1].result[0].message == "copy Errored"
    assert (xml.tests, xml.failures, xml.errors, xml.skipped) == (4, 1, 2, 0)


def test_an_unknown_result_is_an_error_never_a_pass():
    root = job()
    t = task(root)
    section(t, "tc1", type="Testcase", result=results.TestResult("Unresolved", 9))
    t.stop()
    finish(root)
    (case,) = next(iter(parse(to_junit(root))))
    assert isinstance(case.result[0], Error) and case.result[0].type == "Unresolved"


def test_empty_campaign_is_an_empty_testsuites():
    root = finish(job(id="nothing"))
    xml = parse(to_junit(root))
    assert xml.name == "nothing" and xml.tests == 0 and list(xml) == []


# --- XML-safe text ----------------------------------------------------------------------------


def visible(text):
    """Characters XML 1.0 cannot carry, as the writer shows them."""
    def show(m):
        c = ord(m.group())
        return "\\x%02x" % c if c < 0x100 else "\\u%04x" % c
    return XML_ILLEGAL.sub(show, text)


def tree_with_texts(name, description):
    root = job(id=name)
    t = task(root, id=name)
    section(t, name, type="Testcase", result=results.Failed, description=description)
    t.stop()
    return finish(root)


@pytest.mark.parametrize("text, shown", [
    ("bell\x07", "bell\\x07"),
    ("esc\x1b[31m", "esc\\x1b[31m"),
    ("vt\x0bff\x0c", "vt\\x0bff\\x0c"),
    ("nul\x00", "nul\\x00"),
    ("lone\udc80", "lone\\udc80"),
    ("nonchar\ufffe\uffff", "nonchar\\ufffe\\uffff"),
    ("markup <a href=\"x\">&amp;</a> 'q'", "markup <a href=\"x\">&amp;</a> 'q'"),
    ("tab\tcr\rlf\n", "tab\tcr\rlf\n"),
    ("emoji \U0001f600 and \u00e9", "emoji \U0001f600 and \u00e9"),
])
def test_text_xml_cannot_carry_is_escaped_visibly(text, shown):
    xml = parse(to_junit(tree_with_texts(text, text)))
    (suite,) = xml
    (case,) = suite
    assert xml.name == suite.name == case.name == case.classname == shown
    assert case.result[0].message == shown + " Failed: " + shown  # attribute keeps CR, LF, TAB
    assert case.result[0].text == case.result[0].message


@given(st.text(), st.text(min_size=1))
def test_any_text_reads_back_as_its_visible_form(name, description):
    xml = parse(to_junit(tree_with_texts(name, description)))
    (case,) = next(iter(xml))
    assert case.name == visible(name)
    assert case.result[0].message == "%s Failed: %s" % (visible(name), visible(description))


# --- log slices ---------------------------------------------------------------------------


def tree_with_log(logs):
    root = job()
    t = task(root)
    tc = section(t, "tc1", type="Testcase", result=results.Passed)
    tc.logs = logs
    t.stop()
    return finish(root)


def system_out(root, logs_dir):
    (case,) = next(iter(parse(to_junit(root, logs_dir))))
    return case.system_out


def test_log_slice_is_capped_at_64_kib_with_a_note(tmp_path):
    (tmp_path / "TaskLog.t1").write_bytes(b"head\n" + b"a" * 70000 + b"\xc3\xa9" * 10)
    shown = system_out(tree_with_log({"file": "TaskLog.t1", "begin": 5, "size": 70020}),
                       tmp_path)
    body, note = shown[:65536], shown[65536:]
    assert body == "a" * 65536
    assert note == ("\n[log cut: the first 65536 of 70020 bytes are shown; the rest is in "
                    "TaskLog.t1 from byte 65541]\n")
    # A cut never splits a character into escapes.
    (tmp_path / "TaskLog.t1").write_bytes(b"a" * 65535 + "\u00e9\u00e9".encode())
    shown = system_out(tree_with_log({"file": "TaskLog.t1", "begin": 0, "size": 65539}),
                       tmp_path)
    assert shown.startswith("a" * 65535 + "\n[log cut: the first 65535 of 65539 bytes")


def test_log_slice_shows_bytes_that_are_not_utf8_and_unsafe_characters(tmp_path):
    (tmp_path / "TaskLog.t1").write_bytes(b"ok \xff\xfe \x1b[0m \x0b end")
    shown = system_out(tree_with_log({"file": "TaskLog.t1", "begin": 0, "size": 16}), tmp_path)
    assert shown == "ok \\xff\\xfe \\x1b[0m \\x0b end"


def test_log_file_shorter_than_recorded_says_so(tmp_path):
    (tmp_path / "TaskLog.t1").write_bytes(b"0123456789")
    shown = system_out(tree_with_log({"file": "TaskLog.t1", "begin": 4, "size": 100}), tmp_path)
    assert shown == ("456789\n[log file TaskLog.t1 holds only 6 of the 100 bytes recorded "
                     "from byte 4]\n")


@pytest.mark.parametrize("logs", [
    {},
    {"file": "missing.log", "begin": 0, "size": 5},
    {"file": "TaskLog.t1", "begin": 0, "size": -1},   # a plugin whose log file changed
    {"file": "TaskLog.t1", "begin": 0, "size": 0},
    {"file": "TaskLog.t1", "begin": -3, "size": 5},
    {"file": "TaskLog.t1", "begin": "0", "size": 5},
    {"file": "TaskLog.t1", "begin": 0},
    {"file": "../outside.log", "begin": 0, "size": 5},
    {"file": "sub/inner.log", "begin": 0, "size": 5},
    {"file": "..", "begin": 0, "size": 5},
    {"file": "fifo", "begin": 0, "size": 5},
])
def test_no_slice_without_a_plain_file_beside_the_results(tmp_path, logs):
    logs_dir = tmp_path / "logs"
    (logs_dir / "sub").mkdir(parents=True)
    (logs_dir / "TaskLog.t1").write_bytes(b"0123456789")
    (logs_dir / "sub" / "inner.log").write_bytes(b"inner")
    (tmp_path / "outside.log").write_bytes(b"outside")
    os.mkfifo(logs_dir / "fifo")  # reading it would block the writer forever
    assert system_out(tree_with_log(logs), logs_dir) is None


def test_a_link_in_the_log_files_place_is_not_followed(tmp_path):
    logs_dir = tmp_path / "logs"
    logs_dir.mkdir()
    target = tmp_path / "elsewhere.log"
    target.write_bytes(b"private data")
    (logs_dir / "TaskLog.t1").symlink_to(target)
    assert system_out(tree_with_log({"file": "TaskLog.t1", "begin": 0, "size": 7}),
                      logs_dir) is None
    assert target.read_bytes() == b"private data"


def test_logs_dir_accepts_paths_and_bytes(tmp_path):
    (tmp_path / "TaskLog.t1").write_bytes(b"hello")
    root = tree_with_log({"file": "TaskLog.t1", "begin": 0, "size": 5})
    assert system_out(root, tmp_path) == system_out(root, os.fsencode(tmp_path)) == "hello"


def test_a_log_is_looked_up_in_each_directory_in_turn(tmp_path):
    first, second = tmp_path / "shard1", tmp_path / "shard2"
    first.mkdir()
    second.mkdir()
    (second / "TaskLog.t1").write_bytes(b"from the second")
    root = tree_with_log({"file": "TaskLog.t1", "begin": 0, "size": 15})
    assert system_out(root, [first, second]) == "from the second"
    assert system_out(root, (str(first), os.fsencode(second))) == "from the second"
    assert system_out(root, []) is None
    # what the first holds under that name but may not read is passed over
    elsewhere = tmp_path / "elsewhere.log"
    elsewhere.write_bytes(b"private data!!!")
    (first / "TaskLog.t1").symlink_to(elsewhere)
    assert system_out(root, [first, second]) == "from the second"
    (first / "TaskLog.t1").unlink()
    os.mkfifo(first / "TaskLog.t1")
    assert system_out(root, [first, second]) == "from the second"
    (first / "TaskLog.t1").unlink()
    (first / "TaskLog.t1").mkdir()
    assert system_out(root, [first, second]) == "from the second"
    # the first that holds a regular file of that name wins
    (first / "TaskLog.t1").rmdir()
    (first / "TaskLog.t1").write_bytes(b"from the first!")
    assert system_out(root, [first, second]) == "from the first!"


@pytest.mark.parametrize("logs_dir", [42, [42], ["ok", None], {"a": 1}])
def test_logs_dir_that_names_no_directories_is_a_type_error(logs_dir):
    with pytest.raises(TypeError):
        to_junit(tree_with_log({"file": "TaskLog.t1", "begin": 0, "size": 5}), logs_dir)


# --- the tree as Python code shapes it -----------------------------------------------------


def test_subclass_overrides_are_honoured():
    class Described(Section):
        @property
        def description(self):
            return "from the subclass"

    root = job()
    t = task(root)
    tc = t.add_section(id="tc1", seq_num=1, type="Testcase")
    tc.start()
    step = Described(id="s1", seq_num=1, parent=tc)
    tc.sections.append(step)
    step.start()
    step.stop(result=results.Failed)
    tc.stop()
    t.stop()
    finish(root)
    (case,) = next(iter(parse(to_junit(root))))
    assert case.result[0].message == "s1 Failed: from the subclass"


def test_sections_that_contain_themselves_raise_recursion_error():
    root = job()
    t = task(root)
    tc = section(t, "tc1", type="Testcase", result=results.Failed)
    tc.sections.append(tc)
    with pytest.raises(RecursionError):
        to_junit(root)


@pytest.mark.parametrize("bad", [None, 5, "results.yaml", object()])
def test_anything_but_a_tree_is_a_type_error(bad):
    with pytest.raises(TypeError, match="Campaign tree"):
        to_junit(bad)


# --- writing the file -----------------------------------------------------------------------


def small_job(tmp_path):
    root, _ = build(Plan(tasks=2, testcases=3, sections=1, steps=2, fail_rate=0.5, seed=3),
                    str(tmp_path))
    return root


def test_write_junit_writes_the_document_and_returns_its_totals(tmp_path):
    root = small_job(tmp_path)
    target = tmp_path / "junit.xml"
    totals = write_junit(root, target, logs_dir=tmp_path)
    text = to_junit(root, tmp_path)
    assert target.read_bytes() == text.encode("utf-8")
    xml = parse(text)
    assert totals == (xml.tests, xml.failures, xml.errors, xml.skipped)
    assert totals.tests > 0


def test_write_junit_replaces_a_link_in_its_place_never_its_target(tmp_path):
    root = small_job(tmp_path)
    victim = tmp_path / "victim.txt"
    victim.write_bytes(b"keep me")
    link = tmp_path / "junit.xml"
    link.symlink_to(victim)
    write_junit(root, link)
    assert not link.is_symlink() and link.read_bytes().startswith(b"<?xml")
    assert victim.read_bytes() == b"keep me"


def test_write_junit_failure_leaves_the_old_file(tmp_path):
    target = tmp_path / "junit.xml"
    target.write_bytes(b"old")
    with pytest.raises(TypeError):
        write_junit("not a tree", target)
    with pytest.raises(OSError) as info:
        write_junit(small_job(tmp_path), tmp_path / "missing" / "junit.xml")
    assert "missing" in str(info.value)
    assert target.read_bytes() == b"old"
    assert sorted(p.name for p in tmp_path.iterdir() if "junit" in p.name) == ["junit.xml"]


def test_errors_of_python_code_in_the_tree_propagate():
    class Exploding:
        def __str__(self):
            raise RuntimeError("str of a result failed")

    root = job()
    t = task(root)
    tc = section(t, "tc1", type="Testcase")
    tc.result = Exploding()
    with pytest.raises(RuntimeError, match="str of a result failed"):
        to_junit(root)
