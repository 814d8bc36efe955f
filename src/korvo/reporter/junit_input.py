"""JUnit XML from other frameworks read as a report tree, so `summary`, `html`, `merge`
and `history add` work on it too.

Read: pytest's --junitxml, Maven Surefire, Robot Framework's --xunit, and nested
<testsuites>. Each <testsuite> holding testcases becomes a Task (its id the suite's name,
its testscript the suite's file, else its name); each <testcase> a Testcase section (its
id the testcase's name, after its class name when that is not the suite's) with
its failure, error or skipped message as the reason of its result, and its system-out and
system-err kept in `extra`. The document is parsed by defusedxml: entity expansion, external
entities and DTDs are refused.
"""

import datetime
from typing import Any, List, Optional

# What a <testcase> ends as: the first of these children it has.
_OUTCOMES = (("failure", "Failed"), ("error", "Errored"), ("skipped", "Skipped"))
MAX_DEPTH = 64  # nested <testsuites>/<testsuite> levels


class JUnitError(ValueError):
    """The document is not JUnit XML we can read."""


def is_junit(root_tag: str) -> bool:
    return root_tag in ("testsuites", "testsuite")


def parse(data: bytes, name: str) -> Any:
    """The root element of the JUnit document `data` (from the file `name`)."""
    try:
        from defusedxml import DefusedXmlException
        from defusedxml.ElementTree import fromstring
    except ImportError:
        raise JUnitError("reading JUnit XML needs defusedxml (pip install defusedxml)") from None
    from xml.etree.ElementTree import ParseError

    try:
        return fromstring(data, forbid_dtd=True, forbid_entities=True, forbid_external=True)
    except DefusedXmlException as exc:
        raise JUnitError("%s is refused: %s" % (name, type(exc).__name__)) from None
    except ParseError as exc:
        raise JUnitError("%s is not well-formed XML: %s" % (name, exc)) from None


def _number(text: Optional[str]) -> Optional[float]:
    if text is None:
        return None
    try:
        value = float(text.replace(",", ""))
    except ValueError:
        return None
    return value if value == value and abs(value) < 1e12 else None


def _timestamp(text: Optional[str]) -> Optional[datetime.datetime]:
    if not text:
        return None
    text = text.strip()
    if text.endswith("Z"):
        text = text[:-1] + "+00:00"
    try:
        moment = datetime.datetime.fromisoformat(text)
    except ValueError:
        return None
    if moment.tzinfo is not None:  # reports keep one clock's wall time
        moment = moment.astimezone(datetime.timezone.utc).replace(tzinfo=None)
    return moment


def _suites(element: Any, depth: int = 0) -> List[Any]:
    """The <testsuite> elements that hold testcases, in document order."""
    if depth > MAX_DEPTH:
        raise JUnitError("test suites nested more than %d deep" % MAX_DEPTH)
    found = []
    if element.tag == "testsuite" and element.find("testcase") is not None:
        found.append(element)
    for child in element:
        if child.tag in ("testsuite", "testsuites"):
            found.extend(_suites(child, depth + 1))
    return found


def _first_line(text: str) -> str:
    text = text.strip()
    return text.splitlines()[0] if text else ""


def build(root: Any, name: str, default_start: datetime.datetime) -> Any:
    """A stopped Campaign of the JUnit document whose root element is `root`."""
    from korvo import results
    from korvo.reporter import campaign

    if not is_junit(root.tag):
        raise JUnitError("%s is XML but not JUnit (its root is <%s>)" % (name, root.tag))
    suites = _suites(root)
    job_start = min((t for t in (_timestamp(s.get("timestamp")) for s in suites) if t),
                    default=_timestamp(root.get("timestamp")) or default_start)
    job = campaign.Campaign(id=root.get("name") or name, seq_num=0)
    job.start(host=next((s.get("hostname") for s in suites if s.get("hostname")), None))
    job.starttime = job_start
    latest = job_start
    for ordinal, suite in enumerate(suites, 1):
        task = job.add_task(id=suite.get("name") or "suite%d" % ordinal, seq_num=ordinal)
        task.start(testscript=suite.get("file") or suite.get("name") or None)
        suite_start = _timestamp(suite.get("timestamp")) or latest
        task.starttime = now = suite_start
        for seq, case in enumerate(suite.findall("testcase"), 1):
            # A suite may gather testcases of several classes or modules (pytest's one suite
            # does): their class name keeps equal names apart.
            case_name = case.get("name") or "testcase%d" % seq
            classname = case.get("classname")
            if classname and classname != suite.get("name"):
                case_name = "%s.%s" % (classname, case_name)
            section = task.add_section(id=case_name, seq_num=seq, type="Testcase")
            section.start(description=case.get("classname") or None)
            result, reason = results.Passed, ""
            for tag, result_name in _OUTCOMES:
                found = case.find(tag)
                if found is not None:
                    result = getattr(results, result_name)
                    reason = found.get("message") or _first_line(found.text or "") or found.get("type") or ""
                    detail = (found.text or "").strip()
                    if detail and detail != reason:
                        section.update_extra({tag: detail})
                    break
            for stream in ("system-out", "system-err"):
                text = case.findtext(stream)
                if text and text.strip():
                    section.update_extra({stream: text})
            section.stop(result=result.clone(reason=reason) if reason else result)
            took = _number(case.get("time")) or 0.0
            section.starttime = now
            now = now + datetime.timedelta(seconds=max(0.0, took))
            section.stoptime = now
            section.runtime = took
        task.stop()
        took_suite = _number(suite.get("time"))
        task.starttime = suite_start
        task.stoptime = suite_start + datetime.timedelta(seconds=took_suite) if took_suite is not None else now
        task.runtime = (task.stoptime - task.starttime).total_seconds()
        latest = max(latest, task.stoptime)
    job.stop(num_tasks=len(suites))
    job.starttime, job.stoptime = job_start, latest
    job.runtime = (latest - job_start).total_seconds()
    return job
