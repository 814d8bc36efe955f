"""The writers' shortcuts for node paths and ignored values, checked against the node
attributes and the host-library paths on the trees where a shortcut could go wrong."""

import json

import pytest
import yaml

from korvo.reporter import campaign as c
from korvo import results
from korvo.results import Failed, Passed

from support.oracles import library_json, library_yaml, written_json, written_yaml


def json_both(node):
    return json.loads(written_json(node))["report"]


def yaml_both(node):
    return yaml.safe_load(written_yaml(node))["report"]


def walk(report, key):
    """Every node mapping of a written subtree, depth first."""
    yield report
    for child in report.get(key, []):
        yield from walk(child, "sections")


def paths_written(node, top_key):
    out = {}
    for load in (json_both, yaml_both):
        for entry in walk(load(node), top_key):
            out.setdefault(entry["name"], []).append((entry["fullid"], tuple(entry["idlist"])))
    return out


def assert_paths_match(root, nodes, top_key="tasks"):
    written = paths_written(root, top_key)
    for node in nodes:
        expected = (node.fullid, tuple(node.idlist))
        assert written[node.name] and set(written[node.name]) == {expected}, node.name


def tree():
    root = c.Campaign(id="job", seq_num=0)
    task = root.add_task(id="t", seq_num=0)
    a = task.add_section(id="a", seq_num=0)
    b = a.add_section(id="b", seq_num=0)
    x = task.add_section(id="x", seq_num=1)
    return root, task, a, b, x


def test_child_listed_under_another_node_keeps_its_own_path():
    root, task, a, b, x = tree()
    # b still names a as its parent, but is written (also) below x.
    x.sections.append(b)
    d = b.add_section(id="d", seq_num=0)
    assert_paths_match(root, [task, a, b, x, d])
    assert len(paths_written(root, "tasks")["d"]) == 4  # twice in each format
    assert b.fullid == "t.a.b"


def test_dump_from_inside_the_tree_writes_full_paths():
    root, task, a, b, x = tree()
    d = b.add_section(id="d", seq_num=0)
    written = paths_written(a, "sections")
    assert written["d"] == [("t.a.b.d", ("t", "a", "b", "d"))] * 2
    assert written["a"] == [("t.a", ("t", "a"))] * 2


def test_parent_changed_to_a_node_outside_the_tree():
    root, task, a, b, x = tree()
    other = c.Section(id="elsewhere", seq_num=9)
    b._parent = other
    assert_paths_match(root, [a, b])
    assert b.fullid == "elsewhere.b"


def test_non_text_ids_and_subclassed_nodes_in_the_chain():
    class OwnSection(c.Section):
        @property
        def fullid(self):
            return "own:" + str(self.id)

    root = c.Campaign(id="job", seq_num=0)
    task = root.add_task(id=7, seq_num=0)
    mid = OwnSection(id="m", seq_num=0, parent=task)
    task.sections.append(mid)
    leaf = mid.add_section(id="leaf", seq_num=0)
    num = task.add_section(id=3, seq_num=1)
    under_num = num.add_section(id="u", seq_num=0)
    json_report = json_both(root)
    yaml_both(root)
    got = {str(e["name"]): e for e in walk(json_report, "tasks")}
    for node in (task, mid, leaf, num, under_num):
        assert got[str(node.name)]["fullid"] == node.fullid
        assert got[str(node.name)]["idlist"] == list(node.idlist)
    assert got["leaf"]["fullid"] == "7.m.leaf"
    assert got["m"]["fullid"] == "own:m"


def test_renamed_ancestor_is_seen_by_every_later_dump():
    root, task, a, b, x = tree()
    json_both(root)
    a.id = "renamed"
    assert_paths_match(root, [a, b])
    assert b.fullid == "t.renamed.b"


class EqualsEmptyMapping(results.TestResult):
    __slots__ = ()

    def __eq__(self, other):
        return other == {} or results.TestResult.__eq__(self, other)

    __hash__ = results.TestResult.__hash__


class EqualsNothing(results.TestResult):
    __slots__ = ()

    def __eq__(self, other):
        return False

    __hash__ = results.TestResult.__hash__


class PlainValue:
    """Default object equality: never equal to None, [] or {}."""

    value = "plain"

    def __repr__(self):
        return "PlainValue()"


@pytest.mark.parametrize("dump", [json_both, yaml_both])
def test_result_equal_to_an_empty_mapping_is_left_out(dump):
    s = c.Section(id="s", seq_num=0)
    s.result = EqualsEmptyMapping("Passed", 0)
    assert "result" not in dump(s)
    s.result = EqualsNothing("Failed", 4)
    assert "result" in dump(s)
    s.result = Failed
    assert dump(s)["result"] == {"value": "failed"}


def test_ignored_values_follow_a_substituted_ignore_list(monkeypatch):
    s = c.Section(id="s", seq_num=0)
    s.result = Passed
    s.description = PlainValue()
    monkeypatch.setattr(c, "VALUE_IGNORE", [None, [], {}, Passed])
    report = yaml_both(s)
    assert "result" not in report
    assert "description" in report


class CountingResult(results.TestResult):
    """A subclass whose answers change on every call: never remembered by the writers."""

    __slots__ = ("calls",)

    @property
    def value(self):
        self.calls = getattr(self, "calls", 0) + 1
        return "v%d" % self.calls


def shared_result_tree(result):
    root = c.Campaign(id="job", seq_num=0)
    task = root.add_task(id="t", seq_num=0)
    tc = task.add_section(id="tc", seq_num=0)
    tc.result = result
    sec = tc.add_section(id="s", seq_num=0)
    sec.result = result
    step = sec.add_section(id="p", seq_num=0, type="Step")
    step.result = result
    step.extra = {"again": [result, {"deeper": result}], result.value: result.value}
    return root, step


@pytest.mark.parametrize("dump", [json_both, yaml_both])
def test_one_result_written_at_many_depths(dump):
    shared = Failed.clone(reason="boom\nline two", data={"k": [1, 2], "why": "x: y"})
    root, _ = shared_result_tree(shared)
    report = dump(root)
    tc = report["tasks"][0]["sections"][0]
    step = tc["sections"][0]["sections"][0]
    expected = {"value": "failed", "reason": "boom\nline two", "data": {"k": [1, 2], "why": "x: y"}}
    assert tc["result"] == tc["sections"][0]["result"] == step["result"] == expected
    assert step["extra"]["again"] == [expected, {"deeper": expected}]
    assert step["extra"]["failed"] == "failed"


@pytest.mark.parametrize("dump", [json_both, yaml_both])
def test_result_changed_between_dumps_is_read_again(dump):
    shared = Passed.clone(reason="first")
    root, _ = shared_result_tree(shared)
    assert dump(root)["tasks"][0]["sections"][0]["result"]["reason"] == "first"
    shared.reason = "second"
    assert dump(root)["tasks"][0]["sections"][0]["result"]["reason"] == "second"
    # Now equal to an ignored value.
    c.VALUE_IGNORE.append("passed")
    try:
        assert "result" not in dump(root)["tasks"][0]["sections"][0]
    finally:
        c.VALUE_IGNORE.remove("passed")


def test_result_subclass_is_asked_on_every_write():
    # The host-library paths read the value at each place it is written, and so must the
    # native writers for anything but the exact result class.
    counting = CountingResult("Passed", 0)
    root, step = shared_result_tree(counting)
    texts = []
    for native, host in [
        (root.dump_json, lambda: library_json(root)),
        (root.dump_yaml, lambda: library_yaml(root)),
    ]:
        counting.calls = 0
        text = native()
        counting.calls = 0
        assert text == host()
        texts.append(text)
    # Written five times: three node results and twice inside extra. (YAML writes a
    # subclass as an unknown object, by its repr.)
    for v in ("v1", "v2", "v3", "v4", "v5"):
        assert '{"value": "%s"}' % v in texts[0], v
