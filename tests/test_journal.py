"""The live journal: a job recorded with attach() is rebuilt exactly by recover()."""

import datetime
import math
import os
import zlib

import pytest
from hypothesis import given, settings, strategies as st

from korvo import results
from korvo.datastructures import AttrDict
from korvo.reporter import campaign
from korvo.reporter import journal
from korvo.reporter.campaign import Campaign, Plugin, Section, Task
from korvo.reporter.scribe import Scribe

from support import profiles
from support.strategies import COUNTERS, DATETIMES, ERRORS, FLOATS, INTS, RESULTS, TEXTS

# Each example drives a job, journals it, recovers it and renders both trees.
SETTINGS = settings(max_examples=profiles.examples(0.5))


# --- what "the same tree" means -------------------------------------------------------

def describe(root):
    """Every node's class and attributes, values spelled out with their exact types, and
    which places hold the same list or dict object (by order of first appearance)."""
    seen = {}

    def value(v):
        t = type(v)
        if isinstance(v, campaign.ReportObjectBase):
            return ("node", nodes.index(v) if v in nodes else repr(v))
        if t in (list, dict, AttrDict):
            if id(v) in seen:
                return ("same", seen[id(v)])
            seen[id(v)] = len(seen)
            if t is list:
                return ("list", seen[id(v)], [value(x) for x in v])
            return (t.__name__, seen[id(v)], [(value(k), value(x)) for k, x in v.items()])
        if t is tuple:
            return ("tuple", [value(x) for x in v])
        if t is float:
            return ("float", "nan" if math.isnan(v) else v.hex())
        if t is results.TestResult:
            return ("result", str(v), v.severity, value(v.reason), value(v.data),
                    [n for n in results.__all__ if getattr(results, n) is v])
        if t is results.ResultCounter:
            return ("counter", [(value(k), value(n)) for k, n in v.items()], value(v.weight))
        if isinstance(v, BaseException):
            return ("exception", type(v).__qualname__, value(v.args))
        if t is datetime.datetime:
            return ("datetime", v.isoformat(), v.utcoffset(), v.fold)
        return (t.__name__, v)

    nodes = []
    stack = [root]
    while stack:
        node = stack.pop()
        nodes.append(node)
        children = node.tasks if isinstance(node, Campaign) else node.sections
        stack.extend(reversed([c for c in children if isinstance(c, campaign.ReportObjectBase)]))
    out = []
    for node in nodes:
        attrs = {k: v for k, v in vars(node).items() if k != "_parent"}
        parent = node._parent
        out.append((type(node).__name__, nodes.index(parent) if parent in nodes else None,
                    sorted((k, value(v)) for k, v in attrs.items())))
    return out


def outputs(root, tmp_path, tag, xml=True):
    """dump_yaml, dump_json and both XML files (or the error each raised)."""
    got = {}
    for name, dump in (("yaml", root.dump_yaml), ("json", root.dump_json)):
        try:
            got[name] = dump()
        except Exception as exc:  # the live tree fails the same way
            got[name] = type(exc)
    if not xml:
        return got
    outdir = tmp_path / ("xml-" + tag)
    outdir.mkdir()
    try:
        Scribe(str(outdir), root).generate_xml(None, {})
        for name in ("ResultsDetails.xml", "ResultsSummary.xml"):
            got[name] = (outdir / name).read_bytes()
    except Exception as exc:
        got["xml"] = type(exc)
    return got


def assert_rebuilt(live, path, tmp_path, xml=True):
    found = journal.recover_journal(str(path))
    assert found.damage is None and found.aborted == []
    assert describe(found.campaign) == describe(live)
    assert outputs(found.campaign, tmp_path, "recovered", xml) == outputs(live, tmp_path, "live", xml)
    return found


# --- values of every type the journal knows --------------------------------------------

named_results = st.sampled_from([getattr(results, n) for n in results.__all__
                                 if isinstance(getattr(results, n), results.TestResult)])
keys = st.one_of(TEXTS, st.integers(-5, 5), st.none(), st.booleans(), st.just("$m"))
# Every type the journal keeps as such (the shared strategies aim at the writers' edge cases).
scalars = st.one_of(
    st.none(), st.booleans(), INTS, FLOATS, st.just(float("nan")), TEXTS, st.binary(max_size=8),
    st.dates(), DATETIMES, named_results, RESULTS, COUNTERS, ERRORS)
values = st.recursive(
    scalars,
    lambda inner: st.one_of(
        st.lists(inner, max_size=3), st.lists(inner, max_size=3).map(tuple),
        st.dictionaries(keys, inner, max_size=3),
        st.dictionaries(TEXTS, inner, max_size=3).map(AttrDict)),
    max_leaves=8)


# --- a job: a random walk over the model's operations ----------------------------------

NAMES = ["description", "result", "logs", "parameters", "details", "extra", "xref", "note",
         "summary", "cli", "name"]

operations = st.lists(
    st.tuples(st.sampled_from(["add_section", "add_plugin", "start", "stop", "update",
                               "update_extra", "add_detail", "assign", "share", "refer",
                               "mutate_then_update"]),
              st.integers(0, 1000), st.sampled_from(NAMES), values),
    max_size=25)


def run_job():
    """The start of every generated job: (root, its nodes, values kept for later)."""
    root = Campaign(id="job", seq_num=0)
    root.start(cli="run", testbed="bed")
    task = root.add_task(id="t1", seq_num=1)
    task.start(parameters={"a": [1]})
    nodes = [root, task]
    kept = []
    return root, nodes, kept


def apply(op, nodes, kept):
    kind, pick, name, value = op
    node = nodes[pick % len(nodes)]
    if kind == "add_section" and not isinstance(node, Campaign):
        nodes.append(node.add_section(id="s%d" % len(nodes), seq_num=len(nodes)))
    elif kind == "add_plugin" and isinstance(node, (Campaign, Task)):
        nodes.append(node.add_plugin(id="p%d" % len(nodes), seq_num=len(nodes)))
    elif kind == "start":
        node.start(**{name: value})
    elif kind == "stop":
        if isinstance(node, Campaign):
            node.stop(num_tasks=2)
        elif name != "logfile":
            node.stop(**{name: value})
    elif kind == "update":
        node.update({name: value})
    elif kind == "update_extra":
        node.update_extra({name: value})
    elif kind == "add_detail":
        node.add_detail(value)
    elif kind == "assign":
        setattr(node, name, value)
        kept.append(value)
    elif kind == "share":  # the same object in two places, changed later through one
        shared = {"v": [value]}
        node.update_extra({"shared": shared})
        nodes[(pick // 7) % len(nodes)].add_detail(shared)
        kept.append(shared)
    elif kind == "refer":
        node.update_extra({"peer": nodes[(pick // 3) % len(nodes)]})
    elif kind == "mutate_then_update" and kept:
        target = kept[pick % len(kept)]
        if isinstance(target, dict):
            node.update_extra({"merged": target})
        elif isinstance(target, list):
            node.update({"details": target})


@SETTINGS
@given(ops=operations, durability=st.sampled_from(journal.DURABILITY))
def test_generated_jobs_are_rebuilt_exactly(tmp_path_factory, clock, ops, durability):
    tmp_path = tmp_path_factory.mktemp("job")
    path = tmp_path / "journal.jsonl"
    root, nodes, kept = run_job()
    with journal.attach(root, str(path), durability=durability):
        for op in ops:
            try:
                apply(op, nodes, kept)
            except (TypeError, ValueError, KeyError, AttributeError, OSError, RecursionError):
                pass  # misuse fails in the model; what it changed is still journaled
        for node in reversed(nodes):
            # A summary set to a non-counter makes the campaign's roll-up fail part way;
            # the counters it had rebuilt by then are journaled like any other change.
            try:
                node.stop(num_tasks=2) if isinstance(node, Campaign) else node.stop()
            except Exception:
                pass
    # The XML export writes a node held as a value by its repr, which shows its address.
    assert_rebuilt(root, path, tmp_path, xml=not any(op[0] == "refer" for op in ops))


def test_attaching_to_a_grown_tree_records_what_is_there(tmp_path, clock):
    root = Campaign(id="job", seq_num=0)
    root.start(cli="run", release="1.0")
    task = root.add_task(id="t1", seq_num=1, type="Script")
    task.start(parameters=AttrDict(x=[1, 2]))
    sect = task.add_section(id="s1", seq_num=1)
    sect.start()
    path = tmp_path / "journal.jsonl"
    with journal.attach(root, str(path)):
        sect.stop(result=results.Failed.clone(reason="boom"))
        task.stop()
        root.stop(num_tasks=1)
    assert_rebuilt(root, path, tmp_path)


def test_nodes_stopped_before_attach_stay_stopped(tmp_path, clock):
    # A job plugin and a section that ended before the journal began are not aborted by
    # recovery, while a node still running when the job is cut short is.
    root = Campaign(id="job", seq_num=0)
    root.start()
    plugin = root.add_plugin(id="p", seq_num=1)
    plugin.start()
    plugin.stop()
    task = root.add_task(id="t1", seq_num=2)
    task.start()
    done = task.add_section(id="done", seq_num=1)
    done.start()
    done.stop(result=results.Failed)
    running = task.add_section(id="running", seq_num=2)
    running.start()
    again = task.add_section(id="again", seq_num=3)  # stopped, then started once more
    again.start()
    again.stop()
    again.start()
    path = tmp_path / "journal.jsonl"
    cut = tmp_path / "cut.jsonl"
    with journal.attach(root, str(cut)):
        pass
    with journal.attach(root, str(path)):
        running.stop()
        again.stop()
        task.stop()
        root.stop(num_tasks=2)
    assert_rebuilt(root, path, tmp_path)
    aborted = journal.recover_journal(str(cut)).aborted
    assert [n.id for n in aborted] == ["again", "running", "t1", "job"]


@pytest.fixture
def started_job(tmp_path, clock):
    """A started campaign and the path of a journal for it."""
    root = Campaign(id="job", seq_num=0)
    root.start()
    return root, tmp_path / "journal.jsonl"


def test_a_stop_that_fails_in_its_roll_up_is_recovered_as_stopped(started_job, tmp_path):
    # A job-level plugin whose summary is not a counter makes the campaign's roll-up fail;
    # the campaign has still stopped, and recovery must not abort it (or fail itself).
    root, path = started_job
    with journal.attach(root, str(path)):
        plugin = root.add_plugin(id="p", seq_num=1)
        plugin.start()
        plugin.stop(summary=[])
        with pytest.raises(AttributeError):
            root.stop(num_tasks=1)
    found = assert_rebuilt(root, path, tmp_path)
    assert found.campaign.stoptime == root.stoptime


class _Checked(Section):
    """A harness subclass with an attribute hook of its own."""

    def __setattr__(self, name, value):
        super().__setattr__(name, value.upper() if name == "note" else value)


class _Bare(Section):
    """A subclass whose constructor never reaches the native one."""

    def __init__(self, **kwargs):
        pass


def test_assignments_on_subclass_nodes_reach_the_journal(started_job, monkeypatch):
    root, path = started_job
    with journal.attach(root, str(path)):
        task = root.add_task(id="t1", seq_num=1)
        task.start()
        made = []
        for cls in (_Checked, _Bare):
            monkeypatch.setattr(campaign, "Section", cls)
            made.append(task.add_section(id=cls.__name__, seq_num=len(made) + 1))
        monkeypatch.undo()
        checked, bare = made
        checked.start()
        checked.note = "hooked"
        bare.note = "bare"
        task.note = "plain"
        checked.stop(result=results.Passed)
    found = journal.recover(str(path)).tasks[0]
    assert found.note == "plain"
    assert [s.note for s in found.sections] == ["HOOKED", "bare"]
    assert found.sections[0].result == results.Passed


def test_nodes_outlive_their_closed_journal(started_job, tmp_path):
    # Once closed, a journal hears nothing more of its nodes, even while another journal
    # watches the model; and the tree can be journaled afresh.
    root, path = started_job
    with journal.attach(root, str(path)):
        task = root.add_task(id="t1", seq_num=1)
    closed_size = path.stat().st_size
    other, other_path = Campaign(id="other", seq_num=0), tmp_path / "other.jsonl"
    with journal.attach(other, str(other_path)):
        task.start()
        task.note = "late"
        other.start()
    assert path.stat().st_size == closed_size
    assert "late" not in other_path.read_text()
    again = tmp_path / "again.jsonl"
    with journal.attach(root, str(again)):
        task.stop()
        root.stop(num_tasks=1)
    assert journal.recover(str(again)).tasks[0].note == "late"


# --- roll-up results: judged by their fields, without asking Python ---------------------

def result_entries(path):
    """How many values of "result" the journal wrote."""
    return path.read_text().count('"result",')


def test_rolled_up_results_equal_to_the_last_written_are_left_out_without_str(
        started_job, monkeypatch):
    root, path = started_job
    asked = []
    plain_str = results.TestResult.__str__
    monkeypatch.setattr(results.TestResult, "__str__",
                        lambda self: asked.append(self) or plain_str(self))
    with journal.attach(root, str(path)):
        task = root.add_task(id="t1", seq_num=1)
        task.start()
        chain = [task]
        for i in range(4):
            chain.append(chain[-1].add_section(id="s%d" % i, seq_num=i))
            chain[-1].start()
        for i in range(5):
            step = chain[-1].add_section(id="step%d" % i, seq_num=i)
            step.start()
            step.stop(result=results.Passed)
        written, asked_before = result_entries(path), len(asked)
        # Each of these stops rolls a new Passed up through five ancestors that hold one.
        for i in range(5, 10):
            step = chain[-1].add_section(id="step%d" % i, seq_num=i)
            step.start()
            step.stop(result=results.Passed)
        assert result_entries(path) == written + 5  # the steps' own results only
        assert len(asked) == asked_before
        for node in reversed(chain):
            node.stop()
        root.stop(num_tasks=1)
    assert_rebuilt(root, path, tmp_path=path.parent)


def test_results_with_other_fields_or_a_named_result_are_written_again(started_job):
    root, path = started_job
    reason = "slow " + "disk"  # one object, assigned twice
    data = [1]
    with journal.attach(root, str(path)):
        task = root.add_task(id="t1", seq_num=1)
        task.start()
        seen = [result_entries(path)]
        for value, written in [
                (results.Passed.clone(), True),
                (results.Passed.clone(), False),
                (results.Passed.clone(reason=reason), True),
                (results.Passed.clone(reason=reason), False),
                (results.Passed.clone(reason="slow disk!"[:-1]), False),  # equal text
                (results.Passed, True),  # a named result writes its name
                (results.Passed.clone(), True),
                (results.Failed.clone(), True),
                (results.Failed.clone(data=data), True),
                (results.Failed.clone(data=data), True),  # a list carries identity
        ]:
            task.result = value
            seen.append(result_entries(path))
            assert seen[-1] - seen[-2] == written, (value, value.reason, value.data)
        # A result changed in place after it was written is written again; what counts
        # is the fields it was written with.
        mutable = results.Blocked.clone(reason="a")
        for change, written in [(None, True), ("reason", True), ("name", False)]:
            if change == "reason":
                mutable.reason = "b"
            elif change == "name":
                mutable.name, mutable.severity = "Errored", results.Errored.severity
                task.result = results.Blocked.clone(reason=mutable.reason)  # as last written
            if change != "name":
                task.result = mutable
            seen.append(result_entries(path))
            assert seen[-1] - seen[-2] == written, change
        task.result = mutable
        assert result_entries(path) == seen[-1] + 1
        task.stop()
        root.stop(num_tasks=1)
    assert_rebuilt(root, path, tmp_path=path.parent)


def test_every_record_length_carries_zlibs_checksum(started_job):
    # Records of each length from a few bytes to several hundred, whatever part of them the
    # checksum takes sixteen bytes at a time.
    root, path = started_job
    with journal.attach(root, str(path)):
        for n in range(600):
            root.note = "x" * n
    lines = path.read_bytes().split(b"\n")[:-1]
    assert len(lines) == 603  # the header, the tree, 600 changes, the end
    crc = 0
    for line in lines:
        body, sealed = line[:-11], line[-10:-2]
        crc = zlib.crc32(body, crc)
        assert sealed == b"%08x" % crc, line[:80]
