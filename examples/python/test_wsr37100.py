"""The Python bindings against the simulated scale of the wsr37100 tool."""
import math
import os
import subprocess
import tempfile
import unittest

import wsr37100

TOOL = os.environ["WSR37100_TOOL"]


class Scale:
    def __init__(self, *args):
        self.args = args

    def __enter__(self):
        self.process = subprocess.Popen([TOOL, "simulate", *self.args], stdout=subprocess.PIPE,
                                        stderr=subprocess.DEVNULL, text=True)
        self.port = self.process.stdout.readline().strip()
        return self.port

    def __exit__(self, *exc):
        self.process.terminate()
        self.process.wait(timeout=10)


class BindingsTest(unittest.TestCase):
    lib = wsr37100.Library()

    def test_every_kind(self):
        cases = [
            (("--weight", "4.321"), "weight", 4.321, None),
            (("--status", "S", "--frame", "7"), "status", -10.0, None),
            (("--silent",), "no-reading", 0.0, "silence"),
        ]
        for args, kind, weight, reason in cases:
            with self.subTest(args=args), Scale(*args) as port:
                reading = self.lib.busca_peso_ex(port, "9600", no_log=True, gap_ms=20)
                self.assertEqual((reading.kind, reading.weight, reading.reason), (kind, weight, reason))
                self.assertEqual(reading.polls, 1)

    def test_log_folder_and_reply_bytes(self):
        with tempfile.TemporaryDirectory() as folder, Scale("--weight", "2.5", "--frame", "7") as port:
            reading = self.lib.busca_peso_ex(port, "9600", log_folder=folder, gap_ms=20)
            self.assertEqual(reading.reply, b"\x0202500\x03")
            self.assertEqual(len(os.listdir(folder)), 1)

    def test_failures(self):
        with Scale() as port:
            with self.assertRaises(wsr37100.ScaleError) as raised:
                self.lib.weigh(port, "96OO", no_log=True)
            self.assertEqual(str(raised.exception), "'96OO' não é um número inteiro válido")
            # dados is not beside the Python executable: the plain call gives NaN.
            self.assertTrue(math.isnan(self.lib.busca_peso(port, "9600")))
        self.assertTrue(self.lib.start_balanca())
        self.assertEqual(self.lib.weigh("/dev/ttyNoSuchScale", no_log=True), 0.0)


if __name__ == "__main__":
    unittest.main()
