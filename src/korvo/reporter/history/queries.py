"""Questions a history answers: a testcase's last outcomes, flaky testcases, what changed
between two jobs, and how a job's failures compare with the series before it."""

from dataclasses import dataclass, field
from typing import Dict, List, Optional, Tuple

from korvo.reporter.history.rows import OUTCOME_FAILED, OUTCOME_PASSED, JobRows
from korvo.reporter.history.store import Store, StoreError

SLOWER_FACTOR = 2.0
SLOWER_MIN_MS = 1000


@dataclass
class JobInfo:
    id: int
    series: str
    campaign: str
    start_us: int
    result: str
    counts: str
    tasks_declared: Optional[int]
    tasks_ran: int
    complete: bool
    source: str
    runs: int = 0


def _job(row: tuple) -> JobInfo:
    return JobInfo(*row[:10], runs=row[10] if len(row) > 10 else 0)


_JOB_COLUMNS = ("j.id, s.name, j.campaign, j.start_us, j.result, j.counts, j.tasks_declared,"
                " j.tasks_ran, j.complete, j.source")


def jobs(store: Store, series: Optional[str] = None, last: Optional[int] = None) -> List[JobInfo]:
    """Stored jobs, oldest first, with their number of testcase-level runs."""
    where, params = ("WHERE s.name = ?", [series]) if series else ("", [])
    sql = ("SELECT %s, (SELECT COUNT(*) FROM runs r WHERE r.job_id = j.id)"
           " FROM jobs j JOIN series s ON s.id = j.series_id %s"
           " ORDER BY j.start_us DESC, j.id DESC" % (_JOB_COLUMNS, where))
    if last:
        sql += " LIMIT %d" % int(last)
    return [_job(r) for r in reversed(store.query(sql, params))]


def series_runtimes(store: Store, series: str, last: int = 20) -> List[float]:
    """Runtimes in seconds of the series' last `last` complete jobs, oldest first."""
    rows = store.query(
        "SELECT j.runtime FROM jobs j JOIN series s ON s.id = j.series_id"
        " WHERE s.name = ? AND j.complete = 1 AND j.runtime IS NOT NULL"
        " ORDER BY j.start_us DESC, j.id DESC LIMIT %d" % int(last), (series,))
    return [float(r[0]) for r in reversed(rows)]


def series_of_job(store: Store, job_id: int) -> Tuple[int, str]:
    row = store.query("SELECT s.id, s.name FROM jobs j JOIN series s ON s.id = j.series_id"
                      " WHERE j.id = ?", (job_id,))
    if not row:
        raise StoreError("no job %d in the history" % job_id)
    return row[0]


def find_job(store: Store, ref: str, series: Optional[str] = None) -> int:
    """A job named by its number in `history jobs`, or by its campaign id (the latest)."""
    if ref.isdigit():
        if store.query("SELECT id FROM jobs WHERE id = ?", (int(ref),)):
            return int(ref)
    where, params = "j.campaign = ?", [ref]
    if series:
        where += " AND s.name = ?"
        params.append(series)
    row = store.query("SELECT j.id FROM jobs j JOIN series s ON s.id = j.series_id WHERE %s"
                      " ORDER BY j.start_us DESC LIMIT 1" % where, params)
    if not row:
        raise StoreError("no job %r in the history" % ref)
    return row[0][0]


def find_testcase(store: Store, name: str) -> List[Tuple[int, str, str]]:
    """Testcases named by "SCRIPT::PATH", by a path, or by the end of one."""
    if "::" in name:
        script, path = name.split("::", 1)
        rows = store.query("SELECT id, script, path FROM testcases WHERE script = ? AND path = ?",
                           (script, path))
    else:
        rows = store.query("SELECT id, script, path FROM testcases WHERE path = ?", (name,))
        if not rows:
            rows = store.query("SELECT id, script, path FROM testcases WHERE path LIKE ?",
                               ("%/" + name.replace("%", "") ,))
    return [tuple(r) for r in rows]


@dataclass
class Outcome:
    job_id: int
    campaign: str
    start_us: int
    result: str
    runtime_ms: Optional[int]
    reason: str
    rerun: bool


def show(store: Store, testcase_id: int, last: int = 20) -> List[Outcome]:
    """The testcase's last `last` outcomes, newest first."""
    rows = store.query(
        "SELECT j.id, j.campaign, j.start_us, rt.text, r.runtime_ms, wt.text, r.rerun"
        " FROM runs r JOIN jobs j ON j.id = r.job_id JOIN texts rt ON rt.id = r.result_id"
        " LEFT JOIN texts wt ON wt.id = r.reason_id"
        " WHERE r.testcase_id = ? ORDER BY j.start_us DESC, j.id DESC LIMIT %d" % int(last),
        (testcase_id,))
    return [Outcome(r[0], r[1], r[2], r[3], r[4], r[5] or "", bool(r[6])) for r in rows]


@dataclass
class Flaky:
    testcase_id: int
    script: str
    path: str
    runs: int
    passed: int
    failed: int
    flips: int

    @property
    def rate(self) -> float:
        return self.flips / max(1, self.runs - 1)


def _last_job_ids(store: Store, series: Optional[str], last: int,
                  before_us: Optional[int] = None) -> List[int]:
    conditions, params = [], []  # type: List[str], List[Any]
    if series:
        conditions.append("s.name = ?")
        params.append(series)
    if before_us is not None:
        conditions.append("j.start_us < ?")
        params.append(before_us)
    where = "WHERE " + " AND ".join(conditions) if conditions else ""
    rows = store.query("SELECT j.id FROM jobs j JOIN series s ON s.id = j.series_id %s"
                       " ORDER BY j.start_us DESC, j.id DESC LIMIT %d" % (where, int(last)), params)
    return [r[0] for r in rows]


def flaky(store: Store, series: Optional[str] = None, last: int = 20,
          before_us: Optional[int] = None) -> List[Flaky]:
    """Testcases whose outcome flipped between passing and failing in the last `last`
    jobs (of `series`, started before `before_us`), most flips per run first. A merged
    rerun that replaced a failure counts as a flip of its own."""
    ids = _last_job_ids(store, series, last, before_us)
    if not ids:
        return []
    # Skips neither pass nor fail: a flip is a change between the last pass or failure
    # and the next, in job order.
    rows = store.query(
        "SELECT f.testcase_id, t.script, t.path, f.runs, f.passed, f.failed, f.flips FROM ("
        " SELECT testcase_id, COUNT(*) AS runs, SUM(CASE WHEN outcome = 0 THEN 1 ELSE 0 END) AS passed,"
        "  SUM(CASE WHEN outcome = 2 THEN 1 ELSE 0 END) AS failed,"
        "  SUM(CASE WHEN prev IS NOT NULL AND prev <> outcome THEN 1 ELSE 0 END) + SUM(rerun) AS flips"
        " FROM (SELECT r.testcase_id, r.outcome, r.rerun,"
        "   LAG(r.outcome) OVER (PARTITION BY r.testcase_id ORDER BY j.start_us, j.id) AS prev"
        "   FROM runs r JOIN jobs j ON j.id = r.job_id"
        "   WHERE r.outcome <> 1 AND r.job_id IN (%s)) AS ordered"
        " GROUP BY testcase_id) AS f JOIN testcases t ON t.id = f.testcase_id"
        " WHERE f.flips > 0" % ",".join(str(int(i)) for i in ids))
    found = [Flaky(*r) for r in rows]
    found.sort(key=lambda f: (-f.rate, -f.flips, f.script, f.path))
    return found


@dataclass
class Change:
    testcase_id: int
    script: str
    path: str
    old_result: Optional[str] = None
    new_result: Optional[str] = None
    old_ms: Optional[int] = None
    new_ms: Optional[int] = None
    reason: str = ""
    failing_since: Optional[Tuple[int, str, int]] = None  # job id, campaign, start


@dataclass
class Diff:
    old: JobInfo
    new: JobInfo
    new_failures: List[Change] = field(default_factory=list)
    fixed: List[Change] = field(default_factory=list)
    still_failing: List[Change] = field(default_factory=list)
    added: List[Change] = field(default_factory=list)
    removed: List[Change] = field(default_factory=list)
    slower: List[Change] = field(default_factory=list)


def _job_info(store: Store, job_id: int) -> JobInfo:
    rows = store.query("SELECT %s FROM jobs j JOIN series s ON s.id = j.series_id WHERE j.id = ?"
                       % _JOB_COLUMNS, (job_id,))
    if not rows:
        raise StoreError("no job %d in the history" % job_id)
    return _job(rows[0])


def _runs_of(store: Store, job_id: int) -> Dict[int, tuple]:
    rows = store.query(
        "SELECT r.testcase_id, t.script, t.path, r.outcome, rt.text, r.runtime_ms, wt.text"
        " FROM runs r JOIN testcases t ON t.id = r.testcase_id JOIN texts rt ON rt.id = r.result_id"
        " LEFT JOIN texts wt ON wt.id = r.reason_id WHERE r.job_id = ?", (job_id,))
    return {r[0]: r for r in rows}


def last_two(store: Store, series: Optional[str] = None) -> Tuple[int, int]:
    ids = _last_job_ids(store, series, 2)
    if len(ids) < 2:
        raise StoreError("the history holds fewer than two jobs%s to compare"
                         % (" of series %r" % series if series else ""))
    return ids[1], ids[0]


def diff(store: Store, old_id: int, new_id: int) -> Diff:
    out = Diff(_job_info(store, old_id), _job_info(store, new_id))
    old, new = _runs_of(store, old_id), _runs_of(store, new_id)
    for case, row in new.items():
        change = Change(case, row[1], row[2], new_result=row[4], new_ms=row[5], reason=row[6] or "")
        before = old.get(case)
        if before is None:
            out.added.append(change)
            continue
        change.old_result, change.old_ms = before[4], before[5]
        if row[3] == OUTCOME_FAILED and before[3] != OUTCOME_FAILED:
            out.new_failures.append(change)
        elif row[3] == OUTCOME_FAILED:
            out.still_failing.append(change)
        elif before[3] == OUTCOME_FAILED:
            out.fixed.append(change)
        if (change.old_ms is not None and change.new_ms is not None and change.old_ms > 0
                and change.new_ms >= SLOWER_FACTOR * change.old_ms
                and change.new_ms - change.old_ms >= SLOWER_MIN_MS):
            out.slower.append(change)
    for case, row in old.items():
        if case not in new:
            out.removed.append(Change(case, row[1], row[2], old_result=row[4], old_ms=row[5]))
    series_id = series_of_job(store, new_id)[0]
    for change in out.still_failing:
        change.failing_since = failing_since(store, change.testcase_id, series_id, new_id)
    for group in (out.new_failures, out.fixed, out.still_failing, out.added, out.removed):
        group.sort(key=lambda c: (c.script, c.path))
    out.slower.sort(key=lambda c: -(c.new_ms or 0) / max(1, c.old_ms or 1))
    return out


def failing_since(store: Store, testcase_id: int, series_id: int, job_id: int):
    """The first job of the testcase's current run of failures, up to `job_id`."""
    rows = store.query(
        "SELECT j.id, j.campaign, j.start_us, r.outcome FROM runs r JOIN jobs j ON j.id = r.job_id"
        " WHERE r.testcase_id = ? AND j.series_id = ? AND j.start_us <= (SELECT start_us FROM jobs WHERE id = ?)"
        " ORDER BY j.start_us DESC, j.id DESC LIMIT 200", (testcase_id, series_id, job_id))
    first = None
    for job, campaign, start, outcome in rows:
        if outcome == OUTCOME_FAILED:
            first = (job, campaign, start)
        elif outcome == OUTCOME_PASSED:
            break
    return first


@dataclass
class Judgement:
    """How a job's failures stand against the jobs of its series before it."""
    new: List[Tuple[str, str]] = field(default_factory=list)
    still_failing: List[Tuple[str, str]] = field(default_factory=list)
    known_flaky: List[Tuple[str, str]] = field(default_factory=list)
    earlier_jobs: int = 0


def judge(store: Store, job: JobRows, flaky_window: int = 20) -> Judgement:
    """Each failure of `job` is new, still failing (it failed in the series' last job before
    this one that ran it) or known flaky (it flipped in the series' earlier jobs). The job
    itself need not be stored; if it is, it is left out of what counts as before."""
    out = Judgement()
    series = store.query("SELECT id FROM series WHERE name = ?", (job.series,))
    failures = [(r.script, r.path) for r in job.runs if r.outcome == OUTCOME_FAILED]
    if not series:
        out.new = failures
        return out
    series_id = series[0][0]
    before = store.query("SELECT id FROM jobs WHERE series_id = ? AND start_us < ?"
                         " ORDER BY start_us DESC, id DESC LIMIT %d" % int(flaky_window),
                         (series_id, job.start_us))
    out.earlier_jobs = len(before)
    earlier = [r[0] for r in before]
    flaky_cases = set()
    if earlier:
        for f in flaky(store, job.series, last=flaky_window, before_us=job.start_us):
            flaky_cases.add((f.script, f.path))
    for script, path in failures:
        case = store.query("SELECT id FROM testcases WHERE script = ? AND path = ?", (script, path))
        last = None
        if case and earlier:
            rows = store.query(
                "SELECT r.outcome FROM runs r JOIN jobs j ON j.id = r.job_id WHERE r.testcase_id = ?"
                " AND j.series_id = ? AND j.start_us < ? AND r.outcome <> 1"
                " ORDER BY j.start_us DESC, j.id DESC LIMIT 1", (case[0][0], series_id, job.start_us))
            last = rows[0][0] if rows else None
        if (script, path) in flaky_cases:
            out.known_flaky.append((script, path))
        elif last == OUTCOME_FAILED:
            out.still_failing.append((script, path))
        else:
            out.new.append((script, path))
    return out
