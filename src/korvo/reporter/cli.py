"""Command line of the reporter: one subcommand per module of `korvo.reporter.commands`.

Every failure a user can cause (a bad option, an unusable directory, a file
that is not a results document) ends with one line on stderr and a non-zero
exit, never a traceback. Set KORVO_REPORTER_TRACEBACK=1 to get the traceback
of an unexpected failure.
"""

import argparse
import os
import sys
import tempfile

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



# Each module names its command (NAME), adds its parser (add_parser) and runs it
# (run(args, out, err) -> exit code). Listed in the order --help shows them.
COMMANDS = ["demo", "summary", "merge"]


def count_arg(text):
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError("not a whole number: %r" % text) from None
    if value < 0:
        raise argparse.ArgumentTypeError("must not be negative: %s" % text)
    return value


def rate_arg(text):
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError("not a number: %r" % text) from None
    if not 0.0 <= value <= 1.0:
        raise argparse.ArgumentTypeError("must lie between 0 and 1: %s" % text)
    return value


def seed_arg(text):
    try:
        return int(text)
    except ValueError:
        raise argparse.ArgumentTypeError("not a whole number: %r" % text) from None


def _command_modules():
    import importlib

    return [importlib.import_module("korvo.reporter.commands." + name) for name in COMMANDS]


def build_parser():
    parser = _Parser(prog=PROG, description="Demo run and results summary of korvo-reporter.")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=_Parser)
    commands.required = True
    for module in _command_modules():
        module.add_parser(commands)
    return parser


def prepare_outdir(outdir):
    try:
        os.makedirs(outdir, exist_ok=True)
        with tempfile.TemporaryFile(dir=outdir):
            pass
    except OSError as exc:
        raise UsageError("cannot write to output directory %s: %s"
                         % (outdir, exc.strerror or exc)) from None


def main(argv=None, out=None, err=None):
    out = sys.stdout if out is None else out
    err = sys.stderr if err is None else err
    try:
        args = build_parser().parse_args(argv)
        module = {m.NAME: m for m in _command_modules()}[args.command]
        return module.run(args, out, err)
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
