"""Recovery after a kill, a torn or damaged journal, and the recover command."""

import datetime
import os
import random
import signal
import subprocess
import sys
import time

import pytest

from korvo import results
from korvo.reporter import campaign, journal, load
from korvo.reporter.campaign import Campaign, Plugin, Section, Task
from korvo.reporter.cli import main

# The demo job in a child process, on a clock that advances 0.25 s a call; with a third
# argument K the process SIGKILLs itself inside its K-th start or stop (after the model
# asked for the time, before that operation's record is written).
DRIVER = r"""
import datetime, os, signal, sys
from korvo.reporter import campaign
from korvo.reporter.demo import Plan, build

kill_at = int(sys.argv[3])
state = {"calls": 0, "now": datetime.datetime(2024, 5, 1, 10)}

def clock():
    state["calls"] += 1
    if state["calls"] == kill_at:
        os.kill(os.getpid(), signal.SIGKILL)
    state["now"] += datetime.timedelta(milliseconds=250)
    return state["now"]

campaign.get_time = clock
build(Plan(tasks=2, testcases=3, sections=2, steps=3, fail_rate=0.5, seed=5), sys.argv[1],
      journal=sys.argv[2])
"""


def run_driver(outdir, path, kill_at=0):
    return subprocess.run([sys.executable, "-c", DRIVER, str(outdir), str(path), str(kill_at)],
                          capture_output=True, timeout=120)


def by_path(root):
    """fullid -> node for every node of the tree."""
    out = {}
    stack = [root]
    while stack:
        node = stack.pop()
        out[node.fullid] = node
        stack.extend(node.tasks if isinstance(node, Campaign) else node.sections)
    return out


def own_state(node):
    """A node's attributes without its children, values compared by their text."""
    return sorted((k, repr(v)) for k, v in vars(node).items()
                  if k not in ("_parent", "tasks", "sections"))


def check_against_live(found, live):
    """Every node that stopped before the end has its live state; the rest were aborted."""
    live_nodes = by_path(live)
    aborted = set(map(id, found.aborted))
    assert found.damage is None
    for path, node in by_path(found.campaign).items():
        if id(node) in aborted:
            assert node.details[-1] == journal.ABORTED_DETAIL
            assert node.stoptime is not None and node.stoptime >= node.starttime
            if isinstance(node, (Section, Plugin)):
                assert node.result is results.Aborted
        elif node.stoptime is not None:
            assert own_state(node) == own_state(live_nodes[path]), path
    # the counters were rolled up over what the journal held, aborted nodes included
    for task in found.campaign.tasks:
        if isinstance(task, Task) and task.stoptime is not None:
            counted = sum(n for _, n in task.summary.items())
            assert counted == sum(1 for s in task.sections
                                  if isinstance(s, Section) and s.result is not None)


@pytest.fixture(scope="module")
def live_job(tmp_path_factory):
    """The whole demo job run to its end, and its journal."""
    outdir = tmp_path_factory.mktemp("demo")
    path = outdir / "complete.jsonl"
    done = run_driver(outdir, path)
    assert done.returncode == 0, done.stderr
    return outdir, path, journal.recover(str(path))


@pytest.mark.parametrize("kill_at", [2, 9, 40, 77, 118, 151, 190])
def test_a_killed_job_is_recovered_up_to_the_kill(live_job, tmp_path, kill_at):
    outdir, _, live = live_job
    path = tmp_path / "killed.jsonl"
    killed = run_driver(outdir, path, kill_at)
    assert killed.returncode == -signal.SIGKILL
    found = journal.recover_journal(str(path))
    assert found.aborted, "the kill fell inside the job"
    assert not found.closed
    check_against_live(found, live)


def clock_token(call):
    """How the journal spells the time the driver's clock gives at its `call`-th call."""
    moment = datetime.datetime(2024, 5, 1, 10) + datetime.timedelta(milliseconds=250 * call)
    return ('"%s"' % moment).encode()


def finished_before(complete, call):
    """The journal's bytes up to the record of the operation that made the `call`-th clock
    call: the records of every operation that had returned by then."""
    at = complete.index(clock_token(call))
    return complete[:complete.rindex(b"\n", 0, at) + 1]


# The driver, telling each clock call on its standard output and pausing a little after it,
# so that a kill from outside lands inside the job at a known earliest point.
TELLING_DRIVER = DRIVER.replace(
    "    state[\"now\"] += datetime.timedelta(milliseconds=250)\n",
    "    print(state[\"calls\"], flush=True)\n"
    "    __import__(\"time\").sleep(0.002)\n"
    "    state[\"now\"] += datetime.timedelta(milliseconds=250)\n")


@pytest.mark.parametrize("killer", ["itself", "outside"])
def test_a_job_killed_anywhere_keeps_every_finished_call_and_then_only_zeros(
        live_job, tmp_path, killer):
    outdir, complete_path, live = live_job
    complete = complete_path.read_bytes()
    calls = max(k for k in range(1, 1000) if clock_token(k) in complete)
    rng = random.Random(int(os.environ.get("KORVO_SEED", 7)) + (killer == "outside"))
    for round_ in range(int(os.environ.get("KORVO_EXAMPLES", 8))):
        path = tmp_path / ("killed%d.jsonl" % round_)
        call = rng.randrange(2, calls)
        if killer == "itself":  # inside the call-th clock call, between records
            assert run_driver(outdir, path, call).returncode == -signal.SIGKILL
        else:  # any time after the job told its call-th clock call, maybe inside a record
            job = subprocess.Popen([sys.executable, "-c", TELLING_DRIVER, str(outdir), str(path),
                                    "0"], stdout=subprocess.PIPE)
            while int(job.stdout.readline()) < call:
                pass
            job.kill()
            job.communicate(timeout=60)
            if job.returncode != -signal.SIGKILL:
                continue  # it ended first
        data = path.read_bytes()
        written = data.rstrip(b"\0")
        assert len(written) < len(data), "flush mode maps the file a chunk ahead"
        records = written[:written.rindex(b"\n") + 1]
        expected = finished_before(complete, call)
        if killer == "itself":
            assert written == expected, call
        else:
            assert complete.startswith(records) and len(records) >= len(expected), call
        found = journal.recover_journal(str(path))
        assert found.damage is None and not found.closed
        check_against_live(found, live)
        assert load(str(path)).dump_yaml() == found.campaign.dump_yaml()


def test_a_journal_cut_anywhere_recovers_everything_before_the_cut(live_job, tmp_path):
    _, complete, live = live_job
    data = complete.read_bytes()
    header = data.index(b"\n") + 1
    first_record = data.index(b"\n", header) + 1
    rng = random.Random(int(os.environ.get("KORVO_SEED", 7)))
    cuts = [first_record, len(data) - 1, len(data)] + [
        rng.randrange(first_record, len(data)) for _ in range(int(os.environ.get("KORVO_EXAMPLES", 40)))]
    for cut in cuts:
        path = tmp_path / ("cut%d.jsonl" % cut)
        path.write_bytes(data[:cut])
        found = journal.recover_journal(str(path))
        check_against_live(found, live)
        assert found.closed == (cut == len(data))


def test_a_finished_demo_job_is_rebuilt_byte_for_byte(tmp_path):
    path = tmp_path / "journal.jsonl"
    assert main(["demo", str(tmp_path / "live"), "--tasks", "2", "--testcases", "3",
                 "--journal", str(path)]) == 0
    assert main(["recover", str(path), str(tmp_path / "back")]) == 0
    for name in ("ResultsDetails.xml", "ResultsSummary.xml", "results.json", "results.yaml"):
        live = (tmp_path / "live" / name).read_bytes()
        assert (tmp_path / "back" / name).read_bytes() == live, name


def damaged_copy(complete, tmp_path, line):
    lines = complete.read_bytes().split(b"\n")
    lines[line] = lines[line].replace(b'"', b"'", 1)
    path = tmp_path / "damaged.jsonl"
    path.write_bytes(b"\n".join(lines))
    return path


def test_damage_in_the_middle_stops_there_and_says_where(live_job, tmp_path, capsys):
    _, complete, _ = live_job
    path = damaged_copy(complete, tmp_path, 40)
    found = journal.recover_journal(str(path))
    assert found.damage[:1] == (41,) and found.damage[2] == "checksum mismatch"
    assert main(["recover", str(path), str(tmp_path / "out")]) == 3
    captured = capsys.readouterr()
    assert "damaged at line 41" in captured.out and "line 41" in captured.err
    assert (tmp_path / "out" / "results.yaml").exists()


def test_recover_exit_codes_for_killed_and_unusable_journals(live_job, tmp_path, capsys):
    _, complete, _ = live_job
    data = complete.read_bytes()
    killed = tmp_path / "killed.jsonl"
    killed.write_bytes(data[: len(data) // 2])
    assert main(["recover", str(killed), str(tmp_path / "out")]) == 1
    assert "aborted by recovery" in capsys.readouterr().out

    not_journal = tmp_path / "results.json"
    not_journal.write_text('{"version": "3.0"}\n')
    assert main(["recover", str(not_journal), str(tmp_path / "out2")]) == 2
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and "not a korvo-reporter journal" in err
    assert main(["recover", str(tmp_path / "missing"), str(tmp_path / "out3")]) == 2


class Gadget:
    def __repr__(self):
        return "Gadget(7)"


def test_values_of_unknown_types_come_back_as_their_text(tmp_path, capsys):
    root = Campaign(id="job", seq_num=0)
    path = tmp_path / "journal.jsonl"
    with journal.attach(root, str(path)) as j:
        root.update_extra({"tool": Gadget()})
        assert j.unknown_values == 1
    found = journal.recover_journal(str(path))
    assert found.campaign.extra == {"tool": "Gadget(7)"}
    assert found.unknown == [("job", "extra", "Gadget(7)")]
    main(["recover", str(path), str(tmp_path / "out")])
    assert "job.extra was kept as its text only: Gadget(7)" in capsys.readouterr().err


def test_each_change_is_in_the_file_when_the_call_returns(tmp_path):
    root = Campaign(id="job", seq_num=0)
    path = tmp_path / "journal.jsonl"
    with journal.attach(root, str(path)):
        task = root.add_task(id="t1", seq_num=1)
        sect = task.add_section(id="s1", seq_num=1)
        for step, change in enumerate([lambda: sect.update({"description": "d"}),
                                       lambda: setattr(sect, "result", results.Failed),
                                       lambda: sect.add_detail("x"),
                                       lambda: sect.update_extra({"k": [1]})]):
            change()
            again = journal.recover(str(path))
            assert own_state(by_path(again)["t1.s1"]) == own_state(sect), step
        root.stop()
    # closing leaves the tree alone, and later changes are not recorded
    before = own_state(sect)
    sect.update({"description": "after"})
    assert own_state(journal.recover(str(path)).tasks[0].sections[0]) == before


def test_batch_mode_writes_without_further_calls(tmp_path):
    root = Campaign(id="job", seq_num=0)
    path = tmp_path / "journal.jsonl"
    j = journal.attach(root, str(path), durability="batch")
    try:
        root.update({"cli": "waiting"})
        for _ in range(50):  # the flusher runs every 0.2 s; this waits for it, up to 10 s
            if b"waiting" in path.read_bytes():
                break
            time.sleep(0.2)
        assert b"waiting" in path.read_bytes()
        task = root.add_task(id="t1", seq_num=1)
        task.start()
        task.stop()  # a Task's stop writes at once
        assert journal.recover(str(path)).tasks[0].stoptime == task.stoptime
    finally:
        j.close()


def test_journal_misuse_is_refused(tmp_path):
    root = Campaign(id="job", seq_num=0)
    path = tmp_path / "journal.jsonl"
    path.write_text("old content\n")
    with pytest.raises(FileExistsError):
        journal.attach(root, str(path))
    with pytest.raises(ValueError):
        journal.attach(root, str(tmp_path / "j2"), durability="sometimes")
    with journal.attach(root, str(tmp_path / "j3")):
        with pytest.raises(ValueError):
            journal.attach(root, str(tmp_path / "j4"))
    target = tmp_path / "target"
    target.write_text("keep")
    os.symlink(target, tmp_path / "link")
    with pytest.raises(OSError):
        journal.attach(root, str(tmp_path / "link"))
    assert target.read_text() == "keep"
