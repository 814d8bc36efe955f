"""The cyclic garbage collector around our work: paused during the export, the caller's
setting restored afterwards (also on errors)."""

import gc
import io
import os
import subprocess
import sys
import weakref

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


# ---- the demo's build: finished tasks frozen out of full collections ----------------

DEMO_PLAN = dict(tasks=3, testcases=2, sections=1, steps=2)


@pytest.fixture
def nothing_frozen():
    gc.unfreeze()
    yield
    gc.unfreeze()


def test_builder_freezes_each_finished_task(tmp_path, nothing_frozen):
    from korvo.reporter.demo import Plan, build

    campaign, _ = build(Plan(**DEMO_PLAN), str(tmp_path), freeze_finished=True)
    first, last = campaign.tasks[1], campaign.tasks[-1]
    assert gc.get_freeze_count() > 0
    # frozen objects are in no generation: the collector's full collections skip them
    in_generations = {id(obj) for obj in gc.get_objects()}
    assert id(first) not in in_generations and id(last) not in in_generations
    gc.unfreeze()
    assert id(first) in {id(obj) for obj in gc.get_objects()}


def demo_args(tmp_path):
    args = ["demo", str(tmp_path / "out")]
    for key, value in DEMO_PLAN.items():
        args += ["--" + key, str(value)]
    return args


def test_demo_command_leaves_nothing_frozen(tmp_path, nothing_frozen):
    from korvo.reporter.cli import main

    assert main(demo_args(tmp_path), out=io.StringIO(), err=io.StringIO()) == 0
    assert gc.get_freeze_count() == 0


def test_demo_command_leaves_a_callers_frozen_objects_alone(tmp_path, nothing_frozen):
    from korvo.reporter.cli import main

    gc.freeze()
    frozen = gc.get_freeze_count()
    assert main(demo_args(tmp_path), out=io.StringIO(), err=io.StringIO()) == 0
    # neither unfrozen (the caller's choice) nor more frozen (the demo's tree would stay);
    # frozen objects freed meanwhile leave the count
    assert 0 < gc.get_freeze_count() <= frozen


# ---- dropped jobs --------------------------------------------------------------------

def build_and_write_everything(outdir):
    from korvo.reporter.demo import Plan, build
    from korvo.reporter.html import write_html

    campaign, _ = build(Plan(tasks=2, testcases=2, sections=2, steps=4), outdir,
                        journal=os.path.join(outdir, "job.journal"))
    campaign.write_yaml(os.path.join(outdir, "results.yaml"))
    campaign.write_json(os.path.join(outdir, "results.json"))
    Scribe(outdir, campaign).generate_xml(None, {})
    write_html(campaign, os.path.join(outdir, "report.html"), logs_dir=outdir)
    return campaign


def test_a_dropped_job_is_freed_by_one_collection(tmp_path):
    campaign = build_and_write_everything(str(tmp_path))
    deepest = campaign.tasks[-1].sections[-1].sections[-1].sections[0]
    alive = [weakref.ref(campaign), weakref.ref(campaign.tasks[-1]), weakref.ref(deepest)]
    del campaign, deepest
    gc.collect()
    assert [ref() for ref in alive] == [None, None, None]


def test_no_node_outlives_the_interpreter(tmp_path):
    # nanobind names every instance of ours still alive when the module goes away
    script = ("import sys; sys.path.insert(0, %r)\n"
              "from test_collector import build_and_write_everything\n"
              "build_and_write_everything(%r)\n" % (os.path.dirname(__file__), str(tmp_path)))
    proc = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                          timeout=120)
    assert proc.returncode == 0, proc.stderr
    assert "leaked" not in proc.stderr
