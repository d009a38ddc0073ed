"""The status page in headless Chromium: it shows a simulated scale's weight, then the new weight once the scale
changes, with no reload. Chromium is driven over its DevTools pipe; a screenshot of each step is kept."""
import base64
import fcntl
import json
import os
import shutil
import subprocess
import tempfile
import time
import unittest

from test_service import Service, Simulator

ARTIFACTS = os.environ.get("WSR37100_ARTIFACTS", tempfile.gettempdir())
CHROMIUM = shutil.which("chromium") or shutil.which("chromium-browser")


class Browser:
    """Headless Chromium and one page, spoken to through --remote-debugging-pipe (fds 3 and 4)."""

    def __init__(self, profile):
        to_browser_read, self.to_browser = os.pipe()
        self.from_browser, from_browser_write = os.pipe()

        # fds 3 and 4 in the child, as the pipe protocol wants them; the pipe's own are above them.
        def fds():
            reading = fcntl.fcntl(to_browser_read, fcntl.F_DUPFD, 10)
            writing = fcntl.fcntl(from_browser_write, fcntl.F_DUPFD, 10)
            os.dup2(reading, 3)
            os.dup2(writing, 4)

        self.process = subprocess.Popen(
            [CHROMIUM, "--headless=new", "--no-sandbox", "--disable-gpu", "--remote-debugging-pipe",
             "--no-first-run", "--disable-extensions", "--disable-background-networking", "--window-size=900,500",
             "--user-data-dir=" + profile, "about:blank"],
            preexec_fn=fds, pass_fds=(3, 4, to_browser_read, from_browser_write),
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(to_browser_read)
        os.close(from_browser_write)
        self.pending = b""
        self.next_id = 0
        target = self.send("Target.createTarget", url="about:blank")["targetId"]
        self.session = self.send("Target.attachToTarget", targetId=target, flatten=True)["sessionId"]

    def send(self, method, session=None, **params):
        self.next_id += 1
        message = {"id": self.next_id, "method": method, "params": params}
        if session:
            message["sessionId"] = session
        os.write(self.to_browser, json.dumps(message).encode() + b"\0")
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline:
            while b"\0" not in self.pending:
                chunk = os.read(self.from_browser, 65536)
                if not chunk:
                    raise RuntimeError("chromium closed its pipe")
                self.pending += chunk
            text, self.pending = self.pending.split(b"\0", 1)
            reply = json.loads(text)
            if reply.get("id") == self.next_id:
                if "error" in reply:
                    raise RuntimeError("%s: %s" % (method, reply["error"]))
                return reply["result"]
        raise RuntimeError(method + ": no answer")

    def page(self, method, **params):
        return self.send(method, session=self.session, **params)

    def evaluate(self, expression):
        return self.page("Runtime.evaluate", expression=expression, returnByValue=True)["result"].get("value")

    def wait_for(self, expression, expected, seconds=10.0):
        deadline = time.monotonic() + seconds
        while True:
            value = self.evaluate(expression)
            if value == expected or time.monotonic() > deadline:
                return value
            time.sleep(0.1)

    def screenshot(self, path):
        with open(path, "wb") as file:
            file.write(base64.b64decode(self.page("Page.captureScreenshot", format="png")["data"]))

    def close(self):
        try:
            self.send("Browser.close")
        except RuntimeError:
            pass
        try:
            self.process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        os.close(self.to_browser)
        os.close(self.from_browser)


@unittest.skipUnless(CHROMIUM, "chromium is not installed (scripts/install-deps.sh installs it)")
class StatusPageTest(unittest.TestCase):
    def test_page_follows_the_scale(self):
        os.makedirs(ARTIFACTS, exist_ok=True)
        weight = "document.querySelector('#scale-counter .weight')?.textContent"
        state = "document.querySelector('#scale-counter .state')?.textContent"
        with tempfile.TemporaryDirectory() as folder:
            link = os.path.join(folder, "scale")
            # Seven scales with no device before the one that changes: a browser keeps only six
            # connections to one host, so the page must follow them all over one.
            others = [arg for n in range(7) for arg in ("--scale", "gone%d=%s,no-log" % (n, os.path.join(folder, "none%d" % n)))]
            with Service(*others, "--scale", "counter=%s:9600,gap=20,no-log" % link) as service:
                browser = Browser(os.path.join(folder, "profile"))
                try:
                    steps = [  # simulator, what the card shows, state, screenshot
                        (["--weight", "2.5"], "2.500 kg", "weight", "status-page-weight.png"),
                        (["--status", "I"], "—", "unstable", "status-page-unstable.png"),
                        (["--weight", "13.375"], "13.375 kg", "weight", "status-page-new-weight.png"),
                    ]
                    for number, (sim_args, shown, shown_state, picture) in enumerate(steps):
                        with self.subTest(sim=sim_args), Simulator(*sim_args, "--link", link):
                            if number == 0:
                                browser.page("Page.navigate", url="http://127.0.0.1:%d/" % service.port)
                            self.assertEqual(browser.wait_for(state, shown_state), shown_state)
                            self.assertEqual(browser.evaluate(weight), shown)
                            browser.evaluate("document.getElementById('scale-counter').scrollIntoView()")
                            browser.screenshot(os.path.join(ARTIFACTS, picture))
                        # The scale is gone between steps: the same page says so, then follows the next one.
                        self.assertEqual(browser.wait_for(state, "no-reading"), "no-reading")
                    self.assertEqual(browser.evaluate("document.getElementById('link').textContent"), "live")
                    self.assertEqual(browser.evaluate("document.querySelectorAll('.scale .state').length"), 8)
                    self.assertEqual(browser.evaluate("document.querySelector('#scale-gone6 .state').textContent"),
                                     "no-reading")
                    self.assertEqual(browser.evaluate("performance.getEntriesByType('navigation').length"), 1)
                    # Nothing from outside: every resource the page loaded is the service's own.
                    origins = browser.evaluate(
                        "performance.getEntriesByType('resource').map(e => new URL(e.name).origin)")
                    self.assertEqual(set(origins), {"http://127.0.0.1:%d" % service.port})
                finally:
                    browser.close()


if __name__ == "__main__":
    unittest.main()
