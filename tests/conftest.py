import pytest

from korvo.reporter import scribe as scribe_module

from legacy_fakes import Fake, make_library


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
    from report_trees import finish, job

    sc = scribe_module.Scribe(str(tmp_path), finish(job()))
    fake_lib.clear()
    return sc
