"""Reading results back, side by side in one run, on the demo job's own files.

Rows: load(results.json) against json.load of the same file (target: at most 2x), and
load(results.yaml) against yaml.safe_load with PyYAML's pure-Python loader (target: at
least 5x faster). load builds the whole live tree (nodes, results, counters, date-times);
the peers only decode to plain data.

    python bench/load.py                  # demo --tasks 100: about 101,500 nodes
    python bench/load.py --tasks 10       # quick look (about 10,000 nodes)
    python bench/load.py --with-libyaml   # also yaml.load with CSafeLoader
"""

import argparse
import gc
import json
import os
import tempfile
import time

import yaml

from korvo.reporter import load
from korvo.reporter.demo import Plan, build


def timed(fn, repeat):
    best = None
    for _ in range(repeat):
        gc.collect()
        started = time.perf_counter()
        result = fn()
        elapsed = time.perf_counter() - started
        del result
        best = elapsed if best is None else min(best, elapsed)
    return best


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--tasks", type=int, default=100, help="demo tasks (default 100)")
    parser.add_argument("--repeat", type=int, default=3,
                        help="runs of the fast rows, best kept (default 3)")
    parser.add_argument("--with-libyaml", action="store_true",
                        help="also time yaml.load with CSafeLoader (slow)")
    args = parser.parse_args()

    with tempfile.TemporaryDirectory() as outdir:
        root, nodes = build(Plan(tasks=args.tasks), outdir)
        paths = {}
        for name, dump in (("results.json", root.dump_json), ("results.yaml", root.dump_yaml)):
            paths[name] = os.path.join(outdir, name)
            with open(paths[name], "w", encoding="utf-8") as handle:
                handle.write(dump())
        del root
        gc.collect()

        def json_load():
            with open(paths["results.json"], "rb") as handle:
                return json.load(handle)

        def pure_yaml():
            with open(paths["results.yaml"], "rb") as handle:
                return yaml.load(handle, Loader=yaml.SafeLoader)

        def libyaml():
            with open(paths["results.yaml"], "rb") as handle:
                return yaml.load(handle, Loader=yaml.CSafeLoader)

        rows = []
        t_load_json = timed(lambda: load(paths["results.json"]), args.repeat)
        t_json = timed(json_load, args.repeat)
        rows.append(("load(results.json)", t_load_json, "json.load", t_json,
                     "%.2fx json.load (target <= 2x)" % (t_load_json / t_json)))
        t_load_yaml = timed(lambda: load(paths["results.yaml"]), args.repeat)
        t_pure = timed(pure_yaml, 1)
        rows.append(("load(results.yaml)", t_load_yaml, "yaml.safe_load (pure)", t_pure,
                     "%.1fx faster (target >= 5x)" % (t_pure / t_load_yaml)))
        if args.with_libyaml:
            t_c = timed(libyaml, 1)
            rows.append(("load(results.yaml)", t_load_yaml, "yaml CSafeLoader", t_c,
                         "%.1fx faster" % (t_c / t_load_yaml)))
        sizes = {n: os.path.getsize(p) / 2 ** 20 for n, p in paths.items()}

    print("demo job: %s nodes; results.json %.1f MiB, results.yaml %.1f MiB" % (
        format(nodes, ","), sizes["results.json"], sizes["results.yaml"]))
    print()
    print("%-20s %9s   %-22s %9s   %s" % ("ours", "s", "peer", "s", "ratio"))
    for ours, t_ours, peer, t_peer, ratio in rows:
        print("%-20s %9.3f   %-22s %9.3f   %s" % (ours, t_ours, peer, t_peer, ratio))


if __name__ == "__main__":
    main()
