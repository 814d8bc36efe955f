"""A demo job that writes its journal at a steady pace, run as a child process by the watch
tests and bench/watch.py:

    python paced_job.py OUTDIR JOURNAL NODES_PER_MINUTE TASKS TESTCASES [FAIL_RATE [DURABILITY]]

It prints "started" once the journal holds the job's first record.
"""

import os
import sys
import time

from korvo.reporter.demo import Plan, build


def main(argv):
    outdir, journal, rate, tasks, testcases = argv[:5]
    fail_rate = float(argv[5]) if len(argv) > 5 else 0.3
    durability = argv[6] if len(argv) > 6 else "flush"
    per_second = float(rate) / 60.0
    plan = Plan(tasks=int(tasks), testcases=int(testcases), sections=2, steps=3,
                fail_rate=fail_rate, seed=3)
    begun = []

    def tick(nodes):
        if not begun:
            begun.append(time.monotonic())
            print("started", flush=True)
        delay = begun[0] + nodes / per_second - time.monotonic()
        if delay > 0:
            time.sleep(delay)

    build(plan, outdir, tick=tick, journal=journal, durability=durability)


if __name__ == "__main__":
    main(sys.argv[1:])
    os._exit(0)
