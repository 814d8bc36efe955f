"""What a history keeps of one job: the job, its tasks and its testcase-level nodes
(testcases, common setups and cleanups, plugins and their sections), read from a tree.

Steps are not kept: their detail stays in the job's own files. Only the nodes down to a
testcase's level are visited, plus the failing branches below a failed one for its reason.
"""

import datetime
import json
from dataclasses import dataclass, field
from typing import Any, Dict, List, Optional

OUTCOME_PASSED, OUTCOME_SKIPPED, OUTCOME_FAILED = 0, 1, 2
RERUN_DETAIL = "rerun: was "


def result_name(result: Any) -> str:
    return "" if result is None else str(result).lower()


def outcome_of(name: str) -> int:
    """Passed and Passx pass; Skipped neither passes nor fails; every other result fails
    (the rule every output shares)."""
    from korvo.reporter.campaign import _result_class

    return _OUTCOMES[_result_class(name)]


_OUTCOMES = {"pass": OUTCOME_PASSED, "skip": OUTCOME_SKIPPED, "fail": OUTCOME_FAILED}


def first_line(value: Any) -> str:
    if value is None:
        return ""
    text = value if isinstance(value, str) else str(value)
    return text.strip().splitlines()[0].strip() if text.strip() else ""


def _reason(result: Any) -> str:
    return first_line(getattr(result, "reason", None))


def _children(node: Any) -> List[Any]:
    children = getattr(node, "sections", None)
    return children if isinstance(children, list) else []


def failure_reason(node: Any) -> str:
    """The first line of why `node` failed: its own reason, else that of the first failing
    node below it, in tree order."""
    stack = [node]
    seen = set()
    while stack:
        current = stack.pop()
        if id(current) in seen:
            continue
        seen.add(id(current))
        result = getattr(current, "result", None)
        if outcome_of(result_name(result)) == OUTCOME_FAILED:
            reason = _reason(result)
            if reason:
                return reason
        stack.extend(reversed(_children(current)))
    return ""


def _micros(value: Any) -> Optional[int]:
    if not isinstance(value, datetime.datetime):
        return None
    moment: datetime.datetime = value
    if moment.tzinfo is not None:
        moment = moment.astimezone(datetime.timezone.utc).replace(tzinfo=None)
    delta = moment - datetime.datetime(1970, 1, 1)
    return (delta.days * 86400 + delta.seconds) * 1000000 + delta.microseconds


def _millis(seconds: Any) -> Optional[int]:
    if isinstance(seconds, bool) or not isinstance(seconds, (int, float)):
        return None
    try:
        return int(round(seconds * 1000))
    except (OverflowError, ValueError):
        return None


def _reran(node: Any) -> bool:
    details = getattr(node, "details", None)
    return isinstance(details, list) and any(
        isinstance(d, str) and d.startswith(RERUN_DETAIL) for d in details)


@dataclass
class Run:
    script: str
    path: str
    kind: str
    result: str
    outcome: int
    rerun: bool
    start_ms: Optional[int]
    runtime_ms: Optional[int]
    reason: str


@dataclass
class TaskRow:
    ordinal: int
    task: str
    script: str
    result: str
    start_ms: Optional[int]
    runtime_ms: Optional[int]


@dataclass
class JobRows:
    campaign: str
    series: str
    start_us: int
    stop_us: Optional[int]
    runtime: Optional[float]
    result: str
    counts: Dict[str, Any]
    tasks_declared: Optional[int]
    tasks_ran: int
    complete: bool
    source: str
    files: str
    tasks: List[TaskRow] = field(default_factory=list)
    runs: List[Run] = field(default_factory=list)

    def counts_text(self) -> str:
        return json.dumps(self.counts, sort_keys=True)


def _is(node: Any, class_name: str) -> bool:
    return any(c.__name__ == class_name for c in type(node).__mro__)


def _id(node: Any) -> str:
    return str(getattr(node, "id", ""))


def _counts(counter: Any) -> Dict[str, Any]:
    try:
        items = dict(counter.items()) if counter is not None else {}
    except (AttributeError, TypeError):
        return {}
    return {str(k): v for k, v in items.items() if isinstance(v, (int, float)) and not isinstance(v, bool)}


# Which result a job or task shows when its nodes differ: the worst one.
_SEVERITY = {"passed": 0, "passx": 1, "skipped": 2, "blocked": 3, "failed": 4, "aborted": 5,
             "errored": 6}


def _worst(names: List[str]) -> str:
    return max(names, key=lambda n: _SEVERITY.get(n, 4), default="")


def job_rows(root: Any, *, source: str, files: str, series: Optional[str] = None,
             complete: bool = True) -> JobRows:
    """The rows of the job whose Campaign is `root`."""
    start_us = _micros(getattr(root, "starttime", None))
    if start_us is None:
        raise ValueError("the job has no start time, so it cannot be told from other jobs")
    jobfile = getattr(root, "jobfile", None)
    name = series or (str(jobfile) if jobfile else _id(root))
    job = JobRows(campaign=_id(root), series=name, start_us=start_us,
                  stop_us=_micros(getattr(root, "stoptime", None)),
                  runtime=getattr(root, "runtime", None) if isinstance(getattr(root, "runtime", None), (int, float)) else None,
                  result="", counts=_counts(getattr(root, "summary", None)),
                  tasks_declared=getattr(root, "totaltasks", None) if isinstance(getattr(root, "totaltasks", None), int) else None,
                  tasks_ran=0, complete=complete, source=source, files=files)
    outcomes: List[str] = []
    for ordinal, task in enumerate(getattr(root, "tasks", None) or []):
        if _is(task, "Plugin"):
            # a job-level plugin is a testcase-level node of its own
            script = _id(task)
            _node_runs(job, task, script, "", start_us, outcomes)
            continue
        job.tasks_ran += 1
        testscript = getattr(task, "testscript", None)
        script = str(testscript) if testscript else _id(task)
        names = []
        for child in _children(task):
            names.append(_node_runs(job, child, script, "", start_us, outcomes))
        task_start = _micros(getattr(task, "starttime", None))
        job.tasks.append(TaskRow(ordinal=ordinal, task=_id(task), script=script,
                                 result=_worst([n for n in names if n]),
                                 start_ms=None if task_start is None else (task_start - start_us) // 1000,
                                 runtime_ms=_millis(getattr(task, "runtime", None))))
    job.result = _worst(outcomes) or "none"
    return job


def _node_runs(job: JobRows, node: Any, script: str, prefix: str, job_start: int,
               outcomes: List[str]) -> str:
    """Adds the run of a testcase-level node (and, for a plugin, of its sections)."""
    path = prefix + "/" + _id(node) if prefix else _id(node)
    name = result_name(getattr(node, "result", None))
    kind = str(getattr(node, "type", "") or type(node).__name__)
    started = _micros(getattr(node, "starttime", None))
    outcome = outcome_of(name) if name else OUTCOME_SKIPPED
    job.runs.append(Run(script=script, path=path, kind=kind, result=name or "none",
                        outcome=outcome, rerun=_reran(node),
                        start_ms=None if started is None else (started - job_start) // 1000,
                        runtime_ms=_millis(getattr(node, "runtime", None)),
                        reason=failure_reason(node) if outcome == OUTCOME_FAILED else ""))
    if name:
        outcomes.append(name)
    if _is(node, "Plugin"):
        for child in _children(node):
            _node_runs(job, child, script, path, job_start, outcomes)
    return name
