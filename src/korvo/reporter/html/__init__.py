"""One self-contained HTML page of a report tree: header, charts, a results tree with
filters and search, node details and the log slice of each section.

The tree's data comes from the native builder as compact JSON, embedded once; the page's
own script (``script/``, one file per concern, inlined in order) renders only the rows on screen, so large jobs open quickly.
No network access: the CSS and script ship inside this package and are inlined.
"""

import html as _html
import os
from typing import Any, Optional

from korvo.reporter._types import AnyPath, LogDirs

__all__ = ["write_html", "render_html", "SLICE_CAP", "LOG_BUDGET"]

SLICE_CAP = 64 * 1024          # bytes of log embedded per node at most
LOG_BUDGET = 50 * 1024 * 1024  # bytes of log embedded per report at most


def _asset(name: str) -> str:
    with open(os.path.join(os.path.dirname(__file__), name), encoding="utf-8") as handle:
        return handle.read()


# The page's script, by concern, in the order it is inlined (each part uses those before it).
SCRIPT_PARTS = ("format.js", "model.js", "history.js", "virtual_list.js", "filters.js",
                "details.js", "overview.js", "live.js", "main.js")


def _script() -> str:
    return "\n".join(_asset(os.path.join("script", name)) for name in SCRIPT_PARTS)


def _version() -> str:
    try:
        from importlib.metadata import version

        return version("korvo-reporter")
    except Exception:
        return ""


def render_html(campaign: Any, *, logs_dir: LogDirs = None, slice_cap: int = SLICE_CAP,
                log_budget: int = LOG_BUDGET, history: Optional[str] = None,
                live: bool = False) -> str:
    """The report page of the tree below `campaign`, as text.

    With `logs_dir` (a directory, or a list of them searched in turn: the first that holds
    a name wins), each node's log slice is read from the file of that name in it.
    `history` is the job's history as `korvo.reporter.history.page_data.history_json`
    gives it: each testcase's last outcomes and badges, and the series' trends.
    With `live`, the page is of a job still running: it reloads itself every few seconds,
    keeping the reader's place.
    """
    from korvo.reporter.campaign import _html_data

    data = _html_data(campaign, logs_dir, int(slice_cap), int(log_budget))
    return _page("Report %s" % (getattr(campaign, "id", "") or ""), data, history, live)


def _page(title: str, data: str, history: Optional[str] = None, live: bool = False) -> str:
    """The page around `data` and `history`, embedded JSON texts (every "<" escaped)."""
    title = _html.escape(title, quote=True)
    # a lone surrogate has no UTF-8 form: shown as its escape
    title = title.encode("utf-8", "backslashreplace").decode("utf-8")
    page = _asset("page.html")
    # Placeholders are replaced in one pass, so no inserted text is searched again.
    parts = {
        "TITLE": title,
        "CSS": _asset("page.css"),
        "SCRIPT": _script(),
        "VERSION": _html.escape(_version()),
        "DATA": data,
        "HISTORY": history or "null",
        "LIVE": '{"live":true}' if live else '{"live":false}',
    }
    out = []
    rest = page
    while True:
        at = rest.find("{{")
        if at < 0:
            out.append(rest)
            break
        end = rest.index("}}", at)
        out.append(rest[:at])
        out.append(parts[rest[at + 2:end]])
        rest = rest[end + 2:]
    return "".join(out)


def write_html(campaign: Any, path: AnyPath, *, logs_dir: LogDirs = None,
               slice_cap: int = SLICE_CAP, log_budget: int = LOG_BUDGET,
               history: Optional[str] = None, live: bool = False) -> int:
    """Writes the report page of `campaign` to `path` (replaced safely); returns its size."""
    from korvo.reporter.files import write_file

    page = render_html(campaign, logs_dir=logs_dir, slice_cap=slice_cap, log_budget=log_budget,
                       history=history, live=live)
    # Pages are ASCII unless a title is not: then the size is that of the UTF-8 text.
    data = page if page.isascii() else page.encode("utf-8")
    write_file(path, data)
    return len(data)
