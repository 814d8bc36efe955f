"""Native pretty-printing of a large details-like element tree against the library round
trip (serialise to UTF-8, parse, pretty-print), measured side by side in one run."""

import argparse
import time
import xml.etree.ElementTree as ET
from xml.dom import minidom

from korvo.reporter import scribe


def build_tree(nodes):
    root = ET.Element("testResults", {"version": "1.0", "jobid": "bench"})
    made = 1
    script = None
    while made < nodes:
        if made % 500 == 1:
            script = ET.SubElement(root, "testScript", {"name": "script%d" % made, "path": "/tmp/a&b.py"})
            made += 1
        case = ET.SubElement(script, "testCase", {"name": "tc%d" % made, "result": "passed", "seq": str(made)})
        case.text = "log line with <markup> & \"quotes\"\n\tsecond line \u00e9\u20ac"
        step = ET.SubElement(case, "step", {"name": "step %d" % made, "start": "2024-01-01T00:00:00"})
        step.text = "ok"
        step.tail = "\n"
        ET.SubElement(case, "empty")
        made += 3
    return root


def library_path(root):
    return minidom.parseString(ET.tostring(root, encoding="utf-8")).toprettyxml(indent="  ")


def best_of(func, arg, repeat):
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        result = func(arg)
        best = min(best, time.perf_counter() - start)
    return best, result


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--nodes", type=int, default=50_000)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()

    root = build_tree(args.nodes)
    count = sum(1 for _ in root.iter())
    native_time, native = best_of(scribe._pretty_xml, root, args.repeat)
    library_time, library = best_of(library_path, root, args.repeat)
    assert native == library, "outputs differ"
    print("elements: %d, document: %d characters" % (count, len(native)))
    print("%-28s %10s" % ("path", "best (ms)"))
    print("%-28s %10.1f" % ("native pretty-printer", native_time * 1e3))
    print("%-28s %10.1f" % ("tostring + minidom", library_time * 1e3))
    print("speed-up: %.1fx" % (library_time / native_time))


if __name__ == "__main__":
    main()
