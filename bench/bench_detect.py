"""`wsr37100 detect` on a busy machine: four simulated scales, one at each default rate, searched in one run,
beside CPU hogs (stress-ng --cpu 4 unless WSR37100_HOGS says how many; 0 runs without them). Prints each run's
time and what it found, then how many runs found all four at their rates. Detection may get slower on a busy
machine, never wrong. Run: make bench-detect (WSR37100_TOOL names the tool; WSR37100_RUNS, default 20;
WSR37100_SCALE_NICE=19 runs the simulators at that niceness: a scale's side scheduled late among the hogs)."""
import contextlib
import json
import os
import shutil
import statistics
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "tool"))
from test_tool import TOOL, Simulator  # noqa: E402

SCALES = [("2400", "7"), ("4800", "8"), ("9600", "8"), ("19200", "7")]  # each scale's rate and frame


def renice(pid, niceness):
    """Every thread of the process: the scale's own thread started before this."""
    for thread in os.listdir(f"/proc/{pid}/task"):
        os.setpriority(os.PRIO_PROCESS, int(thread), niceness)


@contextlib.contextmanager
def hogs(count):
    if count == 0:
        yield "none"
        return
    if shutil.which("stress-ng") is None:
        sys.exit("stress-ng is missing (or set WSR37100_HOGS=0)")
    process = subprocess.Popen(["stress-ng", "--cpu", str(count), "--quiet"])
    try:
        time.sleep(2)  # the hogs under way before the first run
        yield f"stress-ng --cpu {count}"
    finally:
        process.terminate()
        process.wait(timeout=30)


def main():
    runs = int(os.environ.get("WSR37100_RUNS", "20"))
    count = int(os.environ.get("WSR37100_HOGS", "4"))
    niceness = int(os.environ.get("WSR37100_SCALE_NICE", "0"))
    with contextlib.ExitStack() as stack:
        scales = [stack.enter_context(Simulator("--line-speed", rate, "--frame", frame)) for rate, frame in SCALES]
        wanted = {scale.port: (int(rate), int(frame)) for scale, (rate, frame) in zip(scales, SCALES)}
        for scale in scales:
            renice(scale.process.pid, niceness)
        with hogs(count) as beside:
            print(f"{runs} runs of detect over {len(scales)} simulators (niceness {niceness}), beside {beside},"
                  f" {os.cpu_count()} cores"
                  f" (load at start {os.getloadavg()[0]:.1f})")
            times, good = [], 0
            for run in range(1, runs + 1):
                started = time.monotonic()
                result = subprocess.run([TOOL, "detect", *wanted, "--json"], capture_output=True, text=True, timeout=120)
                times.append(time.monotonic() - started)
                found = {port["port"]: port for port in json.loads(result.stdout)}
                wrong = [f"{port}: {found[port]['result']}, {found[port]['rates']}" for port, (rate, frame) in wanted.items()
                         if (found[port].get("baud"), found[port].get("frame")) != (rate, frame)]
                good += not wrong
                print(f"run {run:2}: {times[-1] * 1000:5.0f} ms, load {os.getloadavg()[0]:4.1f}, "
                      + ("all four found" if not wrong else "; ".join(wrong)))
    print(f"\n{good} of {runs} runs found all four; time median {statistics.median(times) * 1000:.0f} ms,"
          f" longest {max(times) * 1000:.0f} ms")
    return 0 if good == runs else 1


if __name__ == "__main__":
    sys.exit(main())
