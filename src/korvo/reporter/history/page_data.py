"""What the HTML report shows of a job's history: each testcase's last outcomes with its
"new failure" or "flaky" badge, and the series' trends (pass rate, counts, duration)."""

import json
from typing import Any, Dict, List, Optional, Tuple

from korvo.reporter.history import queries
from korvo.reporter.history.rows import OUTCOME_FAILED, JobRows
from korvo.reporter.history.store import Store

STRIP = 20   # outcomes per testcase
TRENDS = 50  # jobs in the trends

_LETTER = {0: "p", 1: "s", 2: "f"}


def history_data(store: Store, job: JobRows) -> Dict[str, Any]:
    """{"series", "trends": [...], "cases": {"SCRIPT::PATH": {"strip", "badge"}}} for the
    job `job` (stored or not) against the jobs of its series up to it."""
    series_row = store.query("SELECT id FROM series WHERE name = ?", (job.series,))
    out: Dict[str, Any] = {"series": job.series, "trends": [], "cases": {}}
    verdict = queries.judge(store, job)
    badges = {}
    for key in verdict.new:
        badges[key] = "new failure"
    for key in verdict.known_flaky:
        badges[key] = "flaky"
    earlier: List[int] = []
    if series_row:
        series_id = series_row[0][0]
        rows = store.query(
            "SELECT id, campaign, start_us, counts, runtime, result FROM jobs"
            " WHERE series_id = ? AND start_us <= ? ORDER BY start_us DESC, id DESC LIMIT %d" % TRENDS,
            (series_id, job.start_us))
        for job_id, campaign, start_us, counts, runtime, result in reversed(rows):
            try:
                counted = json.loads(counts)
            except ValueError:
                counted = {}
            out["trends"].append({"job": job_id, "campaign": campaign, "start": start_us,
                                  "counts": counted, "runtime": runtime, "result": result})
        earlier = [r[0] for r in store.query(
            "SELECT id FROM jobs WHERE series_id = ? AND start_us < ?"
            " ORDER BY start_us DESC, id DESC LIMIT %d" % (STRIP - 1), (series_id, job.start_us))]
    strips: Dict[Tuple[str, str], List[str]] = {}
    if earlier:
        ids = ",".join(str(int(i)) for i in earlier)
        for script, path, outcome, start in store.query(
                "SELECT t.script, t.path, r.outcome, j.start_us FROM runs r"
                " JOIN testcases t ON t.id = r.testcase_id JOIN jobs j ON j.id = r.job_id"
                " WHERE r.job_id IN (%s) ORDER BY j.start_us, j.id" % ids):
            strips.setdefault((script, path), []).append(_LETTER.get(outcome, "s"))
    for run in job.runs:
        key = (run.script, run.path)
        strip = strips.get(key, [])[-(STRIP - 1):] + [_LETTER.get(run.outcome, "s")]
        entry = {"strip": "".join(strip)}
        badge = badges.get(key)
        if badge and (badge != "new failure" or run.outcome == OUTCOME_FAILED):
            entry["badge"] = badge
        out["cases"]["%s::%s" % key] = entry
    return out


def history_json(store: Store, job: JobRows) -> str:
    """history_data as the text the page embeds (every "<" escaped)."""
    return json.dumps(history_data(store, job), separators=(",", ":")).replace("<", "\\u003c")


def read_history(url: Optional[str], root: Any, series: Optional[str] = None) -> str:
    """The page's history text for the tree `root`, from the store at `url`."""
    from korvo.reporter.history import open_store
    from korvo.reporter.history.rows import job_rows

    job = job_rows(root, source="", files="", series=series)
    with open_store(url) as store:
        return history_json(store, job)
