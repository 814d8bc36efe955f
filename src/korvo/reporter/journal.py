"""The live journal of a report tree, and recovery of a tree from it.

``attach(campaign, path)`` records every change made to the tree below
``campaign`` through the model's operations (and attribute assignments), one
line per operation, so a job killed at any moment leaves a file from which
``recover(path)`` rebuilds the tree as it stood. The records are written,
replayed and the nodes left open stopped by native code; this module is the
Python face of it.
"""

import atexit
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, List, Literal, Optional, Tuple

from korvo.reporter import campaign as _campaign
from korvo.reporter._types import AnyPath

if TYPE_CHECKING:
    from korvo.reporter.campaign import ReportObjectBase

__all__ = ["DURABILITY", "Journal", "Recovery", "attach", "recover", "recover_journal"]

# What each mode promises, in the order the native writer numbers them.
DURABILITY = ("flush", "fsync", "batch")

ABORTED_DETAIL = "job ended before this node stopped"


class Journal:
    """An open journal; ``close()`` it (or use it as a context manager) when the job ends.

    Closing writes an end record and leaves the tree untouched. A journal that is
    never closed is closed when the interpreter exits.
    """

    def __init__(self, root: "ReportObjectBase", path: AnyPath, durability: str) -> None:
        self.root = root
        self.path = path
        self.durability = durability
        self._handle: Optional[int] = _campaign._journal_open(root, path, DURABILITY.index(durability))

    @property
    def closed(self) -> bool:
        return self._handle is None

    @property
    def unknown_values(self) -> int:
        """How many values were written as their repr text so far (types the journal
        does not know)."""
        return 0 if self._handle is None else _campaign._journal_flagged(self._handle)

    def close(self) -> None:
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

    def __enter__(self) -> "Journal":
        return self

    def __exit__(self, *exc: object) -> Literal[False]:
        self.close()
        return False

    def __repr__(self) -> str:
        state = "closed" if self.closed else self.durability
        return "<Journal %r (%s)>" % (self.path, state)


def attach(campaign: "ReportObjectBase", path: AnyPath, *, durability: str = "flush") -> Journal:
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

    campaign: "ReportObjectBase"
    nodes: int
    aborted: List[Any] = field(default_factory=list)
    unknown: List[Tuple[str, str, str]] = field(default_factory=list)
    damage: Optional[Tuple[int, int, str]] = None
    closed: bool = False


def recover_journal(path: AnyPath) -> Recovery:
    """Rebuilds the tree recorded at `path`; see `Recovery`.

    Nodes started and never stopped are stopped at their last recorded moment
    with the result Aborted and the detail line "job ended before this node
    stopped", children before parents, and rolled up as a stop would (log files
    are not read again: they may be gone or have grown since).

    Raises ValueError when the file is not a journal, not a regular file, too
    large, holds no tree or a node that cannot be stopped; OSError when it cannot
    be read.
    """
    found = _campaign._journal_replay(path)
    root = found["root"]
    if root is None:
        raise ValueError("the journal holds no report tree yet: %r" % (path,))
    aborted = _campaign._journal_abort(found["open"], ABORTED_DETAIL)
    unknown = [(_place(node), attr, text) for node, attr, text in found["unknown"]]
    return Recovery(root, found["nodes"], aborted, unknown, found["damage"], found["closed"])


def recover(path: AnyPath) -> "ReportObjectBase":
    """The report tree recorded in the journal at `path` (see `recover_journal`)."""
    return recover_journal(path).campaign


def _place(node: Any) -> str:
    try:
        return str(node.fullid)
    except Exception:  # a node whose id was replaced by something without text form
        return repr(node)


atexit.register(_campaign._journal_close_all)
