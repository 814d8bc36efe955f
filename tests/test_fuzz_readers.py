"""Fuzzing of the readers: results.yaml, results.json and journals, mutated, must load or raise
LoadError, and nothing else: no other exception, no crash, no hang.

The inputs run in batches in child interpreters, so a crash (a signal) or a hang (the batch's
time limit) fails the test with the input that caused it, kept in the test's directory.
Journals are mutated line by line and their checksum chain forged again (zlib.crc32 chained
from line to line, as the writer does), so the damage reaches the replay itself.

The number of inputs follows KORVO_EXAMPLES (three per example, at least 200: a few hundred
in CI and under the sanitizers);
KORVO_FUZZ_INPUTS=N sets it outright, for a long run on demand.
"""

import json
import os
import subprocess
import sys
import textwrap

import pytest

from support import profiles

BATCH = 2000      # inputs per child interpreter
TIME_LIMIT = 600  # seconds per batch; generous for the sanitizer build


def input_count():
    text = os.environ.get("KORVO_FUZZ_INPUTS", "").strip()
    return int(text) if text else max(200, 3 * profiles.base_examples())


CHILD = textwrap.dedent(r'''
    import json, os, random, sys, zlib

    from korvo.reporter import LoadError, load

    seeds_dir, work, first, count, seed = sys.argv[1], sys.argv[2], *map(int, sys.argv[3:6])
    seeds = {}
    for name in sorted(os.listdir(seeds_dir)):
        with open(os.path.join(seeds_dir, name), "rb") as handle:
            seeds[name] = handle.read()

    TOKENS = [b"&a ", b"*a", b"&x [1, 2]", b"!!python/object/apply:os.system ['true']",
              b"!!binary AAAA", b"[", b"]", b"{", b"}", b'"', b"'", b"\n", b"- ", b": ", b"\x00",
              b"\\ud800", b"\\udfff", b"\\u0000", b"\xed\xa0\x80", b"\xff", b"9" * 400,
              b"1e999", b"-1", b"9223372036854775807", b"null", b"true", b"2020-01-01",
              b"2020-13-45 25:61:61", b"type: Section", b'"type": "Task"', b'{"$e": "os.path"}',
              b'{"$?": "x"}', b'{"$r": 99}', b'{"$n": 12345}', b'{"$u": 0, "v": 1}',
              b'{"$c": [["passed", 1e308]], "w": "x"}', b'{"$T": "9999-99-99 99:99:99"}',
              b'{"$i": "0xzz"}', b'{"$m": [[1]]}', b"[" * 3000, b"{" * 3000, b"- " * 2000,
              b'["+",1,0,"tasks","Task","t",1,null]', b'["s",0]', b'["-",0,"id"]', b'["end"]',
              b'"logs"', b'"sections"', b'"tasks"', b'"begin": 9223372036854775807']

    def mutate(rng, data):
        data = bytearray(data)
        for _ in range(rng.randint(1, 4)):
            op = rng.randrange(6)
            at = rng.randrange(len(data) + 1)
            if op == 0 and data:
                data[min(at, len(data) - 1)] = rng.randrange(256)
            elif op == 1:
                del data[at:at + rng.randint(1, 64)]
            elif op == 2:
                start = rng.randrange(len(data) + 1)
                data[at:at] = data[start:start + rng.randint(1, 256)]
            elif op == 3:
                data[at:at] = rng.choice(TOKENS)
            elif op == 4:
                end = at + rng.randint(1, 16)
                data[at:end] = rng.choice(TOKENS)
            else:
                del data[at:]
        return bytes(data)

    def forge(lines, start):
        # the checksum chain written again from line `start` on, as the writer makes it
        chain = 0
        out = []
        for number, line in enumerate(lines):
            if len(line) >= 11 and line[-11:-10] == b'"' and line[-2:-1] == b'"':
                at = len(line) - 11
                if number >= start:
                    line = line[:at + 1] + b"%08x" % zlib.crc32(line[:at], chain) + line[at + 9:]
                chain = int(line[at + 1:at + 9], 16) if line[at + 1:at + 9].isalnum() else 0
            out.append(line)
        return out

    def journal_input(rng, data):
        lines = data.split(b"\n")
        if lines and lines[-1] == b"":
            lines.pop()
        number = rng.randrange(len(lines))
        line = lines[number]
        body, tail = line[:-11], line[-11:]
        lines[number] = mutate(rng, body) + tail
        if rng.random() < 0.3 and len(lines) > 2:  # a record moved or repeated
            lines.insert(rng.randrange(1, len(lines)), lines[rng.randrange(1, len(lines))])
        if rng.random() < 0.9:
            lines = forge(lines, 0)
        return b"\n".join(lines) + b"\n"

    names = sorted(seeds)
    for index in range(first, first + count):
        rng = random.Random(seed * 1000003 + index)
        name = names[index % len(names)]
        data = seeds[name]
        made = journal_input(rng, data) if name.endswith(".jsonl") else mutate(rng, data)
        path = os.path.join(work, "input-" + name)
        with open(path, "wb") as handle:
            handle.write(made)
        with open(os.path.join(work, "current"), "w") as handle:
            handle.write("%d %s" % (index, path))
        try:
            load(path)
        except LoadError:
            pass
        except Exception as exc:  # the finding: printed, and the input kept
            keep = os.path.join(work, "found-%d-%s" % (index, name))
            os.replace(path, keep)
            print(json.dumps([index, type(exc).__name__, str(exc)[:300], keep]), flush=True)
''')


@pytest.fixture(scope="module")
def seeds(tmp_path_factory):
    from korvo.reporter.cli import main

    root = tmp_path_factory.mktemp("fuzz-seeds")
    demo = root / "demo"
    journal = root / "journal.jsonl"
    assert main(["demo", str(demo), "--tasks", "2", "--testcases", "2", "--sections", "1",
                 "--steps", "2", "--fail-rate", "0.5", "--seed", "3", "--journal",
                 str(journal)], out=open(os.devnull, "w")) == 0
    seeds = root / "seeds"
    seeds.mkdir()
    for name in ("results.yaml", "results.json"):
        (seeds / name).write_bytes((demo / name).read_bytes())
    (seeds / "journal.jsonl").write_bytes(journal.read_bytes())
    # a journal cut where a killed job leaves it
    lines = journal.read_bytes().split(b"\n")
    (seeds / "killed.jsonl").write_bytes(b"\n".join(lines[:len(lines) // 2]) + b"\n")
    return seeds


def test_mutated_inputs_load_or_raise_load_error(seeds, tmp_path):
    total = input_count()
    seed = int(os.environ.get("KORVO_FUZZ_SEED", "1"))
    findings = []
    for first in range(0, total, BATCH):
        count = min(BATCH, total - first)
        try:
            done = subprocess.run(
                [sys.executable, "-c", CHILD, str(seeds), str(tmp_path), str(first), str(count),
                 str(seed)], capture_output=True, text=True, timeout=TIME_LIMIT)
        except subprocess.TimeoutExpired:
            pytest.fail("still running after %d s at input %s" % (
                TIME_LIMIT, (tmp_path / "current").read_text()))
        assert done.returncode >= 0, "killed by signal %d at input %s:\n%s" % (
            -done.returncode, (tmp_path / "current").read_text(), done.stderr[-3000:])
        assert "Sanitizer" not in done.stderr, done.stderr[-3000:]
        assert done.returncode == 0, done.stderr[-3000:]
        findings += [json.loads(line) for line in done.stdout.splitlines()]
    assert findings == [], findings[:10]
