"""write_yaml / write_json against dump_* plus writing the string, on one tree.

    python bench/write_files.py --tasks 1000      # the 1M-node demo tree (run under
                                                  # flock /work/locks/big.lock: ~3 GB)

For each format, side by side in this one process: the time of `write_*(path)` and of
`dump_*()` + writing the string through a text file, and the extra peak memory of each
(VmHWM, reset through /proc/self/clear_refs before each run, minus the RSS before it).
Then the Ctrl-C latency: another process sends SIGINT a moment into each of dump_yaml,
dump_json, write_yaml and write_json, and the time from the signal to the
KeyboardInterrupt is printed.
"""

import argparse
import os
import subprocess
import sys
import tempfile
import time

from korvo.reporter.demo import Plan, build


def status_kib(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise KeyError(field)


def measured(run):
    """(seconds, extra peak MiB) of run()."""
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")  # resets VmHWM to the current RSS
    before = status_kib("VmRSS")
    start = time.perf_counter()
    run()
    seconds = time.perf_counter() - start
    return seconds, (status_kib("VmHWM") - before) / 1024


def interrupt_latency(call, stamp):
    """Seconds from SIGINT (sent by another process 0.3 s into `call`) to KeyboardInterrupt."""
    sender = subprocess.Popen(
        [sys.executable, "-c",
         "import os, signal, sys, time; time.sleep(0.3); t = time.monotonic(); "
         "os.kill(int(sys.argv[1]), signal.SIGINT); open(sys.argv[2], 'w').write(repr(t))",
         str(os.getpid()), stamp])
    try:
        call()
        caught = None
    except KeyboardInterrupt:
        caught = time.monotonic()
    while True:
        try:  # a call that finished first sees the signal here
            sender.wait()
            break
        except KeyboardInterrupt:
            pass
    with open(stamp) as f:
        sent = float(f.read())
    return None if caught is None else caught - sent


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--tasks", type=int, default=100)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        plan = Plan(tasks=args.tasks)
        print("building %d nodes ..." % plan.node_count(), flush=True)
        job = build(plan, tmp)[0]
        rows = []
        for fmt in ("yaml", "json"):
            path = os.path.join(tmp, "results." + fmt)
            dump = getattr(job, "dump_" + fmt)
            write = getattr(job, "write_" + fmt)

            def via_string():
                with open(path, "w") as f:
                    f.write(dump())

            old_t, old_m = measured(via_string)
            old_bytes = open(path, "rb").read()
            new_t, new_m = measured(lambda: write(path))
            same = open(path, "rb").read() == old_bytes
            del old_bytes
            rows.append((fmt, old_t, old_m, new_t, new_m, same))
        print("%-5s %28s %28s %10s %s" % ("", "dump_* + write (s, MiB)", "write_* (s, MiB)",
                                          "speed-up", "same bytes"))
        for fmt, old_t, old_m, new_t, new_m, same in rows:
            print("%-5s %18.2f %9.0f %18.2f %9.0f %9.2fx %s"
                  % (fmt, old_t, old_m, new_t, new_m, old_t / new_t, same))
        path = os.path.join(tmp, "interrupted")
        stamp = os.path.join(tmp, "sent")
        for name in ("dump_yaml", "dump_json", "write_yaml", "write_json"):
            method = getattr(job, name)
            latency = interrupt_latency(lambda: method(path) if name.startswith("write")
                                        else method(), stamp)
            left = os.listdir(tmp)
            print("Ctrl-C during %-10s: %s; %s" % (
                name, "not interrupted (finished first)" if latency is None
                else "KeyboardInterrupt %.1f ms after the signal" % (latency * 1000),
                "nothing written" if "interrupted" not in left else "FILE LEFT"))


if __name__ == "__main__":
    main()
