"""A point of sale beside hostile local programs, for an hour (or `--minutes`): `serve` with one logged scale whose
weight changes every few seconds, a till (a process of its own) asking for a reading once a second, and windows of
equal length, each with its own hogs: none, 256 event streams, 256 clients pipelining and reading nothing, a
connect flood, the writers' turn at the day's log held 20 s of every 30, a whole-file lock on the day's log
itself, all of them at once, then none again. Per window: the till's readings right, stale (a weight the scale
stopped showing more than the grace before the ask) and failed; the service's memory and CPU. Then `serve` with
three idle scales, its CPU over a minute. Prints Markdown tables.
Run: make bench-soak (WSR37100_TOOL names the tool); SOAK_MINUTES=10 for a shorter run, SOAK_WINDOWS=0,2,7
for only those windows (numbered from 0)."""
import bisect
import fcntl
import http.client
import json
import multiprocessing
import os
import statistics
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bench_hostile import FILES, TOKEN, Streams, connect_flood  # noqa: E402
from test_service import Service, Simulator, hog  # noqa: E402

GRACE = 0.3  # a change is read within the monitor's pace and a poll: older weights after this are stale
TICKS = os.sysconf("SC_CLK_TCK")


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICKS


class Weights:
    """The weight the scale shows, changed every 4 to 9 s through the simulator's stdin; remembers when."""

    def __init__(self, scale, stop):
        self.scale, self.stop = scale, stop
        self.times, self.values = [time.monotonic()], [1.0]
        self.thread = threading.Thread(target=self.run, daemon=True)
        self.thread.start()

    def run(self):
        step = 0
        while not self.stop.wait(4 + step % 6):
            step += 1
            weight = round(1.0 + (step * 0.137) % 20, 3)
            self.scale.process.stdin.write("%.3f\n" % weight)
            self.scale.process.stdin.flush()
            self.times.append(time.monotonic())  # after the write: the scale may show it a little before
            self.values.append(weight)

    def shown(self, since, until):
        """The weights shown at some moment from `since` to `until`."""
        first = max(0, bisect.bisect_right(self.times, since) - 1)
        last = bisect.bisect_right(self.times, until)
        return set(self.values[first:last + 1])


class Hostiles:
    """The hogs of one window, started together and stopped together."""

    def __init__(self, service, folder, streams=0, hogs=0, floods=0, turn=False, whole_file=False):
        self.stop = threading.Event()
        self.followers = Streams(service.port, streams, "/v1/events?access_token=" + TOKEN) if streams else None
        self.threads = [threading.Thread(target=hog, args=(service.port, self.stop), daemon=True)
                        for _ in range(hogs)]
        self.threads += [threading.Thread(target=connect_flood, args=(service.port, self.stop), daemon=True)
                         for _ in range(floods)]
        if turn:
            self.threads.append(threading.Thread(target=self.hold_turn, args=(folder,), daemon=True))
        if whole_file:
            self.threads.append(threading.Thread(target=self.lock_log, args=(folder,), daemon=True))
        for thread in self.threads:
            thread.start()

    def hold_turn(self, folder):
        """A program that can open the writers' turn file holds it 20 s of every 30."""
        with open(os.path.join(folder, "logWSR37100.lock"), "a+b") as turn:
            while not self.stop.is_set():
                fcntl.lockf(turn, fcntl.LOCK_EX)
                self.stop.wait(20)
                fcntl.lockf(turn, fcntl.LOCK_UN)
                self.stop.wait(10)

    def lock_log(self, folder):
        """A reader of the day's log with a whole-file read lock on it, taken again each new day."""
        while not self.stop.is_set():
            with open(os.path.join(folder, time.strftime("logWSR37100_%d%m.txt")), "a+b") as log:
                fcntl.lockf(log, fcntl.LOCK_SH)
                self.stop.wait(60)

    def end(self):
        self.stop.set()
        if self.followers:
            self.followers.close()
        for thread in self.threads:
            thread.join(timeout=10)


WINDOWS = [
    ("none", {}),
    ("256 event streams", {"streams": 256}),
    ("256 clients pipelining `GET /`, reading nothing", {"hogs": 256}),
    ("a connect flood, 8 threads", {"floods": 8}),
    ("the writers' turn held 20 s of 30", {"turn": True}),
    ("a whole-file lock on the day's log", {"whole_file": True}),
    ("all of them at once", {"streams": 256, "hogs": 256, "floods": 8, "turn": True, "whole_file": True}),
    ("none, after", {}),
]


def memory_kib(pid):
    """The process's resident memory, and the part of it that is its own (heap, stacks: RssAnon) rather than
    pages of its program and libraries mapped from their files (RssFile: clean, shared, given back at need)."""
    fields = {}
    with open("/proc/%d/status" % pid) as status:
        for line in status:
            name, _, value = line.partition(":")
            if name in ("VmRSS", "RssAnon", "RssFile", "RssShmem"):
                fields[name] = int(value.split()[0])
    return fields["VmRSS"], fields["RssAnon"], fields["RssFile"] + fields.get("RssShmem", 0)


def ask(port):
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=5)
    try:
        connection.request("GET", "/v1/scales/s/reading", headers={"Authorization": "Bearer " + TOKEN})
        response = connection.getresponse()
        body = response.read()
        if response.status != 200:
            code = json.loads(body).get("code", "") if body.startswith(b"{") else ""
            return ("%d %s" % (response.status, code)).strip(), None
        reading = json.loads(body)["reading"]
        return ("200", reading["weight"]) if reading["kind"] == "weight" else (reading["kind"], None)
    except OSError as error:
        return type(error).__name__, None
    finally:
        connection.close()


def soak(window_seconds):
    rows = []
    with tempfile.TemporaryDirectory() as folder, Simulator("--weight", "1.000", stdin=subprocess.PIPE) as scale:
        logs = os.path.join(folder, "logs")
        os.mkdir(logs)
        with open(os.path.join(folder, "token"), "w") as file:
            file.write(TOKEN + "\n")
        with Service("--scale", "s=%s,log-dir=%s" % (scale.port, logs), "--token-file",
                     os.path.join(folder, "token"), files=FILES) as service:
            service.wait_for("/v1/scales/s?access_token=" + TOKEN, lambda body: body["change"] > 0)
            stop = threading.Event()
            weights = Weights(scale, stop)
            # The till is a program of its own: the hogs' threads here do not hold up its requests.
            till = multiprocessing.get_context("spawn").Pool(1)
            chosen = os.environ.get("SOAK_WINDOWS")  # numbers of the windows to run, "0,2,7"; all by default
            for index, (name, hostile) in enumerate(WINDOWS):
                if chosen and str(index) not in chosen.split(","):
                    continue
                hogs = Hostiles(service, logs, **hostile)
                right = stale = 0
                failed = {}
                rss = []
                own = []
                cpu = cpu_seconds(service.process.pid)
                started = time.monotonic()
                asks = 0
                while time.monotonic() - started < window_seconds:
                    time.sleep(max(0.0, started + asks - time.monotonic()))
                    asks += 1
                    sent = time.monotonic()
                    status, weight = till.apply(ask, (service.port,))
                    done = time.monotonic()
                    total, anon, _ = memory_kib(service.process.pid)
                    rss.append(total)
                    own.append(anon)
                    if status != "200":
                        failed[status] = failed.get(status, 0) + 1
                    elif weight in weights.shown(sent - GRACE, done):
                        right += 1
                    else:
                        stale += 1
                        print("stale: asked at %.3f, answered %.3f after, %s; shown then %s; changes at %s"
                              % (sent, done - sent, weight, weights.shown(sent - GRACE, done),
                                 [round(t, 3) for t in weights.times[-3:]]), file=sys.stderr, flush=True)
                used = (cpu_seconds(service.process.pid) - cpu) / (time.monotonic() - started)
                hogs.end()
                rows.append((name, asks, right, stale, failed, rss, used, own))
                print("%s: %d of %d right, %d stale, failed %s, RSS median %.1f MB, max %.1f MB, CPU %.0f %%"
                      % (name, right, asks, stale, failed or "none", statistics.median(rss) / 1024,
                         max(rss) / 1024, used * 100), file=sys.stderr, flush=True)
            stop.set()
            till.terminate()
            journal = len(service.messages().splitlines())
    return rows, journal


def idle_cpu(seconds=60):
    with Simulator("--weight", "1") as a, Simulator("--weight", "2") as b, Simulator("--weight", "3") as c:
        with Service(*[arg for s, n in ((a, "a"), (b, "b"), (c, "c"))
                       for arg in ("--scale", "%s=%s,no-log" % (n, s.port))]) as service:
            service.wait_for("/v1/scales/c", lambda body: body["change"] > 0)
            cpu = cpu_seconds(service.process.pid)
            started = time.monotonic()
            time.sleep(seconds)
            return (cpu_seconds(service.process.pid) - cpu) / (time.monotonic() - started)


def main():
    minutes = float(os.environ.get("SOAK_MINUTES", "60"))
    rows, journal = soak(minutes * 60 / len(WINDOWS))
    print("| Window (%.1f min each) | Readings right | Stale | Failed | RSS median / max | CPU |" % (minutes / len(WINDOWS)))
    print("|---|---|---|---|---|---|")
    for name, asks, right, stale, failed, rss, used, _ in rows:
        print("| %s | %d of %d (%.1f %%) | %d | %s | %.1f / %.1f MB | %.1f %% |"
              % (name, right, asks, 100.0 * right / asks, stale,
                 ", ".join("%s × %d" % item for item in failed.items()) or "0",
                 statistics.median(rss) / 1024, max(rss) / 1024, used * 100))
    first, last = statistics.median(rows[0][5]), statistics.median(rows[-1][5])
    own_first, own_last = statistics.median(rows[0][7]), statistics.median(rows[-1][7])
    print("\nRSS once the hogs stopped: %.1f MB, %+.1f MB from before them, of which the service's own memory "
          "(heap and stacks) %+.1f MB and pages of its program first run in the hostile windows the rest; "
          "the service's journal: %d lines"
          % (last / 1024, (last - first) / 1024, (own_last - own_first) / 1024, journal))
    print("`serve` with three idle scales: %.2f %% of a core over a minute" % (idle_cpu() * 100))


if __name__ == "__main__":
    main()
