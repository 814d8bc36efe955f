"""Replaying journals that came from elsewhere: forged, damaged, endless or made to run code.

Whatever the file holds, replay must end, raise nothing but ValueError or OSError (LoadError
through `load`) and never crash the interpreter; cases that crashed it run in a child process.
"""

import ast
import datetime
import os
import subprocess
import sys
import textwrap
import zlib

import pytest

from korvo import results
from korvo.datastructures import AttrDict
from korvo.reporter import campaign, journal, load
from korvo.reporter.campaign import Campaign
from korvo.reporter.cli import main
from korvo.reporter.loading import LoadError

from support import profiles
from support.sanitizer import UNDER_ASAN

HEADER = '{"journal":"korvo-reporter","version":1,"durability":"flush","crc":'
ROOT = '["+",0,null,null,"Campaign","job",0,null]'
START = '{"$T":"2024-05-01 10:00:00"}'


def forge(path, *records):
    """A journal of `records` (each the operations of one line, as JSON text) with a
    checksum chain that holds."""
    crc = zlib.crc32(HEADER.encode())
    lines = [HEADER.encode() + b'"%08x"}' % crc]
    for ops in records:
        body = ("[%s," % ops).encode("utf-8", "surrogatepass")
        crc = zlib.crc32(body, crc)
        lines.append(body + b'"%08x"]' % crc)
    path.write_bytes(b"\n".join(lines) + b"\n")
    return path


def run_child(code, *args, cwd=None, timeout=120):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code), *map(str, args)],
                          capture_output=True, text=True, cwd=cwd, timeout=timeout)


RECOVER_IN_CHILD = """
    import sys
    from korvo.reporter import journal
    found = journal.recover_journal(sys.argv[1])
    print(repr((found.unknown, found.damage, found.nodes)))
"""


def recovered_in_child(path):
    child = run_child(RECOVER_IN_CHILD, path)
    assert child.returncode == 0, child.stderr
    return ast.literal_eval(child.stdout)


def recover_command(path, outdir, **kwargs):
    return run_child("import sys\nfrom korvo.reporter.cli import main\n"
                     "sys.exit(main(sys.argv[1:]))", "recover", path, outdir, **kwargs)


def one_line(text):
    return text.count("\n") == 1 and text.endswith("\n")


# --- values read against the node they belong to -------------------------------------------

class Odd:
    def __repr__(self):
        return "Odd()"


class LocalError(Exception):
    pass


def test_kept_values_in_a_node_creation_record_belong_to_the_new_node(tmp_path):
    path = tmp_path / "odd_root.jsonl"
    root = Campaign(id="job", seq_num=Odd())
    with journal.attach(root, str(path)):
        root.add_task(id="t1", seq_num=1)
        root.add_task(id="t2", seq_num=Odd())
    unknown, damage, nodes = recovered_in_child(path)
    assert damage is None and nodes == 3
    assert ("job", "seq_num", "Odd()") in unknown
    assert ("t2", "seq_num", "Odd()") in unknown
    assert not [u for u in unknown if u[0] == "t1"]

    # an exception of a class that is not rebuilt, in the very first record
    path = tmp_path / "error_root.jsonl"
    with journal.attach(Campaign(id="job", seq_num=LocalError("x")), str(path)):
        pass
    unknown, damage, _ = recovered_in_child(path)
    assert damage is None
    assert set(unknown) == {("job", "seq_num", "%s.LocalError('x',)" % __name__)}


# --- reading never imports ------------------------------------------------------------------

def test_an_exception_class_outside_builtins_is_kept_as_text_and_never_imported(tmp_path):
    (tmp_path / "planted.py").write_text(
        "import pathlib\npathlib.Path('ran').write_text('yes')\n"
        "class Boom(Exception):\n    pass\n")
    path = forge(tmp_path / "journal.jsonl", ROOT,
                 '["=",0,"extra",{"a":{"$e":"planted.Boom","a":["x"]},'
                 '"b":{"$e":"builtins.KeyError","a":["k"]},'
                 '"c":{"$e":"builtins.print","a":["y"]}}]', '["end"]')
    child = run_child("""
        import sys
        from korvo.reporter import journal
        found = journal.recover_journal(sys.argv[1])
        extra = found.campaign.extra
        print(repr((extra["a"], type(extra["b"]).__name__, extra["b"].args, extra["c"],
                    found.unknown)))
    """, path, cwd=tmp_path)
    assert child.returncode == 0, child.stderr
    assert not (tmp_path / "ran").exists()
    a, b_type, b_args, c, unknown = ast.literal_eval(child.stdout)
    assert (a, b_type, b_args, c) == ("planted.Boom('x',)", "KeyError", ("k",), "builtins.print('y',)")
    assert set(unknown) == {("job", "extra", a), ("job", "extra", c)}

    # python -m puts the current directory first on sys.path
    summary = subprocess.run([sys.executable, "-m", "korvo.reporter", "summary", "journal.jsonl"],
                             capture_output=True, text=True, cwd=tmp_path, timeout=120)
    assert summary.returncode == 5, summary.stderr  # a job that counted nothing
    assert not (tmp_path / "ran").exists()


# --- hostile shapes: deep, cyclic, long, endless --------------------------------------------

@pytest.mark.parametrize("opening, closing", [("[", "]"), ('{"k":', "}"), ('{"$tu":[', "]}"),
                                              ('{"$m":[["k",', "]]}")])
def test_values_nested_30000_deep_are_damage_not_a_crash(tmp_path, opening, closing):
    deep = opening * 30000 + "1" + closing * 30000
    path = forge(tmp_path / "deep.jsonl", ROOT, '["=",0,"extra",%s]' % deep, '["end"]')
    done = recover_command(path, tmp_path / "out")
    assert done.returncode == 3, done.stderr
    assert one_line(done.stderr) and "line 3" in done.stderr and "recursion" in done.stderr


@pytest.mark.parametrize("sections", ['[{"$n":2}]', '[{"$n":0},{"$n":1},{"$n":2}]'])
def test_a_node_listed_below_itself_is_aborted_once(tmp_path, sections):
    path = forge(tmp_path / "cycle.jsonl", ROOT, '["=",0,"starttime",%s]' % START,
                 '["+",1,0,"tasks","Task","t",1,null]', '["=",1,"starttime",%s]' % START,
                 '["+",2,1,"sections","Section","s",1,null]',
                 '["=",2,"starttime",%s,"sections",%s]' % (START, sections))
    child = run_child("""
        import sys
        from korvo.reporter import journal
        found = journal.recover_journal(sys.argv[1])
        print([n.id for n in found.aborted], found.campaign.tasks[0].sections[0].details)
    """, path, timeout=60)
    assert child.returncode == 0, child.stderr
    assert child.stdout == "['s', 't', 'job'] ['%s']\n" % journal.ABORTED_DETAIL


def chain_journal(path, depth, stopped_at):
    """Campaign, Task and nested sections down to `depth` nodes, each started a second after
    its parent; the deepest stops at `stopped_at`, the rest stay open."""
    records = [ROOT, '["=",0,"starttime",%s]' % START]
    for n in range(1, depth):
        records.append('["+",%d,%d,"%s","%s","s%d",%d,null]'
                       % (n, n - 1, "tasks" if n == 1 else "sections",
                          "Task" if n == 1 else "Section", n, n))
        records.append('["=",%d,"starttime",{"$T":"2024-05-01 %02d:%02d:%02d"}]'
                       % (n, 10 + n // 3600, n // 60 % 60, n % 60))
    records.append('["=",%d,"stoptime",{"$T":"%s"},"result",{"$k":"Failed"}]'
                   % (depth - 1, stopped_at))
    records.append('["s",%d]' % (depth - 1))
    return forge(path, *records)


def test_each_open_node_of_a_deep_chain_stops_at_the_last_moment_below_it(tmp_path):
    depth = 4000
    found = journal.recover_journal(str(chain_journal(tmp_path / "chain.jsonl", depth,
                                                      "2024-05-02 00:00:00")))
    assert len(found.aborted) == depth - 1
    assert {str(n.stoptime) for n in found.aborted} == {"2024-05-02 00:00:00"}
    assert found.aborted[0].id == "s%d" % (depth - 2) and found.aborted[-1] is found.campaign


def test_a_chain_aborted_at_once_ends_as_when_each_node_is_aborted_alone(tmp_path):
    path = chain_journal(tmp_path / "chain.jsonl", 60, "2024-05-01 11:00:00")
    together = journal.recover_journal(str(path))
    alone = campaign._journal_replay(str(path))
    for node in reversed(alone["open"]):  # each roll_up climbs the whole chain
        campaign._journal_abort([node], journal.ABORTED_DETAIL)
    assert together.campaign.dump_yaml() == alone["root"].dump_yaml()


@pytest.mark.skipif(UNDER_ASAN, reason="AddressSanitizer reserves more address space than the cap")
def test_shared_values_that_would_be_written_out_without_end_are_refused(tmp_path):
    # each list holds the one before it twice: 2**40 items to write from 1 kB
    doubling = ['"a0":[1]'] + ['"a%d":[{"$r":%d},{"$r":%d}]' % (k, k, k) for k in range(1, 40)]
    path = forge(tmp_path / "doubling.jsonl", ROOT,
                 '["=",0,"extra",{%s}]' % ",".join(doubling), '["end"]')
    done = recover_command(path, tmp_path / "out", timeout=120)
    assert done.returncode == 2 and one_line(done.stderr) and "shared" in done.stderr
    with pytest.raises(LoadError):
        load(str(path))
    # sharing as jobs use it stays: one list in a thousand places
    path = forge(tmp_path / "shared.jsonl", ROOT,
                 '["=",0,"extra",{"p":[%s],"q":[%s]}]'
                 % (",".join(['"x"'] * 100), ",".join(['{"$r":1}'] * 1000)), '["end"]')
    extra = journal.recover(str(path)).extra
    assert len(extra["q"]) == 1000 and extra["q"][0] is extra["q"][999] is extra["p"]


@pytest.mark.skipif(UNDER_ASAN, reason="AddressSanitizer reserves more address space than the cap")
def test_an_endless_line_under_a_memory_cap_ends_with_one_line(tmp_path):
    path = forge(tmp_path / "endless.jsonl", ROOT)
    with open(path, "ab") as f:  # 3 GiB of one line that never ends, held sparsely
        f.write(b'[["=",0,"extra",["')
        f.truncate(3 << 30)
    done = run_child("""
        import resource, sys
        from korvo.reporter.cli import main
        from korvo.reporter import journal, scribe  # everything recover needs, before the cap
        resource.setrlimit(resource.RLIMIT_AS, (512 << 20, 512 << 20))
        sys.exit(main(["recover", sys.argv[1], sys.argv[2]]))
    """, path, tmp_path / "out")
    assert done.returncode in (2, 3), done.stderr
    assert one_line(done.stderr) and "endless.jsonl" in done.stderr


def test_a_journal_beyond_the_size_cap_is_refused_before_it_is_read(tmp_path):
    path = forge(tmp_path / "huge.jsonl", ROOT)
    with open(path, "ab") as f:
        f.truncate((16 << 30) + 1)
    done = recover_command(path, tmp_path / "out")
    assert done.returncode == 2 and one_line(done.stderr) and "16 GiB" in done.stderr


def test_only_regular_files_are_read(tmp_path):
    fifo = tmp_path / "fifo.jsonl"
    os.mkfifo(fifo)
    for target in (fifo, tmp_path):
        done = recover_command(target, tmp_path / "out", timeout=60)
        assert done.returncode == 2 and one_line(done.stderr), done.stderr
        assert "not a regular file" in done.stderr


# --- every failure is one line --------------------------------------------------------------

def forged_trees(tmp_path):
    """Journals whose records apply but whose trees cannot be stopped as written."""
    yield forge(tmp_path / "details.jsonl", ROOT,
                '["=",0,"starttime",%s,"details",7]' % START)
    yield forge(tmp_path / "start.jsonl", ROOT,
                '["+",1,0,"tasks","Task","t",1,null]',
                '["=",1,"starttime",%s,"sections",5]' % START)


def test_forged_journals_raise_load_error_and_recover_exits_with_one_line(tmp_path, capsys):
    for path in forged_trees(tmp_path):
        with pytest.raises(LoadError) as caught:
            load(str(path))
        assert "\n" not in str(caught.value)
        code = main(["recover", str(path), str(tmp_path / "out")])
        err = capsys.readouterr().err
        assert code in (2, 3) and one_line(err), (path.name, err)


def test_recover_refuses_trees_it_cannot_write_in_one_line(tmp_path, capsys):
    task_root = forge(tmp_path / "task_root.jsonl", '["+",0,null,null,"Task","t",0,null]')
    tuple_ids = forge(tmp_path / "tuple_ids.jsonl",
                      '["+",0,null,null,"Campaign",{"$tu":[1]},0,null]',
                      '["+",1,0,"tasks","Task",5,1,null]')
    for path in (task_root, tuple_ids):
        assert main(["recover", str(path), str(tmp_path / "out")]) == 2
        err = capsys.readouterr().err
        assert one_line(err) and path.name in err, err

    # line breaks in the path and in what the journal kept stay escaped
    path = forge(tmp_path / "two\nlines.jsonl", ROOT, '["=",0,"extra",{"x":{"$?":"a\\nb\\udc80"}}]')
    assert main(["recover", str(path), str(tmp_path / "out")]) == 0
    captured = capsys.readouterr()
    assert one_line(captured.out) and "two\\nlines" in captured.out
    assert one_line(captured.err) and captured.err.endswith("a\\nb\\udc80\n")


def test_a_date_time_is_read_only_in_the_spelling_the_writer_gives_it(tmp_path):
    for n, text in enumerate(["2024x05x01 10:00:00", "2024-05-01T10:00:00",
                              "2024-05-01 10:00:00.000000", "2024-05-01 10:00:00-00:00",
                              "2024-05-01 10:00:00+01:00:00", "2024-05-01 10:00:00+01:75",
                              "2024-05-01 10:00:00.5", "2024-13-01 10:00:00"]):
        path = forge(tmp_path / ("d%d.jsonl" % n), ROOT,
                     '["=",0,"extra",{"when":{"$T":"%s"}}]' % text, '["end"]')
        found = journal.recover_journal(str(path))
        assert found.damage is not None and found.damage[0] == 3, text
    path = forge(tmp_path / "good.jsonl", ROOT,
                 '["=",0,"extra",{"b":{"$T":"2024-05-01 10:00:00.000500+01:30:07.000001"},'
                 '"c":{"$D":"2024-02-29"}}]')
    found = journal.recover_journal(str(path))
    assert found.damage is None
    assert str(found.campaign.extra["b"]) == "2024-05-01 10:00:00.000500+01:30:07.000001"
    assert str(found.campaign.extra["c"]) == "2024-02-29"


# --- the abort uses the model's rules -------------------------------------------------------

def test_an_aborted_task_keeps_the_base_name_its_stop_would_give(tmp_path):
    for n, logfile in enumerate([b"/runs/7/TaskLog.bin", "/runs/7/TaskLog.txt", "plain"]):
        path = tmp_path / ("logs%d.jsonl" % n)
        live = Campaign(id="job", seq_num=0)
        with journal.attach(live, str(path)):
            task = live.add_task(id="t", seq_num=1)
            task.start()
            task.logfile = logfile
        found = journal.recover_journal(str(path))
        task.stop()
        assert found.campaign.tasks[0].logfile == task.logfile, logfile


# --- Ctrl-C ---------------------------------------------------------------------------------

def test_replay_stops_at_a_signal_while_it_reads(tmp_path):
    records = [ROOT] + ['["=",0,"extra",{"k%d":[%s]}]' % (n, ",".join(["1.5"] * 2000))
                        for n in range(3000)]
    path = forge(tmp_path / "big.jsonl", *records)
    child = run_child("""
        import os, signal, sys
        from korvo.reporter import campaign

        class Stop(Exception):
            pass

        def open_files():
            for fd in os.listdir("/proc/self/fd"):
                try:
                    yield os.readlink("/proc/self/fd/" + fd)
                except OSError:  # the directory's own descriptor, closed by now
                    pass

        def handler(*_):
            # the journal is still open while the replay is reading it
            raise Stop(sys.argv[1] in set(open_files()))

        signal.signal(signal.SIGALRM, handler)
        signal.setitimer(signal.ITIMER_REAL, 0.05)
        try:
            campaign._journal_replay(sys.argv[1])
        except Stop as stop:
            print("stopped inside" if stop.args[0] else "stopped after")
    """, path)
    assert child.returncode == 0, child.stderr
    assert child.stdout == "stopped inside\n"


# --- fuzzing: mutated journals whose checksum chain is forged again -------------------------

FUZZ_CHILD = r"""
import os, random, sys, zlib
from korvo.reporter import load
from korvo.reporter.loading import LoadError

TOKENS = [b'{"$n":0}', b'{"$n":1}', b'{"$r":0}', b'{"$u":0,"v":[1]}', b'{"$u":1,"v":{}}',
          b'{"$e":"builtins.ValueError","a":[1]}', b'{"$e":"os.Boom","a":[]}',
          b'{"$T":"2024-05-01 10:00:00"}', b'{"$D":"2024-02-30"}', b'{"$tu":[', b'[[[[',
          b'{"$?":"x"}', b'"sections"', b'"tasks"', b'"starttime"', b'"details"', b'null',
          b'-1', b'9999999999999999999', b'{"$c":[["Passed",1]],"w":1.0}', b'{"$k":"Passed"}',
          b'{"$k":"os"}', b'{"$t":"Failed","r":1}', b'{"$i":"0x1"}', b'{"$b":"zz"}',
          b'{"$f":"nan"}', b'{"$a":{}}', b'{"$m":[[1,2]]}', b'"\\udc80"', b'["s",0]',
          b'["+",9,0,"tasks","Task","x",1,null]', b'["-",0,"tasks"]', b'["end"]', b'1e999']


def forge_again(data):
    lines = data.split(b"\n")
    crc = 0
    out = []
    for n, line in enumerate(lines):
        if n == 0:
            body, close = line[:-11], b"}"
        elif line:
            body, close = line[:-10] if line.endswith(b'"]') else line, b"]"
        else:
            out.append(line)
            continue
        crc = zlib.crc32(body, crc)
        out.append(body + b'"%08x"' % crc + close)
    return b"\n".join(out)


def mutate(rng, data):
    lines = data.split(b"\n")
    for _ in range(rng.randint(1, 3)):
        n = rng.randrange(1, len(lines))
        line = lines[n]
        at = rng.randrange(len(line) + 1)
        kind = rng.randrange(6)
        if kind == 0:
            line = line[:at] + bytes([rng.choice(b'[]{}",:0123456789$\\-.eEntfu\x00\xff')]) + line[at + 1:]
        elif kind == 1:
            line = line[:at] + line[at + rng.randint(1, 20):]
        elif kind == 2:
            line = line[:at] + line[at:at + rng.randint(1, 40)] + line[at:]
        elif kind == 3:
            line = line[:at] + rng.choice(TOKENS) + line[at:]
        elif kind == 4:
            m = rng.randrange(1, len(lines))
            lines[m], line = line, lines[m]
        else:
            lines.insert(n, line)
        lines[n] = line
    data = forge_again(b"\n".join(lines))
    if rng.random() < 0.1:
        data = data[:rng.randrange(len(data))]
    return data


seeds = [open(p, "rb").read() for p in sys.argv[3:]]
rng = random.Random(int(sys.argv[2]))
path = os.path.join(sys.argv[1], "mutated.jsonl")
outcomes = {"tree": 0, "LoadError": 0}
for i in range(int(os.environ["FUZZ_INPUTS"])):
    data = mutate(rng, rng.choice(seeds))
    with open(path, "wb") as f:
        f.write(data)
    try:
        load(path)
        outcomes["tree"] += 1
    except LoadError as exc:
        assert "\n" not in str(exc), (str(exc), data)
        outcomes["LoadError"] += 1
    except BaseException as exc:
        with open(os.path.join(sys.argv[1], "failed.jsonl"), "wb") as f:
            f.write(data)
        raise
print(outcomes)
"""


def fuzz_seeds(tmp_path):
    """A small demo job's journal, and one holding every kind of value the journal keeps."""
    demo = tmp_path / "demo.jsonl"
    assert main(["demo", str(tmp_path / "demo"), "--tasks", "1", "--testcases", "2",
                 "--sections", "1", "--steps", "1", "--journal", str(demo)]) == 0
    values = tmp_path / "values.jsonl"
    root = Campaign(id="job", seq_num=0)
    with journal.attach(root, str(values)):
        shared = [1, "two"]
        task = root.add_task(id="t", seq_num=1)
        task.start()
        section = task.add_section(id="s", seq_num=1)
        section.start()
        section.update_extra({"l": shared, "again": shared, 5: b"\x00\xff", (1, 2): 2 ** 80,
                              "f": float("nan"), "d": datetime.date(2024, 2, 29),
                              "t": datetime.datetime(2024, 5, 1, 10, tzinfo=datetime.timezone(
                                  datetime.timedelta(hours=-3, seconds=7))),
                              "a": AttrDict(x=1), "e": KeyError("k"), "n": task,
                              "r": results.Failed.clone(reason="why"), "c": task.summary,
                              "o": Odd(), "s": "\udc80\n"})
        shared.append(3)
        section.stop()
    return [demo, values]


def test_mutated_journals_raise_only_load_error(tmp_path):
    seeds = fuzz_seeds(tmp_path)
    inputs = os.environ.get("KORVO_FUZZ_INPUTS") or str(5 * profiles.base_examples())
    child = subprocess.run(
        [sys.executable, "-c", FUZZ_CHILD, str(tmp_path), os.environ.get("KORVO_SEED", "11"),
         *map(str, seeds)], capture_output=True, text=True, timeout=3600,
        env=dict(os.environ, FUZZ_INPUTS=inputs))
    assert child.returncode == 0, (child.stderr[-3000:], (tmp_path / "failed.jsonl"))
    assert child.stdout.startswith("{'tree': ")
