"""JUnit XML from other frameworks read by load(), so every command takes it: files made by
real pytest and Robot Framework runs, Maven Surefire's layout, nested suites, and documents
that must be refused."""

import os
import subprocess
import sys
import textwrap

import pytest

from korvo.reporter import load
from korvo.reporter.loading import LoadError

from test_history import run_cli


def results_of(tree):
    return {(task.id, tc.id): (str(tc.result).lower(), getattr(tc.result, "reason", None))
            for task in tree.tasks for tc in task.sections}


@pytest.fixture(scope="module")
def pytest_junit(tmp_path_factory):
    """A JUnit file written by a real pytest run of a passing, a failing, a skipped and an
    erroring test, one of them printing."""
    place = tmp_path_factory.mktemp("pytest-run")
    (place / "test_sample.py").write_text(textwrap.dedent("""
        import pytest

        def test_ok():
            print("hello from ok")

        def test_bad():
            assert 1 == 2, "one is not two"

        @pytest.mark.skip(reason="not today")
        def test_skip():
            pass

        @pytest.fixture
        def broken():
            raise RuntimeError("fixture broke")

        def test_error(broken):
            pass
    """))
    path = place / "junit.xml"
    subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider",
                    "--junitxml", str(path), "-o", "junit_logging=system-out",
                    str(place / "test_sample.py")], cwd=str(place), capture_output=True, timeout=120)
    assert path.exists()
    return path


def test_a_real_pytest_run(pytest_junit):
    tree = load(str(pytest_junit))
    got = results_of(tree)
    assert got[("pytest", "test_sample.test_ok")] == ("passed", None)
    assert got[("pytest", "test_sample.test_bad")][0] == "failed"
    assert got[("pytest", "test_sample.test_bad")][1].startswith("AssertionError: one is not two")
    assert got[("pytest", "test_sample.test_skip")] == ("skipped", "not today")
    assert got[("pytest", "test_sample.test_error")][0] == "errored"
    ok = tree.tasks[0].sections[0]
    assert "hello from ok" in ok.extra["system-out"]
    assert tree.summary.total == 4
    # and on to the other outputs, as a job of ours
    assert tree.dump_yaml() == load(str(pytest_junit)).dump_yaml()


def test_every_command_takes_it(pytest_junit, tmp_path):
    code, out, err = run_cli("summary", str(pytest_junit))
    assert code == 1 and "failed" in out, err
    code, out, err = run_cli("html", str(pytest_junit), str(tmp_path / "report.html"))
    assert code == 0, err
    code, out, err = run_cli("history", "add", str(pytest_junit),
                             "--db", "sqlite:///" + str(tmp_path / "h.db"))
    assert code == 0 and "4 testcases, 2 failed" in out, err


def test_a_real_robot_framework_xunit_file(tmp_path):
    pytest.importorskip("robot")
    (tmp_path / "suite.robot").write_text(textwrap.dedent("""\
        *** Test Cases ***
        Passes
            Log    hello
        Fails
            Should Be Equal    1    2
        Skips
            Skip    not on this rig
    """))
    subprocess.run([sys.executable, "-m", "robot", "--xunit", "xunit.xml", "--output", "NONE",
                    "--report", "NONE", "--log", "NONE", "suite.robot"], cwd=str(tmp_path),
                   capture_output=True, timeout=120)
    got = results_of(load(str(tmp_path / "xunit.xml")))
    assert got == {("Suite", "Passes"): ("passed", None), ("Suite", "Fails"): ("failed", "1 != 2"),
                   ("Suite", "Skips"): ("skipped", "not on this rig")}


SUREFIRE = """<?xml version="1.0" encoding="UTF-8"?>
<testsuite xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance" version="3.0"
    name="com.example.PingTest" time="1.204" tests="2" errors="0" skipped="0" failures="1">
  <properties><property name="java.version" value="17"/></properties>
  <testcase name="answers" classname="com.example.PingTest" time="0.5"/>
  <testcase name="timesOut" classname="com.example.PingTest" time="0.704">
    <failure message="expected: &lt;0&gt; but was: &lt;3&gt;" type="org.opentest4j.AssertionFailedError">org.opentest4j.AssertionFailedError: expected: &lt;0&gt; but was: &lt;3&gt;
	at com.example.PingTest.timesOut(PingTest.java:21)</failure>
    <system-out>sent 10 packets</system-out>
  </testcase>
</testsuite>
"""

NESTED = """<testsuites name="all">
  <testsuites name="group">
    <testsuite name="inner" timestamp="2026-01-02T03:04:05Z"><testcase name="a" time="1"/></testsuite>
  </testsuites>
  <testsuite name="outer"><testsuite name="deeper"><testcase name="b"><error message="boom"/></testcase></testsuite></testsuite>
</testsuites>
"""


def test_surefire_and_nested_suites(tmp_path):
    path = tmp_path / "TEST-com.example.PingTest.xml"
    path.write_text(SUREFIRE)
    tree = load(str(path))
    assert results_of(tree) == {
        ("com.example.PingTest", "answers"): ("passed", None),
        ("com.example.PingTest", "timesOut"): ("failed", "expected: <0> but was: <3>")}
    assert tree.tasks[0].sections[1].extra["system-out"] == "sent 10 packets"
    assert tree.tasks[0].runtime == pytest.approx(1.204)
    path = tmp_path / "nested.xml"
    path.write_text(NESTED)
    tree = load(str(path))
    assert tree.id == "all"
    assert results_of(tree) == {("inner", "a"): ("passed", None), ("deeper", "b"): ("errored", "boom")}
    assert str(tree.tasks[0].starttime) == "2026-01-02 03:04:05"


@pytest.mark.parametrize("text,words", [
    ('<?xml version="1.0"?><!DOCTYPE t [<!ENTITY a "aaaaaaaaaa"><!ENTITY b "&a;&a;&a;&a;&a;&a;">]>'
     '<testsuite name="s"><testcase name="&b;"/></testsuite>', "refused"),
    ('<?xml version="1.0"?><!DOCTYPE t [<!ENTITY x SYSTEM "file:///etc/hostname">]>'
     '<testsuite name="s"><testcase name="&x;"/></testsuite>', "refused"),
    ('<testsuite name="s"><testcase name="a">', "not well-formed"),
    ("<kyreport/>", "XML is not read back"),
    ("<testsuites>" * 200 + "</testsuites>" * 200, "nested"),
])
def test_what_is_refused(tmp_path, text, words):
    path = tmp_path / "bad.xml"
    path.write_text(text)
    with pytest.raises(LoadError, match=words):
        load(str(path))
    code, out, err = run_cli("summary", str(path))
    assert code == 2 and err.count("\n") == 1 and words in err, err
