"""The demo's report.html in headless Chromium: the counts it shows, expanding a failed
testcase, the result filter, the search and a step's log slice.

Outside CI a machine without Chromium skips these; in CI (CI=true) they must run."""

import json
import os
import shutil
import subprocess
import sys
import time

import pytest

from support.sanitizer import UNDER_ASAN

CHROMIUM = shutil.which("chromium") or shutil.which("chromium-browser")
DRIVER = shutil.which("chromedriver")
IN_CI = os.environ.get("CI", "").lower() == "true"


def _browser():
    if UNDER_ASAN:
        pytest.skip("the browser is not run under the sanitizer's preloaded runtime")
    missing = [name for name, path in (("chromium", CHROMIUM), ("chromedriver", DRIVER))
               if not path]
    try:
        from selenium import webdriver
        from selenium.webdriver.chrome.options import Options
        from selenium.webdriver.chrome.service import Service
    except ImportError:
        missing.append("the selenium package")
    if missing:
        reason = ("browser tests need %s (apt-get install chromium chromium-driver; "
                  "pip install '.[test]')" % ", ".join(missing))
        if IN_CI:
            pytest.fail(reason)
        pytest.skip(reason)
    options = Options()
    for arg in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage",
                "--window-size=1400,1000", "--disable-gpu"):
        options.add_argument(arg)
    options.binary_location = CHROMIUM
    return webdriver.Chrome(options=options, service=Service(DRIVER))


@pytest.fixture(scope="module")
def demo(tmp_path_factory):
    out = tmp_path_factory.mktemp("demo")
    subprocess.run([sys.executable, "-m", "korvo.reporter", "demo", str(out), "--tasks", "3",
                    "--testcases", "6", "--sections", "2", "--steps", "4", "--fail-rate",
                    "0.4", "--seed", "5"], check=True, capture_output=True, timeout=300)
    with open(out / "results.json", encoding="utf-8") as f:
        report = json.load(f)["report"]
    return out, report


@pytest.fixture(scope="module")
def browser():
    driver = _browser()
    yield driver
    driver.quit()


@pytest.fixture
def page(browser, demo):
    out, _ = demo
    browser.get((out / "report.html").as_uri())
    wait(browser, lambda: browser.execute_script("return document.body.dataset.ready") == "all")
    return browser


def wait(driver, check, timeout=20):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if check():
            return
        time.sleep(0.05)
    raise AssertionError("the page did not get there: %s" % driver.get_log("browser"))


def nodes(report):
    """Every node of the results file with its fullid, in tree order."""
    out = []

    def visit(node, path):
        fullid = ".".join(path + [node["id"]]) if node["type"] != "Campaign" else node["id"]
        out.append((fullid, node))
        below = path + [node["id"]] if node["type"] != "Campaign" else []
        for child in node.get("tasks", []) + node.get("sections", []):
            visit(child, below)

    visit(report, [])
    return out


def shown_rows(driver):
    """(node index, aria-level, result, id) of the rendered rows, top to bottom."""
    return driver.execute_script("""
        return Array.from(document.querySelectorAll('#tree .row'))
          .filter(r => r.style.display !== 'none')
          .sort((a, b) => a.dataset.index - b.dataset.index)
          .map(r => [+r.dataset.node, +r.getAttribute('aria-level'), r.dataset.result,
                     r.querySelector('.rid').textContent]);""")


def test_header_counts_match_the_results_file(page, demo):
    _, report = demo
    shown = page.execute_script("""
        return Object.fromEntries(Array.from(document.querySelectorAll('#counts li'))
          .map(li => [li.dataset.result, li.querySelector('.count').textContent]));""")
    want = {k: format(v, ",") for k, v in report["summary"].items()
            if k not in ("total", "success_rate")}
    assert shown == want
    facts = page.find_element("id", "facts").text
    assert "%.1f %%" % report["summary"]["success_rate"] in facts
    assert report["host"] in facts and report["submitter"] in facts
    assert report["starttime"] in facts.replace("\n", " ")
    assert report["stoptime"] in facts.replace("\n", " ")
    assert page.find_element("id", "job-id").text == "Report " + report["id"]
    # the chips count each result the nodes carry themselves
    chips = page.execute_script("""
        return Object.fromEntries(Array.from(document.querySelectorAll('.chip[data-result]'))
          .map(b => [b.dataset.result, b.querySelector('.count').textContent]));""")
    carried = {}
    for _, node in nodes(report):
        if "result" in node:
            key = node["result"]["value"]
            carried[key] = carried.get(key, 0) + 1
    assert chips == {k: format(v, ",") for k, v in carried.items()}


def test_failures_are_open_and_a_failed_testcase_expands(page, demo):
    rows = shown_rows(page)
    failed_cases = [r for r in rows if r[2] in ("failed", "errored", "aborted", "blocked")
                    and page.execute_script(
                        "return document.getElementById('row-%d').querySelector('.rtype')"
                        ".textContent" % r[0]) == "Testcase"]
    assert failed_cases, rows
    node, level = failed_cases[0][0], failed_cases[0][1]
    row = page.find_element("id", "row-%d" % node)
    assert row.get_attribute("aria-expanded") == "true"  # open on arrival
    row.find_element("css selector", ".twisty").click()
    assert page.find_element("id", "row-%d" % node).get_attribute("aria-expanded") == "false"
    assert not [r for r in shown_rows(page) if r[1] == level + 1 and r[0] > node
                and r[0] < node + 3]
    # and back open from the keyboard: focus is on it after the click
    page.find_element("id", "tree").send_keys("\ue014")  # ArrowRight
    rows = shown_rows(page)
    at = [r[0] for r in rows].index(node)
    assert rows[at + 1][1] == level + 1


def test_filter_to_failed(page, demo):
    _, report = demo
    page.find_element("css selector", '.chip[data-result="failed"]').click()
    wanted = [fid for fid, n in nodes(report) if n.get("result", {}).get("value") == "failed"]
    count = page.find_element("id", "match-count").text
    assert count == "%d match%s" % (len(wanted), "" if len(wanted) == 1 else "es")
    rows = shown_rows(page)
    leaves = [r for r in rows if page.find_element("id", "row-%d" % r[0])
              .get_attribute("aria-expanded") is None]
    assert leaves and all(r[2] == "failed" for r in leaves)
    page.find_element("css selector", '.chip[data-result="failed"]').click()
    assert page.find_element("id", "match-count").text == ""


def test_search_by_id(page, demo):
    _, report = demo
    box = page.find_element("id", "search")
    box.send_keys("tc003")
    wait(page, lambda: page.find_element("id", "match-count").text != "")
    wanted = [fid for fid, n in nodes(report) if "tc003" in n["id"]]
    assert page.find_element("id", "match-count").text == "%d matches" % len(wanted)
    ids = [r[3] for r in shown_rows(page)]
    assert ids.count("tc003") == len(wanted)
    box.clear()
    box.send_keys("task002.tc003.section1.step4\n")  # step1 holds nested steps
    wait(page, lambda: page.find_element("id", "match-count").text == "1 match")


def test_a_failed_step_shows_its_log_slice(page, demo):
    out, report = demo
    failed = [(fid, n) for fid, n in nodes(report)
              if n.get("type") == "Step" and n.get("result", {}).get("value") == "failed"]
    assert failed
    fullid, step = failed[0]
    box = page.find_element("id", "search")
    box.send_keys(fullid + "\n")
    wait(page, lambda: page.find_element("id", "match-count").text == "1 match")
    row = [r for r in shown_rows(page) if r[3] == step["id"] and r[2] == "failed"][-1]
    page.find_element("id", "row-%d" % row[0]).click()
    detail = page.find_element("id", "detail")
    assert fullid in detail.find_element("css selector", "h3").text
    assert step["starttime"] in detail.text and step["stoptime"] in detail.text
    logs = step["logs"]
    with open(out / logs["file"], "rb") as f:
        f.seek(logs["begin"])
        printed = f.read(logs["size"]).decode()
    shown = detail.find_element("css selector", "pre.log").get_attribute("textContent")
    assert shown == printed and printed.strip()


def test_keyboard_moves_through_the_tree(page):
    tree = page.find_element("id", "tree")
    tree.click()
    tree.send_keys("\ue011")  # Home
    first = page.execute_script("return document.getElementById('tree')"
                                ".getAttribute('aria-activedescendant')")
    assert first == "row-0"
    tree.send_keys("\ue015", "\ue015")  # ArrowDown twice
    third = page.execute_script("return document.getElementById('tree')"
                                ".getAttribute('aria-activedescendant')")
    assert third == "row-%d" % shown_rows(page)[2][0]
    tree.send_keys("\ue007")  # Enter shows the details
    assert page.find_element("css selector", "#detail h3").text.strip()


def test_print_lists_the_open_rows(page, demo):
    _, report = demo
    open_rows = page.execute_script(
        "return parseFloat(document.getElementById('spacer').style.height) / 28")
    page.execute_script("window.dispatchEvent(new Event('beforeprint'))")
    printed = page.execute_script(
        "return Array.from(document.querySelectorAll('#print-tree .row'))"
        ".map(r => r.querySelector('.rid').textContent)")
    # every open row, not only those the screen showed
    assert len(printed) == open_rows > len(shown_rows(page))
    assert printed[0] == report["id"]
    page.execute_script("window.dispatchEvent(new Event('afterprint'))")
    assert page.execute_script("return document.querySelectorAll('#print-tree .row').length") == 0


def selected_fullid(driver):
    return driver.execute_script(
        "var h = document.querySelector('#detail h3 .fullid'); return h ? h.textContent : null")


class TestLinksAndExplanations:
    def test_a_fragment_opens_scrolls_to_and_selects_its_node(self, browser, demo):
        out, report = demo
        failed = [(fid, n) for fid, n in nodes(report)
                  if n.get("type") == "Step" and n.get("result", {}).get("value") == "passed"]
        fullid, _ = failed[-1]  # a passed step: closed on arrival
        fragment = "#/" + "/".join(fullid.split("."))
        browser.get((out / "report.html").as_uri() + fragment)
        wait(browser, lambda: browser.execute_script("return document.body.dataset.ready") == "all")
        assert selected_fullid(browser) == fullid
        active = browser.execute_script(
            "return document.getElementById('tree').getAttribute('aria-activedescendant')")
        row = browser.find_element("id", active)
        assert row.get_attribute("aria-selected") == "true"
        assert browser.execute_script("""
            var r = arguments[0].getBoundingClientRect(), t = document.getElementById('tree')
              .getBoundingClientRect();
            return r.top >= t.top && r.bottom <= t.bottom;""", row)

    def test_selecting_a_node_names_it_in_the_address(self, page, demo):
        rows = shown_rows(page)
        node = rows[3]
        page.find_element("id", "row-%d" % node[0]).click()
        fullid = selected_fullid(page)
        assert page.execute_script("return location.hash") == "#/" + "/".join(fullid.split("."))
        # and a changed fragment follows
        page.execute_script("location.hash = '#/' + arguments[0]", fullid.split(".")[0])
        wait(page, lambda: selected_fullid(page) == fullid.split(".")[0])

    def test_an_unknown_fragment_says_so(self, browser, demo):
        out, _ = demo
        browser.get((out / "report.html").as_uri() + "#/no-such-task")
        wait(browser, lambda: browser.execute_script("return document.body.dataset.ready") == "all")
        assert "not in this report" in browser.find_element("id", "detail").text

    def test_failed_rows_show_the_first_line_of_their_reason(self, page, demo):
        _, report = demo
        reasons = {fid: n["result"]["reason"] for fid, n in nodes(report)
                   if n.get("result", {}).get("reason") and n["result"]["value"] == "failed"}
        assert reasons
        shown = page.execute_script("""
            return Array.from(document.querySelectorAll('#tree .row'))
              .filter(r => r.style.display !== 'none' && r.dataset.result === 'failed')
              .map(r => [r.id, r.querySelector('.rreason').textContent]);""")
        assert shown and all(text for _, text in shown)
        first_lines = {r.splitlines()[0] for r in reasons.values()}
        assert {text for _, text in shown} <= first_lines
        passed = page.execute_script("""
            return Array.from(document.querySelectorAll('#tree .row'))
              .filter(r => r.style.display !== 'none' && r.dataset.result === 'passed')
              .map(r => r.querySelector('.rreason').textContent);""")
        assert passed and not any(passed)

    def test_environment_panel_shows_the_campaigns_data(self, page, demo):
        _, report = demo
        env = page.find_element("id", "environment-panel")
        assert env.is_displayed()
        text = env.text
        for key in ("cli", "jobfile", "submitter", "host"):
            assert key in text and str(report[key]) in text
        for key, value in report["extra"].items():
            assert key in text and str(value) in text

    def test_numbers_say_what_they_count(self, page, demo):
        _, report = demo
        assert page.find_element("css selector", "#counts h2").text == (
            "Counted results: %s" % format(report["summary"]["total"], ","))
        chip = page.find_element("css selector", '.chip[data-result="passed"]')
        assert chip.get_attribute("aria-label").endswith("nodes passed")
        assert page.find_element("id", "chips-label").text.lower() == "show nodes"

    def test_details_follow_the_filter(self, page, demo):
        rows = [r for r in shown_rows(page) if r[2] == "passed"]
        page.find_element("id", "row-%d" % rows[0][0]).click()
        assert selected_fullid(page)
        page.find_element("css selector", '.chip[data-result="failed"]').click()
        assert selected_fullid(page) is None
        assert "hidden by the filter" in page.find_element("id", "detail").text

    def test_times_are_shown_as_stored(self, page, demo):
        _, report = demo
        task = report["tasks"][1]
        page.execute_script("location.hash = '#/' + arguments[0]", task["id"])
        wait(page, lambda: selected_fullid(page) == task["id"])
        detail = page.find_element("id", "detail").text
        assert "Stop " + task["stoptime"] in detail.replace("\n", " ")

    def test_rows_tell_their_place_among_siblings(self, page):
        sizes = page.execute_script("""
            return Array.from(document.querySelectorAll('#tree .row'))
              .filter(r => r.style.display !== 'none')
              .map(r => [+r.getAttribute('aria-posinset'), +r.getAttribute('aria-setsize')]);""")
        assert sizes and all(1 <= pos <= size for pos, size in sizes)
        assert sizes[0] == [1, 1]

    def test_toolbar_is_one_line_at_1600_px(self, browser, tmp_path):
        # every result there is, each carried by six-figure counts of nodes
        path, _ = flat_page(tmp_path, 70, 10000, results=["Passed", "Passx", "Skipped", "Blocked",
                                                           "Failed", "Aborted", "Errored"])
        browser.set_window_size(1600, 1000)
        try:
            browser.get(path.as_uri())
            wait(browser, lambda: browser.execute_script("return document.body.dataset.ready") == "all")
            toolbar, tallest, overflow = browser.execute_script("""
                var bar = document.querySelector('.toolbar'), box = bar.getBoundingClientRect();
                var parts = Array.from(bar.querySelectorAll('*')).map(e => e.getBoundingClientRect());
                return [box.height, Math.max(...parts.map(r => r.height)),
                        Math.max(...parts.map(r => r.right)) - box.right];""")
            assert toolbar < 1.5 * tallest and overflow <= 0, (toolbar, tallest, overflow)
        finally:
            browser.set_window_size(1400, 1000)


def flat_page(tmp_path, tasks, per_task, results=("Passed",)):
    """A page of a campaign with `tasks` tasks of `per_task` testcases each, its data written
    directly (a tree this size would take minutes to build and write); the testcases' results
    take turns through `results`."""
    from korvo.reporter import campaign
    from korvo.reporter.html import _page

    up, ids, result = [0], [0], [0]
    for t in range(tasks):
        up.append(len(up))
        ids.append(1)
        result.append(-1)
        up.extend(range(1, per_task + 1))
        ids.extend(2 + (j % 100) for j in range(per_task))
        result.extend(j % len(results) for j in range(per_task))
    n = len(up)
    data = {"format": 1, "t0": None, "sliceCap": 65536, "logsDir": False,
            "ids": ["job", "task"] + ["tc%02d" % j for j in range(100)],
            "types": ["Campaign", "Task", "Testcase"], "results": list(results), "files": [],
            "resultClass": [campaign._result_class(r) for r in results],
            "up": up, "id": ids, "type": [0] + [1 if u == i else 2 for i, u in enumerate(up)][1:],
            "result": result, "start": [None] * n, "stop": [None] * n, "dur": [None] * n,
            "logs": [], "desc": {}, "info": {}, "sliceState": {}, "chunks": []}
    path = tmp_path / "big.html"
    path.write_text(_page("Report big", json.dumps(data, separators=(",", ":"))), encoding="utf-8")
    return path, n


def test_every_row_of_a_very_large_tree_is_reachable(browser, tmp_path):
    # 1.3 million open rows are 36 million px at 28 px a row, past what browsers let an
    # element measure.
    path, n = flat_page(tmp_path, 1300, 1000)
    browser.get(path.as_uri())
    wait(browser, lambda: browser.execute_script("return document.body.dataset.ready") == "all",
         timeout=120)
    browser.execute_script("window.confirm = () => true; document.getElementById('expand-all').click()")
    assert browser.execute_script(
        "return document.querySelectorAll('#tree .row').length") < 200
    tree = browser.find_element("id", "tree")
    tree.click()
    tree.send_keys("\ue010")  # End
    active = browser.execute_script(
        "return document.getElementById('tree').getAttribute('aria-activedescendant')")
    assert active == "row-%d" % (n - 1)
    visible = """
        var t = document.getElementById('tree').getBoundingClientRect();
        return Array.from(document.querySelectorAll('#tree .row'))
          .filter(r => r.style.display !== 'none')
          .filter(r => { var b = r.getBoundingClientRect(); return b.top >= t.top && b.bottom <= t.bottom + 1; })
          .map(r => +r.dataset.node);"""
    assert n - 1 in browser.execute_script(visible)
    # scrolling by hand reaches the end too, and the middle lands in the middle
    browser.execute_script("var t = document.getElementById('tree'); t.scrollTop = t.scrollHeight;"
                           "t.dispatchEvent(new Event('scroll'))")
    wait(browser, lambda: n - 1 in browser.execute_script(visible))
    browser.execute_script("var t = document.getElementById('tree');"
                           "t.scrollTop = (t.scrollHeight - t.clientHeight) / 2;")
    wait(browser, lambda: any(abs(r - n / 2) < n / 100 for r in browser.execute_script(visible)))
