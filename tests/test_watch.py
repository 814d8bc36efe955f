"""Following a running job from its journal: the native follower fed a growing file, `watch`
on a pseudo-terminal and in a CI log while a real job writes in a child process, a job killed
mid-way, and `html --follow` in a browser keeping the reader's place across its reloads."""

import fcntl
import os
import pty
import re
import signal
import struct
import subprocess
import sys
import termios
import time
import warnings

import pytest

from korvo.reporter import campaign as _campaign
from korvo.reporter.demo import Plan, build

PACED_JOB = os.path.join(os.path.dirname(__file__), "support", "paced_job.py")
ANSI = re.compile(r"\x1b\[[0-9;?]*[A-Za-z]|\r")



def _exit_code(status):
    """os.waitstatus_to_exitcode, which 3.8 lacks."""
    return -os.WTERMSIG(status) if os.WIFSIGNALED(status) else os.WEXITSTATUS(status)

def _journal(tmp_path, name="whole.jsonl", **plan):
    shape = dict(tasks=2, testcases=3, sections=2, steps=3, fail_rate=0.5, seed=4)
    shape.update(plan)
    path = tmp_path / name
    build(Plan(**shape), str(tmp_path), journal=str(path))
    return path


def _events(follower):
    return [(event, None if node is None else str(node.fullid)) for event, node in follower.poll()]


def _start_job(tmp_path, rate, tasks, testcases, fail_rate=0.4):
    journal = tmp_path / "job.jsonl"
    job = subprocess.Popen([sys.executable, PACED_JOB, str(tmp_path), str(journal), str(rate),
                            str(tasks), str(testcases), str(fail_rate)],
                           stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    assert job.stdout.readline().strip() == "started"
    return job, journal


def _watch(*args, **kw):
    return subprocess.Popen([sys.executable, "-m", "korvo.reporter", "watch"] + [str(a) for a in args],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, **kw)


def _until_following(process, journal, timeout=60):
    """Waits until `process` holds `journal` open (its startup is over)."""
    fds = "/proc/%d/fd" % process.pid
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        try:
            if any(os.readlink(os.path.join(fds, fd)) == str(journal) for fd in os.listdir(fds)):
                return
        except OSError:
            pass
        time.sleep(0.05)
    raise AssertionError("never opened %s" % journal)


# -- the native follower -------------------------------------------------------------------

def test_follower_fed_in_pieces_sees_what_one_read_sees(tmp_path):
    whole = _journal(tmp_path)
    data = whole.read_bytes()
    once = _events(_campaign._JournalFollower(str(whole)))
    growing = tmp_path / "growing.jsonl"
    growing.write_bytes(b"")
    follower = _campaign._JournalFollower(str(growing))
    pieces = []
    with open(growing, "ab", buffering=0) as out:
        assert follower.poll() == [] and follower.root is None  # the header is waited for
        for at in range(0, len(data), 613):  # cuts through headers, lines and UTF-8 alike
            out.write(data[at:at + 613])
            pieces += _events(follower)
            assert follower.bytes_read == at + len(data[at:at + 613])
    assert pieces == once
    assert [e for e, _ in once].count("added") == follower.nodes
    assert once[-1] == ("end", None) and follower.closed and follower.damage is None
    assert follower.open == []


def test_follower_waits_out_a_torn_line_and_takes_a_bad_last_line_for_damage_only_when_more_follows(tmp_path):
    data = _journal(tmp_path).read_bytes()
    lines = data.splitlines(keepends=True)
    path = tmp_path / "live.jsonl"
    path.write_bytes(b"".join(lines[:4]) + lines[4][:20])
    follower = _campaign._JournalFollower(str(path))
    first = follower.poll()
    assert first and follower.damage is None and follower.nodes == 1
    with open(path, "ab") as out:
        out.write(lines[4][20:])
    assert follower.poll() and follower.nodes == 2  # the torn line (a node), now whole

    # A last line whose checksum fails may still be the writer's unfinished business...
    bad = lines[5][:-4] + (b"0" if lines[5][-4:-3] != b"0" else b"1") + lines[5][-3:]
    with open(path, "ab") as out:
        out.write(bad)
    assert follower.poll() == [] and follower.damage is None
    assert follower.poll() == [] and follower.damage is None
    # ...until a line follows it: then it is damage, and nothing more is read.
    with open(path, "ab") as out:
        out.write(lines[6])
    assert follower.poll() == []
    number, offset, what = follower.damage
    assert (number, what) == (6, "checksum mismatch") and offset == len(b"".join(lines[:5]))
    with open(path, "ab") as out:
        out.write(b"".join(lines[7:]))
    assert follower.poll() == [] and not follower.closed


def test_follower_takes_a_journal_cut_short_for_damage(tmp_path):
    data = _journal(tmp_path).read_bytes()
    path = tmp_path / "cut.jsonl"
    path.write_bytes(data[:len(data) // 2])
    follower = _campaign._JournalFollower(str(path))
    assert follower.poll()
    read = follower.bytes_read
    with open(path, "ab") as out:
        out.write(data[len(data) // 2:])
    assert follower.poll() and follower.damage is None and follower.closed
    os.truncate(path, read)
    assert follower.poll() == []
    assert follower.damage[2] == "the journal was cut short while it was followed"


def test_follower_refuses_links_fifos_directories_and_other_files(tmp_path):
    journal = _journal(tmp_path)
    link = tmp_path / "link.jsonl"
    link.symlink_to(journal)
    with pytest.raises(ValueError, match="symbolic link, not a regular file"):
        _campaign._JournalFollower(str(link))
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    for path in (fifo, tmp_path):
        with pytest.raises(ValueError, match="not a regular file"):
            _campaign._JournalFollower(str(path))
    other = tmp_path / "other.jsonl"
    other.write_text('{"not":"a journal"}\n')
    with pytest.raises(ValueError, match="no valid header"):
        _campaign._JournalFollower(str(other))
    # the command says it in one line, exit 2
    for path in (link, fifo, other, tmp_path / "missing.jsonl"):
        done = subprocess.run([sys.executable, "-m", "korvo.reporter", "watch", str(path)],
                              capture_output=True, text=True, timeout=60)
        assert done.returncode == 2 and done.stderr.count("\n") == 1, done.stderr


def test_a_journal_that_never_gets_a_header_is_bad_input_in_one_line(tmp_path):
    path = tmp_path / "empty.jsonl"
    path.write_bytes(b"")
    with open(path, "ab", buffering=0) as out:  # the "job" holds it, so watch waits
        watch = _watch(path)
        _until_following(watch, path)
        out.write(b"x" * 5000)
        _, err = watch.communicate(timeout=60)
    assert watch.returncode == 2 and err.count("\n") == 1
    assert "no valid header line" in err and "Traceback" not in err


def test_hostile_journals_end_watch_with_one_line(tmp_path):
    from test_journal_hostile import ROOT, forge

    deep = "[" * 30000 + "1" + "]" * 30000
    path = forge(tmp_path / "deep.jsonl", ROOT, '["=",0,"extra",%s]' % deep, '["end"]')
    done = subprocess.run([sys.executable, "-m", "korvo.reporter", "watch", str(path)],
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 3 and "line 3" in done.stderr and "recursion" in done.stderr
    assert done.stderr.count("\n") == 1
    # shared values that would be written out without end: refused before the summary
    doubling = ['"a0":[1]'] + ['"a%d":[{"$r":%d},{"$r":%d}]' % (k, k, k) for k in range(1, 40)]
    path = forge(tmp_path / "doubling.jsonl", ROOT,
                 '["=",0,"extra",{%s}]' % ",".join(doubling), '["end"]')
    for command in (["watch", str(path)], ["html", "--follow", str(path), str(tmp_path / "p.html")]):
        done = subprocess.run([sys.executable, "-m", "korvo.reporter"] + command,
                              capture_output=True, text=True, timeout=120)
        assert done.returncode == 2 and "shared" in done.stderr, done.stderr
        assert done.stderr.count("\n") == 1
    assert not (tmp_path / "p.html").exists()


# -- watch ---------------------------------------------------------------------------------

def _read_pty(fd, pid, timeout):
    """Everything the child writes to the terminal until it exits; its exit status."""
    screen = b""
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        try:
            chunk = os.read(fd, 65536)
        except OSError:  # the child closed the terminal
            break
        if not chunk:
            break
        screen += chunk
    _, status = os.waitpid(pid, 0)
    return ANSI.sub("", screen.decode("utf-8", "replace")), _exit_code(status)


def test_watch_on_a_terminal_shows_the_job_live_then_its_summary(tmp_path):
    # an earlier job of the same series in a history store gives the ETA
    store = "sqlite:///%s" % (tmp_path / "history.db")
    earlier = _journal(tmp_path, "earlier.jsonl")
    subprocess.run([sys.executable, "-m", "korvo.reporter", "history", "add", "--db", store,
                    str(earlier)], check=True, capture_output=True, timeout=120)
    # slow enough that watch, started after it, still sees the job progress on a busy machine
    job, journal = _start_job(tmp_path, rate=1500, tasks=3, testcases=4)
    with warnings.catch_warnings():  # the child execs at once: no lock of a thread is taken
        warnings.simplefilter("ignore", DeprecationWarning)
        pid, fd = pty.fork()
    if pid == 0:  # the child: watch on the terminal
        os.execvp(sys.executable, [sys.executable, "-m", "korvo.reporter", "watch", str(journal),
                                   "--db", store])
    fcntl.ioctl(fd, termios.TIOCSWINSZ, struct.pack("HHHH", 40, 110, 0, 0))
    screen, code = _read_pty(fd, pid, timeout=120)
    os.close(fd)
    assert job.wait(timeout=60) == 0
    for label in ("job", "tasks done", "testcases done", "elapsed", "ETA", "running",
                  "results", "failures"):
        assert re.search(r"^%s\s+\S" % label, screen, re.M), (label, screen[-2000:])
    assert "demo-job" in screen and "tasks done      3 of 3" in screen
    assert re.search(r"^ETA\s+\d+:\d\d:\d\d \(from history\)", screen, re.M)
    # the progress went up while the job ran: several frames, the last with every testcase
    done = [int(n) for n in re.findall(r"^testcases done\s+(\d+)", screen, re.M)]
    assert len(set(done)) > 2 and done[-1] == 12
    failures = re.findall(r"^FAILED (task\d+/\S+) (\w+)(?:: (.*))?$", screen, re.M)
    assert failures and all(reason for _, _, reason in failures)
    summary = subprocess.run([sys.executable, "-m", "korvo.reporter", "summary", str(journal)],
                             capture_output=True, text=True, timeout=60)
    assert summary.stdout.replace("\n", "").replace(" ", "") in screen.replace("\n", "").replace(" ", "")
    assert code == summary.returncode == 1


def test_series_runtimes_are_those_of_the_complete_jobs_of_the_series(tmp_path):
    from korvo.reporter.history import open_store
    from korvo.reporter.history.queries import series_runtimes

    finished = _journal(tmp_path, "finished.jsonl")
    cut = tmp_path / "killed.jsonl"
    data = _journal(tmp_path, "other.jsonl", seed=9).read_bytes()
    cut.write_bytes(data[:len(data) // 2])
    store_url = "sqlite:///%s" % (tmp_path / "h.db")
    subprocess.run([sys.executable, "-m", "korvo.reporter", "history", "add", "--db", store_url,
                    str(finished), str(cut)], check=True, capture_output=True, timeout=120)
    from korvo.reporter.journal import recover

    with open_store(store_url) as store:
        runtimes = series_runtimes(store, "/opt/korvo/jobs/demo_job.py")
        assert runtimes == [pytest.approx(recover(str(finished)).runtime)]
        assert series_runtimes(store, "another series") == []


def test_watch_in_a_ci_log_prints_a_line_per_task_and_failure(tmp_path):
    job, journal = _start_job(tmp_path, rate=6000, tasks=3, testcases=3, fail_rate=0.5)
    watch = _watch(journal)
    out, err = watch.communicate(timeout=120)
    assert job.wait(timeout=60) == 0
    lines = out.splitlines()
    tasks = [l for l in lines if re.match(r"task \S+ finished: ", l)]
    assert [l.split()[1] for l in tasks] == ["task001", "task002", "task003"]
    # each with its counts, as the summary gives them
    assert all(re.fullmatch(r"task \S+ finished: (\w+ \d+)(, \w+ \d+)*", l) for l in tasks)
    failures = [l for l in lines if l.startswith("FAILED ")]
    # each failure is shown once, before its task's line
    assert len(failures) == len(set(l.split(":")[0] for l in failures)) > 0
    for failure in failures:
        task = failure.split()[1].split("/")[0]
        assert lines.index(failure) < lines.index(next(l for l in tasks if l.split()[1] == task))
    assert "\x1b" not in out and err == ""
    assert watch.returncode == 1  # some result is not a success, as summary says


def test_watch_of_a_killed_job_says_it_died_marks_unfinished_nodes_and_exits_1(tmp_path):
    job, journal = _start_job(tmp_path, rate=600, tasks=5, testcases=5)
    watch = _watch(journal)
    _until_following(watch, journal)
    job.send_signal(signal.SIGKILL)
    job.wait(timeout=30)
    out, err = watch.communicate(timeout=60)
    assert watch.returncode == 1, err
    assert "the job died: its journal stopped growing and no process holds it open" in out
    unfinished = re.findall(r"^unfinished: (\S+)$", out, re.M)
    # the job and the task it was in (the job sleeps between testcases)
    assert unfinished[0] == "demo-job" and re.fullmatch(r"task00\d", unfinished[1])
    # what it knows is what recovery makes of the same journal
    recovered = subprocess.run([sys.executable, "-m", "korvo.reporter", "summary", str(journal)],
                               capture_output=True, text=True, timeout=60)
    assert out.endswith(recovered.stdout) and recovered.returncode == 1
    assert "Traceback" not in err


def test_watch_timeout_ends_a_job_that_holds_its_journal_and_writes_nothing(tmp_path):
    data = _journal(tmp_path).read_bytes()
    path = tmp_path / "stuck.jsonl"
    path.write_bytes(data[:len(data) // 2])
    with open(path, "ab"):  # a writer that is alive and silent
        started = time.monotonic()
        watch = _watch(path, "--timeout", "1.5")
        out, err = watch.communicate(timeout=60)
        waited = time.monotonic() - started
    assert watch.returncode == 1, err
    assert "the job died: no record for 1.5 s (--timeout)" in out
    assert waited >= 1.5


def test_ctrl_c_leaves_watch_quietly(tmp_path):
    job, journal = _start_job(tmp_path, rate=600, tasks=3, testcases=3)
    # as from a terminal, whatever this process was started with
    watch = _watch(journal, preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
    _until_following(watch, journal)
    watch.send_signal(signal.SIGINT)
    out, err = watch.communicate(timeout=30)
    job.kill()
    job.wait(timeout=30)
    assert watch.returncode == 130 and err == ""


def test_html_follow_of_a_killed_job_writes_a_last_page_with_its_open_nodes_aborted(tmp_path):
    job, journal = _start_job(tmp_path, rate=600, tasks=5, testcases=5)
    page = tmp_path / "report.html"
    follow = subprocess.Popen([sys.executable, "-m", "korvo.reporter", "html", "--follow",
                               str(journal), str(page)], stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, text=True)
    _until_following(follow, journal)
    job.send_signal(signal.SIGKILL)
    job.wait(timeout=30)
    out, err = follow.communicate(timeout=60)
    assert follow.returncode == 1, err
    assert "the job died (its journal stopped growing" in out
    text = page.read_text()
    assert '{"live":false}' in text and "job ended before this node stopped" in text


# -- html --follow in a browser ------------------------------------------------------------

def test_html_follow_keeps_the_selection_and_filter_across_reloads(tmp_path):
    from test_html_browser import _browser, wait

    driver = _browser()
    job, journal = _start_job(tmp_path, rate=1200, tasks=3, testcases=4)
    page = tmp_path / "report.html"
    follow = subprocess.Popen([sys.executable, "-m", "korvo.reporter", "html", "--follow",
                               str(journal), str(page)], stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, text=True)
    try:
        deadline = time.monotonic() + 60
        while not page.exists() and time.monotonic() < deadline:
            time.sleep(0.1)
        driver.get(page.as_uri() + "#/task001")
        wait(driver, lambda: driver.execute_script("return document.body.dataset.ready") == "all")
        assert driver.execute_script("return document.body.dataset.live") == "true"
        box = driver.find_element("id", "search")
        box.send_keys("task001")
        wait(driver, lambda: "match" in driver.find_element("id", "match-count").text)
        count = driver.find_element("id", "match-count").text
        rows_before = driver.execute_script("return document.querySelectorAll('.row').length")
        driver.execute_script("window.__korvo_before_reload = true")
        # the page reloads itself with newer data
        wait(driver, lambda: driver.execute_script("return window.__korvo_before_reload") is None
             and driver.execute_script("return document.body.dataset.ready") == "all", timeout=30)
        assert driver.execute_script("return location.hash") == "#/task001"
        assert "task001" in driver.find_element("css selector", "#detail h3").text
        assert driver.find_element("id", "search").get_attribute("value") == "task001"
        assert "match" in driver.find_element("id", "match-count").text
        assert rows_before and count
        out, err = follow.communicate(timeout=120)
        assert follow.returncode == 0, err
        assert "the job ended" in out
        # the last page is the finished job's, and no longer reloads
        driver.get(page.as_uri())
        wait(driver, lambda: driver.execute_script("return document.body.dataset.ready") == "all")
        assert driver.execute_script("return document.body.dataset.live") is None
    finally:
        driver.quit()
        follow.kill()
        job.kill()
        follow.wait(timeout=30)
        job.wait(timeout=30)
