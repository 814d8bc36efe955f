"""Results climbing the tree: section roll-up, task, plugin and campaign counters."""

import pytest

from korvo.reporter import campaign
from korvo.reporter.campaign import Campaign, Plugin, Section, Task
from korvo.results import Errored, Failed, Passed, ResultCounter, Skipped
from korvo.results import TestResult as ResultValue


class Traced(ResultValue):
    """A result value that records the clones and sums the roll-up asks of it."""

    calls = []

    def clone(self, reason=None, data=None):
        copy = Traced(self.name, self.severity, reason, data)
        Traced.calls.append(("clone", self, copy))
        return copy

    def __add__(self, other):
        total = Traced(self.name + "+" + other.name, max(self.severity, other.severity))
        Traced.calls.append(("add", self, other, total))
        return total


def test_section_result_is_cloned_then_added_into_parent_section():
    Traced.calls = []
    first, second = Traced("First", 0), Traced("Second", 4)
    parent = Section(id="p", seq_num=1)
    a = parent.add_section(id="a", seq_num=1)
    b = parent.add_section(id="b", seq_num=2)
    a.stop(result=first)
    [(kind, source, copy)] = Traced.calls
    assert (kind, source) == ("clone", first) and parent.result is copy
    assert a.result is first
    b.stop(result=second)
    [_, (kind, left, right, total)] = Traced.calls
    # the parent's own result on the left, the child's on the right, the sum stored
    assert (kind, left, right) == ("add", copy, second) and parent.result is total
    assert b.result is second and first.name == "First" and second.name == "Second"


def test_shared_result_constants_stay_unchanged_by_the_roll_up():
    parent = Section(id="p", seq_num=1)
    parent.add_section(id="a", seq_num=1).stop(result=Passed)
    parent.add_section(id="b", seq_num=2).stop(result=Failed)
    assert parent.result == Failed
    assert (Passed.name, Passed.reason, Passed.data) == ("Passed", None, None)
    assert (Failed.name, Failed.reason, Failed.data) == ("Failed", None, None)


def test_nested_results_reach_top_section_and_task_counts_it_once():
    job = Campaign(id="job", seq_num=0)
    task = job.add_task(id="t", seq_num=1)
    tc = task.add_section(id="tc", seq_num=1, type="Testcase")
    ts = tc.add_section(id="ts", seq_num=1)
    for i in range(3):
        ts.add_section(id="s%d" % i, seq_num=i).stop(result=Failed)
    ts.stop()
    tc.stop()
    task.add_section(id="ok", seq_num=2).stop(result=Passed)
    task.add_section(id="none", seq_num=3).stop()
    task.stop()
    assert tc.result == Failed
    assert task.summary.data == {"failed": 1, "passed": 1}


def test_section_below_task_leaves_task_unchanged():
    task = Task(id="t", seq_num=1)
    s = task.add_section(id="s", seq_num=1)
    s.stop(result=Failed)
    assert not hasattr(task, "result") and task.summary.data == {}


def test_roll_up_failure_leaves_parent_result_unchanged():
    class Bad:
        def clone(self):
            raise ValueError("no clone")

    parent = Section(id="p", seq_num=1)
    child = parent.add_section(id="c", seq_num=1)
    with pytest.raises(ValueError):
        child.stop(result=Bad())
    assert parent.result is None


def test_task_counters_and_plugins():
    task = Task(id="t", seq_num=1)
    p1 = task.add_plugin(id="p1", seq_num=1)
    p1.add_section(id="x", seq_num=1).stop(result=Failed)
    p1.stop()
    p2 = task.add_plugin(id="p2", seq_num=2)
    p2.add_section(id="y", seq_num=1).stop(result=Failed)
    p2.stop()
    task.stop(summary="ignored")
    assert isinstance(task.summary, ResultCounter) and task.summary.data == {}
    assert task.pluginsummary.data == {"failed": 2}


def test_task_recounts_instead_of_adding_on_second_stop():
    task = Task(id="t", seq_num=1)
    task.add_section(id="a", seq_num=1).stop(result=Passed)
    task.stop()
    first = task.summary
    task.stop()
    assert task.summary.data == {"passed": 1} and task.summary is not first


def test_task_plugin_without_sections_does_not_break_task_stop():
    task = Task(id="t", seq_num=1)
    plugin = task.add_plugin(id="p", seq_num=1)
    plugin.start()
    plugin.stop()
    assert plugin.summary is None and plugin.result is Passed
    task.add_section(id="s", seq_num=2).stop(result=Skipped)
    task.stop()
    assert task.summary.data == {"skipped": 1} and task.pluginsummary.data == {}


def test_task_child_without_result_attribute_fails_roll_up():
    task = Task(id="t", seq_num=1)
    task.sections.append(Task(id="odd", seq_num=2))
    with pytest.raises(AttributeError):
        task.stop()


def test_plugin_result_and_summary():
    job = Campaign(id="job", seq_num=0)
    plugin = job.add_plugin(id="p", seq_num=1)
    plugin.start()
    assert plugin.summary == ResultCounter() and plugin.summary is not None
    plugin.stop()
    assert plugin.result is Passed and plugin.summary.data == {}

    failing = job.add_plugin(id="f", seq_num=2)
    failing.start()
    failing.add_section(id="s", seq_num=1).stop(result=Failed)
    failing.add_section(id="n", seq_num=2).stop()
    failing.stop()
    assert failing.result == Failed and failing.summary.data == {"failed": 1}


def test_plugin_with_only_null_results_defaults_to_passed():
    plugin = Plugin(id="p", seq_num=1)
    plugin.add_section(id="s", seq_num=1).stop()
    plugin.stop()
    assert plugin.summary.data == {} and plugin.result is Passed


def test_campaign_sums_counters_and_weights_run_tasks():
    job = Campaign(id="job", seq_num=0)
    for i, results in enumerate([[Failed, Failed, Passed], [Failed], []]):
        task = job.add_task(id="t%d" % i, seq_num=i)
        task.start()
        for j, r in enumerate(results):
            task.add_section(id="s%d" % j, seq_num=j).stop(result=r)
        task.stop()
    job.add_task(id="never", seq_num=9)
    plugin = job.add_plugin(id="jp", seq_num=10)
    plugin.start()
    plugin.add_section(id="s", seq_num=1).stop(result=Errored)
    plugin.stop()
    job.stop(num_tasks=4)
    assert job.summary.data == {"failed": 3, "passed": 1}
    assert job.pluginsummary.data == {"errored": 1}
    assert job.totaltasks == 4 and job.summary.weight == 0.75
    assert "num_tasks" not in job.extra
    job.roll_up()
    assert job.summary.data == {"failed": 3, "passed": 1} and job.summary.weight == 1.0


def test_campaign_stop_without_num_tasks_stores_no_weight():
    job = Campaign(id="job", seq_num=0)
    job.stop()
    assert job.totaltasks == 0 and job.summary.weight == ResultCounter().weight


def test_campaign_ignores_job_plugin_that_never_started():
    job = Campaign(id="job", seq_num=0)
    job.add_plugin(id="added-only", seq_num=1)
    task = job.add_task(id="t", seq_num=2)
    task.start()
    task.add_section(id="s", seq_num=1).stop(result=Passed)
    task.stop()
    job.stop(num_tasks=1)
    assert job.summary.data == {"passed": 1} and job.summary.weight == 1.0


def test_campaign_uncomparable_num_tasks_fails_after_totaltasks():
    job = Campaign(id="job", seq_num=0)
    with pytest.raises(TypeError):
        job.stop(num_tasks="four")
    assert job.totaltasks == "four"


def test_roll_up_override_is_called_by_stop():
    calls = []

    class Counting(Section):
        def roll_up(self):
            calls.append(self.id)
            super().roll_up()

    parent = Counting(id="parent", seq_num=1)
    child = Section(id="child", seq_num=1, parent=parent)
    parent.sections.append(child)
    child.stop(result=Failed)  # the base roll-up reaches the parent's override
    parent.stop()
    assert calls == ["parent", "parent"]


def test_methods_replaced_on_the_classes_are_called(monkeypatch):
    calls = []
    base_roll_up = Section.roll_up
    base_update = Section.update

    def roll_up(self):
        calls.append(("roll_up", self.id))
        base_roll_up(self)

    def update(self, data):
        calls.append(("update", dict(data)))
        base_update(self, data)

    monkeypatch.setattr(Section, "roll_up", roll_up)
    monkeypatch.setattr(Section, "update", update)
    monkeypatch.setattr(Task, "roll_up", lambda self: calls.append(("task", self.id)))
    task = Task(id="t", seq_num=1)
    top = task.add_section(id="top", seq_num=1)
    leaf = top.add_section(id="leaf", seq_num=1)
    leaf.start(a=1)
    leaf.stop(result=Failed)
    task.stop()
    assert calls == [
        ("update", {"a": 1}),
        ("update", {"result": Failed}),
        ("roll_up", "leaf"),
        ("roll_up", "top"),  # the climb reaches the parent through its class
        ("task", "t"),
    ]
    assert top.result == Failed and task.summary == {}


def test_methods_set_on_one_node_shadow_the_class(clock):
    calls = []
    parent = Section(id="parent", seq_num=1)
    parent.roll_up = lambda: calls.append("parent roll_up")
    child = parent.add_section(id="child", seq_num=1)

    def update(data):
        calls.append(("child update", dict(data)))
        Section.update(child, data)

    child.update = update
    child.start(a=1)
    child.stop(result=Failed)
    assert calls == [("child update", {"a": 1}), ("child update", {"result": Failed}),
                     "parent roll_up"]


def test_substituted_module_names_are_used(monkeypatch):
    class MyCounter(ResultCounter):
        pass

    sentinel = Passed.clone()
    monkeypatch.setattr(campaign, "ResultCounter", MyCounter)
    monkeypatch.setattr(campaign, "Passed", sentinel)
    task = Task(id="t", seq_num=1)
    plugin = task.add_plugin(id="p", seq_num=1)
    plugin.stop()
    task.stop()
    assert type(task.summary) is MyCounter and plugin.result is sentinel


def test_deep_section_chain_rolls_up_without_recursion():
    top = Section(id="top", seq_num=0)
    node = top
    for i in range(50_000):
        node = node.add_section(id=i, seq_num=i)
    node.stop(result=Failed)
    assert top.result == Failed
