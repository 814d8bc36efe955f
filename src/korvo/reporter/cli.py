"""Command line of the reporter: `demo OUTDIR` and `summary FILE`.

Every failure a user can cause (a bad option, an unusable directory, a file
that is not a results document) ends with one line on stderr and a non-zero
exit, never a traceback. Set KORVO_REPORTER_TRACEBACK=1 to get the traceback
of an unexpected failure.
"""

import argparse
import os
import sys
import tempfile
import time

PROG = "python -m korvo.reporter"
EXIT_FAILURE = 1  # the run itself failed
EXIT_USAGE = 2    # bad input: options, paths, documents


class UsageError(Exception):
    """Bad input from the user; reported in one line with EXIT_USAGE."""


class _Parser(argparse.ArgumentParser):
    # argparse prints the whole usage before its error; one line is easier to read
    # and to grep, and --help still shows the usage.
    def error(self, message):
        raise UsageError("%s (see %s --help)" % (message, self.prog))


def _count(text):
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError("not a whole number: %r" % text) from None
    if value < 0:
        raise argparse.ArgumentTypeError("must not be negative: %s" % text)
    return value


def _rate(text):
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError("not a number: %r" % text) from None
    if not 0.0 <= value <= 1.0:
        raise argparse.ArgumentTypeError("must lie between 0 and 1: %s" % text)
    return value


def _seed(text):
    try:
        return int(text)
    except ValueError:
        raise argparse.ArgumentTypeError("not a whole number: %r" % text) from None


def build_parser():
    from korvo.reporter.demo import Plan

    default = Plan()
    parser = _Parser(prog=PROG, description="Demo run and results summary of korvo-reporter.")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=_Parser)
    commands.required = True

    demo = commands.add_parser(
        "demo", help="drive a synthetic job through the report model and write all outputs",
        description="Drives a synthetic job run through the report model as a harness does and "
        "writes results.yaml, results.json, ResultsDetails.xml, ResultsSummary.xml and the task "
        "log files into OUTDIR. The defaults build about %s nodes." % format(
            default.node_count(), ","))
    demo.add_argument("outdir", metavar="OUTDIR", help="output directory (created if missing)")
    demo.add_argument("--tasks", type=_count, default=default.tasks,
                      help="test scripts in the job (default %(default)s)")
    demo.add_argument("--testcases", type=_count, default=default.testcases,
                      help="testcases per task (default %(default)s)")
    demo.add_argument("--sections", type=_count, default=default.sections,
                      help="test sections per testcase and subsections per common "
                      "setup/cleanup (default %(default)s)")
    demo.add_argument("--steps", type=_count, default=default.steps,
                      help="steps per section, partly nested (default %(default)s)")
    demo.add_argument("--fail-rate", type=_rate, default=default.fail_rate,
                      help="share of testcases and common sections that do not pass "
                      "(default %(default)s)")
    demo.add_argument("--seed", type=_seed, default=default.seed,
                      help="seed of the result draw (default %(default)s)")

    summary = commands.add_parser(
        "summary", help="per-task table and job totals of a results.yaml or results.json",
        description="Shows the per-task results and the job totals of a results document.")
    summary.add_argument("file", metavar="FILE", help="results.yaml or results.json")
    return parser


def _prepare_outdir(outdir):
    try:
        os.makedirs(outdir, exist_ok=True)
        with tempfile.TemporaryFile(dir=outdir):
            pass
    except OSError as exc:
        raise UsageError("cannot write to output directory %s: %s"
                         % (outdir, exc.strerror or exc)) from None


def _write(path, text):
    with open(path, "w", encoding="utf-8", newline="\n") as handle:
        handle.write(text)
    return os.path.getsize(path)


def run_demo(args, out):
    from korvo.reporter.demo import Plan, build
    from korvo.reporter.progress import Progress
    from korvo.reporter.campaign import Plugin
    from korvo.reporter.summary import format_counts

    outdir = os.fspath(args.outdir)
    _prepare_outdir(outdir)
    plan = Plan(tasks=args.tasks, testcases=args.testcases, sections=args.sections,
                steps=args.steps, fail_rate=args.fail_rate, seed=args.seed)
    progress = Progress(plan.node_count())
    timings = []
    try:
        started = time.perf_counter()
        campaign, nodes = build(plan, outdir, tick=progress.update,
                                cli=" ".join([PROG] + sys.argv[1:]))
        timings.append(("build (report model)", time.perf_counter() - started, None))

        for name, dump in (("results.yaml", campaign.dump_yaml),
                           ("results.json", campaign.dump_json)):
            progress.phase("writing " + name)
            started = time.perf_counter()
            size = _write(os.path.join(outdir, name), dump())
            timings.append((name, time.perf_counter() - started, size))

        progress.phase("writing the XML report")
        from korvo.reporter.scribe import Scribe

        started = time.perf_counter()
        Scribe(outdir, campaign).generate_xml(None, {})
        size = sum(os.path.getsize(os.path.join(outdir, n))
                   for n in ("ResultsDetails.xml", "ResultsSummary.xml"))
        timings.append(("ResultsDetails.xml + ResultsSummary.xml",
                        time.perf_counter() - started, size))
    finally:
        progress.close()

    counts = dict(campaign.summary.items())
    # job-level plugins count in their own summary, task-level ones in their task's
    plugin_counts = {}
    for entry in campaign.tasks:
        counter = entry.summary if isinstance(entry, Plugin) else entry.pluginsummary
        for key, count in counter.items():
            plugin_counts[key] = plugin_counts.get(key, 0) + count

    lines = [
        "demo job written to %s" % outdir,
        "  nodes         %s (%d tasks x %d testcases, %d sections, %d steps)" % (
            format(nodes, ","), plan.tasks, plan.testcases, plan.sections, plan.steps),
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
    return 0


def _size(size):
    if size is None:
        return ""
    for unit in ("B", "KiB", "MiB"):
        if size < 1024 or unit == "MiB":
            return ("%d %s" % (size, unit)) if unit == "B" else ("%.1f %s" % (size, unit))
        size /= 1024.0
    return str(size)


def run_summary(args, out):
    from korvo.reporter.summary import DocumentError, load_document, render

    try:
        doc = load_document(args.file)
    except DocumentError as exc:
        raise UsageError(str(exc)) from None
    out.write(render(doc))
    return 0


def main(argv=None, out=None, err=None):
    out = sys.stdout if out is None else out
    err = sys.stderr if err is None else err
    try:
        args = build_parser().parse_args(argv)
        if args.command == "demo":
            return run_demo(args, out)
        return run_summary(args, out)
    except UsageError as exc:
        err.write("%s: error: %s\n" % (PROG, exc))
        return EXIT_USAGE
    except KeyboardInterrupt:
        err.write("%s: interrupted\n" % PROG)
        return 130
    except Exception as exc:
        if os.environ.get("KORVO_REPORTER_TRACEBACK"):
            raise
        err.write("%s: error: %s: %s\n" % (PROG, type(exc).__name__, exc))
        return EXIT_FAILURE
