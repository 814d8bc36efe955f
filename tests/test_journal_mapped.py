"""Flush mode appends through a shared mapping of the journal, grown a chunk ahead of its
records: how recover, load and the live follower take the zeros not written yet, the file's
length while the journal is open and once it ends, and a file that cannot grow."""

import errno
import subprocess
import sys
import textwrap

import pytest

from korvo.reporter import campaign as _campaign
from korvo.reporter import journal, load
from korvo.reporter.campaign import Campaign
from korvo.reporter.demo import Plan, build

CHUNK = 1 << 20


@pytest.fixture(scope="module")
def lines(tmp_path_factory):
    """The lines of a whole journal."""
    outdir = tmp_path_factory.mktemp("whole")
    path = outdir / "whole.jsonl"
    build(Plan(tasks=2, testcases=3, sections=2, steps=3, fail_rate=0.5, seed=4), str(outdir),
          journal=str(path))
    return path.read_bytes().splitlines(keepends=True)


def holed(line):
    """A line as a read racing its writer may see it: zeros in place of most of its bytes,
    though its line break is there."""
    return line[:5] + b"\0" * (len(line) - 15) + line[-10:]


def events(follower):
    return [(event, None if node is None else str(node.fullid)) for event, node in follower.poll()]


def test_zeros_after_the_last_record_are_not_written_yet_for_recover_and_load(lines, tmp_path):
    for n in (2, len(lines) // 3, len(lines) - 2):
        kept = b"".join(lines[:n])
        plain = tmp_path / ("plain%d.jsonl" % n)
        plain.write_bytes(kept)
        expected = journal.recover_journal(str(plain))
        for tail in (b"", lines[n][:len(lines[n]) // 2], holed(lines[n])):
            path = tmp_path / "zeros.jsonl"
            path.write_bytes(kept + tail + b"\0" * CHUNK)
            found = journal.recover_journal(str(path))
            assert found.damage is None, (n, tail)
            assert found.campaign.dump_yaml() == expected.campaign.dump_yaml()
            assert [a.fullid for a in found.aborted] == [a.fullid for a in expected.aborted]
            assert load(str(path)).dump_yaml() == expected.campaign.dump_yaml()
        # before more records, a line with zeros in it is damage
        path.write_bytes(kept + holed(lines[n]) + b"".join(lines[n + 1:]))
        assert journal.recover_journal(str(path)).damage[:1] == (n + 1,)


def test_the_follower_waits_at_zeros_until_the_writer_fills_them(lines, tmp_path):
    whole = tmp_path / "whole.jsonl"
    whole.write_bytes(b"".join(lines))
    once = events(_campaign._JournalFollower(str(whole)))

    path = tmp_path / "live.jsonl"
    written = len(lines[0]) + len(lines[1])
    path.write_bytes(b"".join(lines[:2]) + b"\0" * (len(whole.read_bytes()) + CHUNK))
    follower = _campaign._JournalFollower(str(path))
    seen = events(follower)
    with open(path, "r+b", buffering=0) as out:
        for line in lines[2:]:
            assert follower.damage is None
            # the file's growth is the records', not the zeros'
            assert follower.file_size() == follower.bytes_read == written
            for step in (line[:7], holed(line), line):  # torn, seen mid-store, whole
                out.seek(written)
                out.write(step)
                seen += events(follower)
            written += len(line)
        out.truncate(written)  # as the journal's close does
    seen += events(follower)
    assert seen == once
    assert follower.closed and follower.damage is None and follower.file_size() == written


@pytest.mark.parametrize("durability", ["flush", "fsync"])
def test_an_open_journal_runs_a_chunk_ahead_and_a_closed_one_ends_at_its_last_record(
        tmp_path, durability):
    path = tmp_path / "journal.jsonl"
    root = Campaign(id="job", seq_num=0)
    with journal.attach(root, str(path), durability=durability):
        root.start()
        task = root.add_task(id="t1", seq_num=1)
        task.start()
        task.update_extra({"big": "x" * (3 * CHUNK)})  # a record longer than a chunk
        data = path.read_bytes()
        written = data.rstrip(b"\0")
        assert written.endswith(b"]\n")
        ahead = len(data) - len(written)
        assert 0 < ahead <= CHUNK + 4096 if durability == "flush" else ahead == 0
        follower = _campaign._JournalFollower(str(path))
        follower.poll()
        assert follower.file_size() == len(written) and follower.damage is None
        assert journal.recover(str(path)).tasks[0].extra["big"] == task.extra["big"]
        task.stop()
        root.stop(num_tasks=1)
    data = path.read_bytes()
    assert b"\0" not in data and data.endswith(b"\n")
    assert data.splitlines()[-1].startswith(b'[["end"],')
    assert journal.recover_journal(str(path)).closed


# A job whose journal may not grow past 3 MiB: the growth that would pass it fails with
# EFBIG, as on a full disk. The call that needed it raises OSError; no store faults.
LIMITED = textwrap.dedent(r"""
    import resource, signal, sys
    from korvo.reporter import journal
    from korvo.reporter.campaign import Campaign

    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    resource.setrlimit(resource.RLIMIT_FSIZE, (3 << 20, 3 << 20))
    root = Campaign(id="job", seq_num=0)
    handle = journal.attach(root, sys.argv[1])
    root.start()
    done = 0
    try:
        for i in range(1000):
            root.update({"cli": "%d:%s" % (i, "x" * 10000)})
            done = i + 1
    except OSError as exc:
        print(exc.errno, done)
    try:
        handle.close()
    except OSError as exc:
        print(exc.errno)
""")


def test_a_journal_that_cannot_grow_fails_the_call_and_keeps_every_earlier_one(tmp_path):
    path = tmp_path / "journal.jsonl"
    child = subprocess.run([sys.executable, "-c", LIMITED, str(path)], capture_output=True,
                           text=True, timeout=120)
    assert child.returncode == 0, child.stderr
    failed, closing = child.stdout.splitlines()
    code, done = map(int, failed.split())
    assert code == errno.EFBIG and int(closing) == errno.EFBIG and 100 < done < 1000
    data = path.read_bytes()
    assert b"\0" not in data  # cut to its records when closed, though the end is missing
    found = journal.recover_journal(str(path))
    assert found.damage is None and not found.closed
    assert found.campaign.cli.startswith("%d:" % (done - 1))
