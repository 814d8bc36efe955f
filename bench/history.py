"""The results history, side by side in one run, on SQLite and on a PostgreSQL server this
script starts (Debian's binaries; as root it runs as `nobody`).

Rows:
- ingest of the demo job's results.json (demo --tasks 100, about 101,500 nodes and 2,300
  testcase-level nodes) against load() of the same file (targets: SQLite at most 1.5x,
  PostgreSQL at most 2.5x);
- a store of --jobs jobs (default 1,000) of that job's testcase-level rows, made through
  the API with outcomes that vary from job to job: `show`, `flaky --last 100`, `diff` and
  `summary`'s judgement of a job (targets: 50 ms, 300 ms, 100 ms, 200 ms);
- bytes per stored run in SQLite, indexes included (target: at most 80).

    python bench/history.py                  # both backends, 1,000 jobs
    python bench/history.py --jobs 100 --no-postgres
"""

import argparse
import copy
import gc
import os
import random
import sys
import tempfile
import time

from korvo.reporter import history, load
from korvo.reporter.demo import Plan, build
from korvo.reporter.history import queries

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))


def best(fn, repeat=5):
    out = None
    for _ in range(repeat):
        gc.collect()
        started = time.perf_counter()
        fn()
        elapsed = time.perf_counter() - started
        out = elapsed if out is None else min(out, elapsed)
    return out


def variants(job, count, seed=3):
    """`count` jobs of `job`'s shape, a day apart, with failures that persist and flip."""
    rng = random.Random(seed)
    sticky = set(rng.sample(range(len(job.runs)), max(1, len(job.runs) // 50)))
    flaky = set(rng.sample(range(len(job.runs)), max(1, len(job.runs) // 100)))
    for k in range(count):
        j = copy.copy(job)
        j.campaign = "bench-%04d" % k
        j.start_us = job.start_us + k * 86400 * 10**6
        j.runs = []
        for i, run in enumerate(job.runs):
            r = copy.copy(run)
            failed = (i in sticky and k % 7 < 5) or (i in flaky and rng.random() < 0.4) or rng.random() < 0.01
            r.outcome, r.result = (2, "failed") if failed else (0, "passed")
            r.reason = "reason %d" % (i % 40) if failed else ""
            r.runtime_ms = int((run.runtime_ms or 10) * (0.5 + rng.random()))
            j.runs.append(r)
        yield j


def measure(name, url, results_json, job, jobs, load_time):
    out = {}
    with history.open_store(url) as store:
        out["ingest"] = best(lambda: history.add_files(store, [results_json]), 3)
    with history.open_store(url) as store:
        started = time.perf_counter()
        for j in variants(job, jobs):
            store.add(j)
        out["fill"] = time.perf_counter() - started
        case = queries.find_testcase(store, "%s::%s" % (job.runs[len(job.runs) // 2].script,
                                                         job.runs[len(job.runs) // 2].path))[0][0]
        out["show"] = best(lambda: queries.show(store, case, 20))
        out["flaky"] = best(lambda: queries.flaky(store, job.series, 100), 3)
        old, new = queries.last_two(store, job.series)
        out["diff"] = best(lambda: queries.diff(store, old, new), 3)
        latest = list(variants(job, jobs))[-1]
        out["judge"] = best(lambda: queries.judge(store, latest), 3)
        runs = store.query("SELECT COUNT(*) FROM runs")[0][0]
    print("%-10s ingest %.3f s (%.2fx load %.3f s), %d jobs stored in %.1f s; show %.1f ms, "
          "flaky --last 100 %.1f ms, diff %.1f ms, judgement %.1f ms"
          % (name, out["ingest"], out["ingest"] / load_time, load_time, jobs, out["fill"],
             1000 * out["show"], 1000 * out["flaky"], 1000 * out["diff"], 1000 * out["judge"]))
    return out, runs


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0],
                                     epilog="example: python bench/history.py --jobs 100")
    parser.add_argument("--tasks", type=int, default=100, help="demo tasks (default 100)")
    parser.add_argument("--jobs", type=int, default=1000, help="jobs in the store (default 1000)")
    parser.add_argument("--no-postgres", action="store_true", help="SQLite only")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as work:
        root, nodes = build(Plan(tasks=args.tasks), work)
        results_json = os.path.join(work, "results.json")
        root.write_json(results_json)
        del root
        load_time = best(lambda: load(results_json), 3)
        job = history.read_job(results_json)
        print("demo job: %s nodes, %d testcase-level rows; load(results.json) %.3f s"
              % (format(nodes, ","), len(job.runs), load_time))
        db_path = os.path.join(work, "history.db")
        sqlite_out, runs = measure("sqlite", "sqlite:///" + db_path, results_json, job, args.jobs, load_time)
        size = os.path.getsize(db_path)
        wal = db_path + "-wal"
        with history.open_store("sqlite:///" + db_path) as store:
            store.execute("PRAGMA wal_checkpoint(TRUNCATE)")
            store.execute("VACUUM")
        size = os.path.getsize(db_path) + (os.path.getsize(wal) if os.path.exists(wal) else 0)
        print("sqlite     %s runs, %.1f MB: %.1f bytes per run, indexes and all"
              % (format(runs, ","), size / 1e6, size / runs))
        if not args.no_postgres:
            from support.postgres import Server

            server = Server()
            try:
                measure("postgresql", server.new_database(), results_json, job, args.jobs, load_time)
            finally:
                server.stop()


if __name__ == "__main__":
    main()
