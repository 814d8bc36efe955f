"""The command line: bad input, the summary table, and the demo run end to end."""

import json
import os
import re
import subprocess
import sys
import xml.etree.ElementTree as ET
from collections import Counter

import pytest
import yaml

from korvo.reporter.cli import main


def run_cli(*args, cwd=None):
    proc = subprocess.run([sys.executable, "-m", "korvo.reporter", *map(str, args)],
                          capture_output=True, text=True, cwd=cwd, timeout=120)
    return proc.returncode, proc.stdout, proc.stderr


def assert_one_line_error(code, out, err, expected_code=2):
    assert code == expected_code, (code, out, err)
    assert out == ""
    assert "Traceback" not in err
    assert err.endswith("\n") and err.count("\n") == 1, err
    assert err.startswith("python -m korvo.reporter: error: ")


def parse_table(text):
    """Rows of the summary table as {label: {column: cell}}; columns from the rule line."""
    lines = text.splitlines()
    rule_at = next(i for i, line in enumerate(lines) if line.startswith("---"))
    spans = [m.span() for m in re.finditer(r"-+", lines[rule_at])]
    header = [lines[rule_at - 1][a:b].strip() for a, b in spans]
    rows = {}
    for line in lines[rule_at + 1:]:
        if not line.strip() or line.startswith("---"):
            continue
        cells = [line[a:b].strip() for a, b in spans]
        rows[cells[0]] = dict(zip(header, cells))
    return header, rows


# --- bad input ---------------------------------------------------------------------------


@pytest.mark.parametrize("args", [
    ["demo", "OUT", "--bogus"],
    ["demo", "OUT", "--tasks", "-1"],
    ["demo", "OUT", "--tasks", "many"],
    ["demo", "OUT", "--fail-rate", "1.5"],
    ["demo", "OUT", "--seed", "x"],
    ["demo"],
    ["frobnicate"],
    [],
    ["summary"],
])
def test_bad_command_lines_give_one_line_and_exit_2(tmp_path, args):
    args = [str(tmp_path / "out") if a == "OUT" else a for a in args]
    assert_one_line_error(*run_cli(*args))
    assert not (tmp_path / "out" / "results.yaml").exists()


def test_bad_option_value_names_the_option(capsys):
    assert main(["demo", "x", "--fail-rate", "2"]) == 2
    err = capsys.readouterr().err
    assert "--fail-rate" in err and "between 0 and 1" in err


@pytest.mark.parametrize("make", ["file", "under_file"])
def test_unusable_outdir(tmp_path, make):
    blocker = tmp_path / "blocker"
    blocker.write_text("not a directory\n")
    outdir = blocker if make == "file" else blocker / "sub"
    code, out, err = run_cli("demo", outdir, "--tasks", "1")
    assert_one_line_error(code, out, err)
    assert str(outdir) in err
    assert blocker.read_text() == "not a directory\n"


def test_summary_of_missing_file(tmp_path):
    code, out, err = run_cli("summary", tmp_path / "nowhere.yaml")
    assert_one_line_error(code, out, err)
    assert "nowhere.yaml" in err and "No such file" in err


@pytest.mark.parametrize("name,content", [
    ("notes.txt", "just some words\n"),
    ("list.yaml", "- a\n- b\n"),
    ("broken.yaml", "report: [unclosed\n"),
    ("noreport.json", '{"version": "3.0"}'),
    ("broken.json", '{"version": "3.0", "report": '),
    ("empty.yaml", ""),
    ("reportlist.yaml", "version: '3.0'\nreport: [1, 2]\n"),
    ("untyped.json", '{"version": "3.0", "report": {"name": "x"}}'),
])
def test_summary_of_non_results_file(tmp_path, name, content):
    path = tmp_path / name
    path.write_text(content)
    code, out, err = run_cli("summary", path)
    assert_one_line_error(code, out, err)
    assert name in err


def test_summary_of_binary_file(tmp_path):
    path = tmp_path / "blob.yaml"
    path.write_bytes(b"\xff\xfe\x00\x81binary")
    assert_one_line_error(*run_cli("summary", path))


def test_summary_of_directory(tmp_path):
    assert_one_line_error(*run_cli("summary", tmp_path))


# --- summary on hand-made documents ------------------------------------------------------

HAND_YAML = """\
version: '3.0'
report:
  type: Campaign
  id: job-7
  name: job-7
  runtime: 12.5
  summary:
    passed: 3
    failed: 1
    custom: 2
    total: 6
    success_rate: 37.5
  pluginsummary:
    passed: 1
    total: 1
    success_rate: 100.0
  totaltasks: 4
  tasks:
    - type: Plugin
      id: precheck
      starttime: 2024-05-01 10:00:00
      runtime: 0.25
      summary:
        passed: 1
        total: 1
        success_rate: 100.0
    - type: Task
      id: t1
      starttime: 2024-05-01 10:00:01
      runtime: 3.0
      summary:
        failed: 1
        passed: 2
        total: 3
        success_rate: 66.67
    - type: Task
      id: t2
      starttime: 2024-05-01 10:00:05
      runtime: 9.0
      summary:
        passed: 1
        custom: 2
        total: 3
        success_rate: 33.33
    - type: Task
      id: t3
      starttime: 2024-05-01 10:00:09
"""


def test_summary_of_hand_made_yaml(tmp_path):
    path = tmp_path / "results.yaml"
    path.write_text(HAND_YAML)
    code, out, err = run_cli("summary", path)
    assert (code, err) == (1, "")  # t1 failed
    assert "Campaign job-7" in out and "3 of 4 tasks ran" in out
    header, rows = parse_table(out)
    # known results first in reading order, unknown ones after
    assert header == ["task", "type", "passed", "failed", "custom", "total", "success",
                      "runtime"]
    assert rows["t1"] == {"task": "t1", "type": "Task", "passed": "2", "failed": "1",
                          "custom": "0", "total": "3", "success": "66.7%",
                          "runtime": "3.00 s"}
    assert rows["t2"]["custom"] == "2" and rows["t2"]["total"] == "3"
    # a task without results has no counter in the document
    assert rows["t3"]["total"] == "0" and rows["t3"]["success"] == "-"
    assert rows["precheck"]["type"] == "Plugin"
    # totals come from the job's own counters, weighted rate included
    assert rows["tasks"]["passed"] == "3" and rows["tasks"]["total"] == "6"
    assert rows["tasks"]["success"] == "37.5%"
    assert rows["job plugins"]["passed"] == "1"


def test_summary_of_hand_made_json_matches_yaml(tmp_path):
    doc = yaml.safe_load(HAND_YAML)
    for entry in doc["report"]["tasks"]:
        if "starttime" in entry:
            entry["starttime"] = str(entry["starttime"])
    (tmp_path / "results.json").write_text(json.dumps(doc))
    (tmp_path / "results.yaml").write_text(HAND_YAML)
    code_j, out_j, _ = run_cli("summary", tmp_path / "results.json")
    code_y, out_y, _ = run_cli("summary", tmp_path / "results.yaml")
    assert code_j == code_y == 1
    assert out_j == out_y


def test_summary_of_single_task_document(tmp_path, capsys):
    doc = {"version": "3.0", "report": {
        "type": "Task", "id": "solo", "runtime": 1.5,
        "summary": {"passed": 4, "errored": 1, "total": 5, "success_rate": 80.0}}}
    path = tmp_path / "task.json"
    path.write_text(json.dumps(doc))
    assert main(["summary", str(path)]) == 1
    header, rows = parse_table(capsys.readouterr().out)
    assert rows["solo"]["passed"] == "4" and rows["solo"]["errored"] == "1"
    assert rows["total"]["success"] == "80.0%"


# --- demo end to end -----------------------------------------------------------------------

DEMO_ARGS = ["--tasks", "3", "--testcases", "3", "--sections", "2", "--steps", "4",
             "--fail-rate", "0.5", "--seed", "7"]


@pytest.fixture(scope="module")
def demo_run(tmp_path_factory):
    outdir = tmp_path_factory.mktemp("demo")
    code, out, err = run_cli("demo", outdir, *DEMO_ARGS)
    return outdir, code, out, err


def walk(node):
    yield node
    for child in node.get("tasks", []) + node.get("sections", []):
        yield from walk(child)


def test_demo_writes_every_output(demo_run):
    outdir, code, out, err = demo_run
    assert (code, err) == (0, ""), err  # no progress bar when stderr is not a terminal
    for name in ("results.yaml", "results.json", "ResultsDetails.xml", "ResultsSummary.xml"):
        assert (outdir / name).stat().st_size > 0, name
        assert name in out
    assert "success rate" in out


def test_demo_yaml_and_json_agree(demo_run):
    outdir = demo_run[0]
    ydoc = yaml.safe_load((outdir / "results.yaml").read_text())
    jdoc = json.loads((outdir / "results.json").read_text())
    assert ydoc["version"] == jdoc["version"] == "3.0"
    ynodes, jnodes = list(walk(ydoc["report"])), list(walk(jdoc["report"]))
    from korvo.reporter.demo import Plan
    plan = Plan(tasks=3, testcases=3, sections=2, steps=4, fail_rate=0.5, seed=7)
    assert len(ynodes) == len(jnodes) == plan.node_count()
    assert "nodes         %d " % plan.node_count() in demo_run[2]
    for y, j in zip(ynodes, jnodes):
        assert (y["type"], y["fullid"]) == (j["type"], j["fullid"])
        assert y.get("result") == j.get("result")
        assert y.get("logs") == j.get("logs")
        for key in ("summary", "pluginsummary"):
            ycount = {k: v for k, v in (y.get(key) or {}).items() if k != "success_rate"}
            jcount = {k: v for k, v in (j.get(key) or {}).items() if k != "success_rate"}
            assert ycount == jcount


def test_demo_counts_add_up(demo_run):
    outdir, _, out, _ = demo_run
    report = json.loads((outdir / "results.json").read_text())["report"]
    tasks = [t for t in report["tasks"] if t["type"] == "Task"]
    assert report["totaltasks"] == len(tasks) == 3
    # each task counts its top-level sections by result; the job sums the tasks
    job = Counter()
    for task in tasks:
        top = Counter(s["result"]["value"] for s in task["sections"] if s["type"] != "Plugin")
        counted = {k: v for k, v in task["summary"].items() if k not in ("total",
                                                                          "success_rate")}
        assert counted == dict(top)
        assert task["summary"]["total"] == 3 + 2
        job.update(top)
    assert {k: v for k, v in report["summary"].items()
            if k not in ("total", "success_rate")} == dict(job)
    # the demo's own printout shows the same totals
    assert "(total %d)" % sum(job.values()) in out
    for key, count in job.items():
        assert "%s %d" % (key, count) in out


def test_demo_log_positions_are_real(demo_run):
    outdir = demo_run[0]
    report = json.loads((outdir / "results.json").read_text())["report"]
    checked = 0
    for task in (t for t in report["tasks"] if t["type"] == "Task"):
        log = (outdir / task["logfile"]).read_bytes()
        for node in walk(task):
            logs = node.get("logs")
            if node is task or not logs:
                continue
            assert logs["file"] == task["logfile"]
            piece = log[logs["begin"]:logs["begin"] + logs["size"]]
            assert logs["size"] > 0 and logs["begin"] + logs["size"] <= len(log)
            if node["type"] in ("Testcase", "CommonSetup", "CommonCleanup"):
                assert piece.startswith(b"+ %s\n" % node["id"].encode())
                assert piece.endswith(b"- %s\n" % node["id"].encode())
            elif node["type"] == "Step":
                assert piece.startswith(b"    step %s\n" % node["id"][4:].encode())
            checked += 1
    assert checked > 50


def test_demo_xml_matches_the_tree(demo_run):
    outdir = demo_run[0]
    report = json.loads((outdir / "results.json").read_text())["report"]
    summary = ET.parse(str(outdir / "ResultsSummary.xml")).getroot()
    assert summary.tag == "jobSummary"
    assert list(summary.attrib) == ["archiveFilename", "zetTreePath"]
    assert summary.attrib["archiveFilename"] == report["archivefile"]
    assert summary.attrib["zetTreePath"] == report["korvopath"]
    assert summary.find("jobName").text == report["name"]
    assert summary.find("image").text == report["extra"]["image"]
    assert summary.find("debugProfile").text == "0"

    details = ET.parse(str(outdir / "ResultsDetails.xml")).getroot()
    values = Counter()
    for element in details.iter():
        for value in [element.text] + list(element.attrib.values()):
            if value and value.strip():
                values[value.strip().lower()] += 1
    # every testcase of every task is in the details, and every section's result
    # text is written at least once per section that carries it
    results = Counter()
    for task in (t for t in report["tasks"] if t["type"] == "Task"):
        for node in walk(task):
            if node["type"] == "Testcase":
                assert values[node["id"]] >= 1, node["id"]
            if node is not task and "result" in node:
                results[node["result"]["value"]] += 1
    assert results
    for value, count in results.items():
        assert values[value] >= count, value


def test_demo_summary_command_reads_its_outputs(demo_run):
    outdir = demo_run[0]
    code_y, out_y, _ = run_cli("summary", outdir / "results.yaml")
    code_j, out_j, _ = run_cli("summary", outdir / "results.json")
    assert code_y == code_j == 1  # the demo job has failures
    assert out_y == out_j
    report = json.loads((outdir / "results.json").read_text())["report"]
    _, rows = parse_table(out_y)
    for task in (t for t in report["tasks"] if t["type"] == "Task"):
        assert rows[task["id"]]["total"] == str(task["summary"]["total"])
    assert rows["tasks"]["total"] == str(report["summary"]["total"])
