"""Both entry points of the command line: versions, help, and the exit code of every command."""

import os
import subprocess
import sys

import pytest

import korvo.reporter
from korvo.reporter import cli

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
