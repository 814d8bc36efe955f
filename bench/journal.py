"""Cost of the live journal on the demo job, measured side by side in one run.

    python bench/journal.py                 # the ~100,000-node demo job
    python bench/journal.py --tasks 10      # ~10,000 nodes

Prints, for the same job built with the demo's builder (real log files in a
temporary directory):

- build time without a journal and with one in each durability mode, and the
  ratio to the build without (budget for "flush": 1.5x). "fsync" forces the
  file to disk at every node's stop, so it runs on a smaller job (--fsync-tasks)
  and is compared with a plain build of that same job;
- journal size against results.json of the same tree (budget: 1.5x);
- recovery (`journal.recover`) against json.loads of the same file, line by
  line, and against json.loads of results.json (budget: 2x).

Each time is the best of --repeat runs, the modes interleaved so that load on
the machine falls on all of them alike. Build ratios are given by CPU time (user +
system, the flusher thread included), which other guests of a shared machine
disturb far less than the wall clock, and by wall time.
"""

import argparse
import gc
import json
import os
import shutil
import sys
import tempfile
import time

# bench/xml.py would hide the standard library's xml package for scripts run from here.
_here = os.path.dirname(os.path.abspath(__file__))
sys.path[:] = [p for p in sys.path if os.path.abspath(p or os.curdir) != _here]

from korvo.reporter import journal  # noqa: E402
from korvo.reporter.demo import Plan, build  # noqa: E402


def timed(func):
    gc.collect()
    started, cpu = time.perf_counter(), time.process_time()
    out = func()
    return (time.perf_counter() - started, time.process_time() - cpu), out


def build_times(plan, workdir, modes, repeat):
    """{mode or None: (best wall, best cpu) seconds}, and the last journal path of each mode."""
    best, paths = {}, {}
    for round_ in range(repeat):
        for mode in modes:
            path = None
            if mode is not None:
                path = os.path.join(workdir, "journal-%s-%d.jsonl" % (mode, round_))
            seconds, (tree, _) = timed(lambda: build(plan, workdir, journal=path,
                                                     durability=mode or "flush"))
            before = best.get(mode, seconds)
            best[mode] = (min(before[0], seconds[0]), min(before[1], seconds[1]))
            if path is not None:
                if mode in paths:
                    os.remove(paths[mode])
                paths[mode] = path
            del tree
    return best, paths


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--tasks", type=int, default=100, help="demo tasks (100: ~100k nodes)")
    parser.add_argument("--fsync-tasks", type=int, default=2,
                        help="demo tasks of the smaller job timed in fsync mode")
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args(argv)

    plan = Plan(tasks=args.tasks)
    small = Plan(tasks=args.fsync_tasks)
    workdir = tempfile.mkdtemp(prefix="korvo-journal-bench-")
    try:
        print("demo job: %s nodes (fsync mode: %s nodes), best of %d, %s" % (
            format(plan.node_count(), ","), format(small.node_count(), ","), args.repeat,
            time.strftime("%Y-%m-%d %H:%M")))
        times, paths = build_times(plan, workdir, [None, "flush", "batch"], args.repeat)
        small_times, _ = build_times(small, workdir, [None, "fsync"], args.repeat)

        print("\n%-34s %9s %7s %9s %7s" % ("build", "cpu s", "ratio", "wall s", "ratio"))
        for label, seconds, base in [
                ("without journal", times[None], times[None]),
                ("journal flush (budget 1.5x)", times["flush"], times[None]),
                ("journal batch", times["batch"], times[None]),
                ("smaller job without journal", small_times[None], small_times[None]),
                ("smaller job, journal fsync", small_times["fsync"], small_times[None])]:
            print("%-34s %9.3f %6.2fx %9.3f %6.2fx" % (label, seconds[1], seconds[1] / base[1],
                                                       seconds[0], seconds[0] / base[0]))

        path = paths["flush"]
        tree = journal.recover(path)
        results_json = tree.dump_json()
        journal_size = os.path.getsize(path)
        print("\n%-34s %12s %7s" % ("size", "bytes", "ratio"))
        print("%-34s %12s" % ("results.json", format(len(results_json.encode()), ",")))
        print("%-34s %12s %6.2fx" % ("journal (budget 1.5x)", format(journal_size, ","),
                                     journal_size / len(results_json.encode())))

        with open(path, encoding="utf-8") as handle:
            lines = handle.read().splitlines()
        recover_s = loads_s = results_s = float("inf")
        for _ in range(args.repeat):
            del tree
            recover_s = min(recover_s, timed(lambda: journal.recover(path))[0][0])
            tree = None
            loads_s = min(loads_s, timed(lambda: [json.loads(line) for line in lines])[0][0])
            results_s = min(results_s, timed(lambda: json.loads(results_json))[0][0])
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
