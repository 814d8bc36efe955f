"""Reading a results document (YAML or JSON) back and showing it as a table."""

import json
import os

# Result keys in the order a reader expects them; others follow sorted.
RESULT_ORDER = ("passed", "passx", "failed", "errored", "aborted", "blocked", "skipped")
# Entries a serialised counter carries besides the per-result counts.
_COUNTER_EXTRAS = ("total", "success_rate")


class DocumentError(Exception):
    """The file cannot be read or is not a results document."""


def load_document(path):
    """The results document in `path` as plain data; DocumentError otherwise."""
    try:
        with open(path, "rb") as handle:
            raw = handle.read()
    except OSError as exc:
        raise DocumentError("cannot read %s: %s" % (path, exc.strerror or exc)) from None
    try:
        text = raw.decode("utf-8")
    except UnicodeDecodeError:
        raise DocumentError("%s is not a results document (not UTF-8 text)" % path) from None
    doc = _parse(path, text)
    if not (isinstance(doc, dict) and "version" in doc and isinstance(doc.get("report"), dict)):
        raise DocumentError(
            "%s is not a results document (expected a mapping with 'version' and 'report')" % path)
    report = doc["report"]
    if "type" not in report or "id" not in report:
        raise DocumentError("%s is not a results document (its report has no type or id)" % path)
    return doc


def _parse(path, text):
    if os.path.splitext(path)[1].lower() == ".json" or text.lstrip().startswith("{"):
        try:
            return json.loads(text)
        except ValueError as exc:
            raise DocumentError("%s is not valid JSON: %s" % (path, exc)) from None
    import yaml

    loader = getattr(yaml, "CSafeLoader", yaml.SafeLoader)
    try:
        return yaml.load(text, Loader=loader)
    except yaml.YAMLError as exc:
        where = getattr(exc, "problem_mark", None)
        at = " (line %d)" % (where.line + 1) if where is not None else ""
        problem = getattr(exc, "problem", None) or type(exc).__name__
        raise DocumentError("%s is not valid YAML%s: %s" % (path, at, problem)) from None


def counts_of(counter):
    """The per-result counts of a serialised counter (absent when it was empty)."""
    if not isinstance(counter, dict):
        return {}
    return {k: v for k, v in counter.items() if k not in _COUNTER_EXTRAS and isinstance(v, int)}


def ordered_keys(count_maps):
    seen = set()
    for counts in count_maps:
        seen.update(counts)
    known = [k for k in RESULT_ORDER if k in seen]
    return known + sorted(k for k in seen if k not in RESULT_ORDER)


def success_rate(counter):
    """The counter's own (weighted) rate if it carries one, else passes over total."""
    if isinstance(counter, dict) and isinstance(counter.get("success_rate"), (int, float)):
        return float(counter["success_rate"])
    counts = counts_of(counter)
    total = sum(counts.values())
    if not total:
        return 0.0
    return 100.0 * (counts.get("passed", 0) + counts.get("passx", 0)) / total


def format_counts(counts):
    """'passed 20, failed 1' in the reading order; 'none' when empty."""
    keys = ordered_keys([counts])
    if not keys:
        return "none"
    return ", ".join("%s %s" % (k, format(counts[k], ",")) for k in keys)


def _runtime(node):
    value = node.get("runtime")
    return "%.2f s" % value if isinstance(value, (int, float)) else "-"


def _table(header, rows, right):
    cells = [header] + [r for r in rows if r is not None]  # None marks a rule line
    widths = [max(len(str(r[i])) for r in cells) for i in range(len(header))]

    def line(cells):
        out = []
        for i, cell in enumerate(cells):
            out.append(str(cell).rjust(widths[i]) if i in right else str(cell).ljust(widths[i]))
        return "  ".join(out).rstrip()

    lines = [line(header), line(["-" * w for w in widths])]
    for row in rows:
        lines.append(line(row) if row is not None else line(["-" * w for w in widths]))
    return lines


def render(doc):
    """The per-task table and the job totals of a results document, as text."""
    report = doc["report"]
    if isinstance(report.get("tasks"), list) or report.get("type") == "Campaign":
        entries = [e for e in report.get("tasks") or [] if isinstance(e, dict)]
        totals = [("tasks", report.get("summary")), ("job plugins", report.get("pluginsummary"))]
    else:
        entries = [report]
        totals = [("total", report.get("summary"))]

    entry_counts = [counts_of(e.get("summary")) for e in entries]
    keys = ordered_keys(entry_counts + [counts_of(c) for _, c in totals])
    header = ["task", "type"] + keys + ["total", "success", "runtime"]
    right = set(range(2, len(header)))
    rows = []
    for entry, counts in zip(entries, entry_counts):
        rows.append([entry.get("id"), entry.get("type", "?")]
                    + [format(counts.get(k, 0), ",") for k in keys]
                    + [format(sum(counts.values()), ","),
                       "%.1f%%" % success_rate(entry.get("summary")) if counts else "-",
                       _runtime(entry)])
    rows.append(None)
    for label, counter in totals:
        counts = counts_of(counter)
        rows.append([label, ""] + [format(counts.get(k, 0), ",") for k in keys]
                    + [format(sum(counts.values()), ","),
                       "%.1f%%" % success_rate(counter) if counts else "-", ""])

    lines = ["%s %s (%s), results format %s" % (
        report.get("type"), report.get("id"), _job_line(report), doc.get("version"))]
    lines.append("")
    lines.extend(_table(header, rows, right))
    return "\n".join(lines) + "\n"


def _job_line(report):
    parts = []
    if "tasks" in report or report.get("type") == "Campaign":
        tasks = [e for e in report.get("tasks") or [] if isinstance(e, dict)]
        ran = sum(1 for e in tasks if e.get("type") != "Plugin" and e.get("starttime"))
        announced = report.get("totaltasks")
        if isinstance(announced, int) and announced > 0:
            parts.append("%d of %d tasks ran" % (ran, announced))
        else:
            parts.append("%d tasks ran" % ran)
    parts.append("runtime " + _runtime(report))
    return ", ".join(parts)
