"""`summary FILE`: the per-task table and job totals of a results document."""

from korvo.reporter.cli import UsageError

NAME = "summary"


def add_parser(commands):
    summary = commands.add_parser(
        "summary", help="per-task table and job totals of a results.yaml or results.json",
        description="Shows the per-task results and the job totals of a results document.")
    summary.add_argument("file", metavar="FILE", help="results.yaml or results.json")


def run(args, out, err):
    from korvo.reporter.summary import DocumentError, load_document, render

    try:
        doc = load_document(args.file)
    except DocumentError as exc:
        raise UsageError(str(exc)) from None
    out.write(render(doc))
    return 0


