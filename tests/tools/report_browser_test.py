"""mekal-report's pages opened from disk in headless Chromium: a real run of the
example under mekal-run whose command line and environment hold HTML and
script, and 200 runs of it on 3 hosts. The scripts run without a console
message, ask for nothing but the page, draw their plots, keep every recorded
text as text; screenshots are written. Exits 77 (skipped) without Chromium,
unless MEKAL_REQUIRE_ALL=1.

Usage: report_browser_test.py MEKAL_REPORT MEKAL_RUN EXAMPLE WORK_DIR"""
import json, os, shutil, subprocess, sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import browser_page  # noqa: E402

REPORT, RUN, EXAMPLE, WORK = sys.argv[1:5]
PAYLOADS = ['</script><script>window.mekalInjected=1</script>', '<img src=x onerror="window.mekalInjected=2">']
HOSTS = ["node-a", "node-b", "node-c"]
failures = []


def check(condition, what):
    if not condition:
        failures.append(what)
        print("FAILED:", what)


def report(output, *args):
    subprocess.run([REPORT, "-o", output, *args], check=True)
    return output


def open_page(browser, page, ready, scripts):
    browser.requests()  # forget the browser's own start
    browser.open(page)
    check(browser.wait_for(f"return document.body.dataset.{ready} || null") is not None, f"{page}: never ready")
    check(browser.console() == [], f"{page}: console messages {browser.console()}")
    asked = [url for url in browser.requests(page) if not url.startswith("file:")]
    check(asked == [], f"{page}: asked the network for {asked}")
    check(browser.run("return window.mekalInjected === undefined && document.scripts.length") == scripts,
          f"{page}: recorded text ran as script")


def one_run(browser, record, page):
    open_page(browser, page, "drawnMs", 2)
    cells = browser.run("return [...document.querySelectorAll('table.values td')].map((td) => td.textContent)")
    for payload in PAYLOADS:
        check(any(payload in cell for cell in cells), f"one run: {payload} not shown as text")
    check(len(cells) == 3 * len(record["values"]), "one run: not a row per value")
    browser.screenshot(os.path.join(WORK, "one.png"))
    shown = browser.run("""const box = document.querySelector('input[type=search]');
        box.value = 'HOST'; box.dispatchEvent(new Event('input'));
        return [...document.querySelectorAll('table.values tr')].filter((r) => r.offsetParent !== null)
          .map((r) => r.cells[0].textContent);""")
    check(shown == [v["name"] for v in record["values"] if "host" in v["name"]], f"one run: filter shows {shown}")


def many_runs(browser, page):
    open_page(browser, page, "table", 3)
    check(browser.run("return document.body.dataset.charts") == "2", "many runs: not 2 charts")
    series = browser.run("""return [...document.querySelectorAll('.chart')].map((node) =>
        echarts.getInstanceByDom(node).getModel().getSeries().map((s) => [s.name, s.getData().count()]))""")
    check(series[0] == [[host, len(range(i, 200, 3))] for i, host in enumerate(HOSTS)], f"many runs: over time {series[0]}")
    painted = browser.run("""return [...document.querySelectorAll('.chart canvas')].map((canvas) => {
        const pixels = canvas.getContext('2d').getImageData(0, 0, canvas.width, canvas.height).data;
        const colours = new Set();
        for (let i = 0; i < pixels.length; i += 4) if (pixels[i + 3] > 0) colours.add(pixels[i] << 16 | pixels[i + 1] << 8 | pixels[i + 2]);
        return colours.size; })""")
    check(len(painted) == 2 and min(painted) > 20, f"many runs: canvases not drawn ({painted} colours)")
    check(browser.run("return document.querySelector('.chart').getBoundingClientRect().bottom"
                      " < document.querySelector('table.runs').getBoundingClientRect().top"), "many runs: plots not first")
    worse = browser.run("return [...document.querySelectorAll('table.compare tr.worse')].map((r) => r.cells[1].textContent)")
    check(worse == HOSTS[1:], f"many runs: the slower hosts not marked worse ({worse})")
    column = "[...document.querySelectorAll('table.runs tbody tr')].map((r) => r.cells[2].textContent)"
    check(len(browser.run(f"return {column}")) == 200, "many runs: not 200 rows")
    for direction in (1, -1):
        durations = browser.run(f"document.querySelectorAll('table.runs th')[2].click(); return {column}.map(Number)")
        check(durations == sorted(durations, reverse=direction < 0), f"many runs: not sorted by duration ({direction})")
    hosts = browser.run("""const box = document.querySelector('input[type=search]');
        box.value = 'node-b'; box.dispatchEvent(new Event('input'));
        return [...document.querySelectorAll('table.runs tbody tr')].map((r) => r.cells[1].textContent)""")
    check(hosts == ["node-b"] * len(range(1, 200, 3)), "many runs: filter by host")


def main():
    if not browser_page.available():
        if os.environ.get("MEKAL_REQUIRE_ALL") == "1":
            sys.exit("chromium and chromium-driver are required (MEKAL_REQUIRE_ALL=1)")
        print("skipped: no chromium or chromedriver")
        sys.exit(77)
    shutil.rmtree(WORK, ignore_errors=True)
    os.makedirs(os.path.join(WORK, "runs"))
    record_path = os.path.join(WORK, "run.json")
    environment = dict(os.environ, MEKAL_TEST_NOTE=PAYLOADS[1])
    if os.environ.get("MEKAL_TEST_PRELOAD"):  # a sanitizer's runtime goes first
        environment["LD_PRELOAD"] = os.environ["MEKAL_TEST_PRELOAD"]
    subprocess.run([RUN, "--env", "MEKAL_TEST_", "-o", record_path, "--", EXAMPLE, PAYLOADS[0]],
                   check=True, env=environment, stdout=subprocess.DEVNULL)
    with open(record_path) as f:
        record = json.load(f)
    browser_page.many_runs(record, 200, HOSTS, os.path.join(WORK, "runs"))
    browser = browser_page.Browser()
    try:
        one_run(browser, record, report(os.path.join(WORK, "one.html"), record_path))
        many_runs(browser, report(os.path.join(WORK, "many.html"), "--by", "hostname", "--metric", "walltime",
                                  os.path.join(WORK, "runs")))
        browser.run("const box = document.querySelector('input[type=search]');"
                    "box.value = ''; box.dispatchEvent(new Event('input')); window.scrollTo(0, 0)")
        browser.screenshot(os.path.join(WORK, "many.png"))
    finally:
        browser.close()
    print(f"{len(failures)} failed" if failures else f"pages checked in Chromium; screenshots in {WORK}")
    sys.exit(1 if failures else 0)


main()
