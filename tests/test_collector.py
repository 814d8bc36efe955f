"""The cyclic garbage collector around our work: paused during the export, the caller's
setting restored afterwards (also on errors)."""

import gc

import pytest

from korvo.reporter import scribe as scribe_module
from korvo.reporter.scribe import Scribe
from support.report_trees import small_job


@pytest.fixture
def collector_state():
    """Restores whatever the test did to the collector."""
    was = gc.isenabled()
    yield
    (gc.enable if was else gc.disable)()


class SeenByLegacy:
    """The legacy KYReport, recording the collector's state while the export runs."""

    seen = []

    def __init__(self):
        from korvo.kyreport.toplevel.kyreport_top import KYReport

        self._real = KYReport()

    def __getattr__(self, name):
        return getattr(self._real, name)

    def __setattr__(self, name, value):
        if name == "_real":
            object.__setattr__(self, name, value)
        else:
            setattr(self._real, name, value)

    def generate_dom(self):
        SeenByLegacy.seen.append(gc.isenabled())
        return self._real.generate_dom()


@pytest.mark.parametrize("enabled", [True, False])
def test_export_pauses_collection_and_restores_the_callers_setting(
        monkeypatch, tmp_path, collector_state, enabled):
    monkeypatch.setattr(scribe_module, "KYReport", SeenByLegacy)
    SeenByLegacy.seen = []
    (gc.enable if enabled else gc.disable)()
    Scribe(str(tmp_path), small_job()).generate_xml(None, None)
    assert SeenByLegacy.seen == [False]
    assert gc.isenabled() is enabled
    assert (tmp_path / "ResultsDetails.xml").exists()


def test_export_failure_restores_collection(monkeypatch, tmp_path, collector_state):
    class Broken(SeenByLegacy):
        def generate_dom(self):
            SeenByLegacy.seen.append(gc.isenabled())
            raise ValueError("legacy library failed")

    monkeypatch.setattr(scribe_module, "KYReport", Broken)
    SeenByLegacy.seen = []
    gc.enable()
    with pytest.raises(ValueError, match="legacy library failed"):
        Scribe(str(tmp_path), small_job()).generate_xml(None, None)
    assert SeenByLegacy.seen == [False]
    assert gc.isenabled()


def test_collection_switched_on_by_the_legacy_library_is_left_on(
        monkeypatch, tmp_path, collector_state):
    # The pause only undoes its own change: a caller that had disabled collection
    # gets back whatever the code it called chose.
    class Enabling(SeenByLegacy):
        def generate_dom(self):
            gc.enable()
            return self._real.generate_dom()

    monkeypatch.setattr(scribe_module, "KYReport", Enabling)
    gc.disable()
    Scribe(str(tmp_path), small_job()).generate_xml(None, None)
    assert gc.isenabled()
