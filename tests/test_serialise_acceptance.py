"""Acceptance of the native writers: dump_yaml, dump_json and to_dict against the host-library
paths and against an independent pure-Python statement of the representation rules, on report
trees holding every kind of value a report can carry."""

import datetime
import decimal

import pytest
import yaml
from hypothesis import given, settings
from hypothesis import strategies as st

from korvo.datastructures import AttrDict
from korvo.reporter import campaign as c
from korvo.results import Failed, Passed, ResultCounter

from support.oracles import check_both, check_json, check_yaml, json_paths, outcome, yaml_paths
from support.profiles import examples
from support.strategies import FLOATS, KEYS, SPECIAL_CHARS, TEXTS, VALUES, nested, trees
from support.values import (Colour, Level, SubDict, SubFloat, SubInt, SubList, SubSection, SubStr,
                            Word, make_counter)


def section(**data):
    node = c.Section(id="s", seq_num=1)
    node.update(data)
    return node


# --- properties -----------------------------------------------------------------------------

@settings(max_examples=examples(1.2))
@given(TEXTS, st.lists(st.booleans(), max_size=12))
def test_texts_at_any_depth(text, shape):
    node = section(description=text, extra={"t": nested(text, shape), text: 1})
    check_yaml(node)
    check_json(node)


@settings(max_examples=examples(1.2))
@given(FLOATS, st.lists(st.booleans(), max_size=3))
def test_floats(value, shape):
    check_both(section(runtime=value, extra={"f": nested(value, shape), "k": {value: 1}}))


@settings(max_examples=examples(1.2))
@given(VALUES, st.lists(st.booleans(), max_size=4))
def test_values(value, shape):
    check_both(section(parameters=value, extra={"v": nested(value, shape)}, details=[value]))


@settings(max_examples=examples(1.2))
@given(st.dictionaries(KEYS, VALUES, min_size=1, max_size=5))
def test_mapping_keys(mapping):
    check_both(section(extra=mapping, parameters=AttrDict(inner=mapping)))


@settings(max_examples=examples(0.6))
@given(trees())
def test_report_trees(root):
    check_both(root)
    for task in root.tasks:
        check_both(task)
        for sec in getattr(task, "sections", []):
            check_both(sec)


@settings(max_examples=examples(1.2))
@given(VALUES)
def test_header_around_plain_values(value):
    host, rules = yaml_paths(value)
    assert outcome(host) == outcome(rules)


# --- targeted examples ----------------------------------------------------------------------

@pytest.mark.parametrize("ch", SPECIAL_CHARS, ids=lambda ch: "U+%04X" % ord(ch))
def test_each_special_character(ch):
    texts = [ch, "a" + ch, ch + "a", "a " + ch + " b", "a" + ch + "\nb", "a\n" + ch,
             ch + "\n", "a " + ch + " \n b", "x\n" + ch + "\n", ch * 90, ("ab " + ch) * 30]
    node = section(description=texts[4], details=texts, extra={t: t for t in texts})
    check_both(node)


@pytest.mark.parametrize("text", [
    "a  \nb", "x\n", "x\n\n", "x\n\n\n", " indented\nnext", "\n", "\n\n", "\n\n\n", "\nx",
    "\n\nx\n", "a\t\nb", "a\n\tb", "\t\n", " \n", "  \n  ", "\r\n", "a\r\nb\r\n", "\n \n",
    "a \n\n", "a\u3000\nb", "a\xa0\nb", "a\x1c\nb", "a\x0b\nb", "a\x85\nb", "a\u2028\nb",
    " \nx", "x\n \n", "- a\n- b", "# c\n", "...\n", "x\n...", "---\n", "a\n b\n  c\n",
    "x" * 200, "word " * 40, "w\u00e9 " * 60, ("a b" * 70) + "\n" + ("c d" * 70),
    " " * 200, "a" + " " * 100 + "b" * 100, "'" * 200, '"x' * 100, "\u00e9" * 200,
    "k" * 127 + "\n", ("p" * 85 + " ") * 3,
])
def test_texts(text):
    node = section(description=text, extra={"t": [text, {"u": text}], text: text})
    check_both(node)


def test_final_keep_block_ends_the_document_with_a_marker():
    # a final |+ block is followed by the document end marker in the library's output
    node = section(description="x\n\n")
    host, _ = yaml_paths(node)
    assert host().endswith("\n...\n")
    check_yaml(node)


@pytest.mark.parametrize("value", [
    0.004, 2.675, 0.125, 0.375, 0.005, 1.005, -0.001, -0.005, 1e16, 1e20, 1.5e20, 1e-300,
    5e-324, 1.7976931348623157e308, float("nan"), float("inf"), -float("inf"), 12.0, -0.0,
    123456.785, 1e22, 0.995, 9.995, 1 / 3, 2.0 ** 53,
])
def test_float_texts(value):
    check_both(section(runtime=value, extra={"f": value, value: value}))


def test_float_representer_rounds_half_to_even_on_the_binary_value():
    text = yaml.dump([2.675, 0.125, 0.375, -0.004, 1e20], Dumper=c.YAMLDumper,
                     default_flow_style=False)
    assert text == "- 2.67\n- 0.12\n- 0.38\n- -0.0\n- !!float '1e+20'\n"


NOW = datetime.datetime(2024, 5, 1, 10, 0, 0)
ODD_VALUES = {
    "enum": Colour.RED, "enum_multiline": Colour.MULTI, "intenum": Level.HIGH,
    "strenum": Word.ODD, "subint": SubInt(3), "subfloat": SubFloat(1.5),
    "substr": SubStr("x"), "sublist": SubList([1]), "subdict": SubDict(a=1),
    "subnode": SubSection(id="q", seq_num=0), "attrdict": AttrDict(b=1, a=AttrDict(z=2)),
    "empty_attrdict": AttrDict(), "tuple": (1, "a"), "empty_tuple": (), "set": {1, 2},
    "empty_set": set(), "frozenset": frozenset({1}), "bytes": b"\x00abc" * 30,
    "empty_bytes": b"", "bytearray": bytearray(b"x"), "date": datetime.date(2024, 5, 1),
    "time": datetime.time(10, 0), "timedelta": datetime.timedelta(seconds=1.5),
    "decimal": decimal.Decimal("1.5"), "complex": 1j, "datetime": NOW,
    "datetime_us": NOW.replace(microsecond=5),
    "datetime_utc": NOW.replace(tzinfo=datetime.timezone.utc),
    "datetime_offset_seconds": NOW.replace(
        tzinfo=datetime.timezone(datetime.timedelta(hours=1, seconds=30))),
    "datetime_offset_us": NOW.replace(
        tzinfo=datetime.timezone(-datetime.timedelta(hours=5, minutes=30, microseconds=7))),
    "datetime_min": datetime.datetime.min, "datetime_max": datetime.datetime.max,
    "error": ValueError("boom"), "error_empty": ValueError(), "error_key": KeyError("k"),
    "error_args": OSError(2, "gone"), "error_blank": RuntimeError(""),
    "counter": make_counter([("passed", 3), ("failed", 1)], 0.5),
    "counter_total_key": make_counter([("total", 9), ("passed", 1)], 1.0),
    "empty_counter": ResultCounter(),
    "result": Passed.clone(reason="because", data={"k": 1}),
    "result_unset": Passed.clone(reason="", data={}), "passed": Passed, "class": int,
    "enum_class": Colour, "node_class": SubSection, "none_key": {None: 1},
    "bool_keys": {True: 1, False: 2}, "mixed_keys": {"b": 1, 2: 3, None: 4},
    "float_keys": {float("nan"): 1, 1.5: 2, float("inf"): 3},
    "enum_keys": {Level.LOW: 1, 3: 2}, "strenum_keys": {Word.YES: 1, "a": 2},
    "tuple_key": {(1, 2): 3}, "empty_tuple_key": {(): 1}, "long_key": {"k" * 130: 1},
    "multiline_key": {"a\nb": 1}, "empty_key": {"": 1}, "date_key": {NOW.date(): 1},
    "bytes_key": {b"ab": 1}, "datetime_key": {NOW: 1}, "error_key_obj": {KeyError(): 1},
    "nested_empty": [[], {}, [[]], [{}], (), AttrDict()],
    "big_int": 10 ** 4000, "huge_int": 10 ** 5000,
}


@pytest.mark.parametrize("name", sorted(ODD_VALUES))
def test_value_kinds(name):
    value = ODD_VALUES[name]
    check_both(section(parameters=value, extra={"v": value, "w": [value, {"x": value}]}))


def test_shared_mapping_written_in_full_every_time():
    shared = {"a": [1, 2]}
    root = c.Campaign(id="j", seq_num=0)
    for i in range(2):
        root.add_task(id="t%d" % i, seq_num=i).update({"parameters": shared, "x": shared})
    check_both(root)
    assert "&" not in root.dump_yaml() and "*" not in root.dump_yaml()


@pytest.mark.parametrize("report", [None, 0, "x", "yes", [1, {"b": 2, "a": 1}], {},
                                    Passed, AttrDict(a=1), c.ReportHeader(None)],
                         ids=lambda v: type(v).__name__ if isinstance(v, c.ReportHeader) else repr(v))
def test_header_holding_a_plain_value(report):
    host, rules = yaml_paths(report)
    assert outcome(host) == outcome(rules)
    assert host().startswith("version: '3.0'\nreport:")


def test_header_arguments():
    assert c.ReportHeader(report=3).report == 3
    with pytest.raises(TypeError):
        c.ReportHeader()
    with pytest.raises(TypeError):
        c.ReportHeader(1, 2)
    with pytest.raises(TypeError):
        c.ReportHeader(other=1)


# --- cycles and depth -----------------------------------------------------------------------

def _self_list():
    x = []
    x.append(x)
    return x


def _self_dict():
    x = {}
    x["me"] = [x]
    return x


def _self_attrdict():
    x = AttrDict()
    x["me"] = (x,)
    return x


def _self_result():
    r = Failed.clone(reason="r")
    r.data = {"me": r}
    return r


@pytest.mark.parametrize("make", [_self_list, _self_dict, _self_attrdict, _self_result])
def test_cycles_raise_instead_of_writing_forever(make):
    node = section(parameters=make())
    with pytest.raises((RecursionError, ValueError)):
        node.dump_yaml()
    with pytest.raises(ValueError):
        node.dump_json()
    check_both(node)


def test_node_holding_itself_or_its_parent():
    root = section()
    child = root.add_section(id="c", seq_num=0)
    child.update({"extra": {"up": root}})
    check_both(root)
    with pytest.raises(ValueError):
        root.dump_json()
    with pytest.raises((RecursionError, ValueError)):
        root.dump_yaml()


def _deep(kind, depth):
    value = 1
    for _ in range(depth):
        if kind == "list":
            value = [value]
        elif kind == "dict":
            value = {"k": value}
        elif kind == "attrdict":
            value = AttrDict(k=value)
        else:
            value = Passed.clone(data={"r": value})
    return value


@pytest.mark.parametrize("kind", ["list", "dict", "attrdict", "result"])
def test_very_deep_values_raise_recursion_error(kind):
    node = section(parameters=_deep(kind, 200000))
    with pytest.raises(RecursionError):
        node.dump_yaml()
    with pytest.raises(RecursionError):
        node.dump_json()


def test_very_deep_section_chain_raises_recursion_error():
    root = node = section()
    for i in range(20000):
        node = node.add_section(id="s", seq_num=i)
    with pytest.raises(RecursionError):
        root.dump_yaml()
    with pytest.raises(RecursionError):
        root.dump_json()


@pytest.mark.parametrize("kind", ["list", "dict", "attrdict", "result"])
@pytest.mark.parametrize("depth", [20, 120, 300])
def test_moderate_depth_never_fails_where_the_library_writes(kind, depth):
    # The native writers may reach deeper than the library; they must not stop earlier.
    node = section(parameters=_deep(kind, depth))
    for host, native in ((yaml_paths(node)[0], node.dump_yaml),
                         (json_paths(node)[0], node.dump_json)):
        expected = outcome(host)
        got = outcome(native)
        if expected[0] == "ok":
            assert got == expected
        else:
            assert expected == ("raises", RecursionError)
            assert got[0] == "ok" or got == expected


# --- errors from value code -----------------------------------------------------------------

class BadRepr:
    def __repr__(self):
        raise LookupError("no repr")


class NotText:
    def __repr__(self):
        return 5


class BadOrder:
    def __init__(self, v):
        self.v = v

    def __hash__(self):
        return hash(self.v)

    def __lt__(self, other):
        raise ArithmeticError("no order")


class BadStr(Exception):
    def __str__(self):
        raise LookupError("no text")


@pytest.mark.parametrize("value", [BadRepr(), NotText(), {BadOrder(1): 1, BadOrder(2): 2},
                                   BadStr("x"), {(1, "a"): 1, (2, 3): 2},
                                   {(1, "a"): 1, (1, 3): 2}],
                         ids=["repr_raises", "repr_not_text", "order_raises", "str_raises",
                              "keys_never_compared", "keys_compared_across_types"])
def test_errors_from_value_code_propagate_alike(value):
    check_both(section(parameters=value))


# --- to_dict --------------------------------------------------------------------------------

def test_to_dict_of_a_new_task():
    task = c.Campaign(id="j", seq_num=0).add_task(id="t1", seq_num=1)
    d = task.to_dict()
    assert list(d) == ["type", "id", "fullid", "idlist", "name", "starttime", "stoptime",
                       "runtime", "logfile", "summary", "pluginsummary", "details", "extra",
                       "sections", "seq_num"]
    assert d["details"] is task.details and d["extra"] is task.extra
    assert d["sections"] == [] and d["sections"] is not task.sections


def test_to_dict_of_sections_and_campaign():
    root = c.Campaign(id="j", seq_num=0)
    task = root.add_task(id="t1", seq_num=1)
    root.add_plugin(id="p", seq_num=2)
    sec = task.add_section(id="s", seq_num=0)
    sec.update({"logfile": "/tmp/log", "logs": {}})
    for i in "ab":
        sec.add_section(id=i, seq_num=0)
    d = sec.to_dict()
    assert list(d)[-3:] == ["sections", "seq_num", "logfile"]
    assert d["sections"] == ["a", "b"] and len(sec.sections) == 2
    assert d["fullid"] == "t1.s" and d["idlist"] == ["t1", "s"] and d["logs"] == {}
    assert root.to_dict()["tasks"] == ["t1", "p"] and "logfile" not in root.to_dict()


class FailingRead(c.Section):
    @property
    def description(self):
        raise KeyError("x")

    @property
    def name(self):
        raise ValueError("y")


def test_to_dict_counts_any_failing_read_as_absent():
    d = FailingRead(id="q", seq_num=0).to_dict()
    assert "description" not in d and "name" not in d and d["id"] == "q"


def test_to_dict_fails_without_child_id_or_seq_num():
    node = section()
    node.sections.append(object())
    with pytest.raises(AttributeError):
        node.to_dict()
    node = section()
    del node.seq_num
    with pytest.raises(AttributeError):
        node.to_dict()


def test_to_dict_follows_the_instance_order():
    node = section(description="d")
    node._ARG_ORDER = ["description", "seq_num", "id"]
    assert list(node.to_dict().items()) == [("description", "d"), ("seq_num", 1), ("id", "s"),
                                            ("logfile", None)]
