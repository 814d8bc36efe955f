"""The writers' representation rules restated in plain Python, and the checks that use them.

A wrong native representer would be faithfully reproduced by the host-library path (the
library calls the same native callbacks), so each check compares three things: the native
writer, the library driven by our dumper, and the library driven by these plain rules."""

import datetime
import json
import math

import yaml

from korvo.datastructures import AttrDict
from korvo.reporter import campaign as c
from korvo.results import ResultCounter, TestResult


def outcome(fn, message=False):
    """("ok", result) or ("raises", exception class[, its text])."""
    try:
        return "ok", fn()
    except Exception as exc:  # RecursionError included
        return ("raises", type(exc), str(exc)) if message else ("raises", type(exc))


# --- YAML ----------------------------------------------------------------------------------

class RulesDumper(yaml.SafeDumper):
    """YAMLDumper restated in plain Python."""

    def increase_indent(self, flow=False, indentless=False):
        return super().increase_indent(flow, False)

    def ignore_aliases(self, data):
        return True


RulesDumper.yaml_representers = dict(yaml.SafeDumper.yaml_representers)


def _str(d, s):
    if "\n" in s:
        joined = "\n".join(line.rstrip() for line in s.split("\n"))
        return d.represent_scalar(c.YAML_STR, joined, style="|")
    return d.represent_scalar(c.YAML_STR, s)


def _float(d, f):
    return d.represent_scalar(c.YAML_FLT, repr(round(f, c.FLOAT_PRECISION))
                              if math.isfinite(f) else repr(f))


def _counter(d, o):
    return d.represent_mapping(c.YAML_MAP, list(o.items()) + [("total", o.total),
                                                              ("success_rate", o.success_rate)])


def _result(d, o):
    m = {"value": o.value}
    if o.reason:
        m["reason"] = o.reason
    if o.data:
        m["data"] = o.data
    return d.represent_mapping(c.YAML_MAP, m)


def listed_fields(node):
    """The (name, value) pairs a writer shows for a node: its class list, ignored values left out."""
    return [(k, getattr(node, k, None)) for k in node._ARG_ORDER
            if getattr(node, k, None) not in c.VALUE_IGNORE]


for _t, _f in [
    (str, _str), (float, _float),
    (type, lambda d, t: d.represent_scalar(c.YAML_STR, repr(t))),
    (None, lambda d, o: d.represent_mapping(c.YAML_MAP, {"type": type(o), "repr": repr(o)})),
    (ResultCounter, _counter), (TestResult, _result),
    (AttrDict, lambda d, o: d.represent_mapping(c.YAML_MAP, o)),
    (c.ReportHeader, lambda d, h: d.represent_mapping(
        c.YAML_MAP, [("version", c.VERSION), ("report", h.report)])),
    (c.Campaign, lambda d, n: d.represent_mapping(c.YAML_MAP, listed_fields(n))),
    (c.Task, lambda d, n: d.represent_mapping(c.YAML_MAP, listed_fields(n))),
    (c.Section, lambda d, n: d.represent_mapping(c.YAML_MAP, listed_fields(n))),
    (c.Plugin, lambda d, n: d.represent_mapping(c.YAML_MAP, listed_fields(n))),
]:
    RulesDumper.add_representer(_t, _f)


def library_yaml(report, dumper=c.YAMLDumper):
    """The results document as the library writes it with `dumper`."""
    return yaml.dump(c.ReportHeader(report), Dumper=dumper, default_flow_style=False)


def yaml_paths(report):
    """The library path with YAMLDumper and with RulesDumper, as two calls."""
    return lambda: library_yaml(report), lambda: library_yaml(report, RulesDumper)


def written_yaml(node, rules=True):
    """The native text, asserted equal to the library's with YAMLDumper (and the rules)."""
    return _written(node.dump_yaml, library_yaml, node, RulesDumper if rules else None)


def check_yaml(node):
    host, rules = yaml_paths(node)
    expected = outcome(host)
    assert outcome(rules) == expected, "the library path differs from the written rules"
    assert outcome(node.dump_yaml) == expected


# --- JSON ----------------------------------------------------------------------------------

class RulesEncoder(json.JSONEncoder):
    """JSONDumper.default restated in plain Python."""

    def default(self, obj):
        sub = None
        if isinstance(obj, c.ReportObjectBase):
            sub = dict(listed_fields(obj))
        elif isinstance(obj, c.TestResult):  # the module's names, as substituted
            sub = {"value": obj.value}
            if obj.reason:
                sub["reason"] = obj.reason
            if obj.data:
                sub["data"] = obj.data
        elif isinstance(obj, c.ResultCounter):
            sub = dict(obj.data)
            sub["total"] = obj.total
            sub["success_rate"] = obj.success_rate
        elif isinstance(obj, datetime.datetime):
            sub = obj.isoformat(" ")
        elif isinstance(obj, BaseException):
            sub = str(obj)
        if sub:
            return sub
        return super().default(obj)


def library_json(report, encoder=c.JSONDumper):
    """The results document as the standard encoder writes it with `encoder`."""
    return json.dumps({"version": c.VERSION, "report": report}, cls=encoder)


def json_paths(report):
    """The standard encoder with JSONDumper and with RulesEncoder, as two calls."""
    return lambda: library_json(report), lambda: library_json(report, RulesEncoder)


def written_json(node, rules=True):
    """The native text, asserted equal to the standard encoder's with JSONDumper (and the
    rules)."""
    return _written(node.dump_json, library_json, node, RulesEncoder if rules else None)


def _written(native_dump, library, node, rules):
    native = native_dump()
    assert native == library(node)
    if rules is not None:
        assert native == library(node, rules), "the library path differs from the rules"
    return native


def check_json(node):
    # The JSON paths run the same standard encoder, so their error texts must agree too.
    host, rules = json_paths(node)
    expected = outcome(host, message=True)
    assert outcome(rules, message=True) == expected, \
        "JSONDumper.default differs from the written rules"
    assert outcome(node.dump_json, message=True) == expected


def check_both(node):
    check_yaml(node)
    check_json(node)


# --- to_dict -------------------------------------------------------------------------------

def expected_to_dict(node):
    """The listed attributes the node has, children by id, then seq_num and logfile."""
    order = [n for n in type(node)._ARG_ORDER if hasattr(node, n)]
    expected = {n: getattr(node, n) for n in order}
    for key in ("tasks", "sections"):
        if key in expected:
            expected[key] = [child.id for child in expected[key]]
    expected["seq_num"] = node.seq_num
    if hasattr(node, "logfile"):
        expected["logfile"] = node.logfile
    return expected
