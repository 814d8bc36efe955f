"""Legacy XML export on a large job: where the time of generate_xml goes.

A job of 200 tasks x 5 testcases x 10 test sections x 4 steps (about 51,000
report nodes) is exported once; then its stages are timed on their own:

- the mapping onto the stand-in legacy library, and the same mapping onto a
  minimal legacy library whose records are bare objects, the difference
  being the stand-in's own cost of making and storing its records;
- the stand-in's generate_dom() of the details document;
- pretty-printing of the details document, the native printer and the
  element tree's tostring + DOM parse + toprettyxml, side by side.

Run: python bench/xml_export.py [--tasks N]
"""

import argparse
import gc
import tempfile
import time
import xml.etree.ElementTree as ET
from xml.dom import minidom

from korvo.kyreport.campaign import Campaign as LegacyCampaign
from korvo.reporter import scribe as scribe_module
from korvo.reporter.campaign import Campaign
from korvo.results import Failed, Passed


def build(tasks):
    root = Campaign(id="bench-job", seq_num=0)
    root.start(host="lab", submitter="bench", korvopath="/opt/korvo")
    for t in range(tasks):
        task = root.add_task(id="task%d" % t, seq_num=t)
        task.start(testscript="/scripts/s%d.py" % t, parameters={"n": t})
        for c in range(5):
            tc = task.add_section(id="tc%d" % c, seq_num=c, type="Testcase")
            tc.start()
            for s in range(10):
                sec = tc.add_section(id="sec%d" % s, seq_num=s, type="TestSection")
                sec.start(description="section %d" % s)
                for p in range(4):
                    step = sec.add_section(id="step%d" % p, seq_num=p, type="Step")
                    step.start(description="step \x1b[1m%d\x1b[0m" % p)
                    step.stop(result=Failed if (t + c + s + p) % 97 == 0 else Passed,
                              index=p)
                sec.stop()
            tc.stop()
        task.stop()
    root.stop(num_tasks=tasks)
    return root


class Bare:
    """A legacy record that only stores what it is given."""

    def __init__(self, *args):
        self.extra = {}
        self.attrs = {}
        self.hosts = []

    def __getattr__(self, name):
        if name.startswith("__"):
            raise AttributeError(name)
        value = Bare()
        object.__setattr__(self, name, value)
        return value

    def __call__(self, *args, **kwargs):
        return Bare()

    def update(self, *args, **kwargs):
        pass


def timed(fn, repeat=1):
    best = None
    for _ in range(repeat):
        gc.collect()
        start = time.perf_counter()
        result = fn()
        elapsed = time.perf_counter() - start
        best = elapsed if best is None else min(best, elapsed)
    return best, result


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0],
                                     epilog="example: python bench/xml_export.py --tasks 50")
    parser.add_argument("--tasks", type=int, default=200,
                        help="test scripts in the job, about 255 nodes each (default 200)")
    tasks = parser.parse_args().tasks
    if tasks < 1:
        parser.error("--tasks must be at least 1")
    t_build, root = timed(lambda: build(tasks))
    nodes = tasks * (1 + 5 * (1 + 10 * (1 + 4))) + 1
    print("job: %d report nodes, built in %.2f s" % (nodes, t_build))

    with tempfile.TemporaryDirectory() as logsdir:
        sc = scribe_module.Scribe(logsdir, root)
        t_total, _ = timed(lambda: sc.generate_xml(None, None))

        t_map, _ = timed(lambda: sc._handle_campaign(LegacyCampaign(), root) and None)
        original = scribe_module.TestScript
        scribe_module.TestScript = Bare
        try:
            t_map_bare, _ = timed(lambda: sc._handle_campaign(Bare(), root) and None)
        finally:
            scribe_module.TestScript = original
        t_dom, details_root = timed(sc.kyreport.generate_dom)

        t_native, native = timed(lambda: scribe_module._pretty_xml(details_root))
        t_library, library = timed(lambda: minidom.parseString(
            ET.tostring(details_root, encoding="utf-8")).toprettyxml(indent="  "))

    legacy = (t_map - t_map_bare) + t_dom
    printing = t_native
    ours = t_total - legacy - printing
    print("generate_xml total            %8.3f s" % t_total)
    print("  legacy stand-in             %8.3f s  (%4.1f%%)  records %.3f s + generate_dom %.3f s"
          % (legacy, 100 * legacy / t_total, t_map - t_map_bare, t_dom))
    print("  pretty-printing             %8.3f s  (%4.1f%%)  %s"
          % (printing, 100 * printing / t_total, "native"))
    print("  ours: mapping and driver    %8.3f s  (%4.1f%%)  mapping alone onto bare records %.3f s"
          % (ours, 100 * ours / t_total, t_map_bare))
    print("pretty-printing the details document (%d bytes), side by side:"
          % len(library.encode("utf-8")))
    print("  tostring + minidom          %8.3f s" % t_library)
    same = native == library
    print("  native                      %8.3f s   ratio %.1fx, output %s"
          % (t_native, t_library / t_native, "identical" if same else "DIFFERENT"))

if __name__ == "__main__":
    main()
