"""The Windows build of `wsr37100 serve` under Wine: a COM port mapped to a simulated scale, a request over loopback."""
import json
import os
import socket
import subprocess
import tempfile
import time
import unittest
import urllib.error
import urllib.request

from test_service import Simulator

WINDOWS_TOOL = os.environ["WSR37100_WINDOWS_TOOL"]
PORT = "COM15"


def wine(*args):
    return subprocess.run(["wine", *args], capture_output=True, text=True, timeout=120)


class WineServeTest(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.TemporaryDirectory()
        self.link = os.path.join(self.folder.name, "scale")
        wine("reg", "add", r"HKLM\Software\Wine\Ports", "/v", PORT, "/t", "REG_SZ", "/d", self.link, "/f")
        subprocess.run(["wineserver", "-k"])
        subprocess.run(["wineserver", "-w"])

    def tearDown(self):
        wine("reg", "delete", r"HKLM\Software\Wine\Ports", "/v", PORT, "/f")
        self.folder.cleanup()

    def test_serves_a_com_port_over_loopback(self):
        with Simulator("--weight", "2.5", "--link", self.link):
            serve = subprocess.Popen(["wine", WINDOWS_TOOL, "serve", "--scale", PORT.lower() + "=%s:9600,gap=20,no-log" % PORT,
                                      "--port", "0"], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
            try:
                address = serve.stdout.readline().strip()
                self.assertRegex(address, r"^http://127\.0\.0\.1:\d+/$")
                with urllib.request.urlopen(address + "v1/scales/com15/reading?stable_ms=3000", timeout=30) as response:
                    body = json.loads(response.read())
                self.assertEqual((body["state"], body["reading"]["weight"], body["stable"]), ("weight", 2.5, True))
                with urllib.request.urlopen(address + "v1/scales/nope", timeout=30) as response:
                    self.fail("an unknown scale was answered")
            except urllib.error.HTTPError as error:
                self.assertEqual((error.code, json.loads(error.read())["code"]), (404, "unknown-scale"))
            finally:
                serve.terminate()
                serve.communicate(timeout=30)


    def test_runs_as_a_windows_service(self):
        with socket.socket() as probe:
            probe.bind(("127.0.0.1", 0))
            port = probe.getsockname()[1]
        name, refused = "wsr37100test", "wsr37100refused"
        # Wine ends its session, services included, once no ordinary program runs: one is kept running
        # for the whole case. Its first line says the session is up; a service request made while the
        # session still starts can wait for the keeper to end, and the service then never starts.
        # The session's first program starts the service manager, whose services inherit its stderr and
        # environment: Wine traces each Event Log entry there (eventlog:ReportEventW), into a file. So the
        # keeper runs first, every other Wine program in its session.
        events = tempfile.TemporaryFile(mode="w+")
        self.addCleanup(events.close)
        keeper = subprocess.Popen(["wine", "cmd", "/c", "echo up& ping -n 3600 127.0.0.1 > nul"],
                                  stdout=subprocess.PIPE, stderr=events, text=True,
                                  env=dict(os.environ, WINEDEBUG="-all,+eventlog"))
        try:
            self.assertEqual(keeper.stdout.readline().strip(), "up")
            tool = wine("winepath", "-w", WINDOWS_TOOL).stdout.strip()
            with Simulator("--weight", "6.5", "--link", self.link):
                created = wine("sc", "create", name, "binPath=",
                               "%s serve --windows-service %s --scale counter=%s:9600,gap=20,no-log --port %d"
                               % (tool, name, PORT, port))
                self.assertEqual(created.returncode, 0, created.stdout + created.stderr)
                self.assertRegex(wine("sc", "start", name).stdout, "START_PENDING|RUNNING")
                deadline = time.monotonic() + 30
                while True:
                    try:
                        with urllib.request.urlopen("http://127.0.0.1:%d/v1/scales/counter/reading?stable_ms=3000"
                                                    % port, timeout=30) as response:
                            body = json.loads(response.read())
                        break
                    except (urllib.error.URLError, ConnectionError):
                        if time.monotonic() > deadline:
                            raise
                        time.sleep(0.2)
                self.assertEqual((body["state"], body["reading"]["weight"]), ("weight", 6.5))
                wine("sc", "stop", name)
                deadline = time.monotonic() + 10
                while "STOPPED" not in wine("sc", "query", name).stdout and time.monotonic() < deadline:
                    time.sleep(0.2)
                state = wine("sc", "query", name).stdout
                self.assertIn("STOPPED", state)
                self.assertRegex(state, r"SERVICE_EXIT_CODE\s*:\s*0 ")
                # Written before the service told the manager it stopped.
                events.seek(0)
                self.assertRegex(events.read(), r'eventlog:ReportEventW L"serving 1 scale\(s\) at http://127\.0\.0\.1:%d/: '
                                 r'counter \(%s\)"\n(.*\n)*.*eventlog:ReportEventW L"stopped"\n' % (port, PORT))
            # A configuration that cannot be read: the manager gets the exit status, and the process ends without a fault.
            wine("sc", "create", refused, "binPath=", "%s serve --windows-service %s --config C:\\none.json" % (tool, refused))
            wine("sc", "start", refused)
            deadline = time.monotonic() + 30
            while time.monotonic() < deadline and (
                    "STOPPED" not in (state := wine("sc", "query", refused).stdout)
                    or subprocess.run(["pgrep", "-f", "service " + refused], capture_output=True).returncode == 0):
                time.sleep(0.2)
            self.assertRegex(state, r"SERVICE_EXIT_CODE\s*:\s*64 ")
            events.seek(0)
            self.assertEqual([line for line in events.read().splitlines() if "Unhandled" in line], [])
        finally:
            for service in (name, refused):
                wine("sc", "delete", service)
                wine("reg", "delete", "HKLM\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\" + service, "/f")
            keeper.kill()
            keeper.wait()
            # The keeper's Windows side and the service manager would outlive the test: the session ends here.
            subprocess.run(["wineserver", "-k"], capture_output=True)


if __name__ == "__main__":
    unittest.main()
