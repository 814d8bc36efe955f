"""`summary FILE`: the per-task table and job totals of a results document or journal."""

from korvo.reporter.cli import UsageError

NAME = "summary"

EPILOG = """\
exit status:
  0  every result in the file is a success (Passed or Passx)
  1  some result is not (failed, errored, aborted, blocked, skipped, ...)
  2  the input cannot be used (missing, unreadable, not a results document)
  --no-fail turns 1 into 0, for pipelines that only want the table.

examples:
  python -m korvo.reporter summary /tmp/korvo-demo/results.yaml
  python -m korvo.reporter summary results.json --no-fail
  cat results.yaml | python -m korvo.reporter summary -
"""


def add_parser(commands):
    import argparse

    summary = commands.add_parser(
        NAME, help="per-task table and job totals of a results.yaml, results.json or journal",
        description="Shows the per-task results and the job totals of a results document "
        "(results.yaml, results.json, or a journal) and exits 1 when any result is not a "
        "success. XML reports are not read.",
        epilog=EPILOG, formatter_class=argparse.RawDescriptionHelpFormatter)
    summary.add_argument("file", metavar="FILE",
                         help="results.yaml, results.json or a journal; - reads standard input")
    summary.add_argument("--no-fail", action="store_true",
                         help="exit 0 even when some result is not a success")


def run(args, out, err):
    from korvo.reporter.loading import LoadError, load
    from korvo.reporter.summary import all_passed, render

    try:
        root = load(args.file)
    except LoadError as exc:
        raise UsageError(str(exc)) from None
    try:
        text = render(root)
        passed = all_passed(root)
    except (TypeError, ValueError, AttributeError, KeyError) as exc:
        # a document of the right shape holding values no report carries
        raise UsageError("%s cannot be summarised: %s" % (args.file, exc)) from None
    out.write(text)
    return 0 if passed or args.no_fail else 1
