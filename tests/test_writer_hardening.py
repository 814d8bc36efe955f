"""The writers under hostile input: deep data, keys whose equality rewrites the node, and
Ctrl-C in the middle of a long dump. Each case runs in a child process, so that a crash
shows as a failed test instead of taking the run down."""

import subprocess
import sys
import textwrap

import pytest

CALLS = ["dump_yaml", "dump_json", "write_yaml", "write_json"]


def run_child(code, *args, timeout=300):
    out = subprocess.run([sys.executable, "-c", textwrap.dedent(code), *args],
                         capture_output=True, text=True, timeout=timeout)
    assert out.returncode == 0, "child died (%d): %s" % (out.returncode, out.stderr[-2000:])
    return out.stdout.split()


DEEP = """
    import os, sys
    from korvo.reporter import campaign as c
    sys.setrecursionlimit(10**6)
    call, target = sys.argv[1], sys.argv[2]
    for depth in (20_000, 40_000):
        for wrap in (lambda v: [v], lambda v: {"k": v}, lambda v: (v,)):
            value = 1
            for _ in range(depth):
                value = wrap(value)
            node = c.Section(id="s", seq_num=1)
            node.update_extra({"deep": value})
            try:
                getattr(node, call)(*([target] if call.startswith("write") else []))
                print("returned")
            except RecursionError:
                print("RecursionError")
    print(sorted(os.listdir(os.path.dirname(target))))
"""


@pytest.mark.parametrize("call", CALLS)
def test_deep_data_raises_recursion_error_even_with_a_raised_limit(call, tmp_path):
    assert run_child(DEEP, call, str(tmp_path / "out")) == ["RecursionError"] * 6 + ["[]"]


COLLIDING = """
    from korvo.reporter import campaign as c

    class Collide:
        # Shares a hash with "_parent"; each comparison replaces the node's id, dropping the
        # last reference to the one a writer may have read just before.
        def __init__(self, node):
            self.node, self.n = node, 0
        def __hash__(self):
            return hash("_parent")
        def __eq__(self, other):
            self.n += 1
            self.node.__dict__["id"] = "new-%d" % self.n
            return False

    root = c.Task(id="t", seq_num=1)
    child = root.add_section(id="x", seq_num=1)
    d = child.__dict__
    d["id"] = "".join(["id-", "of-", "child"])
    parent = d.pop("_parent")
    d[Collide(child)] = 1      # before "_parent" on its probe path
    d["_parent"] = parent
    import json, yaml
    for text in (root.dump_json(), root.dump_yaml()):
        report = (json.loads(text) if text.startswith("{") else yaml.safe_load(text))["report"]
        written = report["sections"][0]
        print(written["fullid"] == ".".join(written["idlist"]))
"""


def test_ids_replaced_during_lookups_stay_alive():
    assert run_child(COLLIDING) == ["True", "True"]


INTERRUPTED = """
    import os, subprocess, sys
    from korvo.reporter import campaign as c
    call, target = sys.argv[1], sys.argv[2]
    node = c.Section(id="s", seq_num=1)
    # 40 million values written with no Python code run in between (one shared row, little
    # memory): only the writers' own checks can see the signal before the end.
    node.update_extra({"x": [[1.5] * 1000] * 40_000})
    started = os.path.join(os.path.dirname(target), "started")
    # Sent once the child is inside the call (the flag file is made just before it).
    sender = subprocess.Popen(["sh", "-c", 'while [ ! -e %s ]; do sleep 0.01; done; kill -INT %d'
                               % (started, os.getpid())])
    result = None
    try:
        open(started, "w").close()
        result = getattr(node, call)(*([target] if call.startswith("write") else []))
        print("completed")
    except KeyboardInterrupt:
        print("interrupted")
    sender.wait()
    os.remove(started)
    print(result is None, sorted(os.listdir(os.path.dirname(target))))
"""


@pytest.mark.parametrize("call", CALLS)
def test_sigint_stops_a_long_dump_with_nothing_returned_or_written(call, tmp_path):
    # The call would run for seconds; the signal comes within milliseconds of its start.
    assert run_child(INTERRUPTED, call, str(tmp_path / "results")) == ["interrupted", "True", "[]"]
