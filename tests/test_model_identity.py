"""Node construction, identity and the computed paths."""

import pytest

from korvo.reporter.campaign import Campaign, Plugin, ReportObjectBase, Section, Task


@pytest.mark.parametrize("cls", [Campaign, Task, Section, Plugin])
def test_type_defaults_to_class_name_unless_given(cls):
    assert cls(id="a", seq_num=1).type == cls.__name__
    assert cls(id="a", seq_num=1, type=None).type == cls.__name__
    assert cls(id="a", seq_num=1, type="").type == cls.__name__
    assert cls(id="a", seq_num=1, type="CommonSetup").type == "CommonSetup"


def test_base_accepts_positional_and_named_arguments():
    node = ReportObjectBase("a", 7)
    assert (node.id, node.seq_num, node.type, node.name) == ("a", 7, "ReportObjectBase", "a")
    parent = ReportObjectBase(id="p", seq_num=0)
    child = ReportObjectBase("c", 1, parent, "X")
    assert child._parent is parent and child.type == "X"


def test_initial_attributes_in_constructor_order():
    node = Section(id="s", seq_num=3)
    assert list(vars(node)) == [
        "type", "id", "seq_num", "_parent", "name", "starttime", "stoptime", "runtime",
        "details", "extra", "result", "sections", "logfile", "logs"]
    assert node.details == [] and node.extra == {} and node.logs == {}
    assert node.details is not Section(id="t", seq_num=1).details


@pytest.mark.parametrize(
    "make",
    [
        lambda: Section(),
        lambda: Section(id="a"),
        lambda: Section("a", 1),
        lambda: Task(id="a", seq_num=1, colour="red"),
        lambda: ReportObjectBase("a", 1, None, None, "extra"),
        lambda: ReportObjectBase("a", 1, id="b"),
    ],
)
def test_constructor_argument_errors(make):
    with pytest.raises(TypeError):
        make()


@pytest.mark.parametrize("method", ["add_task", "add_plugin"])
def test_campaign_adding_rejects_parent_and_leaves_tasks_unchanged(method):
    job = Campaign(id="job", seq_num=0)
    with pytest.raises(TypeError):
        getattr(job, method)(id="x", seq_num=1, parent=None)
    with pytest.raises(TypeError):
        getattr(job, method)(id="x")
    assert job.tasks == []


def test_adding_appends_in_call_order_to_shared_lists():
    job = Campaign(id="job", seq_num=0)
    seen = job.testscripts
    t = job.add_task(id="t1", seq_num=1)
    p = job.add_plugin(id="p1", seq_num=2)
    assert job.tasks == [t, p] and seen is job.tasks
    assert isinstance(t, Task) and isinstance(p, Plugin) and t._parent is job
    s = t.add_section(id="s1", seq_num=1)
    tp = t.add_plugin(id="tp", seq_num=2)
    assert t.sections == [s, tp]
    with pytest.raises(TypeError):
        s.add_section(id="x", seq_num=1, parent=s)
    assert s.sections == []


def test_paths_skip_the_campaign():
    job = Campaign(id="job", seq_num=0)
    task = job.add_task(id="t1", seq_num=1)
    tc = task.add_section(id="tc1", seq_num=1)
    step = tc.add_section(id="s1", seq_num=1)
    assert job.fullid == "job" and job.idlist == ["job"]
    assert task.fullid == "t1" and task.idlist == ["t1"]
    assert step.fullid == "t1.tc1.s1" and step.idlist == ["t1", "tc1", "s1"]


def test_paths_convert_ids_to_text_only_below_top_level():
    top = Section(id=5, seq_num=1)
    assert top.fullid == 5  # unconverted
    child = top.add_section(id=6, seq_num=1)
    assert child.fullid == "5.6" and child.idlist == [5, 6]


def test_paths_follow_id_changes_and_are_rebuilt_each_read():
    task = Task(id="t1", seq_num=1)
    s = task.add_section(id="a", seq_num=1)
    first = s.idlist
    first.append("junk")
    assert s.idlist == ["t1", "a"]
    task.update({"id": "t9"})
    assert s.fullid == "t9.a" and task.name == "t1"


def test_computed_paths_cannot_be_assigned():
    s = Section(id="a", seq_num=1)
    with pytest.raises(AttributeError):
        s.fullid = "x"


def test_deep_nesting_paths_do_not_recurse():
    node = Section(id="root", seq_num=0)
    top = node
    for i in range(20000):
        node = node.add_section(id=i, seq_num=i)
    assert node.fullid.count(".") == 20000
    assert len(node.idlist) == 20001
    assert top.sections[0].fullid == "root.0"


def test_paths_ask_a_subclassed_ancestor_for_its_id():
    class Renamed(Section):
        @property
        def id(self):
            return "R\u00e9"

    top = Task(id="t", seq_num=0)
    mid = Renamed(id="m", seq_num=1, parent=top)
    leaf = mid.add_section(id="\u2713", seq_num=1)
    assert leaf.fullid == "t.R\u00e9.\u2713"
    assert leaf.idlist == ["t", "R\u00e9", "\u2713"]
