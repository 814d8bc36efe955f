"""Following a job from its journal while it runs: what it has done so far, what runs now,
each failure as it happens, and whether the job is still alive.

The native follower (`campaign._JournalFollower`) reads only what was appended since its
last poll and keeps the tree replayed so far; this module turns its events into the view a
person waits on. `commands/watch.py` shows it, `follow.py` writes the HTML page of it.
"""

import datetime
import os
import time
from typing import Any, Callable, Dict, List, Optional, Set, Tuple, Union

from korvo.reporter import campaign as _campaign
from korvo.reporter.history.rows import OUTCOME_FAILED, failure_reason, outcome_of, result_name
from korvo.reporter.journal import ABORTED_DETAIL
from korvo.reporter._types import AnyPath
from korvo.reporter.summary import counts_of, format_counts

__all__ = ["JobView", "Notice", "writer_holds", "Liveness", "open_follower"]

# A job whose journal has not grown for this long is asked whether it still holds it open.
QUIET_SECONDS = 1.0


def open_follower(path: AnyPath) -> _campaign._JournalFollower:
    """The native follower of the journal at `path`; OSError or ValueError as replay."""
    return _campaign._JournalFollower(path)


def _is(node: Any, class_name: str) -> bool:
    return type(node).__name__ == class_name


def _parent(node: Any) -> Optional[_campaign.ReportObjectBase]:
    parent = getattr(node, "_parent", None)
    return parent if isinstance(parent, _campaign.ReportObjectBase) else None


def _path(node: Any) -> str:
    """'task002/tc003/section1': the ids below the campaign."""
    parts = []
    seen = 0
    while node is not None and not _is(node, "Campaign") and seen < 1000:
        parts.append(str(getattr(node, "id", "?")))
        node = _parent(node)
        seen += 1
    return "/".join(reversed(parts))


def _block_of(node: Any) -> Any:
    """The top-level section (testcase, common setup or cleanup) holding `node`, else None."""
    seen = 0
    while node is not None and seen < 1000:
        parent = _parent(node)
        if _is(node, "Section") and parent is not None and _is(parent, "Task"):
            return node
        node = parent
        seen += 1
    return None


def _failed(node: Any) -> bool:
    result = getattr(node, "result", None)
    return result is not None and outcome_of(result_name(result)) == OUTCOME_FAILED


class Notice:
    """Something to print once: a finished task, or a failure."""

    __slots__ = ("kind", "node", "path", "result", "reason")

    def __init__(self, kind: str, node: Any, result: str = "", reason: str = "") -> None:
        self.kind = kind  # "task" or "failure"
        self.node = node
        self.path = _path(node)
        self.result = result
        self.reason = reason

    def line(self) -> str:
        if self.kind == "failure":
            return "FAILED %s: %s%s" % (self.path, self.result,
                                        ": " + self.reason if self.reason else "")
        return "task %s finished: %s" % (self.path, self.result)


class JobView:
    """The state of a followed job, updated from the follower's events."""

    def __init__(self, follower: _campaign._JournalFollower) -> None:
        self.follower = follower
        self.tasks_done = 0
        self.testcases_done = 0
        self.counts: Dict[str, int] = {}
        self.running_task: Any = None
        self.running_case: Any = None
        self.failures: List[Notice] = []
        self.ended = False
        self._reported: Set[int] = set()  # ids of the testcases (and other blocks) whose failure was shown

    @property
    def root(self) -> Any:
        return self.follower.root

    def poll(self) -> List[Notice]:
        """Reads what was appended; the notices it brings, in order."""
        notices: List[Notice] = []
        for event, node in self.follower.poll():
            if event == "started":
                if _is(node, "Task"):
                    self.running_task, self.running_case = node, None
                elif _block_of(node) is node:
                    self.running_case = node
            elif event == "stopped":
                self._stopped(node, notices)
            elif event == "end":
                self.ended = True
        return notices

    def _stopped(self, node: Any, notices: List[Notice]) -> None:
        if _is(node, "Task"):
            self.tasks_done += 1
            if self.running_task is node:
                self.running_task = self.running_case = None
            counts = format_counts(counts_of(getattr(node, "summary", None)))
            notices.append(Notice("task", node, counts))
            return
        block = _block_of(node)
        if block is None:
            return
        if block is node:
            name = result_name(getattr(node, "result", None)) or "none"
            self.counts[name] = self.counts.get(name, 0) + 1
            if getattr(node, "type", None) == "Testcase":
                self.testcases_done += 1
            if self.running_case is node:
                self.running_case = None
        # A failure shows when its own node stops, not when the roll-up reaches the testcase.
        if _failed(node) and id(block) not in self._reported:
            self._failure(block, node, notices)

    def _failure(self, block: Any, node: Any, notices: List[Notice]) -> None:
        self._reported.add(id(block))
        notice = Notice("failure", block, str(getattr(node, "result", "")), failure_reason(node))
        self.failures.append(notice)
        notices.append(notice)

    def tasks_declared(self) -> Optional[int]:
        declared: Any = getattr(self.root, "totaltasks", None)
        ok = isinstance(declared, int) and not isinstance(declared, bool) and declared > 0
        return declared if ok else None

    def elapsed(self) -> Optional[float]:
        start = getattr(self.root, "starttime", None)
        if not isinstance(start, datetime.datetime):
            return None
        now = datetime.datetime.now(start.tzinfo) if start.tzinfo else datetime.datetime.now()
        return max(0.0, (now - start).total_seconds())

    def eta(self, earlier: Optional[List[float]] = None) -> Tuple[Optional[float], str]:
        """Seconds left and where the guess comes from: the median duration of the series'
        earlier jobs when given, else the rate of tasks so far."""
        elapsed = self.elapsed()
        if elapsed is None:
            return None, ""
        if earlier:
            ordered = sorted(earlier)
            median = ordered[len(ordered) // 2]
            return max(0.0, median - elapsed), "history"
        declared = self.tasks_declared()
        if declared and self.tasks_done:
            left = max(0, declared - self.tasks_done)
            return elapsed / self.tasks_done * left, "rate"
        return None, ""

    def series(self) -> str:
        """The series this job belongs to in a history store (as `history add` names it)."""
        jobfile = getattr(self.root, "jobfile", None)
        return str(jobfile) if jobfile else str(getattr(self.root, "id", ""))

    def unfinished(self) -> List[str]:
        """The paths of the nodes started and not stopped."""
        return [_path(node) or str(getattr(node, "id", "?")) for node in self.follower.open]

    def abort_unfinished(self) -> List[Any]:
        """Stops what the dead job left open as Aborted, as `recover` does."""
        return _campaign._journal_abort(self.follower.open, ABORTED_DETAIL)


def writer_holds(path: AnyPath, skip_pid: Union[int, str, None] = None) -> bool:
    """Whether some process holds `path` open for writing (read from /proc/*/fd)."""
    try:
        target = os.stat(path)
    except OSError:
        return False
    want = os.path.realpath(path)
    try:
        pids = [p for p in os.listdir("/proc") if p.isdigit()]
    except OSError:
        return True  # cannot tell: do not call the job dead
    for pid in pids:
        if skip_pid is not None and pid == str(skip_pid):
            continue
        base = "/proc/%s/fd" % pid
        try:
            fds = os.listdir(base)
        except OSError:
            continue
        for fd in fds:
            try:
                link = os.readlink("%s/%s" % (base, fd))
            except OSError:
                continue
            if link != want:
                continue
            try:
                # The link names the file; its identity and access mode settle it.
                info = os.stat("%s/%s" % (base, fd))
                if (info.st_dev, info.st_ino) != (target.st_dev, target.st_ino):
                    continue
                with open("/proc/%s/fdinfo/%s" % (pid, fd), encoding="ascii") as handle:
                    flags = next((int(l.split()[1], 8) for l in handle if l.startswith("flags:")), 0)
            except (OSError, ValueError, IndexError):
                continue
            if flags & os.O_ACCMODE != os.O_RDONLY:
                return True
    return False


class Liveness:
    """Decides when a job that stopped writing is dead: its journal has not grown for
    QUIET_SECONDS and no process holds it open for writing, or it has not grown for
    `timeout` seconds."""

    def __init__(self, path: AnyPath, timeout: Optional[float] = None,
                 clock: Callable[[], float] = time.monotonic) -> None:
        self.path = path
        self.timeout = timeout
        self.clock = clock
        self.size = -1
        self.since = clock()
        self.checked = 0.0

    def dead(self, size: int) -> Optional[str]:
        """None while the job lives, else why it is taken for dead."""
        now = self.clock()
        if size != self.size:
            self.size, self.since = size, now
            return None
        quiet = now - self.since
        if self.timeout is not None and quiet >= self.timeout:
            return "no record for %g s (--timeout)" % self.timeout
        if quiet >= QUIET_SECONDS and now - self.checked >= QUIET_SECONDS:
            self.checked = now
            if not writer_holds(self.path, skip_pid=os.getpid()):
                return "its journal stopped growing and no process holds it open"
        return None


def earlier_durations(url: str, series: str) -> List[float]:
    """Runtimes in seconds of the series' earlier complete jobs in the store at `url`."""
    from korvo.reporter.history import open_store
    from korvo.reporter.history.queries import series_runtimes

    with open_store(url) as store:
        durations: List[float] = series_runtimes(store, series)
        return durations
