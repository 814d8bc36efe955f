"""Cost of `watch` while it follows a running job, and how soon a failure shows.

    python bench/watch.py                  # 30 s of a job writing 10,000 nodes a minute
    python bench/watch.py --seconds 60

Prints:

- CPU time (user + system) `watch` spends while it follows a job that writes --rate nodes a
  minute (default 10,000) in flush mode, as a share of one core over the job's wall time,
  in a CI log (stdout a pipe) and on a terminal (a pseudo-terminal, the rich display);
  startup (imports) is left out: the count begins once `watch` holds the journal open.
  Budget: 5% of one core.
- latency from a failing node's stop returning in the job to its FAILED line reaching the
  reader of `watch`'s output, over --failures failures spread through the job (median and
  worst; those recorded before `watch` held the journal are left out). Budget: 0.5 s.
"""

import argparse
import os
import pty
import select
import statistics
import subprocess
import sys
import tempfile
import time

_here = os.path.dirname(os.path.abspath(__file__))
sys.path[:] = [p for p in sys.path if os.path.abspath(p or os.curdir) != _here]

# The job: flat tasks of testcases of one step each, paced to `rate` nodes a minute; every
# `every`-th step fails with a reason naming its number, and the moment its stop returned
# is printed.
JOB = r"""
import sys, time
from korvo import results
from korvo.reporter.campaign import Campaign
from korvo.reporter.journal import attach

journal, rate, seconds, every = sys.argv[1], float(sys.argv[2]), float(sys.argv[3]), int(sys.argv[4])
per_second = rate / 60.0
campaign = Campaign(id="bench-job", seq_num=0)
with attach(campaign, journal, durability="flush"):
    campaign.start(jobfile="bench_watch.py")
    print("started", flush=True)
    begun = time.monotonic()
    nodes = 1
    task_no = 0
    failures = 0
    while time.monotonic() - begun < seconds:
        task_no += 1
        task = campaign.add_task(id="task%04d" % task_no, seq_num=task_no)
        task.start()
        nodes += 1
        for tc in range(50):
            case = task.add_section(id="tc%03d" % tc, seq_num=tc, type="Testcase")
            case.start()
            step = case.add_section(id="step1", seq_num=1, type="Step")
            step.start()
            nodes += 2
            if nodes // 2 % every == 0:
                failures += 1
                step.stop(result=results.Failed.clone(reason="bench failure %d" % failures))
                print("failed %d %.6f" % (failures, time.time()), flush=True)
            else:
                step.stop(result=results.Passed)
            case.stop()
            delay = begun + nodes / per_second - time.monotonic()
            if delay > 0:
                time.sleep(delay)
        task.stop()
    campaign.stop()
"""


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def holds(pid, path):
    fds = "/proc/%d/fd" % pid
    try:
        return any(os.readlink(os.path.join(fds, fd)) == path for fd in os.listdir(fds))
    except OSError:
        return False


def run_once(args, tmp, on_terminal):
    journal = os.path.join(tmp, "job-%s.jsonl" % ("tty" if on_terminal else "log"))
    job = subprocess.Popen([sys.executable, "-c", JOB, journal, str(args.rate), str(args.seconds),
                            str(max(1, int(args.rate / 60 * args.seconds / 2 / args.failures)))],
                           stdout=subprocess.PIPE, text=True)
    assert job.stdout.readline().strip() == "started"
    command = [sys.executable, "-m", "korvo.reporter", "watch", journal]
    if on_terminal:
        pid, fd = pty.fork()
        if pid == 0:
            os.execvp(command[0], command)
    else:
        read, write = os.pipe()
        watch = subprocess.Popen(command, stdout=write, stderr=subprocess.DEVNULL)
        os.close(write)
        pid, fd = watch.pid, read
    while not holds(pid, journal):
        time.sleep(0.01)
    cpu_start, wall_start, following = cpu_seconds(pid), time.monotonic(), time.time()
    seen = {}
    text = b""
    cpu_end = None
    while True:
        ready, _, _ = select.select([fd], [], [], 0.05)
        if job.poll() is not None and cpu_end is None:
            cpu_end, wall_end = cpu_seconds(pid), time.monotonic()
        if not ready:
            continue
        try:
            chunk = os.read(fd, 65536)
        except OSError:
            break
        if not chunk:
            break
        now = time.time()
        text += chunk
        while b"bench failure " in text:
            at = text.index(b"bench failure ") + len(b"bench failure ")
            end = at
            while end < len(text) and text[end:end + 1].isdigit():
                end += 1
            if end == len(text):
                break
            seen.setdefault(int(text[at:end]), now)
            text = text[end:]
    if cpu_end is None:
        cpu_end, wall_end = cpu_seconds(pid), time.monotonic()
    if on_terminal:
        os.waitpid(pid, 0)
    else:
        watch.wait()
    recorded = {}
    for line in job.stdout.read().splitlines():
        if line.startswith("failed "):
            _, number, moment = line.split()
            recorded[int(number)] = float(moment)
    job.wait()
    # failures from before watch was following (its startup) are read as backlog: left out
    recorded = {n: t for n, t in recorded.items() if t > following}
    latencies = [seen[n] - t for n, t in recorded.items() if n in seen]
    return (cpu_end - cpu_start) / (wall_end - wall_start), latencies, len(recorded)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rate", type=float, default=10000, help="nodes a minute")
    parser.add_argument("--seconds", type=float, default=30)
    parser.add_argument("--failures", type=int, default=20)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory(prefix="bench-watch-") as tmp:
        for on_terminal in (False, True):
            share, latencies, failures = run_once(args, tmp, on_terminal)
            where = "terminal (rich)" if on_terminal else "CI log"
            print("%-16s %6.2f%% of one core following %s nodes/min for %g s (budget 5%%)"
                  % (where, 100 * share, format(int(args.rate), ","), args.seconds))
            if latencies:
                print("%-16s failure shown after: median %.3f s, worst %.3f s over %d of %d "
                      "failures (budget 0.5 s)" % ("", statistics.median(latencies),
                                                   max(latencies), len(latencies), failures))


if __name__ == "__main__":
    main()
