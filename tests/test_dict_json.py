"""Dictionary form of a node, the JSONDumper encoder and the native dump_json."""

import datetime
import json
import sys

import pytest

from korvo.datastructures import AttrDict
from korvo.reporter import campaign
from korvo.reporter.campaign import Campaign, JSONDumper, Section, Task
from korvo import results
from korvo.results import Failed, Passed


from support.oracles import library_json as reference
from support.oracles import written_json as both
from support.values import Level, Share, SubFloat, SubInt, Word


def both_fail(node, exc_type):
    with pytest.raises(exc_type) as native:
        node.dump_json()
    with pytest.raises(exc_type) as standard:
        reference(node)
    return str(native.value), str(standard.value)


def report_of(node):
    return json.loads(both(node))["report"]


# -- to_dict -----------------------------------------------------------------------------


def test_to_dict_of_new_task_lists_its_attributes_in_class_order():
    d = Task(id="t1", seq_num=1).to_dict()
    assert list(d) == [
        "type", "id", "fullid", "idlist", "name", "starttime", "stoptime", "runtime",
        "logfile", "summary", "pluginsummary", "details", "extra", "sections", "seq_num",
    ]
    assert d["starttime"] is None and d["logfile"] is None
    assert d["details"] == [] and d["sections"] == [] and d["extra"] == {}
    assert d["seq_num"] == 1 and d["fullid"] == "t1" and d["idlist"] == ["t1"]


def test_to_dict_of_section_ends_with_seq_num_then_logfile():
    d = Section(id="s", seq_num=3).to_dict()
    assert list(d)[-3:] == ["sections", "seq_num", "logfile"]
    assert d["logs"] == {} and d["logfile"] is None
    assert "description" not in d and "xref" not in d


def test_to_dict_replaces_children_by_ids_and_keeps_the_node_list():
    s = Section(id="s", seq_num=1)
    a = s.add_section(id="a", seq_num=2)
    b = s.add_section(id="b", seq_num=3)
    d = s.to_dict()
    assert d["sections"] == ["a", "b"]
    assert s.sections == [a, b]
    assert list(d).index("sections") < list(d).index("seq_num")


def test_to_dict_refers_to_the_node_values_without_copying():
    t = Task(id="t", seq_num=1)
    t.update({"parameters": {"p": [1]}})
    d = t.to_dict()
    assert d["extra"] is t.extra and d["details"] is t.details
    assert d["parameters"] is t.parameters and d["summary"] is t.summary
    keys = list(d)
    assert keys[keys.index("logfile") + 1] == "parameters"  # testscript is absent


def test_to_dict_of_campaign_has_task_ids_and_no_logfile():
    c = Campaign(id="job", seq_num=0)
    c.add_task(id="t1", seq_num=1)
    c.add_plugin(id="p1", seq_num=2)
    c.update({"host": "h1"})
    d = c.to_dict()
    assert d["tasks"] == ["t1", "p1"]
    assert "logfile" not in d and "cli" not in d
    assert list(d)[list(d).index("runtime") + 1] == "host"


def test_to_dict_fails_on_child_without_id_or_node_without_seq_num():
    s = Section(id="s", seq_num=1)
    s.sections.append(object())
    with pytest.raises(AttributeError):
        s.to_dict()
    t = Task(id="t", seq_num=1)
    del t.seq_num
    with pytest.raises(AttributeError):
        t.to_dict()


def test_to_dict_leaves_out_an_attribute_whose_read_fails():
    class Odd(Section):
        @property
        def description(self):
            raise RuntimeError("unreadable")

    d = Odd(id="o", seq_num=1).to_dict()
    assert "description" not in d and d["id"] == "o"


def test_plugin_logfile_keeps_its_listed_place_in_to_dict():
    p = Task(id="t", seq_num=1).add_plugin(id="p", seq_num=2)
    p.update({"logfile": "/tmp/x/plug.log"})
    keys = list(p.to_dict())
    assert keys[keys.index("runtime") + 1] == "logfile"  # description is absent
    assert keys[-1] == "seq_num"


# -- dump_json: the documented texts ----------------------------------------------------


def test_dump_json_of_section_tree_is_the_documented_line():
    setup = Section(id="setup", seq_num=1)
    setup.add_section(id="connect", seq_num=2).update({"description": "Open the link"})
    assert both(setup) == (
        '{"version": "3.0", "report": {"type": "Section", "id": "setup", "fullid": "setup", '
        '"idlist": ["setup"], "name": "setup", "sections": [{"type": "Section", "id": '
        '"connect", "fullid": "setup.connect", "idlist": ["setup", "connect"], "name": '
        '"connect", "description": "Open the link"}]}}'
    )


def test_runtime_keeps_all_digits():
    s = Section(id="s", seq_num=1)
    s.update({"runtime": 1.23456})
    assert both(s).endswith('"runtime": 1.23456}}')


def test_result_values_write_value_then_reason_then_data_when_set():
    s = Section(id="s", seq_num=1)
    s.update({"result": Passed})
    assert report_of(s)["result"] == {"value": "passed"}
    s.update({"result": Failed.clone(reason="boom", data={"k": 1})})
    assert '"result": {"value": "failed", "reason": "boom", "data": {"k": 1}}' in both(s)
    s.update({"result": results.TestResult("Odd", 1, reason="", data={})})
    assert report_of(s)["result"] == {"value": "odd"}


def test_counters_write_their_counts_then_total_and_rate():
    t = Task(id="t", seq_num=1)
    t.summary["passed"] = 3
    t.summary["failed"] = 1
    t.summary["total"] = 99  # replaced in place by the computed total
    out = report_of(t)
    assert list(out["summary"].items()) == [
        ("passed", 3), ("failed", 1), ("total", 103), ("success_rate", 100.0 * 3 / 103),
    ]
    assert "pluginsummary" not in out  # an empty counter equals {} and is left out


def test_datetimes_in_iso_form_with_a_blank():
    s = Section(id="s", seq_num=1)
    s.update({"starttime": datetime.datetime(2024, 5, 1, 10, 0, 0),
              "stoptime": datetime.datetime(2024, 5, 1, 10, 0, 0, 5)})
    out = report_of(s)
    assert out["starttime"] == "2024-05-01 10:00:00"
    assert out["stoptime"] == "2024-05-01 10:00:00.000005"


@pytest.mark.parametrize("dt", [
    datetime.datetime(7, 1, 2, 3, 4, 5),
    datetime.datetime(2024, 5, 1, 10, 0, tzinfo=datetime.timezone.utc),
    datetime.datetime(2024, 5, 1, 10, 0, 0, 1, tzinfo=datetime.timezone(datetime.timedelta(hours=5, minutes=30))),
    datetime.datetime(2024, 5, 1, tzinfo=datetime.timezone(-datetime.timedelta(hours=3, seconds=7, microseconds=1))),
    datetime.datetime(2024, 5, 1, tzinfo=datetime.timezone(datetime.timedelta(seconds=-1))),
])
def test_datetime_text_matches_isoformat(dt):
    s = Section(id="s", seq_num=1)
    s.update({"extra": {"at": dt}})
    assert report_of(s)["extra"]["at"] == dt.isoformat(" ")
    assert JSONDumper().default(dt) == dt.isoformat(" ")


def test_bad_utcoffset_fails_as_isoformat_does():
    class BadZone(datetime.tzinfo):
        def utcoffset(self, dt):
            return 5

    s = Section(id="s", seq_num=1)
    s.update({"extra": {"at": datetime.datetime(2024, 1, 1, tzinfo=BadZone())}})
    both_fail(s, TypeError)


def test_errors_are_written_as_their_message():
    s = Section(id="s", seq_num=1)
    s.update({"problem": TimeoutError("timeout")})
    assert report_of(s)["extra"] == {"problem": "timeout"}
    s.update({"extra": {"empty": ValueError()}})
    native, standard = both_fail(s, TypeError)
    assert native == standard == "Object of type ValueError is not JSON serializable"


def test_ignored_values_are_left_out_but_false_zero_and_empty_text_stay():
    s = Section(id="s", seq_num=1)
    s.update({"description": "", "xref": 0, "parameters": (), "result": False,
              "logs": AttrDict()})
    out = report_of(s)
    assert out["description"] == "" and out["xref"] == 0
    assert out["parameters"] == [] and out["result"] is False
    assert "logs" not in out and "details" not in out and "extra" not in out


# -- dump_json: values and keys --------------------------------------------------------


class LoudStr(str):
    def __str__(self):
        return "LOUD"


class OwnIterList(list):
    def __iter__(self):
        return iter(["from-iter"])


class OwnItemsDict(dict):
    def items(self):
        return [("from-items", 1)]


@pytest.mark.parametrize("value", [
    "plain", "quote\" back\\ slash/", "\x00\x1f\x7f\b\f\n\r\t", "caf\u00e9 \u20ac",
    "\U0001f600\U0010ffff", "\ud800 lone \udfff",
    0, -1, 2 ** 63, -(2 ** 64) - 1, 10 ** 40, 0.1, -0.0, 1e16, 1e-7, 5e-324, float("nan"),
    float("inf"), float("-inf"), True, False, None,
    Level.LOW, Share.THIRD, Word.WIDE, SubInt(7), SubFloat(2.5), LoudStr("text"),
    OwnIterList([1, 2]), OwnIterList(), OwnItemsDict(a=2), OwnItemsDict(), AttrDict(x=[1, {}]),
    (1, (2, [])), [[], {}, [[]]], {"": {"": {}}},
    {1: "int", 2.5: "float", False: "bool", None: "none", Level.LOW: "enum", SubInt(3): "sub",
     float("nan"): "nan", -0.0: "negzero", 10 ** 30: "big"},
])
def test_values_are_encoded_as_the_standard_encoder_does(value):
    s = Section(id="s", seq_num=1)
    s.update({"extra": {"v": value}})
    both(s)


def test_shared_values_are_not_circular():
    shared = {"k": [1, 2]}
    s = Section(id="s", seq_num=1)
    s.update({"a": shared, "b": [shared, shared], "details": [shared]})
    assert report_of(s)["extra"]["b"] == [{"k": [1, 2]}] * 2


@pytest.mark.parametrize("bad", [
    {1, 2}, datetime.date(2024, 1, 1), object(), type, {(1, 2): "tuple key"},
    {frozenset(): 1}, [1, [2, {3: {b"x": 1}}]],
])
def test_unknown_values_and_keys_fail_with_the_encoder_type_error(bad):
    s = Section(id="s", seq_num=1)
    s.update({"extra": {"bad": bad}})
    native, standard = both_fail(s, TypeError)
    assert native == standard


def test_items_that_are_not_pairs_fail_as_in_the_encoder():
    class Broken(dict):
        def items(self):
            return [("a", 1, 2)]

    s = Section(id="s", seq_num=1)
    s.update({"extra": {"bad": Broken(a=1)}})
    native, standard = both_fail(s, ValueError)
    assert native == standard


def test_big_int_beyond_digit_limit_fails_as_in_the_encoder():
    if not hasattr(sys, "set_int_max_str_digits"):
        pytest.skip("no int digit limit")
    s = Section(id="s", seq_num=1)
    s.update({"extra": {"big": 10 ** 5000}})
    both_fail(s, ValueError)


# -- circular references and depth ------------------------------------------------------


def test_containers_holding_themselves_are_circular():
    loop = []
    loop.append([loop])
    s = Section(id="s", seq_num=1)
    s.update({"extra": {"loop": loop}})
    native, standard = both_fail(s, ValueError)
    assert native == standard == "Circular reference detected"
    d = {}
    d["self"] = d
    s.update({"extra": {"d": d}})
    both_fail(s, ValueError)


def test_node_reached_again_through_its_own_data_is_circular():
    t = Task(id="t", seq_num=1)
    child = t.add_section(id="c", seq_num=2)
    child.update({"parent_again": t})
    both_fail(t, ValueError)
    child.update({"extra": {"me": [child]}})
    both_fail(child, ValueError)


def test_same_node_twice_side_by_side_is_not_circular():
    t = Task(id="t", seq_num=1)
    other = Section(id="o", seq_num=9)
    t.update({"a": other, "b": other})
    assert report_of(t)["extra"]["a"] == report_of(t)["extra"]["b"]


def test_node_with_everything_ignored_has_no_substitute():
    class Bare(Section):
        _ARG_ORDER = ["details", "extra", "result"]

    native, standard = both_fail(Bare(id="b", seq_num=1), TypeError)
    assert native == standard == "Object of type Bare is not JSON serializable"


def test_deep_nesting_raises_recursion_error():
    deep = []
    for _ in range(100000):
        deep = [deep]
    s = Section(id="s", seq_num=1)
    s.update({"extra": {"deep": deep}})
    with pytest.raises(RecursionError):
        s.dump_json()
    nested = {}
    for _ in range(100000):
        nested = {"k": nested}
    s.update({"extra": {"deep": nested}})
    with pytest.raises(RecursionError):
        s.dump_json()


def test_deep_nesting_is_bounded_even_with_a_raised_recursion_limit():
    deep = "end"
    for _ in range(200000):
        deep = [deep]
    s = Section(id="s", seq_num=1)
    s.update({"extra": {"deep": deep}})
    old = sys.getrecursionlimit()
    sys.setrecursionlimit(1000000)
    try:
        with pytest.raises(RecursionError):
            s.dump_json()
    finally:
        sys.setrecursionlimit(old)


def test_deep_node_chain_raises_recursion_error():
    root = node = Section(id="s0", seq_num=0)
    for i in range(1, 3000):
        node = node.add_section(id="s%d" % i, seq_num=i)
    with pytest.raises(RecursionError):
        root.dump_json()


# -- JSONDumper as an encoder class ---------------------------------------------------


def test_jsondumper_is_a_real_encoder_subclass_with_a_bound_default():
    assert issubclass(JSONDumper, json.JSONEncoder)
    enc = JSONDumper()
    assert enc.default(Passed) == {"value": "passed"}
    with pytest.raises(TypeError, match="Object of type set is not JSON serializable"):
        enc.default({1})
    assert JSONDumper(indent=2).encode({"r": Passed}) == '{\n  "r": {\n    "value": "passed"\n  }\n}'


def test_jsondumper_subclass_can_extend_default():
    class Extended(JSONDumper):
        def default(self, o):
            if isinstance(o, set):
                return sorted(o)
            return super().default(o)

    assert json.dumps([{3, 1}, Passed], cls=Extended) == '[[1, 3], {"value": "passed"}]'


def test_result_and_counter_types_are_looked_up_when_used(monkeypatch):
    class Verdict:
        value = "custom"
        reason = "why"
        data = None

    class Tally:
        data = {"x": 1}
        total = 1
        success_rate = 0.0

    s = Section(id="s", seq_num=1)
    s.update({"extra": {"v": Verdict(), "t": Tally()}})
    with pytest.raises(TypeError):
        s.dump_json()
    monkeypatch.setattr(campaign, "TestResult", Verdict)
    monkeypatch.setattr(campaign, "ResultCounter", Tally)
    assert report_of(s)["extra"] == {
        "v": {"value": "custom", "reason": "why"},
        "t": {"x": 1, "total": 1, "success_rate": 0.0},
    }


def test_version_is_looked_up_when_used(monkeypatch):
    monkeypatch.setattr(campaign, "VERSION", "9.9")
    assert json.loads(both(Section(id="s", seq_num=1)))["version"] == "9.9"


def test_node_subclass_with_computed_and_duplicated_names():
    class Custom(Section):
        _ARG_ORDER = ["id", "extra", "id", 7, "computed"]

        @property
        def computed(self):
            return {"n": len(self.extra)}

    node = Custom(id="c", seq_num=1)
    with pytest.raises(TypeError):  # a name that is not text cannot be read
        node.dump_json()
    Custom._ARG_ORDER = ["id", "extra", "id", "computed"]
    node.update({"k": 1})
    assert report_of(node) == {"id": "c", "extra": {"k": 1}, "computed": {"n": 1}}
