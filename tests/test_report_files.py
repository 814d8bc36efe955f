"""write_yaml / write_json: the bytes dump_yaml() / dump_json() return, streamed into a file
that replaces the target only once complete."""

import gc
import json
import os
import pathlib
import signal
import subprocess
import sys

import pytest
import yaml

from korvo.reporter import campaign as c
from korvo.reporter.demo import Plan, build

FORMATS = ["yaml", "json"]


def dumped(node, fmt):
    return getattr(node, "dump_" + fmt)().encode("utf-8")


def write(node, fmt, path):
    getattr(node, "write_" + fmt)(path)
    return pathlib.Path(os.fsdecode(path)).read_bytes()


def leftovers(directory, keep):
    return sorted(p.name for p in pathlib.Path(directory).iterdir() if p.name not in keep)


@pytest.fixture(scope="module")
def demo_job(tmp_path_factory):
    return build(Plan(tasks=2), str(tmp_path_factory.mktemp("demo")))[0]


class Broken:
    def __repr__(self):
        raise RuntimeError("no repr")


@pytest.mark.parametrize("fmt", FORMATS)
class TestSameBytes:
    def test_demo_tree_and_every_subtree_kind(self, demo_job, fmt, tmp_path):
        task = demo_job.tasks[-1]
        for node in (demo_job, task, task.sections[-1]):
            assert write(node, fmt, tmp_path / ("out." + fmt)) == dumped(node, fmt)

    def test_text_longer_than_a_chunk(self, fmt, tmp_path):
        # More than one chunk in all, and single values longer than a chunk.
        node = c.Section(id="big", seq_num=1)
        node.update_extra({"long": "word " * 400_000, "many": list(range(300_000)),
                           "text": "line\n" * 250_000, "uni": "\u00e9\u4e2d" * 100_000})
        data = write(node, fmt, tmp_path / "big")
        assert len(data) > 3 << 20
        assert data == dumped(node, fmt)

    def test_paths_as_str_bytes_and_pathlike(self, fmt, tmp_path):
        node = c.Section(id="s", seq_num=1)
        for path in (str(tmp_path / "a"), os.fsencode(tmp_path / "b"), tmp_path / "c"):
            assert write(node, fmt, path) == dumped(node, fmt)

    def test_subclassed_nodes_and_substituted_globals(self, fmt, tmp_path, monkeypatch):
        class Custom(c.Section):
            pass

        root = c.Task(id="t", seq_num=1)
        root.sections.append(Custom(id="odd", seq_num=1, parent=root))
        root.update_extra({"when": None})
        monkeypatch.setattr(c, "VERSION", "9.9")
        data = write(root, fmt, tmp_path / "out")
        assert data == dumped(root, fmt)
        assert b"9.9" in data

    def test_a_replaced_dump_method_writes_its_own_text(self, fmt, tmp_path):
        class Renamed(c.Section):
            def dump_yaml(self):
                return "yaml: \u00e9\n"

            def dump_json(self):
                return '{"json": "\u00e9"}'

        node = Renamed(id="r", seq_num=1)
        assert write(node, fmt, tmp_path / "r") == dumped(node, fmt)
        plain = c.Section(id="p", seq_num=1)
        setattr(plain, "dump_" + fmt, lambda: "patched")
        assert write(plain, fmt, tmp_path / "p") == b"patched"

    def test_output_loads_back(self, demo_job, fmt, tmp_path):
        data = write(demo_job, fmt, tmp_path / "out")
        loaded = yaml.safe_load(data) if fmt == "yaml" else json.loads(data)
        assert loaded["report"]["id"] == demo_job.id


@pytest.mark.parametrize("fmt", FORMATS)
class TestFailures:
    def test_failure_keeps_the_old_file_and_leaves_no_temp(self, fmt, tmp_path):
        target = tmp_path / "results"
        target.write_bytes(b"old")
        node = c.Section(id="s", seq_num=1)
        # Far into the text, so that chunks were already written when it fails.
        node.update_extra({"a": list(range(400_000)), "z": Broken() if fmt == "yaml" else {1, 2}})
        with pytest.raises((RuntimeError, TypeError)):
            getattr(node, "write_" + fmt)(target)
        assert target.read_bytes() == b"old"
        assert leftovers(tmp_path, {"results"}) == []

    def test_missing_directory_raises_oserror(self, fmt, tmp_path):
        with pytest.raises(OSError):
            getattr(c.Section(id="s", seq_num=1), "write_" + fmt)(tmp_path / "no" / "file")

    def test_collector_setting_restored_after_success_and_error(self, fmt, tmp_path):
        node = c.Section(id="s", seq_num=1)
        bad = c.Section(id="b", seq_num=1)
        bad.update_extra({"x": Broken() if fmt == "yaml" else {1}})
        was = gc.isenabled()
        try:
            for enabled in (True, False):
                (gc.enable if enabled else gc.disable)()
                for call in (lambda: write(node, fmt, tmp_path / "ok"),
                             lambda: getattr(bad, "write_" + fmt)(tmp_path / "bad"),
                             lambda: getattr(bad, "dump_" + fmt)()):
                    try:
                        call()
                    except (RuntimeError, TypeError):
                        pass
                    assert gc.isenabled() == enabled
        finally:
            (gc.enable if was else gc.disable)()
