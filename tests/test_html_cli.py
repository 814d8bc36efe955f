"""`html RESULTS OUT.html`: the page of a results file read back, its logs, and bad input."""

import json
import subprocess
import sys

import pytest

from korvo.reporter import cli

# The command reads results through korvo.reporter.load; it joins cli.COMMANDS with it.
pytestmark = pytest.mark.skipif("html" not in cli.COMMANDS,
                                reason="the html command is not registered yet "
                                "(it needs korvo.reporter.load)")


def run_cli(*args):
    proc = subprocess.run([sys.executable, "-m", "korvo.reporter", *map(str, args)],
                          capture_output=True, text=True, timeout=300)
    return proc.returncode, proc.stdout, proc.stderr


def embedded(path):
    page = path.read_text(encoding="utf-8")
    start = page.index('id="korvo-data">') + len('id="korvo-data">')
    return json.loads(page[start:page.index("</script>", start)])


@pytest.fixture(scope="module")
def demo(tmp_path_factory):
    out = tmp_path_factory.mktemp("demo")
    code, _, err = run_cli("demo", out, "--tasks", "2", "--testcases", "3", "--sections", "2",
                           "--steps", "2", "--fail-rate", "0.5", "--seed", "2")
    assert code == 0, err
    return out


@pytest.mark.parametrize("name", ["results.json", "results.yaml"])
def test_page_of_a_results_file_matches_the_demo_page(demo, tmp_path, name):
    out = tmp_path / "page.html"
    code, stdout, err = run_cli("html", demo / name, out)
    assert (code, err) == (0, "")
    assert stdout == "report written to %s (%s bytes)\n" % (out, format(out.stat().st_size, ","))
    got, live = embedded(out), embedded(demo / "report.html")
    for key in ("ids", "types", "results", "files", "up", "id", "type", "result", "logs",
                "desc", "chunks", "sliceState"):
        assert got[key] == live[key], key
    assert got["chunks"]  # the logs were found next to the results file


def test_logs_from_another_directory_and_a_log_limit(demo, tmp_path):
    out = tmp_path / "page.html"
    assert run_cli("html", demo / "results.json", out, "--logs", tmp_path)[0] == 0
    d = embedded(out)
    assert d["chunks"] == [] and set(d["sliceState"].values()) == {1}  # no such files there
    assert run_cli("html", demo / "results.json", out, "--log-limit", "0")[0] == 0
    d = embedded(out)
    assert d["chunks"] == [] and set(d["sliceState"].values()) == {2}  # over the budget


@pytest.mark.parametrize("args, words", [
    (["{tmp}/missing.json", "{tmp}/out.html"], "No such file"),
    (["{tmp}/notes.txt", "{tmp}/out.html"], "is not valid YAML"),
    (["{demo}/results.json", "{tmp}"], "cannot write"),  # a directory (missing ones are made)
    (["{demo}/results.json", "{tmp}/out.html", "--logs", "{tmp}/nowhere"], "not a directory"),
    (["{demo}/results.json", "{tmp}/out.html", "--log-limit", "-5"], "must not be negative"),
])
def test_bad_input_is_one_line_and_exit_2(demo, tmp_path, args, words):
    (tmp_path / "notes.txt").write_text("just: [some, yaml\n")
    code, out, err = run_cli("html", *[a.format(tmp=tmp_path, demo=demo) for a in args])
    assert (code, out) == (2, "")
    assert err.startswith("python -m korvo.reporter: error: ") and err.count("\n") == 1, err
    assert words in err
    assert not (tmp_path / "out.html").exists()


def test_help_shows_examples():
    code, out, _ = run_cli("html", "--help")
    assert code == 0 and "examples:" in out and "--logs DIR" in out
