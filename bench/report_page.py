#!/usr/bin/env python3
"""mekal-report's page for 1,000 and 10,000 runs: the time mekal-report takes,
the page's size, and the time until its plots are drawn in headless Chromium
(milliseconds from the start of navigation to the page's own mark, the
median of several openings in one browser, whose first opening is left out).

Usage: bench/report_page.py BUILD_DIR [OPENINGS]   (BUILD_DIR with mekal-run,
the example and mekal-report built; needs chromium and chromium-driver)"""
import json, os, statistics, subprocess, sys, tempfile, time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "tools"))
import browser_page  # noqa: E402

build = os.path.abspath(sys.argv[1])
openings = int(sys.argv[2]) if len(sys.argv) > 2 else 7
report = os.path.join(build, "tools", "report", "mekal-report")
if not browser_page.available():
    sys.exit("report_page: needs chromium and chromium-driver")

with tempfile.TemporaryDirectory(prefix="mekal-report-bench-") as work:
    record_path = os.path.join(work, "run.json")
    subprocess.run([os.path.join(build, "bin", "mekal-run"), "-o", record_path, "--",
                    os.path.join(build, "examples", "mekal_example")], check=True, stdout=subprocess.DEVNULL)
    with open(record_path) as f:
        record = json.load(f)
    pages = []
    for count in (1000, 10000):
        runs = os.path.join(work, f"runs-{count}")
        os.makedirs(runs)
        browser_page.many_runs(record, count, ["node-a", "node-b", "node-c"], runs)
        page = os.path.join(work, f"report-{count}.html")
        began = time.monotonic()
        subprocess.run([report, "-o", page, "--by", "hostname", "--metric", "walltime", runs], check=True)
        pages.append((count, page, time.monotonic() - began))

    marks = "return Object.fromEntries(performance.getEntriesByType('mark').map((m) => [m.name, m.startTime]))"
    browser = browser_page.Browser()
    try:
        print(f"{'runs':>6} {'record read+page written':>24} {'page size':>10} {'plots drawn':>12} "
              f"{'script starts':>14} {'table shown':>12}")
        for count, page, writing in pages:
            drawn, started, table = [], [], []
            for _ in range(openings + 1):
                browser.open(page)
                browser.wait_for("return document.body.dataset.table || null", 60)
                seen = browser.run(marks)
                drawn.append(float(browser.run("return document.body.dataset.drawnMs")))
                started.append(seen["mekal-script"])
                table.append(seen["mekal-table"])
            assert browser.console() == [], "console messages"
            print(f"{count:>6} {writing:>22.2f} s {os.path.getsize(page) / 1e6:>7.2f} MB "
                  f"{statistics.median(drawn[1:]):>9.0f} ms {statistics.median(started[1:]):>11.0f} ms "
                  f"{statistics.median(table[1:]):>9.0f} ms")
    finally:
        browser.close()
