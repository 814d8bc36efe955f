import datetime
import resource
import signal

import pytest

from korvo.reporter import campaign
from korvo.reporter import scribe as scribe_module

from support import profiles
from support.legacy_fakes import Fake, make_library

profiles.register()


class FakeClock:
    """A get_time replacement that advances by a fixed step on every call."""

    def __init__(self, start=datetime.datetime(2024, 5, 1, 10, 0, 0), step=1.5):
        self.now = start
        self.step = datetime.timedelta(seconds=step)
        self.calls = 0

    def __call__(self):
        value = self.now
        self.now += self.step
        self.calls += 1
        return value


@pytest.fixture
def clock(monkeypatch):
    fake = FakeClock()
    monkeypatch.setattr(campaign, "get_time", fake)
    return fake


@pytest.fixture
def logfile(tmp_path):
    """Factory: a log file of `size` bytes; returns its path as text."""

    def make(name="TaskLog.t1", size=0):
        path = tmp_path / name
        path.write_bytes(b"x" * size)
        return str(path)

    return make


def grow(path, nbytes):
    with open(path, "ab") as f:
        f.write(b"y" * nbytes)


@pytest.fixture
def log():
    return []


@pytest.fixture
def fake_lib(monkeypatch, log):
    """The legacy library names of the scribe module replaced by recording fakes."""
    ky, camp, ts = make_library(log)
    monkeypatch.setattr(scribe_module, "KYReport", ky)
    monkeypatch.setattr(scribe_module, "Campaign", camp)
    monkeypatch.setattr(scribe_module, "TestScript", ts)
    return log


@pytest.fixture
def fake(log):
    """fake("P") makes a recording legacy object with path P."""
    return lambda path: Fake(log, path)


@pytest.fixture
def scribe(fake_lib, tmp_path):
    """A Scribe over an empty finished job, made with the recording fakes."""
    from support.report_trees import finish, job

    sc = scribe_module.Scribe(str(tmp_path), finish(job()))
    fake_lib.clear()
    return sc


@pytest.fixture
def file_size_limit():
    """Lowers the file size limit so that writes past it fail with EFBIG (None: no limit)."""
    old_handler = signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    old_limit = resource.getrlimit(resource.RLIMIT_FSIZE)

    def limit(size):
        size = resource.RLIM_INFINITY if size is None else size
        resource.setrlimit(resource.RLIMIT_FSIZE, (size, old_limit[1]))

    yield limit
    resource.setrlimit(resource.RLIMIT_FSIZE, old_limit)
    signal.signal(signal.SIGXFSZ, old_handler)
