"""`html --follow JOURNAL OUT.html`: the report page of a running job, rewritten while it runs.

The journal is followed as `watch` follows it (only what is appended is read); the page is
written through the safe writer at most every REWRITE_SECONDS while something changed, marked
live so an open tab reloads itself keeping its place, and written a last time, not live, when
the job ends or dies (its unfinished nodes then stopped as Aborted, as `recover` does).
"""

import argparse
import time
from typing import Callable, Optional, Tuple

from korvo.reporter._types import AnyPath, LogDirs, TextOut

__all__ = ["follow_html", "REWRITE_SECONDS"]

REWRITE_SECONDS = 3.0
POLL_SECONDS = 0.2


class Followed:
    """How following ended: `ended` (end record), `dead` (why, or None), `damage`, `size`."""

    def __init__(self, ended: bool, dead: Optional[str], damage: Optional[Tuple[int, int, str]],
                 size: int, writes: int) -> None:
        self.ended = ended
        self.dead = dead
        self.damage = damage
        self.size = size
        self.writes = writes


def follow_html(journal: AnyPath, out: AnyPath, *, logs_dir: LogDirs = None,
                log_budget: Optional[int] = None, timeout: Optional[float] = None,
                rewrite_seconds: float = REWRITE_SECONDS,
                on_write: Optional[Callable[[int, bool], object]] = None) -> Followed:
    """Follows `journal` and keeps the page at `out` up to date until the job ends or dies.

    OSError or ValueError when the journal cannot be followed; OSError when the page cannot
    be written. `on_write(size, live)` is called after each write."""
    from korvo.reporter.html import LOG_BUDGET, write_html
    from korvo.reporter.watching import JobView, Liveness, open_follower

    follower = open_follower(journal)
    view = JobView(follower)
    alive = Liveness(journal, timeout)
    budget = LOG_BUDGET if log_budget is None else log_budget
    written_at = None
    changed = False
    writes = 0
    size = 0
    dead = None

    def write(live: bool) -> None:
        nonlocal size, writes
        follower.check_expansion()
        size = write_html(view.root, out, logs_dir=logs_dir, log_budget=budget, live=live)
        writes += 1
        if on_write is not None:
            on_write(size, live)

    while True:
        before = follower.bytes_read
        view.poll()
        changed = changed or follower.bytes_read != before
        if view.ended or follower.damage is not None:
            break
        dead = alive.dead(follower.file_size())
        if dead:
            view.poll()
            if view.ended:
                dead = None
            break
        now = time.monotonic()
        if view.root is not None and changed and (
                written_at is None or now - written_at >= rewrite_seconds):
            write(True)
            written_at, changed = now, False
        time.sleep(POLL_SECONDS)
    if view.root is not None:
        if not view.ended:
            view.abort_unfinished()
        write(False)
    return Followed(view.ended, dead, follower.damage, size, writes)


def run_follow(args: argparse.Namespace, out: TextOut, err: TextOut) -> int:
    """The command line of `html --follow`: exit 0 when the job ended, 1 when it died, 2 for
    unusable input, 3 when the journal is damaged, 130 on Ctrl-C."""
    import os

    from korvo.reporter.cli import EXIT_FAILED, PROG, UsageError, logs_dirs, one_line
    from korvo.reporter.loading import shown_path

    journal = shown_path(args.results)
    if not os.path.lexists(args.results):
        raise UsageError("no such journal: %s" % journal)
    logs = logs_dirs(args.logs, [args.results])
    try:
        done = follow_html(args.results, args.out, logs_dir=logs, log_budget=args.log_limit)
    except KeyboardInterrupt:
        return 130
    except (OSError, ValueError) as exc:
        raise UsageError("cannot follow %s into %s: %s" % (
            journal, shown_path(args.out), one_line(getattr(exc, "strerror", None) or exc))) from None
    if done.damage is not None:
        number, offset, what = done.damage
        err.write("%s: journal %s is damaged at line %d (byte %d): %s\n" % (
            PROG, journal, number, offset, one_line(what)))
    if done.writes == 0:
        raise UsageError("%s holds no report tree" % journal)
    state = "ended" if done.ended else "died (%s)" % done.dead if done.dead else "stopped"
    out.write("report written to %s (%s bytes); the job %s\n" % (
        args.out, format(done.size, ","), state))
    if done.damage is not None:
        return 3
    return 0 if done.ended else EXIT_FAILED
