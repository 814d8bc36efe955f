"""The demo's job builder: the tree it drives into the model, its logs, its result draw."""

import io
from collections import Counter

import pytest

from korvo.reporter.campaign import Campaign, Plugin, Section, Task
from korvo.reporter.demo import Plan, build
from korvo.reporter.progress import Progress


def nodes(node):
    yield node
    for child in getattr(node, "tasks", []) + getattr(node, "sections", []):
        yield from nodes(child)


@pytest.mark.parametrize("plan", [
    Plan(tasks=2, testcases=3, sections=2, steps=4),
    Plan(tasks=1, testcases=0, sections=0, steps=0),
    Plan(tasks=2, testcases=2, sections=3, steps=0),
    Plan(tasks=1, testcases=1, sections=1, steps=7),
    Plan(tasks=0),
])
def test_node_count_matches_the_plan(tmp_path, plan):
    campaign, built = build(plan, str(tmp_path))
    assert built == plan.node_count() == len(list(nodes(campaign)))


def test_default_plan_is_about_ten_thousand_nodes():
    assert 9000 <= Plan().node_count() <= 11000


def test_tree_shape_and_lifecycle(tmp_path):
    plan = Plan(tasks=2, testcases=2, sections=2, steps=5)
    campaign, _ = build(plan, str(tmp_path))
    assert isinstance(campaign, Campaign)
    assert campaign.totaltasks == 2 and campaign.summary.weight == 1.0
    assert campaign.extra == {"testbed": "demo-bed", "release": "1.0.0",
                              "image": "demo-image-1.0.0"}
    assert isinstance(campaign.tasks[0], Plugin)
    for node in nodes(campaign):
        assert node.starttime is not None and node.stoptime is not None, node.fullid
        assert node.stoptime >= node.starttime
    task = campaign.tasks[1]
    assert isinstance(task, Task) and task.logfile == "TaskLog.task001"
    assert task.testscript.endswith("demo_001.py") and task.parameters["index"] == 1
    kinds = [s.type for s in task.sections]
    assert kinds == ["Plugin", "CommonSetup", "Testcase", "Testcase", "CommonCleanup"]
    testcase = task.sections[2]
    assert testcase.xref == {"file": "demo_001.py", "line": 20}
    assert [s.type for s in testcase.sections] == ["TestSection", "TestSection"]
    # five steps in groups of three: heads step1 and step4, the others nested
    section = testcase.sections[0]
    assert [s.id for s in section.sections] == ["step1", "step4"]
    assert [s.id for s in section.sections[0].sections] == ["step2", "step3"]
    assert [s.id for s in section.sections[1].sections] == ["step5"]
    assert task.sections[1].sections[0].type == "Subsection"


def test_log_positions_cover_what_each_node_wrote(tmp_path):
    campaign, _ = build(Plan(tasks=1, testcases=2, sections=2, steps=3), str(tmp_path))
    task = campaign.tasks[1]
    log = (tmp_path / task.logfile).read_bytes()
    for node in nodes(task):
        if node is task:
            continue
        begin, size = node.logs["begin"], node.logs["size"]
        piece = log[begin:begin + size]
        if isinstance(node, Section) and node.type == "Step":
            assert piece.startswith(b"    step %s\n" % node.id[4:].encode())
        elif node.type == "Testcase":
            assert piece.startswith(b"+ %s\n" % node.id.encode())
            assert piece.endswith(b"- %s\n" % node.id.encode())
        # a parent's slice holds each child's slice
        for child in getattr(node, "sections", []):
            assert begin <= child.logs["begin"]
            assert child.logs["begin"] + child.logs["size"] <= begin + size
    assert task.sections[0].logs["file"] == "TaskLog.task001"


def top_results(campaign):
    return Counter(str(s.result) for t in campaign.tasks if isinstance(t, Task)
                   for s in t.sections if isinstance(s, Section))


@pytest.mark.parametrize("rate", [0.0, 1.0])
def test_fail_rate_extremes(tmp_path, rate):
    campaign, _ = build(Plan(tasks=3, testcases=4, sections=2, steps=3, fail_rate=rate),
                        str(tmp_path))
    counts = top_results(campaign)
    assert sum(counts.values()) == 3 * 6
    assert (counts["Passed"] == 18) if rate == 0.0 else ("Passed" not in counts)
    assert dict(campaign.summary.items()) == {k.lower(): v for k, v in counts.items()}


def test_a_failure_climbs_from_one_leaf(tmp_path):
    campaign, _ = build(Plan(tasks=2, testcases=5, sections=2, steps=4, fail_rate=1.0),
                        str(tmp_path))
    for task in campaign.tasks[1:]:
        for block in task.sections[1:]:
            leaves = [n for n in nodes(block) if not n.sections]
            bad = [n for n in leaves if str(n.result) != "Passed"]
            assert len(bad) == 1 and str(bad[0].result) == str(block.result)


def test_same_seed_same_results_other_seed_differs(tmp_path):
    plan = Plan(tasks=4, testcases=10, sections=1, steps=2, fail_rate=0.5, seed=11)
    first = [str(n.result) for n in nodes(build(plan, str(tmp_path))[0]) if hasattr(n, "result")]
    again = [str(n.result) for n in nodes(build(plan, str(tmp_path))[0]) if hasattr(n, "result")]
    other = Plan(tasks=4, testcases=10, sections=1, steps=2, fail_rate=0.5, seed=12)
    third = [str(n.result) for n in nodes(build(other, str(tmp_path))[0]) if hasattr(n, "result")]
    assert first == again
    assert first != third


class FakeTerminal(io.StringIO):
    def __init__(self, tty):
        super().__init__()
        self.tty = tty

    def isatty(self):
        return self.tty


def test_progress_draws_only_on_a_terminal():
    quiet = FakeTerminal(False)
    bar = Progress(100, stream=quiet, delay=0, interval=0)
    bar.update(50)
    bar.phase("writing")
    bar.close()
    assert quiet.getvalue() == ""

    loud = FakeTerminal(True)
    bar = Progress(200, stream=loud, delay=0, interval=0)
    bar.update(50)
    assert "25%" in loud.getvalue() and "50/200 nodes" in loud.getvalue()
    bar.phase("writing results.yaml")
    assert loud.getvalue().endswith("writing results.yaml ...")
    bar.close()
    assert loud.getvalue().endswith("\r\x1b[K")


def test_progress_waits_before_drawing():
    term = FakeTerminal(True)
    bar = Progress(10, stream=term, delay=3600)
    bar.update(5)
    bar.phase("writing")
    bar.close()
    assert term.getvalue() == ""
