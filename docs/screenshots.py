"""Takes the README's screenshots of the HTML report of a 100,000-node demo job.

Needs Chromium and chromedriver (apt-get install chromium chromium-driver) and selenium.
Run: python docs/screenshots.py [OUTDIR]   (default: this folder)
"""

import json
import os
import subprocess
import sys
import tempfile
import time

from selenium import webdriver
from selenium.webdriver.chrome.options import Options
from selenium.webdriver.chrome.service import Service


def browser():
    options = Options()
    for arg in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage",
                "--window-size=1600,1000", "--disable-gpu", "--hide-scrollbars"):
        options.add_argument(arg)
    options.binary_location = "/usr/bin/chromium"
    return webdriver.Chrome(options=options, service=Service("/usr/bin/chromedriver"))


def ready(driver, url):
    driver.get(url)
    for _ in range(600):
        if driver.execute_script("return document.body.dataset.ready") == "all":
            return
        time.sleep(0.05)
    raise SystemExit("the page did not finish: %s" % driver.get_log("browser"))


def first_failed_step(report):
    def visit(node, path):
        here = path + [node["id"]] if node["type"] != "Campaign" else path
        if node.get("type") == "Step" and node.get("result", {}).get("value") == "failed":
            return here
        for child in node.get("tasks", []) + node.get("sections", []):
            found = visit(child, here)
            if found:
                return found
        return None
    return visit(report, [])


def main():
    out = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.dirname(__file__))
    with tempfile.TemporaryDirectory() as work:
        subprocess.run([sys.executable, "-m", "korvo.reporter", "demo", work, "--tasks", "100",
                        "--seed", "7"], check=True, capture_output=True)
        with open(os.path.join(work, "results.json"), encoding="utf-8") as f:
            report = json.load(f)["report"]
        page = "file://" + os.path.join(work, "report.html")
        driver = browser()
        try:
            ready(driver, page)
            driver.save_screenshot(os.path.join(out, "html-overview.png"))
            ready(driver, page + "#/" + "/".join(first_failed_step(report)))
            driver.execute_script("window.scrollTo(0, document.querySelector('main').offsetTop)")
            driver.save_screenshot(os.path.join(out, "html-failure.png"))
            ready(driver, page)
            driver.find_element("id", "only-failures").click()
            driver.execute_script("window.scrollTo(0, document.querySelector('main').offsetTop)")
            time.sleep(0.3)
            driver.save_screenshot(os.path.join(out, "html-filtered.png"))
        finally:
            driver.quit()


if __name__ == "__main__":
    main()
