"""A synthetic job run, driven through the report model the way a harness drives it.

The tree: one Campaign with a job-level plugin, then per task a task-level
plugin (with one section), a CommonSetup with subsections and steps, testcases
with test sections and (partly nested) steps, and a CommonCleanup. Every node
is started before its children and stopped after them; each writes a line to
the task's real log file after its start and before its stop, so the log
positions the model records are real byte offsets. Results are given only to
the leaves; everything above gets its result by the model's roll-up. Each
top-level section (testcase, common setup or cleanup) fails with probability
fail_rate, through one bad leaf drawn at random, so the job's success rate is
about 1 - fail_rate.

The loop is kept lean on purpose (it must drive 100,000 nodes in a couple of
seconds): unbuffered ``os.write`` on one descriptor per task, pre-bound
methods, two random draws per top-level section.
"""

import gc
import os
import random
import socket
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Callable, Optional, Tuple

from korvo import results
# Imported with the demo rather than on the first journaled build, so that the build
# phase the demo command times is the job's alone.
from korvo.reporter._types import AnyPath
from korvo.reporter.journal import attach

if TYPE_CHECKING:
    from korvo.reporter.campaign import Campaign, Task

# Results a failing leaf draws from, with the reasons a script would give; the repetitions
# are the weights.
_BAD = (
    (results.Failed, "expected 0 packets lost, saw 3\nping -c 10 rig-3: 70% received"),
    (results.Failed, "interface Gi0/1 is down, expected up"),
    (results.Failed, "response code 503, expected 200"),
    (results.Failed, "configuration differs from the golden copy in 2 lines"),
    (results.Errored, "ConnectionResetError: the device closed the session"),
    (results.Errored, "TimeoutError: no prompt after 30 s"),
    (results.Skipped, "needs a second rig"),
    (results.Skipped, "feature not licensed on this image"),
    (results.Blocked, "blocked by a failed common setup"),
    (results.Aborted, "aborted by the harness after 600 s"),
)

# Steps come in groups: a head step at the section level whose next
# GROUP - 1 steps nest inside it (so the export meets nested steps).
GROUP = 3


@dataclass(frozen=True)
class Plan:
    """Shape of the demo job; the defaults make a tree of about 10,000 nodes."""

    tasks: int = 10
    testcases: int = 20
    sections: int = 5      # test sections per testcase, subsections per common section
    steps: int = 8         # steps per test section / subsection
    fail_rate: float = 0.1
    seed: int = 1
    # In a series of jobs (demo --series): this job's place (0, 1, ...) and the seed that
    # gives each testcase the same character in every job of the series.
    series_job: Optional[int] = None
    series_seed: int = 1

    def node_count(self) -> int:
        """Nodes the plan builds: campaign, job plugin and per task the rest."""
        block = 1 + self.sections * (1 + self.steps)      # one testcase or common section
        per_task = 1 + 2 + (self.testcases + 2) * block    # task, plugin + its section, blocks
        return 2 + self.tasks * per_task


class _Builder:
    """Builds one campaign; `tick(nodes_done)` is called after each top-level section."""

    def __init__(self, plan: Plan, outdir: str, tick: Optional[Callable[[int], object]] = None,
                 freeze_finished: bool = False) -> None:
        self.plan = plan
        self.freeze_finished = freeze_finished
        self.outdir = outdir
        self.tick = tick
        self.nodes = 0
        rng = random.Random(plan.seed)
        self._random = rng.random
        self._fail_rate = plan.fail_rate

    def _series_outcome(self, key: str, leaves: int) -> Tuple[Any, int]:
        """The outcome of the section `key` in job `series_job` of a series. Each section
        keeps one character across the series: most pass, some fail from some job on and
        go on failing, a few flip from job to job, and now and then a new failure appears."""
        plan = self.plan
        character = random.Random("%d:%s" % (plan.series_seed, key)).random()
        draw = self._random()
        rate = self._fail_rate
        if character < rate * 0.3:
            bad = (plan.series_job or 0) >= int(character * 1e6) % 5   # fails from job 0..4 on
        elif character < rate * 0.5:
            bad = draw < 0.4                                      # flaky
        else:
            bad = draw < rate * 0.05                              # a new failure, rarely
        if not bad:
            return results.Passed, -1
        result, reason = _BAD[int(character * 1e9) % len(_BAD)]
        return result.clone(reason=reason), int(character * 1e7) % max(1, leaves)

    def _outcome(self, leaves: int) -> Tuple[Any, int]:
        """(bad result, index of the leaf that carries it) for one top-level section.

        A top-level section fails with probability fail_rate; then one of its
        leaves, drawn at random, carries the bad result and the roll-up brings
        it up. Otherwise the index is -1 and every leaf passes.
        """
        r = self._random()
        fail_rate = self._fail_rate
        if r >= fail_rate:
            return results.Passed, -1
        bad, reason = _BAD[int(r / fail_rate * len(_BAD))]
        return bad.clone(reason=reason), int(self._random() * leaves)

    def run(self, cli: str = "python -m korvo.reporter demo", journal: Optional[AnyPath] = None,
            durability: str = "flush") -> "Campaign":
        from korvo.reporter.campaign import Campaign

        campaign = Campaign(id="demo-job", seq_num=0)
        if journal is not None:
            with attach(campaign, journal, durability=durability):
                return self._job(campaign, cli)
        return self._job(campaign, cli)

    def _job(self, campaign: "Campaign", cli: str) -> "Campaign":
        plan = self.plan
        campaign.start(
            cli=cli,
            jobfile="/opt/korvo/jobs/demo_job.py",
            korvopath="/opt/korvo",
            korvoversion="3.0",
            host=socket.gethostname(),
            submitter=_user(),
            archivefile=os.path.join(self.outdir, "demo-job.zip"),
            testbed="demo-bed",
            release="1.0.0",
            image="demo-image-1.0.0",
        )
        # Declared up front, as a harness that has read its job file does, so a follower of
        # the journal knows how far along the job is; stop() states it again.
        campaign.totaltasks = plan.tasks
        self.nodes = 1

        job_plugin = campaign.add_plugin(id="environment_check", seq_num=0)
        job_plugin.start(description="checks the testbed before the job")
        job_plugin.stop()
        self.nodes += 1

        for index in range(plan.tasks):
            self._task(campaign, index)
            if self.freeze_finished:
                # A finished task never changes again; frozen, it is no longer walked by
                # every full collection of the growing heap.
                gc.freeze()
        campaign.stop(num_tasks=plan.tasks)
        return campaign

    def _task(self, campaign: "Campaign", index: int) -> None:
        plan = self.plan
        tid = "task%03d" % (index + 1)
        logfile = os.path.join(self.outdir, "TaskLog." + tid)
        fd = os.open(logfile, os.O_WRONLY | os.O_CREAT | os.O_TRUNC | os.O_APPEND, 0o644)
        try:
            write = os.write
            task = campaign.add_task(id=tid, seq_num=index + 1)
            task.start(
                logfile=logfile,
                testscript="/opt/korvo/scripts/demo_%03d.py" % (index + 1),
                description="Demo script %d" % (index + 1),
                parameters={"index": index + 1, "testbed": "demo-bed"},
            )
            write(fd, b"== task %s started\n" % tid.encode())

            plugin = task.add_plugin(id="log_collector", seq_num=0)
            plugin.start(logfile=logfile)
            write(fd, b"== plugin log_collector started\n")
            check = plugin.add_section(id="collect", seq_num=1)
            check.start(logfile=logfile)
            write(fd, b"collecting logs\n")
            check.stop(result=results.Passed)
            plugin.stop()
            self.nodes += 2

            self._block(task, fd, logfile, "common_setup", 1, "CommonSetup", "Subsection", None)
            for tc in range(plan.testcases):
                tc_id = "tc%03d" % (tc + 1)
                self._block(task, fd, logfile, tc_id, tc + 2, "Testcase", "TestSection", tid)
            self._block(task, fd, logfile, "common_cleanup", plan.testcases + 2,
                        "CommonCleanup", "Subsection", None)

            write(fd, b"== task %s done\n" % tid.encode())
            task.stop()
            self.nodes += 1
        finally:
            os.close(fd)

    def _block(self, task: "Task", fd: int, logfile: str, block_id: str, seq: int,
               block_type: str, child_type: str, tid: Optional[str]) -> None:
        """A CommonSetup/CommonCleanup or Testcase with its sections and steps."""
        write = os.write
        steps = self.plan.steps
        sections = self.plan.sections
        group = GROUP
        passed = results.Passed
        # heads with nested steps after them get their result by roll-up, not as leaves
        heads = len(range(0, steps - 1, group))
        leaves = sections * (steps - heads) or sections or 1
        if self.plan.series_job is None:
            bad, victim = self._outcome(leaves)
        else:
            bad, victim = self._series_outcome("%s/%s" % (task.id, block_id), leaves)
        leaf = 0

        block = task.add_section(id=block_id, seq_num=seq, type=block_type)
        if tid is None:
            block.start(logfile=logfile)
        else:
            block.start(logfile=logfile, description="Checks %s of %s" % (block_id, tid),
                        xref={"file": "demo_%s.py" % tid[4:], "line": 10 * seq})
        write(fd, b"+ %s\n" % block_id.encode())
        for s in range(sections):
            sect_id = "section%d" % (s + 1)
            sect = block.add_section(id=sect_id, seq_num=s + 1, type=child_type)
            sect.start(logfile=logfile)
            write(fd, b"  + %s.%s\n" % (block_id.encode(), sect_id.encode()))
            # a head step whose nested steps are still running (set whenever k % group)
            open_head: Any = None
            for k in range(steps):
                if k % group:
                    step = open_head.add_section(id="step%d" % (k + 1), seq_num=k + 1,
                                                 type="Step")
                else:
                    if open_head is not None:
                        open_head.stop()
                        open_head = None
                    step = sect.add_section(id="step%d" % (k + 1), seq_num=k + 1, type="Step")
                step.start(logfile=logfile)
                write(fd, b"    step %d\n" % (k + 1))
                if k % group == 0 and k + 1 < steps:
                    open_head = step  # stopped after its nested steps, result rolled up
                else:
                    step.stop(result=bad if leaf == victim else passed)
                    leaf += 1
            if open_head is not None:
                open_head.stop()
            if steps == 0:
                sect.stop(result=bad if leaf == victim else passed)
                leaf += 1
            else:
                write(fd, b"  - %s\n" % sect_id.encode())
                sect.stop()
        write(fd, b"- %s\n" % block_id.encode())
        if sections == 0:
            block.stop(result=bad if victim == 0 else passed)
        else:
            block.stop()
        self.nodes += 1 + sections * (1 + steps)
        if self.tick is not None:
            self.tick(self.nodes)


def _user() -> str:
    try:
        import getpass

        return getpass.getuser()
    except Exception:  # no passwd entry in some containers
        return "demo"


def build(plan: Plan, outdir: str, tick: Optional[Callable[[int], object]] = None,
          cli: str = "python -m korvo.reporter demo", journal: Optional[AnyPath] = None,
          durability: str = "flush", freeze_finished: bool = False) -> Tuple["Campaign", int]:
    """Drives a whole demo job into a Campaign; log files go to `outdir`. With `journal`
    (a path) the job is recorded there as it runs (see korvo.reporter.journal).

    With `freeze_finished`, each finished task is moved out of the cyclic collector's
    view with gc.freeze(). That is process-wide (it freezes everything tracked at the
    time) and lasts until the caller's gc.unfreeze(): it is for a process that owns
    its collector, as the demo command does.

    Returns (campaign, number of nodes built).
    """
    builder = _Builder(plan, outdir, tick, freeze_finished)
    campaign = builder.run(cli=cli, journal=journal, durability=durability)
    return campaign, builder.nodes
