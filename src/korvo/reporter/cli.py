"""Command line of the reporter: one subcommand per module of `korvo.reporter.commands`.

Two entry points run it: `python -m korvo.reporter` and the console script
`korvo-report`. Every failure a user can cause (a bad option, an unusable
directory, a file that is not a results document) ends with one line on stderr
and exit code 2, never a traceback. Set KORVO_REPORTER_TRACEBACK=1 to get the
traceback of an unexpected failure.
"""

import argparse
import gc
import os
import sys
import tempfile
from types import ModuleType
from typing import TYPE_CHECKING, Any, List, Literal, NoReturn, Optional, Sequence, overload

from korvo.reporter._types import StrPath, TextOut

if TYPE_CHECKING:
    from korvo.reporter.campaign import Campaign, ReportObjectBase

from korvo.reporter import __version__

PROG = "python -m korvo.reporter"
CONSOLE_PROG = "korvo-report"
EXIT_FAILED = 1      # summary: a result failed
EXIT_USAGE = 2       # bad input: options, paths, documents
EXIT_DAMAGED = 3     # recover: damage in the middle of the journal
EXIT_INCOMPLETE = 4  # summary: fewer tasks ran than the job declared
EXIT_NOTHING = 5     # summary: no result was counted at all
EXIT_INTERNAL = 70   # a failure in this program itself (sysexits' EX_SOFTWARE)
EXIT_INTERRUPTED = 130

EXIT_CODES = """\
exit codes:
  0    done; for summary: no result failed (Passed, Passx and Skipped do not fail)
  1    summary: a result failed (Failed, Errored, Aborted, Blocked or unknown;
       with --fail-on new: a failure that is neither still failing nor known
       flaky); recover: nodes had to be aborted
  2    bad input: an unknown option or value, an unusable path, a file that is
       not a results document, JUnit XML or a journal; one line on stderr
  3    recover: damage in the middle of the journal
  4    summary: fewer tasks ran than the job declared (and none failed)
  5    summary: no result was counted at all
  70   an unexpected failure of this program (not of the tests)
  130  interrupted (Ctrl-C)
  summary --no-fail turns 1, 4 and 5 into 0."""

# Examples shown by `--help` of each command, and together by the top-level --help;
# a command module may bring its own as EXAMPLES.
EXAMPLES = {
    "demo": """\
  %(prog)s demo /tmp/korvo-demo
  %(prog)s demo /tmp/big --tasks 100 --testcases 100 --seed 7""",
    "junit": """\
  %(prog)s junit /tmp/korvo-demo/results.yaml /tmp/korvo-demo/junit.xml
  %(prog)s junit results.json junit.xml --logs /runs/42""",
}


class UsageError(Exception):
    """Bad input from the user; reported in one line with EXIT_USAGE."""


class _Parser(argparse.ArgumentParser):
    # argparse prints the whole usage before its error; one line is easier to read
    # and to grep, and --help still shows the usage.
    def error(self, message: str) -> NoReturn:
        from korvo.reporter.history.urls import redact

        # argparse echoes the arguments it rejects, and a store URL may carry a password
        raise UsageError(redact("%s (see %s --help)" % (message, self.prog)))



# Each module names its command (NAME), adds its parser (add_parser) and runs it
# (run(args, out, err) -> exit code). Listed in the order --help shows them.
COMMANDS = ["demo", "summary", "junit", "html", "merge", "recover", "history", "watch"]


def count_arg(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError("not a whole number: %r" % text) from None
    if value < 0:
        raise argparse.ArgumentTypeError("must not be negative: %s" % text)
    return value


def rate_arg(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError("not a number: %r" % text) from None
    if not 0.0 <= value <= 1.0:
        raise argparse.ArgumentTypeError("must lie between 0 and 1: %s" % text)
    return value


def seed_arg(text: str) -> int:
    try:
        return int(text)
    except ValueError:
        raise argparse.ArgumentTypeError("not a whole number: %r" % text) from None


def _command_modules() -> List[ModuleType]:
    import importlib

    return [importlib.import_module("korvo.reporter.commands." + name) for name in COMMANDS]


def _examples(module: ModuleType, prog: str) -> Optional[str]:
    text = getattr(module, "EXAMPLES", None) or EXAMPLES.get(module.NAME)
    return text % {"prog": prog} if text else None


def build_parser(prog: str = PROG) -> argparse.ArgumentParser:
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


def shown(path: Any) -> str:
    """A path as messages name it: quoted, so a line break in it cannot split the line."""
    from korvo.reporter.loading import shown_path

    return shown_path(path)


def one_line(text: object) -> str:
    """`text` as one line of a message (see korvo.reporter.loading.one_line)."""
    from korvo.reporter.loading import one_line as as_one_line

    return as_one_line(text)


def prepare_outdir(outdir: StrPath) -> None:
    try:
        os.makedirs(outdir, exist_ok=True)
        with tempfile.TemporaryFile(dir=outdir):
            pass
    except OSError as exc:
        raise UsageError("cannot write to output directory %s: %s"
                         % (shown(outdir), exc.strerror or exc)) from None


def plural(count: int, one: str, many: Optional[str] = None) -> str:
    """"1 file", "2 files": a count with its noun."""
    return "%s %s" % (format(count, ","), one if count == 1 else (many or one + "s"))


def output_path(out: str, results: str) -> Optional[str]:
    """Checks the file a command is to write, before anything is written: None for "-"
    (standard output); refused when it is the input itself (the same device and inode);
    missing parent directories are made, as pytest's --junitxml does."""
    if out == "-":
        return None
    try:
        if results != "-" and os.path.exists(out) and os.path.samefile(out, results):
            raise UsageError("%s is the input itself: give another file to write"
                             % shown(out))
    except OSError:
        pass
    parent = os.path.dirname(os.path.abspath(out))
    try:
        os.makedirs(parent, exist_ok=True)
    except OSError as exc:
        raise UsageError("cannot make the directory of %s: %s"
                         % (shown(out), exc.strerror or exc)) from None
    return out


def add_logs_argument(parser: argparse.ArgumentParser, default: str) -> None:
    """`--logs DIR`, repeatable: where a command looks for the log files the nodes name.
    `default` says where it looks without one."""
    parser.add_argument("--logs", metavar="DIR", action="append", default=None,
                        help="directory of the log files; give it once per directory (a "
                        "merged job's shards) and each log is looked up in them in turn, the "
                        "first that holds it winning (default: %s)" % default)


def logs_dirs(given: Optional[Sequence[str]], inputs: Sequence[str]) -> List[str]:
    """The log directories of a command: those of --logs, checked, or else the directory of
    each of its `inputs` (a merge's shards each keep their logs beside their results), once
    each and none for "-" (standard input)."""
    if given is not None:
        for path in given:
            if not os.path.isdir(path):
                raise UsageError("--logs %s is not a directory" % shown(path))
        return list(given)
    dirs = []
    for path in inputs:
        found = os.path.dirname(os.path.abspath(path))
        if path != "-" and found not in dirs:
            dirs.append(found)
    return dirs


@overload
def read_results(path: str, whole_job: Literal[True]) -> "Campaign": ...


@overload
def read_results(path: str, whole_job: bool = False) -> "ReportObjectBase": ...


def read_results(path: str, whole_job: bool = False) -> "ReportObjectBase":
    """The tree in `path` ("-": standard input), read the way every command reads its input:
    through load(), whose LoadError main() reports in one line with exit 2. `whole_job`: a
    command that needs a Campaign at the root (a Task or Section alone is refused)."""
    from korvo.reporter.campaign import Campaign
    from korvo.reporter.loading import LoadError, load

    # A command owns its process: the tree it reads lives until the command ends, and the
    # collector's full collections would walk all of it again and again, for seconds on a
    # big job and deaf to Ctrl-C meanwhile. So it is frozen out of them as soon as it is
    # built (main() undoes this when the command returns).
    collecting = gc.isenabled()
    if _freezing:
        gc.disable()
    try:
        tree = load(path)
        if _freezing:
            gc.freeze()
    finally:
        if collecting:
            gc.enable()
    if whole_job and not isinstance(tree, Campaign):
        raise LoadError("%s holds a %s, not a job's Campaign" % (
            "<stdin>" if path == "-" else shown(path), type(tree).__name__))
    return tree


_freezing = False  # set by main() while a command runs, unless its caller froze objects


class _Escaping:
    """A text stream that writes what its encoding cannot carry (lone surrogates on a
    strict UTF-8 stdout) as backslash escapes instead of failing."""

    def __init__(self, stream: TextOut) -> None:
        self._stream = stream
        self._encoding = getattr(stream, "encoding", None) or "utf-8"

    def write(self, text: str) -> object:
        try:
            text.encode(self._encoding)
        except UnicodeEncodeError:
            text = text.encode(self._encoding, "backslashreplace").decode(self._encoding)
        except LookupError:
            pass
        return self._stream.write(text)

    def flush(self) -> object:
        return self._stream.flush()

    def isatty(self) -> bool:
        return self._stream.isatty()

    def __getattr__(self, name: str) -> Any:
        return getattr(self._stream, name)


def main(argv: Optional[Sequence[str]] = None, out: Optional[TextOut] = None,
         err: Optional[TextOut] = None, prog: str = PROG) -> int:
    from korvo.reporter.loading import LoadError

    global _freezing
    out = _Escaping(sys.stdout if out is None else out)
    err = _Escaping(sys.stderr if err is None else err)
    # unfreezing would release objects a caller froze for itself
    _freezing = gc.get_freeze_count() == 0
    try:
        args = build_parser(prog).parse_args(argv)
        module = {m.NAME: m for m in _command_modules()}[args.command]
        code: int = module.run(args, out, err)
        return code
    except (UsageError, LoadError) as exc:  # LoadError: any command's input
        err.write("%s: error: %s\n" % (prog, " ".join(str(exc).splitlines())))
        return EXIT_USAGE
    except KeyboardInterrupt:
        err.write("%s: interrupted\n" % prog)
        return EXIT_INTERRUPTED
    except BrokenPipeError:
        # the reader went away (| head): leave quietly, as Unix tools do
        _silence_stdout()
        return 141
    except Exception as exc:
        if os.environ.get("KORVO_REPORTER_TRACEBACK"):
            raise
        err.write("%s: internal error: %s: %s\n" % (prog, type(exc).__name__, exc))
        return EXIT_INTERNAL
    finally:
        if _freezing:
            gc.unfreeze()
            _freezing = False


def _silence_stdout() -> None:
    # Python would report the closed pipe again when it flushes stdout at exit.
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
    except (OSError, ValueError, AttributeError):
        pass


_teardown_skipped = False


def skip_teardown() -> None:
    """Lets the process end without freeing what it holds, once a command is done.

    Only the entry points act on it (main() called in-process returns as usual): they
    flush the standard streams and leave through os._exit.
    """
    global _teardown_skipped
    _teardown_skipped = True


def exit_process(code: int) -> NoReturn:
    """Ends the process with `code` from an entry point."""
    if _teardown_skipped:
        sys.stdout.flush()
        sys.stderr.flush()
        os._exit(code)
    sys.exit(code)


def console_main() -> NoReturn:
    """The `korvo-report` console script: the same commands as `python -m korvo.reporter`."""
    exit_process(main(prog=CONSOLE_PROG))
