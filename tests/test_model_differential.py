"""Random harness call sequences: the native model must match the reference rules."""

import copy
import datetime
import os

import pytest
from hypothesis import settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, rule

from korvo.reporter import campaign
from korvo.datastructures import AttrDict
from korvo.results import Errored, Failed, Passed, ResultCounter, Skipped

from support import reference_model as ref
from support.profiles import examples


class Clock:
    def __init__(self):
        self.now = datetime.datetime(2024, 1, 1)

    def __call__(self):
        self.now += datetime.timedelta(seconds=1, microseconds=250001)
        return self.now


results = st.sampled_from([Passed, Failed, Errored, Skipped, None])
moments = st.datetimes(min_value=datetime.datetime(2000, 1, 1),
                       max_value=datetime.datetime(2030, 1, 1))
scalars = st.one_of(st.none(), st.integers(-5, 5), st.text(max_size=4), results, moments)
values = st.recursive(
    scalars,
    lambda inner: st.one_of(st.lists(inner, max_size=3),
                            st.dictionaries(st.sampled_from("abc"), inner, max_size=3),
                            st.dictionaries(st.sampled_from("abc"), inner,
                                            max_size=3).map(AttrDict),
                            st.tuples(inner, inner)),
    max_leaves=6,
)
KEYS = ["name", "description", "details", "extra", "parameters", "result", "summary",
        "cli", "host", "testscript", "xref", "owner", "tags", "a", "b"]
data = st.dictionaries(st.sampled_from(KEYS), values, max_size=4)


def outcome(fn):
    try:
        fn()
        return None
    except Exception as exc:  # the exception class is compared, not the text
        return type(exc)


def same_value(a, b):
    if isinstance(a, ResultCounter):
        return isinstance(b, ResultCounter) and a.data == b.data and a.weight == b.weight
    if isinstance(a, (ref.Node, campaign.ReportObjectBase)):
        return a.id == b.id
    if isinstance(a, list) and isinstance(b, list):
        return len(a) == len(b) and all(same_value(x, y) for x, y in zip(a, b))
    if isinstance(a, dict) and isinstance(b, dict):
        return (type(a) is type(b) and list(a) == list(b)
                and all(same_value(a[k], b[k]) for k in a))
    if isinstance(a, tuple) and isinstance(b, tuple):
        return len(a) == len(b) and all(same_value(x, y) for x, y in zip(a, b))
    return type(a) is type(b) and a == b


@settings(max_examples=examples(0.6), stateful_step_count=40)
class HarnessSequences(RuleBasedStateMachine):
    @initialize()
    def make_root(self):
        self.native_clock, self.ref_clock = Clock(), Clock()
        campaign.get_time = self.native_clock
        self.pairs = [(campaign.Campaign(id="job", seq_num=0),
                       ref.Campaign(self.ref_clock, id="job", seq_num=0))]
        self.counter = 0
        self.logdir = self.tmpdir
        self.logs = []
        for i in range(2):
            path = os.path.join(self.logdir, "log%d" % i)
            with open(path, "w") as f:
                f.write("x" * (10 * i))
            self.logs.append(path)

    def teardown(self):
        campaign.get_time = ORIGINAL_GET_TIME

    def both(self, index, method, *args, **kw):
        native, oracle = self.pairs[index % len(self.pairs)]
        args2, kw2 = copy.deepcopy((args, kw))
        got = outcome(lambda: getattr(native, method)(*args, **kw))
        want = outcome(lambda: getattr(oracle, method)(*args2, **kw2))
        assert got == want, (method, args, kw)

    @rule(index=st.integers(0, 50), kind=st.sampled_from(["add_task", "add_plugin",
                                                          "add_section"]),
          type_=st.sampled_from([None, "", "Testcase", "CommonSetup"]))
    def add(self, index, kind, type_):
        native, oracle = self.pairs[index % len(self.pairs)]
        if not hasattr(native, kind):
            return
        self.counter += 1
        kw = dict(id="n%d" % self.counter, seq_num=self.counter, type=type_)
        self.pairs.append((getattr(native, kind)(**kw), getattr(oracle, kind)(**kw)))

    @rule(index=st.integers(0, 50), payload=data, log=st.sampled_from([None, 0, 1]))
    def start(self, index, payload, log):
        if log is not None:
            payload = dict(payload, logfile=self.logs[log])
        self.both(index, "start", **payload)

    @rule(index=st.integers(0, 50), payload=data, log=st.sampled_from([None, 0, 1]),
          num=st.sampled_from([None, 0, 1, 3]))
    def stop(self, index, payload, log, num):
        if log is not None:
            payload = dict(payload, logfile=self.logs[log])
        if num is not None and isinstance(self.pairs[index % len(self.pairs)][1], ref.Campaign):
            payload = dict(payload, num_tasks=num)
        self.both(index, "stop", **payload)

    @rule(index=st.integers(0, 50), payload=data)
    def update(self, index, payload):
        self.both(index, "update", payload)

    @rule(index=st.integers(0, 50), detail=values)
    def add_detail(self, index, detail):
        self.both(index, "add_detail", detail)

    @rule(log=st.sampled_from([0, 1]), nbytes=st.integers(1, 30))
    def write_log(self, log, nbytes):
        with open(self.logs[log], "a") as f:
            f.write("y" * nbytes)

    @invariant()
    def same_state(self):
        for native, oracle in getattr(self, "pairs", []):
            for name, want in vars(oracle).items():
                if name in ("_clock", "_parent"):
                    continue
                got = getattr(native, name)
                assert same_value(want, got), (oracle.fullid, name, want, got)
            assert native.fullid == oracle.fullid and native.idlist == oracle.idlist
            assert set(vars(native)) == set(vars(oracle)) - {"_clock"}


ORIGINAL_GET_TIME = campaign.get_time


@pytest.fixture
def machine_tmpdir(tmp_path):
    HarnessSequences.tmpdir = str(tmp_path)
    yield
    campaign.get_time = ORIGINAL_GET_TIME


def test_harness_sequences_match_reference(machine_tmpdir):
    HarnessSequences.TestCase().runTest()
