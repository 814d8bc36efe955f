"""Cost of the live journal, measured on the demo command as a user runs it.

    python bench/journal.py                 # the default demo job (~10,000 nodes)
    python bench/journal.py --tasks 100     # ~100,000 nodes
    python bench/journal.py --cpu 1         # every run pinned to CPU 1
    python bench/journal.py --tasks 3 --instructions   # instructions, under callgrind

Build: `python -m korvo.reporter demo OUTDIR` against the same command with
`--journal PATH` (and `--durability`), same plan and seed, each in a fresh
process; the time compared is the command's own "build (report model)" line,
the best of --repeat runs (the budget for "flush" is 1.5x). The runs are
interleaved so that load on the machine falls on every mode alike; on a shared
machine pin them (--cpu) and raise --repeat. "fsync" forces the file to disk at
every node's stop, so it runs on a smaller job (--fsync-tasks) against a plain
build of that job.

Instructions (--instructions, needs valgrind): the build alone, in a process of its own
under callgrind with PYTHONHASHSEED=0, less a process that only imports the same modules;
deterministic, so a loaded machine does not blur it (the kernel's work is not counted: the
page faults of flush mode's mapping, the write() calls of the other modes). Aim well under
the time budget there, e.g. 1.35x for "flush".

Size: the journal of the last "flush" run against that run's results.json
(budget 1.5x). Recovery: `journal.recover` of that journal against json.loads
of it line by line and of results.json (budget 2x).
"""

import argparse
import gc
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

# bench/xml.py would hide the standard library's xml package for scripts run from here.
_here = os.path.dirname(os.path.abspath(__file__))
sys.path[:] = [p for p in sys.path if os.path.abspath(p or os.curdir) != _here]

from korvo.reporter import journal  # noqa: E402
from korvo.reporter.demo import Plan  # noqa: E402

BUILD_LINE = re.compile(r"^\s*build \(report model\)\s+([0-9.]+) s", re.M)


def demo_build(workdir, tag, tasks, seed, mode, cpu):
    """Seconds of the demo command's build phase; the journal's path (or None)."""
    outdir = os.path.join(workdir, "out-" + tag)
    shutil.rmtree(outdir, ignore_errors=True)
    command = [sys.executable, "-m", "korvo.reporter", "demo", outdir,
               "--tasks", str(tasks), "--seed", str(seed)]
    path = None
    if mode is not None:
        path = os.path.join(workdir, "journal-%s.jsonl" % tag)
        if os.path.exists(path):
            os.remove(path)
        command += ["--journal", path, "--durability", mode]
    pin = (lambda: os.sched_setaffinity(0, {cpu})) if cpu is not None else None
    done = subprocess.run(command, capture_output=True, text=True, preexec_fn=pin, check=True)
    return float(BUILD_LINE.search(done.stdout).group(1)), path, outdir


def build_times(workdir, tasks, seed, modes, repeat, cpu):
    """{mode or None: best seconds}, and the outputs of each mode's last run."""
    best, last = {}, {}
    for _ in range(repeat):
        for mode in modes:
            tag = "%s-%d" % (mode or "none", tasks)
            seconds, path, outdir = demo_build(workdir, tag, tasks, seed, mode, cpu)
            best[mode] = min(best.get(mode, seconds), seconds)
            last[mode] = (path, outdir)
    return best, last


BUILD_ONLY = """
import os, sys
from korvo.reporter.demo import Plan, build
mode, tasks, seed, outdir = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), sys.argv[4]
if mode != "import":
    build(Plan(tasks=tasks, seed=seed), outdir, freeze_finished=True,
          journal=None if mode == "none" else os.path.join(outdir, "journal.jsonl"),
          durability="flush" if mode == "none" else mode)
"""


def instructions(workdir, tasks, seed, mode):
    """Instructions callgrind counts for a process that builds the demo job in `mode`."""
    outdir = os.path.join(workdir, "callgrind-%s" % mode)
    shutil.rmtree(outdir, ignore_errors=True)
    os.makedirs(outdir)
    env = dict(os.environ, PYTHONHASHSEED="0")
    done = subprocess.run(
        ["valgrind", "--tool=callgrind", "--callgrind-out-file=" + os.path.join(outdir, "out"),
         sys.executable, "-c", BUILD_ONLY, mode, str(tasks), str(seed), outdir],
        capture_output=True, text=True, env=env, check=True)
    return int(re.search(r"Collected : (\d+)", done.stderr).group(1))


def timed(func):
    gc.collect()
    started = time.perf_counter()
    func()
    return time.perf_counter() - started


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--tasks", type=int, default=Plan().tasks,
                        help="demo tasks (default %(default)s: the demo's own default)")
    parser.add_argument("--seed", type=int, default=Plan().seed)
    parser.add_argument("--fsync-tasks", type=int, default=2,
                        help="demo tasks of the smaller job timed in fsync mode")
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--cpu", type=int, help="pin every run to this CPU")
    parser.add_argument("--instructions", action="store_true",
                        help="count the build's instructions under callgrind instead")
    args = parser.parse_args(argv)

    workdir = tempfile.mkdtemp(prefix="korvo-journal-bench-")
    try:
        if args.instructions:
            print("demo job: %s nodes, instructions of the build (callgrind)" % format(
                Plan(tasks=args.tasks).node_count(), ","))
            base = instructions(workdir, args.tasks, args.seed, "import")
            plain = instructions(workdir, args.tasks, args.seed, "none") - base
            print("\n%-34s %14s %7s" % ("build phase of `demo`", "instructions", "ratio"))
            print("%-34s %14s %6.2fx" % ("without journal", format(plain, ","), 1.0))
            for mode in ("flush", "batch"):
                count = instructions(workdir, args.tasks, args.seed, mode) - base
                print("%-34s %14s %6.2fx" % ("--journal, " + mode, format(count, ","),
                                             count / plain))
            return
        print("demo job: %s nodes (fsync mode: %s nodes), best of %d, %s%s" % (
            format(Plan(tasks=args.tasks).node_count(), ","),
            format(Plan(tasks=args.fsync_tasks).node_count(), ","), args.repeat,
            time.strftime("%Y-%m-%d %H:%M"),
            "" if args.cpu is None else ", pinned to CPU %d" % args.cpu))
        times, last = build_times(workdir, args.tasks, args.seed, [None, "flush", "batch"],
                                  args.repeat, args.cpu)
        small, _ = build_times(workdir, args.fsync_tasks, args.seed, [None, "fsync"],
                               args.repeat, args.cpu)

        print("\n%-34s %9s %7s" % ("build phase of `demo`", "wall s", "ratio"))
        for label, seconds, base in [
                ("without journal", times[None], times[None]),
                ("--journal, flush (budget 1.5x)", times["flush"], times[None]),
                ("--journal, batch", times["batch"], times[None]),
                ("smaller job without journal", small[None], small[None]),
                ("smaller job, --journal, fsync", small["fsync"], small[None])]:
            print("%-34s %9.3f %6.2fx" % (label, seconds, seconds / base))

        path, outdir = last["flush"]
        with open(os.path.join(outdir, "results.json"), "rb") as handle:
            results_json = handle.read()
        journal_size = os.path.getsize(path)
        print("\n%-34s %12s %7s" % ("size", "bytes", "ratio"))
        print("%-34s %12s" % ("results.json", format(len(results_json), ",")))
        print("%-34s %12s %6.2fx" % ("journal (budget 1.5x)", format(journal_size, ","),
                                     journal_size / len(results_json)))

        with open(path, encoding="utf-8") as handle:
            lines = handle.read().splitlines()
        recover_s = loads_s = results_s = float("inf")
        for _ in range(args.repeat):
            recover_s = min(recover_s, timed(lambda: journal.recover(path)))
            loads_s = min(loads_s, timed(lambda: [json.loads(line) for line in lines]))
            results_s = min(results_s, timed(lambda: json.loads(results_json)))
        print("\n%-34s %9s %7s" % ("recovery", "seconds", "ratio"))
        print("%-34s %9.3f" % ("journal.recover", recover_s))
        print("%-34s %9.3f %6.2fx" % ("json.loads, journal line by line", loads_s,
                                      recover_s / loads_s))
        print("%-34s %9.3f %6.2fx" % ("json.loads of results.json", results_s,
                                      recover_s / results_s))
    finally:
        shutil.rmtree(workdir, ignore_errors=True)


if __name__ == "__main__":
    main()
