"""`summary FILE`: the per-task table and job totals of a results document or journal."""

from korvo.reporter.cli import UsageError

NAME = "summary"



def add_parser(commands):
    summary = commands.add_parser(
        NAME, help="per-task table and job totals of a results.yaml, results.json or journal",
        description="Shows the per-task results and the job totals of a results document "
        "(results.yaml, results.json, or a journal). Exits 0 when every result in it is a "
        "success (Passed, Passx), 1 when any is not (--no-fail keeps 0), 2 when the input "
        "cannot be used. XML reports are not read.")
    summary.add_argument("file", metavar="FILE",
                         help="results.yaml, results.json or a journal; - reads standard input")
    summary.add_argument("--no-fail", action="store_true",
                         help="exit 0 even when some result is not a success")


def run(args, out, err):
    from korvo.reporter.cli import read_results, shown
    from korvo.reporter.summary import all_passed, render

    root = read_results(args.file)
    try:
        text = render(root)
        passed = all_passed(root)
    except (TypeError, ValueError, AttributeError, KeyError, OverflowError) as exc:
        # a document of the right shape holding values no report carries
        raise UsageError("%s cannot be summarised: %s" % (shown(args.file), exc)) from None
    out.write(text)
    return 0 if passed or args.no_fail else 1
