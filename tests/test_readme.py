"""The README's examples run as written: they are read from the README itself."""

import os
import re
import subprocess
import sys

from junitparser import Failure, JUnitXml

README = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "README.md")


def section_code(heading, language):
    """The first fenced block of `language` below the README's `heading`."""
    with open(README, encoding="utf-8") as f:
        text = f.read()
    start = text.index("\n" + heading + "\n")
    block = re.compile(r"^```%s\n(.*?)^```" % language, re.S | re.M).search(text, start)
    assert block, "no %s block under %s" % (language, heading)
    return block.group(1)


def test_harness_example_runs_as_written(tmp_path):
    code = section_code("## Using it from a harness", "python")
    proc = subprocess.run([sys.executable, "-c", code], cwd=tmp_path, capture_output=True,
                          text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    run_dir = tmp_path / "runs" / "42"
    for name in ("results.yaml", "results.json", "ResultsDetails.xml", "ResultsSummary.xml",
                 "junit.xml", "TaskLog.t1"):
        assert (run_dir / name).stat().st_size > 0, name

    # The failed step reaches the CI server with what it wrote to the log.
    xml = JUnitXml.fromfile(str(run_dir / "junit.xml"))
    assert (xml.name, xml.tests, xml.failures) == ("nightly-42", 1, 1)
    (suite,) = xml
    (case,) = suite
    assert (suite.hostname, case.classname, case.name) == ("lab-7", "ping", "tc1")
    (failure,) = case.result
    assert isinstance(failure, Failure)
    assert failure.message == "send Failed: send one packet"
    assert case.system_out == "ping: no answer\n"


def test_ci_examples_run(tmp_path):
    # As written, with the demo's directory moved into this test's own.
    script = section_code("## In a CI pipeline", "sh").replace("/tmp/korvo-demo", str(tmp_path))
    bin_dir = os.path.dirname(sys.executable)
    env = dict(os.environ, PATH=bin_dir + os.pathsep + os.environ.get("PATH", ""))
    proc = subprocess.run(["bash", "-euo", "pipefail", "-c", script], capture_output=True,
                          text=True, timeout=300, env=env)
    assert proc.returncode == 0, proc.stderr
    assert (tmp_path / "results.yaml").exists()
    if " junit " in script:
        xml = JUnitXml.fromfile(str(tmp_path / "junit.xml"))
        assert xml.name == "demo-job" and xml.tests > 0


def test_ci_recipe_runs_and_fails_only_on_new_failures(tmp_path):
    with open(README, encoding="utf-8") as f:
        text = f.read()
    start = text.index("A CI recipe:")
    script = re.compile(r"^```sh\n(.*?)^```", re.S | re.M).search(text, start).group(1)
    script = script.replace("/tmp/korvo-ci", str(tmp_path))
    bin_dir = os.path.dirname(sys.executable)
    env = dict(os.environ, PATH=bin_dir + os.pathsep + os.environ.get("PATH", ""))
    proc = subprocess.run(["bash", "-eu", "-c", script], capture_output=True, text=True,
                          timeout=300, env=env)
    # The demo job has failures, but this is the series' first job: every failure is new.
    assert proc.returncode == 1, proc.stderr
    assert "history: " in proc.stdout and " new failure" in proc.stdout
    assert JUnitXml.fromfile(str(tmp_path / "junit.xml")).tests > 0
    markdown = (tmp_path / "summary.md").read_text()
    assert markdown.startswith("### ") and "| task | type |" in markdown
