"""`html RESULTS OUT.html`: one self-contained HTML page of a results document."""

import argparse
from typing import Any, Optional

from korvo.reporter._types import Subcommands, TextOut
from korvo.reporter.cli import UsageError, add_logs_argument, count_arg

NAME = "html"

EXAMPLES = """\
  %(prog)s html /tmp/korvo-demo/results.json /tmp/korvo-demo/report.html
  %(prog)s html results.yaml report.html --logs /runs/42 --log-limit 10000000
  %(prog)s html results.json report.html --db sqlite:///ci/history.db   # strips and trends
  %(prog)s html junit.xml - > report.html"""


def add_parser(commands: Subcommands) -> None:
    from korvo.reporter.html import LOG_BUDGET

    page = commands.add_parser(
        NAME, help="write one self-contained HTML report of a results document",
        description="Writes one HTML file with the job overview, the results tree (filters, "
        "search, details) and each section's slice of its log file. It needs no network and "
        "opens from disk. Log files are looked up by name in the results' directory, or in "
        "each --logs DIR in turn.")
    page.add_argument("results", metavar="RESULTS", help="results.yaml or results.json")
    page.add_argument("out", metavar="OUT.html", help="the page to write (replaced if present; "
                      "missing directories are made; - writes standard output)")
    add_logs_argument(page, "the directory of RESULTS")
    page.add_argument("--db", metavar="URL",
                      help="a results history (sqlite:///PATH or postgresql://...): each "
                      "testcase's last outcomes with new-failure and flaky badges, and the "
                      "series' trends")
    page.add_argument("--series", metavar="NAME", help="the job's series in the history")
    page.add_argument("--log-limit", metavar="BYTES", type=count_arg, default=LOG_BUDGET,
                      help="bytes of log embedded in all (default %(default)s; each node's "
                      "slice is cut at 64 KiB)")
    page.add_argument("--follow", action="store_true",
                      help="RESULTS is the journal of a running job: rewrite the page every few "
                      "seconds until the job ends (an open page reloads itself)")


def _history(campaign: Any, args: argparse.Namespace) -> Optional[str]:
    from korvo.reporter import history
    from korvo.reporter.history.page_data import read_history

    try:
        history_json: Optional[str] = read_history(args.db, campaign, args.series)
        return history_json
    except (history.StoreError, history.StoreURLError) as exc:
        raise UsageError(history.redact(str(exc))) from None
    except (TypeError, ValueError, AttributeError) as exc:
        raise UsageError("%s cannot be judged against a history: %s" % (args.results, exc)) from None


def run(args: argparse.Namespace, out: TextOut, err: TextOut) -> int:
    from korvo.reporter.cli import logs_dirs, output_path, read_results, shown
    from korvo.reporter.html import render_html, write_html
    from korvo.reporter.progress import Progress

    if args.follow:
        from korvo.reporter.follow import run_follow

        return run_follow(args, out, err)
    target = output_path(args.out, args.results)

    logs = logs_dirs(args.logs, [args.results])
    progress = Progress(1, stream=err)
    try:
        progress.phase("reading " + args.results)
        campaign = read_results(args.results)
        history = None
        if args.db:
            history = _history(campaign, args)
        if target is None:
            out.write(render_html(campaign, logs_dir=logs, log_budget=args.log_limit,
                                  history=history))
            return 0
        progress.phase("writing " + args.out)
        try:
            size = write_html(campaign, args.out, logs_dir=logs, log_budget=args.log_limit,
                              history=history)
        except OSError as exc:
            raise UsageError("cannot write %s: %s" % (shown(args.out), exc.strerror or exc)) from None
    finally:
        progress.close()
    out.write("report written to %s (%s bytes)\n" % (args.out, format(size, ",")))
    return 0
