"""Scale benchmark: per-node cost from 10,000 to 1,000,000 nodes, memory, and a peer.

For demo jobs of about 10k, 100k and 1M nodes (``--tasks`` 10, 100, 1000 with the
demo's other defaults) it prints, measured side by side in one run:

- us per node for the build (the demo builder driving the model; once as a library
  caller sees it, with the collector left alone, and once as the demo command runs
  it, each finished task frozen out of the collector's full collections) and for each
  output: results.yaml, results.json (``write_yaml``/``write_json`` when the
  modules have them, else ``dump_*`` plus writing the string) and the XML report
  (``generate_xml``), and how the 1M cost compares with the 10k cost;
- the peer, Robot Framework 7, building its result model node for node from the
  same tree (campaign -> root suite, task -> child suite, task plugin and common
  setup -> suite setup keyword, cleanup -> teardown keyword, testcase -> test,
  sections and steps -> nested keywords, same statuses and times) and writing it
  with ``Result.to_json()`` and ``Result.save()`` (output.xml), against our build,
  ``dump_json()`` and ``generate_xml``;
- the whole 1M demo (``python -m korvo.reporter demo OUT --tasks 1000``) as a
  child process: wall time and peak RSS;
- the extra peak memory of ``write_yaml``/``write_json`` on the largest tree
  (VmHWM after resetting it through /proc/self/clear_refs) against ``dump_*`` plus
  writing the string.

Per-node costs and ratios are computed from the process's CPU time, which other
work on a shared machine disturbs far less than the wall clock; the seconds rows
show both (wall, cpu).
Runs of a million nodes take several GB: pass ``--lock PATH`` to wait for other big
runs that hold the same lock file.
Needs ``pip install '.[bench]'`` for the peer.

Run: python bench/scale.py [--tasks 10 100 1000] [--no-peer] [--no-demo]
"""

import os
import sys

import argparse
import datetime
import fcntl
import gc
import resource
import shutil
import subprocess
import tempfile
import time

from korvo.reporter.campaign import Plugin
from korvo.reporter.demo import Plan, build
from korvo.reporter.scribe import Scribe


def status_kb(field):
    with open("/proc/self/status") as handle:
        for line in handle:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return 0


def reset_peak():
    """Resets VmHWM to the current RSS; False where the kernel does not allow it."""
    try:
        with open("/proc/self/clear_refs", "w") as handle:
            handle.write("5")
        return True
    except OSError:
        return False


def timed(fn):
    gc.collect()
    wall, cpu = time.perf_counter(), time.process_time()
    result = fn()
    return (time.perf_counter() - wall, time.process_time() - cpu), result


def write_text(path, text):
    with open(path, "w", encoding="utf-8", newline="\n") as handle:
        handle.write(text)


def write_output(campaign, kind, path):
    """results.yaml / results.json the way the demo writes them."""
    streamed = getattr(campaign, "write_" + kind, None)
    if streamed is not None:
        streamed(path)
    else:
        write_text(path, getattr(campaign, "dump_" + kind)())


# ---- the build, replayed ----------------------------------------------------------------
#
# The demo builder also writes and measures log files, which the peer knows nothing of,
# so the build comparison replays one recorded job into each model: the same nodes in
# the same order, each started before and stopped after its children, leaves stopped
# with their result.

def record(node):
    """(kind, id, seq_num, type, leaf result, start, run time, children) of a subtree."""
    children = getattr(node, "tasks", None)
    if children is None:
        children = node.sections
    kind = "plugin" if isinstance(node, Plugin) else "node"
    result = getattr(node, "result", None) if not children else None
    return (kind, node.id, node.seq_num, node.type, result, node.starttime, node.runtime,
            [record(child) for child in children])


def replay_ours(job):
    from korvo.reporter.campaign import Campaign

    _, id, seq, _, _, _, _, children = job
    root = Campaign(id=id, seq_num=seq)
    root.start()
    for kind, id, seq, type, _, _, _, sections in children:
        child = root.add_plugin(id=id, seq_num=seq) if kind == "plugin" else \
            root.add_task(id=id, seq_num=seq)
        child.start()
        replay_sections(child, sections)
        child.stop()
    root.stop(num_tasks=len(children))
    return root


def replay_sections(parent, items):
    for kind, id, seq, type, result, _, _, children in items:
        node = parent.add_plugin(id=id, seq_num=seq) if kind == "plugin" else \
            parent.add_section(id=id, seq_num=seq, type=type)
        node.start()
        replay_sections(node, children)
        if result is None:
            node.stop()
        else:
            node.stop(result=result)


_STATUS = {"passed": "PASS", "passx": "PASS", "skipped": "SKIP", "blocked": "SKIP"}


def rf_status(result):
    return "PASS" if result is None else _STATUS.get(str(result).lower(), "FAIL")


def rf_keywords(body, items):
    for _, name, _, _, result, start, runtime, children in items:
        kw = body.create_keyword(name=name, status=rf_status(result), start_time=start,
                                 elapsed_time=runtime)
        rf_keywords(kw.body, children)


def replay_peer(job):
    """A Robot Framework result model with one model node per report node."""
    from robot.result import Result

    model = Result()
    suite = model.suite
    _, name, _, _, _, start, runtime, children = job
    suite.config(name=name, start_time=start, elapsed_time=runtime)
    for kind, name, _, _, _, start, runtime, sections in children:
        if kind == "plugin":
            setup = suite.setup.config(name=name, status="PASS", start_time=start,
                                       elapsed_time=runtime)
            rf_keywords(setup.body, sections)
            continue
        sub = suite.suites.create(name=name, start_time=start, elapsed_time=runtime)
        for kind, name, _, type, result, start, runtime, items in sections:
            times = {"start_time": start, "elapsed_time": runtime}
            if kind == "plugin" or type == "CommonSetup":
                # one setup per suite: the task plugin is it, the common setup goes inside
                if sub.has_setup:
                    kw = sub.setup.body.create_keyword(name=name, status=rf_status(result),
                                                       **times)
                else:
                    kw = sub.setup.config(name=name, status=rf_status(result), **times)
            elif type == "CommonCleanup":
                kw = sub.teardown.config(name=name, status=rf_status(result), **times)
            else:
                kw = sub.tests.create(name=name, status=rf_status(result), **times)
            rf_keywords(kw.body, items)
    return model


# ---- measuring --------------------------------------------------------------------------

def measure(tasks, workdir, peer):
    """Times of one size: ours and, when asked, the peer's."""
    out = {}
    logs = os.path.join(workdir, "logs")
    os.makedirs(logs)
    (out["build"], (campaign, nodes)) = timed(lambda: build(Plan(tasks=tasks), logs))
    out["nodes"] = nodes
    out["yaml"], _ = timed(lambda: write_output(campaign, "yaml",
                                                os.path.join(workdir, "results.yaml")))
    out["json"], _ = timed(lambda: write_output(campaign, "json",
                                                os.path.join(workdir, "results.json")))
    out["xml"], _ = timed(lambda: Scribe(workdir, campaign).generate_xml(None, {}))
    out["dump_json"], text = timed(campaign.dump_json)
    del text
    job = record(campaign)
    del campaign
    out["replay"], campaign = timed(lambda: replay_ours(job))
    del campaign
    if peer:
        out["rf_build"], result = timed(lambda: replay_peer(job))
        out["rf_json"], text = timed(result.to_json)
        del text
        out["rf_save"], _ = timed(lambda: result.save(os.path.join(workdir, "output.xml")))
        del result
    del job
    # The demo command's own build: each finished task frozen out of full collections.
    frozen_logs = os.path.join(workdir, "frozen-logs")
    os.makedirs(frozen_logs)
    out["build_frozen"], (campaign, _) = timed(
        lambda: build(Plan(tasks=tasks), frozen_logs, freeze_finished=True))
    gc.unfreeze()
    del campaign
    gc.collect()
    return out


def stream_memory(tasks, workdir):
    """Extra peak memory (MiB) of write_* and of dump_* + write on one tree."""
    logs = os.path.join(workdir, "logs")
    os.makedirs(logs)
    campaign, _ = build(Plan(tasks=tasks), logs)
    rows = []
    for kind in ("yaml", "json"):
        path = os.path.join(workdir, "results." + kind)
        pair = []
        for streamed in (True, False):
            if streamed and not hasattr(campaign, "write_" + kind):
                pair.append(None)
                continue
            gc.collect()
            if not reset_peak():
                return None
            base = status_kb("VmRSS")
            if streamed:
                getattr(campaign, "write_" + kind)(path)
            else:
                write_text(path, getattr(campaign, "dump_" + kind)())
            pair.append((status_kb("VmHWM") - base) / 1024.0)
        rows.append((kind, pair))
    return rows


def whole_demo(tasks, workdir):
    """Wall time and peak RSS (KiB) of the demo command as a child process."""
    start = time.perf_counter()
    subprocess.run([sys.executable, "-m", "korvo.reporter", "demo",
                    os.path.join(workdir, "demo"), "--tasks", str(tasks)],
                   check=True, stdout=subprocess.DEVNULL)
    wall = time.perf_counter() - start
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return wall, usage.ru_utime + usage.ru_stime, usage.ru_maxrss


def fmt_us(pair, nodes):
    return "%.2f" % (pair[1] / nodes * 1e6)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--tasks", type=int, nargs="+", default=[10, 100, 1000])
    parser.add_argument("--no-peer", action="store_true", help="skip Robot Framework")
    parser.add_argument("--no-demo", action="store_true", help="skip the whole-demo run")
    parser.add_argument("--lock", help="flock this file while running (big jobs)")
    args = parser.parse_args()
    if args.lock:
        lock = open(args.lock, "a")
        fcntl.flock(lock, fcntl.LOCK_EX)
    peer = not args.no_peer
    if peer:
        try:
            import robot
        except ImportError:
            sys.exit("the peer needs robotframework: pip install '.[bench]' (or pass --no-peer)")
        print("peer: Robot Framework %s" % robot.__version__)
    print("python %s, %s" % (sys.version.split()[0], datetime.date.today()))

    results = []
    for tasks in args.tasks:
        workdir = tempfile.mkdtemp(prefix="korvo-scale-")
        try:
            results.append(measure(tasks, workdir, peer))
        finally:
            shutil.rmtree(workdir, ignore_errors=True)
        r = results[-1]
        print("measured %s nodes" % format(r["nodes"], ","), file=sys.stderr, flush=True)

    header = ["measurement"] + ["%s nodes" % format(r["nodes"], ",") for r in results]
    rows = []
    for key, label in (("build", "build (cpu us/node)"),
                       ("build_frozen", "build, tasks frozen (cpu us/node)"),
                       ("replay", "replayed build (cpu us/node)"),
                       ("yaml", "results.yaml (cpu us/node)"),
                       ("json", "results.json (cpu us/node)"),
                       ("xml", "both XML files (cpu us/node)")):
        rows.append([label] + [fmt_us(r[key], r["nodes"]) for r in results])
    for key, label in (("build", "build (s, cpu s)"),
                       ("build_frozen", "build, tasks frozen (s, cpu s)"),
                       ("replay", "replayed build (s, cpu s)"),
                       ("yaml", "results.yaml (s, cpu s)"),
                       ("json", "results.json (s, cpu s)"), ("xml", "both XML files (s, cpu s)")):
        rows.append([label] + ["%.2f (%.2f)" % r[key] for r in results])
    if peer:
        for ours, theirs, label in (("replay", "rf_build", "replayed build vs RF (x, cpu)"),
                                    ("dump_json", "rf_json", "dump_json vs RF to_json() (x)"),
                                    ("xml", "rf_save", "XML export vs RF save() (x)")):
            rows.append([label] + ["%.2f (%.2fs vs %.2fs)" % (r[theirs][1] / r[ours][1],
                                                             r[ours][1], r[theirs][1])
                                   for r in results])
    widths = [max(len(row[i]) for row in rows + [header]) for i in range(len(header))]
    line = "  ".join("-" * w for w in widths)
    print()
    print("  ".join(h.ljust(widths[0]) if i == 0 else h.rjust(widths[i])
                    for i, h in enumerate(header)))
    print(line)
    for row in rows:
        print("  ".join(c.ljust(widths[0]) if i == 0 else c.rjust(widths[i])
                        for i, c in enumerate(row)))

    if len(results) > 1:
        first, last = results[0], results[-1]
        print()
        print("per-node cost at %s nodes vs %s nodes (target <= 1.3x):" % (
            format(last["nodes"], ","), format(first["nodes"], ",")))
        for key, label in (("build", "build"), ("build_frozen", "build, tasks frozen"),
                           ("yaml", "yaml"), ("json", "json"), ("xml", "xml")):
            ratio = (last[key][1] / last["nodes"]) / (first[key][1] / first["nodes"])
            print("  %-20s %.2fx" % (label, ratio))

    biggest = max(args.tasks)
    if not args.no_demo:
        workdir = tempfile.mkdtemp(prefix="korvo-scale-")
        try:
            wall, cpu, peak = whole_demo(biggest, workdir)
        finally:
            shutil.rmtree(workdir, ignore_errors=True)
        print()
        # both units: the peak sits near the target, where GiB and GB part
        print("whole demo --tasks %d: %.1f s (cpu %.1f s), peak RSS %.2f GiB = %.2f GB "
              "(targets 25 s, 3.0 GB)" % (biggest, wall, cpu, peak / 2.0**20, peak * 1024 / 1e9))

    workdir = tempfile.mkdtemp(prefix="korvo-scale-")
    try:
        rows = stream_memory(biggest, workdir)
    finally:
        shutil.rmtree(workdir, ignore_errors=True)
    print()
    if rows is None:
        print("extra peak memory: /proc/self/clear_refs not writable here")
    else:
        print("extra peak memory on the --tasks %d tree (VmHWM after clear_refs):" % biggest)
        for kind, (streamed, whole) in rows:
            print("  %-5s write_%s %s   dump_%s + write %.1f MiB" % (
                kind, kind, "n/a (not in this build)" if streamed is None
                else "%.1f MiB" % streamed, kind, whole))


if __name__ == "__main__":
    main()
