"""The wsr37100 command-line tool against its own simulated scale."""
import json
import os
import subprocess
import tempfile
import time
import unittest

TOOL = os.environ["WSR37100_TOOL"]


class Simulator:
    """`wsr37100 simulate ARGS` in the background; .port is its device."""

    def __init__(self, *args):
        self.args = args

    def __enter__(self):
        self.process = subprocess.Popen([TOOL, "simulate", *self.args], stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE, text=True)
        self.port = self.process.stdout.readline().strip()
        if not self.port:
            raise RuntimeError("simulator printed no port: " + self.process.stderr.read())
        return self

    def __exit__(self, *exc):
        self.process.terminate()
        _, self.stderr = self.process.communicate(timeout=10)
        return False


def weigh(port, *args):
    result = subprocess.run([TOOL, "weigh", port, "9600", "--no-log", *args], capture_output=True, text=True,
                            timeout=30)
    return result.returncode, result.stdout.strip()


class WeighTest(unittest.TestCase):
    def test_results_and_exit_statuses(self):
        cases = [
            (["--weight", "12.345"], 0, "12.345 kg"),
            (["--weight", "1.5", "--frame", "7"], 0, "1.500 kg"),
            (["--weight", "0"], 0, "0.000 kg"),
            (["--status", "N"], 2, "-2.000 status N"),
            (["--status", "S", "--frame", "7"], 2, "-10.000 status S"),
            (["--status", "I"], 2, "-1.000 status I"),
            (["--silent"], 3, "0.000 no reading (silence: the scale sent nothing within 1000 ms)"),
            (["--partial", "3"], 3, "0.000 no reading (five partial replies of 1 to 6 bytes)"),
        ]
        for sim_args, status, line in cases:
            with self.subTest(sim_args=sim_args), Simulator(*sim_args) as scale:
                self.assertEqual(weigh(scale.port, "--gap", "20"), (status, line))

    def test_missing_port_and_bad_baud(self):
        self.assertEqual(weigh("/dev/ttyNoSuchScale")[0], 3)
        with Simulator() as scale:
            status, line = weigh(scale.port, "--gap", "20")
            self.assertEqual(status, 0)
            result = subprocess.run([TOOL, "weigh", scale.port, "96OO", "--no-log"], capture_output=True, text=True)
            self.assertEqual(result.returncode, 4)
            self.assertEqual(result.stdout.strip(), "failure: '96OO' não é um número inteiro válido")

    def test_usage(self):
        for args in ([], ["weigh"], ["simulate", "--frame", "9"], ["nonsense"]):
            with self.subTest(args=args):
                self.assertEqual(subprocess.run([TOOL, *args], capture_output=True).returncode, 64)
        self.assertEqual(subprocess.run([TOOL, "weigh", "--help"], capture_output=True).returncode, 0)

    def test_json_raw_and_sequence(self):
        with Simulator("--sequence", "1.5,N,hex:02303132333403,silent", "--frame", "8") as scale:
            first = json.loads(weigh(scale.port, "--gap", "20", "--json")[1])
            self.assertEqual(first["kind"], "weight")
            self.assertEqual(first["weight"], 1.5)
            self.assertEqual(first["polls"], 1)
            self.assertEqual(first["bytes"], 8)
            self.assertEqual(first["reply"], "0220312E35303003")
            second = json.loads(weigh(scale.port, "--gap", "20", "--json")[1])
            self.assertEqual((second["kind"], second["weight"]), ("status", -2.0))
            status, out = weigh(scale.port, "--gap", "20", "--raw")
            self.assertEqual(out.splitlines(), ["1.234 kg", "reply (7 bytes, 1 polls): 02 30 31 32 33 34 03"])
            none = json.loads(weigh(scale.port, "--gap", "20", "--json")[1])
            self.assertEqual((none["kind"], none["reason"]), ("no-reading", "silence"))
        self.assertEqual(scale.stderr.count("poll "), 4)

    def test_log_dir_and_link(self):
        with tempfile.TemporaryDirectory() as folder:
            link = os.path.join(folder, "scale")
            with Simulator("--link", link, "--weight", "3.25") as scale:
                self.assertEqual(scale.port, link)
                result = subprocess.run([TOOL, "weigh", link, "9600", "--gap", "20", "--log-dir", folder],
                                        capture_output=True, text=True)
                self.assertEqual(result.stdout.strip(), "3.250 kg")
            self.assertFalse(os.path.exists(link))
            logs = [name for name in os.listdir(folder) if name.startswith("logWSR37100_")]
            self.assertEqual(len(logs), 1)
            with open(os.path.join(folder, logs[0]), "rb") as log:
                self.assertIn(b" - Ajustando o separador decimal: 3.250\r\n", log.read())

    def test_watch_repeats_until_interrupted(self):
        with Simulator("--weight", "2") as scale:
            process = subprocess.Popen([TOOL, "weigh", scale.port, "--gap", "20", "--no-log", "--watch", "0.2"],
                                       stdout=subprocess.PIPE, text=True)
            time.sleep(1.0)
            process.send_signal(2)
            out, _ = process.communicate(timeout=10)
            lines = out.splitlines()
            self.assertGreaterEqual(len(lines), 3)
            self.assertTrue(all(line == "2.000 kg" for line in lines))
            self.assertEqual(process.returncode, 0)

    def test_demo_and_ports(self):
        demo = subprocess.run([TOOL, "demo"], capture_output=True, text=True, timeout=60)
        self.assertEqual(demo.returncode, 0)
        self.assertIn("12.345 kg", demo.stdout)
        self.assertIn("Valor de buffer = <02>12.345<03>", demo.stdout)
        self.assertEqual(subprocess.run([TOOL, "ports"], capture_output=True).returncode, 0)


if __name__ == "__main__":
    unittest.main()
