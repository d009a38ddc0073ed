"""The Python bindings against the simulated scale of the wsr37100 tool."""
import contextlib
import math
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

import wsr37100

TOOL = os.environ["WSR37100_TOOL"]
LIBRARY = os.environ["WSR37100_LIBRARY"]


class Scale:
    def __init__(self, *args):
        self.args = args

    def __enter__(self):
        self.process = subprocess.Popen([TOOL, "simulate", *self.args], stdin=subprocess.DEVNULL,
                                        stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        self.port = self.process.stdout.readline().strip()
        return self.port

    def __exit__(self, *exc):
        self.process.terminate()
        self.process.wait(timeout=10)
        self.process.stdout.close()


class BindingsTest(unittest.TestCase):
    lib = wsr37100.Library()

    def test_every_kind(self):
        """busca_peso_ex tells every kind; weigh() gives a number only for a weight and raises the rest."""
        cases = [
            (("--weight", "4.321"), "weight", 4.321, None, None, 1, {}),
            (("--weight", "0"), "weight", 0.0, None, None, 1, {}),
            (("--status", "S", "--frame", "7"), "status", None, "overload", None, 1, {}),
            (("--status", "I"), "status", None, "unstable", None, 1, {}),
            (("--status", "N"), "status", None, "negative", None, 1, {}),
            (("--line-speed", "4800"), "status", None, "unreadable", None, 1, {}),  # a wrong baud rate
            (("--sequence", "hex:0209494243443103"), "status", None, "unstable", None, 1, {}),
            (("--sequence", "hex:0002494243443103"), "status", None, "unreadable", None, 1, {}),
            (("--silent",), "no-reading", None, None, "silence", 1, {}),
            (("--sequence", "I,I,1.5"), "weight", 1.5, None, None, 3, {"stable_ms": 2000, "frame": 8}),
            (None, "no-reading", None, None, "port-unavailable", 0, {}),  # an unplugged adapter
        ]
        for args, kind, weight, status, reason, polls, options in cases:
            with self.subTest(args=args), (Scale(*args) if args else contextlib.nullcontext("/dev/ttyNoSuchScale")) as port:
                reading = self.lib.busca_peso_ex(port, "9600", gap_ms=20, **options)
                self.assertEqual((reading.kind, reading.weight, reading.status, reading.reason, reading.polls),
                                 (kind, weight, status, reason, polls))
                if kind == "weight":
                    self.assertEqual(self.lib.weigh(port, "9600", gap_ms=20, **options), weight)
                    continue
                with self.assertRaises(wsr37100.NoReading) as raised:
                    self.lib.weigh(port, "9600", gap_ms=20, **options)
                self.assertEqual((raised.exception.reading.kind, raised.exception.reading.status),
                                 (kind, status))
                self.assertEqual("check the baud rate" in str(raised.exception), status == "unreadable")

    def test_follow_yields_each_change_and_frees_the_port(self):
        with Scale("--sequence", "1,2") as port:
            readings = self.lib.follow(port, frame=8)
            weights = [next(readings).weight for _ in range(4)]
            readings.close()
            self.assertEqual(weights, [1.0, 2.0, 1.0, 2.0])
            self.assertEqual(self.lib.busca_peso_ex(port, gap_ms=20).kind, "weight")  # the port is free again
        readings = self.lib.follow("/dev/ttyNoSuchScale")
        first = next(readings)
        readings.close()
        self.assertEqual((first.kind, first.weight), ("no-reading", None))

    def test_detect(self):
        """detect() names the rate and frame, or what went wrong, and refuses a bad rate list."""
        with Scale("--line-speed", "4800", "--frame", "7", "--status", "N") as port:
            found = self.lib.detect(port)
            self.assertEqual((found.result, found.baud, found.frame, found.kind, found.weight, found.rates_tried),
                             ("found", 4800, 7, "status", None, 2))
            self.assertEqual(found.reply, b"\x02NNNNN\x03")
            self.assertEqual((found.heard, found.bytes_read), ("frame", 7))
            with self.assertRaises(wsr37100.ScaleError):
                self.lib.detect(port, bauds=("96OO",))
        with Scale("--silent") as port:
            silent = self.lib.detect(port, bauds=(9600,))
            self.assertEqual((silent.result, silent.heard, silent.bytes_read), ("not-found", "silence", 0))
        missing = self.lib.detect("/dev/ttyNoSuchScale")
        self.assertEqual((missing.result, missing.cause, missing.heard), ("port-unavailable", "missing", None))
        self.assertEqual(self.lib.detect("tcp://127.0.0.1:9").result, "no-rate-to-set")

    def test_unavailable_port_tells_why(self):
        reading = self.lib.busca_peso_ex("/dev/ttyNoSuchScale")
        self.assertEqual((reading.kind, reading.reason, reading.cause), ("no-reading", "port-unavailable", "missing"))
        self.assertIn("/dev/ttyNoSuchScale", reading.message)

    def test_log_folder_and_reply_bytes(self):
        with tempfile.TemporaryDirectory() as folder, Scale("--weight", "2.5", "--frame", "7") as port:
            reading = self.lib.busca_peso_ex(port, "9600", log_folder=folder, gap_ms=20)
            self.assertEqual(reading.reply, b"\x0202500\x03")
            # The day's file, and the writers' turn file beside it.
            self.assertEqual(len([name for name in os.listdir(folder) if name.startswith("logWSR37100_")]), 1)

    def test_failures_raise(self):
        with Scale() as port:
            for call in (lambda: self.lib.weigh(port, "96OO"),
                         lambda: self.lib.busca_peso_ex(port, "9600", log_folder="/no/such/folder")):
                with self.subTest(), self.assertRaises(wsr37100.ScaleError) as raised:
                    call()
                self.assertTrue(str(raised.exception))
            # dados is not beside the Python executable: the plain call gives NaN.
            self.assertTrue(math.isnan(self.lib.busca_peso(port, "9600")))
        self.assertTrue(self.lib.start_balanca())

    def test_script_finds_the_library(self):
        """Run as a script or with -m: by WSR37100_LIBRARY, and without it from the build tree beside it. Only a
        weight goes to stdout; --help is no port."""
        with tempfile.TemporaryDirectory() as tree, Scale("--weight", "7.5") as port:
            script = os.path.join(tree, "examples", "python", "wsr37100.py")
            os.makedirs(os.path.dirname(script))
            shutil.copy(wsr37100.__file__, script)
            os.makedirs(os.path.join(tree, "build", "native", "lib"))
            os.symlink(LIBRARY, os.path.join(tree, "build", "native", "lib", "libwsr37100.so.6"))
            named, unset = dict(os.environ), {k: v for k, v in os.environ.items() if k != "WSR37100_LIBRARY"}
            cases = [  # arguments, environment, exit status, stdout, the start of stderr
                ([script, port, "9600"], named, 0, "7.500 kg\n", ""),
                ([script, port, "9600"], unset, 0, "7.500 kg\n", ""),
                (["-m", "wsr37100", port], unset, 0, "7.500 kg\n", ""),
                (["-m", "wsr37100", "--help"], named, 0, "usage: python -m wsr37100 [-h] PORT [BAUD]\n", ""),
                ([script, "/dev/ttyNoSuchScale"], named, 3, "", "no-reading (port-unavailable, missing): "),
                ([script], named, 64, "", "usage: wsr37100.py [-h] PORT [BAUD]\n"),
            ]
            for args, env, status, out, err in cases:
                with self.subTest(args=args[1:], named="WSR37100_LIBRARY" in env):
                    result = subprocess.run([sys.executable, *args], env=env, cwd=os.path.dirname(script),
                                            capture_output=True, text=True, timeout=30)
                    shown = result.stdout[:len(out)] if "--help" in args else result.stdout
                    self.assertEqual((result.returncode, shown, result.stderr[:len(err)]), (status, out, err))


if __name__ == "__main__":
    unittest.main()
