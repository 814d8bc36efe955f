"""`summary FILE`: the per-task table, the job totals and the failures of a results document,
journal or JUnit file, with an exit status CI servers understand."""

import argparse
from typing import Any

from korvo.reporter._types import Subcommands, TextOut
from korvo.reporter.cli import UsageError, count_arg

NAME = "summary"

EXAMPLES = """\
  %(prog)s summary /tmp/korvo-demo/results.yaml
  %(prog)s summary results.json --format markdown >> "$GITHUB_STEP_SUMMARY"
  %(prog)s summary results.json --format json > summary.json
  %(prog)s summary results.json --db sqlite:///ci/history.db --fail-on new
  %(prog)s summary junit.xml --max-failures 5
  cat results.json | %(prog)s summary -"""


def add_parser(commands: Subcommands) -> None:
    summary = commands.add_parser(
        NAME, help="per-task table, job totals and failures of a results.yaml, results.json, "
        "journal or JUnit file",
        description="Shows the per-task results, the job totals and the failing testcases, "
        "setups, cleanups and plugins (with the first line of why) of a results document "
        "(results.yaml, results.json, a journal, or JUnit XML from another framework). Exits 0 "
        "when no result failed (Passed, Passx and Skipped do not fail), 1 when one did, 4 when "
        "fewer tasks ran than the job declared, 5 when nothing was counted, 2 when the input "
        "cannot be used. The legacy XML report is not read.")
    summary.add_argument("file", metavar="FILE",
                         help="results.yaml, results.json, a journal or JUnit XML; - reads "
                         "standard input")
    summary.add_argument("--no-fail", action="store_true",
                         help="exit 0 whatever the results (exit codes 1, 4 and 5 become 0)")
    summary.add_argument("--max-failures", metavar="N", type=count_arg, default=20,
                         help="failures listed at most (default %(default)s)")
    summary.add_argument("--format", choices=("text", "json", "markdown"), default="text",
                         help="text (default), json (see the README for its schema) or "
                         "markdown (for CI pages)")
    summary.add_argument("--db", metavar="URL",
                         help="a results history (sqlite:///PATH or postgresql://...): add a "
                         "line on new, still-failing and known flaky failures")
    summary.add_argument("--series", metavar="NAME", help="the job's series in the history "
                         "(default: its job file, else its id)")
    summary.add_argument("--fail-on", choices=("any", "new"), default="any",
                         help="any (default): exit 1 on any failure; new: exit 1 only on a "
                         "failure that is neither still failing nor known flaky (needs --db)")


def _judge(root: Any, args: argparse.Namespace) -> Any:
    from korvo.reporter import history
    from korvo.reporter.history import queries

    try:
        job = history.job_rows(root, source="", files="", series=args.series)
    except (TypeError, ValueError, AttributeError) as exc:
        raise UsageError("%s cannot be judged against a history: %s" % (args.file, exc)) from None
    try:
        with history.open_store(args.db) as store:
            return queries.judge(store, job)
    except (history.StoreError, history.StoreURLError) as exc:
        raise UsageError(history.redact(str(exc))) from None


def run(args: argparse.Namespace, out: TextOut, err: TextOut) -> int:
    from korvo.reporter import summary as s
    from korvo.reporter.cli import read_results, shown

    if args.fail_on == "new" and not args.db:
        raise UsageError("--fail-on new needs --db URL, the history to judge against")
    root = read_results(args.file)
    judgement = _judge(root, args) if args.db else None
    try:
        found = s.failures(root)
        status, why = s.exit_status(root, judgement if args.fail_on == "new" else None)
        if args.format == "text":
            text = s.render(root) + s.render_failures(found, args.max_failures) + s.render_history(judgement)
        else:
            doc = s.document(root, found, args.max_failures, judgement, status, why)
            text = s.render_json(doc) if args.format == "json" else s.render_markdown(doc)
    except (TypeError, ValueError, AttributeError, KeyError, OverflowError) as exc:
        # a document of the right shape holding values no report carries
        raise UsageError("%s cannot be summarised: %s" % (shown(args.file), exc)) from None
    out.write(text)
    return 0 if args.no_fail else status
