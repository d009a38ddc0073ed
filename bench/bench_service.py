"""What `wsr37100 serve` costs and sustains, against the simulator answering after 9 ms (an 8-byte reply's
time on a 9600-baud wire): one reading through the service and through the library, 50 concurrent clients
making 2000 requests in all, and 100 event streams following changes. Prints a Markdown table.
Run: make bench-service (WSR37100_TOOL names the tool, WSR37100_LIBRARY the shared library)."""
import http.client
import json
import os
import re
import selectors
import socket
import statistics
import sys
import tempfile
import threading
import time
from datetime import datetime

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "examples", "python"))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "service"))
import wsr37100  # noqa: E402
from test_service import Service, Simulator  # noqa: E402

WIRE_MS = "9"
CLIENTS = 50
REQUESTS = 2000
DEADLINE_MS = 1000
STREAMS = 100
CHANGES = 20


def polls(simulator):
    simulator.log.flush()
    simulator.log.seek(0)
    return len(simulator.log.read().splitlines())


def one_reading(results):
    library = wsr37100.Library(os.environ.get("WSR37100_LIBRARY"))
    with tempfile.TemporaryDirectory() as folder, Simulator("--weight", "2.5", "--delay", WIRE_MS) as scale, \
            Service("--scale", "s=%s,gap=20,frame=8,no-log" % scale.port) as service:
        service.wait_for("/v1/scales/s", lambda body: body["state"] == "weight")
        connection = http.client.HTTPConnection("127.0.0.1", service.port)
        through_service = []
        for _ in range(500):
            start = time.perf_counter()
            connection.request("GET", "/v1/scales/s/reading")
            json.loads(connection.getresponse().read())
            through_service.append(time.perf_counter() - start)
        connection.close()
        # The port is the service's while it runs; the library gets a scale of its own.
        with Simulator("--weight", "2.5", "--delay", WIRE_MS) as own:
            through_library = []
            for _ in range(50):
                start = time.perf_counter()
                library.busca_peso_ex(own.port, "9600", log_folder=folder, gap_ms=20, frame=8)
                through_library.append(time.perf_counter() - start)
    results.append(("one reading through the service (median of 500, keep-alive)",
                    "%.3f ms" % (statistics.median(through_service) * 1000)))
    results.append(("one reading through the library, BuscaPesoEx, frame 8 (median of 50)",
                    "%.3f ms" % (statistics.median(through_library) * 1000)))


def concurrent_clients(results):
    with Simulator("--weight", "4.5", "--delay", WIRE_MS) as scale, \
            Service("--scale", "s=%s,gap=20,frame=8,no-log" % scale.port) as service:
        service.wait_for("/v1/scales/s", lambda body: body["state"] == "weight")
        before = polls(scale)
        statuses, late, times = [], [], []

        def client():
            connection = http.client.HTTPConnection("127.0.0.1", service.port, timeout=10)
            for _ in range(REQUESTS // CLIENTS):
                start = time.perf_counter()
                connection.request("GET", "/v1/scales/s/reading?stable_ms=%d" % DEADLINE_MS)
                response = connection.getresponse()
                response.read()
                took = time.perf_counter() - start
                statuses.append(response.status)
                times.append(took)
                if took * 1000 > DEADLINE_MS:
                    late.append(took)
            connection.close()

        started = time.perf_counter()
        threads = [threading.Thread(target=client) for _ in range(CLIENTS)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        seconds = time.perf_counter() - started
        seen = polls(scale) - before
    errors = sum(1 for status in statuses if status != 200)
    results.append(("%d clients, %d requests: errors / past the %d ms deadline" % (CLIENTS, len(statuses), DEADLINE_MS),
                    "%d / %d" % (errors, len(late))))
    results.append(("  their time: median / 99th percentile / whole run",
                    "%.2f ms / %.2f ms / %.2f s" % (statistics.median(times) * 1000,
                                                    statistics.quantiles(times, n=100)[98] * 1000, seconds)))
    results.append(("  polls the scale saw meanwhile, and polls per request",
                    "%d, %.3f" % (seen, seen / len(statuses))))


def event_streams(results):
    """One thread reads every stream through a selector, so that the figure is the service's, not the client's."""
    with Simulator("--sequence", "1.5,2.5", "--delay", "150") as scale, \
            Service("--scale", "s=%s,gap=20,frame=8,no-log" % scale.port) as service:
        service.wait_for("/v1/scales/s", lambda body: body["state"] == "weight")
        chooser = selectors.DefaultSelector()
        streams = []
        for _ in range(STREAMS):
            connection = socket.create_connection(("127.0.0.1", service.port))
            connection.sendall(b"GET /v1/scales/s/events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
            connection.setblocking(False)
            chooser.register(connection, selectors.EVENT_READ, {"text": b"", "changes": set()})
            streams.append(connection)
        lags = []
        deadline = time.monotonic() + 60
        while any(len(key.data["changes"]) < CHANGES + 1 for key in chooser.get_map().values()):
            if time.monotonic() > deadline:
                raise RuntimeError("the streams did not all get their changes")
            for key, _ in chooser.select(timeout=1):
                arrived = datetime.now().astimezone()
                key.data["text"] += key.fileobj.recv(65536)
                for data in re.findall(rb"data: (\{.*\})\r?\n", key.data["text"]):
                    event = json.loads(data)
                    if event["change"] in key.data["changes"]:
                        continue
                    first = not key.data["changes"]
                    key.data["changes"].add(event["change"])
                    if not first:  # the first is the state at connection, not a change
                        lags.append((arrived - datetime.fromisoformat(event["reading"]["time"])).total_seconds())
        for connection in streams:
            connection.close()
    results.append(("%d event streams, %d changes each: events / from the change to each client, median / max"
                    % (STREAMS, CHANGES),
                    "%d / %.1f ms / %.1f ms" % (len(lags), statistics.median(lags) * 1000, max(lags) * 1000)))


def main():
    results = []
    one_reading(results)
    concurrent_clients(results)
    event_streams(results)
    print("| What | Figure |\n|---|---|")
    for what, figure in results:
        print("| %s | %s |" % (what, figure))


if __name__ == "__main__":
    main()
