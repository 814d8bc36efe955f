"""Every file the package writes replaces its target in place, inside the target's directory.

Links planted by the tests point only at files inside the test's own temp directory, and
each test checks that those files are unchanged afterwards.
"""

import os
import pathlib
import shutil
import stat
import subprocess
import xml.etree.ElementTree as ET

import pytest

from korvo.reporter import scribe as scribe_module
from korvo.reporter.files import write_file
from korvo.reporter.scribe import Scribe
from support.report_trees import small_job

DETAILS = "ResultsDetails.xml"
SUMMARY = "ResultsSummary.xml"
IS_ROOT = os.geteuid() == 0


class Bystander:
    """A file outside the logs directory that links may point at; remembers its state."""

    def __init__(self, path, mode=0o600, data=b"precious\n"):
        self.path = path
        path.write_bytes(data)
        os.chmod(path, mode)
        self.data, self.mode = data, mode

    def assert_untouched(self):
        st = os.lstat(self.path)
        assert stat.S_ISREG(st.st_mode)
        assert stat.S_IMODE(st.st_mode) == self.mode
        assert self.path.read_bytes() == self.data


@pytest.fixture
def outside(tmp_path):
    (tmp_path / "outside").mkdir()
    return lambda name, **kw: Bystander(tmp_path / "outside" / name, **kw)


@pytest.fixture
def logs(tmp_path):
    path = tmp_path / "logs"
    path.mkdir()
    return path


def entries(directory):
    return sorted(os.listdir(directory))


class TestWriteFile:
    @pytest.mark.parametrize("data, expected", [
        ("caf\u00e9\n", "caf\u00e9\n".encode("utf-8")),
        (b"\x00\xff raw", b"\x00\xff raw"),
        (bytearray(b"buffer"), b"buffer"),
        ("", b""),
    ])
    def test_writes_text_as_utf8_and_bytes_as_given(self, logs, data, expected):
        write_file(str(logs / "out"), data)
        assert (logs / "out").read_bytes() == expected
        assert entries(logs) == ["out"]

    @pytest.mark.parametrize("as_path", [str, pathlib.Path, os.fsencode])
    def test_accepts_every_path_form(self, logs, as_path):
        write_file(as_path(str(logs / "out")), "x")
        assert (logs / "out").read_text() == "x"

    def test_relative_path_is_taken_from_the_working_directory(self, logs, monkeypatch):
        monkeypatch.chdir(logs)
        write_file("out", "here")
        assert (logs / "out").read_text() == "here"

    def test_rejects_data_that_is_neither_text_nor_bytes(self, logs):
        with pytest.raises(TypeError):
            write_file(str(logs / "out"), 5)
        assert entries(logs) == []

    def test_missing_directory_names_the_target(self, logs):
        target = str(logs / "missing" / "out")
        with pytest.raises(FileNotFoundError) as info:
            write_file(target, "x")
        assert info.value.filename == target

    @pytest.mark.parametrize("name", ["sub", "sub/", "."])
    def test_directory_in_the_target_place_fails_and_stays(self, logs, name):
        (logs / "sub").mkdir()
        with pytest.raises(OSError) as info:
            write_file(str(logs / name), "x")
        assert info.value.filename == str(logs / name)
        assert entries(logs) == ["sub"] and entries(logs / "sub") == []

    def test_new_file_mode_comes_from_the_umask(self, logs):
        old = os.umask(0o027)
        try:
            write_file(str(logs / "out"), "x")
        finally:
            os.umask(old)
        assert stat.S_IMODE(os.stat(logs / "out").st_mode) == 0o640

    @pytest.mark.parametrize("old_mode, new_mode", [
        (0o640, 0o640), (0o777, 0o777), (0o4755, 0o755), (0o2750, 0o750), (0o1644, 0o644),
    ])
    def test_replaced_file_keeps_permission_bits_but_never_special_bits(
            self, logs, old_mode, new_mode):
        (logs / "out").write_text("old")
        os.chmod(logs / "out", old_mode)
        write_file(str(logs / "out"), "new")
        assert stat.S_IMODE(os.stat(logs / "out").st_mode) == new_mode
        assert (logs / "out").read_text() == "new"

    @pytest.mark.skipif(not IS_ROOT, reason="only root may give files away")
    def test_replaced_file_keeps_owner_and_group(self, logs):
        (logs / "out").write_text("old")
        os.chown(logs / "out", 4321, 4322)
        write_file(str(logs / "out"), "new")
        st = os.stat(logs / "out")
        assert (st.st_uid, st.st_gid) == (4321, 4322)

    def test_link_in_the_target_place_is_replaced_not_followed(self, logs, outside):
        victim = outside("victim", mode=0o640)
        os.symlink(victim.path, logs / "out")
        write_file(str(logs / "out"), "new")
        victim.assert_untouched()
        assert not os.path.islink(logs / "out")
        assert (logs / "out").read_text() == "new"

    def test_dangling_link_in_the_target_place_creates_nothing_outside(self, logs, tmp_path):
        os.symlink(tmp_path / "outside-new", logs / "out")
        write_file(str(logs / "out"), "new")
        assert not os.path.lexists(tmp_path / "outside-new")
        assert (logs / "out").read_text() == "new"

    def test_links_planted_at_guessable_names_are_left_alone(self, logs, outside):
        names = ["out.%d.tmp" % os.getpid(), "out.tmp", ".out.tmp", "out~", ".out"]
        names += [".out.%016x.tmp" % i for i in range(4)]
        victims = []
        for i, name in enumerate(names):
            victims.append(outside("v%d" % i))
            os.symlink(victims[-1].path, logs / name)
        write_file(str(logs / "out"), "new")
        for victim in victims:
            victim.assert_untouched()
        assert sorted(entries(logs)) == sorted(names + ["out"])
        assert all(os.path.islink(logs / name) for name in names)

    def test_failed_write_leaves_the_old_file_and_no_helper(self, logs, file_size_limit):
        (logs / "out").write_text("old")
        file_size_limit(100)
        with pytest.raises(OSError) as info:
            write_file(str(logs / "out"), "x" * 1000)
        assert info.value.filename == str(logs / "out")
        file_size_limit(None)
        assert (logs / "out").read_text() == "old"
        assert entries(logs) == ["out"]


class TestResultFiles:
    def test_links_at_the_result_names_are_replaced(self, logs, outside):
        victims = {name: outside(name, mode=0o600) for name in (DETAILS, SUMMARY)}
        for name, victim in victims.items():
            os.symlink(victim.path, logs / name)
        Scribe(str(logs), small_job()).generate_xml(None, None)
        for name, victim in victims.items():
            victim.assert_untouched()
            assert not os.path.islink(logs / name)
            assert (logs / name).read_text().startswith("<?xml")

    def test_link_at_the_rough_dump_name_is_replaced(self, logs, outside, monkeypatch):
        victim = outside("rough")
        os.symlink(victim.path, logs / "xml_rough_string")
        bad = small_job()
        # cross-reference files are not escaped; XML cannot carry this
        bad.tasks[0].sections[0].xref = {"file": "\x0b", "line": 1}
        with pytest.raises(Exception):
            Scribe(str(logs), bad).generate_xml(None, None)
        victim.assert_untouched()
        assert not os.path.islink(logs / "xml_rough_string")

    def test_summary_failure_leaves_both_old_files(self, logs, monkeypatch):
        sc = Scribe(str(logs), small_job())
        (logs / DETAILS).write_text("old details")
        (logs / SUMMARY).write_text("old summary")

        class BrokenSummaryET:
            Element = ET.Element
            tostring = staticmethod(ET.tostring)

            @staticmethod
            def SubElement(parent, tag, *args, **kwargs):
                if tag == "debugProfile":
                    raise RuntimeError("summary broke")
                return ET.SubElement(parent, tag, *args, **kwargs)

        monkeypatch.setattr(scribe_module, "ET", BrokenSummaryET)
        with pytest.raises(RuntimeError, match="summary broke"):
            sc.generate_xml(None, None)
        assert (logs / DETAILS).read_text() == "old details"
        assert (logs / SUMMARY).read_text() == "old summary"
        assert entries(logs) == [DETAILS, SUMMARY]

    @pytest.mark.parametrize("old_details", [True, False])
    def test_summary_rename_failure_puts_the_old_details_back(self, logs, old_details):
        if old_details:
            (logs / DETAILS).write_text("old details")
        (logs / SUMMARY).mkdir()  # rename(2) cannot replace a directory by a file
        with pytest.raises(OSError) as info:
            Scribe(str(logs), small_job()).generate_xml(None, None)
        assert info.value.filename == str(logs) + "/" + SUMMARY
        if old_details:
            assert (logs / DETAILS).read_text() == "old details"
            assert entries(logs) == [DETAILS, SUMMARY]
        else:
            assert entries(logs) == [SUMMARY]

    def test_old_details_link_is_put_back_as_the_link(self, logs, outside):
        victim = outside("victim")
        os.symlink(victim.path, logs / DETAILS)
        (logs / SUMMARY).mkdir()
        with pytest.raises(OSError):
            Scribe(str(logs), small_job()).generate_xml(None, None)
        assert os.readlink(logs / DETAILS) == str(victim.path)
        victim.assert_untouched()

    def test_details_write_failure_leaves_both_old_files(self, logs, file_size_limit):
        sc = Scribe(str(logs), small_job())
        sc.generate_xml(None, None)
        before = {name: (logs / name).read_bytes() for name in (DETAILS, SUMMARY)}
        file_size_limit(10)
        with pytest.raises(OSError) as info:
            sc.generate_xml(None, None)
        file_size_limit(None)
        assert info.value.filename.endswith(DETAILS)
        assert {name: (logs / name).read_bytes() for name in (DETAILS, SUMMARY)} == before


def resident_bytes(path):
    """Bytes of `path` in the page cache, by util-linux's fincore."""
    out = subprocess.run(["fincore", "--bytes", "--noheadings", "--output", "RES", str(path)],
                         capture_output=True, text=True, check=True).stdout
    return int(out.split()[0])


def filesystem_type(path):
    """The type of the mounted file system holding `path`, from /proc/mounts."""
    path, best, kind = os.path.realpath(path), "", ""
    with open("/proc/mounts") as mounts:
        for line in mounts:
            mount_point, fs_type = line.split()[1:3]
            inside = path == mount_point or path.startswith(mount_point.rstrip("/") + "/")
            if inside and len(mount_point) >= len(best):
                best, kind = mount_point, fs_type
    return kind


@pytest.mark.skipif(shutil.which("fincore") is None, reason="needs util-linux's fincore")
def test_big_files_leave_the_page_cache_once_on_disk(tmp_path):
    if filesystem_type(tmp_path) in ("tmpfs", "ramfs"):
        pytest.skip("a file in memory has no page cache to leave")
    # A job's gigabytes of output left cached made the rest of its work dearer; small
    # files, cheap to keep and often read back at once, stay.
    big, small = tmp_path / "results.yaml", tmp_path / "junit.xml"
    write_file(big, b"x" * (17 << 20))
    write_file(small, b"y" * (1 << 20))
    assert big.stat().st_size == 17 << 20
    assert resident_bytes(big) == 0
    assert resident_bytes(small) == 1 << 20
