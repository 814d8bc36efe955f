"""JUnit XML of a report tree, the form CI servers (Jenkins, GitLab, ...) read.

``<testsuites>`` stands for the campaign, one ``<testsuite>`` for each task and
one ``<testcase>`` for each testcase section; a common setup or cleanup and a
plugin that did not pass become testcases too, so a broken setup is never
invisible. Passed and Passx pass; Failed gives ``<failure>``; Errored, Aborted,
Blocked (and any result not named here) give ``<error>`` with the result's name
as ``type``; Skipped gives ``<skipped>``; a testcase without a result is
skipped with the message "no result recorded". The failing steps go into the
message (the first) and the body (all of them). A testcase a merge took from a rerun
carries a ``<property name="rerun" value="was failed"/>`` per run it replaced. With
``logs_dir``, each testcase's part of its log file goes into ``<system-out>``, at most
64 KiB.

Characters XML 1.0 cannot carry are written as ``\\xNN`` / ``\\uXXXX``.
"""

from typing import Any, NamedTuple

from korvo.reporter import campaign as _native
from korvo.reporter._types import AnyPath, LogDirs

__all__ = ["JunitTotals", "to_junit", "write_junit"]

# The counts of the document's <testsuites> element.
class JunitTotals(NamedTuple):
    tests: int
    failures: int
    errors: int
    skipped: int


def to_junit(campaign: Any, logs_dir: LogDirs = None) -> str:
    """The JUnit XML document of the tree below `campaign`, as text.

    `logs_dir`: the directory holding the log files the nodes' `logs` name
    (normally the results' directory), or a list of directories where each name is
    looked up in turn (a merged job's shards; the first that holds it wins); None
    leaves ``<system-out>`` out.
    """
    return _native._junit_text(campaign, logs_dir)


def write_junit(campaign: Any, path: AnyPath, logs_dir: LogDirs = None) -> JunitTotals:
    """Writes `to_junit(campaign, logs_dir)` to `path` as UTF-8 and returns its JunitTotals.

    The file is replaced as every result file is (korvo.reporter.files): written under a
    fresh name in its directory, then renamed over `path`; a link in its place is replaced,
    never followed. OSError names `path` on failure, and the old file is left as it was.
    """
    return JunitTotals(*_native._write_junit(campaign, path, logs_dir))
