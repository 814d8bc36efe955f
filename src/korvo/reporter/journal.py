"""The live journal of a report tree, and recovery of a tree from it.

``attach(campaign, path)`` records every change made to the tree below
``campaign`` through the model's operations (and attribute assignments), one
line per operation, so a job killed at any moment leaves a file from which
``recover(path)`` rebuilds the tree as it stood. The records are written by
native code; this module is the Python face of it and the abort rule of
recovery.
"""

import atexit
import datetime
from dataclasses import dataclass, field
from typing import List, Optional, Tuple

from korvo.reporter import campaign as _campaign

__all__ = ["DURABILITY", "Journal", "Recovery", "attach", "recover", "recover_journal"]

# What each mode promises, in the order the native writer numbers them.
DURABILITY = ("flush", "fsync", "batch")

ABORTED_DETAIL = "job ended before this node stopped"


class Journal:
    """An open journal; ``close()`` it (or use it as a context manager) when the job ends.

    Closing writes an end record and leaves the tree untouched. A journal that is
    never closed is closed when the interpreter exits.
    """

    def __init__(self, root, path, durability):
        self.root = root
        self.path = path
        self.durability = durability
        self._handle = _campaign._journal_open(root, path, DURABILITY.index(durability))

    @property
    def closed(self):
        return self._handle is None

    @property
    def unknown_values(self):
        """How many values were written as their repr text so far (types the journal
        does not know)."""
        return 0 if self._handle is None else _campaign._journal_flagged(self._handle)

    def close(self):
        handle = self._handle
        if handle is None:
            return
        try:
            _campaign._journal_close(handle)
        except RuntimeError:  # refused while it writes a record (from a value's repr): still open
            raise
        except BaseException:
            self._handle = None
            raise
        self._handle = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    def __repr__(self):
        state = "closed" if self.closed else self.durability
        return "<Journal %r (%s)>" % (self.path, state)


def attach(campaign, path, *, durability="flush"):
    """Starts a journal at `path` (a new or empty file) for the tree below `campaign`.

    durability: "flush" hands each change to the operating system before the call
    that made it returns (survives the process being killed); "fsync" also forces
    the file to disk at every node's stop (survives power loss up to the last
    stop); "batch" writes at least every 0.2 s and at every Task's stop (a kill
    loses at most the last 0.2 s, never a stopped task).
    """
    if durability not in DURABILITY:
        raise ValueError("durability must be one of %s, not %r" % (", ".join(DURABILITY), durability))
    return Journal(campaign, path, durability)


@dataclass
class Recovery:
    """What `recover_journal` found.

    damage: None, or (line number, byte offset, what is wrong) of the first damaged
    line; the tree holds everything before it. unknown: (fullid, attribute, text)
    of each value the journal kept only as its repr text.
    """

    campaign: object
    nodes: int
    aborted: List[object] = field(default_factory=list)
    unknown: List[Tuple[str, str, str]] = field(default_factory=list)
    damage: Optional[Tuple[int, int, str]] = None
    closed: bool = False


def recover_journal(path):
    """Rebuilds the tree recorded at `path`; see `Recovery`.

    Nodes started and never stopped are stopped at their last recorded moment
    with the result Aborted and the detail line "job ended before this node
    stopped", children before parents, and rolled up as a stop would.
    """
    found = _campaign._journal_replay(path)
    root = found["root"]
    if root is None:
        raise ValueError("the journal holds no report tree yet: %r" % (path,))
    aborted = list(reversed(found["open"]))  # made after their parents: children first
    for node in aborted:
        _abort(node)
    unknown = [(_place(node), attr, text) for node, attr, text in found["unknown"]]
    return Recovery(root, found["nodes"], aborted, unknown, found["damage"], found["closed"])


def recover(path):
    """The report tree recorded in the journal at `path` (see `recover_journal`)."""
    return recover_journal(path).campaign


def _place(node):
    try:
        return str(node.fullid)
    except Exception:  # a node whose id was replaced by something without text form
        return repr(node)


def _moments(node):
    """Start and stop times recorded on `node` and below it."""
    stack = [node]
    while stack:
        current = stack.pop()
        for name in ("starttime", "stoptime"):
            value = getattr(current, name, None)
            if isinstance(value, datetime.datetime):
                yield value
        children = getattr(current, "tasks", None)
        if children is None:
            children = getattr(current, "sections", None)
        if isinstance(children, list):
            stack.extend(child for child in children
                         if isinstance(child, _campaign.ReportObjectBase))


def _last_moment(node):
    start = node.starttime
    latest = start
    for moment in _moments(node):
        try:
            if moment > latest:
                latest = moment
        except TypeError:  # naive and aware times cannot be compared: keep the start
            pass
    return latest


def _abort(node):
    """What `stop` would have done, at the node's last recorded moment, with result Aborted
    (log files are not read again: they may be gone or have grown since)."""
    from korvo import results

    moment = _last_moment(node)
    node.stoptime = moment
    try:
        node.runtime = (moment - node.starttime).total_seconds()
    except (TypeError, AttributeError):
        pass
    node.add_detail(ABORTED_DETAIL)
    if isinstance(node, (_campaign.Section, _campaign.Plugin)):
        node.result = results.Aborted
    node.roll_up()
    if isinstance(node, _campaign.Task) and node.logfile:
        node.logfile = str(node.logfile).rsplit("/", 1)[-1]


atexit.register(_campaign._journal_close_all)
