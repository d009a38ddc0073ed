"""`wsr37100 serve` as a separate process, asked over loopback by Python's own HTTP client, against simulated scales."""
import contextlib
import fcntl
import http.client
import json
import os
import re
import resource
import select
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tool"))
from test_tool import Simulator  # noqa: E402  (the one helper that plays a scale)

TOOL = os.environ["WSR37100_TOOL"]
ERROR = "application/problem+json"


class Service:
    """`wsr37100 serve --port PORT ARGS` in the background (any free port by default); .port is where it listens.
    `files`: the process may open no more than this many (its soft and hard RLIMIT_NOFILE)."""

    def __init__(self, *args, port=0, files=None):
        self.args = args
        self.wanted_port = port
        self.files = files

    def __enter__(self):
        self.log = tempfile.TemporaryFile(mode="w+")
        limit = None if self.files is None else lambda: resource.setrlimit(resource.RLIMIT_NOFILE, (self.files, self.files))
        self.process = subprocess.Popen([TOOL, "serve", "--port", str(self.wanted_port), *self.args],
                                        stdout=subprocess.PIPE, stderr=self.log, text=True, preexec_fn=limit)
        address = self.process.stdout.readline().strip()
        if not address:
            self.process.wait(timeout=10)
            raise RuntimeError("serve printed no address: " + self.messages())
        self.port = int(address.rsplit(":", 1)[1].strip("/"))
        return self

    def __exit__(self, *exc):
        if self.process.poll() is None:
            self.process.terminate()
        self.process.wait(timeout=10)
        self.process.stdout.close()
        self.log.close()
        return False

    def messages(self):
        self.log.seek(0)
        return self.log.read()

    def wait_for_message(self, text, seconds=10.0):
        """The journal once it says `text`; fails after `seconds`."""
        deadline = time.monotonic() + seconds
        while text not in self.messages():
            if time.monotonic() > deadline:
                raise AssertionError("the journal never said %r; it said: %s" % (text, self.messages()))
            time.sleep(0.05)
        return self.messages()

    def call(self, path, method="GET", headers=None, body=None):
        """(status, headers, body: JSON when JSON, else text)."""
        connection = http.client.HTTPConnection("127.0.0.1", self.port, timeout=10)
        try:
            headers = dict(headers or {})
            connection.putrequest(method, path, skip_host="Host" in headers, skip_accept_encoding=True)
            for name, value in headers.items():
                connection.putheader(name, value)
            if body is not None:
                connection.putheader("Content-Length", str(len(body)))
            connection.endheaders(body)
            response = connection.getresponse()
            data = response.read().decode()
            kind = response.getheader("Content-Type", "")
            return response.status, response, json.loads(data) if "json" in kind and data else data
        finally:
            connection.close()

    def raw(self, data, read_until_close=True):
        with socket.create_connection(("127.0.0.1", self.port), timeout=10) as connection:
            connection.sendall(data)
            if read_until_close:
                connection.shutdown(socket.SHUT_WR)  # nothing more: the service closes after its answer
            chunks = []
            while read_until_close:
                chunk = connection.recv(65536)
                if not chunk:
                    break
                chunks.append(chunk)
            return b"".join(chunks).decode(errors="replace")

    def wait_for(self, path, check, seconds=5.0):
        """The JSON at path once check(json) holds; fails after `seconds`."""
        deadline = time.monotonic() + seconds
        while True:
            status, _, body = self.call(path)
            if status == 200 and check(body):
                return body
            if time.monotonic() > deadline:
                raise AssertionError("%s never matched; last: %s" % (path, body))
            time.sleep(0.05)


class Events:
    """One Server-Sent Events stream read line by line."""

    def __init__(self, port, path, headers=None):
        self.connection = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
        self.connection.request("GET", path, headers=headers or {})
        self.response = self.connection.getresponse()

    def next(self, seconds=5.0):
        """The next event as a dict of its fields (data parsed), or None when the stream ends."""
        self.connection.sock.settimeout(seconds)
        event = {}
        while True:
            line = self.response.readline().decode()
            if not line:
                return None
            line = line.rstrip("\n")
            if not line:
                if "data" in event:
                    event["data"] = json.loads(event["data"])
                    return event
                continue
            if line.startswith(":"):
                continue
            name, _, value = line.partition(": ")
            event[name] = value

    def close(self):
        self.connection.close()


def scale_link(folder, name="scale"):
    return os.path.join(folder, name)


class ApiTest(unittest.TestCase):
    def test_answers_and_errors(self):
        with tempfile.TemporaryDirectory() as folder:
            token = os.path.join(folder, "token")
            with open(token, "w") as file:
                file.write("s3cret\n")
            logs = os.path.join(folder, "logs")
            with Simulator("--weight", "2.5") as scale, Simulator("--status", "I") as moving, \
                    Simulator("--silent") as silent, \
                    Service("--scale", "counter=%s:9600,gap=20,no-log" % scale.port,
                            "--scale", "moving=%s,no-log" % moving.port, "--scale", "mute=%s,no-log" % silent.port,
                            "--scale", "logged=%s,log-dir=%s" % (scale_link(folder), logs),
                            "--allow-origin", "https://pos.example") as service, \
                    Service("--scale", "counter=%s,no-log" % scale.port, "--token-file", token) as guarded:
                service.wait_for("/v1/scales/counter", lambda body: body["state"] == "weight")
                service.wait_for("/v1/scales/moving", lambda body: body["state"] == "unstable")
                bearer = {"Authorization": "Bearer s3cret"}
                cases = [  # service, method, path, headers, status, content type, what the body holds
                    (service, "GET", "/v1/scales/counter/reading", {}, 200, "application/json",
                     {"name": "counter", "state": "weight"}),
                    (service, "GET", "/v1/scales/counter/reading?stable_ms=500", {}, 200, "application/json",
                     {"stable": True}),
                    (service, "GET", "/v1/scales/counter", {}, 200, "application/json", {"baud": "9600"}),
                    (service, "GET", "/health", {}, 200, "application/json", {"status": "degraded", "scales_up": 2}),
                    (service, "GET", "/", {}, 200, "text/html; charset=utf-8", "EventSource"),
                    (service, "GET", "/metrics", {}, 200, "text/plain; version=0.0.4; charset=utf-8",
                     'wsr37100_scale_weight_kilograms{scale="counter"} 2.5'),
                    (service, "GET", "/metrics", {}, 200, "text/plain; version=0.0.4; charset=utf-8",
                     'wsr37100_scale_state{scale="counter",state="weight"} 1\n'),
                    (service, "GET", "/metrics", {}, 200, "text/plain; version=0.0.4; charset=utf-8",
                     'wsr37100_scale_state{scale="moving",state="status"} 1\n'),
                    (service, "GET", "/metrics", {}, 200, "text/plain; version=0.0.4; charset=utf-8",
                     'wsr37100_scale_state{scale="moving",state="weight"} 0\n'),
                    (service, "GET", "/metrics", {}, 200, "text/plain; version=0.0.4; charset=utf-8",
                     '\nwsr37100_connections_limit 256\n'),
                    (service, "GET", "/metrics", {}, 200, "text/plain; version=0.0.4; charset=utf-8",
                     '\nwsr37100_streams_limit 192\n'),
                    (service, "GET", "/problems/not-stable", {}, 200, "application/json", {"status": 504}),
                    (service, "HEAD", "/v1/scales", {}, 200, "application/json", ""),
                    (service, "OPTIONS", "/v1/scales", {"Origin": "https://pos.example",
                                                        "Access-Control-Request-Method": "GET"}, 204, None, ""),
                    (service, "GET", "/v1/scales", {"Origin": "https://pos.example"}, 200, "application/json", {}),
                    (service, "GET", "/v1/scales", {"Host": "localhost:1", "Origin": "http://localhost:1"}, 200,
                     "application/json", {}),
                    (service, "GET", "/v1/scales/nope", {}, 404, ERROR, {"code": "unknown-scale"}),
                    (service, "GET", "/v1/scales/nope/reading", {}, 404, ERROR, {"code": "unknown-scale"}),
                    (service, "GET", "/v1/scales/counter/weight", {}, 404, ERROR, {"code": "not-found"}),
                    (service, "GET", "/dev/ttyS0", {}, 404, ERROR, {"code": "not-found"}),
                    (service, "GET", "/v1/scales/..%2F..%2Fdev%2Fnull", {}, 404, ERROR, {"code": "unknown-scale"}),
                    (service, "POST", "/v1/scales/counter/reading", {}, 405, ERROR, {"code": "method-not-allowed"}),
                    (service, "DELETE", "/v1/scales", {}, 405, ERROR, {"code": "method-not-allowed"}),
                    (service, "HEAD", "/v1/scales/counter/events", {}, 405, ERROR, ""),
                    (service, "GET", "/v1/scales/counter/reading?stable_ms=x", {}, 400, ERROR, {"code": "bad-parameter"}),
                    (service, "GET", "/v1/scales/counter/reading?stable_ms=60001", {}, 400, ERROR,
                     {"code": "bad-parameter"}),
                    (service, "GET", "/v1/scales/counter/reading?stable_ms=-1", {}, 400, ERROR, {"code": "bad-parameter"}),
                    (service, "GET", "/v1/scales/counter/reading?port=/dev/ttyS0", {}, 400, ERROR,
                     {"code": "bad-parameter"}),
                    (service, "GET", "/v1/scales/counter/reading?stable_ms=1&stable_ms=2", {}, 400, ERROR,
                     {"code": "bad-parameter"}),
                    (service, "GET", "/v1/scales?a=%zz", {}, 400, ERROR, {"code": "bad-parameter"}),
                    (service, "GET", "/v1/scales/counter/events?stable_ms=1", {}, 400, ERROR, {"code": "bad-parameter"}),
                    (service, "GET", "/v1/scales/moving/reading?stable_ms=300", {}, 504, ERROR,
                     {"code": "not-stable", "status": 504}),
                    (service, "GET", "/v1/scales/mute/reading?timeout_ms=50", {}, 504, ERROR,
                     {"code": "no-reading-yet"}),
                    (service, "GET", "/v1/scales/logged/reading", {}, 503, ERROR, {"code": "scale-unavailable"}),
                    (service, "GET", "/v1/scales/counter/reading?stable_ms=60000", {}, 200, "application/json",
                     {"stable": True}),
                    (service, "GET", "/v1/scales/counter/reading?timeout_ms=60000", {}, 200, "application/json",
                     {"state": "weight"}),
                    (service, "GET", "/v1/scales/counter/reading?timeout_ms=60001", {}, 400, ERROR,
                     {"code": "bad-parameter"}),
                    (service, "GET", "/v1/scales", {"Host": "localhost"}, 200, "application/json", {}),
                    (service, "GET", "/v1/scales", {"Host": "127.0.0.1:%d" % service.port}, 200, "application/json", {}),
                    (service, "GET", "/v1/scales", {"Host": "127.0.0.1.evil.example"}, 403, ERROR,
                     {"code": "host-not-allowed"}),
                    (service, "GET", "/v1/scales", {"Origin": "https://pos.example/"}, 403, ERROR,
                     {"code": "origin-not-allowed"}),
                    (service, "GET", "/v1/scales", {"Origin": "https://pos.example:8443"}, 403, ERROR,
                     {"code": "origin-not-allowed"}),
                    (service, "GET", "/v1/scales", {"Origin": "http://pos.example"}, 403, ERROR,
                     {"code": "origin-not-allowed"}),
                    (service, "GET", "/v1/scales", {"X-%d" % i: "1" for i in range(63)}, 200, "application/json", {}),
                    (service, "GET", "/v1/scales", {"X-%d" % i: "1" for i in range(64)}, 431, ERROR,
                     {"code": "headers-too-large"}),
                    (service, "GET", "/v1/scales", {"Origin": "https://evil.example"}, 403, ERROR,
                     {"code": "origin-not-allowed"}),
                    (service, "GET", "/v1/scales", {"Host": "evil.example"}, 403, ERROR, {"code": "host-not-allowed"}),
                    (service, "GET", "/v1/scales", {"Host": "evil.example:%d" % service.port}, 403, ERROR,
                     {"code": "host-not-allowed"}),
                    (service, "GET", "/v1/scales", {"X-%d" % i: "1" for i in range(70)}, 431, ERROR,
                     {"code": "headers-too-large"}),
                    (service, "GET", "/v1/scales", {"X-Big": "a" * 9000}, 431, ERROR, {"code": "headers-too-large"}),
                    (guarded, "GET", "/v1/scales", {}, 401, ERROR, {"code": "unauthorized"}),
                    (guarded, "GET", "/metrics", {"Authorization": "Bearer wrong"}, 401, ERROR, {"code": "unauthorized"}),
                    (guarded, "GET", "/v1/scales", bearer, 200, "application/json", {}),
                    (guarded, "GET", "/v1/scales/counter?access_token=s3cret", {}, 200, "application/json", {}),
                    (guarded, "GET", "/v1/scales", {"Authorization": "bearer s3cret"}, 200, "application/json", {}),
                    (guarded, "GET", "/v1/scales", {"Authorization": "Bearer s3cre"}, 401, ERROR, {"code": "unauthorized"}),
                    (guarded, "GET", "/v1/scales", {"Authorization": "Bearer s3cretX"}, 401, ERROR,
                     {"code": "unauthorized"}),
                    (guarded, "GET", "/v1/scales", {"Authorization": "Bearer "}, 401, ERROR, {"code": "unauthorized"}),
                    (guarded, "GET", "/v1/scales", {"Authorization": "Basic s3cret"}, 401, ERROR, {"code": "unauthorized"}),
                    (guarded, "GET", "/v1/scales?access_token=s3cre", {}, 401, ERROR, {"code": "unauthorized"}),
                    (guarded, "GET", "/v1/scales?access_token=s3cretX", {}, 401, ERROR, {"code": "unauthorized"}),
                    (guarded, "GET", "/v1/scales?access_token=", {}, 401, ERROR, {"code": "unauthorized"}),
                    (guarded, "GET", "/health", {}, 200, "application/json", {}),
                    (guarded, "GET", "/", {}, 200, "text/html; charset=utf-8", ""),
                ]
                for server, method, path, headers, status, kind, holds in cases:
                    with self.subTest(method=method, path=path, headers=list(headers)[:2]):
                        got, response, body = server.call(path, method, headers)
                        self.assertEqual(got, status, body)
                        self.assertEqual(response.getheader("Content-Type"), kind)
                        if isinstance(holds, dict):
                            self.assertEqual({key: body.get(key) for key in holds}, holds, body)
                        else:
                            self.assertIn(holds, body)
                        if status >= 400 and method != "HEAD":
                            self.assertEqual(body["type"], "/problems/" + body["code"])
                            self.assertEqual(body["status"], status)
                        if status == 405:
                            self.assertIn("GET", response.getheader("Allow"))
                        if status == 401:
                            self.assertEqual(response.getheader("WWW-Authenticate"), 'Bearer realm="wsr37100"')
                        # An allowed origin reads the answer; a refused one only why it was refused.
                        origin = headers.get("Origin")
                        refused = isinstance(holds, dict) and holds.get("code") == "origin-not-allowed"
                        readable = origin == "https://pos.example" or (refused and not origin.endswith("/"))
                        self.assertEqual(response.getheader("Access-Control-Allow-Origin"), origin if readable else None)
                        if refused:
                            self.assertEqual("--allow-origin" in body["detail"], readable, body["detail"])

                # The refused pages are listed for the status page, and the journal names the option.
                listed = {each["origin"]: each["requests"] for each in service.call("/v1/scales")[2]["refused_origins"]}
                self.assertEqual(listed.get("https://evil.example"), 1, listed)
                self.assertIn("--allow-origin https://evil.example", service.messages())
                # A page that keeps asking stays listed, first, however many others are made up once each.
                for origin in ["https://pos.example:8443"] * 2 + ["https://o%d.evil.example" % i for i in range(8)]:
                    self.assertEqual(service.call("/v1/scales", headers={"Origin": origin})[0], 403)
                refused = service.call("/v1/scales")[2]["refused_origins"]
                self.assertEqual(len(refused), 8, refused)
                self.assertEqual(refused[0], {**refused[0], "origin": "https://pos.example:8443", "requests": 3}, refused)

                # Hostile bytes change nothing: the service still answers the same.
                raw_cases = [  # bytes sent, status line
                    (b"GARBAGE\r\n\r\n", "HTTP/1.1 400"),
                    (b"GET /v1/scales HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 5000\r\n\r\n" + b"x" * 5000,
                     "HTTP/1.1 413"),
                    (b"GET /v1/scales HTTP/1.1\r\nHost: 127.0.0.1\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n",
                     "HTTP/1.1 413"),
                    # Bytes that are not UTF-8 where the answer quotes the request.
                    (b"GET /\xff\xfe HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", "HTTP/1.1 404"),
                    (b"GET /v1/scales HTTP/1.1\r\nHost: \xe9vil\r\n\r\n", "HTTP/1.1 403"),
                    # The request line and headers at their limit, 8192 bytes, are taken.
                    (b"GET /v1/scales HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Pad: " + b"p" * 8139 + b"\r\n\r\n", "HTTP/1.1 200"),
                    (b"GET /v1/scales HTTP/1.1\r\nHost: 127.0.0.1\r\nOrigin: http://\xc3\r\n\r\n", "HTTP/1.1 403"),
                ]
                for data, status_line in raw_cases:
                    with self.subTest(raw=data[:30]):
                        answer = service.raw(data)
                        self.assertTrue(answer.startswith(status_line), answer[:200])
                        code = {"400": "bad-request", "413": "request-too-large", "404": "not-found"}.get(status_line[9:])
                        if code:
                            self.assertIn('"code":"%s"' % code, answer)
                _, _, after = service.call("/v1/scales/counter/reading")
                self.assertEqual(after["reading"]["weight"], 2.5)

                # A client that hangs up while its request waits frees its connection at once.
                with socket.create_connection(("127.0.0.1", service.port)) as waiting:
                    waiting.sendall(b"GET /v1/scales/moving/reading?stable_ms=60000 HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
                    service.wait_for("/metrics", lambda text: "\nwsr37100_connections 2\n" in text)
                service.wait_for("/metrics", lambda text: "\nwsr37100_connections 1\n" in text, seconds=2)
                metrics = service.call("/metrics")[2]
                # Two timed out; the third was answered as it stood when its client went.
                self.assertIn('wsr37100_http_requests_total{route="reading",code="504"} 3', metrics)
                self.check_prometheus(metrics)

                # A log folder gone when the port comes holds up no reading: the weight is served, and why its
                # lines cannot be written is told apart from it.
                shutil.rmtree(logs)
                with Simulator("--weight", "1", "--link", scale_link(folder)):
                    body = service.wait_for("/v1/scales/logged", lambda body: body["state"] == "weight" and
                                            body["log_failure"] is not None)
                    self.assertIn("arquivo de log", body["log_failure"])
                    got, _, read = service.call("/v1/scales/logged/reading")
                    self.assertEqual((got, read["state"], read["reading"]["weight"]), (200, "weight", 1.0))

    def check_prometheus(self, text):
        """Valid exposition after a run of requests: each sample's family typed, the latency histogram consistent."""
        typed = {}
        samples = {}
        for line in text.splitlines():
            if line.startswith("# TYPE "):
                _, _, name, kind = line.split(" ")
                typed[name] = kind
            elif line and not line.startswith("#"):
                name_labels, value = line.rsplit(" ", 1)
                samples[name_labels] = float(value)
                name = name_labels.split("{")[0]
                family = name
                for suffix in ("_bucket", "_sum", "_count"):
                    if name.endswith(suffix) and typed.get(name[:-len(suffix)]) == "histogram":
                        family = name[:-len(suffix)]
                self.assertIn(family, typed, line)
        histogram = "wsr37100_http_request_duration_seconds"
        buckets = [(key, value) for key, value in samples.items() if key.startswith(histogram + "_bucket{")]
        self.assertEqual(buckets[-1][0], histogram + '_bucket{le="+Inf"}')
        bounds = [float(key.split('"')[1]) for key, _ in buckets]
        counts = [value for _, value in buckets]
        self.assertEqual(bounds, sorted(bounds))
        self.assertEqual(counts, sorted(counts))
        self.assertGreater(counts[0], 0)
        self.assertEqual(counts[-1], samples[histogram + "_count"])
        requests = sum(value for key, value in samples.items() if key.startswith("wsr37100_http_requests_total{"))
        self.assertEqual(samples[histogram + "_count"], requests)
        self.assertGreater(samples[histogram + "_sum"], 0)

SOURCES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "service")


class DescriptionTest(unittest.TestCase):
    def test_the_description_matches_the_routes_and_problems_served(self):
        with Simulator("--weight", "2.5") as scale, \
                Service("--scale", "counter=%s,no-log" % scale.port) as service:  # the scale the examples name
            status, response, description = service.call("/v1/openapi.json")
            self.assertEqual((status, response.getheader("Content-Type")), (200, "application/json"))
            self.assertRegex(description["openapi"], r"^3\.1\.\d+$")
            with open(os.path.join(SOURCES, "openapi.json")) as file:
                self.assertEqual(description, json.load(file))  # what is installed is what is served

            def resolve(node):
                while "$ref" in node:
                    target = description
                    for key in node["$ref"].lstrip("#/").split("/"):
                        target = target[key]
                    node = target
                return node

            service.wait_for("/v1/scales/counter", lambda body: body["state"] == "weight")
            # Every path, its parameters filled in from the description's examples and defaults, answers 200
            # with a content type it describes.
            for path, item in description["paths"].items():
                operation = item["get"]
                parameters = [resolve(p) for p in item.get("parameters", []) + operation.get("parameters", [])]
                target = path
                for parameter in parameters:
                    if parameter["in"] == "path":
                        target = target.replace("{%s}" % parameter["name"], parameter["example"])
                query = ["%s=%s" % (p["name"], p["schema"]["default"]) for p in parameters if p["in"] == "query"]
                target += "?" + "&".join(query) if query else ""
                with self.subTest(path=target):
                    connection = http.client.HTTPConnection("127.0.0.1", service.port, timeout=10)
                    connection.request("GET", target)
                    answer = connection.getresponse()  # the headers: an event stream never ends by itself
                    connection.close()
                    self.assertEqual(answer.status, 200)
                    self.assertIn(answer.getheader("Content-Type"), resolve(operation["responses"]["200"])["content"])

            # The routes those requests reached are every route the service's code names; requests
            # that reach none are counted as "other", or "refused" at the connection limit.
            named = set()
            for source in os.listdir(SOURCES):
                if source.endswith(".cpp"):
                    with open(os.path.join(SOURCES, source)) as file:
                        named.update(re.findall(r'case Route::[a-z]+: return "([a-z-]+)"', file.read()))
            reached = set(re.findall(r'wsr37100_http_requests_total\{route="([a-z-]+)",code="200"\}',
                                     service.call("/metrics")[2]))
            self.assertEqual(reached, named - {"other", "refused"})

        # Every problem code the service has, and no other, is described.
        with open(os.path.join(SOURCES, "problems.cpp")) as file:
            codes = set(re.findall(r'Problem\{\d{3}, "([a-z-]+)"', file.read()))
        self.assertEqual(set(description["components"]["schemas"]["ProblemCode"]["enum"]), codes)


def rss_kib(pid):
    with open("/proc/%d/status" % pid) as status:
        return next(int(line.split()[1]) for line in status if line.startswith("VmRSS:"))


def flood(port, head, filler, most=64 << 20):
    """Sends head, then filler without end until the service answers, closes, or `most` bytes went: the answer's first line."""
    with socket.create_connection(("127.0.0.1", port), timeout=10) as connection:
        connection.sendall(head)
        connection.setblocking(False)
        sent = 0
        while sent < most:
            if select.select([connection], [], [], 0)[0]:
                break
            try:
                sent += connection.send(filler)
            except BlockingIOError:
                select.select([connection], [connection], [], 1)
            except OSError:
                break
        connection.setblocking(True)
        try:
            return connection.recv(4096).decode(errors="replace").split("\r\n")[0]
        except OSError as error:
            return "no answer: %s" % error


def trickle(port, stop, every):
    """A client that starts a request and sends one byte more every `every` seconds, reconnecting when
    it is closed, until `stop` is set."""
    while not stop.is_set():
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=10) as slow:
                slow.sendall(b"GET /health HTTP/1.1\r\n")
                while not stop.wait(every):
                    slow.sendall(b"X")
        except OSError:
            continue


def hog(port, stop):
    """A client that pipelines `GET /` (the page needs no token) 2000 times and takes no answer, reconnecting
    when the service closes, until `stop` is set."""
    requests = b"GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n" * 2000
    closed = select.POLLRDHUP | select.POLLERR | select.POLLHUP
    while not stop.is_set():
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=1) as connection:
                connection.sendall(requests)
                watch = select.poll()
                watch.register(connection, closed)
                while not stop.is_set() and not watch.poll(100):
                    pass
        except OSError:
            continue


def open_files(pid):
    return len(os.listdir("/proc/%d/fd" % pid))


def answers(connection):
    """(status, headers) of each answer read from `connection` until it closes."""
    data = b""
    while True:
        chunk = connection.recv(65536)
        if not chunk:
            break
        data += chunk
    found = []
    while data:
        head, _, rest = data.partition(b"\r\n\r\n")
        lines = head.decode().split("\r\n")
        headers = {name.lower(): value for name, _, value in (line.partition(": ") for line in lines[1:])}
        found.append((int(lines[0].split()[1]), headers))
        data = rest[int(headers.get("content-length", 0)):]
    return found


class LimitsTest(unittest.TestCase):
    def test_every_byte_a_client_sends_counts_against_a_limit(self):
        with Simulator("--status", "I") as scale, Service("--scale", "a=%s,no-log" % scale.port,
                                                          "--max-connections", "20") as service:
            service.wait_for("/v1/scales/a", lambda body: body["state"] == "unstable")
            start = b"GET %s HTTP/1.1\r\nHost: 127.0.0.1\r\n"
            endless = [  # what is sent first, what follows without end, the answer
                (b"Transfer-Encoding: chunked\r\n\r\n1;", b"x" * 65536, "HTTP/1.1 413"),       # a chunk extension
                (b"Transfer-Encoding: chunked\r\n\r\n0\r\n", b"X-T: y\r\n" * 8192, "HTTP/1.1 413"),  # a trailer
                (b"Content-Length: 1000000000000\r\n\r\n", b"x" * 65536, "HTTP/1.1 413"),     # a body
                (b"X-Long: ", b"a" * 65536, "HTTP/1.1 431"),                                     # one header
                (b"", b"X-Many: b\r\n" * 4096, "HTTP/1.1 431"),                                  # header after header
            ]
            for path in (b"/health", b"/v1/scales/a/reading"):
                for head, filler, answer in endless:
                    with self.subTest(path=path, head=head[:20], filler=filler[:8]):
                        before = rss_kib(service.process.pid)
                        got = flood(service.port, start % path + head, filler)
                        self.assertTrue(got.startswith(answer), got)
                        self.assertLess(rss_kib(service.process.pid) - before, 2048)
                        self.assertEqual(service.call("/health")[0], 200)  # everyone else is still served

            single = [  # headers, status, code
                ({"Host": ["127.0.0.1", "evil.example"]}, 400, "bad-request"),
                ({"Host": ["127.0.0.1"], "Origin": ["http://127.0.0.1", "https://evil.example"]}, 400, "bad-request"),
                ({"Host": ["[::1]evil.example"]}, 403, "host-not-allowed"),
                ({"Host": ["localhost.evil.example"]}, 403, "host-not-allowed"),
                ({"Host": ["127.0.0.1:80x"]}, 403, "host-not-allowed"),
                ({"Host": ["[::1]:%d" % service.port]}, 200, None),
            ]
            for headers, status, code in single:
                with self.subTest(headers=headers):
                    lines = b"".join(b"%s: %s\r\n" % (name.encode(), value.encode())
                                     for name, values in headers.items() for value in values)
                    answer = service.raw(b"GET /v1/scales HTTP/1.1\r\n" + lines + b"Connection: close\r\n\r\n")
                    self.assertTrue(answer.startswith("HTTP/1.1 %d" % status), answer[:200])
                    if code:
                        self.assertIn('"code":"%s"' % code, answer)

            # A client that shuts down its side while its request waits gets the answer as it stands.
            with socket.create_connection(("127.0.0.1", service.port), timeout=10) as waiting:
                waiting.sendall(b"GET /v1/scales/a/reading?stable_ms=60000 HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
                waiting.shutdown(socket.SHUT_WR)
                self.assertTrue(waiting.recv(4096).startswith(b"HTTP/1.1 504"))

            # Clients that trickle a byte now and then hold every slot; one that sends its request whole is served.
            stop = threading.Event()
            slow_clients = [threading.Thread(target=trickle, args=(service.port, stop, 0.2)) for _ in range(20)]
            for thread in slow_clients:
                thread.start()
            try:
                service.wait_for("/metrics", lambda text: "wsr37100_connections_evicted_total 0\n" not in text)
                served = sum(service.call("/v1/scales/a")[0] == 200 for _ in range(40))
            finally:
                stop.set()
                for thread in slow_clients:
                    thread.join(timeout=10)
            self.assertGreaterEqual(served, 38)

    def test_streams_leave_room_for_requests(self):
        with tempfile.TemporaryDirectory() as folder, Simulator("--weight", "2.5") as scale, \
                Service("--scale", "a=%s,no-log" % scale.port, "--max-connections", "20") as service:
            service.wait_for("/v1/scales/a", lambda body: body["state"] == "weight")
            # Three quarters of the connections by default: 15 of 20; the others are told why, and requests are served.
            streams = [Events(service.port, "/v1/events" if i % 2 else "/v1/scales/a/events") for i in range(20)]
            try:
                self.assertEqual([stream.response.status for stream in streams], [200] * 15 + [503] * 5)
                for stream in streams[15:]:
                    self.assertEqual(stream.response.getheader("Content-Type"), ERROR)
                    problem = json.loads(stream.response.read())
                    self.assertEqual((problem["code"], problem["status"]), ("too-many-streams", 503), problem)
                    self.assertIn("15 event streams open", problem["detail"])
                self.assertEqual([service.call("/v1/scales/a/reading")[0] for _ in range(20)], [200] * 20)
                metrics = service.call("/metrics")[2]
                self.assertIn("\nwsr37100_streams_refused_total 5\n", metrics)
                self.assertIn("\nwsr37100_connections_limit 20\n", metrics)
                self.assertIn("\nwsr37100_streams_limit 15\n", metrics)
            finally:
                for stream in streams:
                    stream.close()

            # The limit from the configuration file, and the option over it.
            path = os.path.join(folder, "serve.json")
            with open(path, "w") as file:
                json.dump({"limits": {"streams": 1}}, file)
            for options, most in (([], 1), (["--max-streams", "2"], 2)):
                with self.subTest(options=options), \
                        Service("--config", path, "--scale", "a=%s,no-log" % scale.port, *options) as limited:
                    streams = [Events(limited.port, "/v1/events") for _ in range(most + 1)]
                    self.assertEqual([stream.response.status for stream in streams], [200] * most + [503])
                    for stream in streams:
                        stream.close()

    def test_a_client_that_pipelines_and_takes_no_answer_holds_no_slot(self):
        with tempfile.TemporaryDirectory() as folder, Simulator("--weight", "2.5") as scale:
            token = os.path.join(folder, "token")
            with open(token, "w") as file:
                file.write("s3cret\n")
            bearer = {"Authorization": "Bearer s3cret"}
            with Service("--scale", "a=%s,no-log" % scale.port, "--token-file", token,
                         "--max-connections", "12") as service:
                service.wait_for("/v1/scales/a?access_token=s3cret", lambda body: body["state"] == "weight")
                # Eight requests in a row sent before their answers are taken are answered; then the connection ends.
                for sent, answered in ((20, 8), (8, 8)):
                    with self.subTest(pipelined=sent), socket.create_connection(("127.0.0.1", service.port),
                                                                                timeout=10) as connection:
                        connection.sendall(b"GET /health HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n" * sent)
                        connection.shutdown(socket.SHUT_WR)
                        got = answers(connection)
                        self.assertEqual([status for status, _ in got], [200] * answered)
                        self.assertEqual(got[-1][1].get("connection"), "close" if sent > 8 else None)

                # Clients that pipeline without end and never read, more of them than the slots streams leave,
                # keep no client with the token from its readings.
                streams = [Events(service.port, "/v1/scales/a/events", bearer) for _ in range(9)]
                stop = threading.Event()
                hogs = [threading.Thread(target=hog, args=(service.port, stop)) for _ in range(16)]
                for thread in hogs:
                    thread.start()
                try:
                    pages = r'\nwsr37100_http_requests_total\{route="page",code="200"\} (\d+)\n'
                    service.wait_for("/metrics?access_token=s3cret",  # the hogs are at it
                                     lambda text: int((re.search(pages, text) or [0, 0])[1]) >= 16)
                    served = []
                    for _ in range(30):
                        try:
                            served.append(service.call("/v1/scales/a/reading", headers=bearer)[0])
                        except OSError as error:
                            served.append(str(error))
                        time.sleep(0.05)
                finally:
                    stop.set()
                    for thread in hogs:
                        thread.join(timeout=10)
                    for stream in streams:
                        stream.close()
                self.assertGreaterEqual(served.count(200), 29, served)

                # A client that asks for the page again each time its answer went out, and never reads,
                # until an answer stalls on the full send buffer; the other slots idle connections: a
                # reading finds a slot, and the stalled client is the one that gives way.
                page = b"GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"
                idle = [socket.create_connection(("127.0.0.1", service.port)) for _ in range(10)]  # one slot to ask
                stuck = socket.socket()
                stuck.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1024)
                stuck.connect(("127.0.0.1", service.port))

                def answered():
                    text = service.call("/metrics?access_token=s3cret")[2]
                    return int((re.search(pages, text) or [0, 0])[1])

                try:
                    count = answered()
                    for _ in range(1000):
                        stuck.sendall(page)
                        deadline = time.monotonic() + 3  # no answer for this long: stalled, on a loaded machine too
                        while answered() == count and time.monotonic() < deadline:
                            time.sleep(0.01)
                        if answered() == count:
                            break  # this answer goes out no more
                        count = answered()
                    idle += [socket.create_connection(("127.0.0.1", service.port)) for _ in range(2)]  # full
                    self.assertEqual(service.call("/v1/scales/a/reading", headers=bearer)[0], 200)
                    stuck.settimeout(5)  # at once, not at the write time-out (10 s after its answer began)
                    with contextlib.suppress(ConnectionResetError):  # closed: what was queued, then the end
                        while stuck.recv(1 << 20):
                            pass
                finally:
                    for client in idle + [stuck]:
                        client.close()

    def test_descriptors_are_kept_for_the_scales(self):
        files = 256
        with tempfile.TemporaryDirectory() as folder, Simulator("--sequence", "1.5,2.5") as logged, \
                Simulator("--status", "I") as moving, \
                Service("--scale", "logged=%s,log-dir=%s" % (logged.port, os.path.join(folder, "logs")),
                        "--scale", "moving=%s,no-log" % moving.port, "--max-connections", "30", files=files) as service:
            service.wait_for("/v1/scales/logged", lambda body: body["state"] == "weight")
            service.wait_for("/v1/scales/moving", lambda body: body["state"] == "unstable")
            # Every slot taken: 22 streams (their limit) and 8 requests waiting for a settled reading. A plain
            # request still finds one: the oldest wait gives way, answered with the reading as it stands.
            streams = [Events(service.port, "/v1/scales/moving/events") for _ in range(22)]
            waits = []
            flood = []
            try:
                for count in range(1, 9):
                    waits.append(socket.create_connection(("127.0.0.1", service.port), timeout=10))
                    waits[-1].sendall(b"GET /v1/scales/moving/reading?stable_ms=30000 HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
                    if count < 8:
                        service.wait_for("/metrics", lambda text: "\nwsr37100_waiting_requests %d\n" % count in text)
                self.assertEqual([service.call("/health")[0] for _ in range(3)], [200] * 3)
                answer = waits[0].recv(4096).decode()
                self.assertTrue(answer.startswith("HTTP/1.1 504"), answer)
                self.assertIn("Connection: close", answer)

                # A flood of connections that send nothing, faster than a refused one lingers (a second).
                peak = 0
                started = time.monotonic()
                while len(flood) < 400:
                    flood.append(socket.create_connection(("127.0.0.1", service.port), timeout=10))
                    if len(flood) % 20 == 0:
                        peak = max(peak, open_files(service.process.pid))
                while time.monotonic() - started < 1.5:
                    peak = max(peak, open_files(service.process.pid))
                    time.sleep(0.01)
                # Under the soft limit, with what each scale needs left over; each one counted as it gave way or
                # was refused.
                self.assertLess(peak, files - 2 * 8)
            finally:
                for connection in flood + waits:
                    connection.close()
                for stream in streams:
                    stream.close()
            metrics = service.wait_for("/metrics", lambda text: "\nwsr37100_connections 1\n" in text)
            refused = int(re.search(r"\nwsr37100_connections_refused_total (\d+)\n", metrics).group(1))
            evicted = int(re.search(r"\nwsr37100_connections_evicted_total (\d+)\n", metrics).group(1))
            self.assertGreaterEqual(refused + evicted, 400 - 30)  # all but those that found a slot free
            self.assertNotIn("failure", service.messages())


class StableTest(unittest.TestCase):
    def test_a_stable_wait_ends_on_the_settled_reading(self):
        cases = [  # simulator (None: no scale), state when asked, stable_ms, status, state of the answer, stable, weight
            (["--sequence", "I,I,I,1.5"], "unstable", 3000, 200, "weight", True, 1.5),
            (["--weight", "0"], "weight", 3000, 200, "weight", True, 0.0),
            (["--sequence", "I,I,N"], "unstable", 3000, 200, "negative", False, None),
            (["--status", "I"], "unstable", 400, 504, "unstable", None, None),
            (["--sequence", "hex:02414243444503"], "unreadable", 400, 504, "unreadable", None, None),
            (["--status", "S"], "overload", 5000, 200, "overload", False, None),
            (["--status", "N"], "negative", 5000, 200, "negative", False, None),
            (None, "no-reading", 3000, 503, "no-reading", None, None),
        ]
        for sim_args, first, stable_ms, status, state, stable, weight in cases:
            with self.subTest(sim=sim_args), \
                    (Simulator(*sim_args, "--delay", "30") if sim_args else contextlib.nullcontext()) as scale, \
                    Service("--scale", "s=%s,no-log" % (scale.port if scale else "/dev/ttyNoSuchScale")) as service:
                service.wait_for("/v1/scales/s", lambda body: body["state"] == first)
                started = time.monotonic()
                got, _, body = service.call("/v1/scales/s/reading?stable_ms=%d" % stable_ms)
                self.assertEqual(got, status, body)
                answer = body if status == 200 else body["scale"]
                self.assertEqual((answer["state"], answer["reading"]["weight"]), (state, weight))
                self.assertEqual(body.get("stable"), stable)
                if status == 504:
                    self.assertAlmostEqual(time.monotonic() - started, stable_ms / 1000, delta=0.3)
                if first != "unstable":  # settled already: the answer comes at once, not at the end of the wait
                    self.assertLess(time.monotonic() - started, 2.0)


class EventsTest(unittest.TestCase):
    def test_stream_reconnects_and_a_vanished_scale_returns(self):
        with tempfile.TemporaryDirectory() as folder:
            link = scale_link(folder)
            with Service("--scale", "counter=%s,no-log" % link) as service:
                self.first_stream_then_vanish(service, link)

    def first_stream_then_vanish(self, service, link):
        with Simulator("--weight", "1.25", "--link", link):
            service.wait_for("/v1/scales/counter", lambda body: body["state"] == "weight")
            first = Events(service.port, "/v1/scales/counter/events")
            self.assertEqual(first.response.getheader("Content-Type"), "text/event-stream")
            event = first.next()
            self.assertEqual((event["event"], event["data"]["reading"]["weight"]), ("reading", 1.25))
            self.assertEqual(event["retry"], "1000")
            last_id = event["id"]
            first.close()

            # A reconnection that has seen the latest change gets nothing until the next one;
            # one with an older or foreign id gets the latest at once.
            for seen, gets_it in ((last_id, False), ("0-1", True), ("junk", True)):
                with self.subTest(last_event_id=seen):
                    again = Events(service.port, "/v1/scales/counter/events", {"Last-Event-ID": seen})
                    event = again.next(seconds=0.5) if gets_it else None
                    if gets_it:
                        self.assertEqual(event["id"], last_id)
                    else:
                        with self.assertRaises(socket.timeout):
                            again.next(seconds=0.5)
                    again.close()
            stream = Events(service.port, "/v1/scales/counter/events", {"Last-Event-ID": last_id})

        # The simulator is gone: the stream and the API tell why, and the service stays.
        gone = stream.next()
        self.assertEqual(gone["data"]["state"], "no-reading")
        self.assertIn(gone["data"]["reading"]["reason"], ("poll-failed", "port-unavailable", "silence"))
        self.assertEqual(service.call("/health")[2]["status"], "degraded")
        status, _, missing = service.call("/v1/scales/counter/reading")
        self.assertEqual((status, missing["code"]), (503, "scale-unavailable"), missing)
        self.assertEqual(missing["scale"]["reading"]["reason"], gone["data"]["reading"]["reason"])
        with Simulator("--weight", "3.75", "--link", link):
            back = stream.next()
            while back["data"]["state"] != "weight":
                back = stream.next()
            self.assertEqual(back["data"]["reading"]["weight"], 3.75)
            self.assertGreater(int(back["id"].rsplit("-", 1)[1]), int(last_id.rsplit("-", 1)[1]))
            stream.close()
            self.assertIn("scale counter (%s): reading again: 3.750 kg" % link, service.messages())
            metrics = service.wait_for("/metrics", lambda text: 'wsr37100_event_streams{scale="counter"} 0' in text)
            self.assertRegex(metrics, r'wsr37100_scale_no_readings_total\{scale="counter",reason="[a-z-]+"\} [1-9]')


class LoadTest(unittest.TestCase):
    def test_concurrent_clients_share_one_port_and_limits_hold(self):
        with Simulator("--weight", "4.5") as scale, \
                Service("--scale", "s=%s,no-log" % scale.port, "--max-connections", "30") as service:
            service.wait_for("/v1/scales/s", lambda body: body["state"] == "weight")
            # A client that sends half a request and stalls holds up nobody.
            stalled = socket.create_connection(("127.0.0.1", service.port))
            stalled.sendall(b"GET /v1/scales HTTP/1.1\r\nHo")
            results = []

            def client():
                connection = http.client.HTTPConnection("127.0.0.1", service.port, timeout=10)
                for _ in range(50):
                    connection.request("GET", "/v1/scales/s/reading?stable_ms=1000")
                    response = connection.getresponse()
                    results.append((response.status, json.loads(response.read())["reading"]["weight"]))
                connection.close()

            threads = [threading.Thread(target=client) for _ in range(20)]
            for thread in threads:
                thread.start()
            for thread in threads:
                thread.join(timeout=60)
            self.assertEqual(results, [(200, 4.5)] * 1000)
            self.assertEqual(service.call("/v1/scales/s")[2]["change"], 1)  # one owner, never "busy"

            # At the limit, a connection that never finished its request gives way; streams do not.
            self.assertEqual(service.call("/health")[0], 200)
            held = [socket.create_connection(("127.0.0.1", service.port)) for _ in range(29)]
            service.wait_for("/metrics", lambda text: "\nwsr37100_connections 30\n" in text)
            self.assertEqual(service.call("/health")[0], 200)
            for connection in held:
                connection.close()
            # Streams take three quarters of the connections at most, and leave the rest to requests.
            streams = [Events(service.port, "/v1/scales/s/events") for _ in range(30)]
            self.assertEqual([stream.response.status for stream in streams], [200] * 22 + [503] * 8)
            self.assertEqual(service.call("/health")[0], 200)
            for stream in streams:
                stream.close()
            stalled.close()
            service.wait_for("/health", lambda body: True)


class StopTest(unittest.TestCase):
    def test_sigterm_or_sighup_in_the_middle_of_requests(self):
        for stop in (signal.SIGTERM, signal.SIGHUP):
            with self.subTest(signal=stop.name), Simulator("--status", "I") as scale, \
                    Service("--scale", "s=%s,no-log" % scale.port) as service:
                service.wait_for("/v1/scales/s", lambda body: body["state"] == "unstable")
                stream = Events(service.port, "/v1/scales/s/events")
                stream.next()
                answers = []

                def waiter():
                    answers.append(service.call("/v1/scales/s/reading?stable_ms=10000")[::2])

                threads = [threading.Thread(target=waiter) for _ in range(5)]
                for thread in threads:
                    thread.start()
                service.wait_for("/metrics", lambda text: "\nwsr37100_waiting_requests 5\n" in text)
                service.process.send_signal(stop)
                sent = time.monotonic()
                self.assertEqual(service.process.wait(timeout=5), 0)
                self.assertLess(time.monotonic() - sent, 2.0)  # within a second, with room for a loaded machine
                for thread in threads:
                    thread.join(timeout=5)
                self.assertEqual([(status, body["code"]) for status, body in answers], [(503, "shutting-down")] * 5)
                self.assertIsNone(stream.next())
                self.assertTrue(service.messages().rstrip().endswith("wsr37100 serve: stopped"))


    def test_a_log_that_cannot_be_written_never_holds_up_or_hides_a_reading(self):
        with tempfile.TemporaryDirectory() as top, Simulator("--weight", "2.5", stdin=subprocess.PIPE) as scale:
            folder = os.path.join(top, "logs")
            os.mkdir(folder)
            with Service("--scale", "s=%s,log-dir=%s" % (scale.port, folder)) as service:
                service.wait_for("/v1/scales/s", lambda body: body["state"] == "weight")
                shutil.rmtree(folder)
                # A change is served as soon as it is read; the log's failure is told apart from it.
                scale.process.stdin.write("3.1\n")
                scale.process.stdin.flush()
                body = service.wait_for("/v1/scales/s", lambda body: body["reading"].get("weight") == 3.1)
                self.assertEqual(body["state"], "weight")
                body = service.wait_for("/v1/scales/s", lambda body: body["log_failure"] is not None)
                self.assertEqual((body["state"], body["reading"]["weight"]), ("weight", 3.1))
                health = service.call("/health")[2]
                self.assertEqual((health["status"], health["scales_up"], health["logs_failing"]), ("degraded", 1, 1))
                self.assertIn('wsr37100_scale_log_failing{scale="s"} 1\n', service.call("/metrics")[2])
                # The folder back: the line is written at the next try, and the condition ends.
                os.mkdir(folder)
                service.wait_for("/health", lambda body: body["status"] == "ok")
                with open(os.path.join(folder, time.strftime("logWSR37100_%d%m.txt")), encoding="cp1252") as log:
                    self.assertIn("monitor: peso = 3.100", log.read().replace(",", "."))
                dropped = 'wsr37100_log_dropped_lines{folder="%s"} %%d\n' % folder
                service.wait_for("/metrics", lambda text: dropped % 0 in text, seconds=15)
                # Another program's writer with a smaller bound filled the day: its count is the scale's log's.
                with open(os.path.join(folder, time.strftime("logWSR37100_%d%m.txt")), "ab") as log:
                    log.write(time.strftime("%d/%m/%y %H:%M:%S").encode() + b" - limite de 1048576 bytes do log do "
                              b"dia atingido: linhas n\xe3o registradas: 0000000007\r\n")
                service.wait_for("/metrics", lambda text: dropped % 7 in text, seconds=15)
                # Told by the network thread at its next look, which may come just after the scrape.
                messages = service.wait_for_message("the day's log in %s reached its bound" % folder)
                self.assertIn("its log cannot be written, readings go on", messages)
                self.assertIn("its log is written again", messages)
                self.assertNotIn("failure", messages)

    def test_a_log_another_program_holds_locked_is_told_not_a_freeze(self):
        with tempfile.TemporaryDirectory() as folder, Simulator("--weight", "2.5") as scale:
            # A lock on the day's file itself (a reader's, a log shipper's) holds up nothing.
            with open(os.path.join(folder, time.strftime("logWSR37100_%d%m.txt")), "ab") as log:
                fcntl.lockf(log, fcntl.LOCK_EX)
                with Service("--scale", "s=%s,log-dir=%s" % (scale.port, folder)) as service:
                    service.wait_for("/v1/scales/s", lambda body: (body["reading"] or {}).get("weight") == 2.5)
            # The writers' turn held by a program that may open its file (a
            # writer stuck on a network share, a backup run as root).
            turn = os.open(os.path.join(folder, "logWSR37100.lock"), os.O_RDWR | os.O_CREAT, 0o660)
            with open(turn, "r+b") as held:
                fcntl.lockf(held, fcntl.LOCK_EX)
                with Service("--scale", "s=%s,log-dir=%s" % (scale.port, folder)) as service:
                    # The weight is served all the same; what cannot be logged is told apart, with why.
                    body = service.wait_for("/v1/scales/s", lambda body: body["log_failure"] is not None and
                                            body["state"] == "weight")
                    self.assertIn("bloqueado", body["log_failure"])
                    self.assertEqual((body["state"], body["reading"]["weight"]), ("weight", 2.5))
                    self.assertEqual(service.call("/health")[2]["status"], "degraded")
                    fcntl.lockf(held, fcntl.LOCK_UN)
                    service.wait_for("/v1/scales/s", lambda body: body["log_failure"] is None)
                    fcntl.lockf(held, fcntl.LOCK_EX)
                    service.process.send_signal(signal.SIGTERM)
                    sent = time.monotonic()
                    self.assertEqual(service.process.wait(timeout=10), 0)
                    self.assertLess(time.monotonic() - sent, 2.0)


class UsageTest(unittest.TestCase):
    def test_a_token_only_root_reads_comes_as_a_credential(self):
        """As systemd runs it: a token file the service's user may not read is refused naming the file and the user;
        the same token handed over in $CREDENTIALS_DIRECTORY, named by its bare name, is read."""
        with tempfile.TemporaryDirectory() as folder:
            os.chmod(folder, 0o755)
            token = os.path.join(folder, "token")
            with open(token, "w") as file:
                file.write("s3cret\n")
            os.chmod(token, 0o000 if os.geteuid() else 0o600)
            credentials = os.path.join(folder, "credentials")
            os.mkdir(credentials, 0o755)
            shutil.copy(token, os.path.join(credentials, "wsr37100-token"))
            config = os.path.join(folder, "serve.json")
            with open(config, "w") as file:
                json.dump({"token_file": "wsr37100-token", "scales": [{"name": "a", "port": "/dev/ttyS0", "no_log": True}]}, file)
            as_user = os.geteuid() or 65534  # root reads any file: the service's own user does not
            os.chown(os.path.join(credentials, "wsr37100-token"), as_user, -1)
            user = subprocess.run(["id", "-un", str(as_user)], capture_output=True, text=True).stdout.strip()

            def serve(*args, **env):
                return subprocess.run([TOOL, "serve", "--check", *args], capture_output=True, text=True, timeout=10,
                                      env=dict(os.environ, **env), user=as_user)

            refused = serve("--scale", "a=/dev/ttyS0", "--token-file", token)
            self.assertEqual(refused.returncode, 64, refused.stderr)
            self.assertIn("cannot read the token file %s as user %s (uid %d): Permission denied" % (token, user, as_user),
                          refused.stderr)
            self.assertIn("LoadCredential=", refused.stderr)
            accepted = serve("--config", config, CREDENTIALS_DIRECTORY=credentials)
            self.assertEqual(accepted.returncode, 0, accepted.stderr)
            missing = serve("--config", config, CREDENTIALS_DIRECTORY=folder)
            self.assertEqual(missing.returncode, 64, missing.stderr)
            self.assertIn("the credential %s/wsr37100-token, which systemd loads from /etc/credstore/wsr37100-token"
                          % folder, missing.stderr)

    def test_settings_from_options_and_file(self):
        with tempfile.TemporaryDirectory() as folder, Simulator("--weight", "7") as scale, \
                Simulator("--weight", "8") as other:
            written = []

            def config(**settings):
                written.append(settings)
                path = os.path.join(folder, "serve%d.json" % len(written))
                with open(path, "w") as file:
                    json.dump(settings, file)
                return path

            good = config(scales=[{"name": "a", "port": scale.port, "baud": 9600, "gap_ms": 20, "frame": 8,
                                   "log_dir": os.path.join(folder, "logs")}], allowed_origins=["https://pos.example"])
            with Service("--config", good, "--scale", "b=%s:9600,no-log" % other.port,
                         "--scale", "v6=tcp://[::1]:1,no-log", "--scale", "v6baud=rfc2217://[::1]:2:4800,no-log") as service:
                listed = service.wait_for("/v1/scales", lambda body: True)["scales"]
                self.assertEqual([(s["name"], s["port"], s["baud"]) for s in listed],
                                 [("a", scale.port, "9600"), ("b", other.port, "9600"),
                                  ("v6", "tcp://[::1]:1", "9600"), ("v6baud", "rfc2217://[::1]:2", "4800")])
                service.wait_for("/v1/scales/a", lambda body: body["state"] in ("weight", "no-reading"))
                self.assertTrue(any(name.startswith("logWSR37100_") for name in os.listdir(os.path.join(folder, "logs"))))

            # Checked alone, the same settings serve, with no port opened (the service above held it).
            checked = subprocess.run([TOOL, "serve", "--check", "--config", good, "--scale", "b=%s:9600,no-log" % other.port],
                                     capture_output=True, text=True, timeout=10)
            self.assertEqual((checked.returncode, checked.stdout, checked.stderr),
                             (0, "settings ok: 2 scale(s), to serve at 127.0.0.1 port 8370\n", ""))
            token = os.path.join(folder, "token")
            with open(token, "w") as file:
                file.write("shop-token\n")
            for listen in [["localhost"], ["::1"], ["0.0.0.0", "--token-file", token], ["0.0.0.0", "--no-token-on-network"]]:
                checked = subprocess.run([TOOL, "serve", "--check", "--scale", "a=/dev/ttyS0", "--listen", *listen],
                                         capture_output=True, text=True, timeout=10)
                self.assertEqual(checked.returncode, 0, (listen, checked.stderr))

            deep = os.path.join(folder, "deep.json")  # beyond what json.dump can write
            with open(deep, "w") as file:
                file.write('{"port": ' + "[" * 100000 + "]" * 100000 + "}")

            cases = [  # arguments, what the one line on stderr says
                ([], "no scale"),
                (["--scale", "counter"], "NAME=PORT"),
                (["--scale", "bad name=/dev/ttyS0"], "name is 1 to 32"),
                (["--scale", "%s=/dev/ttyS0" % ("n" * 33)], "name is 1 to 32"),
                (["--scale", "a=/dev/ttyS0,gap=1001"], "gap must be a whole number from 0 to 1000: 1001"),
                (["--scale", "a=/dev/ttyS0,frame=9"], "frame must be 7 or 8"),
                (["--scale", "a=/dev/ttyS0,speed=1"], "unknown option 'speed=1'"),
                (["--scale", "a=/dev/ttyS0", "--scale", "a=/dev/ttyS1"], "two scales are named a"),
                (["--scale", "a=/dev/ttyS0", "--scale", "b=ttyS0:4800"], "two scales use the port ttyS0"),
                (["--scale", "a=/dev/serial/../ttyS0", "--scale", "b=ttyS0:4800"], "two scales use the port ttyS0"),
                (["--scale", "a=COM3", "--scale", "b=\\\\.\\com3:4800"], "two scales use the port"),
                (["--scale", "a=tcp://127.0.0.1:4001", "--scale", "b=rfc2217://localhost:04001"],
                 "two scales use the port rfc2217://localhost:04001"),
                (["--config", config(scales=[{"name": "a", "port": "x", "baud": 9604272958}])],
                 "baud must be a whole number from 1 to 2147483647: 9604272958"),
                (["--config", config(scales=[], limits={"headers": [[[1]]]})], "headers must be a whole number from 0 to 1073741824: an array"),
                (["--config", deep], "nested deeper than 64 levels"),
                (["--scale", "a=/dev/ttyS0:0"], "baud rate must be a whole number above 0"),
                (["--scale", "a=/dev/ttyS0", "--allow-origin", "pos.example"], "scheme://host[:port]"),
                (["--scale", "a=/dev/ttyS0", "--allow-origin", "https://pos.example/till"], "scheme://host[:port]"),
                (["--scale", "a=/dev/ttyS0", "--allow-origin", "https://pos.example?till=1"], "scheme://host[:port]"),
                (["--scale", "a=/dev/ttyS0", "--allow-origin", "https://pos.example:8443,pos.example"],
                 "scheme://host[:port], as https://pos.example: pos.example"),
                (["--config", config(scales=[{"name": "a", "port": "x"}], allowed_origins=["https://pos.example,https://a.example"])],
                 "scheme://host[:port]"),
                (["--scale", "a=/dev/ttyS0", "--allow-origin", "HTTPS://POS.example:0443"],
                 "a browser sends the allowed origin HTTPS://POS.example:0443 as https://pos.example: write it so"),
                (["--scale", "a=/dev/ttyS0", "--allow-origin", "https://pos.example:08443"], "as https://pos.example:8443"),
                (["--scale", "a=/dev/ttyS0", "--allow-origin", "http://[0:0::1]:8080"], "as http://[::1]:8080"),
                (["--scale", "a=/dev/ttyS0", "--allow-origin", "https://pos.example."], "no browser sends the allowed origin"),
                (["--config", config(scales=[{"name": "a", "port": "x"}], allowed_origins=["https://[:::]"])],
                 "no browser sends the allowed origin https://[:::]"),
                (["--config", config(scales=[], port=70000)], "port must be a whole number from 0 to 65535"),
                (["--config", config(scales=[], limits={"connections": -1})], "connections must be a whole number"),
                (["--config", config(scales=[], limits={"streams": 1.5})], "streams must be a whole number"),
                (["--scale", "a=/dev/ttyS0", "--max-connections", "10", "--max-streams", "10"],
                 "streams (10) must be fewer than connections (10)"),
                (["--config", config(scales=[{"name": "a", "port": "x"}], limits={"streams": 300})],
                 "streams (300) must be fewer than connections (256)"),
                (["--config", config(scales=[{"name": "a", "port": "x", "gap_ms": 2.5}])], "gap_ms must be a whole"),
                (["--config", config(scales=[], listen_on="x")], "unknown key 'listen_on'"),
                (["--config", config(scales=[{"name": "a", "port": "x", "frame": 6}])], "frame must be 7 or 8"),
                (["--config", os.path.join(folder, "none.json")], "cannot read the configuration file"),
                (["--scale", "a=/dev/ttyS0", "--token-file", os.path.join(folder, "none")], "cannot read the token"),
                (["--scale", "a=/dev/ttyS0", "--token-file", "/dev/zero"], "must hold one line of at most 512 bytes"),
                (["--scale", "a=/dev/ttyS0,log-dir=/proc/none"], "cannot create the log folder /proc/none"),
                (["--config", config(scales=[{"name": "a", "port": "x"}], limits={"connections": 2000000})],
                 "raise the limit (ulimit -n"),
                (["--check", "--scale", "nonsense"], "NAME=PORT"),
                (["--scale", "a=/dev/ttyS0", "--listen", "0.0.0.0"],
                 "listening on 0.0.0.0 serves the scales beyond this computer, to anyone on its network: give a --token-file"),
                (["--check", "--config", config(scales=[{"name": "a", "port": "x"}], listen="192.168.77.20")],
                 "or --no-token-on-network"),
                (["--config", config(scales=[{"name": "a", "port": "x"}], listen="::", no_token_on_network="yes")],
                 "no_token_on_network"),
                (["--check", "--config", os.path.join(folder, "none.json")], "cannot read the configuration file"),
            ]
            for args, message in cases:
                with self.subTest(args=args):
                    result = subprocess.run([TOOL, "serve", "--port", "0", *args], capture_output=True, text=True,
                                            timeout=10)
                    self.assertEqual(result.returncode, 64, result.stderr)
                    self.assertEqual(result.stdout, "")
                    self.assertEqual(len(result.stderr.splitlines()), 1, result.stderr)
                    self.assertIn(message, result.stderr)

            # A second service asked for the port the first listens on is refused, never let share it (it
            # would take half the till's requests).
            with Service("--scale", "a=/dev/null/none,no-log") as first:
                result = subprocess.run([TOOL, "serve", "--port", str(first.port), "--scale", "a=/dev/null/none,no-log"],
                                        capture_output=True, text=True, timeout=10)
                self.assertEqual(result.returncode, 1, result.stderr)
                self.assertIn("cannot listen on 127.0.0.1 port %d: Address already in use" % first.port, result.stderr)


if __name__ == "__main__":
    unittest.main()
