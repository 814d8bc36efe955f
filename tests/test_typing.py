"""The package's annotations hold: mypy --strict over src/korvo, with the stubs shipped
beside the native modules (CI installs mypy with the test extra)."""

import os
import subprocess
import sys

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def test_mypy_strict_passes_on_the_package():
    pytest.importorskip("mypy")
    proc = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", "src/korvo"],
        cwd=ROOT, capture_output=True, text=True, timeout=600)
    assert proc.returncode == 0, proc.stdout[-20000:] + proc.stderr[-2000:]
