"""Opens pages in headless Chromium through chromedriver's WebDriver interface
(standard library only), and makes run records of many runs from a real one.
Shared by tests/tools/report_browser_test.py and bench/report_page.py."""
import base64, copy, json, os, random, shutil, socket, subprocess, tempfile, time, urllib.request

CHROMIUM, CHROMEDRIVER = "/usr/bin/chromium", "/usr/bin/chromedriver"


def available():
    return os.access(CHROMIUM, os.X_OK) and os.access(CHROMEDRIVER, os.X_OK)


class Browser:
    """One headless Chromium with a fresh profile, driven over loopback."""

    def __init__(self, width=1280, height=900):
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            self.port = s.getsockname()[1]
        self.profile = tempfile.mkdtemp(prefix="mekal-chromium-")
        self.driver = subprocess.Popen([CHROMEDRIVER, f"--port={self.port}"],
                                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        for _ in range(100):
            try:
                if self._call("GET", "/status")["ready"]:
                    break
            except OSError:
                time.sleep(0.1)
        args = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                "--disable-background-networking", "--disable-component-update", "--disable-sync",
                f"--user-data-dir={self.profile}", f"--window-size={width},{height}"]
        caps = {"browserName": "chrome", "goog:chromeOptions": {"binary": CHROMIUM, "args": args},
                "goog:loggingPrefs": {"browser": "ALL", "performance": "ALL"}}
        self.session = self._call("POST", "/session", {"capabilities": {"alwaysMatch": caps}})["sessionId"]

    def _call(self, method, path, body=None):
        data = None if body is None else json.dumps(body).encode()
        request = urllib.request.Request(f"http://127.0.0.1:{self.port}{path}", data, method=method,
                                         headers={"Content-Type": "application/json"})
        with urllib.request.urlopen(request, timeout=120) as answer:
            return json.load(answer)["value"]

    def command(self, method, path, body=None):
        return self._call(method, f"/session/{self.session}{path}", body)

    def open(self, path):
        self.command("POST", "/url", {"url": "file://" + os.path.abspath(path)})

    def run(self, script, *args):
        return self.command("POST", "/execute/sync", {"script": script, "args": list(args)})

    def wait_for(self, script, seconds=30):
        deadline = time.monotonic() + seconds
        while (value := self.run(script)) is None and time.monotonic() < deadline:
            time.sleep(0.05)
        return value

    def console(self):
        return self.command("POST", "/se/log", {"type": "browser"})

    def requests(self, page=""):
        """The URLs the page (a file) asked for since the last call."""
        document = "file://" + os.path.abspath(page)
        events = (json.loads(e["message"])["message"] for e in self.command("POST", "/se/log", {"type": "performance"}))
        return [e["params"]["request"]["url"] for e in events if e["method"] == "Network.requestWillBeSent"
                and e["params"].get("documentURL") == document]

    def screenshot(self, path):
        with open(path, "wb") as out:
            out.write(base64.b64decode(self.command("GET", "/screenshot")))

    def close(self):
        try:
            self.command("DELETE", "")
        finally:
            self.driver.terminate()
            self.driver.wait()
            shutil.rmtree(self.profile, ignore_errors=True)


def many_runs(record, count, hosts, directory, seed=1):
    """count copies of a real record, as runs on hosts one after another, ten
    minutes apart, each host with its own speed; written to directory."""
    random.seed(seed)
    start = 1_780_000_000
    for i in range(count):
        run, host = copy.deepcopy(record), hosts[i % len(hosts)]
        run["program"]["host"], run["program"]["pid"] = host, 1000 + i
        when = time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(start + 600 * i))
        changed = {"hostname": host, "launchdate": when,
                   "walltime": round((1 + hosts.index(host) * 0.25) * random.uniform(9.5, 10.5), 6)}
        for entry in run["values"]:
            entry["recorded"] = when[:-1] + ".000000000Z"
            if entry["name"] in changed:
                entry["value"] = changed[entry["name"]]
        with open(os.path.join(directory, f"run-{i:05d}.json"), "w") as out:
            json.dump(run, out)
