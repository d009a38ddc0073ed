"""What the service and the network link hold under hostile peers, on loopback: event fan-out to streams that
never read under a scale changing as fast as loopback allows, clients that trickle bytes into every connection
slot, a device server that sends a kept frame right after accepting, endless requests, and local clients that
would starve the others: 256 event streams, clients that pipeline without end and read nothing, a flood of
connections under a limit of 1024 descriptors, and all three at once. Prints a Markdown table.
Run: make bench-hostile (WSR37100_TOOL names the tool); `bench_hostile.py PART...` runs only those parts."""
import fcntl
import http.client
import json
import os
import select
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "service"))
from test_service import Service, Simulator, flood, hog, open_files, rss_kib, trickle  # noqa: E402

TOOL = os.environ["WSR37100_TOOL"]
STX, ETX, ENQ = b"\x02", b"\x03", 0x05


def frame(kilograms):
    return STX + ("%6.3f" % kilograms).encode() + ETX


class FastScale:
    """A raw TCP device server answering each ENQ at once, the weight changing at every answer;
    `kept`: a frame sent `after_ms` after accepting, before any poll."""

    def __init__(self, alternate=True, kept_after_ms=None):
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.port = self.listener.getsockname()[1]
        self.alternate, self.kept_after_ms = alternate, kept_after_ms
        self.running = True
        threading.Thread(target=self.accept, daemon=True).start()

    def accept(self):
        while self.running:
            try:
                connection, _ = self.listener.accept()
            except OSError:
                return
            threading.Thread(target=self.serve, args=(connection,), daemon=True).start()

    def serve(self, connection):
        connection.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        frames = [frame(1.0), frame(2.0)] if self.alternate else [frame(1.234)]
        answered = 0
        with connection:
            if self.kept_after_ms is not None:
                time.sleep(self.kept_after_ms / 1000)
                connection.sendall(frame(9.999))
            while self.running:
                try:
                    data = connection.recv(4096)
                except OSError:
                    return
                if not data:
                    return
                for byte in data:
                    if byte == ENQ:
                        connection.sendall(frames[answered % len(frames)])
                        answered += 1

    def close(self):
        self.running = False
        self.listener.close()


def timed_get(port, path):
    started = time.monotonic()
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
    connection.request("GET", path)
    response = connection.getresponse()
    response.read()
    connection.close()
    return response.status, (time.monotonic() - started) * 1000


def fan_out(rows):
    scale = FastScale()
    try:
        with Service("--scale", "fast=tcp://127.0.0.1:%d,frame=8,no-log" % scale.port) as service:
            service.wait_for("/v1/scales/fast", lambda body: body["change"] > 0)
            idle = []
            for _ in range(16):  # streams that never read
                stream = socket.create_connection(("127.0.0.1", service.port))
                stream.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
                stream.sendall(b"GET /v1/scales/fast/events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
                idle.append(stream)
            first = service.call("/v1/scales/fast")[2]["change"]
            started = time.monotonic()
            health, peak = [], 0
            while time.monotonic() - started < 10:
                status, ms = timed_get(service.port, "/health")
                health.append(ms if status == 200 else float("inf"))
                peak = max(peak, rss_kib(service.process.pid))
                time.sleep(0.05)
            changes = (service.call("/v1/scales/fast")[2]["change"] - first) / (time.monotonic() - started)
            for stream in idle:
                stream.close()
        rows.append(("16 streams that never read, scale changing %.0f times a second, 10 s" % changes,
                     "peak RSS %.1f MB; /health max %.1f ms, median %.2f ms (%d asks)"
                     % (peak / 1024, max(health), statistics.median(health), len(health)),
                     "RSS < 50 MB, /health < 100 ms"))
    finally:
        scale.close()


def slow_slots(rows):
    with Service("--scale", "s=tcp://127.0.0.1:1,no-log") as service:
        stop = threading.Event()
        threads = [threading.Thread(target=trickle, args=(service.port, stop, 4), daemon=True) for _ in range(256)]
        for thread in threads:
            thread.start()
        service.wait_for("/metrics", lambda text: "\nwsr37100_connections 25" in text, seconds=30)
        served = 0
        asks = 0
        started = time.monotonic()
        while time.monotonic() - started < 30:
            asks += 1
            try:
                served += service.call("/v1/scales/s")[0] == 200
            except OSError:
                pass
            time.sleep(1)
        stop.set()
        rows.append(("256 connections sending a byte every 4 s, a client asking once a second for 30 s",
                     "%d of %d answered (%.0f %%)" % (served, asks, 100.0 * served / asks), "≥ 95 %"))


def kept_frames(rows):
    for after in (0, 2, 20):
        scale = FastScale(alternate=False, kept_after_ms=after)
        stale = 0
        costs = []
        try:
            for _ in range(100):
                started = time.monotonic()
                result = subprocess.run([TOOL, "weigh", "tcp://127.0.0.1:%d" % scale.port, "9600", "--frame", "8",
                                         "--no-log", "--json"], capture_output=True, text=True, timeout=10)
                costs.append((time.monotonic() - started) * 1000)
                stale += json.loads(result.stdout)["weight"] != 1.234
        finally:
            scale.close()
        rows.append(("raw TCP server sending a kept frame %d ms after accepting, 100 readings" % after,
                     "%d stale; a reading (the tool, as a process) median %.1f ms" % (stale, statistics.median(costs)),
                     "0 stale"))


def endless(rows):
    with Service("--scale", "s=tcp://127.0.0.1:1,no-log") as service:
        start = b"GET /v1/scales/s/reading HTTP/1.1\r\nHost: 127.0.0.1\r\n"
        cases = [("chunk extension", b"Transfer-Encoding: chunked\r\n\r\n1;", b"x" * 65536),
                 ("trailer", b"Transfer-Encoding: chunked\r\n\r\n0\r\n", b"X-T: y\r\n" * 8192),
                 ("header", b"X-Long: ", b"a" * 65536),
                 ("body", b"Content-Length: 1000000000000\r\n\r\n", b"x" * 65536)]
        for name, head, filler in cases:
            before = rss_kib(service.process.pid)
            answer = flood(service.port, start + head, filler)
            rows.append(("an endless %s" % name, "%s; RSS +%d KiB" % (answer, rss_kib(service.process.pid) - before),
                         "a 4xx, < 2 MB"))


FILES = 1024  # the service's descriptor limit (soft and hard) in the starving parts, a common default
TOKEN = "s3cret"


class Streams:
    """`count` event streams of `path` held open from this one process and read (as EventSources would), each
    opened again a second after the service ends or refuses it; .opened and .refused count the answers."""

    def __init__(self, port, count, path):
        self.port, self.path = port, path
        self.opened = self.refused = 0
        self.running = True
        self.sockets = {}  # by descriptor: the socket and the start of its first answer
        self.watch = select.poll()  # select() takes no descriptor above 1023, and the flood opens more
        for _ in range(count):
            self.open()
        self.thread = threading.Thread(target=self.follow, daemon=True)
        self.thread.start()

    def open(self):
        try:
            stream = socket.create_connection(("127.0.0.1", self.port), timeout=2)
            stream.sendall(b"GET %s HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n" % self.path.encode())
            stream.setblocking(False)
            self.sockets[stream.fileno()] = [stream, b""]
            self.watch.register(stream, select.POLLIN)
        except OSError:
            pass

    def follow(self):
        while self.running:
            lost = 0
            for fd, _ in self.watch.poll(100):
                stream, first = self.sockets[fd]
                try:
                    data = stream.recv(65536)
                except OSError:
                    data = b""
                if first == b"" and data:
                    self.sockets[fd][1] = data[:12]
                    if data.startswith(b"HTTP/1.1 200"):
                        self.opened += 1
                    else:
                        self.refused += 1
                        data = b""  # an EventSource gives up on an error answer; a page makes a new one
                if not data:
                    self.watch.unregister(fd)
                    del self.sockets[fd]
                    stream.close()
                    lost += 1
            if lost:
                threading.Timer(1.0, lambda n=lost: [self.open() for _ in range(n)] if self.running else None).start()

    def close(self):
        self.running = False
        self.thread.join()
        for stream, _ in self.sockets.values():
            stream.close()


def connect_flood(port, stop, held=200):
    """Connections opened as fast as they are accepted and held, sending nothing, `held` at a time."""
    open_ones = []
    while not stop.is_set():
        try:
            open_ones.append(socket.create_connection(("127.0.0.1", port), timeout=2))
        except OSError:
            time.sleep(0.01)
        if len(open_ones) > held:
            open_ones.pop(0).close()
    for connection in open_ones:
        connection.close()


def starving(rows, streams=0, hogs=0, floods=0, token=False):
    """A logged scale changing at every poll and a service whose process may open FILES descriptors, under
    `streams` event streams of /v1/events, `hogs` clients pipelining `GET /` and `floods` threads of
    connection flood; a client asks for a reading once a second for 30 s (with the token, when there is one)."""
    with tempfile.TemporaryDirectory() as folder, Simulator("--sequence", "1.5,2.5") as scale:
        args = ["--scale", "s=%s,log-dir=%s" % (scale.port, os.path.join(folder, "logs"))]
        headers = {}
        if token:
            with open(os.path.join(folder, "token"), "w") as file:
                file.write(TOKEN + "\n")
            args += ["--token-file", os.path.join(folder, "token")]
            headers = {"Authorization": "Bearer " + TOKEN}
        with Service(*args, files=FILES) as service:
            service.wait_for("/v1/scales/s" + ("?access_token=" + TOKEN if token else ""), lambda body: body["change"] > 0)
            stop = threading.Event()
            followers = Streams(service.port, streams, "/v1/events" + ("?access_token=" + TOKEN if token else "")) \
                if streams else None
            threads = [threading.Thread(target=hog, args=(service.port, stop), daemon=True) for _ in range(hogs)]
            threads += [threading.Thread(target=connect_flood, args=(service.port, stop), daemon=True)
                        for _ in range(floods)]
            for thread in threads:
                thread.start()
            peak = [0]

            def sample():
                while not stop.is_set():
                    peak[0] = max(peak[0], open_files(service.process.pid))
                    time.sleep(0.05)

            sampler = threading.Thread(target=sample, daemon=True)
            sampler.start()
            time.sleep(3)  # the hostile clients settle in
            served, answers = 0, {}
            started = time.monotonic()
            for ask in range(30):
                time.sleep(max(0.0, started + ask - time.monotonic()))
                try:
                    status = service.call("/v1/scales/s/reading", headers=headers)[0]
                except OSError as error:
                    status = type(error).__name__
                served += status == 200
                answers[status] = answers.get(status, 0) + 1
            stop.set()
            if followers:
                followers.close()
            for thread in threads + [sampler]:
                thread.join(timeout=10)
            failures = sum(": failure" in line for line in service.messages().splitlines())
            opened = "; streams opened %d, refused %d" % (followers.opened, followers.refused) if followers else ""
        what = " + ".join(part for part in (
            "%d streams of /v1/events" % streams if streams else "",
            "%d clients pipelining 2000 `GET /` that read nothing" % hogs if hogs else "",
            "%d threads of connect flood" % floods if floods else "") if part)
        rows.append(("%s%s, limit %d descriptors: a client asking once a second for 30 s"
                     % (what, ", with a token" if token else "", FILES),
                     "%d of 30 answered 200 (others: %s); the scale's failures %d; descriptors at most %d%s"
                     % (served, ", ".join("%s × %d" % (k, v) for k, v in answers.items() if k != 200) or "none",
                        failures, peak[0], opened),
                     "≥ 29 of 30, 0 failures, < %d" % FILES))


def stream_slots(rows):
    starving(rows, streams=256)


def pipelining(rows):
    starving(rows, hogs=256, token=True)


def connect_floods(rows):
    starving(rows, streams=256, floods=8)


def all_at_once(rows):
    starving(rows, streams=256, hogs=256, floods=8, token=True)



def five_weighs(scale, folder):
    """`weigh` run 5 times against the scale, logging into folder: the seconds each took, and each result."""
    took, results = [], []
    for _ in range(5):
        started = time.monotonic()
        results.append(subprocess.run([TOOL, "weigh", scale.port, "9600", "--log-dir", folder],
                                      capture_output=True, text=True, timeout=30))
        took.append(time.monotonic() - started)
    return took, results


def locked_log(rows):
    """The writers' turn at the day's log held by another program (one that may open the turn
    file: a writer stuck on a network share, a backup run as root); a lock on the log itself
    holds up nothing."""
    with tempfile.TemporaryDirectory() as folder, Simulator("--weight", "2.5", stdin=subprocess.PIPE) as scale:
        with open(os.path.join(folder, time.strftime("logWSR37100_%d%m.txt")), "ab") as log:
            fcntl.lockf(log, fcntl.LOCK_EX)  # a whole-file lock on the log itself
            took, results = five_weighs(scale, folder)
            weighed = sum(result.returncode == 0 for result in results)
            rows.append(("`weigh` with a whole-file lock on the day's log itself, 5 runs",
                         "%d of 5 weighed; slowest %.2f s" % (weighed, max(took)), "5 of 5, as without the lock"))
        turn = os.open(os.path.join(folder, "logWSR37100.lock"), os.O_RDWR | os.O_CREAT, 0o660)
        with open(turn, "r+b") as held:
            fcntl.lockf(held, fcntl.LOCK_EX)
            took, results = five_weighs(scale, folder)
            said = sum(result.returncode == 4 and "bloqueado" in result.stderr for result in results)
            rows.append(("`weigh` with the writers' turn held by another program, 5 runs",
                         "%d of 5 a failure that says \"bloqueado\"; slowest %.2f s" % (said, max(took)),
                         "a clear failure within 2 s"))
            fcntl.lockf(held, fcntl.LOCK_UN)
            with Service("--scale", "s=%s,log-dir=%s" % (scale.port, folder)) as service:
                service.wait_for("/v1/scales/s", lambda body: body["state"] == "weight")
                fcntl.lockf(held, fcntl.LOCK_EX)
                scale.process.stdin.write("3.25\n")
                scale.process.stdin.flush()
                changed = time.monotonic()
                # The new weight is served as soon as it is read; the log that cannot be written is told beside it.
                served = told = None
                while time.monotonic() - changed < 5 and (served is None or told is None):
                    body = service.call("/v1/scales/s")[2]
                    if served is None and body["state"] == "weight" and body["reading"]["weight"] == 3.25:
                        served = time.monotonic() - changed
                    if told is None and body["log_failure"]:
                        told = time.monotonic() - changed
                    time.sleep(0.02)
                health = service.call("/health")[2]["status"]
                service.process.send_signal(signal.SIGTERM)
                sent = time.monotonic()
                service.process.wait(timeout=30)
                seconds = lambda value: "%.2f s" % value if value is not None else "not within 5 s"
                rows.append(("`serve` with the writers' turn held, the scale moving from 2.5 to 3.25 kg",
                             "3.25 kg served %s after the change, the log's failure told %s, `/health` %s; SIGTERM "
                             "ended it in %.3f s" % (seconds(served), seconds(told), health, time.monotonic() - sent),
                             "the new weight at once, the log's failure within 2 s; stop within 1 s"))


PARTS = (endless, kept_frames, fan_out, slow_slots, stream_slots, pipelining, connect_floods, all_at_once, locked_log)


def main():
    rows = []
    chosen = sys.argv[1:]
    for part in PARTS:
        if not chosen or part.__name__ in chosen:
            part(rows)
    print("| What | Figure | Goal |\n|---|---|---|")
    for row in rows:
        print("| %s | %s | %s |" % row)


if __name__ == "__main__":
    main()
