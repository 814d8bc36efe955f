"""`junit RESULTS OUT.xml`: the JUnit XML a CI server reads, from a results document."""

import argparse

from korvo.reporter._types import Subcommands, TextOut
from korvo.reporter.cli import UsageError, add_logs_argument

NAME = "junit"


def add_parser(commands: Subcommands) -> None:
    junit = commands.add_parser(
        NAME, help="JUnit XML for CI servers from a results.yaml or results.json",
        description="Writes the JUnit XML of a results document: a <testsuite> per task, a "
        "<testcase> per testcase, and common setups, cleanups and plugins that did not pass as "
        "testcases too. Each testcase's part of its log file goes into <system-out> (at most "
        "64 KiB) when the log file lies in the logs directory. Exits 0 once the file is "
        "written, whatever the results; the CI server judges them from the file.")
    junit.add_argument("results", metavar="RESULTS",
                       help="results.yaml or results.json (a journal too; - reads standard input)")
    junit.add_argument("out", metavar="OUT.xml", help="the JUnit XML file to write (replaced; "
                       "missing directories are made; - writes standard output)")
    add_logs_argument(junit, "the directory of RESULTS; none for standard input")


def run(args: argparse.Namespace, out: TextOut, err: TextOut) -> int:
    from korvo.reporter.cli import logs_dirs, output_path, plural, read_results, shown
    from korvo.reporter.junit import to_junit, write_junit

    target = output_path(args.out, args.results)
    campaign = read_results(args.results, whole_job=True)
    logs_dir = logs_dirs(args.logs, [args.results])
    if target is None:
        out.write(to_junit(campaign, logs_dir=logs_dir))
        return 0
    try:
        totals = write_junit(campaign, args.out, logs_dir=logs_dir)
    except OSError as exc:
        raise UsageError("cannot write %s: %s" % (shown(args.out), exc.strerror or exc)) from None
    out.write("%s: %s, %s, %s, %d skipped\n" % (
        args.out, plural(totals.tests, "test"), plural(totals.failures, "failure"),
        plural(totals.errors, "error"), totals.skipped))
    return 0
