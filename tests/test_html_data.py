"""The HTML report's embedded data: the tree in columns, the fields shown on demand, the log
slices and their limits, and the page written through the safe file module."""

import json
import os

import pytest
from hypothesis import given, settings

from korvo.reporter import campaign as c
from korvo.reporter.html import render_html, write_html
from korvo.results import Failed, Passed

from support import profiles
from support.report_trees import finish, job, section, task
from support.strategies import trees

BIG = 1 << 40


def data_of(root, logs_dir=None, slice_cap=64 * 1024, total=BIG):
    text = c._html_data(root, None if logs_dir is None else str(logs_dir), slice_cap, total)
    assert "<" not in text
    return decoded(json.loads(text))


def decoded(d):
    """The columns written as differences, made absolute as the page does."""
    d["parent"] = [k - up if k else -1 for k, up in enumerate(d["up"])]
    start = []
    for k, v in enumerate(d["start"]):
        above = start[d["parent"][k]] if k else None
        start.append(None if v is None else (above or 0) + v)
    d["start"] = start
    logs = list(d["logs"])
    for k in range(4, len(logs), 4):
        logs[k] += logs[k - 4]
        logs[k + 2] += logs[k - 2]
    d["logs"] = logs
    return d


def embedded(page):
    start = page.index('id="korvo-data">') + len('id="korvo-data">')
    return json.loads(page[start:page.index("</script>", start)])


def preorder(root):
    """(node, parent index) in tree order, by the children lists the writers follow."""
    out = []

    def visit(node, parent):
        out.append((node, parent))
        me = len(out) - 1
        order = list(node._ARG_ORDER)
        kids = None
        for name in ("tasks", "sections"):
            if name in order and getattr(node, name, None) not in (None, []):
                kids = getattr(node, name)
                break
        for child in kids or []:
            visit(child, me)

    visit(root, -1)
    return out


@given(trees())
@settings(max_examples=profiles.examples(0.5))
def test_columns_follow_the_tree(root):
    try:
        d = data_of(root)
    except (TypeError, ValueError, RecursionError) as exc:
        # values no writer accepts (keys that are not texts, containers holding themselves);
        # texts of any kind are always written
        assert not isinstance(exc, UnicodeError), exc
        return
    nodes = preorder(root)
    assert d["parent"] == [p for _, p in nodes]
    assert [d["ids"][i] for i in d["id"]] == [str(n.id) for n, _ in nodes]
    for column in ("type", "result", "start", "dur"):
        assert len(d[column]) == len(nodes)
    for k, (node, _) in enumerate(nodes):
        result = getattr(node, "result", None)
        want = None if result is None else str(result)
        assert (d["results"][d["result"][k]] if d["result"][k] >= 0 else None) == want


def demo_job(tmp_path, lines, results, name="TaskLog.t1"):
    """One task whose steps each print one of `lines` (bytes) and end with `results`."""
    path = tmp_path / name
    path.write_bytes(b"")
    root = job(host="lab", submitter="ana")
    t = task(root, logfile=str(path))
    tc = t.add_section(id="tc1", seq_num=1, type="Testcase")
    tc.start(logfile=str(path), description="first <b>case</b>")
    for k, (text, result) in enumerate(zip(lines, results)):
        step = tc.add_section(id="step%d" % (k + 1), seq_num=k + 1, type="Step")
        step.start(logfile=str(path))
        with open(path, "ab") as f:
            f.write(text)
        step.stop(result=result)
    tc.stop()
    t.stop()
    return finish(root)


def slice_of(d, node):
    """The bytes the page cuts for `node` out of the embedded chunks, or None."""
    logs = d["logs"]
    for k in range(0, len(logs), 4):
        if logs[k] == node:
            _, f, begin, size = logs[k:k + 4]
            break
    else:
        raise AssertionError("no log position for node %d" % node)
    for cf, cb, text in d["chunks"]:
        if cf == f and cb <= begin < cb + len(text):
            raw = text.encode("latin-1")[begin - cb:]
            return raw[:min(size, d["sliceCap"])]
    return None


def test_each_step_gets_exactly_what_it_printed(tmp_path):
    lines = [b"one\n", "zw\u00f6lf \u2713\n".encode(), b"</script><!-- three\n"]
    root = demo_job(tmp_path, lines, [Passed, Failed, Passed])
    d = data_of(root, tmp_path)
    ids = [d["ids"][i] for i in d["id"]]
    for k, text in enumerate(lines):
        assert slice_of(d, ids.index("step%d" % (k + 1))) == text
    # the testcase's slice covers its steps: one chunk holds them all, embedded once
    assert slice_of(d, ids.index("tc1")) == b"".join(lines)
    assert len(d["chunks"]) == 1
    assert d["desc"][str(ids.index("tc1"))] == "first <b>case</b>"


def test_a_slice_is_cut_at_the_node_cap(tmp_path):
    root = demo_job(tmp_path, [b"a" * 100, b"b" * 10], [Failed, Passed])
    d = data_of(root, tmp_path, slice_cap=30)
    ids = [d["ids"][i] for i in d["id"]]
    assert slice_of(d, ids.index("step1")) == b"a" * 30
    assert slice_of(d, ids.index("step2")) == b"b" * 10
    assert d["sliceCap"] == 30


def test_the_total_budget_goes_to_failures_first(tmp_path):
    root = demo_job(tmp_path, [b"p" * 40, b"f" * 40, b"q" * 40], [Passed, Failed, Passed])
    d = data_of(root, tmp_path, total=50)
    ids = [d["ids"][i] for i in d["id"]]
    state = {ids[int(k)]: v for k, v in d["sliceState"].items()}
    assert slice_of(d, ids.index("step2")) == b"f" * 40
    assert state["step1"] == state["step3"] == state["tc1"] == 2  # over budget
    assert sum(len(text) for _, _, text in d["chunks"]) <= 50


def test_slices_need_a_regular_file_inside_the_log_directory(tmp_path):
    logs = tmp_path / "logs"
    logs.mkdir()
    secret = tmp_path / "secret"
    secret.write_bytes(b"not for the page\n" * 4)
    root = demo_job(tmp_path, [b"x\n"], [Failed])
    step = root.tasks[0].sections[0].sections[0]
    cases = {"../secret": None, "fifo": "fifo", "missing": None}
    os.mkfifo(logs / "fifo")
    for name in cases:
        step.logs = {"file": name, "begin": 0, "size": 10}
        d = data_of(root, logs)  # a FIFO would block a plain open()
        node = [d["ids"][i] for i in d["id"]].index("step1")
        assert d["sliceState"][str(node)] == 1, name
        assert d["chunks"] == [] or all(b"not for" not in t.encode("latin-1")
                                        for _, _, t in d["chunks"])
    assert secret.read_bytes() == b"not for the page\n" * 4


def test_slices_are_looked_up_in_each_log_directory_in_turn(tmp_path):
    shard = tmp_path / "shard"
    shard.mkdir()
    root = demo_job(shard, [b"one\n", b"two\n"], [Passed, Failed])
    empty = tmp_path / "empty"
    empty.mkdir()
    d = decoded(json.loads(c._html_data(root, [str(empty), str(shard)], 64 * 1024, BIG)))
    ids = [d["ids"][i] for i in d["id"]]
    assert slice_of(d, ids.index("step2")) == b"two\n" and d["logsDir"] is True
    # an empty list is no log directory at all
    d = decoded(json.loads(c._html_data(root, [], 64 * 1024, BIG)))
    assert d["chunks"] == [] and d["logsDir"] is False


def test_no_log_directory_embeds_no_slices(tmp_path):
    root = demo_job(tmp_path, [b"x\n"], [Failed])
    d = data_of(root)
    assert d["chunks"] == [] and d["logsDir"] is False
    assert len(d["logs"]) == 4 * 2  # testcase and step keep their positions


def test_fields_on_demand_and_times(tmp_path):
    root = demo_job(tmp_path, [b"x\n"], [Failed.clone(reason="timeout", data={"after": 3})])
    root.tasks[0].update({"parameters": {"count": 3}, "odd": {1, 2}})
    d = data_of(root)
    info = {d["ids"][d["id"][int(k)]]: v for k, v in d["info"].items()}
    assert info["t1"]["parameters"] == {"count": 3}
    assert info["t1"]["extra"] == {"odd": repr({1, 2})}  # shown, not fatal
    assert info["step1"]["result"] == {"value": "failed", "reason": "timeout",
                                       "data": {"after": 3}}
    assert info["job-1"]["host"] == "lab"
    assert d["start"][0] == 0 and d["dur"][0] == round(root.runtime * 1e6)
    steps = [k for k, i in enumerate(d["id"]) if d["ids"][i] == "step1"]
    assert d["start"][steps[0]] >= 0


def test_cycles_and_strangers_raise():
    root = job()
    t = task(root)
    s = section(t, "s1")
    s.sections.append(s)
    with pytest.raises(ValueError, match="circular"):
        c._html_data(root, None, 10, 10)
    s.sections[:] = [42]
    with pytest.raises(TypeError, match="int"):
        c._html_data(root, None, 10, 10)
    with pytest.raises(ValueError):
        c._html_data(root, None, -1, 10)


def test_page_is_one_file_with_the_data_once(tmp_path):
    root = demo_job(tmp_path, [b"x\n"], [Failed])
    root.id = "a</script><script>alert(1)</script>"
    page = render_html(root, logs_dir=tmp_path)
    # the data, the history (none), whether the job still runs, and the page's own script
    assert page.count("<script") == 4
    assert '<script type="application/json" id="korvo-live">{"live":false}</script>' in page
    assert " src=" not in page
    # nothing is fetched: the only address is the SVG namespace's name
    bare = page.replace('"http://www.w3.org/2000/svg"', "")
    assert "http://" not in bare and "https://" not in bare
    assert embedded(page)["ids"][0] == "a</script><script>alert(1)</script>"
    assert "<title>Report a&lt;/script&gt;" in page


def test_write_html_replaces_a_planted_link_not_its_target(tmp_path):
    root = demo_job(tmp_path, [b"x\n"], [Failed])
    target = tmp_path / "target.txt"
    target.write_text("keep me")
    out = tmp_path / "report.html"
    out.symlink_to(target)
    size = write_html(root, out, logs_dir=tmp_path)
    assert not out.is_symlink() and out.stat().st_size == size
    assert target.read_text() == "keep me"
    assert embedded(out.read_text(encoding="utf-8"))["ids"][0] == "job-1"
    root.id = "j\u00f6b"  # a title that is not ASCII: the size counts UTF-8 bytes
    assert write_html(root, out) == out.stat().st_size
    assert "<title>Report j\u00f6b</title>" in out.read_text(encoding="utf-8")
