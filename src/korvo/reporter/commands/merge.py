"""`merge OUTDIR RESULTS...`: shards and reruns of a job joined into one report."""

import argparse
import os

from korvo.reporter._types import Subcommands, TextOut
from korvo.reporter.cli import UsageError, add_logs_argument, logs_dirs, plural, prepare_outdir

NAME = "merge"

EXAMPLES = """\
  %(prog)s merge merged/ shard1/results.yaml shard2/results.yaml
  %(prog)s merge merged/ nightly/results.json rerun/results.json --id nightly-42
  %(prog)s merge merged/ a/results.yaml b/results.yaml --logs a/logs --logs b/logs"""



def add_parser(commands: Subcommands) -> None:
    merge = commands.add_parser(
        NAME, help="merge shards and reruns into one report (every output)",
        description="Merges results files (results.yaml or results.json) into one report, "
        "writes results.yaml, results.json, ResultsDetails.xml, ResultsSummary.xml, report.html "
        "and junit.xml into OUTDIR (all of them or none) and prints the merged counts. Tasks "
        "are gathered in the order given; a task seen again (a rerun, or the same script in "
        "another shard) is merged into the first: "
        "its testcases and sections seen again replace the earlier ones (the rerun wins, "
        "noting 'rerun: was <result>'), new ones are appended. All counters are recounted; "
        "every input is listed under extra['merged_from']. The report's and the JUnit "
        "document's log slices are read from the inputs' directories (or --logs). Exits 0 when written, 2 on "
        "unusable input (the line names the file).")
    merge.add_argument("outdir", metavar="OUTDIR", help="output directory (created if missing)")
    merge.add_argument("results", metavar="RESULTS", nargs="+",
                       help="results.yaml or results.json files, in merge order")
    merge.add_argument("--id", help="id of the merged campaign (default: the first input's)")
    add_logs_argument(merge, "the directory of each RESULTS, in the order given")


def run(args: argparse.Namespace, out: TextOut, err: TextOut) -> int:
    from korvo.reporter.cli import read_results, shown
    from korvo.reporter.merging import merge
    from korvo.reporter.outputs import HTML, JUNIT, RESULTS, XML, write_outputs
    from korvo.reporter.summary import counts_of, format_counts

    outdir = os.fspath(args.outdir)
    logs = logs_dirs(args.logs, args.results)
    prepare_outdir(outdir)
    trees = []
    for path in args.results:
        if err.isatty():
            err.write("reading %s\n" % shown(path))
        trees.append(read_results(path, whole_job=True))
    try:
        merged = merge(*trees, id=args.id)
    except (TypeError, ValueError) as exc:
        raise UsageError("cannot merge %s: %s" % (", ".join(map(shown, args.results)),
                                                  exc)) from None
    if err.isatty():
        err.write("writing %s\n" % shown(outdir))
    write_outputs(merged, outdir, RESULTS + XML + HTML + JUNIT, logs_dir=logs)

    counts = counts_of(merged.summary)
    tasks = sum(1 for t in merged.tasks if t.type != "Plugin")
    out.write("merged %s into %s: %s, %s (total %s)\n" % (
        plural(len(trees), "file"), outdir, plural(tasks, "task"), format_counts(counts),
        format(sum(counts.values()), ",")))
    return 0
