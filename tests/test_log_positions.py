"""Where a node's output lies in its log file."""

import os

import pytest

from korvo.reporter.campaign import Campaign, Section, Task

from conftest import grow


def test_section_records_begin_and_growth(logfile):
    path = logfile(size=120)
    s = Section(id="s", seq_num=1)
    s.start(logfile=path)
    grow(path, 64)
    s.stop()
    assert s.logs == {"file": "TaskLog.t1", "begin": 120, "size": 64}
    assert list(s.logs) == ["file", "begin", "size"] and s.logfile == path


def test_section_without_logfile_and_restart(logfile):
    s = Section(id="s", seq_num=1)
    s.start()
    s.stop()
    assert s.logfile is None and s.logs == {}
    s.start(logfile=logfile(size=3))
    s.start()
    assert s.logfile is None and s.logs["begin"] == 3


def test_section_logfile_given_to_stop_lands_in_extra(logfile):
    path = logfile(size=10)
    s = Section(id="s", seq_num=1)
    s.stop(logfile=path)
    s.update({"logfile": "other"})
    assert s.logfile is None and s.extra == {"logfile": "other"}


def test_section_missing_logfile_raises_with_partial_state(tmp_path, clock):
    missing = str(tmp_path / "nope.log")
    s = Section(id="s", seq_num=1)
    with pytest.raises(FileNotFoundError):
        s.start(logfile=missing, owner="me")
    assert s.logs == {"file": "nope.log"} and s.starttime is not None
    assert s.extra == {"owner": "me"}


def test_section_log_vanishing_before_stop(logfile, clock):
    path = logfile(size=5)
    parent = Section(id="p", seq_num=1)
    s = parent.add_section(id="s", seq_num=1)
    s.start(logfile=path)
    os.remove(path)
    from korvo.results import Failed
    with pytest.raises(FileNotFoundError):
        s.stop(result=Failed)
    assert s.runtime is not None and parent.result == Failed and "size" not in s.logs


def test_section_logs_replaced_without_begin_fails_at_stop(logfile):
    s = Section(id="s", seq_num=1)
    s.start(logfile=logfile(size=1))
    s.update({"logs": {"file": "x"}})
    with pytest.raises(KeyError):
        s.stop()


def test_task_logfile_shortened_at_stop():
    task = Task(id="t", seq_num=1)
    task.start(logfile="/tmp/runs/job1/TaskLog.t1")
    assert task.logfile == "/tmp/runs/job1/TaskLog.t1"
    task.stop()
    task.stop()
    assert task.logfile == "TaskLog.t1"
    other = Task(id="u", seq_num=2)
    other.stop(logfile="/a/dir/")
    assert other.logfile == ""
    empty = Task(id="e", seq_num=3)
    empty.stop(logfile="")
    assert empty.logfile == ""


def test_task_logfile_that_is_not_a_path_fails_after_roll_up():
    task = Task(id="t", seq_num=1)
    with pytest.raises(TypeError):
        task.stop(logfile=42)
    assert task.logfile == 42 and task.summary.data == {}


def _task_plugin(path):
    task = Task(id="t", seq_num=1)
    plugin = task.add_plugin(id="p", seq_num=1)
    plugin.start(logfile=path)
    return plugin


def test_task_plugin_log_growth(logfile):
    path = logfile(size=500)
    plugin = _task_plugin(path)
    grow(path, 100)
    plugin.stop()
    assert plugin.logs == {"file": "TaskLog.t1", "begin": 500, "size": 100}
    assert plugin.logfile == "TaskLog.t1"


def test_task_plugin_same_path_at_stop_is_plain_stop(logfile):
    path = logfile(size=10)
    plugin = _task_plugin(path)
    grow(path, 5)
    plugin.stop(logfile=path)
    assert plugin.logs["size"] == 5 and plugin.logfile == "TaskLog.t1"
    assert "logfile" not in plugin.extra


def test_task_plugin_moved_log_resets_logs(logfile):
    plugin = _task_plugin(logfile(size=10))
    plugin.stop(logfile="/elsewhere/Other.log")
    assert plugin.logs == {"file": "Other.log", "begin": 0, "size": -1}
    assert plugin.logfile == "Other.log"


def test_job_plugin_records_no_logs(logfile):
    path = logfile(size=10)
    job = Campaign(id="job", seq_num=0)
    kept = job.add_plugin(id="a", seq_num=1)
    kept.start(logfile=path)
    kept.stop()
    assert kept.logs == {} and kept.logfile == path
    moved = job.add_plugin(id="b", seq_num=2)
    moved.start(logfile=path)
    moved.stop(logfile="/x/new.log")
    assert moved.logs == {} and moved.logfile == "new.log"


def test_task_plugin_missing_log_at_start(tmp_path):
    task = Task(id="t", seq_num=1)
    plugin = task.add_plugin(id="p", seq_num=1)
    with pytest.raises(FileNotFoundError):
        plugin.start(logfile=str(tmp_path / "missing"))
    assert plugin.logs == {"file": "missing"}


def test_sections_of_one_log_share_its_base_name(logfile):
    # a million sections name a few log files: one base-name text each, not a copy per node
    path = logfile(size=5)
    first, second = Section(id="a", seq_num=1), Section(id="b", seq_num=2)
    first.start(logfile=path)
    second.start(logfile=str(path))
    assert first.logs["file"] == "TaskLog.t1" and first.logs["file"] is second.logs["file"]

    class Moving:
        """One path-like object that may name another file later."""

        target = path

        def __fspath__(self):
            return self.target

    moving = Moving()
    third, fourth = Section(id="c", seq_num=3), Section(id="d", seq_num=4)
    third.start(logfile=moving)
    moving.target = logfile(name="TaskLog.t2")
    fourth.start(logfile=moving)
    assert [third.logs["file"], fourth.logs["file"]] == ["TaskLog.t1", "TaskLog.t2"]
