"""The status page in headless Chromium, through each state a shop owner sees: a weight, a moving scale, no scale,
and a service that is gone (nothing shown as live, and live again once it is back), in English and Portuguese.
Chromium is driven over its DevTools pipe; a screenshot of each state is kept (in WSR37100_SCREENSHOTS when set)."""
import base64
import fcntl
import json
import os
import re
import shutil
import signal
import subprocess
import tempfile
import time
import unittest

from test_service import Service, Simulator

# WSR37100_SCREENSHOTS=docs/images keeps them beside the guides (a relative folder is the source tree's).
SOURCE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
ARTIFACTS = os.path.join(SOURCE, os.environ.get("WSR37100_SCREENSHOTS") or os.environ.get("WSR37100_ARTIFACTS", tempfile.gettempdir()))
CHROMIUM = shutil.which("chromium") or shutil.which("chromium-browser")


class Browser:
    """Headless Chromium and one page, spoken to through --remote-debugging-pipe (fds 3 and 4)."""

    def __init__(self, profile, arguments=(), prefix=()):
        to_browser_read, self.to_browser = os.pipe()
        self.from_browser, from_browser_write = os.pipe()

        # fds 3 and 4 in the child, as the pipe protocol wants them; the pipe's own are above them.
        def fds():
            reading = fcntl.fcntl(to_browser_read, fcntl.F_DUPFD, 10)
            writing = fcntl.fcntl(from_browser_write, fcntl.F_DUPFD, 10)
            os.dup2(reading, 3)
            os.dup2(writing, 4)

        self.process = subprocess.Popen(
            [*prefix, CHROMIUM, *arguments, "--headless=new", "--no-sandbox", "--disable-gpu", "--remote-debugging-pipe",
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

    def wait_for(self, expression, check, seconds):
        """The expression's value once check(value) holds, or its last value after `seconds`."""
        deadline = time.monotonic() + seconds
        while True:
            try:
                value = self.evaluate(expression)
            except RuntimeError as error:  # a page being loaded has no context to evaluate in yet
                value = str(error)
            if check(value) or time.monotonic() > deadline:
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


# What the page shows of the scale "counter", and of every card, in one look.
LOOK = """(() => {
  const card = document.getElementById('scale-counter');
  if (!card || !card.dataset.state) return null;
  const weight = card.querySelector('.weight');
  return {state: card.dataset.state, live: card.dataset.live === 'yes', weight: weight.textContent,
          text: card.innerText, struck: getComputedStyle(weight).textDecorationLine.includes('line-through'),
          link: document.getElementById('link').className, language: document.documentElement.lang,
          cards: document.querySelectorAll('.scale').length,
          live_cards: document.querySelectorAll('.scale[data-live="yes"]').length,
          live_tags: document.querySelectorAll('.scale .state.good').length,
          overflow: document.documentElement.scrollWidth - window.innerWidth, loaded: performance.timeOrigin};
})()"""

STATES = [
    # name, simulator (None: no scale), the service (running, ended, or frozen: stopped without a word),
    # browser language, the switch pressed, width, then what the card shows: state, live, weight (or one of
    # several), words; the screenshot of a state; and how many of the page's own requests pass with no
    # new event stream
    ("portuguese", ["--weight", "2.5"], "running", "pt-BR", False, 900, "weight", True, "2,500 kg", "Peso estável", "pt-BR", 0),
    ("english-chosen", ["--weight", "2.5"], "running", "pt-BR", True, 900, "weight", True, "2.500 kg", "Stable weight", None, 0),
    ("unstable", ["--status", "I"], "running", "en-US", False, 900, "unstable", True, "—", "not steady", "unstable", 0),
    ("no-reading", None, "running", "en-US", False, 375, "no-reading", True, "—", "Scale not found — check the cable",
     "no-reading-phone", 0),
    ("weight", ["--weight", "0.785"], "running", "en-US", False, 900, "weight", True, "0.785 kg", "Stable weight", "weight", 0),
    ("ended", ["--weight", "0.785"], "ended", "en-US", False, 900, "weight", False, "0.785 kg", "No connection", "not-live", 0),
    ("running-again", ["--weight", "13.375"], "running", "en-US", False, 900, "weight", True, "13.375 kg", "Stable weight",
     None, 0),
    ("frozen", ["--weight", "13.375"], "frozen", "en-US", False, 900, "weight", False, "13.375 kg", "No connection", None, 0),
    ("thawed", ["--weight", "13.375"], "running", "en-US", False, 900, "weight", True, "13.375 kg", "Stable weight", None, 0),
    # A scale whose weight changes at every poll: the page follows it on the stream it has.
    ("moving", ["--sequence", "1.5,1.625"], "running", "en-US", False, 900, "weight", True, ("1.500 kg", "1.625 kg"),
     "Stable weight", None, 3),
]
SCALES = 8
NOT_LIVE_WITHIN = 3.0  # seconds after the service ended
SETTLE_WITHIN = 30.0   # any other state, on a loaded machine


def answered(service, route):
    """How many requests on a route the service has answered with 200, from its metrics."""
    text = service.call("/metrics")[2]
    found = re.search(r'^wsr37100_http_requests_total\{route="%s",code="200"\} (\d+)$' % route, text, re.MULTILINE)
    return int(found.group(1)) if found else 0


@unittest.skipUnless(CHROMIUM, "chromium is not installed (scripts/install-deps.sh installs it)")
class StatusPageTest(unittest.TestCase):
    def test_page_states(self):
        os.makedirs(ARTIFACTS, exist_ok=True)
        with tempfile.TemporaryDirectory() as folder:
            # A long device name: the card wraps it, on a phone as well.
            link = os.path.join(folder, "counter-scale-on-a-rather-long-device-name")
            # Seven scales with no device before the one that changes: a browser keeps only six
            # connections to one host, so the page must follow them all over one.
            others = [arg for n in range(7) for arg in ("--scale", "gone%d=%s,no-log" % (n, os.path.join(folder, "none%d" % n)))]
            scales = (*others, "--scale", "counter=%s:9600,gap=20,no-log" % link)
            browser = Browser(os.path.join(folder, "profile"))
            service = simulator = None
            frozen = False
            simulated = language = "none"
            port = 0
            try:
                agent = browser.send("Browser.getVersion")["userAgent"]
                for name, sim_args, wanted, browser_language, switch, width, *shown, picture, asks in STATES:
                    with self.subTest(name):
                        state, live, weight, words = shown
                        if sim_args != simulated:
                            if simulator:
                                simulator.__exit__(None, None, None)
                            simulator = Simulator(*sim_args, "--link", link).__enter__() if sim_args else None
                            simulated = sim_args
                        if wanted == "running" and frozen:
                            service.process.send_signal(signal.SIGCONT)
                        frozen = wanted == "frozen"
                        if frozen:  # its connections stay open, and nothing comes through them
                            service.process.send_signal(signal.SIGSTOP)
                        if wanted == "running" and not service:
                            service = Service(*scales, port=port).__enter__()
                            port = service.port  # the same port again after a stop
                        ended = wanted == "ended" and service is not None
                        if ended:
                            service.__exit__(None, None, None)
                            service = None
                        browser.page("Emulation.setDeviceMetricsOverride", width=width, height=500 if width > 400 else 700,
                                     deviceScaleFactor=1, mobile=width < 400)
                        loaded = browser.evaluate("performance.timeOrigin")
                        navigated = browser_language != language or switch
                        if browser_language != language:
                            browser.page("Emulation.setUserAgentOverride", userAgent=agent, acceptLanguage=browser_language)
                            browser.page("Page.navigate", url="http://127.0.0.1:%d/" % port)
                            language = browser_language
                        if switch:
                            browser.evaluate("document.getElementById('language').click()")
                            browser.page("Page.reload")  # the choice is remembered

                        def shows(look):
                            return (isinstance(look, dict) and look["state"] == state and look["live"] == live
                                    and look["weight"] in (weight if isinstance(weight, tuple) else (weight,))
                                    and words in look["text"]
                                    and (not live or (look["link"], look["live_cards"]) == ("live", SCALES)))
                        look = browser.wait_for(LOOK, shows, NOT_LIVE_WITHIN if ended else SETTLE_WITHIN)
                        self.assertTrue(shows(look), look)
                        self.assertEqual(look["cards"], SCALES)
                        self.assertEqual(look["language"], "en" if switch or browser_language == "en-US" else "pt-BR")
                        if live:
                            self.assertEqual((look["link"], look["live_cards"], look["struck"]), ("live", SCALES, False))
                        else:  # every card at once, none with a live tag, the weight struck through
                            self.assertEqual((look["link"], look["live_cards"], look["live_tags"], look["struck"]),
                                             ("down", 0, 0, True))
                        self.assertLessEqual(look["overflow"], 0, "the page is wider than a %d px screen" % width)
                        if not navigated:
                            # The page follows the service by itself: it never reloads, not even to recover.
                            self.assertEqual(look["loaded"], loaded)
                        if asks:
                            streams, asked = answered(service, "events"), answered(service, "scales")
                            deadline = time.monotonic() + SETTLE_WITHIN
                            while answered(service, "scales") < asked + asks and time.monotonic() < deadline:
                                time.sleep(0.2)
                            self.assertGreaterEqual(answered(service, "scales"), asked + asks)
                            self.assertEqual(answered(service, "events"), streams)
                        if picture:
                            browser.evaluate("document.getElementById('scale-counter').scrollIntoView()")
                            browser.screenshot(os.path.join(ARTIFACTS, "status-page-%s.png" % picture))
                # Nothing from outside: every resource the page loaded is the service's own.
                origins = browser.evaluate("performance.getEntriesByType('resource').map(e => new URL(e.name).origin)")
                self.assertEqual(set(origins), {"http://127.0.0.1:%d" % port})
            finally:
                browser.close()
                if frozen:
                    service.process.send_signal(signal.SIGCONT)
                for process in (service, simulator):
                    if process:
                        process.__exit__(None, None, None)

    def test_token_given_in_the_address_bar(self):
        # The hint the page gives when denied, followed as written: the token typed after the page's address
        # is taken without a reload, leaves the address bar, and is kept for the tab.
        with tempfile.TemporaryDirectory() as folder:
            link, token_file = os.path.join(folder, "scale"), os.path.join(folder, "token")
            with open(token_file, "w") as file:
                file.write("s3cret-token\n")
            browser = Browser(os.path.join(folder, "profile"))
            try:
                with Simulator("--weight", "2.5", "--link", link), \
                        Service("--scale", "counter=%s:9600,gap=20,no-log" % link, "--token-file", token_file) as service:
                    page = "http://127.0.0.1:%d/" % service.port
                    browser.page("Page.navigate", url=page)
                    hint = browser.wait_for("document.getElementById('link').textContent", lambda text: "#token=" in str(text),
                                            SETTLE_WITHIN)
                    self.assertIn("#token=", hint)
                    loaded = browser.evaluate("performance.timeOrigin")
                    browser.evaluate("location.hash = '#token=s3cret-token'")

                    def weighs(look):
                        return isinstance(look, dict) and look["state"] == "weight" and look["live"]
                    look = browser.wait_for(LOOK, weighs, SETTLE_WITHIN)
                    self.assertTrue(weighs(look), look)
                    self.assertEqual((look["loaded"], browser.evaluate("location.href")), (loaded, page))
                    browser.page("Page.reload")
                    look = browser.wait_for(LOOK, lambda look: weighs(look) and look["loaded"] != loaded, SETTLE_WITHIN)
                    self.assertTrue(weighs(look) and look["loaded"] != loaded, look)
            finally:
                browser.close()


if __name__ == "__main__":
    unittest.main()
