"""contrib/'s alerting rules under promtool, its dashboard's queries against what `serve` exports, Debian's
Prometheus scraping `serve` on loopback and firing an alert for a scale pulled, and the systemd unit under
systemd-analyze.

    test_operations.py CASE   (prometheus_rules, grafana_dashboard, prometheus_scrape or systemd_unit;
                               exit status 77: skipped)
"""
import contextlib
import json
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.parse
import urllib.request

import yaml

from test_service import Service, Simulator

CONTRIB = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "contrib")
RULES = os.path.join(CONTRIB, "prometheus", "wsr37100.rules.yml")
RULE_TESTS = os.path.join(CONTRIB, "prometheus", "wsr37100.rules.test.yml")
DASHBOARD = os.path.join(CONTRIB, "grafana", "wsr37100.json")
GUIDE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "docs", "operations.md")
UNIT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "service", "wsr37100-serve.service.in")
# The most `systemd-analyze security` may rate the unit's exposure.
MOST_EXPOSURE = 2.5
# PromQL's words that are no series: operators, and the label lists after them.
KEYWORDS = {"and", "or", "unless", "offset", "bool", "inf", "nan"}
LABEL_LISTS = r"\b(by|without|on|ignoring|group_left|group_right)\s*\([^)]*\)"


def exported():
    """The series a running service exports, each of a histogram's three, and Prometheus's own `up`."""
    with Simulator("--weight", "1.5") as scale, Service("--scale", "counter=%s,no-log" % scale.port) as service:
        text = service.call("/metrics")[2]
    names = {"up"}
    for line in text.splitlines():
        if line.startswith("# TYPE "):
            _, _, name, kind = line.split(" ")
            names |= {name + end for end in ("_bucket", "_sum", "_count")} if kind == "histogram" else {name}
    return names


def series_in(query):
    """The series names a PromQL query reads: what is left without strings, matchers, ranges, label lists, calls."""
    query = re.sub(r'"[^"]*"', "", query)
    query = re.sub(r"\{[^}]*\}|\[[^\]]*\]", " ", query)
    query = re.sub(LABEL_LISTS, " ", query)
    words = re.findall(r"(?<![\w.])([A-Za-z_:][\w:]*)\b(?!\s*\()", query)
    return {word for word in words if word.lower() not in KEYWORDS}


def load(path):
    with open(path) as file:
        return yaml.safe_load(file)


class RulesTest(unittest.TestCase):
    def test_rules_load_and_their_tests_pass(self):
        for command in (["promtool", "check", "rules", RULES], ["promtool", "test", "rules", RULE_TESTS]):
            result = subprocess.run(command, capture_output=True, text=True, timeout=60)
            self.assertEqual(result.returncode, 0, result.stdout + result.stderr)

    def test_every_alert_has_a_firing_and_a_quiet_case_over_exported_series(self):
        names = exported()
        rules = [rule for group in load(RULES)["groups"] for rule in group["rules"]]
        tests = load(RULE_TESTS)["tests"]
        cases = [case for test in tests for case in test["alert_rule_test"]]
        inputs = [entry["series"] for test in tests for entry in test["input_series"]]
        for rule in rules:
            with self.subTest(rule=rule["alert"]):
                self.assertLessEqual(series_in(rule["expr"]), names)
                self.assertTrue(series_in(rule["expr"]))
                outcomes = {bool(case["exp_alerts"]) for case in cases if case["alertname"] == rule["alert"]}
                self.assertEqual(outcomes, {True, False}, "a firing and a quiet case")
        self.assertLessEqual({series.split("{")[0] for series in inputs}, names)


    def test_every_alert_says_what_to_do_and_links_its_section(self):
        with open(GUIDE) as file:
            headings = re.findall(r"(?m)^#+ (.+)$", file.read())
        # GitHub's anchors: lower case, punctuation dropped, spaces as hyphens.
        anchors = {re.sub(r"[^\w\- ]", "", heading.strip().lower()).replace(" ", "-") for heading in headings}
        for rule in [rule for group in load(RULES)["groups"] for rule in group["rules"]]:
            with self.subTest(rule=rule["alert"]):
                annotations = rule["annotations"]
                self.assertTrue(annotations.get("action", "").strip())
                self.assertNotIn("\n", annotations["action"].strip(), "one line")
                link = re.fullmatch(r"docs/operations\.md#([\w-]+)", annotations.get("runbook_url", ""))
                self.assertTrue(link, annotations.get("runbook_url"))
                self.assertIn(link.group(1), anchors)


class DashboardTest(unittest.TestCase):
    def test_every_query_names_exported_series(self):
        names = exported()
        dashboard = load(DASHBOARD)  # JSON is YAML
        queries = [target["expr"] for panel in dashboard["panels"] for target in panel["targets"]]
        queries += [variable["query"]["query"] for variable in dashboard["templating"]["list"] if variable["type"] == "query"]
        self.assertTrue(queries)
        for query in queries:
            with self.subTest(query=query):
                query = re.sub(r"label_values\(([^,]*),[^)]*\)", r"\1", query)
                self.assertTrue(series_in(query))
                self.assertLessEqual(series_in(query), names)


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


@contextlib.contextmanager
def prometheus(folder, target):
    """Debian's Prometheus on loopback, its configuration and data in folder, scraping target every second under
    the shipped rules with their waits (`for:`) cut to nothing; yields its API's address."""
    with open(RULES) as file:
        rules = re.sub(r"(?m)^(\s+for:) \S+$", r"\1 0s", file.read())
    with open(os.path.join(folder, "rules.yml"), "w") as file:
        file.write(rules)
    config = {"global": {"scrape_interval": "1s", "evaluation_interval": "1s"}, "rule_files": ["rules.yml"],
              "scrape_configs": [{"job_name": "wsr37100", "static_configs": [{"targets": [target]}]}]}
    with open(os.path.join(folder, "prometheus.yml"), "w") as file:
        json.dump(config, file)
    address = "127.0.0.1:%d" % free_port()
    with open(os.path.join(folder, "prometheus.log"), "w+") as log:
        process = subprocess.Popen(["prometheus", "--config.file=" + os.path.join(folder, "prometheus.yml"),
                                    "--storage.tsdb.path=" + os.path.join(folder, "data"),
                                    "--web.listen-address=" + address], stdout=log, stderr=log)
        try:
            yield "http://" + address
        except Exception:
            log.seek(0)
            sys.stderr.write("Prometheus said:\n" + log.read()[-4000:])
            raise
        finally:
            process.terminate()
            process.wait(timeout=30)


def ask(api, path, **query):
    with urllib.request.urlopen(api + path + "?" + urllib.parse.urlencode(query), timeout=5) as answer:
        return json.load(answer)["data"]


def wait_for(check, seconds, what):
    deadline = time.monotonic() + seconds
    while True:
        try:
            if check():
                return
        except OSError:
            pass  # not listening yet
        if time.monotonic() > deadline:
            raise AssertionError("%s within %d s" % (what, seconds))
        time.sleep(0.5)


class ScrapeTest(unittest.TestCase):
    def test_a_scale_pulled_fires_its_alert(self):
        with tempfile.TemporaryDirectory() as folder, Simulator("--weight", "1.5") as counter, \
                Simulator("--weight", "2.5") as deli, \
                Service("--scale", "counter=%s,log-dir=%s" % (counter.port, folder), "--scale", "deli=%s,no-log" % deli.port) as service, \
                prometheus(folder, "127.0.0.1:%d" % service.port) as api:
            def firing():
                alerts = ask(api, "/api/v1/alerts")["alerts"]
                return {(alert["labels"]["alertname"], alert["labels"].get("scale")) for alert in alerts
                        if alert["state"] == "firing"}

            # Both read (before their first reading they count as down, which with no wait fires at once).
            wait_for(lambda: len(ask(api, "/api/v1/query", query='wsr37100_scale_state{state="weight"} == 1')["result"]) == 2
                     and not firing(), 60, "both scales reading and no alert")
            # One state at a time for each scale, and the limits in force.
            self.assertEqual(len(ask(api, "/api/v1/query", query="wsr37100_scale_state == 1")["result"]), 2)
            dropped = ask(api, "/api/v1/query", query="wsr37100_log_dropped_lines")["result"]
            self.assertEqual([(each["metric"]["folder"], each["value"][1]) for each in dropped], [(folder, "0")])
            limits = ask(api, "/api/v1/query", query='{__name__=~"wsr37100_(connections|streams)_limit"}')["result"]
            self.assertEqual(sorted((limit["metric"]["__name__"], limit["value"][1]) for limit in limits),
                             [("wsr37100_connections_limit", "256"), ("wsr37100_streams_limit", "192")])
            deli.process.terminate()
            deli.process.wait(timeout=10)
            wait_for(lambda: firing(), 60, "an alert fires")
            self.assertEqual(firing(), {("Wsr37100ScaleWithoutReading", "deli")})


def rendered_unit(folder):
    """The unit as installed, its program this build's and its configuration in folder."""
    with open(UNIT) as file:
        text = file.read()
    text = text.replace("@CMAKE_INSTALL_FULL_BINDIR@", os.path.dirname(os.path.abspath(os.environ["WSR37100_TOOL"])))
    text = text.replace("@CMAKE_INSTALL_FULL_SYSCONFDIR@", folder)
    assert not re.search(r"@[A-Z_]+@", text), "a placeholder the test does not fill"
    path = os.path.join(folder, "wsr37100-serve.service")
    with open(path, "w") as file:
        file.write(text)
    return path, text


class UnitTest(unittest.TestCase):
    def test_the_unit_verifies_and_is_rated_within_bounds(self):
        with tempfile.TemporaryDirectory() as folder:
            path, _ = rendered_unit(folder)
            verify = subprocess.run(["systemd-analyze", "verify", "--man=no", path], capture_output=True, text=True,
                                    timeout=60)
            self.assertEqual(verify.returncode, 0, verify.stdout + verify.stderr)
            # Unknown or misspelt settings are warnings only: none may be about this unit.
            self.assertNotIn("wsr37100-serve.service:", verify.stderr)
            security = subprocess.run(["systemd-analyze", "security", "--offline=yes", "--no-pager", path],
                                      capture_output=True, text=True, timeout=60)
            rating = re.search(r"Overall exposure level for \S+: (\d+\.\d+)", security.stdout)
            self.assertTrue(rating, security.stdout + security.stderr)
            self.assertLessEqual(float(rating.group(1)), MOST_EXPOSURE, security.stdout)

    def test_the_unit_leaves_serial_ports_networks_and_the_token_open(self):
        with tempfile.TemporaryDirectory() as folder:
            _, text = rendered_unit(folder)
        settings = {}
        for line in text.splitlines():
            if "=" in line and not line.startswith("#"):
                key, value = line.split("=", 1)
                settings.setdefault(key, []).append(value)
        # What the service needs, against what would rate better and break it.
        for key, needed in [("DeviceAllow", "char-ttyS rw"), ("DeviceAllow", "char-ttyUSB rw"),
                            ("DeviceAllow", "char-ttyACM rw"), ("ReadWritePaths", "-/run/lock"),
                            ("SupplementaryGroups", "dialout"), ("LoadCredential", "wsr37100-token"),
                            ("LogsDirectory", "wsr37100")]:
            with self.subTest(key=key, needed=needed):
                self.assertIn(needed, settings.get(key, []))
        families = " ".join(settings.get("RestrictAddressFamilies", [])).split()
        self.assertLessEqual({"AF_INET", "AF_INET6"}, set(families))
        for key in ("PrivateDevices", "PrivateNetwork", "IPAddressDeny", "PrivateUsers"):
            with self.subTest(closed=key):
                self.assertNotIn(key, settings)


PACKAGES = {"promtool": "prometheus", "prometheus": "prometheus", "systemd-analyze": "systemd"}
CASES = {"prometheus_rules": (RulesTest, "promtool"), "grafana_dashboard": (DashboardTest, None),
         "prometheus_scrape": (ScrapeTest, "prometheus"), "systemd_unit": (UnitTest, "systemd-analyze")}

if __name__ == "__main__":
    case, program = CASES[sys.argv[1]]
    if program and not shutil.which(program):
        if os.environ.get("CI") == "true":
            sys.exit("CI: %s is missing (Debian's %s package)" % (program, PACKAGES[program]))
        print("skip: %s is not installed (Debian's %s package)" % (program, PACKAGES[program]))
        sys.exit(77)
    suite = unittest.defaultTestLoader.loadTestsFromTestCase(case)
    sys.exit(0 if unittest.TextTestRunner(verbosity=2).run(suite).wasSuccessful() else 1)
