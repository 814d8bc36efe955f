"""Questions a history answers: a testcase's last outcomes, flaky testcases, what changed
between two jobs, and how a job's failures compare with the series before it."""

from collections import Counter
from dataclasses import dataclass, field
from typing import Any, Callable, Dict, FrozenSet, Iterable, List, Optional, Set, Tuple
from typing import Counter as CounterOf

from korvo.reporter.history.rows import OUTCOME_FAILED, OUTCOME_PASSED, OUTCOME_SKIPPED, JobRows
from korvo.reporter.history.store import Store, StoreError

SLOWER_FACTOR = 2.0
SLOWER_MIN_MS = 1000

JobRef = Tuple[int, str, int]  # a job's id, campaign and start


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


def _job(row: Tuple[Any, ...]) -> JobInfo:
    return JobInfo(id=row[0], series=row[1], campaign=row[2], start_us=row[3], result=row[4],
                   counts=row[5], tasks_declared=row[6], tasks_ran=row[7], complete=bool(row[8]),
                   source=row[9], runs=row[10] if len(row) > 10 else 0)


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
    return int(row[0][0]), str(row[0][1])


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
    return int(row[0][0])


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
    # The jobs come from the index by testcase alone; only their runs are read.
    rows = store.query(
        "SELECT j.id, j.campaign, j.start_us, rt.text, r.runtime_ms, wt.text, r.rerun FROM"
        " (SELECT j.id, j.campaign, j.start_us FROM runs r JOIN jobs j ON j.id = r.job_id"
        "  WHERE r.testcase_id = ? ORDER BY j.start_us DESC, j.id DESC LIMIT %d) AS j"
        " JOIN runs r ON r.job_id = j.id AND r.testcase_id = ?"
        " JOIN texts rt ON rt.id = r.result_id LEFT JOIN texts wt ON wt.id = r.reason_id"
        " ORDER BY j.start_us DESC, j.id DESC" % int(last), (testcase_id, testcase_id))
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
    return _flaky_in(store, _last_job_ids(store, series, last, before_us))


def _flaky_in(store: Store, job_ids: List[int]) -> List[Flaky]:
    """flaky over the jobs `job_ids`, newest first."""
    if not job_ids:
        return []
    # One pass over the jobs' stretches of the table gives, per job, the testcases it ran
    # and those it skipped, failed and reran (the short lists). A flip is found by set
    # operations job after job, without putting every run in order; the jobs of a series
    # mostly run the same testcases, so their counts are taken per distinct set.
    rows = store.query(
        "SELECT job_id, %s, %s, %s, %s FROM runs WHERE job_id IN (%s) GROUP BY job_id" % (
            store.joined("testcase_id"),
            store.joined("CASE WHEN outcome = 1 THEN testcase_id END"),
            store.joined("CASE WHEN outcome = 2 THEN testcase_id END"),
            store.joined("CASE WHEN rerun <> 0 AND outcome <> 1 THEN testcase_id END"),
            _ints(job_ids)))
    lists = {row[0]: row[1:] for row in rows}
    ran_sets: Dict[str, FrozenSet[int]] = {}  # the same text is read once
    jobs_that_ran: "CounterOf[FrozenSet[int]]" = Counter()  # of each distinct set run
    skipped: "CounterOf[int]" = Counter()
    failed: "CounterOf[int]" = Counter()
    flips: "CounterOf[int]" = Counter()
    passing: Set[int] = set()  # whose last pass or failure was a pass
    failing: Set[int] = set()  # ... was a failure
    for job in reversed(job_ids):
        if job not in lists:
            continue
        ran_text, skips_text, failures_text, reruns_text = lists[job]
        ran = ran_sets.get(ran_text)
        if ran is None:
            ran = ran_sets[ran_text] = frozenset(_id_set(ran_text))
        jobs_that_ran[ran] += 1
        skips, failures = _id_set(skips_text), _id_set(failures_text)
        # what passed (ran, less skips and failures) is never built: it is most of `ran`
        back = {case for case in failing if case in ran and case not in skips and case not in failures}
        flips.update(back)
        flips.update(failures & passing)
        flips.update(_id_set(reruns_text))  # a merged rerun that replaced a failure
        # a skip leaves a testcase as it was: not passing if it was not before
        not_passing = {case for case in skips if case not in passing}
        failing = (failing - back) | failures
        passing |= ran
        passing -= failures
        passing -= not_passing
        skipped.update(skips)
        failed.update(failures)
    names = _testcase_names(store, list(flips))
    found = []
    for case, count in flips.items():
        runs = sum(n for ran, n in jobs_that_ran.items() if case in ran) - skipped[case]
        found.append(Flaky(case, names[case][0], names[case][1], runs, runs - failed[case],
                           failed[case], count))
    found.sort(key=lambda f: (-f.rate, -f.flips, f.script, f.path))
    return found


def _id_set(text: Optional[str]) -> Set[int]:
    return set(map(int, text.split(","))) if text else set()


def _testcase_names(store: Store, testcase_ids: List[int]) -> Dict[int, Tuple[str, str]]:
    names: Dict[int, Tuple[str, str]] = {}
    for at in range(0, len(testcase_ids), 500):
        for case, script, path in store.query("SELECT id, script, path FROM testcases WHERE id IN (%s)"
                                              % _ints(testcase_ids[at:at + 500])):
            names[case] = (script, path)
    return names


def _ints(values: Iterable[int]) -> str:
    """Ids the store gave, as the text of an SQL list."""
    return ",".join(str(int(v)) for v in values)


# How many jobs back the first batch of a walk reads; each next batch reads 4x as many.
_FIRST_BATCH = 16


def _walk_back(store: Store, job_ids: List[int], testcase_ids: Iterable[int],
               step: Callable[[int, int, int], bool]) -> None:
    """Calls step(testcase, index in `job_ids`, outcome) for the runs of `testcase_ids` in
    the jobs `job_ids` (newest first), each testcase's newest run first, until step has
    returned True for it (it has its answer). The jobs are read in batches that grow, one
    query each: most answers are in the last few jobs, a few take the whole history."""
    waiting = set(testcase_ids)
    at, size = 0, _FIRST_BATCH
    while waiting and at < len(job_ids):
        batch = job_ids[at:at + size]
        index = {job: at + k for k, job in enumerate(batch)}
        rows = store.query("SELECT job_id, testcase_id, outcome FROM runs WHERE job_id IN (%s)"
                           " AND testcase_id IN (%s)" % (_ints(batch), _ints(sorted(waiting))))
        rows.sort(key=lambda row: index[row[0]])
        for job, case, outcome in rows:
            if case in waiting and step(case, index[job], outcome):
                waiting.discard(case)
        at, size = at + size, size * 4


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
    failing_since: Optional[JobRef] = None


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


def _runs_of(store: Store, job_id: int) -> Dict[int, Tuple[Any, ...]]:
    rows = store.query(
        "SELECT r.testcase_id, t.script, t.path, r.outcome, rt.text, r.runtime_ms, wt.text"
        " FROM runs r JOIN testcases t ON t.id = r.testcase_id JOIN texts rt ON rt.id = r.result_id"
        " LEFT JOIN texts wt ON wt.id = r.reason_id WHERE r.job_id = ?", (job_id,))
    return {r[0]: r for r in rows}


def previous_job(store: Store, job_id: int) -> Optional[int]:
    """The job of the same series before `job_id` (started before it or with it), if any."""
    rows = store.query("SELECT p.id FROM jobs j JOIN jobs p ON p.series_id = j.series_id"
                       " AND p.start_us <= j.start_us AND p.id <> j.id WHERE j.id = ?"
                       " ORDER BY p.start_us DESC, p.id DESC LIMIT 1", (job_id,))
    return int(rows[0][0]) if rows else None


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
    since = _failing_since(store, [c.testcase_id for c in out.still_failing], series_id, new_id)
    for change in out.still_failing:
        change.failing_since = since.get(change.testcase_id)
    for group in (out.new_failures, out.fixed, out.still_failing, out.added, out.removed):
        group.sort(key=lambda c: (c.script, c.path))
    out.slower.sort(key=lambda c: -(c.new_ms or 0) / max(1, c.old_ms or 1))
    return out


def failing_since(store: Store, testcase_id: int, series_id: int,
                  job_id: int) -> Optional[JobRef]:
    """The first job of the testcase's current run of failures, up to `job_id`."""
    return _failing_since(store, [testcase_id], series_id, job_id).get(testcase_id)


def _failing_since(store: Store, testcase_ids: List[int], series_id: int,
                   job_id: int) -> Dict[int, JobRef]:
    """failing_since of each of `testcase_ids`, in one walk back through the series."""
    if not testcase_ids:
        return {}
    jobs = store.query("SELECT id, campaign, start_us FROM jobs WHERE series_id = ?"
                       " AND start_us <= (SELECT start_us FROM jobs WHERE id = ?)"
                       " ORDER BY start_us DESC, id DESC", (series_id, job_id))
    first: Dict[int, JobRef] = {}

    def step(case: int, at: int, outcome: int) -> bool:
        if outcome == OUTCOME_FAILED:
            first[case] = (jobs[at][0], jobs[at][1], jobs[at][2])
        return outcome == OUTCOME_PASSED  # a skip neither starts nor ends a run of failures

    _walk_back(store, [j[0] for j in jobs], testcase_ids, step)
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
    earlier = [r[0] for r in store.query(
        "SELECT id FROM jobs WHERE series_id = ? AND start_us < ? ORDER BY start_us DESC, id DESC",
        (series[0][0], job.start_us))]
    out.earlier_jobs = min(len(earlier), flaky_window)
    flaky_cases = set()
    last: Dict[int, int] = {}
    cases: Dict[Tuple[str, str], int] = {}
    if earlier:
        flaky_cases = {(f.script, f.path) for f in _flaky_in(store, earlier[:flaky_window])}
        cases = store.testcase_ids(set(failures) - flaky_cases)

        def step(case: int, at: int, outcome: int) -> bool:
            if outcome == OUTCOME_SKIPPED:
                return False
            last[case] = outcome
            return True

        _walk_back(store, earlier, cases.values(), step)
    for key in failures:
        if key in flaky_cases:
            out.known_flaky.append(key)
        elif key in cases and last.get(cases[key]) == OUTCOME_FAILED:
            out.still_failing.append(key)
        else:
            out.new.append(key)
    return out
