"""The HTML report at three sizes: time to write it, its size, and the time headless
Chromium takes to show the tree (navigation start to the tree's first rows on screen).

Each size is a demo job (real log files, 10% failing sections). Side by side in the same
run: dump_json's time and results.json's size, the anchors of the ratios.

    python bench/html.py                               # about 10k and 100k nodes
    flock /work/locks/big.lock python bench/html.py --sizes 1000000   # the 1M case
Needs chromium + chromedriver (Debian) and selenium (pip install '.[test]').
"""

import argparse
import gc
import os
import sys

# This file's name would hide the standard library's html package when run as a script.
_here = os.path.dirname(os.path.abspath(__file__))
sys.path[:] = [p for p in sys.path if os.path.abspath(p or os.curdir) != _here]

import json  # noqa: E402
import shutil  # noqa: E402
import tempfile  # noqa: E402
import time  # noqa: E402

from korvo.reporter.demo import Plan, build  # noqa: E402
from korvo.reporter.html import write_html  # noqa: E402

# tasks x testcases for about 10k, 100k and 1M nodes (5 sections x 8 steps per testcase)
PLANS = {10_000: (10, 20), 100_000: (50, 42), 1_000_000: (100, 215)}


def browser():
    from selenium import webdriver
    from selenium.webdriver.chrome.options import Options
    from selenium.webdriver.chrome.service import Service

    options = Options()
    for arg in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage",
                "--window-size=1400,1000", "--disable-gpu"):
        options.add_argument(arg)
    options.binary_location = shutil.which("chromium")
    return webdriver.Chrome(options=options, service=Service(shutil.which("chromedriver")))


def first_render(driver, path, timeout=600):
    """Milliseconds from navigation start to the tree on screen (the page's own mark)."""
    driver.get("about:blank")
    driver.get("file://" + path)
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        ms = driver.execute_script(
            "var m = performance.getEntriesByName('tree-visible')[0]; return m && m.startTime;")
        if ms is not None:
            rows = driver.execute_script("return document.querySelectorAll('#tree .row').length")
            return ms, rows
        time.sleep(0.05)
    raise RuntimeError("the tree never showed: %s" % driver.get_log("browser"))


def embedded_log_bytes(path):
    with open(path, encoding="utf-8") as f:
        page = f.read()
    start = page.index('id="korvo-data">') + len('id="korvo-data">')
    data = json.loads(page[start:page.index("</script>", start)])
    # what the chunks take in the file (one byte per log byte, escapes a little more)
    return sum(len(json.dumps(text)) for _, _, text in data["chunks"])


def measure(size, outdir, driver, repeat):
    tasks, testcases = PLANS[size]
    campaign, nodes = build(Plan(tasks=tasks, testcases=testcases), outdir)
    json_times, html_times = [], []
    for _ in range(repeat):
        gc.collect()
        started = time.perf_counter()
        text = campaign.dump_json()
        json_times.append(time.perf_counter() - started)
        json_size = len(text)
        del text
        gc.collect()
        started = time.perf_counter()
        html_size = write_html(campaign, os.path.join(outdir, "report.html"), logs_dir=outdir)
        html_times.append(time.perf_counter() - started)
    del campaign
    gc.collect()
    logs = embedded_log_bytes(os.path.join(outdir, "report.html"))
    renders = [first_render(driver, os.path.join(outdir, "report.html")) for _ in range(repeat)]
    return {
        "nodes": nodes, "json_s": min(json_times), "html_s": min(html_times),
        "json_size": json_size, "html_size": html_size, "logs": logs,
        "render_ms": min(r[0] for r in renders), "rows": renders[0][1],
    }


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", type=int, nargs="+", default=[10_000, 100_000],
                        choices=sorted(PLANS), help="nodes per job (default 10000 100000)")
    parser.add_argument("--repeat", type=int, default=3, help="runs per size, best kept")
    args = parser.parse_args()
    driver = browser()
    results = []
    try:
        for size in args.sizes:
            with tempfile.TemporaryDirectory(prefix="korvo-html-bench-") as outdir:
                results.append(measure(size, outdir, driver,
                                       1 if size >= 1_000_000 else args.repeat))
    finally:
        driver.quit()

    mib = 1024 * 1024
    rows = [
        ("nodes", lambda r: format(r["nodes"], ",")),
        ("dump_json (s)", lambda r: "%.3f" % r["json_s"]),
        ("write_html (s, x dump_json)", lambda r: "%.3f (%.2fx)" % (r["html_s"], r["html_s"] / r["json_s"])),
        ("results.json (MiB)", lambda r: "%.1f" % (r["json_size"] / mib)),
        ("report.html (MiB)", lambda r: "%.1f" % (r["html_size"] / mib)),
        ("  of it log slices (MiB)", lambda r: "%.1f" % (r["logs"] / mib)),
        ("(html - logs) / results.json", lambda r: "%.2fx" % ((r["html_size"] - r["logs"]) / r["json_size"])),
        ("first render in Chromium (ms)", lambda r: "%.0f" % r["render_ms"]),
        ("rows in the DOM", lambda r: str(r["rows"])),
    ]
    width = max(len(name) for name, _ in rows)
    cells = [[fmt(r) for r in results] for _, fmt in rows]
    col = max(max(len(c) for c in line) for line in cells)
    for (name, _), line in zip(rows, cells):
        print(name.ljust(width) + "".join(c.rjust(col + 3) for c in line))


if __name__ == "__main__":
    main()
