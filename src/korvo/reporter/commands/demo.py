"""`demo OUTDIR`: a synthetic job driven through the report model, every output written."""

import argparse
import gc
import os
import sys
import time
from typing import Any, Dict, List, Optional, Tuple, Union

from korvo.reporter import cli
from korvo.reporter._types import Subcommands, TextOut
from korvo.reporter.cli import (PROG, UsageError, count_arg, plural, prepare_outdir, rate_arg,
                                 seed_arg)

NAME = "demo"
# Ten times the largest job the benchmarks build: about 13 GB of tree.
MAX_NODES = 10_000_000


def add_parser(commands: Subcommands) -> None:
    from korvo.reporter.demo import Plan

    default = Plan()
    demo = commands.add_parser(
        NAME, help="drive a synthetic job through the report model and write all outputs",
        description="Drives a synthetic job run through the report model as a harness does and "
        "writes results.yaml, results.json, ResultsDetails.xml, ResultsSummary.xml, report.html "
        "and the task log files into OUTDIR. The defaults build about %s nodes." % format(
            default.node_count(), ","))
    demo.add_argument("outdir", metavar="OUTDIR", help="output directory (created if missing)")
    demo.add_argument("--tasks", type=count_arg, default=default.tasks,
                      help="test scripts in the job (default %(default)s)")
    demo.add_argument("--testcases", type=count_arg, default=default.testcases,
                      help="testcases per task (default %(default)s)")
    demo.add_argument("--sections", type=count_arg, default=default.sections,
                      help="test sections per testcase and subsections per common "
                      "setup/cleanup (default %(default)s)")
    demo.add_argument("--steps", type=count_arg, default=default.steps,
                      help="steps per section, partly nested (default %(default)s)")
    demo.add_argument("--fail-rate", type=rate_arg, default=default.fail_rate,
                      help="share of testcases and common sections that do not pass "
                      "(default %(default)s)")
    demo.add_argument("--seed", type=seed_arg, default=default.seed,
                      help="seed of the result draw (default %(default)s)")
    demo.add_argument("--journal", metavar="PATH",
                      help="record the job in a journal at PATH (a new file) as it runs; "
                      "see the recover command")
    demo.add_argument("--durability", choices=("flush", "fsync", "batch"), default="flush",
                      help="how the journal reaches the disk (default %(default)s)")
    demo.add_argument("--series", metavar="N", type=count_arg, default=None,
                      help="make N jobs of one series in OUTDIR/job001, job002, ...: failures "
                      "persist from job to job and a few testcases flip, so a results history "
                      "has something to show (see the history command)")


def _series(args: argparse.Namespace, out: TextOut, err: TextOut) -> int:
    """`demo --series N`: N jobs of one series, each with every output, one after another."""
    from korvo.reporter.demo import Plan, build
    from korvo.reporter.outputs import HTML, RESULTS, XML, write_outputs

    if args.journal:
        raise UsageError("--series and --journal do not go together")
    if args.series < 1:
        raise UsageError("--series needs at least 1 job")
    outdir = os.fspath(args.outdir)
    prepare_outdir(outdir)
    for k in range(args.series):
        plan = Plan(tasks=args.tasks, testcases=args.testcases, sections=args.sections,
                    steps=args.steps, fail_rate=args.fail_rate, seed=args.seed * 100003 + k,
                    series_job=k, series_seed=args.seed)
        if plan.node_count() > MAX_NODES:
            raise UsageError("the jobs would have %s nodes; the demo builds at most %s"
                             % (format(plan.node_count(), ","), format(MAX_NODES, ",")))
        where = os.path.join(outdir, "job%03d" % (k + 1))
        prepare_outdir(where)
        campaign, _ = build(plan, where, cli=" ".join([PROG] + sys.argv[1:]))
        write_outputs(campaign, where, RESULTS + XML + HTML, logs_dir=where)
        counts = dict(campaign.summary.items())
        from korvo.reporter.summary import format_counts

        out.write("job %d of %d written to %s: %s\n" % (
            k + 1, args.series, where, format_counts(counts)))
    out.write("then: %s history add %s\n" % (PROG, os.path.join(outdir, "job*", "results.json")))
    return 0


def run(args: argparse.Namespace, out: TextOut, err: TextOut) -> int:
    if args.series is not None:
        return _series(args, out, err)
    from korvo.reporter.demo import Plan, build
    from korvo.reporter.progress import Progress
    from korvo.reporter.campaign import Plugin
    from korvo.reporter.outputs import HTML, RESULTS, XML, write_outputs
    from korvo.reporter.summary import format_counts

    outdir = os.fspath(args.outdir)
    plan = Plan(tasks=args.tasks, testcases=args.testcases, sections=args.sections,
                steps=args.steps, fail_rate=args.fail_rate, seed=args.seed)
    if plan.node_count() > MAX_NODES:
        raise UsageError("--tasks, --testcases, --sections and --steps make a job of %s nodes; "
                         "the demo builds at most %s" % (format(plan.node_count(), ","),
                                                         format(MAX_NODES, ",")))
    prepare_outdir(outdir)
    if args.journal:
        _check_new_journal(args.journal)
    progress = Progress(plan.node_count())
    timings: List[Tuple[str, float, Optional[int]]] = []
    # Finished tasks are frozen out of the collector's full collections while the job
    # grows, unless the caller has frozen objects of its own (unfreezing would free them).
    freeze = gc.get_freeze_count() == 0
    try:
        started = time.perf_counter()
        try:
            campaign, nodes = build(plan, outdir, tick=progress.update,
                                    cli=" ".join([PROG] + sys.argv[1:]), journal=args.journal,
                                    durability=args.durability, freeze_finished=freeze)
        except OSError as exc:
            if not args.journal or exc.filename is None or (
                    os.fsdecode(exc.filename) != os.fsdecode(args.journal)):
                raise
            raise UsageError("cannot write journal %s: %s" % (
                cli.shown(args.journal), exc.strerror or exc)) from None
        timings.append(("build (report model)", time.perf_counter() - started, None))

        # streamed to the files: a million-node job never holds its documents whole
        def step(title: str, seconds: Optional[float] = None, size: Optional[int] = None) -> None:
            if seconds is None:
                progress.phase("writing " + title)
            else:
                timings.append((title, seconds, size))

        write_outputs(campaign, outdir, RESULTS + XML + HTML, logs_dir=outdir, on_step=step)
    finally:
        progress.close()
        if freeze:
            gc.unfreeze()

    counts = dict(campaign.summary.items())
    # job-level plugins count in their own summary, task-level ones in their task's
    plugin_counts: Dict[Any, int] = {}
    for entry in campaign.tasks:
        counter: Any = entry.summary if isinstance(entry, Plugin) else entry.pluginsummary
        for key, count in counter.items():
            plugin_counts[key] = plugin_counts.get(key, 0) + count

    lines = [
        "demo job written to %s" % outdir,
        "  nodes         %s (%s x %s, %s, %s)" % (
            format(nodes, ","), plural(plan.tasks, "task"), plural(plan.testcases, "testcase"),
            plural(plan.sections, "section"), plural(plan.steps, "step")),
        "  results       %s (total %s)" % (format_counts(counts),
                                           format(sum(counts.values()), ",")),
        "  success rate  %.1f%%" % campaign.summary.success_rate,
        "  plugins       %s" % format_counts(plugin_counts),
        "",
        "  %-40s %9s %10s" % ("output", "time", "size"),
    ]
    for name, seconds, size in timings:
        lines.append(("  %-40s %7.3f s %10s" % (name, seconds, _size(size))).rstrip())
    out.write("\n".join(lines) + "\n")
    # Every file is written and closed: a process that ends here need not free a
    # million-node tree object by object (seconds of work).
    cli.skip_teardown()
    return 0


def _check_new_journal(path: str) -> None:
    # The journal is opened for appending by its writer, which waits on a FIFO and fails
    # on a link or a missing directory: refused here in one line instead.
    import stat

    shown = cli.shown(path)
    folder = os.path.dirname(os.path.abspath(path))
    if not os.path.isdir(folder):
        raise UsageError("cannot write journal %s: no directory %s" % (shown, cli.shown(folder)))
    try:
        info = os.lstat(path)
    except FileNotFoundError:
        return
    except OSError as exc:
        raise UsageError("cannot write journal %s: %s" % (shown, exc.strerror or exc)) from None
    if not stat.S_ISREG(info.st_mode):
        raise UsageError("cannot write journal %s: it is not a regular file" % shown)
    if info.st_size:
        raise UsageError("journal %s already exists: a journal starts in a new file" % shown)


def _size(size: Union[int, float, None]) -> str:
    if size is None:
        return ""
    for unit in ("B", "KiB", "MiB"):
        if size < 1024 or unit == "MiB":
            return ("%d %s" % (size, unit)) if unit == "B" else ("%.1f %s" % (size, unit))
        size /= 1024.0
    return str(size)


