"""`summary` as CI uses it: an exit status for every row of the table in --help, the failures
named under the table, the JSON document checked against its schema, Markdown for CI pages,
the history's quarantine (--fail-on new) and a closed pipe."""

import datetime
import os
import json
import subprocess
import sys

import pytest

from korvo import results
from korvo.reporter import campaign, cli
from korvo.reporter.summary import JSON_SCHEMA

from test_history import T0, DAY, make_job, run_cli


def job(path, outcomes, declared=None, plugin=None):
    """results.json of a job of one task with testcases ending as `outcomes`."""
    root = campaign.Campaign(id="ci-job", seq_num=0)
    root.start(jobfile="ci.py")
    task = root.add_task(id="t1", seq_num=1)
    task.start(testscript="s.py")
    for seq, (name, result) in enumerate(outcomes.items(), 1):
        tc = task.add_section(id=name, seq_num=seq, type="Testcase")
        tc.start()
        step = tc.add_section(id="step1", seq_num=1, type="Step")
        step.start()
        value = getattr(results, result.capitalize())
        step.stop(result=value.clone(reason="why %s\nsecond line" % name) if result == "failed" else value)
        tc.stop()
    task.stop()
    if plugin:
        p = root.add_plugin(id="lint", seq_num=2)
        p.start()
        p.stop(result=getattr(results, plugin.capitalize()))
    root.stop(num_tasks=declared if declared is not None else 1)
    root.write_json(str(path))
    return str(path)


@pytest.mark.parametrize("outcomes,declared,status", [
    ({"a": "passed", "b": "passx"}, None, 0),
    ({"a": "passed", "b": "skipped"}, None, 0),      # a skip does not fail a run
    ({"a": "passed", "b": "failed"}, None, 1),
    ({"a": "errored"}, None, 1),
    ({"a": "aborted"}, None, 1),
    ({"a": "blocked"}, None, 1),
    ({"a": "passed"}, 3, 4),                          # 1 of 3 tasks ran
    ({}, None, 5),                                    # nothing counted
])
def test_each_row_of_the_exit_code_table(tmp_path, outcomes, declared, status):
    path = job(tmp_path / "r.json", outcomes, declared)
    code, out, err = run_cli("summary", path)
    assert code == status, (out, err)
    assert run_cli("summary", path, "--no-fail")[0] == 0
    if status:
        # and --help documents the code
        assert "\n  %-4d " % status in cli.EXIT_CODES


def test_usage_and_internal_failures_have_codes_of_their_own(tmp_path, monkeypatch):
    assert run_cli("summary", str(tmp_path / "missing.json"))[0] == 2
    from korvo.reporter import summary

    def broken(*args):
        raise RuntimeError("a bug of ours")

    monkeypatch.setattr(summary, "render", broken)
    code, out, err = run_cli("summary", job(tmp_path / "r.json", {"a": "passed"}))
    assert code == 70 and "internal error" in err


def test_failures_are_named_under_the_table_and_capped(tmp_path):
    outcomes = {"tc%02d" % i: "failed" for i in range(25)}
    outcomes["ok"] = "passed"
    path = job(tmp_path / "r.json", outcomes, plugin="errored")
    code, out, err = run_cli("summary", path, "--max-failures", "3")
    lines = out.split("failures:\n")[1].splitlines()
    assert lines[:3] == ["  FAILED t1 tc00 - why tc00", "  FAILED t1 tc01 - why tc01",
                         "  FAILED t1 tc02 - why tc02"]
    assert lines[3] == "  \u2026 and 23 more"
    code, out, err = run_cli("summary", path, "--max-failures", "100")
    assert "  ERRORED lint" in out


def test_json_follows_its_schema(tmp_path):
    jsonschema = pytest.importorskip("jsonschema")
    path = job(tmp_path / "r.json", {"a": "passed", "b": "failed", "c": "skipped"})
    code, out, err = run_cli("summary", path, "--format", "json")
    doc = json.loads(out)
    jsonschema.validate(doc, JSON_SCHEMA)
    assert code == doc["exit_status"] == 1
    assert doc["counts"] == {"passed": 1, "failed": 1, "skipped": 1}
    assert doc["failures"] == [{"task": "t1", "id": "b", "type": "Testcase", "result": "failed",
                                "reason": "why b"}]
    with pytest.raises(jsonschema.ValidationError):
        jsonschema.validate(dict(doc, exit_status="1"), JSON_SCHEMA)


def test_markdown_for_ci_pages(tmp_path):
    path = job(tmp_path / "r.json", {"a": "passed", "b|c": "failed"})
    code, out, err = run_cli("summary", path, "--format", "markdown")
    lines = out.splitlines()
    assert lines[0].startswith("### \u274c Campaign `ci-job`")
    table = [l for l in lines if l.startswith("|")]
    assert table[0] == "| task | type | passed | failed | total | success | runtime |"
    assert table[2].startswith("| t1 | Task | 1 | 1 | 2 | 50.0% |")
    assert "- **failed** `t1 / b\\|c` \u2014 why b\\|c" in lines


def test_fail_on_new_quarantines_known_failures(tmp_path):
    db = "sqlite:///" + str(tmp_path / "h.db")
    table = [{"tc1": "passed", "tc2": "failed", "tc3": "passed"},
             {"tc1": "failed", "tc2": "failed", "tc3": "passed"},
             {"tc1": "passed", "tc2": "failed", "tc3": "passed"}]
    paths = [make_job(str(tmp_path / str(i) / "r.json"), T0 + i * DAY, row)
             for i, row in enumerate(table)]
    assert run_cli("history", "add", *paths, "--db", db)[0] == 0
    known = make_job(str(tmp_path / "known" / "r.json"), T0 + 3 * DAY,
                     {"tc1": "failed", "tc2": "failed", "tc3": "passed"})
    code, out, err = run_cli("summary", known, "--db", db, "--fail-on", "new")
    assert code == 0, out + err
    assert "history: 0 new failures, 1 still failing, 1 known flaky" in out
    assert run_cli("summary", known, "--db", db)[0] == 1  # any failure, by default
    fresh = make_job(str(tmp_path / "fresh" / "r.json"), T0 + 3 * DAY,
                     {"tc1": "passed", "tc2": "failed", "tc3": "failed"})
    code, out, err = run_cli("summary", fresh, "--db", db, "--fail-on", "new")
    assert code == 1 and "history: 1 new failure," in out
    assert run_cli("summary", fresh, "--fail-on", "new")[0] == 2  # needs --db


def test_a_closed_pipe_ends_quietly(tmp_path):
    path = job(tmp_path / "r.json", {"tc%03d" % i: "failed" for i in range(400)})
    done = subprocess.run("%s -m korvo.reporter summary %s --max-failures 400 | head -1"
                          % (sys.executable, path), shell=True, capture_output=True, text=True,
                          timeout=120)
    assert done.stderr == "" and done.stdout.startswith("Campaign ci-job")


class TestOutputPaths:
    @pytest.mark.parametrize("command", ["junit", "html"])
    def test_the_input_itself_is_refused_before_anything_is_written(self, tmp_path, command):
        path = job(tmp_path / "r.json", {"a": "passed"})
        before = open(path, "rb").read()
        alias = tmp_path / "same.json"
        os.link(path, alias)  # another name of the same file
        for out in (path, str(alias)):
            code, stdout, err = run_cli(command, path, out)
            assert code == 2 and "input itself" in err, err
        assert open(path, "rb").read() == before

    @pytest.mark.parametrize("command,start", [("junit", "<?xml"), ("html", "<!DOCTYPE html>")])
    def test_missing_directories_are_made_and_dash_is_standard_output(self, tmp_path, command, start):
        path = job(tmp_path / "r.json", {"a": "failed"})
        target = tmp_path / "new" / "deeper" / ("out." + command)
        code, out, err = run_cli(command, path, str(target))
        assert code == 0 and target.read_text().startswith(start), err
        code, out, err = run_cli(command, path, "-")
        assert code == 0 and out.startswith(start), err
