"""The journal's writer when Python code runs under it: values' reprs, threads, fork."""

import subprocess
import sys
import textwrap
import threading

import pytest

from korvo.reporter import journal
from korvo.reporter.campaign import Campaign


@pytest.fixture
def job(tmp_path, clock):
    root = Campaign(id="job", seq_num=0)
    root.start()
    return root, tmp_path / "journal.jsonl"


def recovered(path):
    found = journal.recover_journal(str(path))
    assert found.damage is None and found.closed
    return found


# --- Python code run while a record is built ---------------------------------------------

class Meddler:
    """A value whose repr (run while the journal writes it) changes the tree."""

    def __init__(self, meddle, times=1):
        self.meddle, self.times = meddle, times

    def __repr__(self):
        if self.times:
            self.times -= 1
            self.meddle()
        return "Meddler()"


def test_changes_made_while_a_record_is_built_go_into_the_next(job):
    root, path = job
    with journal.attach(root, str(path)):
        task = root.add_task(id="t1", seq_num=1)
        root.update_extra({"x": Meddler(lambda: setattr(root, "note", "from repr"))})
        task.update_extra({"y": Meddler(lambda: task.add_section(id="s1", seq_num=1))})
        # one that changes the very value it is written in, every time it is written
        count = iter(range(1000))
        task.update_extra({"z": Meddler(lambda: task.update_extra({"n": next(count)}), 1000)})
        root.later = 5
    lines = path.read_text().splitlines()
    assert len(lines) < 20
    got = recovered(path).campaign
    assert (got.note, got.later, got.extra["x"]) == ("from repr", 5, "Meddler()")
    assert [s.id for s in got.tasks[0].sections] == ["s1"]


def test_changes_made_while_attach_reads_the_tree_are_kept(job):
    root, path = job
    root.update_extra({"x": Meddler(lambda: setattr(root, "note", "from repr"))})
    with journal.attach(root, str(path)):
        pass
    assert recovered(path).campaign.note == "from repr"


@pytest.mark.parametrize("error", [KeyboardInterrupt, SystemExit, MemoryError])
def test_interruptions_in_a_repr_reach_the_caller_and_lose_nothing(job, error):
    root, path = job

    def interrupt():
        raise error

    with journal.attach(root, str(path)):
        shared = [1, 2]
        with pytest.raises(error):
            root.update({"host": "kept", "x": Meddler(interrupt), "shared": shared})
        shared.append(3)
        root.later = shared
        root.bad = Meddler(lambda: 1 / 0)  # an ordinary failure is recorded as such
    text = path.read_text()
    assert error.__name__ not in text and "ZeroDivisionError" in text
    got = recovered(path).campaign
    assert got.host == "kept"
    assert got.extra["x"] == "Meddler()"
    assert got.extra["shared"] == [1, 2, 3] and got.later is got.extra["shared"]


def test_a_journal_cannot_be_closed_by_a_value_it_writes(job):
    root, path = job
    refused = []

    def close():
        try:
            handle.close()
        except RuntimeError as exc:
            refused.append(exc)

    with journal.attach(root, str(path)) as handle:
        root.update_extra({"x": Meddler(close)})
        root.stop(num_tasks=0)
    assert len(refused) == 1
    assert recovered(path).campaign.stoptime == root.stoptime


# --- threads ------------------------------------------------------------------------------

def test_another_threads_operation_is_written_at_once(tmp_path, clock):
    inside, release = threading.Event(), threading.Event()

    class Waiting(Campaign):
        def update_extra(self, data):
            super().update_extra(data)
            inside.set()
            release.wait(10)

    slow, other = Waiting(id="slow", seq_num=0), Campaign(id="other", seq_num=0)
    slow_path, other_path = tmp_path / "slow.jsonl", tmp_path / "other.jsonl"
    with journal.attach(slow, str(slow_path)), journal.attach(other, str(other_path)):
        worker = threading.Thread(target=slow.update, args=({"k": "half"},))
        worker.start()
        try:
            assert inside.wait(10)
            other.note = "at once"
            assert "at once" in other_path.read_text()
            # the waiting operation's record is not cut in two
            assert "half" not in slow_path.read_text()
        finally:
            release.set()
            worker.join()
        assert "half" in slow_path.read_text()
    assert recovered(slow_path).campaign.extra == {"k": "half"}


# --- fork ---------------------------------------------------------------------------------

# A job journaled in `durability`; a forked child changes the tree and ends either through
# the interpreter's exit (atexit runs) or os._exit, after opening a journal of its own.
FORKING = textwrap.dedent(r"""
    import os, sys, time
    from korvo.reporter import journal
    from korvo.reporter.campaign import Campaign

    path, durability, ending = sys.argv[1:]
    root = Campaign(id="job", seq_num=0)
    root.start()
    handle = journal.attach(root, path, durability=durability)
    task = root.add_task(id="t1", seq_num=1)
    task.start()
    child = os.fork()
    if child == 0:
        task.note = "child"
        time.sleep(0.3)  # longer than batch mode's flush period
        own = Campaign(id="child", seq_num=0)
        with journal.attach(own, path + ".child"):
            own.start()
        if ending == "exit":
            handle.close()
            sys.exit(0)
        os._exit(0)
    _, status = os.waitpid(child, 0)
    task.note = "parent"
    task.stop()
    root.stop(num_tasks=1)
    handle.close()
    sys.exit(status)
""")


@pytest.mark.parametrize("ending", ["exit", "_exit"])
@pytest.mark.parametrize("durability", ["flush", "batch"])
def test_a_forked_child_leaves_the_parents_journal_alone(tmp_path, durability, ending):
    path = tmp_path / "journal.jsonl"
    done = subprocess.run([sys.executable, "-c", FORKING, str(path), durability, ending],
                          capture_output=True, timeout=60)
    assert done.returncode == 0, done.stderr.decode()
    assert "child" not in path.read_text()
    found = recovered(path)
    assert found.aborted == []
    assert found.campaign.tasks[0].note == "parent"
    assert recovered(str(path) + ".child").campaign.id == "child"


# A child forked by a value's repr while the parent's record is built (at attach, or in an
# operation): the child finishes building that record (its repr returns) and goes on,
# optionally attaching a journal of its own first, which lets the parent's go.
FORKED_MID_RECORD = textwrap.dedent(r"""
    import os, sys
    from korvo.reporter import journal
    from korvo.reporter.campaign import Campaign

    path, durability, attach_first, when = sys.argv[1:]
    parent = os.getpid()

    class Forker:
        def __repr__(self):
            if os.fork() == 0 and attach_first == "yes":
                with journal.attach(Campaign(id="child", seq_num=0), path + ".child"):
                    pass
            return "Forker()"

    root = Campaign(id="job", seq_num=0)
    if when == "attach":
        root.update_extra({"f": Forker()})
    handle = journal.attach(root, path, durability=durability)
    if when == "operation":
        root.update_extra({"f": Forker()})
    if os.getpid() != parent:
        os._exit(0)
    _, status = os.wait()
    root.update({"cli": "parent"})
    handle.close()
    sys.exit(status and "the child ended with status %d" % status)
""")


@pytest.mark.parametrize("when", ["attach", "operation"])
@pytest.mark.parametrize("attach_first", ["yes", "no"])
@pytest.mark.parametrize("durability", ["flush", "batch"])
def test_a_child_forked_while_a_record_is_built_writes_none_of_it(tmp_path, durability,
                                                                   attach_first, when):
    path = tmp_path / "journal.jsonl"
    done = subprocess.run([sys.executable, "-c", FORKED_MID_RECORD, str(path), durability,
                           attach_first, when], capture_output=True, timeout=60)
    assert done.returncode == 0, done.stderr.decode()
    assert path.read_text().count("Forker()") == 1
    found = recovered(path)
    assert found.campaign.extra == {"f": "Forker()"} and found.campaign.cli == "parent"
