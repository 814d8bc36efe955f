"""`recover JOURNAL OUTDIR`: rebuild a job's report from its journal and write every output."""

import argparse
import os

from korvo.reporter._types import Subcommands, TextOut
from korvo.reporter.cli import (EXIT_DAMAGED, EXIT_FAILED, PROG, UsageError, one_line,
                                prepare_outdir)

NAME = "recover"


# Shown by this command's --help and, with the others, by the top-level --help.
EXAMPLES = """\
  %(prog)s recover /runs/42/journal.jsonl /runs/42/recovered
  %(prog)s recover journal.jsonl . && %(prog)s summary results.yaml"""

EXIT_CODES = """\
exit codes:
  0  the journal ended cleanly: the report is the job's own
  1  some nodes never stopped (the job was killed): they were stopped as Aborted
  2  unusable input (not a journal, unreadable file, unwritable OUTDIR)
  3  the journal is damaged in the middle: the report holds what came before"""


def add_parser(commands: Subcommands) -> None:
    recover = commands.add_parser(
        NAME, help="rebuild the report of a job (also a killed one) from its journal",
        description="Rebuilds the report tree recorded in a journal (see demo --journal and "
        "korvo.reporter.journal.attach) and writes results.yaml, results.json, "
        "ResultsDetails.xml and ResultsSummary.xml into OUTDIR. Nodes that were started "
        "and never stopped are stopped at their last recorded moment with the result "
        "Aborted.",
        formatter_class=argparse.RawDescriptionHelpFormatter)
    top = recover.prog.rsplit(" ", 1)[0]
    recover.epilog = "examples:\n%s\n\n%s" % (EXAMPLES % {"prog": top}, EXIT_CODES)
    recover.add_argument("journal", metavar="JOURNAL", help="the journal file")
    recover.add_argument("outdir", metavar="OUTDIR", help="output directory (created if missing)")


def run(args: argparse.Namespace, out: TextOut, err: TextOut) -> int:
    from korvo.reporter.campaign import Campaign
    from korvo.reporter.journal import recover_journal
    from korvo.reporter.loading import shown_path
    from korvo.reporter.outputs import write_outputs

    # The journal reader opens the file as every input is opened (non-blocking, regular
    # files only), with the journal's own size cap: it streams, so it may exceed what a
    # document read whole may be.
    journal = shown_path(args.journal)
    try:
        found = recover_journal(args.journal)
    except (OSError, ValueError) as exc:
        raise UsageError("cannot recover %s: %s" % (
            journal, one_line(getattr(exc, "strerror", None) or exc))) from None
    if not isinstance(found.campaign, Campaign):
        raise UsageError("cannot recover %s: its tree is a %s, and a report is written of a "
                         "Campaign" % (journal, type(found.campaign).__name__))
    outdir = os.fspath(args.outdir)
    prepare_outdir(outdir)
    try:
        write_outputs(found.campaign, outdir)
    except UsageError as exc:
        raise UsageError("the report recovered from %s: %s" % (journal, exc)) from None

    for place, attr, text in found.unknown:
        err.write("%s: %s.%s was kept as its text only: %s\n" % (
            PROG, one_line(place), one_line(attr), one_line(text)))
    line = "recovered %s nodes from %s into %s, %d aborted by recovery" % (
        format(found.nodes, ","), journal, shown_path(outdir), len(found.aborted))
    if found.damage is not None:
        number, offset, what = found.damage
        what = one_line(what)
        line += "; damaged at line %d (byte %d): %s" % (number, offset, what)
    out.write(line + "\n")
    if found.damage is not None:
        err.write("%s: journal %s is damaged at line %d (byte %d): %s; everything before it "
                  "was recovered\n" % (PROG, journal, number, offset, what))
        return EXIT_DAMAGED
    return EXIT_FAILED if found.aborted else 0
