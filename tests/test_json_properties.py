"""Properties: the native dump_json writes what the standard encoder writes with JSONDumper,
and JSONDumper.default follows the report's substitution rules, for arbitrary values and trees."""

import datetime
import enum
import json

from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from korvo import results
from korvo.datastructures import AttrDict
from korvo.reporter import campaign
from korvo.reporter.campaign import Campaign, JSONDumper

SETTINGS = settings(max_examples=int(__import__('os').environ.get('KORVO_EXAMPLES', 150)), deadline=None,
                    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])


class RuleDumper(json.JSONEncoder):
    """The substitution rules written out plainly in Python, as an independent oracle."""

    def default(self, obj):
        sub = None
        if isinstance(obj, campaign.ReportObjectBase):
            sub = {}
            for name in obj._ARG_ORDER:
                if getattr(obj, name, None) not in campaign.VALUE_IGNORE:
                    sub[name] = getattr(obj, name)
        elif isinstance(obj, results.TestResult):
            sub = {"value": obj.value}
            if obj.reason:
                sub["reason"] = obj.reason
            if obj.data:
                sub["data"] = obj.data
        elif isinstance(obj, results.ResultCounter):
            sub = dict(obj.data)
            sub["total"] = obj.total
            sub["success_rate"] = obj.success_rate
        elif isinstance(obj, datetime.datetime):
            sub = obj.isoformat(" ")
        elif isinstance(obj, Exception):
            sub = str(obj)
        if sub:
            return sub
        return super().default(obj)


class Level(enum.IntEnum):
    LOW = -3
    HIGH = 2 ** 70


class Share(float, enum.Enum):
    THIRD = 1 / 3


class Tag(str, enum.Enum):
    X = "\u00e9\U0001f600"


class SubInt(int):
    def __repr__(self):
        return "not-this"


class SubFloat(float):
    def __repr__(self):
        return "not-this"


class SubStr(str):
    pass


class SubList(list):
    pass


class SubTuple(tuple):
    pass


class SubDict(dict):
    pass


lone_surrogates = st.integers(0xD800, 0xDFFF).map(chr)
any_char = st.one_of(st.characters(), lone_surrogates, st.sampled_from("\"\\\x00\x1f\x7f\b\f\n\r\t/"))
texts = st.text(any_char, max_size=12)
ints = st.one_of(st.integers(-1000, 1000), st.integers(-(2 ** 200), 2 ** 200))
floats = st.floats(allow_nan=True, allow_infinity=True)
zones = st.one_of(
    st.none(),
    st.just(datetime.timezone.utc),
    st.timedeltas(min_value=datetime.timedelta(hours=-23, minutes=-59),
                  max_value=datetime.timedelta(hours=23, minutes=59)).map(datetime.timezone),
)
datetimes = st.builds(lambda d, z: d.replace(tzinfo=z), st.datetimes(), zones)
result_values = st.builds(
    lambda r, reason, data: r.clone(reason=reason, data=data),
    st.sampled_from([results.Passed, results.Failed, results.Errored, results.Skipped]),
    st.one_of(st.none(), st.just(""), texts),
    st.one_of(st.none(), st.just({}), st.dictionaries(texts, ints, max_size=2)),
)


def make_counter(counts, weight):
    c = results.ResultCounter()
    for k, v in counts:
        c[k] = v
    c.weight = weight
    return c


counters = st.builds(make_counter,
                     st.lists(st.tuples(st.sampled_from(["passed", "failed", "total", "x"]),
                                        st.integers(0, 9)), max_size=4),
                     st.floats(0, 1))
errors = st.builds(lambda cls, msg: cls(msg) if msg is not None else cls(),
                   st.sampled_from([ValueError, KeyError, TimeoutError, RuntimeError]),
                   st.one_of(st.none(), texts))

scalars = st.one_of(
    st.none(), st.booleans(), ints, floats, texts,
    st.sampled_from(list(Level) + list(Share) + list(Tag)),
    ints.map(SubInt), floats.map(SubFloat), texts.map(SubStr),
    datetimes, result_values, counters, errors,
)
keys = st.one_of(texts, ints, floats, st.booleans(), st.none(), st.just(Level.LOW),
                 ints.map(SubInt), texts.map(SubStr))


def containers(children):
    return st.one_of(
        st.lists(children, max_size=4),
        st.lists(children, max_size=3).map(tuple),
        st.lists(children, max_size=3).map(SubList),
        st.lists(children, max_size=3).map(SubTuple),
        st.dictionaries(keys, children, max_size=4),
        st.dictionaries(texts, children, max_size=3).map(AttrDict),
        st.dictionaries(keys, children, max_size=3).map(SubDict),
        children.map(lambda v: [v, v]),  # one object held twice is not a cycle
        children.map(lambda v: {"a": v, "b": [v]}),
    )


values = st.recursive(scalars, containers, max_leaves=12)
bad_values = st.one_of(
    st.sets(st.integers(), max_size=2), st.dates(), st.builds(object),
    st.just(ValueError()), st.just({(1,): 1}), st.just({b"k": 1}),
)
listed = {
    "task": ["description", "logfile", "testscript", "parameters", "details", "extra"],
    "section": ["description", "xref", "logs", "parameters", "result", "details", "extra"],
    "plugin": ["description", "logfile", "logs", "summary", "result", "details", "extra"],
}


@st.composite
def trees(draw, data_values=values):
    """A campaign with tasks, plugins and nested sections, data set through update."""

    def fill(node, kind):
        for _ in range(draw(st.integers(0, 3))):
            key = draw(st.one_of(st.sampled_from(listed[kind] + ["runtime", "name"]), texts))
            if key == "extra":  # later updates merge into it: keep it a mapping
                node.update({key: draw(st.dictionaries(texts, data_values, max_size=2))})
            else:
                node.update({key: draw(data_values)})

    root = Campaign(id=draw(texts), seq_num=draw(ints))
    root.update({"host": draw(texts), "extra": draw(st.dictionaries(texts, data_values, max_size=2))})
    for i in range(draw(st.integers(0, 3))):
        if draw(st.booleans()):
            task = root.add_task(id=draw(st.one_of(texts, ints)), seq_num=i)
            fill(task, "task")
            for j in range(draw(st.integers(0, 3))):
                make = task.add_plugin if draw(st.booleans()) else task.add_section
                child = make(id=draw(texts), seq_num=j)
                fill(child, "plugin" if make == task.add_plugin else "section")
                for k in range(draw(st.integers(0, 2))):
                    fill(child.add_section(id=draw(texts), seq_num=k), "section")
        else:
            fill(root.add_plugin(id=draw(texts), seq_num=i), "plugin")
    return root


def outcome(fn):
    try:
        return "ok", fn()
    except (TypeError, ValueError, RecursionError) as e:
        return type(e), str(e)


def dumps(node, cls):
    return json.dumps({"version": campaign.VERSION, "report": node}, cls=cls)


@SETTINGS
@given(trees())
def test_native_dump_equals_standard_encoder_on_trees(root):
    native = outcome(root.dump_json)
    assert native == outcome(lambda: dumps(root, JSONDumper))
    assert native == outcome(lambda: dumps(root, RuleDumper))
    if native[0] == "ok":
        assert json.loads(native[1])["version"] == campaign.VERSION


@SETTINGS
@given(trees(st.one_of(values, bad_values)))
def test_native_dump_fails_like_standard_encoder_on_bad_values(root):
    native = outcome(root.dump_json)
    assert native == outcome(lambda: dumps(root, JSONDumper))
    assert native == outcome(lambda: dumps(root, RuleDumper))


@SETTINGS
@given(values, st.data())
def test_cycles_anywhere_are_reported(value, data):
    holder = data.draw(st.sampled_from(["list", "dict"]))
    loop = [] if holder == "list" else {}
    cyclic = [loop, value]  # the loop comes first, so it is met before any bad value
    if holder == "list":
        loop.append(cyclic)
    else:
        loop[data.draw(texts)] = cyclic
    root = Campaign(id="c", seq_num=0)
    root.update({"extra": {"v": cyclic}})
    native = outcome(root.dump_json)
    assert native == outcome(lambda: dumps(root, JSONDumper))
    assert native[0] is ValueError


@SETTINGS
@given(st.one_of(scalars, bad_values))
def test_jsondumper_default_follows_the_rules(value):
    assert outcome(lambda: JSONDumper().default(value)) == outcome(lambda: RuleDumper().default(value))


@SETTINGS
@given(trees())
def test_to_dict_is_the_listed_attributes_with_child_ids(root):
    for node in [root] + list(root.tasks):
        d = node.to_dict()
        order = [n for n in type(node)._ARG_ORDER if hasattr(node, n)]
        expected = {n: getattr(node, n) for n in order}
        for key in ("tasks", "sections"):
            if key in expected:
                expected[key] = [child.id for child in expected[key]]
        expected["seq_num"] = node.seq_num
        if hasattr(node, "logfile"):
            expected["logfile"] = node.logfile
        assert list(d) == list(expected)
        for k, v in expected.items():
            assert d[k] is v or d[k] == v
