"""The per-task table and job totals of a report tree, its failures, and what its exit
status is; as text, JSON or Markdown."""

import json
from typing import Any, Dict, Iterable, Iterator, List, Mapping, Optional, Sequence, Set, Tuple

# (task id, node id, type, result, first line of why) of a failing node
Failure = Tuple[Any, str, Any, str, str]
# A table row: its cells, or None for a rule line
Row = Optional[List[Any]]

# Results that count as a success (for the success rate); Skipped does not fail a run.
SUCCESS = frozenset(("passed", "passx"))
# Entries a written counter carries besides the per-result counts.
_COUNTER_EXTRAS = ("total", "success_rate")


def result_order() -> Tuple[str, ...]:
    """Result names in the order the results module declares them: one order everywhere."""
    from korvo.reporter.loading import _results_by_value

    return tuple(_results_by_value())


def ordered_keys(count_maps: Iterable[Mapping[Any, Any]]) -> List[Any]:
    seen: Set[Any] = set()
    for counts in count_maps:
        seen.update(counts)
    order = result_order()
    known = [k for k in order if k in seen]
    return known + sorted((k for k in seen if k not in order), key=str)


def format_counts(counts: Mapping[Any, int]) -> str:
    """'passed 20, failed 1' in the results' own order; 'none' when empty."""
    keys = ordered_keys([counts])
    if not keys:
        return "none"
    return ", ".join("%s %s" % (k, format(counts[k], ",")) for k in keys)


def counts_of(counter: Any) -> Dict[Any, int]:
    """The per-result counts of a counter (or of a counter's written form)."""
    from korvo.results import ResultCounter

    if isinstance(counter, ResultCounter):
        counts: Dict[Any, int] = dict(counter.items())
        return counts
    if isinstance(counter, dict):
        return {k: v for k, v in counter.items()
                if k not in _COUNTER_EXTRAS and isinstance(v, int) and not isinstance(v, bool)}
    return {}


def _result_key(result: Any) -> str:
    return str(result).lower()


def _nodes(root: Any) -> Iterator[Any]:
    from korvo.reporter.campaign import ReportObjectBase

    stack = [root]
    while stack:
        node = stack.pop()
        yield node
        children = getattr(node, "tasks", None) if hasattr(node, "tasks") else None
        if children is None:
            children = getattr(node, "sections", None)
        if isinstance(children, list):
            stack.extend(c for c in reversed(children) if isinstance(c, ReportObjectBase))


def fails(name: Any) -> bool:
    """Whether a result of this text form fails a run (the rule every output shares)."""
    from korvo.reporter.campaign import _result_class

    return _result_class(str(name)) == "fail"


def all_passed(root: Any) -> bool:
    """Whether no result in the tree, and no count of its counters, fails the run."""
    from korvo.results import TestResult

    for node in _nodes(root):
        result = getattr(node, "result", None)
        if isinstance(result, TestResult) and fails(result):
            return False
        for name in ("summary", "pluginsummary"):
            if any(v and fails(k) for k, v in counts_of(getattr(node, name, None)).items()):
                return False
    return True


def failures(root: Any) -> List[Failure]:
    """Each failing testcase, setup, cleanup and plugin (with its failing sections), in
    tree order: (task id, node id, type, result, first line of why)."""
    from korvo.reporter.campaign import Campaign, Plugin, ReportObjectBase
    from korvo.reporter.history.rows import failure_reason

    found: List[Failure] = []

    def node_failures(task_id: Any, node: Any, prefix: str = "") -> None:
        result = getattr(node, "result", None)
        name = "%s%s" % (prefix, getattr(node, "id", None))
        if result is not None and fails(result):
            found.append((task_id, name, getattr(node, "type", type(node).__name__),
                          _result_key(result), failure_reason(node)))
        if isinstance(node, Plugin):
            for child in getattr(node, "sections", None) or []:
                if isinstance(child, ReportObjectBase):
                    node_failures(task_id, child, name + ".")

    entries = root.tasks if isinstance(root, Campaign) else [root]
    for entry in entries:
        if not isinstance(entry, ReportObjectBase):
            continue
        if isinstance(entry, Plugin):
            node_failures(None, entry)
            continue
        for child in getattr(entry, "sections", None) or []:
            if isinstance(child, ReportObjectBase):
                node_failures(getattr(entry, "id", None), child)
    return found


def tasks_ran(root: Any) -> Tuple[int, Optional[int]]:
    """(tasks that ran, tasks the job declared or None)."""
    from korvo.reporter.campaign import Campaign, Plugin, ReportObjectBase

    if not isinstance(root, Campaign):
        return 1, None
    ran = sum(1 for e in root.tasks if isinstance(e, ReportObjectBase)
              and not isinstance(e, Plugin) and getattr(e, "starttime", None) is not None)
    announced = root.totaltasks
    if isinstance(announced, int) and not isinstance(announced, bool) and announced > 0:
        return ran, announced
    return ran, None


def counted(root: Any) -> int:
    """How many results the job counted (its counters' totals, or its own result)."""
    from korvo.reporter.campaign import Campaign

    if isinstance(root, Campaign):
        total = sum(counts_of(root.summary).values())
        total += sum([sum(_entry_counts(e).values()) for e in root.tasks
                      if type(e).__name__ == "Plugin"])
        return total
    return sum(_entry_counts(root).values())


def exit_status(root: Any, judgement: Any = None) -> Tuple[int, str]:
    """(status, why): 1 a result failed (with a judgement: a failure that is new), 4 fewer
    tasks ran than declared, 5 nothing was counted, else 0."""
    if judgement is not None:
        if judgement.new:
            return 1, "%d new %s" % (len(judgement.new), "failure" if len(judgement.new) == 1 else "failures")
    elif not all_passed(root):
        return 1, "some results failed"
    ran, declared = tasks_ran(root)
    if declared is not None and ran < declared:
        return 4, "%d of %d tasks ran" % (ran, declared)
    if not counted(root):
        return 5, "no result was counted"
    return 0, "no result failed" if judgement is None else "no new failure"


def _rate(counter: Any, counts: Mapping[Any, int]) -> str:
    if not counts:
        return "-"
    rate: Any = getattr(counter, "success_rate", None)
    if isinstance(counter, dict):
        rate = counter.get("success_rate")
    if not _number(rate):
        total = sum(counts.values())
        rate = 100.0 * sum(v for k, v in counts.items() if k in SUCCESS) / total if total else 0.0
    return "%.1f%%" % rate


def _entry_counts(entry: Any) -> Dict[Any, int]:
    """A task's counts; a plugin's counts, or its own result when it counted none."""
    from korvo.reporter.campaign import Plugin

    counts = counts_of(getattr(entry, "summary", None))
    result = getattr(entry, "result", None)
    if isinstance(entry, Plugin) and not counts and result is not None:
        counts = {_result_key(result): 1}
    return counts


def _number(value: Any) -> bool:
    """Whether `value` prints as a float: a whole number of 400 digits does not."""
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        return False
    try:
        float(value)
    except OverflowError:
        return False
    return True


def _runtime(node: Any) -> str:
    value: Any = getattr(node, "runtime", None)
    return "%.2f s" % value if _number(value) else "-"


def _table(header: List[Any], rows: Sequence[Row], right: Set[int]) -> List[str]:
    cells: List[List[Any]] = [header] + [r for r in rows if r is not None]  # None: a rule line
    widths = [max(len(str(r[i])) for r in cells) for i in range(len(header))]

    def line(cells: List[Any]) -> str:
        out = []
        for i, cell in enumerate(cells):
            out.append(str(cell).rjust(widths[i]) if i in right else str(cell).ljust(widths[i]))
        return "  ".join(out).rstrip()

    lines = [line(header), line(["-" * w for w in widths])]
    for row in rows:
        lines.append(line(row) if row is not None else line(["-" * w for w in widths]))
    return lines


def render(root: Any) -> str:
    """The per-task table and the job totals of a report tree, as text."""
    from korvo.reporter.campaign import VERSION, Campaign, Plugin, ReportObjectBase

    if isinstance(root, Campaign):
        entries = [e for e in root.tasks if isinstance(e, ReportObjectBase)]
        plugin_counts: Dict[Any, int] = {}
        for entry in entries:
            if isinstance(entry, Plugin):
                for key, count in _entry_counts(entry).items():
                    plugin_counts[key] = plugin_counts.get(key, 0) + count
        totals: List[Tuple[str, Any, Dict[Any, int]]] = [
                  ("tasks", root.summary, counts_of(root.summary)),
                  ("job plugins", None, plugin_counts)]
    else:
        entries = [root]
        totals = [("total", getattr(root, "summary", None), _entry_counts(root))]

    entry_counts = [_entry_counts(e) for e in entries]
    keys = ordered_keys(entry_counts + [counts for _, _, counts in totals])
    header = ["task", "type"] + keys + ["total", "success", "runtime"]
    right = set(range(2, len(header)))
    rows: List[Row] = []
    for entry, counts in zip(entries, entry_counts):
        rows.append([getattr(entry, "id", None), getattr(entry, "type", "?")]
                    + [format(counts.get(k, 0), ",") for k in keys]
                    + [format(sum(counts.values()), ","),
                       _rate(getattr(entry, "summary", None) if counts_of(
                           getattr(entry, "summary", None)) else None, counts),
                       _runtime(entry)])
    rows.append(None)
    for label, counter, counts in totals:
        rows.append([label, ""] + [format(counts.get(k, 0), ",") for k in keys]
                    + [format(sum(counts.values()), ","), _rate(counter, counts), ""])

    lines = ["%s %s (%s), results format %s" % (
        getattr(root, "type", "?"), getattr(root, "id", None), _job_line(root), VERSION)]
    lines.append("")
    lines.extend(_table(header, rows, right))
    return "\n".join(lines) + "\n"


def _job_line(root: Any) -> str:
    from korvo.reporter.campaign import Campaign

    parts = []
    if isinstance(root, Campaign):
        ran, announced = tasks_ran(root)
        if announced is not None:
            parts.append("%d of %d %s ran" % (ran, announced, "task" if announced == 1 else "tasks"))
        else:
            parts.append("%d %s ran" % (ran, "task" if ran == 1 else "tasks"))
    parts.append("runtime " + _runtime(root))
    return ", ".join(parts)


def render_failures(found: Sequence[Failure], limit: int) -> str:
    """The short list of failures under the table, like pytest's short test summary."""
    if not found:
        return ""
    lines = ["", "failures:"]
    for task, node, _type, result, reason in found[:limit]:
        place = "%s %s" % (task, node) if task is not None else str(node)
        lines.append("  %s %s%s" % (result.upper(), place, " - " + reason if reason else ""))
    if len(found) > limit:
        lines.append("  \u2026 and %d more" % (len(found) - limit))
    return "\n".join(lines) + "\n"


def render_history(judgement: Any) -> str:
    if judgement is None:
        return ""
    return "\nhistory: %d new %s, %d still failing, %d known flaky (against %d earlier %s)\n" % (
        len(judgement.new), "failure" if len(judgement.new) == 1 else "failures",
        len(judgement.still_failing), len(judgement.known_flaky), judgement.earlier_jobs,
        "job" if judgement.earlier_jobs == 1 else "jobs")


# The document `summary --format json` prints (JSON Schema, draft 2020-12).
_COUNTS: Dict[str, Any] = {"type": "object", "additionalProperties": {"type": "integer"}}
JSON_SCHEMA: Dict[str, Any] = {
    "$schema": "https://json-schema.org/draft/2020-12/schema",
    "title": "korvo-report summary",
    "type": "object",
    "required": ["schema", "campaign", "type", "format", "tasks_ran", "tasks_declared", "runtime",
                 "counts", "plugin_counts", "success_rate", "tasks", "failures",
                 "failures_total", "history", "exit_status", "exit_reason"],
    "additionalProperties": False,
    "properties": {
        "schema": {"const": "korvo-summary/1"},
        "campaign": {"type": ["string", "null"]},
        "type": {"type": "string"},
        "format": {"type": "string"},
        "tasks_ran": {"type": "integer"},
        "tasks_declared": {"type": ["integer", "null"]},
        "runtime": {"type": ["number", "null"]},
        "counts": _COUNTS,
        "plugin_counts": _COUNTS,
        "success_rate": {"type": ["number", "null"]},
        "tasks": {"type": "array", "items": {
            "type": "object", "required": ["id", "type", "counts", "total", "success_rate", "runtime"],
            "additionalProperties": False,
            "properties": {"id": {"type": ["string", "null"]}, "type": {"type": "string"},
                           "counts": _COUNTS, "total": {"type": "integer"},
                           "success_rate": {"type": ["number", "null"]},
                           "runtime": {"type": ["number", "null"]}}}},
        "failures": {"type": "array", "items": {
            "type": "object", "required": ["task", "id", "type", "result", "reason"],
            "additionalProperties": False,
            "properties": {"task": {"type": ["string", "null"]}, "id": {"type": "string"},
                           "type": {"type": "string"}, "result": {"type": "string"},
                           "reason": {"type": "string"}}}},
        "failures_total": {"type": "integer"},
        "history": {"type": ["object", "null"], "required": ["new", "still_failing", "known_flaky"],
                    "properties": {k: {"type": "array", "items": {"type": "string"}}
                                   for k in ("new", "still_failing", "known_flaky")}},
        "exit_status": {"type": "integer"},
        "exit_reason": {"type": "string"},
    },
}


def _float(value: Any) -> Optional[float]:
    return float(value) if _number(value) else None


def _rate_value(counts: Mapping[Any, int]) -> Optional[float]:
    total = sum(counts.values())
    return round(100.0 * sum(v for k, v in counts.items() if k in SUCCESS) / total, 1) if total else None


def _text(value: Any) -> Optional[str]:
    return None if value is None else str(value)


def document(root: Any, found: Sequence[Failure], limit: int, judgement: Any, status: int,
             why: str) -> Dict[str, Any]:
    """The JSON summary (see JSON_SCHEMA)."""
    from korvo.reporter.campaign import VERSION, Campaign, Plugin, ReportObjectBase

    entries = ([e for e in root.tasks if isinstance(e, ReportObjectBase)]
               if isinstance(root, Campaign) else [root])
    plugin_counts: Dict[Any, int] = {}
    for e in entries:
        if isinstance(e, Plugin) and isinstance(root, Campaign):
            for k, v in _entry_counts(e).items():
                plugin_counts[k] = plugin_counts.get(k, 0) + v
    counts = counts_of(getattr(root, "summary", None)) if isinstance(root, Campaign) else _entry_counts(root)
    ran, declared = tasks_ran(root)
    history: Optional[Dict[str, List[str]]] = None
    if judgement is not None:
        history = {k: ["%s::%s" % key for key in getattr(judgement, k)]
                   for k in ("new", "still_failing", "known_flaky")}
    return {
        "schema": "korvo-summary/1", "campaign": _text(getattr(root, "id", None)),
        "type": str(getattr(root, "type", "?")), "format": VERSION,
        "tasks_ran": ran, "tasks_declared": declared, "runtime": _float(getattr(root, "runtime", None)),
        "counts": {str(k): v for k, v in counts.items()},
        "plugin_counts": {str(k): v for k, v in plugin_counts.items()},
        "success_rate": _rate_value(counts),
        "tasks": [{"id": _text(getattr(e, "id", None)), "type": str(getattr(e, "type", "?")),
                   "counts": {str(k): v for k, v in _entry_counts(e).items()},
                   "total": sum(_entry_counts(e).values()),
                   "success_rate": _rate_value(_entry_counts(e)),
                   "runtime": _float(getattr(e, "runtime", None))} for e in entries],
        "failures": [{"task": _text(t), "id": str(n), "type": str(ty), "result": r, "reason": why_}
                     for t, n, ty, r, why_ in found[:limit]],
        "failures_total": len(found),
        "history": history,
        "exit_status": status, "exit_reason": why,
    }


def render_json(doc: Mapping[str, Any]) -> str:
    return json.dumps(doc, indent=2, ensure_ascii=False) + "\n"


def _md(text: Any) -> str:
    return str(text).replace("|", "\\|").replace("\n", " ")


def render_markdown(doc: Mapping[str, Any]) -> str:
    """The summary as a Markdown table (GitHub's step summary, GitLab's report)."""
    keys = ordered_keys([t["counts"] for t in doc["tasks"]] + [doc["counts"]])
    icon = "\u2705" if doc["exit_status"] == 0 else "\u274c"
    ran = ("%d of %d tasks ran" % (doc["tasks_ran"], doc["tasks_declared"])
           if doc["tasks_declared"] is not None else "%d tasks ran" % doc["tasks_ran"])
    lines = ["### %s %s `%s`: %s" % (icon, doc["type"], _md(doc["campaign"]), _md(doc["exit_reason"])),
             "", "%s, success rate %s" % (ran, "-" if doc["success_rate"] is None else "%.1f%%" % doc["success_rate"]),
             "", "| task | type | " + " | ".join(keys) + " | total | success | runtime |",
             "|---|---|" + "---:|" * (len(keys) + 3)]
    for t in doc["tasks"]:
        lines.append("| %s | %s | %s | %d | %s | %s |" % (
            _md(t["id"]), t["type"], " | ".join(str(t["counts"].get(k, 0)) for k in keys), t["total"],
            "-" if t["success_rate"] is None else "%.1f%%" % t["success_rate"],
            "-" if t["runtime"] is None else "%.2f s" % t["runtime"]))
    lines.append("| **total** | | %s | %d | %s | |" % (
        " | ".join(str(doc["counts"].get(k, 0)) for k in keys), sum(doc["counts"].values()),
        "-" if doc["success_rate"] is None else "%.1f%%" % doc["success_rate"]))
    if doc["failures"]:
        lines += ["", "**Failures** (%d)" % doc["failures_total"], ""]
        for f in doc["failures"]:
            place = "%s / %s" % (f["task"], f["id"]) if f["task"] else f["id"]
            lines.append("- **%s** `%s`%s" % (f["result"], _md(place), " \u2014 " + _md(f["reason"]) if f["reason"] else ""))
        if doc["failures_total"] > len(doc["failures"]):
            lines.append("- \u2026 and %d more" % (doc["failures_total"] - len(doc["failures"])))
    if doc["history"] is not None:
        h = doc["history"]
        lines += ["", "History: %d new failures, %d still failing, %d known flaky" % (
            len(h["new"]), len(h["still_failing"]), len(h["known_flaky"]))]
    return "\n".join(lines) + "\n"
