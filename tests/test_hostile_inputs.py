"""Files from elsewhere given to every reader and command: special files, YAML aliases,
planted links and absurd log positions, and values no report carries. Each ends in a result
or in exit 2 with one line, never a hang, a crash or exit 1 with a Python error's name."""

import io
import json
import os
import subprocess
import sys
import xml.etree.ElementTree as ET

import pytest

from korvo.reporter import LoadError, load
from korvo.reporter import campaign as c
from korvo.reporter.junit import to_junit
from korvo.reporter.scribe import Scribe, escape

TIME_LIMIT = 60  # seconds; a FIFO used to block forever


def run_cli(*args):
    try:
        done = subprocess.run([sys.executable, "-m", "korvo.reporter"] + [str(a) for a in args],
                              capture_output=True, text=True, errors="backslashreplace",
                              timeout=TIME_LIMIT)
    except subprocess.TimeoutExpired:
        pytest.fail("still running after %d s: %s" % (TIME_LIMIT, args))
    return done.returncode, done.stdout, done.stderr


def run_in_process(*args):
    """main() with standard streams that are strict UTF-8, as a CI runner's may be."""
    from korvo.reporter.cli import main

    out, err = (io.TextIOWrapper(io.BytesIO(), encoding="utf-8", errors="strict")
                for _ in range(2))
    code = main([str(a) for a in args], out=out, err=err)
    texts = []
    for stream in (out, err):
        stream.flush()
        texts.append(stream.buffer.getvalue().decode("utf-8"))
    return (code, *texts)


def assert_refused(code, out, err, *words):
    assert code == 2, (code, out, err)
    assert err.count("\n") == 1 and err.startswith("python -m korvo.reporter: error: "), err
    assert "Error:" not in err and "Traceback" not in err, err
    for word in words:
        assert word in err, err


def document(report):
    return json.dumps({"version": c.VERSION, "report": report})


def job(**fields):
    section = {"type": "Section", "id": "tc", "logs": {"file": "log", "begin": 0, "size": 3}}
    return dict({"type": "Campaign", "id": "j", "tasks": [
        {"type": "Task", "id": "t", "sections": [section]}]}, **fields)


def command_lines(results, out):
    return {
        "summary": ["summary", results],
        "junit": ["junit", results, out / "junit.xml"],
        "html": ["html", results, out / "report.html"],
        "merge": ["merge", out, results],
    }


# --- special files --------------------------------------------------------------------------

@pytest.fixture
def specials(tmp_path):
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    folder = tmp_path / "folder"
    folder.mkdir()
    return {"FIFO": fifo, "directory": folder}


@pytest.mark.parametrize("kind", ["FIFO", "directory"])
@pytest.mark.parametrize("command", ["summary", "junit", "html", "merge", "recover"])
def test_special_files_are_refused_by_every_command(specials, tmp_path, kind, command):
    path, out = specials[kind], tmp_path / "out"
    args = {"recover": ["recover", path, out]}.get(command) or command_lines(path, out)[command]
    assert_refused(*run_cli(*args), "a %s, not a regular file" % kind)
    assert not out.exists() or os.listdir(out) == []


def test_load_refuses_special_files_without_waiting(specials, tmp_path):
    code = ("from korvo.reporter import LoadError, load\n"
            "for path in %r:\n"
            "    try:\n        load(path)\n"
            "    except LoadError as e:\n        print(e)\n" % [str(p) for p in specials.values()])
    try:
        done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                              timeout=TIME_LIMIT)
    except subprocess.TimeoutExpired:
        pytest.fail("load() still waiting on a FIFO after %d s" % TIME_LIMIT)
    assert done.stdout.splitlines() == [
        "cannot read %r: it is a FIFO, not a regular file" % str(specials["FIFO"]),
        "cannot read %r: it is a directory, not a regular file" % str(specials["directory"])]


def test_demo_journal_that_is_a_fifo_or_in_a_missing_directory(specials, tmp_path):
    assert_refused(*run_cli("demo", tmp_path / "d1", "--tasks", "1", "--journal",
                            specials["FIFO"]), "not a regular file")
    assert_refused(*run_cli("demo", tmp_path / "d2", "--tasks", "1", "--journal",
                            tmp_path / "nowhere" / "j.jsonl"), "no directory")


def test_a_line_break_in_a_path_stays_on_one_line(tmp_path):
    assert_refused(*run_cli("summary", tmp_path / "two\nlines.json"), "No such file",
                   repr(str(tmp_path / "two\nlines.json")))


# --- YAML anchors and aliases ---------------------------------------------------------------

YAML_HEAD = "version: '3.0'\nreport:\n  type: Campaign\n  id: j\n"


@pytest.mark.parametrize("text, line", [
    # read by the native reader
    ("version: '3.0'\nreport:\n  type: Campaign\n  id: &a j\n  name: *a\n", 4),
    # read by PyYAML: values multiplied by aliases of aliases
    (YAML_HEAD + "  extra:\n    a: &a [1, 1, 1, 1]\n    b: &b [*a, *a, *a, *a]\n"
     "    c: [*b, *b, *b, *b]\n", 6),
    # one task mapping in two places of the tree
    (YAML_HEAD + "  tasks:\n  - &t {type: Task, id: t}\n  - *t\n", 6),
])
def test_yaml_anchors_and_aliases_are_refused_naming_the_line(tmp_path, text, line):
    path = tmp_path / "results.yaml"
    path.write_text(text)
    with pytest.raises(LoadError, match="line %d: anchors and aliases are not read" % line):
        load(path)
    # texts holding the indicators are only texts
    path.write_text(YAML_HEAD.replace("id: j", "id: 'a&b*c'") + "  name: a&b *c\n")
    assert (load(path).id, load(path).name) == ("a&b*c", "a&b *c")


# --- log slices -----------------------------------------------------------------------------

@pytest.fixture
def logs_job(tmp_path):
    """A results.json beside its logs: a plain log, a link planted in the log directory
    pointing at a file outside it, a FIFO, and a position far past any file's end."""
    (tmp_path / "secret.txt").write_text("SECRET CONTENT")
    logs = tmp_path / "logs"
    logs.mkdir()
    (logs / "plain.log").write_text("plain output\n")
    os.symlink(tmp_path / "secret.txt", logs / "planted.log")
    os.mkfifo(logs / "fifo.log")
    big = 2 ** 63 - 1
    sections = [
        {"type": "Section", "id": name, "result": {"value": "failed"},
         "logs": {"file": file, "begin": begin, "size": size}}
        for name, file, begin, size in [("plain", "plain.log", 0, 5), ("link", "planted.log", 0, 6),
                                        ("fifo", "fifo.log", 0, 4), ("far", "plain.log", big, big)]]
    for section in sections:
        section["type"] = "Testcase"
    results = tmp_path / "results.json"
    results.write_text(document(job(tasks=[{"type": "Task", "id": "t", "sections": sections}])))
    return results, logs


def test_html_and_junit_read_log_slices_by_the_same_rules(logs_job, tmp_path):
    results, logs = logs_job
    code, out, err = run_cli("html", results, tmp_path / "report.html", "--logs", logs)
    assert code == 0, err
    page = (tmp_path / "report.html").read_text()
    assert "SECRET" not in page
    code, out, err = run_cli("junit", results, tmp_path / "junit.xml", "--logs", logs)
    assert code == 0, err
    cases = {case.get("name"): case.findtext("system-out")
             for case in ET.parse(tmp_path / "junit.xml").iter("testcase")}
    assert cases == {"plain": "plain", "link": None, "fifo": None, "far": None}


def test_log_names_with_lone_surrogates_name_no_file(tmp_path):
    (tmp_path / "log").write_text("abc")
    report = job()
    report["tasks"][0]["sections"][0].update(type="Section", result={"value": "failed"})
    report["tasks"][0]["sections"][0]["logs"]["file"] = "lo\ud800g"
    results = tmp_path / "results.json"
    results.write_text(document(report))
    for command in ("junit", "html"):
        code, out, err = run_cli(*command_lines(results, tmp_path)[command])
        assert code == 0, err


# --- values no report carries ---------------------------------------------------------------

def _with(path, value, report=None):
    report = job() if report is None else report
    node = report
    for step in path[:-1]:
        node = node[step]
    node[path[-1]] = value
    return report


BAD_VALUES = {
    "400-digit runtime": _with(["runtime"], 10 ** 400),
    "400-digit success rate": _with(["summary"], {"passed": 1, "total": 1,
                                                  "success_rate": 10 ** 400}),
    "lone surrogates in ids": _with(["tasks", 0, "id"], "t\udfff", _with(["id"], "j\ud800")),
    "control characters in ids": _with(["tasks", 0, "id"], "t\x0b", _with(["id"], "j\x01\x1b")),
    "a task that is not a node": _with(["tasks", 1], 5, _with(["tasks"], [{"type": "Task",
                                                                           "id": "t"}, 0])),
    "logs given as a list": _with(["tasks", 0, "sections", 0, "logs"], ["log", 0, 3]),
    "a Task as the root": {"type": "Task", "id": "t"},
    "a Section as the root": {"type": "Section", "id": "s"},
    "numeric times": _with(["stoptime"], 7.5, _with(["starttime"], 5)),
}


@pytest.mark.parametrize("case", sorted(BAD_VALUES))
@pytest.mark.parametrize("command", ["summary", "junit", "html", "merge"])
def test_values_no_report_carries_end_in_a_result_or_one_line(tmp_path, case, command):
    (tmp_path / "log").write_text("abcdef")
    results = tmp_path / "results.json"
    results.write_text(document(BAD_VALUES[case]))
    out = tmp_path / "out"
    code, stdout, err = run_in_process(*command_lines(results, out)[command])
    if code == 2:
        assert_refused(code, stdout, err)
    else:
        # summary: 1 a failed result, 4 fewer tasks ran than declared, 5 nothing counted
        assert code in (0, 1, 4, 5) and err == "", (code, err)
    if command == "merge":  # all six outputs, or none
        written = sorted(os.listdir(out)) if out.exists() else []
        assert written == ([] if code else ["ResultsDetails.xml", "ResultsSummary.xml",
                                            "junit.xml", "report.html", "results.json",
                                            "results.yaml"])


def test_merge_writes_nothing_when_one_output_cannot_take_the_tree(tmp_path):
    results = tmp_path / "results.yaml"
    results.write_text(YAML_HEAD + "  extra:\n    when: 2020-01-01\n")
    out = tmp_path / "out"
    out.mkdir()
    (out / "results.yaml").write_text("the old one")
    assert_refused(*run_cli("merge", out, results), "cannot write results.json",
                   "nothing was written")
    assert os.listdir(out) == ["results.yaml"] and (out / "results.yaml").read_text() == "the old one"


@pytest.mark.parametrize("text", ["j\x01\x1b", "j\ud800", "j\x0b\udfff"])
def test_ids_and_log_names_xml_cannot_carry_are_escaped_in_the_xml_export(tmp_path, text):
    root = c.Campaign(id=text, seq_num=0)
    task = root.add_task(id="t" + text, seq_num=1)
    case = task.add_section(id="tc" + text, seq_num=1, type="Testcase")
    case.logs = {"file": "log" + text, "begin": 0, "size": 1}
    step = case.add_section(id="s" + text, seq_num=1, type="Step")
    step.name = "n" + text
    Scribe(str(tmp_path), root).generate_xml(None, {})
    ET.parse(tmp_path / "ResultsSummary.xml")
    ids = {e.get("name") for e in ET.parse(tmp_path / "ResultsDetails.xml").iter()}
    assert "tc" + escape(text) in ids  # as descriptions are escaped
    ET.fromstring(to_junit(root))
