"""Serialisation speed and memory of a large report tree, side by side in one run.

Rows: native dump_yaml against yaml.dump with YAMLDumper, native dump_json against
json.dumps with JSONDumper, and orjson on the same content as plain data (the speed
anchor). Memory: peak resident growth of each native dump in a fresh process, against
the size of its output.

    python bench/serialise.py                      # 200 x 5 x 10 x 4: about 51,000 nodes
    python bench/serialise.py --tasks 5 --repeat 1 # quick look
"""

import argparse
import gc
import json
import os
import subprocess
import sys
import tempfile
import time

from korvo.reporter import campaign
from korvo.results import Failed, Passed


def build_tree(args, logdir):
    root = campaign.Campaign(id="job", seq_num=0)
    root.start(host="bench-host", submitter="bench", cli="run job.py")
    for t in range(args.tasks):
        log = os.path.join(logdir, "TaskLog.t%d" % t)
        with open(log, "w") as f:
            f.write("start of task %d\n" % t)
        task = root.add_task(id="t%d" % t, seq_num=t)
        task.start(logfile=log, testscript="/scripts/t%d.py" % t, description="task %d" % t,
                   parameters={"loops": t, "target": "dut-%d" % (t % 7)})
        for c in range(args.testcases):
            tc = task.add_section(id="tc%d" % c, seq_num=c, type="TestCase")
            tc.start(logfile=log, description="testcase %d" % c)
            for s in range(args.sections):
                sec = tc.add_section(id="s%d" % s, seq_num=s, type="TestSection")
                sec.start(logfile=log)
                for p in range(args.steps):
                    step = sec.add_section(id="step%d" % p, seq_num=p, type="Step")
                    step.start(logfile=log, description="step %d of section %d" % (p, s))
                    result = Failed if (t + c + s + p) % 17 == 0 else Passed
                    step.stop(result=result, attempt=p, note="ok\u2713")
                with open(log, "a") as f:
                    f.write("section %d done\n" % s)
                sec.stop(extra={"section": s})
            tc.stop(weight=c * 0.5)
        task.stop(ticket="T-%d" % t)
    root.stop(num_tasks=args.tasks)
    return root


def count_nodes(node):
    children = getattr(node, "tasks", None) or getattr(node, "sections", [])
    return 1 + sum(count_nodes(c) for c in children)


def best_time(fn, repeat):
    best = None
    out = None
    for _ in range(repeat):
        gc.collect()
        start = time.perf_counter()
        out = fn()
        elapsed = time.perf_counter() - start
        best = elapsed if best is None else min(best, elapsed)
    return best, out


def yaml_pair(root):
    """(native, reference) callables for YAML, or None when the YAML side is not there."""
    if not hasattr(root, "dump_yaml"):
        return None
    try:
        import yaml
        header = campaign.ReportHeader
        dumper = campaign.YAMLDumper
    except (ImportError, AttributeError):
        return None
    return (root.dump_yaml,
            lambda: yaml.dump(header(root), Dumper=dumper, default_flow_style=False))


def json_reference(root):
    return json.dumps({"version": campaign.VERSION, "report": root}, cls=campaign.JSONDumper)


def report_row(name, native_t, native_out, ref_name, ref_t, ref_out):
    mb = len(native_out) / 1e6
    line = "%-10s native %8.1f ms %8.1f MB/s" % (name, native_t * 1e3, mb / native_t)
    if ref_t is not None:
        same = "same text" if native_out == ref_out else "TEXT DIFFERS"
        line += " | %s %8.1f ms %8.1f MB/s | speed-up x%.1f (%s)" % (
            ref_name, ref_t * 1e3, len(ref_out) / 1e6 / ref_t, ref_t / native_t, same)
    print(line)


def memory_child(args):
    """Runs in a fresh process: peak RSS growth during one native dump."""
    with tempfile.TemporaryDirectory() as logdir:
        root = build_tree(args, logdir)
    fn = {"json": root.dump_json, "yaml": getattr(root, "dump_yaml", None)}[args.memory]
    if fn is None:
        print(json.dumps(None))
        return
    gc.collect()
    baseline = read_status("VmRSS")
    try:  # restart the high-water mark from the current size (Linux)
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
    except OSError:
        pass
    out = fn()
    peak = read_status("VmHWM")
    print(json.dumps({"extra_kb": peak - baseline, "output_bytes": len(out)}))


def read_status(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise RuntimeError("no %s in /proc/self/status" % field)


def measure_memory(args, kind):
    cmd = [sys.executable, __file__, "--memory", kind, "--tasks", str(args.tasks),
           "--testcases", str(args.testcases), "--sections", str(args.sections),
           "--steps", str(args.steps)]
    res = subprocess.run(cmd, capture_output=True, text=True, check=True)
    data = json.loads(res.stdout.strip().splitlines()[-1])
    if data is None:
        return
    extra = data["extra_kb"] * 1024
    print("%-10s peak extra memory %7.1f MB for %7.1f MB of output: x%.2f of the output" % (
        kind, extra / 1e6, data["output_bytes"] / 1e6, extra / data["output_bytes"]))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--tasks", type=int, default=200)
    parser.add_argument("--testcases", type=int, default=5)
    parser.add_argument("--sections", type=int, default=10)
    parser.add_argument("--steps", type=int, default=4)
    parser.add_argument("--repeat", type=int, default=3, help="runs of each fast path; best kept")
    parser.add_argument("--no-yaml", action="store_true", help="skip the YAML row")
    parser.add_argument("--memory", choices=["json", "yaml"], help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.memory:
        return memory_child(args)

    with tempfile.TemporaryDirectory() as logdir:
        start = time.perf_counter()
        root = build_tree(args, logdir)
        built = time.perf_counter() - start
    print("tree: %d nodes, built in %.1f s" % (count_nodes(root), built))

    pair = None if args.no_yaml else yaml_pair(root)
    if pair is None:
        print("yaml       skipped (no native dump_yaml, ReportHeader or YAMLDumper)")
    else:
        nt, nout = best_time(pair[0], args.repeat)
        rt, rout = best_time(pair[1], 1)
        report_row("yaml", nt, nout, "yaml.dump", rt, rout)

    nt, nout = best_time(root.dump_json, args.repeat)
    rt, rout = best_time(lambda: json_reference(root), args.repeat)
    report_row("json", nt, nout, "json.dumps", rt, rout)

    try:
        import orjson
    except ImportError:
        print("orjson     skipped (not installed)")
    else:
        plain = json.loads(nout)  # the same content as plain data, converted once
        ot, oout = best_time(lambda: orjson.dumps(plain), args.repeat)
        omb = len(oout) / 1e6 / ot
        jmb = len(nout) / 1e6 / nt
        print("orjson     plain   %8.1f ms %8.1f MB/s | native json reaches %.0f%% of its MB/s" % (
            ot * 1e3, omb, 100.0 * jmb / omb))

    measure_memory(args, "json")
    if pair is not None:
        measure_memory(args, "yaml")


if __name__ == "__main__":
    main()
