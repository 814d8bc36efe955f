"""Build-cycle benchmark: the per-node cost of driving the report model.

Builds a job tree of N sections the way a harness does (add_section, start with
a log file, update with a few extra keys, stop with a result) and reports the
time per node and per call. For scale it runs, side by side, a minimal
pure-Python node doing the same bookkeeping (attribute stores, an extra-dict
merge, a log size query, a result hand-over), so the printed ratio shows how
close the native calls come to the floor of any Python-visible implementation.
"""

import argparse
import os
import tempfile
import time

from korvo.reporter import campaign
from korvo.results import Failed, Passed


class FloorNode:
    """The least a Python node must do for the same cycle."""

    def __init__(self, id, parent=None):
        self.id = id
        self.name = id
        self._parent = parent
        self.sections = []
        self.extra = {}
        self.logs = {}
        self.result = None

    def add_section(self, **kw):
        child = FloorNode(kw["id"], self)
        self.sections.append(child)
        return child

    def start(self, logfile=None, **kw):
        self.logfile = logfile
        self.logs["file"] = os.path.basename(logfile)
        self.logs["begin"] = os.stat(logfile).st_size
        self.extra.update(kw)

    def update(self, data):
        self.extra.update(data)

    def stop(self, result=None):
        self.result = result
        self.logs["size"] = os.stat(self.logfile).st_size - self.logs["begin"]
        if self._parent is not None and self._parent.result is None:
            self._parent.result = result


def drive(make_root, n_sections, logfile):
    root = make_root()
    per_testcase = 10
    t0 = time.perf_counter()
    for i in range(n_sections // per_testcase):
        tc = root.add_section(id="tc%d" % i, seq_num=i)
        tc.start(logfile=logfile)
        for j in range(per_testcase - 1):
            s = tc.add_section(id="s%d" % j, seq_num=j)
            s.start(logfile=logfile)
            s.update({"owner": "lab", "retries": j, "tags": {"k": j}})
            s.stop(result=Failed if j == 3 else Passed)
        tc.stop()
    return time.perf_counter() - t0


def native_root():
    job = campaign.Campaign(id="job", seq_num=0)
    task = job.add_task(id="t1", seq_num=1)
    task.start()
    return task


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sections", type=int, default=50_000)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        logfile = os.path.join(tmp, "TaskLog.t1")
        with open(logfile, "w") as f:
            f.write("x" * 120)
        native = min(drive(native_root, args.sections, logfile) for _ in range(args.repeat))
        floor = min(drive(lambda: FloorNode("t1"), args.sections, logfile)
                    for _ in range(args.repeat))
    n = args.sections
    calls = 4  # add_section, start, update, stop per node
    print("build cycle of %d sections (best of %d)" % (n, args.repeat))
    print("  native model : %8.3f s  %6.2f us/node  %6.2f us/call"
          % (native, native / n * 1e6, native / n / calls * 1e6))
    print("  python floor : %8.3f s  %6.2f us/node" % (floor, floor / n * 1e6))
    print("  ratio native/floor: %.2f" % (native / floor))


if __name__ == "__main__":
    main()
