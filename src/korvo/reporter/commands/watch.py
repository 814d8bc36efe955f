"""`watch JOURNAL`: follow a running job from its journal, live on a terminal, line by line
elsewhere, until it ends or dies."""

import argparse
import os
import time
from typing import IO, TYPE_CHECKING, Dict, List, Optional, Tuple, Union, cast

from korvo.reporter._types import Subcommands, TextOut

if TYPE_CHECKING:
    from korvo.reporter.campaign import _JournalFollower
    from korvo.reporter.watching import JobView, Notice
from korvo.reporter.cli import EXIT_DAMAGED, EXIT_FAILED, EXIT_INTERRUPTED, UsageError

NAME = "watch"

# How often the journal is read, and the screen redrawn at most.
POLL_SECONDS = 0.1
REDRAW_SECONDS = 0.25

EXAMPLES = """\
  %(prog)s watch /runs/42/journal.jsonl
  %(prog)s watch journal.jsonl --db sqlite:///korvo-history.db --timeout 600"""

EXIT_CODES = """\
exit codes:
  0  the job ended and every result is a success
  1  the job ended with a result that is not a success, or it died (its unfinished
     nodes are shown as Aborted, as recover stops them)
  2  unusable input (no journal there, not a journal, a link)
  3  the journal is damaged in the middle
  130  interrupted (Ctrl-C)"""


def add_parser(commands: Subcommands) -> None:
    watch = commands.add_parser(
        NAME, help="follow a running job from its journal until it ends",
        description="Follows the journal of a running job (see demo --journal and "
        "korvo.reporter.journal.attach), reading only what is appended. On a terminal it "
        "shows the progress, an ETA, what runs now, each failure and the counts per result, "
        "redrawn at most 4 times a second; otherwise it prints one line per finished task "
        "and per failure. When the journal's end record arrives it prints the summary and "
        "exits as summary does; when the job dies (its journal stops growing and no process "
        "holds it open for writing, or --timeout passes) it says so, lists the unfinished "
        "nodes and exits 1.")
    top = watch.prog.rsplit(" ", 1)[0]
    watch.epilog = "examples:\n%s\n\n%s" % (EXAMPLES % {"prog": top}, EXIT_CODES)
    watch.add_argument("journal", metavar="JOURNAL", help="the journal file of the running job")
    watch.add_argument("--db", metavar="URL",
                       help="history store whose earlier jobs of this series give the ETA")
    watch.add_argument("--timeout", metavar="S", type=_seconds,
                       help="take the job for dead when its journal has not grown for S seconds")


def _seconds(text: str) -> float:
    import argparse

    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError("not a number: %r" % text) from None
    if not value > 0 or value != value or value == float("inf"):
        raise argparse.ArgumentTypeError("must be a positive number of seconds: %s" % text)
    return value


def _clock(seconds: Optional[float]) -> str:
    if seconds is None:
        return "-"
    seconds = int(seconds)
    return "%d:%02d:%02d" % (seconds // 3600, seconds // 60 % 60, seconds % 60)


def _open(path: str) -> "_JournalFollower":
    from korvo.reporter.cli import one_line
    from korvo.reporter.loading import shown_path
    from korvo.reporter.watching import open_follower

    if not os.path.lexists(path):
        raise UsageError("no such journal: %s" % shown_path(path))
    try:
        return open_follower(path)
    except (OSError, ValueError) as exc:
        raise UsageError("cannot follow %s: %s" % (
            shown_path(path), one_line(getattr(exc, "strerror", None) or exc))) from None


def _earlier(args: argparse.Namespace, view: "JobView", err: TextOut) -> Optional[List[float]]:
    """The series' earlier durations from --db, once the job's root is known."""
    if not args.db:
        return None
    from korvo.reporter.history import StoreError, StoreURLError, redact
    from korvo.reporter.watching import earlier_durations

    try:
        return earlier_durations(args.db, view.series())
    except (StoreError, StoreURLError, OSError) as exc:
        from korvo.reporter.cli import PROG

        err.write("%s: no ETA from the history: %s\n" % (PROG, redact(str(exc))))
        return []


class _Screen:
    """The live display on a terminal, with rich."""

    def __init__(self, out: TextOut, path: str) -> None:
        from rich.console import Console
        from rich.live import Live

        # rich writes, flushes and asks isatty(), all a TextOut offers
        self.console = Console(file=cast(IO[str], out), highlight=False)
        self.path = path
        self.live = Live(console=self.console, auto_refresh=False, transient=False,
                         redirect_stdout=False, redirect_stderr=False)
        self.live.start()

    def notice(self, notice: "Notice") -> None:
        if notice.kind == "failure":
            from rich.text import Text

            line = Text()
            line.append("FAILED ", style="bold red")
            line.append(notice.path + " ", style="bold")
            line.append(notice.result)
            if notice.reason:
                line.append(": " + notice.reason)
            self.console.print(line)

    def draw(self, view: "JobView", earlier: Optional[List[float]]) -> None:
        from rich.table import Table
        from rich.text import Text

        grid = Table.grid(padding=(0, 2))
        grid.add_column(style="bold")
        grid.add_column()
        declared = view.tasks_declared()
        tasks = "%d of %d" % (view.tasks_done, declared) if declared else "%d" % view.tasks_done
        eta, source = view.eta(earlier)
        grid.add_row("job", str(getattr(view.root, "id", "") or "(waiting for its first record)"))
        grid.add_row("tasks done", tasks)
        grid.add_row("testcases done", format(view.testcases_done, ","))
        grid.add_row("elapsed", _clock(view.elapsed()))
        grid.add_row("ETA", _clock(eta) + (" (from %s)" % source if source else ""))
        task = view.running_task
        running = "-"
        if task is not None:
            running = str(getattr(task, "id", "?"))
            if view.running_case is not None:
                running += " / " + str(getattr(view.running_case, "id", "?"))
        grid.add_row("running", running)
        counts = Text()
        for name, count in _ordered(view.counts):
            style = "green" if name in ("passed", "passx") else "red" if name in (
                "failed", "errored", "aborted", "blocked") else "yellow"
            counts.append("%s %s  " % (name, format(count, ",")), style=style)
        grid.add_row("results", counts if view.counts else Text("-"))
        grid.add_row("failures", str(len(view.failures)))
        self.live.update(grid, refresh=True)

    def close(self) -> None:
        self.live.stop()


class _Lines:
    """One line per finished task and per failure, for a CI log."""

    def __init__(self, out: TextOut) -> None:
        self.out = out

    def notice(self, notice: "Notice") -> None:
        self.out.write(notice.line() + "\n")
        self.out.flush()

    def draw(self, view: "JobView", earlier: Optional[List[float]]) -> None:
        pass

    def close(self) -> None:
        pass


def _ordered(counts: Dict[str, int]) -> List[Tuple[str, int]]:
    from korvo.reporter.summary import ordered_keys

    return [(k, counts[k]) for k in ordered_keys([counts])]


def run(args: argparse.Namespace, out: TextOut, err: TextOut) -> int:
    from korvo.reporter.cli import one_line
    from korvo.reporter.loading import shown_path

    try:
        # the journal is open, and so Ctrl-C may come, before _open has returned
        return _follow(args, _open(args.journal), out, err)
    except KeyboardInterrupt:
        # Ctrl-C is how a person stops watching: no message, no traceback.
        return EXIT_INTERRUPTED
    except (OSError, ValueError) as exc:
        # a header that never becomes one, a journal past the caps or beyond the memory left
        raise UsageError("cannot follow %s: %s" % (
            shown_path(args.journal), one_line(getattr(exc, "strerror", None) or exc))) from None


def _follow(args: argparse.Namespace, follower: "_JournalFollower", out: TextOut,
            err: TextOut) -> int:
    from korvo.reporter.watching import JobView, Liveness

    view = JobView(follower)
    alive = Liveness(args.journal, args.timeout)
    isatty = getattr(out, "isatty", None)
    show: Union[_Screen, _Lines] = (_Screen(out, args.journal) if isatty is not None and isatty()
                                    else _Lines(out))
    earlier: Optional[List[float]] = None
    drawn = 0.0
    why_dead: Optional[str] = None
    try:
        while True:
            for notice in view.poll():
                show.notice(notice)
            if earlier is None and view.root is not None:
                earlier = _earlier(args, view, err)
            now = time.monotonic()
            if now - drawn >= REDRAW_SECONDS:
                show.draw(view, earlier)
                drawn = now
            if view.ended or follower.damage is not None:
                break
            why_dead = alive.dead(follower.file_size())
            if why_dead:
                for notice in view.poll():  # what came in the meantime
                    show.notice(notice)
                if view.ended:
                    why_dead = None
                break
            time.sleep(POLL_SECONDS)
        show.draw(view, earlier)
    finally:
        show.close()
    return _finish(args, view, why_dead, out, err)


def _finish(args: argparse.Namespace, view: "JobView", why_dead: Optional[str], out: TextOut,
            err: TextOut) -> int:
    from korvo.reporter.cli import PROG
    from korvo.reporter.cli import one_line
    from korvo.reporter.loading import shown_path
    from korvo.reporter.summary import exit_status, failures, render, render_failures

    follower = view.follower
    root = view.root
    journal = shown_path(args.journal)
    if root is None:
        err.write("%s: %s holds no report tree%s\n" % (
            PROG, journal, "" if follower.damage is None else ": " + one_line(follower.damage[2])))
        return EXIT_DAMAGED if follower.damage is not None else EXIT_FAILED
    if follower.damage is not None:
        number, offset, what = follower.damage
        err.write("%s: journal %s is damaged at line %d (byte %d): %s\n" % (
            PROG, journal, number, offset, one_line(what)))
    elif why_dead:
        out.write("the job died: %s\n" % why_dead)
    unfinished = view.unfinished() if not view.ended else []
    for place in unfinished:
        out.write("unfinished: %s\n" % one_line(place))
    if unfinished:
        view.abort_unfinished()
    try:
        follower.check_expansion()
        # what summary prints of it, failures named
        text = render(root) + render_failures(failures(root), 20)
        status = exit_status(root)[0]
    except (TypeError, ValueError, AttributeError, KeyError) as exc:
        raise UsageError("%s cannot be summarised: %s" % (journal, one_line(exc))) from None
    out.write(text)
    if follower.damage is not None:
        return EXIT_DAMAGED
    if view.ended:
        return status  # as summary would
    return EXIT_FAILED  # as recover, for the nodes it had to abort
