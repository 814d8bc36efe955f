"""Results history: what changed since the last run.

Jobs are added to a store (one SQLite file by default, a PostgreSQL database for a team)
and questions asked of it: a testcase's last outcomes (`queries.show`), flaky testcases
(`queries.flaky`), what changed between two jobs (`queries.diff`), and whether a job's
failures are new (`queries.judge`, behind ``summary --db`` and ``--fail-on new``).

Identity across jobs: a testcase is the same testcase in every job when its task's
testscript (or, without one, the task's id) and its chain of section ids below the task
match; a job is its campaign id and start time. A series is the job file the campaign
records, else its id, unless the caller names one.
"""

import gc
import os
from typing import Any, Callable, List, Optional, Tuple

from korvo.reporter.history.rows import JobRows, job_rows
from korvo.reporter.history.store import Store, StoreError
from korvo.reporter.history.urls import StoreURLError, redact, resolve

__all__ = ["Store", "StoreError", "StoreURLError", "JobRows", "job_rows", "read_job",
           "add_files", "open_store", "redact", "resolve"]


def open_store(url: Optional[str] = None) -> Store:
    """The store at `url` (else $KORVO_REPORT_DB, else ./korvo-history.db), made or
    upgraded as needed."""
    return Store(url)


def read_job(path: str, series: Optional[str] = None) -> JobRows:
    """The rows of the job in `path`: a results.yaml, a results.json or a journal (a job
    whose journal never ended is marked incomplete). Raises LoadError for anything else."""
    from korvo.reporter.journal import ABORTED_DETAIL
    from korvo.reporter.loading import LoadError, load as load_tree

    load: Callable[[str], Any] = load_tree  # a tree of any node type

    # The tree is read, its rows taken and the tree dropped with the collector held off,
    # so its nodes stay in the youngest generation: one young collection then frees them
    # (each node refers to its parent, so only the collector can), where letting it run
    # would first promote the whole tree, twice, and free it in a full collection later.
    collecting = gc.isenabled()
    gc.disable()
    try:
        root = load(path)
        details = getattr(root, "details", None)
        complete = not (isinstance(details, list) and ABORTED_DETAIL in details)
        try:
            return job_rows(root, source=os.path.abspath(path),
                            files=os.path.dirname(os.path.abspath(path)), series=series,
                            complete=complete)
        except (TypeError, ValueError, AttributeError) as exc:
            raise LoadError("%s cannot be added to a history: %s" % (path, exc)) from None
        finally:
            del root
    finally:
        if collecting:
            gc.enable()
            gc.collect(0)


def add_files(store: Store, paths: List[str], series: Optional[str] = None) -> List[Tuple[str, Any, int, bool]]:
    """Adds each file's job in its own transaction; returns (path, job, id, replaced).

    Every file is read first: one that cannot be read adds nothing of any of them."""
    jobs = [(path, read_job(path, series)) for path in paths]
    added = []
    for path, job in jobs:
        job_id, replaced = store.add(job)
        added.append((path, job, job_id, replaced))
    return added
