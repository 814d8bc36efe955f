"""Reading results back: load(f) gives a live tree whose dumps give f's bytes back."""

import datetime
import json
import os
import tempfile

import pytest
import yaml
from hypothesis import assume, given, settings
from hypothesis import strategies as st

from korvo import results
from korvo.reporter import LoadError, load
from korvo.reporter import campaign as c
from korvo.reporter.demo import Plan, build
from korvo.reporter.loading import _fallback_loader, _resolve_scalar
from korvo.reporter.scribe import Scribe
from korvo.results import ResultCounter
from korvo.results import TestResult as ResultValue

from support import profiles
from support.strategies import INTS, JSON_VALUES, SCALARS, TEXTS, containers, trees

# Ids and mapping keys a harness uses: the paths (fullid) are recomputed from the ids, and a
# YAML mapping key that is a sequence cannot be read back by any YAML loader. Sets are left
# out: the writer gives them in their iteration order, which differs from one set to another.
IDS = st.one_of(TEXTS, INTS)
# The YAML writer drops trailing blanks from the lines of multi-line texts; paths are
# recomputed from the ids read back, so a YAML id must be one that survives that. Keys made
# of nothing but line breaks come out as literal blocks that YAML readers disagree about.
YAML_IDS = st.one_of(TEXTS.filter(lambda t: "\n" not in t or (t.strip() and t == "\n".join(
    line.rstrip() for line in t.split("\n")))), INTS)
YAML_VALUES = st.recursive(SCALARS, lambda ch: containers(ch, YAML_IDS, sets=False),
                           max_leaves=12)


def written(tmp_dir, name, text):
    path = os.path.join(tmp_dir, name)
    with open(path, "w", encoding="utf-8", newline="\n") as handle:
        handle.write(text)
    return path


def has_repeated_keys(text):
    """Whether a mapping of the YAML text holds one key twice: the writer strips trailing
    blanks from multi-line texts and writes a count named "total" beside the total, so two
    keys may come out alike, and every YAML reader keeps one of them."""
    try:
        stack = [yaml.compose(text, Loader=yaml.CSafeLoader)]
    except yaml.YAMLError:  # libyaml refuses escapes of lone surrogates; PyYAML does not
        stack = [yaml.compose(text, Loader=yaml.SafeLoader)]
    while stack:
        node = stack.pop()
        if isinstance(node, yaml.MappingNode):
            keys = [(k.tag, k.value) for k, _ in node.value if isinstance(k, yaml.ScalarNode)]
            if len(keys) != len(set(keys)):
                return True
            stack.extend(v for pair in node.value for v in pair)
        elif isinstance(node, yaml.SequenceNode):
            stack.extend(node.value)
    return False


# --- round trip -----------------------------------------------------------------------------

def ids_survive(root):
    return all(not isinstance(n.id, str) or "\n" not in n.id or n.id == "\n".join(
        line.rstrip() for line in n.id.split("\n")) for n in walk(root))


def pyyaml_reading(text):
    # PyYAML's safe loaders, taught the date-time offsets with seconds that their own
    # timestamp pattern stops short of (the writer gives them; see loading.py)
    try:
        return yaml.load(text, Loader=_fallback_loader(True))
    except yaml.YAMLError:  # libyaml refuses escapes of lone surrogates
        return yaml.load(text, Loader=_fallback_loader(False))


@settings(max_examples=profiles.examples(0.5))
@given(trees(YAML_VALUES, YAML_IDS))
def test_yaml_round_trip_of_generated_jobs(root):
    try:
        text = root.dump_yaml()
    except (TypeError, ValueError, RecursionError):
        assume(False)
    assume(not has_repeated_keys(text) and ids_survive(root))
    native = c._read_yaml(text.encode("ascii"), lambda text, tag: NotImplemented)
    with tempfile.TemporaryDirectory() as tmp:
        path = written(tmp, "results.yaml", text)
        try:
            again = load(path)
        except LoadError as exc:
            # A child whose type is unset is written without one, so it reads back as no node
            # at all, and child lists hold nodes only.
            assume("is not a report node" not in str(exc))
            # otherwise only for a document no safe YAML loader can read either
            assert native is None
            with pytest.raises(Exception):
                pyyaml_reading(text)
            return
    if native is not None:
        # what the native reader takes it reads as PyYAML does, and gives back byte for byte
        assert again.dump_yaml() == text
        if "!!timestamp" not in text:  # PyYAML drops what its pattern leaves of such offsets
            assert repr(c._read_yaml(text.encode("ascii"), _resolve_scalar)) == repr(
                pyyaml_reading(text))


def json_has_repeated_keys(text):
    # keys that are not texts are written as their JSON text: None and "null" become one
    repeated = []

    def pairs(items):
        keys = [k for k, _ in items]
        repeated.append(len(keys) != len(set(keys)))
        return dict(items)

    json.loads(text, object_pairs_hook=pairs)
    return any(repeated)


def every_node(node):
    yield node
    for child in getattr(node, "tasks", None) or getattr(node, "sections", None) or ():
        if isinstance(child, c.ReportObjectBase):
            yield from every_node(child)


def empty_tuple_fields(node):
    # An empty tuple is not an ignored value, so it is written, as "[]"; read back it is the
    # empty list, which is ignored: JSON cannot tell the two apart.
    return [k for k, v in vars(node).items() if isinstance(v, tuple) and not v]


@settings(max_examples=profiles.examples(0.5))
@given(trees(JSON_VALUES, IDS))
def test_json_round_trip_of_generated_jobs(root):
    try:
        text = root.dump_json()
    except (TypeError, ValueError, RecursionError):
        assume(False)
    assume(not json_has_repeated_keys(text))
    assume(not any(empty_tuple_fields(node) for node in every_node(root)))
    with tempfile.TemporaryDirectory() as tmp:
        again = load(written(tmp, "results.json", text))
    assert again.dump_json() == text


@pytest.fixture(scope="module")
def demo_job(tmp_path_factory):
    outdir = str(tmp_path_factory.mktemp("demo"))
    root, _ = build(Plan(tasks=3, testcases=4, sections=2, steps=4, fail_rate=0.4, seed=5),
                    outdir)
    paths = {}
    for name, dump in (("results.yaml", root.dump_yaml), ("results.json", root.dump_json)):
        paths[name] = written(outdir, name, dump())
    return root, outdir, paths


@pytest.mark.parametrize("name", ["results.yaml", "results.json"])
def test_demo_outputs_come_back_byte_for_byte(demo_job, name):
    _, _, paths = demo_job
    tree = load(paths[name])
    dump = tree.dump_yaml if name.endswith("yaml") else tree.dump_json
    with open(paths[name], "rb") as handle:
        assert dump().encode("utf-8") == handle.read()


def walk(node):
    yield node
    for child in getattr(node, "tasks", None) or getattr(node, "sections", None) or []:
        yield from walk(child)


@pytest.mark.parametrize("name", ["results.yaml", "results.json"])
def test_loaded_nodes_are_typed_like_live_ones(demo_job, name):
    live, _, paths = demo_job
    tree = load(paths[name])
    pairs = list(zip(walk(live), walk(tree)))
    assert len(pairs) == sum(1 for _ in walk(live)) == sum(1 for _ in walk(tree))
    for before, after in pairs:
        assert type(after) is type(before)
        assert after.fullid == before.fullid and after.idlist == before.idlist
        assert isinstance(after.starttime, datetime.datetime)
        assert isinstance(after.runtime, float)
        if name.endswith("json"):
            assert (after.starttime, after.stoptime, after.runtime) == (
                before.starttime, before.stoptime, before.runtime)
        for field in ("summary", "pluginsummary"):
            if isinstance(getattr(before, field, None), ResultCounter):
                assert isinstance(getattr(after, field), ResultCounter)
                assert dict(getattr(after, field).items()) == dict(getattr(before, field).items())
        if getattr(before, "result", None) is not None:
            assert isinstance(after.result, ResultValue)
            assert after.result == before.result
    for task in tree.tasks:
        assert task._parent is tree
        for child in task.sections:
            assert child._parent is task


@pytest.mark.parametrize("name", ["results.yaml", "results.json"])
def test_loaded_tree_exports_the_same_xml(demo_job, name, tmp_path):
    live, outdir, paths = demo_job
    live_dir, loaded_dir = tmp_path / "live", tmp_path / "loaded"
    live_dir.mkdir()
    loaded_dir.mkdir()
    Scribe(str(live_dir), live).generate_xml(None, {})
    Scribe(str(loaded_dir), load(paths[name])).generate_xml(None, {})
    for xml in ("ResultsDetails.xml", "ResultsSummary.xml"):
        assert (loaded_dir / xml).read_bytes() == (live_dir / xml).read_bytes()


def test_loaded_tree_can_be_extended_and_stopped(demo_job, clock):
    _, _, paths = demo_job
    tree = load(paths["results.json"])
    before = dict(tree.summary.items())
    task = tree.add_task(id="late", seq_num=99)
    task.start()
    task.add_section(id="tc", seq_num=1, type="Testcase").stop(result=results.Failed)
    task.stop()
    tree.stop(num_tasks=len([t for t in tree.tasks if isinstance(t, c.Task)]))
    assert tree.summary["failed"] == before.get("failed", 0) + 1
    assert tree.summary.weight == 1.0
    assert load_text(tree.dump_json()).dump_json() == tree.dump_json()


def load_text(text, name="results.json"):
    with tempfile.TemporaryDirectory() as tmp:
        return load(written(tmp, name, text))


# --- what each format can tell -------------------------------------------------------------

def test_json_keeps_free_form_lookalikes_as_written():
    node = c.Campaign(id="job", seq_num=0)
    node.update({"when": datetime.datetime(2024, 5, 1, 10, 0, 0),
                 "verdict": results.Failed, "counts": ResultCounter()})
    node.starttime = datetime.datetime(2024, 5, 1, 10, 0, 0)
    again = load_text(node.dump_json())
    # node fields have a type to go by; free-form data is JSON's own
    assert again.starttime == datetime.datetime(2024, 5, 1, 10, 0, 0)
    assert again.extra["when"] == "2024-05-01 10:00:00"
    assert again.extra["verdict"] == {"value": "failed"}


def test_yaml_tells_dates_and_counters_apart():
    counter = ResultCounter()
    counter["passed"] = 2
    node = c.Campaign(id="job", seq_num=0)
    node.update({"when": datetime.datetime(2024, 5, 1, 10, 0, 0), "text": "2024-05-01 10:00:00",
                 "counts": counter, "like": {"total": 1, "success_rate": 2.0}})
    again = load_text(node.dump_yaml(), "results.yaml")
    assert again.extra["when"] == datetime.datetime(2024, 5, 1, 10, 0, 0)
    assert again.extra["text"] == "2024-05-01 10:00:00"
    assert isinstance(again.extra["counts"], ResultCounter)
    assert dict(again.extra["counts"].items()) == {"passed": 2}
    # a plain mapping is written sorted, so it is never taken for a counter
    assert again.extra["like"] == {"success_rate": 2.0, "total": 1}


def test_weighted_counter_keeps_its_rate():
    root = c.Campaign(id="job", seq_num=0)
    for i in range(3):
        task = root.add_task(id="t%d" % i, seq_num=i)
        if i < 2:
            task.start()
            task.add_section(id="tc", seq_num=1).stop(result=results.Passed)
            task.stop()
    root.stop(num_tasks=3)
    for dump, name in ((root.dump_json, "results.json"), (root.dump_yaml, "results.yaml")):
        again = load_text(dump(), name)
        assert isinstance(again.summary, ResultCounter)
        assert abs(again.summary.weight - 2 / 3) < 1e-4
        assert dump.__name__ and getattr(again, dump.__name__)() == dump()


def test_result_with_reason_is_its_own_object():
    node = c.Section(id="s", seq_num=1)
    node.update({"result": results.Failed.clone(reason="timeout", data={"step": 3})})
    again = load_text(node.dump_json())
    assert again.result == results.Failed and again.result is not results.Failed
    assert (again.result.reason, again.result.data) == ("timeout", {"step": 3})
    plain = c.Section(id="s", seq_num=1)
    plain.update({"result": results.Passed})
    assert load_text(plain.dump_json()).result is results.Passed


# --- bad input ------------------------------------------------------------------------------

@pytest.mark.parametrize("content,message", [
    ('{"version":"3.0","report":{"type":"Campaign","id":"x","tasks":5}}',
     "report has 'tasks' that is not a list"),
    ('{"version":"3.0","report":{"type":"Campaign","id":"x","tasks":[{"type":"Task","id":"t",'
     '"sections":{"a":1}}]}}', "report.tasks[0] has 'sections' that is not a list"),
    ('{"version":"2.0","report":{"type":"Campaign","id":"x"}}', "results format '2.0'"),
    ('{"version":"3.0","report":[1]}', "is not a report node"),
    ("<?xml version='1.0'?>\n<kyreport/>\n", "XML is not read back"),
    ("version: '3.0'\nreport: [unclosed\n", "is not valid YAML"),
    ('{"version": "3.0", "report": ', "is not valid JSON"),
    ("[" * 100000 + "]" * 100000, "nested too deeply"),
    # deeper than the YAML reader's cap, whichever parser reads it
    ("version: '3.0'\nreport: " + "[" * 1001 + "]" * 1001 + "\n",
     "nested too deeply to be a results document"),
])
def test_bad_documents_raise_one_load_error(tmp_path, content, message):
    path = tmp_path / "bad.json"
    path.write_text(content)
    with pytest.raises(LoadError) as raised:
        load(path)
    assert message in str(raised.value) and str(path) in str(raised.value)
    assert "\n" not in str(raised.value)


def test_missing_file(tmp_path):
    with pytest.raises(LoadError, match="No such file"):
        load(tmp_path / "nowhere.yaml")


def test_journal_without_recover_is_named(tmp_path, monkeypatch):
    import sys

    path = tmp_path / "job.jsonl"
    path.write_text('{"journal":"korvo-reporter","version":1,"durability":"flush"}\n')
    monkeypatch.setitem(sys.modules, "korvo.reporter.journal", None)
    with pytest.raises(LoadError, match="is a journal"):
        load(path)


def test_journal_is_read_while_written_and_summarised(tmp_path, capsys):
    from korvo.reporter import journal
    from korvo.reporter.cli import main

    path = tmp_path / "journal.jsonl"
    job = c.Campaign(id="live-job", seq_num=0)
    with open(path, "w"):
        pass
    with pytest.raises(LoadError, match="not a results document"):
        load(path)  # empty: no header, so not taken for a journal
    with journal.attach(job, str(path)):
        job.start(cli="run")
        task = job.add_task(id="t1", seq_num=1)
        task.start()
        task.add_section(id="s1", seq_num=1).stop(result=results.Failed)
        task.stop()
        # Still open: the tree so far, the unfinished job marked aborted.
        assert load(path).tasks[0].summary["failed"] == 1
        assert main(["summary", str(path)]) == 1
        assert "live-job" in capsys.readouterr().out
        job.stop(num_tasks=1)
    assert load(path).dump_yaml() == job.dump_yaml()
    header = path.read_bytes().partition(b"\n")[0]
    path.write_bytes(header + b"\n")
    with pytest.raises(LoadError, match="no report tree yet") as raised:
        load(path)
    assert str(path) in str(raised.value)


@pytest.mark.parametrize("subclassed", [False, True], ids=["own classes", "subclasses"])
def test_a_plugin_has_a_counter_once_it_rolled_up_sections(monkeypatch, subclassed):
    # nodes of the module's own classes and of classes a harness put in their place are
    # built by two paths; both must follow the live rule
    if subclassed:
        monkeypatch.setattr(c, "Plugin", type("Plugin", (c.Plugin,), {}))
    plugins = [{"type": "Plugin", "id": "idle", "sections": []},
               {"type": "Plugin", "id": "busy", "sections": [{"type": "Section", "id": "s"}]}]
    root = load_text(json.dumps({"version": c.VERSION, "report": {
        "type": "Campaign", "id": "job", "tasks": [{"type": "Task", "id": "t", "sections": plugins}]}}))
    idle, busy = root.tasks[0].sections
    assert isinstance(idle, c.Plugin) and idle.summary is None  # as a live plugin starts
    assert isinstance(busy.summary, ResultCounter)


# --- the native JSON reader: json.loads' answers, with Ctrl-C honoured ---------------------

def decoded_both_ways(data):
    """(native, standard): each the decoded value's repr, or the kind of error raised."""
    def attempt(decode):
        try:
            return "value", repr(decode(data))
        except RecursionError:
            return "error", "RecursionError"
        except ValueError:  # UnicodeDecodeError included
            return "error", "ValueError"
    return attempt(c._read_json), attempt(json.loads)


PLAIN_JSON = st.recursive(st.one_of(st.none(), st.booleans(), INTS, st.floats(), TEXTS),
                          lambda ch: st.lists(ch, max_size=4) | st.dictionaries(TEXTS, ch, max_size=4),
                          max_leaves=12)


@settings(max_examples=profiles.examples(2))
@given(PLAIN_JSON, st.booleans(), st.sampled_from([None, 0, 2]), st.data())
def test_json_reader_agrees_with_json_loads(value, ascii_only, indent, data):
    text = json.dumps(value, ensure_ascii=ascii_only, indent=indent).encode("utf-8", "surrogatepass")
    native, standard = decoded_both_ways(text)
    assert native == standard and native[0] == "value"
    # and on damaged text, both refuse it or both read the same value
    at = data.draw(st.integers(0, len(text)))
    cut = data.draw(st.integers(0, 3))
    insert = data.draw(st.binary(max_size=3))
    damaged = text[:at] + insert + text[at + cut:]
    assume(damaged[:1] not in (b"\xef", b"\xfe", b"\xff", b"\x00") and damaged[1:2] != b"\x00")
    assert decoded_both_ways(damaged)[0] == decoded_both_ways(damaged)[1]


@pytest.mark.parametrize("text", [
    b'{"a": 1, "a": 2, "b": "\\ud83d\\ude00\\ud800 \\u00e9\\/"}', b" [ 1.5e3 , -0 , 0.0 ] \n",
    b"[NaN, Infinity, -Infinity]", b"1" * 5000, b"[" * 500 + b"]" * 500, b"\"\xed\xa0\x80\"",
    b"\"\xff\"", b"[1.]", b"-", b"01", b"[1,]", b'"\t"', b'"\\x"', b"",
])
def test_json_reader_agrees_with_json_loads_on_the_edges(text):
    native, standard = decoded_both_ways(text)
    assert native == standard


def test_json_deeper_than_the_recursion_limit_is_refused_on_every_python():
    # the standard decoder's own limit differs from version to version (3.13 reads this)
    with pytest.raises(RecursionError):
        c._read_json(b"[" * 3000 + b"]" * 3000)


def test_json_reader_stops_at_a_signal():
    import signal

    class Stop(Exception):
        pass

    returned = []

    def handler(*_):
        raise Stop(bool(returned))

    data = b"[" + b",".join([b'{"k": [1.5, "text"]}'] * 500000) + b"]"  # 10 MB
    previous = signal.signal(signal.SIGALRM, handler)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.01)
        with pytest.raises(Stop) as stopped:
            c._read_json(data)
            returned.append(True)
            while True:  # the signal arrives after the call: json.loads' way
                signal.pause()
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    assert stopped.value.args == (False,)  # it arrived while the document was read
