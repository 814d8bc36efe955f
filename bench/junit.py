"""JUnit XML of a demo job: the native writer against the same document built in Python.

The Python side walks the same tree with getattr, builds an xml.etree tree (failures,
errors, skips with their failing steps, log slices read from the task logs) and
serialises it with ElementTree.tostring: what a plugin written in Python would do.
Measured side by side in one run; the printed ratio is Python time / native time.

    python bench/junit.py                  # demo defaults x 10 tasks: about 100,000 nodes
    python bench/junit.py --tasks 10       # about 10,000 nodes
"""

import argparse
import os
import tempfile
import time

import xml.etree.ElementTree as ET  # noqa: E402

from korvo.reporter.campaign import Plugin
from korvo.reporter.demo import Plan, build
from korvo.reporter.junit import to_junit

SUCCESS = ("passed", "passx")
CAP = 64 * 1024


def python_junit(root, logs_dir):
    top = ET.Element("testsuites", name=str(root.id))
    totals = dict(tests=0, failures=0, errors=0, skipped=0)

    def culprits(node, prefix, found):
        below = False
        for child in node.sections:
            path = "%s.%s" % (prefix, child.id) if prefix else str(child.id)
            if culprits(child, path, found):
                below = True
            elif child.result is not None and str(child.result).lower() not in SUCCESS:
                found.append("%s %s" % (path, child.result))
                below = True
        return below

    def log_slice(node):
        logs = getattr(node, "logs", None) or {}
        if logs.get("size", 0) <= 0:
            return None
        with open(os.path.join(logs_dir, logs["file"]), "rb") as f:
            f.seek(logs["begin"])
            return f.read(min(logs["size"], CAP)).decode("utf-8", "backslashreplace")

    def case(suite, counts, classname, node):
        name = str(node.result).lower() if node.result is not None else None
        el = ET.SubElement(suite, "testcase", classname=classname, name=str(node.id),
                           time="%.3f" % (node.runtime or 0))
        counts["tests"] += 1
        if name not in SUCCESS:
            kind = {"failed": "failure", "skipped": "skipped", None: "skipped"}.get(name, "error")
            counts[{"failure": "failures", "error": "errors"}.get(kind, "skipped")] += 1
            found = []
            culprits(node, "", found)
            lines = found or ["%s %s" % (node.id, node.result)]
            ET.SubElement(el, kind, type=str(node.result), message=lines[0]).text = "\n".join(lines)
        text = log_slice(node)
        if text:
            ET.SubElement(el, "system-out").text = text

    for task in root.tasks:
        if isinstance(task, Plugin):
            continue
        suite = ET.SubElement(top, "testsuite", name=str(task.id), hostname=str(root.host),
                              timestamp=task.starttime.isoformat())
        counts = dict(tests=0, failures=0, errors=0, skipped=0)
        classname = os.path.splitext(os.path.basename(task.testscript))[0]
        for node in task.sections:
            testcase = getattr(node, "type", None) == "Testcase"
            result = node.result
            if testcase or (result is not None and str(result).lower() not in SUCCESS):
                case(suite, counts, classname, node)
        for key, value in counts.items():
            suite.set(key, str(value))
            totals[key] += value
    for key, value in totals.items():
        top.set(key, str(value))
    return ET.tostring(top, encoding="unicode")


def best(fn, repeat):
    times = []
    for _ in range(repeat):
        started = time.perf_counter()
        out = fn()
        times.append(time.perf_counter() - started)
    return min(times), out


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--tasks", type=int, default=100)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as outdir:
        plan = Plan(tasks=args.tasks, fail_rate=0.3)
        root, nodes = build(plan, outdir)
        native, text = best(lambda: to_junit(root, outdir), args.repeat)
        python, reference = best(lambda: python_junit(root, outdir), args.repeat)
        print("JUnit XML of a demo job of %s nodes (%s testcases, %.1f MB of XML)"
              % (format(nodes, ","), format(text.count("<testcase "), ","), len(text) / 1e6))
        print("  native to_junit            %8.1f ms" % (native * 1e3))
        print("  Python + ElementTree       %8.1f ms  (%.1fx)" % (python * 1e3, python / native))
        assert reference.count("<testcase ") == text.count("<testcase ")


if __name__ == "__main__":
    main()
