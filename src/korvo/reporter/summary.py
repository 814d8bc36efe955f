"""The per-task table and job totals of a report tree, and whether every result passed."""

# Results that count as a success; anything else makes `summary` exit 1.
SUCCESS = frozenset(("passed", "passx"))
# Entries a written counter carries besides the per-result counts.
_COUNTER_EXTRAS = ("total", "success_rate")


def result_order():
    """Result names in the order the results module declares them: one order everywhere."""
    from korvo.reporter.loading import _results_by_value

    return tuple(_results_by_value())


def ordered_keys(count_maps):
    seen = set()
    for counts in count_maps:
        seen.update(counts)
    order = result_order()
    known = [k for k in order if k in seen]
    return known + sorted((k for k in seen if k not in order), key=str)


def format_counts(counts):
    """'passed 20, failed 1' in the results' own order; 'none' when empty."""
    keys = ordered_keys([counts])
    if not keys:
        return "none"
    return ", ".join("%s %s" % (k, format(counts[k], ",")) for k in keys)


def counts_of(counter):
    """The per-result counts of a counter (or of a counter's written form)."""
    from korvo.results import ResultCounter

    if isinstance(counter, ResultCounter):
        return dict(counter.items())
    if isinstance(counter, dict):
        return {k: v for k, v in counter.items()
                if k not in _COUNTER_EXTRAS and isinstance(v, int) and not isinstance(v, bool)}
    return {}


def _result_key(result):
    return str(result).lower()


def _nodes(root):
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


def all_passed(root):
    """Whether every result in the tree, and every count of its counters, is a success."""
    from korvo.results import TestResult

    for node in _nodes(root):
        result = getattr(node, "result", None)
        if isinstance(result, TestResult) and _result_key(result) not in SUCCESS:
            return False
        for name in ("summary", "pluginsummary"):
            if any(k not in SUCCESS and v for k, v in counts_of(getattr(node, name, None)).items()):
                return False
    return True


def _rate(counter, counts):
    if not counts:
        return "-"
    rate = getattr(counter, "success_rate", None)
    if isinstance(counter, dict):
        rate = counter.get("success_rate")
    if not _number(rate):
        total = sum(counts.values())
        rate = 100.0 * sum(v for k, v in counts.items() if k in SUCCESS) / total if total else 0.0
    return "%.1f%%" % rate


def _entry_counts(entry):
    """A task's counts; a plugin's counts, or its own result when it counted none."""
    from korvo.reporter.campaign import Plugin

    counts = counts_of(getattr(entry, "summary", None))
    result = getattr(entry, "result", None)
    if isinstance(entry, Plugin) and not counts and result is not None:
        counts = {_result_key(result): 1}
    return counts


def _number(value):
    """Whether `value` prints as a float: a whole number of 400 digits does not."""
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        return False
    try:
        float(value)
    except OverflowError:
        return False
    return True


def _runtime(node):
    value = getattr(node, "runtime", None)
    return "%.2f s" % value if _number(value) else "-"


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


def render(root):
    """The per-task table and the job totals of a report tree, as text."""
    from korvo.reporter.campaign import VERSION, Campaign, Plugin, ReportObjectBase

    if isinstance(root, Campaign):
        entries = [e for e in root.tasks if isinstance(e, ReportObjectBase)]
        plugin_counts = {}
        for entry in entries:
            if isinstance(entry, Plugin):
                for key, count in _entry_counts(entry).items():
                    plugin_counts[key] = plugin_counts.get(key, 0) + count
        totals = [("tasks", root.summary, counts_of(root.summary)),
                  ("job plugins", None, plugin_counts)]
    else:
        entries = [root]
        totals = [("total", getattr(root, "summary", None), _entry_counts(root))]

    entry_counts = [_entry_counts(e) for e in entries]
    keys = ordered_keys(entry_counts + [counts for _, _, counts in totals])
    header = ["task", "type"] + keys + ["total", "success", "runtime"]
    right = set(range(2, len(header)))
    rows = []
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


def _job_line(root):
    from korvo.reporter.campaign import Campaign, Plugin, ReportObjectBase

    parts = []
    if isinstance(root, Campaign):
        ran = sum(1 for e in root.tasks if isinstance(e, ReportObjectBase)
                  and not isinstance(e, Plugin) and getattr(e, "starttime", None) is not None)
        announced = root.totaltasks
        if isinstance(announced, int) and not isinstance(announced, bool) and announced > 0:
            parts.append("%d of %d tasks ran" % (ran, announced))
        else:
            parts.append("%d tasks ran" % ran)
    parts.append("runtime " + _runtime(root))
    return ", ".join(parts)
