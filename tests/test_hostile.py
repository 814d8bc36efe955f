"""Hostile input: each case runs in a child interpreter, which must end by itself with the
expected Python outcome. A child killed by a signal (a crash) or still running at its time
limit (a hang) fails the test, and so does a sanitizer report when the suite runs under one.
"""

import os
import subprocess
import sys
import textwrap

import pytest

TESTS = os.path.dirname(os.path.abspath(__file__))
TIME_LIMIT = 120  # seconds; generous for the sanitizer build

PRELUDE = """
import sys
from korvo.reporter import campaign, scribe
from korvo.reporter.campaign import Campaign, Section, Task

def outcome(fn):
    try:
        value = fn()
    except Exception as e:
        print("raised", type(e).__name__, e)
    else:
        print("returned", value)
"""


def run_child(body, time_limit=TIME_LIMIT):
    """Runs `body` after PRELUDE in a fresh interpreter; returns its stdout lines."""
    code = PRELUDE + textwrap.dedent(body)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, [TESTS, os.environ.get("PYTHONPATH")])))
    try:
        done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                              timeout=time_limit, env=env)
    except subprocess.TimeoutExpired:
        pytest.fail("child still running after %d s" % time_limit)
    assert done.returncode >= 0, "child killed by signal %d:\n%s" % (-done.returncode, done.stderr[-3000:])
    assert "Sanitizer" not in done.stderr, done.stderr[-3000:]
    assert done.returncode == 0, done.stderr[-3000:]
    return done.stdout.splitlines()


class TestReferencesHeldAcrossPythonCode:
    def test_clone_that_unlinks_the_parent_during_roll_up(self):
        lines = run_child("""
            class Result:
                def clone(self):
                    child._parent = None  # drops the last reference to the parent
                    return Result()
                def __add__(self, other):
                    return self
            parent = Section(id="p", seq_num=1)
            child = parent.add_section(id="c", seq_num=1)
            del parent
            child.result = Result()
            outcome(lambda: child.stop())
            outcome(lambda: child._parent)
        """)
        assert lines == ["returned None", "returned None"]

    def test_add_that_unlinks_the_parent_during_roll_up(self):
        lines = run_child("""
            class Result:
                def clone(self):
                    return Result()
                def __add__(self, other):
                    child._parent = None
                    return Result()
            parent = Section(id="p", seq_num=1)
            parent.result = Result()
            child = parent.add_section(id="c", seq_num=1)
            del parent
            child.result = Result()
            outcome(lambda: child.stop())
        """)
        assert lines == ["returned None"]

    def test_id_whose_str_unlinks_the_parent_during_fullid(self):
        lines = run_child("""
            class Id:
                def __str__(self):
                    node._parent = None
                    return "c"
            grand = Section(id="g", seq_num=1)
            parent = grand.add_section(id="p", seq_num=1)
            node = Section(id=Id(), seq_num=1, parent=parent)
            del parent
            outcome(lambda: node.fullid)
        """)
        assert lines == ["returned g.p.c"]

    @pytest.mark.parametrize("read", ["node.fullid", "node.idlist", "node.dump_yaml()",
                                      "node.dump_json()", "node.to_dict()['fullid']"])
    def test_colliding_key_that_replaces_the_id_during_a_lookup(self, read):
        lines = run_child("""
            class Collide:
                def __hash__(self):
                    return hash("_parent")
                def __eq__(self, other):
                    node.__dict__["id"] = "".join(["re", "placed"])
                    return False
            parent = Section(id="p", seq_num=1, parent=Section(id="g", seq_num=1))
            node = Section(id="".join(["o", "ld"]), seq_num=1, parent=parent)
            # "_parent" re-added after the colliding key, so its lookup meets that key first.
            del node.__dict__["_parent"]
            node.__dict__[Collide()] = 1
            node.__dict__["_parent"] = parent
            outcome(lambda: str(%s)[:0] + "done")
        """ % read)
        assert lines == ["returned done"]


DEEP = 40000


class TestDeepData:
    """With the interpreter's limit raised, native walks stop at their own cap."""

    @pytest.mark.parametrize("call", [
        "scribe.escape_data(nested_list())",
        "campaign.recursive_update(nested_dict(), nested_dict())",
        "node_with(nested_list()).dump_yaml()",
        "node_with(nested_dict()).dump_yaml()",
        "node_with(nested_list()).dump_json()",
    ])
    def test_deep_data_raises_recursion_error(self, call):
        lines = run_child("""
            import xml.etree.ElementTree as ET
            sys.setrecursionlimit(10**6)
            def nested_list():
                value = []
                for _ in range(%d):
                    value = [value]
                return value
            def nested_dict():
                value = {}
                for _ in range(%d):
                    value = {"k": value}
                return value
            def nested_element():
                root = element = ET.Element("e")
                for _ in range(%d):
                    element = ET.SubElement(element, "e")
                return root
            def node_with(value):
                node = Campaign(id="c", seq_num=1)
                node.update_extra({"deep": value})
                return node
            outcome(lambda: %s)
        """ % (DEEP, DEEP, DEEP, call))
        assert len(lines) == 1 and lines[0].startswith("raised RecursionError"), lines

    def test_deep_element_tree_falls_back_to_the_library(self):
        # The innermost text cannot be re-parsed, so the library path fails fast (its
        # pretty-printed output would grow with the square of the depth). Before 3.11 the
        # library would overflow the C stack at this depth, so the tree is refused first.
        expected = "raised ExpatError" if sys.version_info >= (3, 11) else "raised RecursionError"
        lines = run_child("""
            import xml.etree.ElementTree as ET
            sys.setrecursionlimit(10**6)
            root = element = ET.Element("e")
            for _ in range(%d):
                element = ET.SubElement(element, "e")
            element.text = "\\x01"
            outcome(lambda: scribe._pretty_xml(root))
        """ % DEEP)
        assert len(lines) == 1 and lines[0].startswith(expected), lines

    def test_deeply_nested_sections_in_the_xml_export(self, tmp_path):
        lines = run_child("""
            sys.setrecursionlimit(10**6)
            from support.report_trees import finish, job, task
            root = job()
            node = task(root)
            for i in range(%d):
                node = node.add_section(id="s%%d" %% i, seq_num=i)
            finish(root)
            outcome(lambda: scribe.Scribe(%r, root).generate_xml(None, None))
        """ % (DEEP // 2, str(tmp_path)))
        assert len(lines) == 1 and lines[0].startswith("raised RecursionError"), lines
        assert os.listdir(tmp_path) == []

    def test_moderate_depth_still_works(self):
        # The writers follow the interpreter's recursion rule, as its json module does; 3.12
        # caps nesting in C code at 1,500 levels whatever sys.setrecursionlimit says.
        depth = 1200 if sys.version_info[:2] == (3, 12) else 3000
        lines = run_child("""
            sys.setrecursionlimit(10**5)
            value = []
            for _ in range(%d):
                value = [value]
            node = Campaign(id="c", seq_num=1)
            node.update_extra({"deep": value})
            outcome(lambda: len(node.dump_json()) > %d and len(node.dump_yaml()) > %d)
            outcome(lambda: len(repr(scribe.escape_data(value))) == %d)
        """ % (depth, 2 * depth, 2 * depth, 2 * depth + 2))
        assert lines == ["returned True", "returned True"]


class TestParentCycles:
    SETUP = """
        a = Section(id="a", seq_num=1)
        b = Section(id="b", seq_num=2, parent=a)
        a._parent = b
        a.result = b.result = campaign.Passed
    """

    @pytest.mark.parametrize("call", ["a.roll_up()", "a.stop()", "a.fullid", "b.idlist",
                                      "a.dump_yaml()", "a.dump_json()"])
    def test_cycle_raises_value_error_naming_a_node(self, call):
        lines = run_child(textwrap.dedent(self.SETUP) + "outcome(lambda: %s)\n" % call)
        assert len(lines) == 1 and lines[0].startswith("raised ValueError"), lines
        assert "'a'" in lines[0] or "'b'" in lines[0]

    def test_longer_cycle_through_non_text_ids(self):
        lines = run_child("""
            nodes = [Section(id=i, seq_num=i) for i in range(7)]
            for child, parent in zip(nodes, nodes[1:] + nodes[:1]):
                child._parent = parent
            outcome(lambda: nodes[3].fullid)
            outcome(lambda: nodes[3].idlist)
        """)
        assert [line.split(" ")[:2] for line in lines] == [["raised", "ValueError"]] * 2

    def test_self_parent(self):
        lines = run_child("""
            a = Section(id="a", seq_num=1)
            a._parent = a
            a.result = campaign.Passed
            outcome(lambda: a.roll_up())
            outcome(lambda: a.fullid)
        """)
        assert [line.split(" ")[:2] for line in lines] == [["raised", "ValueError"]] * 2


class TestErrorsNotSwallowed:
    @pytest.mark.parametrize("error, seen", [
        ("MemoryError", "raised MemoryError from the property"),
        ("RecursionError", "raised RecursionError from the property"),
        ("ValueError", "returned False"),
        ("AttributeError", "returned False"),
    ])
    def test_to_dict_drops_only_ordinary_read_failures(self, error, seen):
        lines = run_child("""
            class Odd(Section):
                @property
                def description(self):
                    raise %s("from the property")
            node = Odd(id="x", seq_num=1)
            Odd._ARG_ORDER = Section._ARG_ORDER + ["description"]
            outcome(lambda: "description" in node.to_dict())
        """ % error)
        assert lines == [seen]

    @pytest.mark.parametrize("error, seen", [
        ("MemoryError", "raised MemoryError from the property"),
        ("KeyboardInterrupt", "interrupted"),
        ("ValueError", "returned None"),
    ])
    def test_roll_up_treats_only_ordinary_failures_as_no_result(self, error, seen):
        lines = run_child("""
            class Odd(Section):
                @property
                def result(self):
                    raise %s("from the property")
                @result.setter
                def result(self, value):
                    pass
            parent = Odd(id="p", seq_num=1)
            child = Section(id="c", seq_num=1, parent=parent)
            child.result = campaign.Passed
            try:
                outcome(lambda: child.roll_up())
            except KeyboardInterrupt:
                print("interrupted")
        """ % error)
        assert lines == [seen]
