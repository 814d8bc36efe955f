"""The results history against its targets, side by side on SQLite and on a PostgreSQL
server this script starts (Debian's binaries; as root it runs as `nobody`), in one table.

Rows (targets in brackets):
- ingest: `history add` of the demo job's results.json (demo --tasks 100: 101,502 nodes,
  2,401 testcase-level rows) into an empty store, against load() of the same file
  [SQLite at most 1.5x, PostgreSQL at most 2.5x];
- on a store of --jobs earlier jobs of that job's series (its testcase-level rows with
  outcomes that persist, flip and vary from job to job, made through the API) plus the
  demo job itself, the commands as a user runs them (in this process, so without the
  interpreter's start): `history show` [50 ms], `history flaky --last 100` [300 ms],
  `history diff` of the last two jobs [100 ms], and `summary --db` of the demo job
  against `summary` without it [at most 200 ms more];
- the SQLite file's size per stored run, indexes included, as the adds left it [80 bytes].

A store of 1,000 jobs takes minutes to build: --cache DIR keeps the demo job, the SQLite
file and the PostgreSQL server's data there and reuses them while the job's size, the
number of jobs and the store's schema stay the same.

    python bench/history.py                                   # quick: 50 jobs, a few minutes
    python bench/history.py --jobs 1000 --cache /tmp/korvo-history-bench   # full scale
    python bench/history.py --no-postgres
"""

import argparse
import copy
import datetime
import gc
import json
import os
import platform
import random
import shutil
import sys
import tempfile
import time

# bench/html.py would stand in for the standard library's html module
_here = os.path.dirname(os.path.abspath(__file__))
sys.path[:] = [p for p in sys.path if os.path.abspath(p or os.curdir) != _here]
sys.path.insert(0, os.path.join(_here, "..", "tests"))

from korvo.reporter import history, load  # noqa: E402
from korvo.reporter.cli import main as cli_main  # noqa: E402
from korvo.reporter.demo import Plan, build  # noqa: E402
from korvo.reporter.history import schema  # noqa: E402

DAY_US = 86400 * 10**6
# Bumped when what the bench builds changes, so a cache made by an older bench is rebuilt.
BUILD_FORMAT = 2

TARGETS = {"ingest": {"sqlite": 1.5, "postgresql": 2.5}, "show": 50.0, "flaky": 300.0,
           "diff": 100.0, "summary": 200.0, "size": 80.0}


def best(fn, repeat):
    """Best wall time of `repeat` calls; what fn returns is dropped outside the timing."""
    out = None
    for _ in range(repeat):
        gc.collect()
        started = time.perf_counter()
        result = fn()
        elapsed = time.perf_counter() - started
        del result
        out = elapsed if out is None else min(out, elapsed)
    return out


def variants(job, count, seed=3):
    """`count` earlier jobs of `job`'s series, a day apart and ending the day before it,
    with failures that persist for days, testcases that flip and a few random failures."""
    rng = random.Random(seed)
    sticky = set(rng.sample(range(len(job.runs)), max(1, len(job.runs) // 50)))
    flaky = set(rng.sample(range(len(job.runs)), max(1, len(job.runs) // 100)))
    for k in range(count):
        j = copy.copy(job)
        j.campaign = "bench-%04d" % k
        j.start_us = job.start_us - (count - k) * DAY_US
        j.stop_us = None if job.stop_us is None else job.stop_us - (count - k) * DAY_US
        j.runs = []
        for i, run in enumerate(job.runs):
            r = copy.copy(run)
            failed = ((i in sticky and k % 7 < 5) or (i in flaky and rng.random() < 0.4)
                      or rng.random() < 0.01)
            r.outcome, r.result = (2, "failed") if failed else (0, "passed")
            r.reason = "reason %d" % (i % 40) if failed else ""
            r.rerun = False
            r.runtime_ms = int((run.runtime_ms or 10) * (0.5 + rng.random()))
            j.runs.append(r)
        yield j


class Buffer:
    def __init__(self):
        self.text = ""

    def write(self, text):
        self.text += text


def cli(*args):
    out, err = Buffer(), Buffer()
    code = cli_main(list(args), out=out, err=err)
    if code not in (0, 1):
        raise SystemExit("%s failed (%d): %s" % (" ".join(args[:2]), code, err.text.strip()))
    return out.text


class Cache:
    """Where the demo job and the stores live: a temporary directory, or --cache DIR kept
    between runs. A store is reused while its key (what it was built from) is unchanged."""

    def __init__(self, where):
        self.keep = where is not None
        self.dir = os.path.abspath(where) if self.keep else tempfile.mkdtemp(prefix="korvo-hbench-")
        os.makedirs(self.dir, exist_ok=True)
        if self.keep:
            os.chmod(self.dir, 0o755)  # the PostgreSQL server runs as another user

    def path(self, name):
        return os.path.join(self.dir, name)

    def key_matches(self, name, key):
        try:
            with open(self.path(name + ".key")) as f:
                return json.load(f) == key
        except (OSError, ValueError):
            return False

    def set_key(self, name, key):
        with open(self.path(name + ".key"), "w") as f:
            json.dump(key, f)

    def drop_key(self, name):
        if os.path.exists(self.path(name + ".key")):
            os.remove(self.path(name + ".key"))

    def close(self):
        if not self.keep:
            shutil.rmtree(self.dir, ignore_errors=True)


def demo_job(cache, tasks):
    """results.json of the demo job, built unless the cache holds it."""
    path = cache.path("results.json")
    key = {"tasks": tasks, "format": BUILD_FORMAT}
    if cache.key_matches("results", key) and os.path.exists(path):
        return path
    for name in ("sqlite", "postgresql"):
        cache.drop_key(name)
    logs = cache.path("logs")
    shutil.rmtree(logs, ignore_errors=True)
    os.makedirs(logs)
    root, _ = build(Plan(tasks=tasks), logs)
    root.write_json(path)
    del root
    cache.set_key("results", key)
    return path


def fill(url, results_json, job, jobs):
    """Adds `jobs` earlier jobs, then the demo job itself; returns the seconds taken."""
    started = time.perf_counter()
    with history.open_store(url) as store:
        for j in variants(job, jobs):
            store.add(j)
        history.add_files(store, [results_json])
    return time.perf_counter() - started


def timed(fn):
    gc.collect()
    started = time.perf_counter()
    result = fn()
    elapsed = time.perf_counter() - started
    del result
    return elapsed


def ingests(results_json, fresh_urls, repeat):
    """load() and, on each backend, `history add` of the file into an empty store, taken in
    turn so that the machine's other guests weigh on both alike: the best of each."""
    times = {name: [] for name in ["load"] + list(fresh_urls)}
    for _ in range(repeat):
        times["load"].append(timed(lambda: load(results_json)))
        for name, fresh_url in fresh_urls.items():
            with history.open_store(fresh_url()) as store:
                times[name].append(timed(lambda: history.add_files(store, [results_json])))
    return {name: min(values) for name, values in times.items()}


def measure(name, url, results_json, job, repeat):
    """The backend's figures, in seconds."""
    from korvo.reporter.commands import summary

    out = {}
    middle = job.runs[len(job.runs) // 2]
    testcase = "%s::%s" % (middle.script, middle.path)
    out["show"] = best(lambda: cli("history", "show", testcase, "--db", url), repeat + 2)
    out["flaky"] = best(lambda: cli("history", "flaky", "--last", "100", "--db", url), repeat)
    out["diff"] = best(lambda: cli("history", "diff", "--db", url), repeat)
    # What --db adds to summary is its judgement of the job: the job's rows from the tree
    # summary has read (and frozen, as the command does), the store opened, judge.
    root = load(results_json)
    gc.freeze()
    args = argparse.Namespace(db=url, series=None, file=results_json)
    out["summary"] = best(lambda: summary._judge(root, args), repeat + 2)
    gc.unfreeze()
    del root
    # and the whole command, with and without it (a second of reading either way, so the
    # difference carries that second's noise)
    plain = best(lambda: cli("summary", results_json), repeat + 2)
    judged = best(lambda: cli("summary", results_json, "--db", url), repeat + 2)
    out["summary_cli"] = judged - plain
    with history.open_store(url) as store:
        out["runs"] = store.query("SELECT COUNT(*) FROM runs")[0][0]
        out["jobs"] = store.query("SELECT COUNT(*) FROM jobs")[0][0]
    sys.stderr.write("%s measured\n" % name)
    return out


def sqlite_size(path):
    """Bytes of the file once its write-ahead log is folded in."""
    with history.open_store("sqlite:///" + path) as store:
        store.execute("PRAGMA wal_checkpoint(TRUNCATE)")
    wal = path + "-wal"
    return os.path.getsize(path) + (os.path.getsize(wal) if os.path.exists(wal) else 0)


def verdict(value, target):
    return "ok" if value <= target else "MISSED"


def table(figures, backends):
    head = "%-42s %-12s" % ("", "target") + "".join(" %-22s" % b for b in backends)
    lines = [head, "-" * len(head)]

    def row(label, target, cell):
        lines.append("%-42s %-12s" % (label, target) + "".join(
            " %-22s" % cell(b, figures[b]) for b in backends))

    def ingest(b, f):
        ratio = f["ingest"] / f["load"]
        return "%.2f s %5.2fx  %s" % (f["ingest"], ratio, verdict(ratio, TARGETS["ingest"][b]))

    def ms(key, target=None):
        return lambda b, f: "%8.1f ms %s" % (1000 * f[key], verdict(1000 * f[key], TARGETS[target or key]))

    row("history add of results.json, x load()", "1.5x / 2.5x", ingest)
    row("history show TESTCASE", "50 ms", ms("show"))
    row("history flaky --last 100", "300 ms", ms("flaky"))
    row("history diff (the last two jobs)", "100 ms", ms("diff"))
    row("summary --db: its judgement of the job", "+200 ms", ms("summary"))
    row("  whole command, with minus without", "", lambda b, f: "%+8.1f ms" % (1000 * f["summary_cli"]))
    row("bytes per stored run, indexes included", "80 B", lambda b, f: (
        "%8.1f B  %s" % (f["size"] / f["runs"], verdict(f["size"] / f["runs"], TARGETS["size"]))
        if "size" in f else "-"))
    return "\n".join(lines)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0],
                                     formatter_class=argparse.RawDescriptionHelpFormatter,
                                     epilog="example: python bench/history.py --jobs 1000 "
                                     "--cache /tmp/korvo-history-bench")
    parser.add_argument("--tasks", type=int, default=100, help="demo tasks (default 100)")
    parser.add_argument("--jobs", type=int, default=50,
                        help="earlier jobs in the store (default 50; the targets are for 1000)")
    parser.add_argument("--cache", metavar="DIR",
                        help="build the stores here once and reuse them on later runs")
    parser.add_argument("--repeat", type=int, default=3, help="timings per figure, best kept")
    parser.add_argument("--no-postgres", action="store_true", help="SQLite only")
    args = parser.parse_args()

    cache = Cache(args.cache)
    server = None
    try:
        results_json = demo_job(cache, args.tasks)
        job = history.read_job(results_json)
        figures, built = {}, {}
        key = {"tasks": args.tasks, "jobs": args.jobs, "schema": schema.VERSION,
               "format": BUILD_FORMAT}
        backends = ["sqlite"] if args.no_postgres else ["sqlite", "postgresql"]
        urls = {}

        db = cache.path("history.db")
        if not cache.key_matches("sqlite", key):
            for leftover in (db, db + "-wal", db + "-shm"):
                if os.path.exists(leftover):
                    os.remove(leftover)
            built["SQLite"] = fill("sqlite:///" + db, results_json, job, args.jobs)
            cache.set_key("sqlite", key)
        urls["sqlite"] = "sqlite:///" + db
        fresh = iter(range(10**6))
        fresh_urls = {"sqlite": lambda: "sqlite:///" + cache.path("ingest-%d.db" % next(fresh))}

        if "postgresql" in backends:
            from support.postgres import Server

            server = Server(cache.path("postgresql") if cache.keep else None)
            matches = cache.key_matches("postgresql", key)
            urls["postgresql"] = server.database("korvo_bench", fresh=not matches)
            if not matches:
                built["PostgreSQL"] = fill(urls["postgresql"], results_json, job, args.jobs)
                cache.set_key("postgresql", key)
            # The planner's statistics, as autovacuum keeps them for a store that grew over
            # months: this one was filled in a minute, likely before autovacuum came by.
            with history.open_store(urls["postgresql"]) as store:
                store.execute("ANALYZE")
            fresh_urls["postgresql"] = lambda: server.database("korvo_ingest", fresh=True)

        ingest = ingests(results_json, fresh_urls, args.repeat + 2)
        for name in os.listdir(cache.dir):
            if name.startswith("ingest-"):
                os.remove(cache.path(name))
        for name in backends:
            figures[name] = measure(name, urls[name], results_json, job, args.repeat)
            figures[name].update(ingest=ingest[name], load=ingest["load"])
        figures["sqlite"]["size"] = sqlite_size(db)

        print("results history bench, %s UTC, %s, %d cores, Python %s" % (
            datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M"), platform.machine(),
            os.cpu_count() or 0, platform.python_version()))
        print("demo job: %s nodes, %s testcase-level rows; load(results.json) %.2f s" % (
            format(Plan(tasks=args.tasks).node_count(), ","), format(len(job.runs), ","),
            ingest["load"]))
        f = figures["sqlite"]
        print("store: %s jobs, %s runs; %s" % (
            format(f["jobs"], ","), format(f["runs"], ","),
            "; ".join("%s built in %.0f s" % kv for kv in built.items()) or "reused")
            + (" (cache %s)" % cache.dir if cache.keep else ""))
        print()
        print(table(figures, backends))
    finally:
        if server is not None:
            server.stop()
        cache.close()


if __name__ == "__main__":
    main()
