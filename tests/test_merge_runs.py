"""merge(): shards of a job and reruns of its failures joined into one tree; the merge and
summary commands."""

import datetime
import json
import subprocess
import sys
from collections import Counter

import junitparser
import pytest

from korvo import results
from korvo.reporter import campaign as c
from korvo.reporter import load, merge
from korvo.reporter.demo import Plan, build
from korvo.reporter.junit import to_junit

from support.junit_oracle import check_against_document, parse, seen_reruns

SUCCESS = {"passed", "passx"}
MERGE_OUTPUTS = ("results.yaml", "results.json", "ResultsDetails.xml", "ResultsSummary.xml",
                 "report.html", "junit.xml")


@pytest.fixture(scope="module")
def original(tmp_path_factory):
    """A demo job with failures, written as results.json."""
    outdir = tmp_path_factory.mktemp("job")
    root, _ = build(Plan(tasks=5, testcases=4, sections=2, steps=3, fail_rate=0.5, seed=11),
                    str(outdir))
    path = outdir / "results.json"
    path.write_text(root.dump_json())
    return path


def finish_like(tree, stop, monkeypatch):
    """tree stopped as a harness would, at `stop` (the model's own roll-ups and weight)."""
    monkeypatch.setattr(c, "get_time", lambda: stop)
    tree.stop(num_tasks=sum(1 for t in tree.tasks if isinstance(t, c.Task)))


def counts(counter):
    return dict(counter.items())


def test_shards_merge_back_into_the_original(original, tmp_path, monkeypatch):
    job = load(original)
    ids = [t.id for t in job.tasks if isinstance(t, c.Task)]
    parts = [ids[:2], ids[2:3], ids[3:]]
    shard_files = []
    for i, part in enumerate(parts):
        shard = load(original)
        shard.tasks[:] = [t for t in shard.tasks if not isinstance(t, c.Task) or t.id in part]
        shard.host = "shard-%d" % i
        finish_like(shard, job.stoptime, monkeypatch)
        # both formats among the shards; YAML keeps two decimals, so compare in YAML below
        name, dump = ("shard%d.yaml" % i, shard.dump_yaml) if i % 2 else ("shard%d.json" % i,
                                                                           shard.dump_json)
        path = tmp_path / name
        path.write_text(dump())
        shard_files.append(path)

    merged = merge(*[load(p) for p in shard_files])
    merged_tasks = [t for t in merged.tasks if isinstance(t, c.Task)]
    assert [t.id for t in merged_tasks] == ids
    for before, after in zip((t for t in job.tasks if isinstance(t, c.Task)), merged_tasks):
        assert counts(after.summary) == counts(before.summary)
        assert counts(after.pluginsummary) == counts(before.pluginsummary)
        assert after.dump_yaml() == before.dump_yaml()
    assert counts(merged.summary) == counts(job.summary)
    assert counts(merged.pluginsummary) == counts(job.pluginsummary)
    assert merged.totaltasks == job.totaltasks
    assert merged.summary.success_rate == pytest.approx(job.summary.success_rate)
    # the job-level plugin ran in every shard and is one node in the merge
    assert sum(isinstance(t, c.Plugin) for t in merged.tasks) == 1
    # first input's data, every input recorded
    assert merged.id == job.id and merged.host == "shard-0"
    assert [m["host"] for m in merged.extra["merged_from"]] == ["shard-0", "shard-1", "shard-2"]
    assert [m["file"] for m in merged.extra["merged_from"]] == [str(p) for p in shard_files]


def failing_testcases(task):
    return [s for s in task.sections if isinstance(s, c.Section) and s.type == "Testcase"
            and str(s.result).lower() not in SUCCESS]


def test_rerun_of_failed_testcases_wins(original, tmp_path, monkeypatch):
    job = load(original)
    rerun = load(original)
    later = job.stoptime + datetime.timedelta(hours=1)
    rerun.starttime = job.stoptime + datetime.timedelta(minutes=5)
    rerun.tasks[:] = [t for t in rerun.tasks if isinstance(t, c.Task) and failing_testcases(t)]
    replaced = {}
    for task in rerun.tasks:
        task.sections[:] = failing_testcases(task)
        for tc in task.sections:
            replaced[(task.id, tc.id)] = str(tc.result).lower()
            tc.result = results.Passed
        task.roll_up()
    finish_like(rerun, later, monkeypatch)
    assert replaced, "the demo job should have failed testcases"
    rerun_file = tmp_path / "rerun.json"
    rerun_file.write_text(rerun.dump_json())
    before_dump = job.dump_json()

    merged = merge(job, load(rerun_file))

    assert job.dump_json() == before_dump  # the inputs are left as they were
    expected_total = Counter()
    for original_task, task in zip(job.tasks, merged.tasks):
        assert [s.id for s in task.sections] == [s.id for s in original_task.sections]
        expected = Counter()
        for old, new in zip(original_task.sections, task.sections):
            key = (task.id, new.id)
            if key in replaced:
                assert new.result == results.Passed
                assert new.details[-1] == "rerun: was %s" % replaced[key]
                assert new._parent is task
            elif isinstance(new, c.Section):
                assert new.dump_json() == old.dump_json()
            if isinstance(new, c.Section) and new.result is not None:
                expected[str(new.result).lower()] += 1
        if isinstance(task, c.Task):
            assert counts(task.summary) == dict(expected)
            expected_total.update(expected)
    assert counts(merged.summary) == dict(expected_total)
    assert merged.totaltasks == job.totaltasks
    assert merged.starttime == job.starttime and merged.stoptime == later
    assert merged.runtime == (later - job.starttime).total_seconds()

    # JUnit keeps the history: one "rerun" property per run a testcase replaced
    xml = parse(to_junit(merged))
    check_against_document(xml, json.loads(merged.dump_json()))
    shown = {(suite.name, case.name): seen_reruns(case) for suite in xml for case in suite}
    assert {key: ["was %s" % was] for key, was in replaced.items()} == {
        key: reruns for key, reruns in shown.items() if reruns}
    again = parse(to_junit(merge(merged, load(rerun_file))))
    key, was = next(iter(replaced.items()))
    assert [seen_reruns(case) for suite in again for case in suite
            if (suite.name, case.name) == key] == [["was %s" % was, "was passed"]]


def test_different_campaign_ids_and_a_new_id(original):
    a, b = load(original), load(original)
    b.id = "other-job"
    merged = merge(a, b, id="joined")
    assert merged.id == merged.name == "joined"
    assert [m["id"] for m in merged.extra["merged_from"]] == [a.id, "other-job"]
    # a merge of merges lists the original inputs once each
    again = merge(merged, load(original))
    assert len(again.extra["merged_from"]) == 3


def test_merge_rejects_what_is_not_a_campaign():
    with pytest.raises(TypeError):
        merge()
    with pytest.raises(TypeError, match="Campaign"):
        merge(c.Task(id="t", seq_num=1))


# --- commands -----------------------------------------------------------------------------

def run_cli(*args, stdin=None):
    proc = subprocess.run([sys.executable, "-m", "korvo.reporter", *map(str, args)],
                          capture_output=True, text=True, timeout=120, input=stdin)
    return proc.returncode, proc.stdout, proc.stderr


def test_merge_command_writes_all_outputs(original, tmp_path):
    outdir = tmp_path / "merged"
    code, out, err = run_cli("merge", outdir, original, original, "--id", "twice")
    assert (code, err) == (0, "")
    job = load(original)
    total = sum(dict(job.summary.items()).values())
    assert out.startswith("merged 2 files into %s: 5 tasks, " % outdir)
    assert "(total %d)" % total in out
    assert sorted(p.name for p in outdir.iterdir()) == sorted(MERGE_OUTPUTS)
    for name in MERGE_OUTPUTS:
        assert (outdir / name).stat().st_size > 0
    merged = json.loads((outdir / "results.json").read_text())["report"]
    assert merged["id"] == "twice"
    tree = load(outdir / "results.yaml")
    assert tree.dump_yaml() == (outdir / "results.yaml").read_text()
    # the page and the JUnit document are of the merged tree
    assert "Report twice" in (outdir / "report.html").read_text()
    assert (outdir / "junit.xml").read_text() == to_junit(load(outdir / "results.json"),
                                                          logs_dir=[original.parent])
    suites = junitparser.JUnitXml.fromfile(str(outdir / "junit.xml"))
    assert suites.name == "twice"


def system_outs(path):
    return {(suite.name, case.name): case.system_out
            for suite in junitparser.JUnitXml.fromfile(str(path)) for case in suite}


def test_merged_reports_find_each_shards_logs(original, tmp_path):
    """Each shard keeps its task logs beside its results; the merged report.html and
    junit.xml show them all, as the junit and html commands do given each --logs."""
    job = load(original)
    task_ids = [t.id for t in job.tasks if isinstance(t, c.Task)]
    shards = []
    for i, part in enumerate([task_ids[:2], task_ids[2:]]):
        where = tmp_path / ("shard%d" % i)
        where.mkdir()
        shard = load(original)
        shard.tasks[:] = [t for t in shard.tasks if not isinstance(t, c.Task) or t.id in part]
        for t in shard.tasks:
            if isinstance(t, c.Task):
                log = "TaskLog." + t.id
                (where / log).write_bytes((original.parent / log).read_bytes())
        (where / "results.json").write_text(shard.dump_json())
        shards.append(where)
    expected = system_outs_of(to_junit(job, logs_dir=original.parent), tmp_path)
    assert sum(text is not None for text in expected.values()) > 10

    outdir = tmp_path / "merged"
    code, out, err = run_cli("merge", outdir, *(s / "results.json" for s in shards))
    assert (code, err) == (0, "")
    assert system_outs(outdir / "junit.xml") == expected
    page = (outdir / "report.html").read_text()
    text_of_a_log = next(text for (suite, _), text in expected.items()
                         if suite == task_ids[-1] and text).splitlines()[0]
    assert json.dumps(text_of_a_log)[1:-1] in page

    given = ["--logs", shards[0], "--logs", shards[1]]
    code, out, err = run_cli("junit", outdir / "results.json", tmp_path / "j.xml", *given)
    assert (code, err) == (0, "")
    assert system_outs(tmp_path / "j.xml") == expected
    code, out, err = run_cli("html", outdir / "results.json", tmp_path / "r.html", *given)
    assert (code, err) == (0, "") and json.dumps(text_of_a_log)[1:-1] in (
        tmp_path / "r.html").read_text()
    # only the first shard's logs: the second's testcases have none
    code, out, err = run_cli("merge", tmp_path / "m2", *(s / "results.json" for s in shards),
                             "--logs", shards[0])
    assert (code, err) == (0, "")
    shown = system_outs(tmp_path / "m2" / "junit.xml")
    assert {suite for (suite, _), text in shown.items() if text} == set(task_ids[:2])
    code, out, err = run_cli("merge", tmp_path / "m3", shards[0] / "results.json",
                             "--logs", tmp_path / "nowhere")
    assert code == 2 and "--logs" in err and not (tmp_path / "m3").exists()


def system_outs_of(text, tmp_path):
    path = tmp_path / "expected.xml"
    path.write_text(text)
    return system_outs(path)


@pytest.mark.parametrize("content", ["not: [a, results, file\n", '{"version": "3.0"}'])
def test_merge_command_names_the_unusable_file(original, tmp_path, content):
    bad = tmp_path / "bad.yaml"
    bad.write_text(content)
    code, out, err = run_cli("merge", tmp_path / "out", original, bad)
    assert code == 2 and out == ""
    assert err.count("\n") == 1 and str(bad) in err


def test_summary_exit_codes(original, tmp_path):
    assert run_cli("summary", original)[0] == 1  # the job has failures
    assert run_cli("summary", original, "--no-fail")[0] == 0
    passing = load(original)
    stack = list(passing.tasks)
    while stack:  # every result below, steps included, made a success
        node = stack.pop()
        stack.extend(node.sections)
        if getattr(node, "result", None) is not None:
            node.result = results.Passx
    for task in passing.tasks:
        task.roll_up()
    passing.roll_up()
    path = tmp_path / "passing.yaml"
    path.write_text(passing.dump_yaml())
    assert run_cli("summary", path)[0] == 0
    code, out, err = run_cli("summary", "-", stdin=path.read_text())
    assert (code, err) == (0, "") and "Campaign" in out


@pytest.mark.parametrize("content,words", [
    ('{"version":"3.0","report":{"type":"Campaign","id":"x","tasks":5}}', "not a list"),
    ("<?xml version='1.0'?>\n<jobSummary/>\n", "XML is not read"),
])
def test_summary_bad_input_is_one_line_exit_2(tmp_path, content, words):
    path = tmp_path / "input"
    path.write_text(content)
    for args in (("summary", path), ("summary", "-")):
        code, out, err = run_cli(*args, stdin=content)
        assert (code, out) == (2, "")
        assert err.count("\n") == 1 and words in err


def test_summary_shows_plugin_results(original):
    code, out, _ = run_cli("summary", original, "--no-fail")
    row = next(line for line in out.splitlines() if line.startswith("environment_check"))
    header = next(line for line in out.splitlines() if line.startswith("task "))
    cells = dict(zip(header.split(), row.split()))
    assert cells["passed"] == "1" and cells["total"] == "1"
    plugins = next(line for line in out.splitlines() if line.startswith("job plugins"))
    assert dict(zip(header.split()[2:], plugins.split()[2:]))["passed"] == "1"


def test_help_names_the_exit_codes():
    code, out, _ = run_cli("summary", "--help")
    assert code == 0 and "--no-fail" in out and "1 when one did" in " ".join(out.split())
    code, out, _ = run_cli("merge", "--help")
    assert code == 0 and "examples:" in out
