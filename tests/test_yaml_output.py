"""YAML results document: exact texts for the cases the format pins down."""

import datetime
import enum
import sys

import pytest
import yaml

from korvo.datastructures import AttrDict
from korvo.reporter import campaign as c
from korvo import results
from korvo.results import Failed, Passed, ResultCounter


from support.oracles import library_yaml as library_dump
from support.oracles import written_yaml as both


def section_with(**attrs):
    s = c.Section(id="s", seq_num=1)
    s.update(attrs)
    return s


def value_text(value, key="description"):
    """The lines of the document that follow the fixed head of a bare section."""
    text = both(section_with(**{key: value}))
    head = "version: '3.0'\nreport:\n  type: Section\n  id: s\n  fullid: s\n  idlist:\n    - s\n  name: s\n"
    assert text.startswith(head)
    return text[len(head):]


def test_worked_example_29_lines():
    s = c.Section(id="setup", seq_num=1)
    s.update({
        "runtime": 1.23456,
        "description": "Prepare the rig.  \r\nThen wait.\n",
        "logs": {"file": "TaskLog.t1", "begin": 120, "size": 64},
        "result": Passed,
        "extra": {"owner": "lab", "retries": 0},
    })
    s.add_section(id="connect", seq_num=2)
    expected = [
        (0, "version: '3.0'"), (0, "report:"), (2, "type: Section"), (2, "id: setup"),
        (2, "fullid: setup"), (2, "idlist:"), (4, "- setup"), (2, "name: setup"),
        (2, "runtime: 1.23"), (2, "description: |"), (4, "Prepare the rig."), (4, "Then wait."),
        (2, "logs:"), (4, "begin: 120"), (4, "file: TaskLog.t1"), (4, "size: 64"),
        (2, "result:"), (4, "value: passed"), (2, "extra:"), (4, "owner: lab"),
        (4, "retries: 0"), (2, "sections:"), (4, "- type: Section"), (6, "id: connect"),
        (6, "fullid: setup.connect"), (6, "idlist:"), (8, "- setup"), (8, "- connect"),
        (6, "name: connect"),
    ]
    assert both(s) == "".join(" " * n + line + "\n" for n, line in expected)


def test_header_alone():
    assert library_dump(None) == "version: '3.0'\nreport: null\n"
    with pytest.raises(TypeError):
        c.ReportHeader()
    assert c.ReportHeader(report=5).report == 5
    assert c.ReportHeader.__mro__ == (c.ReportHeader, object)


def test_dumper_is_a_safe_dumper_with_its_own_table():
    assert issubclass(c.YAMLDumper, yaml.SafeDumper)
    table = c.YAMLDumper.yaml_representers
    assert table is not yaml.SafeDumper.yaml_representers
    assert str not in yaml.SafeDumper.yaml_representers or \
        yaml.SafeDumper.yaml_representers[str] is not c.str_representer
    assert table[str] is c.str_representer
    assert table[float] is c.float_representer
    assert table[type] is c.type_representer
    assert table[None] is c.unknown_representer
    assert table[ResultCounter] is c.ResultCounter_representer
    assert table[results.TestResult] is c.TestResult_representer
    assert table[AttrDict] is c.AttrDict_representer
    for cls in (c.Campaign, c.Task, c.Section, c.Plugin, c.ReportHeader):
        assert table[cls].__func__ is cls.to_yaml.__func__
    assert c.ReportObjectBase not in table
    dumper = c.YAMLDumper(None)
    assert dumper.ignore_aliases(object()) is True
    dumper.indent = 4
    dumper.increase_indent(indentless=True)
    assert dumper.indent == 6
    dumper.increase_indent(flow=False)
    assert dumper.indent == 8 and dumper.indents == [4, 6]


@pytest.mark.parametrize("text, lines", [
    ("a  \nb", "  description: |-\n    a\n    b\n"),
    ("x\n", "  description: |\n    x\n"),
    (" indented\nnext", "  description: |2-\n     indented\n    next\n"),
    ("\nlead", "  description: |2-\n\n    lead\n"),
    ("a\n\n\nb \t\n", "  description: |\n    a\n\n\n    b\n"),
])
def test_literal_blocks(text, lines):
    assert value_text(text) == lines


def test_kept_final_breaks_close_the_document():
    # "|+" as the last scalar of the document needs the explicit end marker.
    assert value_text("x\n\n") == "  description: |+\n    x\n\n...\n"
    text = both(section_with(description="x\n\n", xref="y"))
    assert "description: |+\n    x\n\n  xref: y\n" in text and "..." not in text


def test_multiline_texts_that_a_literal_block_cannot_carry():
    assert value_text("tab\there  \nnext") == '  description: "tab\\there\\nnext"\n'
    assert value_text("caf\u00e9\n") == '  description: "caf\\xE9\\n"\n'
    assert value_text("\U0001F600 \ud800\n") == '  description: "\\U0001F600 \\uD800\\n"\n'


@pytest.mark.parametrize("text, shown", [
    ("3.0", "'3.0'"), ("yes", "'yes'"), ("No", "'No'"), ("on", "'on'"), ("OFF", "'OFF'"),
    ("null", "'null'"), ("~", "'~'"), ("123", "'123'"), ("0x1F", "'0x1F'"), ("1:20", "'1:20'"),
    ("2024-05-01", "'2024-05-01'"), ("<<", "'<<'"), ("=", "'='"), ("", "''"), (".5", "'.5'"),
    ("ok", "ok"), ("08", "08"), ("1e5", "1e5"), ("a: b", "'a: b'"), ("a:b", "a:b"),
    ("a #b", "'a #b'"), ("a#b", "a#b"), (" x", "' x'"), ("x ", "'x '"), ("- x", "'- x'"),
    ("-x", "-x"), ("it's", "it's"), ("'q'", "'''q'''"), ("@x", "'@x'"), ("---", "'---'"),
    ("bell\x07", '"bell\\a"'), ("nbsp\xa0", '"nbsp\\_"'), ("\ufeff", '"\\uFEFF"'),
])
def test_single_line_texts(text, shown):
    assert value_text(text) == "  description: " + shown + "\n"


def test_long_texts_fold_at_blanks():
    words = " ".join(["word%02d" % i for i in range(40)])
    out = value_text(words)
    assert out.startswith("  description: word00 word01")
    assert [len(line) for line in out.splitlines()] == [84, 87, 87, 45]
    assert yaml.safe_load(out)["description"] == words
    quoted = " ".join(["it's"] * 40)
    assert yaml.safe_load(value_text(quoted))["description"] == quoted
    escaped = "\u00e9 " * 60
    assert yaml.safe_load(value_text(escaped))["description"] == escaped


@pytest.mark.parametrize("value, shown", [
    (1.23456, "1.23"), (0.004, "0.0"), (2.675, "2.67"), (0.125, "0.12"), (0.375, "0.38"),
    (12.0, "12.0"), (-0.001, "-0.0"), (1e15, "1000000000000000.0"),
    (1e20, "!!float '1e+20'"), (1.5e20, "1.5e+20"), (float("nan"), "!!float 'nan'"),
    (float("inf"), "!!float 'inf'"), (float("-inf"), "!!float '-inf'"),
])
def test_floats_are_rounded(value, shown):
    assert value_text(value, "runtime") == "  runtime: " + shown + "\n"


def test_node_with_nothing_set():
    assert both(c.Task(id="t1", seq_num=1)) == (
        "version: '3.0'\nreport:\n  type: Task\n  id: t1\n  fullid: t1\n  idlist:\n    - t1\n"
        "  name: t1\n")


def test_shared_mapping_is_written_twice_without_anchor():
    shared = {"k": [1, 2]}
    root = c.Campaign(id="job", seq_num=0)
    for i in range(2):
        task = root.add_task(id="t%d" % i, seq_num=i)
        task.update_extra({"shared": shared})
        task.update({"extra": shared})
    text = both(root)
    assert text.count("k:\n") == 2 and "&" not in text and "*" not in text


class Colour(enum.Enum):
    RED = 1


def test_unknown_objects_give_repr_and_type():
    out = value_text({"colour": Colour.RED, "cls": int}, "extra")
    assert out == (
        "  extra:\n    cls: <class 'int'>\n    colour:\n      repr: '<Colour.RED: 1>'\n"
        "      type:\n        repr: <enum 'Colour'>\n"
        "        type: <class '%s'>\n" % ("enum.EnumType" if sys.version_info >= (3, 11)
                                          else "enum.EnumMeta"))


def test_derived_values_are_unknown_objects():
    class Text(str):
        pass

    class Sub(c.Section):
        pass

    out = value_text({"t": Text("x"), "d": AttrDict(a=1), "n": Sub(id="q", seq_num=1)}, "extra")
    assert "    d:\n      a: 1\n" in out
    assert "    t:\n      repr: \'\'\'x\'\'\'\n      type: <class '" in out
    assert "    n:\n      repr: <" in out


def test_mapping_key_order():
    assert value_text({"b": 1, "a": 2, "c": 3}, "extra") == "  extra:\n    a: 2\n    b: 1\n    c: 3\n"
    assert value_text({2: "n", "x": "t"}, "extra") == "  extra:\n    2: n\n    x: t\n"
    assert value_text({"x": 1, None: 2, (1, 2): 3}, "extra") == (
        "  extra:\n    x: 1\n    null: 2\n    ? - 1\n      - 2\n    : 3\n")


def test_results_and_counters():
    counter = ResultCounter()
    counter["passed"] = 3
    counter["failed"] = 1
    assert "summary" not in both(c.Plugin(id="p", seq_num=1))  # empty counter: left out
    out = value_text(counter, "extra")
    assert out == "  extra:\n    passed: 3\n    failed: 1\n    total: 4\n    success_rate: 75.0\n"
    result = Failed.clone(reason="boom", data={"z": 1})
    assert value_text(result, "result") == (
        "  result:\n    data:\n      z: 1\n    reason: boom\n    value: failed\n")


def test_keys_that_cannot_be_simple():
    long_key = "k" * 130
    out = value_text({long_key: 1, "two\nlines": 2, "": 3, (): 4, frozenset(): 5}, "extra")
    assert "    ? " + long_key + "\n    : 1\n" in out
    # The key's tag (!!str) counts towards the 128-character limit of a simple key.
    assert value_text({"k" * 122: 1}, "extra") == "  extra:\n    " + "k" * 122 + ": 1\n"
    assert value_text({"k" * 123: 1}, "extra") == "  extra:\n    ? " + "k" * 123 + "\n    : 1\n"
    assert "    ? |-\n      two\n      lines\n    : 2\n" in out
    assert "    ? ''\n    : 3\n" in out
    assert "    []: 4\n" in out


def test_dates_bytes_sets():
    tz = datetime.timezone(datetime.timedelta(hours=5, minutes=30, seconds=15))
    out = value_text({
        "a": datetime.date(2024, 5, 1),
        "b": datetime.datetime(2024, 5, 1, 10, 0, 0, 5),
        "c": datetime.datetime(2024, 5, 1, 10, 0, tzinfo=datetime.timezone.utc),
        "d": datetime.datetime(2024, 5, 1, 10, 0, tzinfo=tz),
        "e": b"\x00\xffbytes",
        "f": {3},
        "g": set(),
        "h": b"",
    }, "extra")
    assert out == (
        "  extra:\n    a: 2024-05-01\n    b: 2024-05-01 10:00:00.000005\n"
        "    c: 2024-05-01 10:00:00+00:00\n"
        "    d: !!timestamp '2024-05-01 10:00:00+05:30:15'\n"
        "    e: !!binary |\n      AP9ieXRlcw==\n"
        "    f: !!set\n      3: null\n    g: !!set {}\n    h: !!binary \"\"\n")


def test_errors_propagate_and_leave_no_text():
    class Broken:
        def __repr__(self):
            raise ValueError("no repr")

    s = section_with(extra={"x": Broken()})
    with pytest.raises(ValueError, match="no repr"):
        s.dump_yaml()
    loop = []
    loop.append(loop)
    with pytest.raises((RecursionError, ValueError)):
        section_with(extra={"loop": loop}).dump_yaml()
    deep = []
    for _ in range(200000):
        deep = [deep]
    with pytest.raises(RecursionError):
        section_with(extra={"deep": deep}).dump_yaml()


def test_node_cycle_raises():
    root = c.Campaign(id="job", seq_num=0)
    task = root.add_task(id="t", seq_num=1)
    task.sections.append(task)
    with pytest.raises(RecursionError):
        root.dump_yaml()
