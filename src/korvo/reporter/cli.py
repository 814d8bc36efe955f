"""Command line of the reporter: one subcommand per module of `korvo.reporter.commands`.

Two entry points run it: `python -m korvo.reporter` and the console script
`korvo-report`. Every failure a user can cause (a bad option, an unusable
directory, a file that is not a results document) ends with one line on stderr
and exit code 2, never a traceback. Set KORVO_REPORTER_TRACEBACK=1 to get the
traceback of an unexpected failure.
"""

import argparse
import os
import sys
import tempfile

from korvo.reporter import __version__

PROG = "python -m korvo.reporter"
CONSOLE_PROG = "korvo-report"
EXIT_FAILURE = 1  # the run itself failed, or (summary) a result that is not a success
EXIT_USAGE = 2    # bad input: options, paths, documents

EXIT_CODES = """\
exit codes:
  0  done; for summary: every result is a success (Passed, Passx)
  1  summary: some result is not a success (--no-fail keeps 0);
     any command: an unexpected failure
  2  bad input: an unknown option, an unusable path, a file that is not a
     results document"""

# Examples shown by `--help` of each command, and together by the top-level --help;
# a command module may bring its own as EXAMPLES.
EXAMPLES = {
    "demo": """\
  %(prog)s demo /tmp/korvo-demo
  %(prog)s demo /tmp/big --tasks 100 --testcases 100 --seed 7""",
    "summary": """\
  %(prog)s summary /tmp/korvo-demo/results.yaml
  %(prog)s summary --no-fail results.json
  cat results.json | %(prog)s summary -""",
    "junit": """\
  %(prog)s junit /tmp/korvo-demo/results.yaml /tmp/korvo-demo/junit.xml
  %(prog)s junit results.json junit.xml --logs /runs/42""",
}


class UsageError(Exception):
    """Bad input from the user; reported in one line with EXIT_USAGE."""


class _Parser(argparse.ArgumentParser):
    # argparse prints the whole usage before its error; one line is easier to read
    # and to grep, and --help still shows the usage.
    def error(self, message):
        from korvo.reporter.history.urls import redact

        # argparse echoes the arguments it rejects, and a store URL may carry a password
        raise UsageError(redact("%s (see %s --help)" % (message, self.prog)))



# Each module names its command (NAME), adds its parser (add_parser) and runs it
# (run(args, out, err) -> exit code). Listed in the order --help shows them.
COMMANDS = ["demo", "summary", "junit", "html", "merge", "recover", "history", "watch"]


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


def _examples(module, prog):
    text = getattr(module, "EXAMPLES", None) or EXAMPLES.get(module.NAME)
    return text % {"prog": prog} if text else None


def build_parser(prog=PROG):
    modules = _command_modules()
    every = [_examples(m, prog) for m in modules]
    parser = _Parser(
        prog=prog, formatter_class=argparse.RawDescriptionHelpFormatter,
        description="Demo run, summary, JUnit XML, HTML report and merge of korvo-reporter results.",
        epilog="examples:\n%s\n\n%s" % ("\n".join(e for e in every if e), EXIT_CODES))
    parser.add_argument("--version", action="version", version="%(prog)s " + __version__)
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=_Parser)
    commands.required = True
    for module, examples in zip(modules, every):
        module.add_parser(commands)
        sub = commands.choices[module.NAME]
        sub.formatter_class = argparse.RawDescriptionHelpFormatter
        if examples and not sub.epilog:
            sub.epilog = "examples:\n%s\n\n%s" % (examples, EXIT_CODES)
    return parser


def prepare_outdir(outdir):
    try:
        os.makedirs(outdir, exist_ok=True)
        with tempfile.TemporaryFile(dir=outdir):
            pass
    except OSError as exc:
        raise UsageError("cannot write to output directory %s: %s"
                         % (outdir, exc.strerror or exc)) from None


def main(argv=None, out=None, err=None, prog=PROG):
    out = sys.stdout if out is None else out
    err = sys.stderr if err is None else err
    try:
        args = build_parser(prog).parse_args(argv)
        module = {m.NAME: m for m in _command_modules()}[args.command]
        return module.run(args, out, err)
    except UsageError as exc:
        err.write("%s: error: %s\n" % (prog, exc))
        return EXIT_USAGE
    except KeyboardInterrupt:
        err.write("%s: interrupted\n" % prog)
        return 130
    except Exception as exc:
        if os.environ.get("KORVO_REPORTER_TRACEBACK"):
            raise
        err.write("%s: error: %s: %s\n" % (prog, type(exc).__name__, exc))
        return EXIT_FAILURE


_teardown_skipped = False


def skip_teardown():
    """Lets the process end without freeing what it holds, once a command is done.

    Only the entry points act on it (main() called in-process returns as usual): they
    flush the standard streams and leave through os._exit.
    """
    global _teardown_skipped
    _teardown_skipped = True


def exit_process(code):
    """Ends the process with `code` from an entry point."""
    if _teardown_skipped:
        sys.stdout.flush()
        sys.stderr.flush()
        os._exit(code)
    sys.exit(code)


def console_main():
    """The `korvo-report` console script: the same commands as `python -m korvo.reporter`."""
    exit_process(main(prog=CONSOLE_PROG))
