"""Both entry points of the command line: versions, help, and the exit code of every command."""

import json
import os
import subprocess
import sys

import pytest
from junitparser import JUnitXml

import korvo.reporter
from korvo.reporter import cli
from support.junit_oracle import check_against_document

CONSOLE_SCRIPT = os.path.join(os.path.dirname(sys.executable), "korvo-report")
ENTRY_POINTS = {
    "module": ([sys.executable, "-m", "korvo.reporter"], "python -m korvo.reporter"),
    "script": ([CONSOLE_SCRIPT], "korvo-report"),
}


def run(entry, *args, stdin=None):
    command, _ = ENTRY_POINTS[entry]
    proc = subprocess.run(command + [str(a) for a in args], capture_output=True, text=True,
                          input=stdin, timeout=300)
    return proc.returncode, proc.stdout, proc.stderr


def assert_usage_error(entry, code, out, err):
    assert (code, out) == (2, ""), (code, out, err)
    assert "Traceback" not in err
    assert err.count("\n") == 1 and err.endswith("\n"), err
    assert err.startswith(ENTRY_POINTS[entry][1] + ": error: "), err


def test_the_version_has_one_source():
    from importlib.metadata import version

    assert korvo.reporter.__version__ == version("korvo-reporter")


@pytest.mark.parametrize("entry", sorted(ENTRY_POINTS))
def test_version_on_both_entry_points(entry):
    code, out, err = run(entry, "--version")
    assert (code, err) == (0, "")
    assert out == "%s %s\n" % (ENTRY_POINTS[entry][1], korvo.reporter.__version__)


@pytest.mark.parametrize("entry", sorted(ENTRY_POINTS))
def test_help_shows_examples_of_every_command_and_the_exit_codes(entry):
    prog = ENTRY_POINTS[entry][1]
    code, out, _ = run(entry, "--help")
    assert code == 0
    assert "exit codes:" in out
    for name in cli.COMMANDS:
        assert "\n  %s %s " % (prog, name) in out, name
        code, sub, _ = run(entry, name, "--help")
        assert code == 0 and "examples:" in sub and "exit codes:" in sub
        assert "  %s %s " % (prog, name) in sub.split("examples:")[1]


@pytest.mark.parametrize("args", [
    ["demo", "OUT", "--steps", "100000000000000000000"],
    ["demo", "OUT", "--tasks", "1" + "0" * 400],
    ["demo", "OUT", "--tasks", "100000", "--testcases", "100000"],
    ["demo", "OUT", "--bogus"],
    ["nonsense"],
    [],
])
@pytest.mark.parametrize("entry", sorted(ENTRY_POINTS))
def test_bad_input_is_one_line_and_exit_2(tmp_path, entry, args):
    out_dir = tmp_path / "out"
    args = [str(out_dir) if a == "OUT" else a for a in args]
    assert_usage_error(entry, *run(entry, *args))
    assert not out_dir.exists()


def test_demo_names_the_size_it_refuses(capsys):
    assert cli.main(["demo", "unused", "--steps", "100000000000000000000"]) == 2
    err = capsys.readouterr().err
    assert "nodes" in err and "10,000,000" in err


def test_demo_within_the_limit_exits_0(tmp_path):
    code, out, err = run("script", "demo", tmp_path, "--tasks", "1", "--testcases", "1")
    assert (code, err) == (0, "")
    assert (tmp_path / "results.yaml").exists()


# --- junit ----------------------------------------------------------------------------------

# The command reads its RESULTS through korvo.reporter.load, which lands separately.
pytestmark_junit = pytest.mark.skipif("junit" not in cli.COMMANDS,
                                      reason="the junit command is registered once "
                                      "korvo.reporter.load is there")


@pytest.fixture(scope="module")
def demo_dir(tmp_path_factory):
    out = tmp_path_factory.mktemp("demo")
    code, _, err = run("module", "demo", out, "--tasks", "3", "--testcases", "5", "--sections",
                       "1", "--steps", "2", "--fail-rate", "0.6", "--seed", "3")
    assert code == 0, err
    return out


@pytestmark_junit
@pytest.mark.parametrize("name", ["results.yaml", "results.json"])
@pytest.mark.parametrize("entry", sorted(ENTRY_POINTS))
def test_junit_writes_what_the_results_say(demo_dir, tmp_path, entry, name):
    out_file = tmp_path / "junit.xml"
    code, out, err = run(entry, "junit", demo_dir / name, out_file)
    assert (code, err) == (0, "")
    with open(demo_dir / "results.json", encoding="utf-8") as f:
        doc = json.load(f)
    xml = JUnitXml.fromfile(str(out_file))
    check_against_document(xml, doc)
    assert out == "%s: %d tests, %d failures, %d errors, %d skipped\n" % (
        out_file, xml.tests, xml.failures, xml.errors, xml.skipped)
    assert xml.failures + xml.errors > 0  # a job with failures still exits 0: CI reads the file
    # The logs beside the results fill system-out.
    assert all(case.system_out for suite in xml for case in suite)


@pytestmark_junit
def test_junit_logs_option_and_standard_input(demo_dir, tmp_path):
    elsewhere = tmp_path / "elsewhere"
    elsewhere.mkdir()
    code, _, err = run("script", "junit", demo_dir / "results.json", tmp_path / "a.xml",
                       "--logs", elsewhere)
    assert (code, err) == (0, "")
    xml = JUnitXml.fromfile(str(tmp_path / "a.xml"))
    assert not any(case.system_out for suite in xml for case in suite)

    text = (demo_dir / "results.yaml").read_text(encoding="utf-8")
    code, _, err = run("script", "junit", "-", tmp_path / "b.xml", stdin=text)
    assert (code, err) == (0, "")
    with open(demo_dir / "results.json", encoding="utf-8") as f:
        check_against_document(JUnitXml.fromfile(str(tmp_path / "b.xml")), json.load(f))


BAD_DOCUMENTS = {
    "missing.yaml": None,
    "tasks-not-a-list.json": '{"version": "3.0", "report": {"type": "Campaign", "id": "x", '
                             '"tasks": 5}}',
    "not-results.yaml": "just: a mapping\n",
    "broken.json": '{"version": ',
    "ResultsDetails.xml": '<?xml version="1.0" ?>\n<kyreport format="1"/>\n',
    "empty.yaml": "",
}


@pytestmark_junit
@pytest.mark.parametrize("name", sorted(BAD_DOCUMENTS))
@pytest.mark.parametrize("entry", sorted(ENTRY_POINTS))
def test_junit_bad_results_are_one_line_and_exit_2(tmp_path, entry, name):
    if BAD_DOCUMENTS[name] is not None:
        (tmp_path / name).write_text(BAD_DOCUMENTS[name], encoding="utf-8")
    out_file = tmp_path / "junit.xml"
    code, out, err = run(entry, "junit", tmp_path / name, out_file)
    assert_usage_error(entry, code, out, err)
    assert name in err
    if name.endswith(".xml"):
        assert "XML" in err
    assert not out_file.exists()


@pytestmark_junit
@pytest.mark.parametrize("where", ["out_is_a_dir", "logs_not_a_dir", "no_out"])
def test_junit_bad_paths_are_one_line_and_exit_2(demo_dir, tmp_path, where):
    # (a missing directory of OUT is made, as pytest's --junitxml does)
    args = {
        "out_is_a_dir": [demo_dir / "results.json", tmp_path],
        "logs_not_a_dir": [demo_dir / "results.json", tmp_path / "junit.xml", "--logs",
                           demo_dir / "results.json"],
        "no_out": [demo_dir / "results.json"],
    }[where]
    assert_usage_error("module", *run("module", "junit", *args))
    assert not (tmp_path / "junit.xml").exists()
