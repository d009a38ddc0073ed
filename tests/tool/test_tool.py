"""The wsr37100 command-line tool as a process: exit status, stdout and stderr, against its own simulator."""
import contextlib
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

from test_readme import ReadmeTest  # noqa: F401  (the README's commands run with the tool's tests)

TOOL = os.environ["WSR37100_TOOL"]
TIME = r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}[+-]\d\d:\d\d"


class Simulator:
    """`wsr37100 simulate ARGS` in the background; .port is its device.

    Without a --link of the caller's, the device is named by a link in a folder of the simulator's own:
    a /dev/pts/N would be the next simulator's name once this one ends, and a program still retrying it
    (another test's service, reopening its lost scale) would take that one's port."""

    def __init__(self, *args, stdin=subprocess.DEVNULL):
        self.args = args
        self.stdin = stdin  # lines on it change the answer; by default none, nor the terminal of whoever tests

    def __enter__(self):
        # With --verbose a line per poll on stderr: a file, since a pipe nobody reads would
        # fill up and stop the scale.
        self.log = tempfile.TemporaryFile(mode="w+")
        self.folder = None
        args = self.args
        if "--link" not in args:
            self.folder = tempfile.TemporaryDirectory(prefix="scale-")
            args = (*args, "--link", os.path.join(self.folder.name, "tty"))
        self.process = subprocess.Popen([TOOL, "simulate", *args], stdin=self.stdin, stdout=subprocess.PIPE,
                                        stderr=self.log, text=True)
        self.port = self.process.stdout.readline().strip()
        if not self.port:
            self.process.wait(timeout=10)
            self.log.seek(0)
            raise RuntimeError("simulator printed no port: " + self.log.read())
        return self

    def stderr_so_far(self):
        """What the running simulator has written to stderr (read without moving the offset it writes at)."""
        return os.pread(self.log.fileno(), os.fstat(self.log.fileno()).st_size, 0).decode()

    def __exit__(self, *exc):
        if self.process.stdin:
            self.process.stdin.close()
            self.process.stdin = None  # closed already: nothing for communicate() to flush
        self.process.terminate()
        self.process.communicate(timeout=10)
        self.log.seek(0)
        self.stderr = self.log.read()
        self.log.close()
        if self.folder:
            self.folder.cleanup()
        return False


def write(path, text):
    with open(path, "w") as file:
        file.write(text)


def remove(path):
    if os.path.isdir(path) and not os.path.islink(path):
        os.rmdir(path)
    elif os.path.lexists(path):
        os.remove(path)


def run(*args, env=None, umask=-1):
    result = subprocess.run([TOOL, *args], capture_output=True, text=True, timeout=60,
                            env=None if env is None else {**os.environ, **env}, umask=umask)
    return result.returncode, result.stdout, result.stderr


class WeighTest(unittest.TestCase):
    def test_results_on_stdout(self):
        cases = [  # simulator, exit status, the line (a weight on stdout, anything else on stderr), weigh's own arguments
            (["--weight", "12.345"], 0, "12.345 kg\n"),
            (["--weight", "0"], 0, "0.000 kg\n"),
            (["--sequence", "I,I,1.5"], 0, "1.500 kg\n", "--stable", "2000"),
            (["--sequence", "1.4,1.5,1.5"], 0, "1.500 kg\n", "--stable", "2000", "--equal", "2"),
            (["--status", "I"], 2, "status I: unstable, the weight is in motion\n", "--stable", "300"),
            (["--weight", "1.5", "--frame", "7"], 0, "1.500 kg\n"),
            (["--status", "N"], 2, "status N: negative, below zero\n"),
            (["--status", "S", "--frame", "7"], 2, "status S: overload, above capacity\n"),
            (["--status", "I"], 2, "status I: unstable, the weight is in motion\n"),
            (["--sequence", "hex:0220204942433103"], 2, "status I: unstable, the weight is in motion\n"),
            (["--sequence", "hex:02414243444503"], 2, "unreadable reply: not a weight, check the baud rate\n"),
            (["--sequence", "hex:0220414243444503"], 2, "unreadable reply: not a weight, check the baud rate\n"),
            (["--sequence", "hex:0209494243443103"], 2, "status I: unstable, the weight is in motion\n"),
            (["--sequence", "hex:0002494243443103"], 2, "unreadable reply: not a weight, check the baud rate\n"),
            (["--sequence", "hex:00493030303003"], 2, "unreadable reply: not a weight, check the baud rate\n"),
            (["--line-speed", "4800"], 2, "unreadable reply: not a weight, check the baud rate\n"),
            (["--silent"], 3, "no reading: silence, the scale sent nothing within 1000 ms\n"),
            (["--partial", "3"], 3, "no reading: five partial replies of 1 to 6 bytes\n"),
        ]
        for sim_args, status, line, *args in cases:
            with self.subTest(sim_args=sim_args, args=args), Simulator(*sim_args) as scale:
                self.assertEqual(run("weigh", scale.port, "9600", "--gap", "20", "--no-log", *args),
                                 (status, line, "") if status == 0 else (status, "", line))

    def test_no_reading_and_failure_split_stdout_and_stderr(self):
        with Simulator() as scale:
            with open(scale.port, "rb") as held:  # another program holds the port
                fcntl.flock(held, fcntl.LOCK_EX)
                busy = run("weigh", scale.port, "--no-log")
                busy_json = json.loads(run("weigh", scale.port, "--no-log", "--json")[1])
            failed = run("weigh", scale.port, "--log-dir", "/no/such/folder")
        missing = run("weigh", "/dev/ttyNoSuchScale", "--no-log")
        missing_json = json.loads(run("weigh", "/dev/ttyNoSuchScale", "--no-log", "--json")[1])
        cases = [  # result, exit status, stdout, a part of stderr
            (missing, 3, "", "no reading: port unavailable, no such device\nNão foi possível abrir"),
            (busy, 3, "", "no reading: port unavailable, another program holds it\n"),
            (busy, 3, "", scale.port),
            (failed, 4, "", "the reading failed; the module says:\n"),
        ]
        for (status, out, err), want_status, want_out, want_err in cases:
            with self.subTest(out=want_out):
                self.assertEqual((status, out), (want_status, want_out))
                self.assertIn(want_err, err)
        for reading, cause in ((missing_json, "missing"), (busy_json, "busy")):
            self.assertEqual((reading["reason"], reading["cause"], reading["weight"]), ("port-unavailable", cause, None))
        self.assertIn("Não foi possível abrir", missing_json["message"])

    def test_usage_errors(self):
        cases = [  # arguments, a part of stderr
            ([], "A subcommand is required"),
            (["nonsense"], "unknown command 'nonsense'"),
            (["weigh", "COM1", "96OO"], "not a whole number (as 9600): 96OO"),
            (["weigh", "COM1", "--stable", "0"], "--stable"),
            (["weigh", "COM1", "--equal", "2"], "requires --stable"),
            (["weigh", "COM1", "--watch", "--stable", "100"], "excludes"),
            (["weigh", "COM1", "--frame", "9"], "--frame"),
            (["weigh", "COM1", "--no-log", "--log-dir", "/tmp"], "excludes"),
            (["simulate", "--silent", "--status", "N"], "excludes"),
            (["simulate", "--status", "I", "--partial", "2"], "excludes"),
            (["simulate", "--frame", "9"], "--frame"),
        ]
        for args, err in cases:
            with self.subTest(args=args):
                status, out, stderr = run(*args)
                self.assertEqual((status, out), (64, ""))
                self.assertIn(err, stderr)

    def test_help_and_version(self):
        self.assertEqual(run("--version"), (0, "wsr37100 6.49.9\n", ""))
        status, out, _ = run("weigh", "--help")
        self.assertEqual(status, 0)
        self.assertIn("~/.local/state/wsr37100", out)
        self.assertIn("I unstable (in motion), N negative (below zero), S overload (above capacity)", out)

        # Each command's --help tells its own exit statuses, among them those it is seen to return.
        with tempfile.TemporaryDirectory() as folder:
            taken = os.path.join(folder, "taken")
            write(taken, "")
            cases = [  # arguments, the command's exit status
                (["weigh", os.path.join(folder, "ttyNone"), "--no-log"], 3),
                (["weigh", "--nope"], 64),
                (["simulate", "--link", taken], 73),
                (["ports", "--json"], 0),
                (["ports", "--nope"], 64),
                (["demo", "--nope"], 64),
                (["serve", "--nope"], 64),
                (["browser-policy", "--install", "--policy-dir", taken, "https://pos.example"], 1),
                (["browser-policy", "pos.example"], 64),
            ]
            said = {}
            for args, expected in cases:
                with self.subTest(args=args):
                    self.assertEqual(run(*args)[0], expected)
                    help_text = run(args[0], "--help")[1]
                    said[args[0]] = re.search(r"Exit status: (.*?\.)\s", help_text, re.S).group(1)
                    self.assertIn(expected, [int(n) for n in re.findall(r"(?<![\w.-])(\d+) (?=\S)", said[args[0]])])
        self.assertEqual(len(set(said.values())), len(said), said)

    def test_json_and_raw(self):
        with Simulator("--sequence", "1.5,N,hex:02303132333403", "--frame", "8", "--verbose") as scale:
            readings = [json.loads(run("weigh", scale.port, "--gap", "20", "--no-log", "--json")[1]) for _ in range(2)]
            raw = run("weigh", scale.port, "--gap", "20", "--no-log", "--raw")
        self.assertRegex(readings[0].pop("time"), "^" + TIME + "$")
        self.assertEqual(readings[0], {"kind": "weight", "weight": 1.5, "polls": 1, "bytes": 8,
                                       "reply": "0220312E35303003", "message": ""})
        self.assertEqual((readings[1]["kind"], readings[1]["weight"], readings[1]["status"], readings[1]["letter"]),
                         ("status", None, "negative", "N"))
        self.assertEqual(raw, (0, "1.234 kg\nreply (7 bytes, 1 polls): 02 30 31 32 33 34 03\n", ""))
        self.assertEqual(scale.stderr.count("poll "), 3)


def eventually(probe, expected, seconds=30):
    """probe() until it returns expected, at most for a deadline generous on a loaded machine; its last value."""
    deadline = time.monotonic() + seconds
    while True:
        got = probe()
        if got == expected or time.monotonic() > deadline:
            return got
        time.sleep(0.05)


class LiveAnswerTest(unittest.TestCase):
    def test_lines_on_stdin_change_the_answer(self):
        def reading():
            got = json.loads(run("weigh", scale.port, "--gap", "20", "--no-log", "--json")[1])
            return got["kind"], got["weight"], got.get("letter", got.get("reason"))

        cases = [  # line written, what the simulator says on stderr, the reading from then on
            ("3.25", "answering 3.25 from the next poll\n", ("weight", 3.25, None)),
            ("N", "answering N from the next poll\n", ("status", None, "N")),
            ("silent", "answering silent from the next poll\n", ("no-reading", None, "silence")),
            ("3,25kg", "wsr37100 simulate: not a weight: 25kg; the answer is unchanged\n",
             ("no-reading", None, "silence")),
            ("I,I,1.5", "answering I,I,1.5 from the next poll\n", ("status", None, "I")),
            ("7.5", "answering 7.5 from the next poll\n", ("weight", 7.5, None)),
        ]
        with Simulator("--weight", "1.5", stdin=subprocess.PIPE) as scale:
            self.assertEqual(reading(), ("weight", 1.5, None))
            for line, said, expected in cases:
                with self.subTest(line=line):
                    scale.process.stdin.write(line + "\n")
                    scale.process.stdin.flush()
                    self.assertTrue(eventually(lambda: said in scale.stderr_so_far(), True), scale.stderr_so_far())
                    self.assertEqual(eventually(reading, expected), expected)
            scale.process.stdin.close()
            self.assertTrue(eventually(lambda: "standard input ended" in scale.stderr_so_far(), True))
            self.assertEqual((reading(), scale.process.poll()), (("weight", 7.5, None), None))
        self.assertEqual(scale.stderr.count("the answer is unchanged"), 1)
        self.assertEqual(scale.process.returncode, 0)


class CompletionTest(unittest.TestCase):
    def test_bash_completes_every_command_and_option_of_help(self):
        completion = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "cli",
                                  "wsr37100.bash")

        def complete(*words):
            """COMPREPLY for the command line `wsr37100 WORDS`, the last word the one being completed."""
            return set(subprocess.run(
                ["bash", "-c", 'source "$0"; COMP_WORDS=(wsr37100 "$@"); COMP_CWORD=$#; _wsr37100; '
                 'printf "%s\\n" "${COMPREPLY[@]}"', completion, *words],
                capture_output=True, text=True, check=True).stdout.split())

        def options(*command):
            return set(re.findall(r"^\s+(?:-\w,)?(--[a-z][a-z-]+)", run(*command, "--help")[1], re.M))

        commands = set(re.findall(r"^  ([a-z-]+) ", run("--help")[1].split("Subcommands:")[1], re.M))
        with tempfile.TemporaryDirectory() as folder:
            config = os.path.join(folder, "serve.json")
            write(config, "{}")
            os.mkdir(os.path.join(folder, "managed"))
            cases = [  # the words typed, what is offered
                (["ser"], {c for c in commands if c.startswith("ser")}),
                ([""], commands | options()),
                (["-"], options()),
                *[([command, "--"], options(command)) for command in sorted(commands)],
                (["serve", "--config", os.path.join(folder, "se")], {config}),
                (["serve", "--token-file", os.path.join(folder, "se")], {config}),
                (["serve", "--scale", "counter", "=", "/dev/nul"], {"/dev/null"}),
                (["serve", "--scale", "counter=/dev/nul"], {"counter=/dev/null"}),
                (["weigh", "/dev/nul"], {"/dev/null"}),
                (["serve", "--port", ""], set()),
                (["browser-policy", "--policy-dir", os.path.join(folder, "")], {os.path.join(folder, "managed")}),
            ]
            for words, offered in cases:
                with self.subTest(words=words):
                    self.assertEqual(complete(*words), offered)


class LogTest(unittest.TestCase):
    """Where the log goes by default, and the user's regional settings in it."""

    def test_default_folder_and_locale(self):
        with tempfile.TemporaryDirectory() as home, Simulator("--weight", "3.25") as scale:
            beside = os.path.join(home, "copy")  # a copy of the tool with dados beside it
            os.makedirs(os.path.join(beside, "bin", "dados"))
            shutil.copy(TOOL, os.path.join(beside, "bin"))
            os.symlink(os.path.join(os.path.dirname(os.path.dirname(TOOL)), "lib"), os.path.join(beside, "lib"))
            cases = [  # tool, environment, log folder, date and decimal separator in the log
                (TOOL, {"HOME": home, "XDG_STATE_HOME": "", "LC_ALL": "C"},
                 os.path.join(home, ".local", "state", "wsr37100"), rb"\d\d/\d\d/\d\d \d\d:\d\d:\d\d - ", b"3.250"),
                (TOOL, {"XDG_STATE_HOME": os.path.join(home, "state"), "LC_ALL": "pt_BR.ISO-8859-1"},
                 os.path.join(home, "state", "wsr37100"), rb"\d\d/\d\d/\d{4} \d\d:\d\d:\d\d - ", b"3,250"),
                (os.path.join(beside, "bin", "wsr37100"), {"HOME": home, "LC_ALL": "C"},
                 os.path.join(beside, "bin", "dados"), rb"\d\d/\d\d/\d\d ", b"3.250"),
            ]
            for tool, env, folder, date, separator in cases:
                with self.subTest(folder=folder):
                    result = subprocess.run([tool, "weigh", scale.port, "--gap", "20"], capture_output=True,
                                            env={**os.environ, **env}, timeout=30)
                    self.assertEqual(result.stdout, b"3.250 kg\n", result.stderr.decode(errors="replace"))
                    # The day's file, and beside it the writers' turn file.
                    [name] = [n for n in os.listdir(folder) if n != "logWSR37100.lock"]
                    self.assertIn("logWSR37100.lock", os.listdir(folder))
                    with open(os.path.join(folder, name), "rb") as log:
                        text = log.read()
                    self.assertRegex(text, rb"^" + date)
                    self.assertIn(b" - Ajustando o separador decimal: " + separator + b"\r\n", text)


def start(*args):
    return subprocess.Popen([TOOL, *args], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)


class InterruptTest(unittest.TestCase):
    def test_watch_is_timestamped_and_stops_at_once(self):
        cases = [  # simulator, watch arguments, a line of its output (one per change), on stdout or stderr
            (["--sequence", "2,3"], ["--watch"], "^" + TIME + " [23].000 kg$", 0),
            (["--sequence", "2,3"], ["--watch", "--json"], '^{"time":"' + TIME + '","kind":"weight"', 0),
            (["--silent"], ["--watch"], "^" + TIME + " no reading: silence", 1),  # stopped within a silence
        ]
        for sim_args, args, line, stream in cases:
            with self.subTest(args=args), Simulator(*sim_args) as scale:
                watch = start("weigh", scale.port, "--gap", "20", "--no-log", *args)
                time.sleep(1.0)
                watch.send_signal(signal.SIGINT)
                sent = time.monotonic()
                out = watch.communicate(timeout=10)[stream]
                self.assertLess(time.monotonic() - sent, 0.5)
                self.assertEqual(watch.returncode, 130)
                self.assertGreaterEqual(len(out.splitlines()), 0 if "--silent" in sim_args else 3)
                for printed in out.splitlines():
                    self.assertRegex(printed, line)

    def test_demo_cleans_up(self):
        for interrupt_after in (None, 1.5):
            with self.subTest(interrupt_after=interrupt_after), tempfile.TemporaryDirectory() as temp:
                demo = subprocess.Popen([TOOL, "demo"], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                                        env={**os.environ, "TMPDIR": temp})
                if interrupt_after:
                    time.sleep(interrupt_after)
                    demo.send_signal(signal.SIGINT)
                out, _ = demo.communicate(timeout=60)
                self.assertEqual(demo.returncode, 130 if interrupt_after else 0)
                self.assertEqual(os.listdir(temp), [])
                if not interrupt_after:
                    self.assertIn("12.345 kg", out)
                    self.assertIn("Valor de buffer = <02>12.345<03>", out)


class LinkTest(unittest.TestCase):
    def test_link_never_replaces_anything(self):
        with tempfile.TemporaryDirectory() as folder:
            path = os.path.join(folder, "scale")
            with Simulator("--link", path) as first:
                self.assertEqual(first.port, path)
                self.assertEqual(run("weigh", path, "--gap", "20", "--no-log")[0], 0)
                taken = run("simulate", "--link", path)
            self.assertFalse(os.path.lexists(path))
            cases = [  # what is at the path, a part of stderr
                (lambda: write(path, "a user's file"), "already exists"),
                (lambda: os.mkdir(path), "already exists"),
                (lambda: os.symlink("/dev/null", path), "already exists"),
                (lambda: None, "the folder " + os.path.join(folder, "missing") + " does not exist"),
            ]
            for make, err in cases:
                with self.subTest(err=err):
                    make()
                    target = path if os.path.lexists(path) else os.path.join(folder, "missing", "scale")
                    before = os.lstat(target) if os.path.lexists(target) else None
                    for background in ([], ["--background"]):  # the same status, from the process that returns
                        status, out, stderr = run("simulate", "--link", target, *background)
                        self.assertEqual((status, out), (73, ""))
                        self.assertIn(err, stderr)
                    self.assertEqual(os.lstat(target) if os.path.lexists(target) else None, before)
                    remove(path)
        self.assertEqual(taken[0], 73)

    def test_background_returns_once_the_link_answers(self):
        with tempfile.TemporaryDirectory() as folder, tempfile.TemporaryFile() as log:
            for turn in range(5):
                path = os.path.join(folder, f"scale{turn}")
                started = subprocess.run([TOOL, "simulate", "--weight", "2.5", "--link", path, "--background"],
                                         stdout=subprocess.PIPE, stderr=log, text=True, timeout=60)
                self.assertEqual(started.returncode, 0)
                pid = int(started.stdout)
                try:
                    self.assertEqual(run("weigh", path, "--gap", "20", "--no-log")[:2], (0, "2.500 kg\n"))
                finally:
                    os.kill(pid, signal.SIGTERM)
                deadline = time.monotonic() + 10
                while os.path.lexists(path) and time.monotonic() < deadline:
                    time.sleep(0.05)
                self.assertFalse(os.path.lexists(path))  # stopped by its process id, it removed its link
        self.assertEqual(run("simulate", "--background")[0], 64)  # nothing to wait for without --link

    def test_a_replaced_link_is_left_alone(self):
        with tempfile.TemporaryDirectory() as folder:
            path = os.path.join(folder, "scale")
            with Simulator("--link", path):
                os.remove(path)
                write(path, "a user's file")
            with open(path) as kept:
                self.assertEqual(kept.read(), "a user's file")


class BlackHoledNameTest(unittest.TestCase):
    """A name server that never answers: a look-up is held to the connect limit and to a stop."""

    def test_a_look_up_that_never_ends_costs_the_limit_and_no_more(self):
        if os.geteuid() != 0 or shutil.which("unshare") is None:
            self.skipTest("needs root and unshare to give the tool a resolver of its own")
        import socket
        with tempfile.TemporaryDirectory() as folder, socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as hole:
            # A name server's port on a loopback address of its own (another suite may run this case
            # at the same moment): it takes the questions and answers none.
            for last in range(2, 250):
                try:
                    hole.bind(("127.0.53.%d" % last, 53))
                    break
                except OSError:
                    continue
            resolv = os.path.join(folder, "resolv.conf")
            write(resolv, "nameserver %s\n" % hole.getsockname()[0])
            prefix = ["unshare", "-m", "sh", "-c", 'mount --bind "$0" /etc/resolv.conf && exec "$@"', resolv, TOOL]
            port = "tcp://scale.example:4001"
            started = time.monotonic()
            weighed = subprocess.run(prefix + ["weigh", port, "9600", "--no-log", "--json"], capture_output=True,
                                     text=True, timeout=30)
            took = time.monotonic() - started
            reading = json.loads(weighed.stdout)
            self.assertEqual((weighed.returncode, reading["cause"]), (3, "host-not-found"), weighed.stderr)
            self.assertIn("1000 ms", reading["message"])
            # The connect limit, with room for a loaded machine and a sanitized program's start; the
            # resolver's own time-outs, which a look-up without a limit waits out, are 10 s.
            self.assertLess(took, 6.0)

            serve = subprocess.Popen(prefix + ["serve", "--port", "0", "--scale", "far=%s,no-log" % port],
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
            try:
                self.assertTrue(serve.stdout.readline().startswith("http://"))
                serve.send_signal(signal.SIGTERM)  # its monitor is in the middle of a look-up
                started = time.monotonic()
                self.assertEqual(serve.wait(timeout=30), 0)
                # At once; the guard leaves room for a loaded machine and stays far under the 10 s of a
                # look-up left to the system resolver's own time-outs.
                self.assertLess(time.monotonic() - started, 6.0)
            finally:
                if serve.poll() is None:
                    serve.kill()
                serve.communicate()


def stage_tool(folder):
    """A copy of the tool in folder/bin with its shared library in folder/lib, as installed; its path."""
    library = os.path.join(os.path.dirname(os.path.realpath(TOOL)), "..", "lib")
    for part in ("bin", "lib"):
        os.makedirs(os.path.join(folder, part), mode=0o755)
    for name in os.listdir(library):
        if name.startswith("libwsr37100.so"):
            shutil.copy2(os.path.join(library, name), os.path.join(folder, "lib", name), follow_symlinks=False)
    tool = os.path.join(folder, "bin", os.path.basename(TOOL))
    shutil.copy2(TOOL, tool)
    return tool


class PortsTest(unittest.TestCase):
    """`ports` from a copy of sysfs and /dev."""

    def make_system(self, root):
        usb = "sys/devices/pci0000:00/usb1/1-2"
        files = {
            "sys/class/tty/ttyUSB0/device": ("link", "../../../" + usb[4:] + "/1-2:1.0/ttyUSB0"),
            usb + "/1-2:1.0/ttyUSB0/driver": ("link", "../../../../../../bus/usb-serial/drivers/ftdi_sio"),
            usb + "/idVendor": "0403", usb + "/idProduct": "6001", usb + "/serial": "A12345",
            usb + "/manufacturer": "FTDI", usb + "/product": "FT232R USB UART",
            # Since Linux 6.5 the serial core's "port" and "ctrl" devices sit between the tty and the hardware.
            "sys/class/tty/ttyS0/device": ("link", "../../../devices/platform/serial8250/s:0/s:0.0"),
            "sys/devices/platform/serial8250/s:0/s:0.0/driver": ("link", "../../../../../bus/serial-base/drivers/port"),
            "sys/devices/platform/serial8250/s:0/driver": ("link", "../../../../bus/serial-base/drivers/ctrl"),
            "sys/devices/platform/serial8250/driver": ("link", "../../../bus/platform/drivers/serial8250"),
            "sys/class/tty/ttyS0/type": "4",
            "sys/class/tty/ttyS1/device": ("link", "../../../devices/platform/serial8250"),
            "sys/class/tty/ttyS1/type": "0",
            "sys/class/tty/tty0/dev": "4:0",
            "dev/ttyUSB0": "", "dev/ttyS0": "", "dev/ttyS1": "",
            "dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A12345-if00-port0": ("link", "../../ttyUSB0"),
        }
        for name, content in files.items():
            path = os.path.join(root, name)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            if isinstance(content, tuple):
                target = os.path.normpath(os.path.join(os.path.dirname(path), content[1]))
                if not os.path.exists(target):
                    os.makedirs(target)
                os.symlink(content[1], path)
            else:
                write(path, content + "\n")

    def test_ports_from_sysfs(self):
        with tempfile.TemporaryDirectory() as root:
            self.make_system(root)
            status, out, _ = run("ports", "--json", env={"WSR37100_SYSTEM_ROOT": root})
            text = run("ports", env={"WSR37100_SYSTEM_ROOT": root})[1]
        self.assertEqual(status, 0)
        ports = json.loads(out)
        self.assertEqual([(p["device"], p["aliases"], p["driver"]) for p in ports], [
            ("/dev/ttyS0", ["COM1"], "serial8250"),
            ("/dev/ttyUSB0", ["/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A12345-if00-port0"], "ftdi_sio"),
        ])
        self.assertEqual({k: ports[1][k] for k in ("description", "vendor_id", "product_id", "serial_number")},
                         {"description": "FTDI FT232R USB UART", "vendor_id": "0403", "product_id": "6001",
                          "serial_number": "A12345"})
        self.assertEqual((ports[0]["may_open"], ports[0]["group"]), (True, None))  # the test's own file
        self.assertIn("/dev/ttyUSB0  FTDI FT232R USB UART  (ftdi_sio, USB 0403:6001, serial A12345)\n", text)

    def test_group_to_join(self):
        if os.geteuid() != 0 or not shutil.which("setpriv"):
            self.skipTest("needs root to run the tool as another user")
        with tempfile.TemporaryDirectory() as root:
            os.chmod(root, 0o755)
            self.make_system(root)
            node = os.path.join(root, "dev", "ttyUSB0")
            os.chown(node, 0, 20)  # root:dialout
            os.chmod(node, 0o660)
            # The tool and its library, staged where nobody may read them: the checkout may sit in a private folder.
            tool = stage_tool(os.path.join(root, "stage"))
            result = subprocess.run(["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups", tool,
                                     "ports", "--json"], capture_output=True, text=True,
                                    env={**os.environ, "WSR37100_SYSTEM_ROOT": root})
        self.assertEqual(result.returncode, 0, result.stderr)
        usb = json.loads(result.stdout)[1]
        self.assertEqual((usb["may_open"], usb["group"]), (False, "dialout"))


class DetectTest(unittest.TestCase):
    """`detect` against simulated scales that answer only at their own line speed."""

    def test_each_port_gets_its_rate_and_frame(self):
        cases = [  # the scale's rate and frame; the rates tried; what detect says of the port; the scale's answer
            ("2400", "7", None, "found: 2400 baud, 7-byte frame, said 1.234 kg"),
            ("4800", "8", None, "found: 4800 baud, 8-byte frame, said 1.234 kg"),
            ("9600", "8", None, "found: 9600 baud, 8-byte frame, said 1.234 kg"),
            ("19200", "7", None, "found: 19200 baud, 7-byte frame, said 1.234 kg"),
            ("4800", "7", None, "found: 4800 baud, 7-byte frame, said status N (negative)", "--status", "N"),
            ("9600", "8", "2400,4800", "no scale: 2400: 2 bytes that are no frame; 4800: 4 bytes that are no frame\n"),
        ]
        with contextlib.ExitStack() as stack:
            scales = [stack.enter_context(Simulator("--line-speed", rate, "--frame", frame, *answer))
                      for rate, frame, _, _, *answer in cases]
            # All ports in one run (one thread each), except the row that names its own rates.
            status, out, err = run("detect", *[scale.port for scale in scales[:5]], "--json")
            self.assertEqual((status, err), (0, ""))
            found = json.loads(out)
            self.assertEqual([(f["port"], f["result"], f["baud"], f["frame"], f["serve"].split("=", 1)[1], f["weight"],
                               f.get("status"), f["rates"][-1]) for f in found],
                             [(s.port, "found", int(r), int(n), f"{s.port}:{r},frame={n}", None if answer else 1.234,
                               "negative" if answer else None,
                               {"baud": int(r), "heard": "frame", "bytes": int(n), "said": f"{n}-byte frame"})
                              for s, (r, n, _, _, *answer) in zip(scales[:5], cases)])
            # Each rate that gave no scale, as values and in words.
            status, out, err = run("detect", scales[5].port, "--bauds", "2400,4800", "--json")
            self.assertEqual((status, err), (3, ""))
            self.assertEqual(json.loads(out)[0]["rates"],
                             [{"baud": 2400, "heard": "garbage", "bytes": 2, "said": "2 bytes that are no frame"},
                              {"baud": 4800, "heard": "garbage", "bytes": 4, "said": "4 bytes that are no frame"}])
            for scale, (rate, frame, rates, said, *_) in zip(scales, cases):
                with self.subTest(rate=rate, rates=rates):
                    status, out, err = run("detect", scale.port, *(["--bauds", rates] if rates else []))
                    self.assertEqual((status, err), (0 if rates is None else 3, ""))  # a pipe gets no progress
                    self.assertIn(f"{scale.port}  {said}", out)
                    if rates is None:
                        self.assertIn(f"serve:     --scale scale={scale.port}:{rate},frame={frame}\n", out)
                        self.assertIn(f'BuscaPeso: sPorta "{scale.port}", sVelocidade "{rate}"', out)

    def test_ports_not_to_touch(self):
        with Simulator("--line-speed", "9600", "--verbose") as held, Simulator("--silent") as silent:
            # Held open by another program: reported busy, never opened, never polled.
            holder = os.open(held.port, os.O_RDWR | os.O_NOCTTY)
            try:
                status, out, _ = run("detect", held.port, silent.port, "--bauds", "9600,19200")
            finally:
                os.close(holder)
            self.assertNotIn("poll", held.stderr_so_far())
        self.assertEqual(status, 3)
        self.assertIn(f"{held.port}  skipped, busy: ", out)
        self.assertIn(f"{silent.port}  no scale: 9600: silence; 19200: silence\n", out)
        # With no port named: a copy of sysfs whose devices cannot exist here, so nothing real gets an ENQ.
        with tempfile.TemporaryDirectory() as root:
            for name, driver in (("ttyUSB97", "ftdi_sio"), ("ttyACM97", "cdc_acm")):
                device = os.path.join(root, "sys", "devices", "usb", name)
                os.makedirs(os.path.join(root, "sys", "class", "tty", name))
                os.makedirs(os.path.join(root, "sys", "bus", "usb", "drivers", driver))
                os.makedirs(device)
                os.symlink(device, os.path.join(root, "sys", "class", "tty", name, "device"))
                os.symlink(os.path.join(root, "sys", "bus", "usb", "drivers", driver), os.path.join(device, "driver"))
            env = {"WSR37100_SYSTEM_ROOT": root}
            status, out, err = run("detect", env=env)
            self.assertEqual((status, err), (3, ""))
            self.assertIn("/dev/ttyACM97  not tried: not a USB serial adapter (cdc_acm): name it, or use --all", out)
            self.assertIn("/dev/ttyUSB97  unavailable: ", out)  # tried: an FTDI adapter
            _, out, err = run("detect", "--all", "--bauds", "9600", env=env)
            self.assertIn("warning: --all polls every serial port", err)
            self.assertIn("/dev/ttyACM97  unavailable: ", out)

    def test_usage_and_progress(self):
        for args in (["--bauds", "96OO"], ["--bauds", "9600,"], ["--bauds", ",".join(["9600"] * 17)]):
            with self.subTest(args=args):
                status, out, err = run("detect", "/dev/null", *args)
                self.assertEqual((status, out), (64, ""))
                self.assertIn("--bauds", err)
        # On a terminal a progress line names the port and the rate, and is wiped at the end.
        with Simulator("--silent") as silent:
            main, terminal = os.openpty()
            try:
                result = subprocess.run([TOOL, "detect", silent.port, "--bauds", "2400,4800,9600"], stdout=subprocess.PIPE,
                                        stderr=terminal, text=True, timeout=60)
                os.close(terminal)
                shown = b""
                with contextlib.suppress(OSError):  # EIO once the written bytes are read: the other side is closed
                    while chunk := os.read(main, 4096):
                        shown += chunk
            finally:
                os.close(main)
        self.assertEqual(result.returncode, 3)
        self.assertIn(f"probing {silent.port} @ 2400".encode(), shown)
        self.assertTrue(shown.endswith(b"\r"), shown)


POLICY_FILE = "wsr37100-local-network-access.json"


class BrowserPolicyTest(unittest.TestCase):
    def test_prints_the_policy(self):
        cases = [  # origins given, the policy's list
            (["https://pos.example"], ["https://pos.example"]),
            (["https://a.example,https://b.example:8443", "https://a.example"], ["https://a.example", "https://b.example:8443"]),
            (["http://localhost:3000", "http://127.0.0.1", "http://[::1]:8080", "http://till.localhost"],
             ["http://localhost:3000", "http://127.0.0.1", "http://[::1]:8080", "http://till.localhost"]),
            (["https://[2001:db8::1]:8443", "chrome-extension://abcdefgh"], ["https://[2001:db8::1]:8443", "chrome-extension://abcdefgh"]),
            # As the browsers send them: lower case, no default port, no leading zeros, IPv6 in its shortest form.
            (["HTTPS://POS.Example:00443", "https://pos.example:443", "HTTP://LocalHost:80"], ["https://pos.example", "http://localhost"]),
            (["https://pos.example:08443", "https://[2001:DB8:0:0:0:0:0:1]:8443", "https://[1:0:0:2:0:0:0:3]", "https://[::]"],
             ["https://pos.example:8443", "https://[2001:db8::1]:8443", "https://[1:0:0:2::3]", "https://[::]"]),
            (["http://[0:0:0:0:0:0:0:1]", "https://[::ffff:192.168.1.10]"], ["http://[::1]", "https://[::ffff:c0a8:10a]"]),
            # A lone zero group stays; of two zero runs of the same length the first is the one shortened.
            (["https://[1:0:2:3:4:5:6:7]", "https://[1:0:0:2:0:0:3:4]"], ["https://[1:0:2:3:4:5:6:7]", "https://[1::2:0:0:3:4]"]),
            # The portals that frame the till's page: the browser checks the top-level page's origin.
            (["https://till.example", "--framed-by", "https://Portal.example,https://intranet.example:8443"],
             ["https://till.example", "https://portal.example", "https://intranet.example:8443"]),
            (["https://till.example", "--framed-by", "", "--framed-by", "https://till.example"], ["https://till.example"]),
        ]
        for origins, listed in cases:
            with self.subTest(origins=origins):
                status, out, err = run("browser-policy", *origins)
                self.assertEqual((status, err), (0, ""))
                self.assertEqual(json.loads(out), {"LocalNetworkAccessAllowedForUrls": listed})

    def test_refused_origins_write_nothing(self):
        with tempfile.TemporaryDirectory() as folder:
            target = os.path.join(folder, "managed")
            cases = [  # the command's arguments after browser-policy, a part of stderr
                (["pos.example"], "not an origin"),
                (["https://pos.example/till"], "not an origin"),
                (["https://pos.example?till=1"], "not an origin"),
                (["https://pos.example#x"], "not an origin"),
                (["https://user@pos.example"], "not an origin"),
                (["https://pos example"], "not an origin"),
                (['https://pos.example"'], "not an origin"),
                (["https://pos.example:0"], "not an origin"),
                (["https://pos.example:65536"], "not an origin"),
                (["https://pos.example:"], "not an origin"),
                (["https://"], "not an origin"),
                (["https://[::1"], "not an origin"),
                (["1http://pos.example"], "not an origin"),
                (["https://pos.example", "https://pos.example/"], "not an origin"),
                (["http://pos.example"], "plain-HTTP page not on this computer"),
                (["HTTP://192.168.1.10:8080"], "plain-HTTP page not on this computer"),
                (["http://127.0.0.1.evil.example"], "plain-HTTP page not on this computer"),
                (["http://127.0.0.256"], "no browser sends this origin"),
                (["http://localhost.evil.example"], "plain-HTTP page not on this computer"),
                (["http://evillocalhost"], "plain-HTTP page not on this computer"),
                (["http://notlocalhost"], "plain-HTTP page not on this computer"),
                (["https://[:::]"], "no browser sends this origin"),
                (["https://[1::2:3:4:5:6:7:8]"], "no browser sends this origin"),
                (["https://[::1:2::3]"], "no browser sends this origin"),
                (["https://[12345::1]"], "no browser sends this origin"),
                (["https://pos.example."], "no browser sends this origin"),
                (["http://localhost."], "no browser sends this origin"),
                (["http://127.000.0.1"], "no browser sends this origin"),
                (["http://0x7f.1"], "no browser sends this origin"),
                (["https://192.168.1"], "no browser sends this origin"),
                ([], "name at least one origin"),
                (["--remove", "https://pos.example"], "--remove takes no origin"),
                (["--remove", "--framed-by", "https://portal.example"], "--remove takes no origin"),
                (["https://pos.example", "--framed-by", "http://portal.example"], "plain-HTTP page not on this computer"),
                (["--framed-by", "https://portal.example"], "name at least one origin"),
            ]
            for args, message in cases:
                modes = ([], ["--install", "--policy-dir", target]) if args[:1] != ["--remove"] else (["--policy-dir", target],)
                for mode in modes:
                    with self.subTest(args=args, mode=mode):
                        status, out, err = run("browser-policy", *mode, *args)
                        self.assertEqual((status, out), (64, ""))
                        self.assertIn(message, err)
                        self.assertEqual(len(err.splitlines()), 1, err)
                        self.assertFalse(os.path.exists(target))
            for args in (["--install", "--remove", "--policy-dir", target], ["--policy-dir", target, "https://pos.example"]):
                with self.subTest(args=args):
                    self.assertEqual(run("browser-policy", *args)[:2], (64, ""))
                    self.assertFalse(os.path.exists(target))

    def test_install_and_remove_touch_only_their_file(self):
        with tempfile.TemporaryDirectory() as folder:
            os.chmod(folder, 0o755)  # as the browsers' folders under /etc: open to all
            shared = os.path.join(folder, "managed")  # an administrator's folder, with a policy file of their own
            new = os.path.join(folder, "etc", "opt", "edge", "policies", "managed")  # not there yet
            os.makedirs(shared)
            theirs = os.path.join(shared, "admin.json")
            write(theirs, '{"HomepageLocation": "https://intranet.example"}')
            os.utime(theirs, (1, 1))
            folders = ["--policy-dir", shared, "--policy-dir", new]
            cases = [  # arguments, stdout, the list then in each folder (None: no file of ours)
                (["--install", "https://pos.example"], "wrote {0}\nwrote {1}\n", ["https://pos.example"]),
                (["--install", "https://till.example:8443,http://localhost:3000"], "wrote {0}\nwrote {1}\n",
                 ["https://till.example:8443", "http://localhost:3000"]),
                (["--remove"], "removed {0}\nremoved {1}\n", None),
                (["--remove"], "", None),
            ]
            for args, said, listed in cases:
                with self.subTest(args=args):
                    status, out, err = run("browser-policy", *args, *folders, umask=0o077)
                    self.assertEqual((status, err), (0, ""))
                    self.assertEqual(out, said.format(os.path.join(shared, POLICY_FILE), os.path.join(new, POLICY_FILE)))
                    for place in (shared, new):
                        ours = os.path.join(place, POLICY_FILE)
                        if listed is None:
                            self.assertFalse(os.path.exists(ours))
                        else:
                            with open(ours) as policy:
                                self.assertEqual(json.load(policy), {"LocalNetworkAccessAllowedForUrls": listed})
                            self.assertEqual(os.stat(ours).st_mode & 0o777, 0o644)
                    self.assertEqual(sorted(os.listdir(shared)), sorted(["admin.json"] + ([POLICY_FILE] if listed else [])))
                    self.assertEqual(os.stat(theirs).st_mtime, 1)
                    with open(theirs) as policy:
                        self.assertEqual(json.load(policy), {"HomepageLocation": "https://intranet.example"})
            # Every folder made is open to all, whatever the umask.
            for made in ("etc", "etc/opt", "etc/opt/edge", "etc/opt/edge/policies", "etc/opt/edge/policies/managed"):
                self.assertEqual(os.stat(os.path.join(folder, made)).st_mode & 0o777, 0o755, made)
            self.assertTrue(os.path.isdir(new))

            # Another file of the folder setting the same policy: written, with a warning that only one list applies.
            write(theirs, '{"LocalNetworkAccessAllowedForUrls": ["https://intranet.example"]}')
            os.mkfifo(os.path.join(shared, "queue.json"))  # read, it would wait for a writer forever
            status, out, err = run("browser-policy", "--install", "https://pos.example", "--policy-dir", shared)
            self.assertEqual((status, out), (0, "wrote %s\n" % os.path.join(shared, POLICY_FILE)))
            self.assertIn("warning: %s also sets LocalNetworkAccessAllowedForUrls" % theirs, err)

            # A folder that cannot be made: status 1, said on stderr; the other folder is written all the same.
            blocked = os.path.join(folder, "file", "managed")
            write(os.path.join(folder, "file"), "")
            status, out, err = run("browser-policy", "--install", "https://pos.example", "--policy-dir", blocked,
                                   "--policy-dir", new)
            self.assertEqual((status, out), (1, "wrote %s\n" % os.path.join(new, POLICY_FILE)))
            self.assertIn("cannot create " + blocked, err)

            # A folder on the way that others can list but not enter: written, but not said so, and status 1.
            private = os.path.join(folder, "private")
            os.mkdir(private)
            os.chmod(private, 0o744)
            status, out, err = run("browser-policy", "--install", "https://pos.example", "--policy-dir",
                                   os.path.join(private, "managed"))
            self.assertEqual((status, out), (1, ""))
            self.assertIn("the browsers cannot read it: the folder %s is not open to others" % private, err)

            # A file system that keeps no modes (chmod does nothing there): the file stays as the umask made it,
            # and that is said rather than "wrote".
            if shutil.which("cc") is None:
                self.skipTest("no C compiler for the shim that makes chmod do nothing")
            shim = os.path.join(folder, "modeless.so")
            subprocess.run(["cc", "-shared", "-fPIC", "-o", shim, "-x", "c", "-"], check=True, input=MODELESS_SHIM,
                           text=True)
            modeless = os.path.join(folder, "modeless")
            os.mkdir(modeless)
            os.chmod(modeless, 0o755)
            sanitizer = os.environ.get("ASAN_OPTIONS", "")
            status, out, err = run("browser-policy", "--install", "https://pos.example", "--policy-dir", modeless,
                                   umask=0o077, env={"LD_PRELOAD": shim,
                                                     "ASAN_OPTIONS": sanitizer + ":verify_asan_link_order=0"})
            self.assertEqual((status, out), (1, ""))
            self.assertIn("the browsers cannot read it: %s is not readable by others" % os.path.join(modeless, POLICY_FILE),
                          err)


# Makes chmod and its kin succeed without changing anything, as on a file system that keeps no modes.
MODELESS_SHIM = """
#include <sys/types.h>
int chmod(const char *path, mode_t mode) { (void)path; (void)mode; return 0; }
int fchmod(int fd, mode_t mode) { (void)fd; (void)mode; return 0; }
int fchmodat(int dir, const char *path, mode_t mode, int flags) { (void)dir; (void)path; (void)mode; (void)flags; return 0; }
"""


if __name__ == "__main__":
    unittest.main()
