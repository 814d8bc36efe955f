"""The native YAML writer against the library's dumper with YAMLDumper, on generated data."""

import datetime
import enum

import pytest
import yaml
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from korvo.datastructures import AttrDict
from korvo.reporter import campaign as c
from korvo.results import Failed, Passed, ResultCounter, Skipped


class Level(enum.Enum):
    LOW = 1
    HIGH = "high\nvalue"


class Opaque:
    def __init__(self, text):
        self.text = text

    def __repr__(self):
        return self.text


class Label(str):
    pass


def library_dump(report):
    return yaml.dump(c.ReportHeader(report), Dumper=c.YAMLDumper, default_flow_style=False)


def assert_same_text(report):
    try:
        expected = library_dump(report)
    except Exception as exc:  # the native writer must fail the same way
        with pytest.raises(type(exc)):
            report.dump_yaml()
        return
    assert report.dump_yaml() == expected


# Texts that some YAML rule treats specially: implicit types, indicators, breaks, escapes.
TRICKY = [
    "yes", "No", "ON", "off", "y", "null", "Null", "~", "", "3.0", "12", "-7", "+1", "0x1f",
    "0o7", "0b101", "017", "08", "1_000", "1:20", "1:20.5", "190:20:30", ".inf", "-.Inf",
    ".NaN", "1e5", "1.5e+3", "1.", ".5", "2024-05-01", "2024-5-1 10:00:00",
    "2024-05-01T10:00:00Z", "2024-05-01 10:00:00.5 +02:00", "2024-05-01 1:00:00 -5",
    "<<", "=", "!", "&", "*", "---", "...", "--- x", "- ", "-", "?", ":", "? x", ": x", "#c",
    "a #c", "a# c", "x:", "x: y", "x:y", "[a]", "{a}", "a,b", "@x", "`x", "%x", "|x", ">x",
    "'", '"', "\\", "a'b", "\t", "\r", "\x00", "\x1b", "\x7f", "\x85", "\xa0", "\u2028",
    "\u2029", "\ufeff", "\U0001F600", "\ud800", "\udfff", "\u00e9t\u00e9",
]
PIECES = st.one_of(
    st.sampled_from(TRICKY),
    st.sampled_from([" ", "  ", "\n", "\n\n", " \n", "\n ", "\t\n", " \t", "\r\n", "word",
                     "longer words here", "x" * 30]),
    st.text(alphabet=st.characters(blacklist_categories=()), max_size=6),
)
LONG_TEXT = st.lists(st.sampled_from(["ab", "cde", " ", "  ", "'", "\n", "\u00e9", ":", "#",
                                      "\\", "\"", "fghijklmn"]),
                     min_size=40, max_size=120).map("".join)
TEXTS = st.one_of(st.lists(PIECES, max_size=8).map("".join), LONG_TEXT,
                  st.sampled_from(TRICKY))

OFFSETS = st.timedeltas(min_value=-datetime.timedelta(hours=23, minutes=59),
                        max_value=datetime.timedelta(hours=23, minutes=59))
ZONES = st.one_of(
    st.none(),
    st.just(datetime.timezone.utc),
    st.builds(datetime.timezone, OFFSETS),
    st.builds(datetime.timezone,
              st.integers(-23 * 60, 23 * 60).map(lambda m: datetime.timedelta(minutes=m))),
)

SCALARS = st.one_of(
    st.none(), st.booleans(),
    st.integers(), st.integers(min_value=-2 ** 300, max_value=2 ** 300),
    st.floats(allow_nan=True, allow_infinity=True),
    st.sampled_from([0.004, 2.675, 0.125, 0.375, -0.001, 1e16, 1e20, 1.5e20, 123456.785]),
    TEXTS,
    st.binary(max_size=120),
    st.dates(),
    st.datetimes(timezones=ZONES),
    st.sampled_from([Level.LOW, Level.HIGH, int, str, Level, Passed, Failed]),
    st.builds(Opaque, st.sampled_from(["<opaque>", "yes", "a: b", "multi\nline  \n", "\u00e9"])),
    st.builds(Label, TEXTS),
)
HASHABLE = st.one_of(
    TEXTS, st.integers(), st.floats(allow_nan=False), st.none(), st.booleans(), st.dates(),
    st.binary(max_size=10),
    st.tuples(st.integers(), TEXTS), st.tuples(),
    st.sampled_from([Level.LOW, int]),
)


def results():
    reasons = st.one_of(st.none(), st.just(""), TEXTS)
    data = st.one_of(st.none(), st.dictionaries(TEXTS, st.integers(), max_size=2))
    return st.builds(lambda base, reason, d: base.clone(reason=reason, data=d),
                     st.sampled_from([Passed, Failed, Skipped]), reasons, data)


def counters():
    def make(counts, weight):
        counter = ResultCounter()
        for key, count in counts:
            counter[key] = count
        counter.weight = weight
        return counter
    return st.builds(make, st.lists(st.tuples(TEXTS, st.integers(0, 50)), max_size=4),
                     st.floats(0, 1))


def containers(children):
    return st.one_of(
        st.lists(children, max_size=4),
        st.lists(children, max_size=3).map(tuple),
        st.dictionaries(HASHABLE, children, max_size=4),
        st.dictionaries(TEXTS, children, max_size=4).map(AttrDict),
        st.sets(HASHABLE, max_size=4),
        # the same mapping object held twice
        st.dictionaries(TEXTS, children, max_size=2).map(lambda d: [d, {"again": d}]),
    )


VALUES = st.recursive(st.one_of(SCALARS, results(), counters()), containers, max_leaves=12)

NODE_DATA = st.fixed_dictionaries({}, optional={
    "description": TEXTS,
    "runtime": st.floats(allow_nan=True, allow_infinity=True),
    "stoptime": st.datetimes(timezones=ZONES),
    "details": st.lists(VALUES, max_size=3),
    "extra": st.dictionaries(HASHABLE, VALUES, max_size=4),
    "parameters": VALUES,
    "result": st.one_of(results(), VALUES),
    "logs": st.dictionaries(st.sampled_from(["file", "begin", "size"]), st.integers()),
    "name": HASHABLE,
    "anything_else": VALUES,
})


@st.composite
def trees(draw):
    root = c.Campaign(id=draw(TEXTS), seq_num=0)
    root.update(draw(NODE_DATA))

    def fill(parent, depth):
        for i in range(draw(st.integers(0, 2 if depth < 3 else 0))):
            child = parent.add_section(id=draw(TEXTS), seq_num=i)
            child.update(draw(NODE_DATA))
            fill(child, depth + 1)

    for i in range(draw(st.integers(0, 3))):
        if draw(st.booleans()):
            task = root.add_task(id=draw(st.one_of(TEXTS, st.integers())), seq_num=i)
            task.update(draw(NODE_DATA))
            if draw(st.booleans()):
                plugin = task.add_plugin(id="p%d" % i, seq_num=i)
                plugin.update(draw(NODE_DATA))
                fill(plugin, 2)
            fill(task, 1)
        else:
            plugin = root.add_plugin(id=draw(TEXTS), seq_num=i)
            plugin.update(draw(NODE_DATA))
    if draw(st.booleans()):
        root.stop(num_tasks=draw(st.integers(0, 5)))
    return root


SETTINGS = settings(max_examples=250, deadline=None,
                    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])


@SETTINGS
@given(TEXTS)
def test_texts(text):
    node = c.Section(id="s", seq_num=1)
    node.update({"description": text, "extra": {text: text, "k": [text]}})
    assert_same_text(node)


@SETTINGS
@given(VALUES, HASHABLE)
def test_values(value, key):
    node = c.Section(id="s", seq_num=1)
    node.update({"name": key, "parameters": value, "extra": {"v": value, "w": [value]}})
    assert_same_text(node)


@SETTINGS
@given(st.dictionaries(HASHABLE, VALUES, min_size=1, max_size=6))
def test_mapping_keys(mapping):
    node = c.Task(id="t", seq_num=1)
    node.update({"extra": mapping, "details": [mapping]})
    assert_same_text(node)


@settings(max_examples=80, deadline=None,
          suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
@given(trees())
def test_report_trees(root):
    assert_same_text(root)
    for task in root.tasks:
        assert_same_text(task)


# Names, ids and paths are written by a shortcut: texts over its own alphabet (plus the
# characters just outside it), reserved words in all cases, and lengths around the fold.
WORDISH = st.one_of(
    st.text(alphabet="aZnNyYoOtTfF_/.-09 :#", min_size=1, max_size=12),
    st.sampled_from(["n", "N", "y", "no", "No", "nO", "NULL", "nulL", "Off", "oFF", "True",
                     "tRUE", "_", "/", "/a b", "a b ", "a  b", "a -b", "T-0", "step 0 of 1"]),
    st.lists(st.sampled_from(["word", " ", "a.b", "x/y", "z-9"]), min_size=10,
             max_size=40).map("".join),
)


@SETTINGS
@given(WORDISH, st.integers(0, 4), st.integers(-2 ** 63, 2 ** 63),
       st.datetimes(timezones=st.none()))
def test_name_like_texts_and_plain_values(text, depth, number, moment):
    node = c.Section(id="s", seq_num=1)
    nested = {"v": text, "n": number, "d": moment, "l": [text, number, moment]}
    for _ in range(depth):
        nested = {"deeper": nested, "w": [text]}
    node.update({"description": text, "name": text, "extra": {text: nested}})
    assert_same_text(node)
