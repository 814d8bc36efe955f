"""Flush mode appends through a shared mapping of the journal, grown a chunk ahead of its
records: how recover, load and the live follower take the zeros not written yet, the file's
length while the journal is open and once it ends, and a file that cannot grow."""

import errno
import os
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
    # and so are zeros running on past the longest line a writer could have reserved room for
    with open(path, "wb") as out:
        out.write(kept + holed(lines[n]))
        out.truncate(len(kept) + len(lines[n]) + (1 << 30) + 2)  # sparse
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


def test_a_journal_that_cannot_grow_fails_the_call_and_keeps_every_earlier_one(
        tmp_path, file_size_limit):
    # As on a full disk: the growth that would pass 3 MiB fails with EFBIG, the call that
    # needed it raises OSError, and no store ever faults.
    path = tmp_path / "journal.jsonl"
    root = Campaign(id="job", seq_num=0)
    handle = journal.attach(root, str(path))
    root.start()
    file_size_limit(3 << 20)
    done = 0
    with pytest.raises(OSError) as failed:
        for i in range(1000):
            root.update({"cli": "%d:%s" % (i, "x" * 10000)})
            done = i + 1
    assert failed.value.errno == errno.EFBIG and 100 < done < 1000
    with pytest.raises(OSError) as closing:
        handle.close()  # the failure again, and no end record
    assert closing.value.errno == errno.EFBIG
    file_size_limit(None)
    assert b"\0" not in path.read_bytes()  # cut to its records all the same
    found = journal.recover_journal(str(path))
    assert found.damage is None and not found.closed
    assert found.campaign.cli.startswith("%d:" % (done - 1))


# A job whose address space is capped (a little below what it uses once the journal is
# mapped, or a little above what it uses before) from the attach on or from a moment after
# it, so that mapping the file fails first thing or at its first growth: the journal goes on
# with write(2), and says whether the file is still mapped.
UNMAPPABLE = textwrap.dedent(r"""
    import resource, sys
    from korvo.reporter import journal
    from korvo.reporter.campaign import Campaign

    def vm_size():
        with open("/proc/self/status") as status:
            return next(int(l.split()[1]) << 10 for l in status if l.startswith("VmSize:"))

    def mapped(path):
        with open("/proc/self/maps") as maps:
            return any(l.rstrip().endswith(path) for l in maps)

    path, when = sys.argv[1:]
    texts = ["a" * 20000, "b" * 20000]
    warm = Campaign(id="warm", seq_num=0)  # what a record needs, allocated before the cap
    with journal.attach(warm, path + ".warm"):
        for text in texts:
            warm.update({"cli": text})
    cap = lambda margin: resource.setrlimit(
        resource.RLIMIT_AS, (vm_size() + margin, resource.RLIM_INFINITY))
    root = Campaign(id="job", seq_num=0)
    if when == "attach":
        cap(512 << 10)
    handle = journal.attach(root, path)
    print(mapped(path))
    if when == "growth":
        cap(-512 << 10)
    root.start()
    for i in range(200):  # 4 MB: the mapping's window is 1 MiB
        root.update({"cli": texts[i % 2]})
    print(mapped(path))
    resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
    handle.close()
""")


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="the sanitizer's runtime does not run under an address space cap")
def test_a_journal_that_cannot_be_mapped_is_written_with_write_calls(tmp_path):
    lines = None
    for when in ("attach", "growth", "never"):
        path = tmp_path / ("%s.jsonl" % when)
        child = subprocess.run([sys.executable, "-c", UNMAPPABLE, str(path), when],
                               capture_output=True, text=True, timeout=120)
        assert child.returncode == 0, child.stderr
        assert child.stdout.split() == {"attach": ["False", "False"], "growth": ["True", "False"],
                                        "never": ["True", "True"]}[when]
        data = path.read_bytes()
        assert b"\0" not in data
        found = journal.recover_journal(str(path))
        assert found.closed and found.damage is None and found.campaign.cli == "b" * 20000
        assert lines is None or data.count(b"\n") == lines  # every record, whichever way
        lines = data.count(b"\n")
