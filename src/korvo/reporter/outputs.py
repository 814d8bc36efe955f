"""Every output file of a report tree written into one directory: all of them, or none.

Each output is written into a fresh directory inside OUTDIR (through the safe writers) and
moved into place only once every one of them is written, so a tree one writer cannot take
leaves OUTDIR as it was instead of holding half a report.
"""

import os
import shutil
import tempfile
import time
from typing import Any, Callable, List, Optional, Sequence, Tuple

from korvo.reporter._types import LogDirs, StrPath

# Writes its output of a tree into a directory and returns the names of the files it made.
Writer = Callable[[Any, str, LogDirs], Tuple[str, ...]]
# (what a step is called while it runs, its writer)
Step = Tuple[str, Writer]

__all__ = ["RESULTS", "XML", "HTML", "JUNIT", "write_outputs"]


def _yaml(tree: Any, staging: str, logs_dir: LogDirs) -> Tuple[str, ...]:
    tree.write_yaml(os.path.join(staging, "results.yaml"))
    return ("results.yaml",)


def _json(tree: Any, staging: str, logs_dir: LogDirs) -> Tuple[str, ...]:
    tree.write_json(os.path.join(staging, "results.json"))
    return ("results.json",)


def _xml(tree: Any, staging: str, logs_dir: LogDirs) -> Tuple[str, ...]:
    from korvo.reporter.scribe import Scribe

    Scribe(staging, tree).generate_xml(None, {})
    return ("ResultsDetails.xml", "ResultsSummary.xml")


def _html(tree: Any, staging: str, logs_dir: LogDirs) -> Tuple[str, ...]:
    from korvo.reporter.html import write_html

    write_html(tree, os.path.join(staging, "report.html"), logs_dir=logs_dir)
    return ("report.html",)


def _junit(tree: Any, staging: str, logs_dir: LogDirs) -> Tuple[str, ...]:
    from korvo.reporter.junit import write_junit

    write_junit(tree, os.path.join(staging, "junit.xml"), logs_dir=logs_dir)
    return ("junit.xml",)


RESULTS: Tuple[Step, ...] = (("results.yaml", _yaml), ("results.json", _json))
XML: Tuple[Step, ...] = (("ResultsDetails.xml + ResultsSummary.xml", _xml),)
HTML: Tuple[Step, ...] = (("report.html", _html),)
JUNIT: Tuple[Step, ...] = (("junit.xml", _junit),)


def write_outputs(tree: Any, outdir: StrPath, steps: Sequence[Step] = RESULTS + XML,
                  logs_dir: LogDirs = None,
                  on_step: Optional[Callable[..., object]] = None) -> None:
    """Writes the outputs of `steps` into `outdir`, all or none.

    `on_step(title)` is called before each step and `on_step(title, seconds, size)` after
    it. A failure (OSError, or the writers' TypeError and ValueError for a tree they
    cannot write) leaves every file in `outdir` as it was.
    """
    staging = tempfile.mkdtemp(prefix=".korvo-outputs-", dir=outdir)
    try:
        names: List[str] = []
        for title, write in steps:
            if on_step is not None:
                on_step(title)
            started = time.perf_counter()
            try:
                made = write(tree, staging, logs_dir)
            except (TypeError, ValueError, AttributeError, OverflowError) as exc:
                # a value of the tree this output cannot carry (read from a file, say)
                from korvo.reporter.cli import UsageError

                raise UsageError("cannot write %s: %s; nothing was written to %s" % (
                    title, " ".join(str(exc).splitlines()), _shown(outdir))) from None
            seconds = time.perf_counter() - started
            names.extend(made)
            if on_step is not None:
                on_step(title, seconds,
                        sum(os.path.getsize(os.path.join(staging, n)) for n in made))
        for name in names:
            target = os.path.join(outdir, name)
            _keep_mode(target, os.path.join(staging, name))
            os.replace(os.path.join(staging, name), target)
    finally:
        shutil.rmtree(staging, ignore_errors=True)


def _keep_mode(target: str, staged: str) -> None:
    # A replaced regular file keeps its permission bits, as with every file we write.
    import stat

    try:
        info = os.lstat(target)
    except FileNotFoundError:
        return
    if stat.S_ISREG(info.st_mode):
        os.chmod(staged, stat.S_IMODE(info.st_mode))


def _shown(path: StrPath) -> str:
    from korvo.reporter.loading import shown_path

    return shown_path(path)
