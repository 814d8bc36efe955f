"""`history add|jobs|show|flaky|diff`: a results history in SQLite or PostgreSQL."""

import argparse
import datetime
from typing import TYPE_CHECKING, Any, Callable, Dict, List, Optional, Protocol

from korvo.reporter.cli import UsageError, count_arg

if TYPE_CHECKING:  # the store's modules load when a verb runs, not with the parser
    from korvo.reporter.history.queries import Change
    from korvo.reporter.history.store import Store


class Writer(Protocol):
    def write(self, text: str) -> Any: ...


NAME = "history"

EXAMPLES = """\
  %(prog)s history add /tmp/korvo-demo/results.json
  %(prog)s history add runs/*/results.yaml --db postgresql://ci@db.lab/korvo
  %(prog)s history jobs
  %(prog)s history show task001::tc003 --last 10
  %(prog)s history flaky --last 50
  %(prog)s history diff            # the last two jobs of the series
  KORVO_REPORT_DB=sqlite:///ci/history.db %(prog)s history diff 41 42"""


def add_parser(commands: "argparse._SubParsersAction[argparse.ArgumentParser]") -> None:
    history = commands.add_parser(
        NAME, help="results history: add jobs, list them, a testcase's outcomes, flaky "
        "testcases, what changed between two jobs",
        description="Keeps the outcomes of jobs in a store (--db sqlite:///PATH, the default "
        "korvo-history.db here or $KORVO_REPORT_DB, or postgresql://...) and answers what "
        "changed. A testcase is the same in every job when its task's testscript (or task id) "
        "and its chain of section ids match; a series is the campaign's job file, else its id.")
    verbs = history.add_subparsers(dest="verb", metavar="VERB", parser_class=type(history))
    verbs.required = True

    def verb(name: str, help_text: str) -> argparse.ArgumentParser:
        sub = verbs.add_parser(name, help=help_text, description=help_text)
        sub.add_argument("--db", metavar="URL",
                         help="sqlite:///PATH or postgresql://...; default $KORVO_REPORT_DB, "
                         "else sqlite:///korvo-history.db")
        return sub

    add = verb("add", "store jobs: results.yaml, results.json or journals (each one transaction; "
               "the same job twice is stored once, a merged rerun replaces it)")
    add.add_argument("files", metavar="RESULTS", nargs="+")
    add.add_argument("--series", metavar="NAME", help="the series the jobs belong to")
    jobs = verb("jobs", "list the stored jobs with their counts, oldest first")
    jobs.add_argument("--series", metavar="NAME")
    jobs.add_argument("--last", metavar="N", type=count_arg, default=50)
    show = verb("show", "a testcase's last outcomes with times and reasons (SCRIPT::PATH, "
                "or a path such as tc003 or common_setup)")
    show.add_argument("testcase", metavar="TESTCASE")
    show.add_argument("--last", metavar="N", type=count_arg, default=20)
    flaky = verb("flaky", "testcases whose outcome flipped between passing and failing in the "
                 "last N jobs, ranked by flip rate")
    flaky.add_argument("--series", metavar="NAME")
    flaky.add_argument("--last", metavar="N", type=count_arg, default=20)
    diff = verb("diff", "what changed between two jobs (by number from `history jobs` or "
                "campaign id; default the last two of the series)")
    diff.add_argument("jobs", metavar="JOB", nargs="*")
    diff.add_argument("--series", metavar="NAME")


def _when(start_us: int) -> str:
    moment = datetime.datetime(1970, 1, 1) + datetime.timedelta(microseconds=start_us)
    return moment.strftime("%Y-%m-%d %H:%M:%S")


def _secs(ms: Optional[int]) -> str:
    return "" if ms is None else "%.2f s" % (ms / 1000.0)


def _plural(n: int, one: str, many: str) -> str:
    return "%d %s" % (n, one if n == 1 else many)


def run(args: argparse.Namespace, out: Writer, err: Writer) -> int:
    from korvo.reporter import history
    from korvo.reporter.loading import LoadError

    try:
        with history.open_store(args.db) as store:
            return _VERBS[args.verb](store, args, out)
    except (LoadError, history.StoreError, history.StoreURLError) as exc:
        raise UsageError(history.redact(str(exc))) from None


def _add(store: "Store", args: argparse.Namespace, out: Writer) -> int:
    from korvo.reporter import history
    from korvo.reporter.history.rows import OUTCOME_FAILED

    for path, job, job_id, replaced in history.add_files(store, args.files, args.series):
        failed = sum(1 for r in job.runs if r.outcome == OUTCOME_FAILED)
        out.write("%s job %d: %s %s, series %s, %s, %s failed%s\n" % (
            "replaced" if replaced else "added", job_id, job.campaign, _when(job.start_us),
            job.series, _plural(len(job.runs), "testcase", "testcases"), failed,
            "" if job.complete else " (incomplete: the job did not end)"))
    return 0


def _jobs(store: "Store", args: argparse.Namespace, out: Writer) -> int:
    from korvo.reporter.history import queries

    found = queries.jobs(store, args.series, args.last)
    if not found:
        out.write("no jobs stored\n")
        return 0
    out.write("%5s  %-19s  %-20s  %-8s  %6s  %s\n" % ("job", "start", "campaign", "result", "runs", "series"))
    for j in found:
        out.write("%5d  %-19s  %-20s  %-8s  %6d  %s%s\n" % (
            j.id, _when(j.start_us), j.campaign, j.result, j.runs, j.series,
            "" if j.complete else "  (incomplete)"))
    return 0


def _show(store: "Store", args: argparse.Namespace, out: Writer) -> int:
    from korvo.reporter.history import queries

    cases = queries.find_testcase(store, args.testcase)
    if not cases:
        raise UsageError("no testcase %r in the history" % args.testcase)
    if len(cases) > 1:
        raise UsageError("%r names %d testcases; give SCRIPT::PATH, one of: %s" % (
            args.testcase, len(cases), ", ".join("%s::%s" % (c[1], c[2]) for c in cases[:5])))
    case, script, path = cases[0]
    outcomes = queries.show(store, case, args.last)
    out.write("%s::%s, last %s\n" % (script, path, _plural(len(outcomes), "outcome", "outcomes")))
    for o in outcomes:
        out.write("  %-19s  %-20s  %-8s  %9s  %s%s\n" % (
            _when(o.start_us), o.campaign, o.result, _secs(o.runtime_ms), o.reason,
            "  (rerun: was failed)" if o.rerun else ""))
    return 0


def _flaky(store: "Store", args: argparse.Namespace, out: Writer) -> int:
    from korvo.reporter.history import queries

    found = queries.flaky(store, args.series, args.last)
    if not found:
        out.write("no flaky testcases in the last %s\n" % _plural(args.last, "job", "jobs"))
        return 0
    out.write("%-6s  %5s  %5s  %6s  %6s  %s\n" % ("rate", "flips", "runs", "passed", "failed", "testcase"))
    for f in found:
        out.write("%5.0f%%  %5d  %5d  %6d  %6d  %s::%s\n" % (
            100 * f.rate, f.flips, f.runs, f.passed, f.failed, f.script, f.path))
    return 0


def _diff(store: "Store", args: argparse.Namespace, out: Writer) -> int:
    from korvo.reporter.history import queries

    if len(args.jobs) > 2:
        raise UsageError("diff takes at most two jobs: [OLD] NEW")
    if not args.jobs:
        old_id, new_id = queries.last_two(store, args.series)
    elif len(args.jobs) == 1:
        new_id = queries.find_job(store, args.jobs[0], args.series)
        previous = queries.previous_job(store, new_id)
        if previous is None:
            raise UsageError("job %s has no earlier job in its series to compare with" % args.jobs[0])
        old_id = previous
    else:
        old_id = queries.find_job(store, args.jobs[0], args.series)
        new_id = queries.find_job(store, args.jobs[1], args.series)
    d = queries.diff(store, old_id, new_id)
    out.write("job %d (%s %s) -> job %d (%s %s)\n" % (
        d.old.id, d.old.campaign, _when(d.old.start_us), d.new.id, d.new.campaign, _when(d.new.start_us)))

    def section(title: str, changes: List["Change"], line: Callable[["Change"], str]) -> None:
        out.write("%s: %d\n" % (title, len(changes)))
        for c in changes:
            out.write("  %s::%s  %s\n" % (c.script, c.path, line(c)))

    section("new failures", d.new_failures, lambda c: "%s -> %s  %s" % (c.old_result, c.new_result, c.reason))
    section("fixed", d.fixed, lambda c: "%s -> %s" % (c.old_result, c.new_result))
    section("still failing", d.still_failing, lambda c: "%s since job %s (%s)  %s" % (
        c.new_result, c.failing_since[0] if c.failing_since else "?",
        _when(c.failing_since[2]) if c.failing_since else "?", c.reason))
    section("new testcases", d.added, lambda c: c.new_result or "")
    section("removed testcases", d.removed, lambda c: c.old_result or "")
    section("slower (at least 2x and 1 s)", d.slower, lambda c: "%s -> %s" % (_secs(c.old_ms), _secs(c.new_ms)))
    return 0


_VERBS: Dict[str, Callable[["Store", argparse.Namespace, Writer], int]] = {"add": _add, "jobs": _jobs, "show": _show, "flaky": _flaky, "diff": _diff}
