"""A web point of sale served from the internet reads the scale in headless Chromium: a page at
https://pos.example (made a public address), the JavaScript client, and the service on loopback. With the
browser's Local Network Access policy the page reads the weight and follows a change; without it the client's
error says Local Network Access; from an origin the service does not allow, the error names the option and the
status page lists the origin. The policy is written only inside a private mount namespace, over a tmpfs on
Chromium's configuration folder, so the machine's own browser policy is never touched."""
import http.server
import json
import os
import shutil
import socketserver
import ssl
import subprocess
import tempfile
import threading
import time
import unittest

from test_page import CHROMIUM, SOURCE, Browser
from test_service import Service
from test_tool import Simulator

CLIENT = os.path.join(SOURCE, "clients", "js", "src")
POLICY_FOLDER = "/etc/chromium"  # Debian's Chromium reads its managed policy in policies/managed below it

# The till page: one reading, then a follower; what happened is kept in window.till for the test to read.
PAGE = """<!doctype html><meta charset="utf-8"><title>till</title>
<script type="module">
import { createClient } from "/client/index.js";
const till = window.till = { reading: null, updates: [] };
const scales = createClient("%(service)s");
try {
  const got = await scales.reading("counter");
  till.reading = { weight: got.weight };
} catch (error) {
  till.reading = { error: error.name, message: error.message };
}
if (till.reading.weight !== undefined) {
  scales.follow("counter", ({ live, weight }) => till.updates.push({ live, weight }));
}
</script>"""


def can_unshare():
    return shutil.which("unshare") is not None and subprocess.run(
        ["unshare", "-m", "true"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode == 0


class Pages(http.server.SimpleHTTPRequestHandler):
    """The point of sale's files: the page at / and the client under /client/."""

    def translate_path(self, path):
        path = path.split("?", 1)[0]
        if path.startswith("/client/"):
            return os.path.join(CLIENT, os.path.normpath(path[len("/client/"):]).lstrip("./"))
        return os.path.join(self.server.folder, "index.html")

    def end_headers(self):
        self.send_header("Cache-Control", "no-store")
        super().end_headers()

    def log_message(self, *args):
        pass


class HttpsSite(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True


@unittest.skipUnless(CHROMIUM and shutil.which("openssl") and can_unshare(),
                     "needs chromium, openssl and a private mount namespace (root)")
class WebPointOfSaleTest(unittest.TestCase):
    def test_a_public_https_page_reads_the_scale_only_when_allowed(self):
        cases = [  # the browser's policy allows the page; the service allows its origin; what the page gets
            (True, True, "weight"),
            (False, True, "LocalNetworkAccessError"),
            (True, False, "OriginNotAllowedError"),
        ]
        with tempfile.TemporaryDirectory() as folder:
            site = self.start_site(folder)
            origin = "https://pos.example:%d" % site.server_port
            link = os.path.join(folder, "scale")
            with Simulator("--weight", "1.25", "--link", link, stdin=subprocess.PIPE) as scale:
                for policy, allowed, outcome in cases:
                    with self.subTest(policy=policy, allowed=allowed):
                        others = ("--allow-origin", origin) if allowed else ("--allow-origin", "https://other.example")
                        with Service("--scale", "counter=%s,no-log" % link, *others) as service:
                            self.visit(folder, site, service, origin, policy, allowed, outcome, scale)
            site.shutdown()

    def start_site(self, folder):
        key, certificate = os.path.join(folder, "key.pem"), os.path.join(folder, "cert.pem")
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1", "-subj",
                        "/CN=pos.example", "-addext", "subjectAltName=DNS:pos.example", "-keyout", key, "-out",
                        certificate], check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        site = HttpsSite(("127.0.0.1", 0), Pages)
        site.folder = folder
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(certificate, key)
        site.socket = context.wrap_socket(site.socket, server_side=True)
        threading.Thread(target=site.serve_forever, daemon=True).start()
        return site

    def visit(self, folder, site, service, origin, policy, allowed, outcome, scale):
        with open(os.path.join(folder, "index.html"), "w") as page:
            page.write(PAGE % {"service": "http://127.0.0.1:%d" % service.port})
        with open(os.path.join(folder, "policy.json"), "w") as file:
            json.dump({"LocalNetworkAccessAllowedForUrls": [origin] if policy else []}, file)
        # Chromium in a mount namespace of its own, where a tmpfs over its configuration folder holds the policy.
        prefix = ["unshare", "-m", "sh", "-c",
                  'mount -t tmpfs tmpfs "$1" && mkdir -p "$1/policies/managed" && cp "$2" "$1/policies/managed/" '
                  '&& shift 2 && exec "$@"', "sh", POLICY_FOLDER, os.path.join(folder, "policy.json")]
        arguments = ["--host-resolver-rules=MAP pos.example 127.0.0.1", "--ignore-certificate-errors",
                     "--ip-address-space-overrides=127.0.0.1:%d=public" % site.server_port]
        profile = tempfile.mkdtemp(dir=folder)
        browser = Browser(profile, arguments, prefix)
        try:
            browser.page("Page.enable")
            browser.page("Page.navigate", url=origin + "/")
            reading = browser.wait_for("window.till && window.till.reading", lambda value: value, 30)
            self.assertIsNotNone(reading, "the page read nothing")
            if outcome == "weight":
                self.assertEqual(reading, {"weight": 1.25})
                # The follower is live with the weight, and follows a change.
                updates = browser.wait_for("window.till.updates", lambda got: {"live": True, "weight": 1.25} in got, 10)
                self.assertIn({"live": True, "weight": 1.25}, updates)
                scale.process.stdin.write("2.5\n")
                scale.process.stdin.flush()
                updates = browser.wait_for("window.till.updates", lambda got: {"live": True, "weight": 2.5} in got, 10)
                self.assertIn({"live": True, "weight": 2.5}, updates)
                scale.process.stdin.write("1.25\n")
                scale.process.stdin.flush()
            else:
                self.assertEqual(reading.get("error"), outcome, reading)
                if outcome == "LocalNetworkAccessError":
                    self.assertIn("Local Network Access", reading["message"])
                else:
                    self.assertIn("--allow-origin " + origin, reading["message"])
                    # The shop sees it on the status page too.
                    listed = service.call("/v1/scales")[2]["refused_origins"]
                    self.assertIn(origin, [each["origin"] for each in listed])
                    browser.page("Page.navigate", url="http://127.0.0.1:%d/" % service.port)
                    shown = browser.wait_for("document.getElementById('refused') && "
                                             "document.getElementById('refused').textContent",
                                             lambda text: text and origin in text, 15)
                    self.assertIn("--allow-origin " + origin, shown or "")
        finally:
            browser.close()


if __name__ == "__main__":
    unittest.main()
