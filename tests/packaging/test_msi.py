"""The Windows installer under Wine, in a Wine prefix of its own: a refused service command line or origin,
an install with the weighing service on a COM port mapped to a simulated scale, a repair, the tool
on the PATH, refused upgrades that leave the service serving, an upgrade to a newer package that
keeps the service's settings, and an uninstall."""
import json
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.error
import urllib.request

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tool"))
from test_tool import Simulator  # noqa: E402  (the one helper that plays a scale)

SOURCE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
MSI = os.environ["WSR37100_MSI"]
VERSION = os.environ["WSR37100_VERSION"]
WIN64_BUILD = os.environ["WSR37100_WIN64_BUILD"]
WIN32_BUILD = os.environ["WSR37100_WIN32_BUILD"]
PREFIX = os.environ["WINEPREFIX"]
PORT = "COM15"
DRIVE = os.path.join(PREFIX, "drive_c")
PROGRAM = os.path.join(DRIVE, "Program Files", "wsr37100")
CONFIG = os.path.join(DRIVE, "ProgramData", "wsr37100", "serve.json")
SETTINGS_KEY = r"HKLM\Software\wsr37100"
SERVICE_KEY = r"HKLM\SYSTEM\CurrentControlSet\Services\wsr37100"
EVENT_SOURCE_KEY = r"HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\wsr37100"
ENVIRONMENT_KEY = r"HKLM\System\CurrentControlSet\Control\Session Manager\Environment"
# The browsers' list policy that lets a web page reach this computer (ALLOW_ORIGINS).
POLICY_KEYS = {browser: r"HKLM\Software\Policies\%s\LocalNetworkAccessAllowedForUrls" % browser
               for browser in ("Google\\Chrome", "Microsoft\\Edge", "Chromium")}
CHROME, EDGE, CHROMIUM = POLICY_KEYS.values()
ADMIN_ORIGIN = "https://admin.example"  # an administrator's own entry, there before the install
ORIGINS = "https://pos.example,https://till.example:8443"
PORTAL = "https://portal.example"  # a portal whose pages frame the point of sale's (PORTAL_ORIGINS)
INSTALLED = ["wsr37100.exe", "x64/wsr37100.dll", "x86/wsr37100.dll", "README.md", "LICENSE.txt", "serve.json",
             "openapi.json", "sdk/include/wsr37100.h", "sdk/include/wsr37100.hpp", "sdk/include/wsr37100_falha.hpp",
             "sdk/include/wsr37100_export.h",
             "sdk/lib/x64/libwsr37100.dll.a", "sdk/lib/x64/wsr37100.def", "sdk/lib/x86/libwsr37100.dll.a",
             "sdk/lib/x86/wsr37100.def", "sdk/examples/Wsr37100.cs", "sdk/examples/wsr37100.pas",
             "web/wsr37100-client.js", "web/wsr37100-client.d.ts"]


def wine(*args, timeout=120):
    return subprocess.run(["wine", *args], capture_output=True, text=True, timeout=timeout)


def registry(key, value=None):
    """The registry value's data, or None when the key (or the value) is not there."""
    done = wine("reg", "query", key, *(["/v", value] if value else []), "/reg:64")
    if done.returncode != 0:
        return None
    if value is None:
        return done.stdout
    for line in done.stdout.splitlines():
        parts = line.strip().split(None, 2)
        if len(parts) >= 2 and parts[0].lower() == value.lower():
            return parts[2] if len(parts) == 3 else ""
    return None


def policy_lists():
    """Each browser's policy key as {value name: data}, or None when the key is not there."""
    lists = {}
    for key in POLICY_KEYS.values():
        text = registry(key)
        lists[key] = None if text is None else {
            parts[0]: parts[2] for parts in (line.strip().split(None, 2) for line in text.splitlines())
            if len(parts) == 3 and parts[1].startswith("REG_")}
    return lists


def product_code(msi):
    properties = subprocess.run(["msiinfo", "export", msi, "Property"], capture_output=True, text=True, check=True)
    return dict(line.rstrip("\r").split("\t", 1) for line in properties.stdout.splitlines()[3:])["ProductCode"]


def uninstall_key(msi):
    return "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\" + product_code(msi)


def path_entries():
    return [entry for entry in registry(ENVIRONMENT_KEY, "PATH").lower().split(";") if entry]


def newer(version):
    major, minor, patch = version.split(".")
    return "%s.%s.%d" % (major, minor, int(patch) + 1)


class MsiTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        shutil.rmtree(PREFIX, ignore_errors=True)
        subprocess.run(["wineboot", "-i"], check=True, capture_output=True, timeout=300)
        cls.folder = tempfile.TemporaryDirectory()
        cls.link = os.path.join(cls.folder.name, "scale")
        wine("reg", "add", r"HKLM\Software\Wine\Ports", "/v", PORT, "/t", "REG_SZ", "/d", cls.link, "/f")
        subprocess.run(["wineserver", "-k"])
        subprocess.run(["wineserver", "-w"])
        # The packages of the next two versions, from the same builds.
        cls.newer_msi, cls.newest_msi = [os.path.join(cls.folder.name, "wsr37100-%s-windows-x64.msi" % version)
                                         for version in (newer(VERSION), newer(newer(VERSION)))]
        for msi, version in ((cls.newer_msi, newer(VERSION)), (cls.newest_msi, newer(newer(VERSION)))):
            subprocess.run(["bash", os.path.join(SOURCE, "scripts", "build-msi.sh"), msi, version,
                            WIN64_BUILD, WIN32_BUILD], check=True, capture_output=True, timeout=300)

    @classmethod
    def tearDownClass(cls):
        subprocess.run(["wineserver", "-k"], capture_output=True)
        cls.folder.cleanup()

    def setUp(self):
        # Wine ends its session, services included, once no ordinary program runs: a keeper runs for the
        # whole case, first (its line says the session is up), and every other Wine program in its session.
        self.keeper = subprocess.Popen(["wine", "cmd", "/c", "echo up& ping -n 3600 127.0.0.1 > nul"],
                                       stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        self.assertEqual(self.keeper.stdout.readline().strip(), "up")

    def tearDown(self):
        self.keeper.kill()
        self.keeper.wait()
        subprocess.run(["wineserver", "-k"], capture_output=True)
        subprocess.run(["wineserver", "-w"], capture_output=True)

    def install(self, msi, *properties):
        return wine("msiexec", "/i", msi, "/qn", *properties, timeout=300)

    def get(self, port, path):
        """The service's JSON answer, waited for while the service starts."""
        deadline = time.monotonic() + 60
        while True:
            try:
                with urllib.request.urlopen("http://127.0.0.1:%d%s" % (port, path), timeout=30) as response:
                    return json.loads(response.read())
            except (urllib.error.URLError, ConnectionError):
                if time.monotonic() > deadline:
                    raise
                time.sleep(0.2)

    def test_sample_configuration_serves(self):
        # The sample serve.json the installer puts in the program folder, as the Windows tool reads it.
        sample = os.path.join(self.folder.name, "serve.json")
        with open(os.path.join(SOURCE, "tools", "service", "serve-windows.json")) as source, open(sample, "w") as copy:
            copy.write(source.read())
        serve = subprocess.Popen(["wine", os.path.join(WIN64_BUILD, "bin", "wsr37100.exe"), "serve", "--config", sample,
                                  "--port", "0"], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        try:
            self.assertRegex(serve.stdout.readline().strip(), r"^http://127\.0\.0\.1:\d+/$")
        finally:
            # Only its start is in question here: a signal's way into a Windows program under Wine is
            # not, and the prefix's wineserver is ended after each case anyway.
            serve.kill()
            serve.communicate(timeout=30)
        self.assertTrue(os.path.isdir(os.path.join(DRIVE, "ProgramData", "wsr37100", "logs")))

    def test_install_upgrade_uninstall(self):
        # An administrator's own entry in Chrome's list, which the installer must keep as it is.
        wine("reg", "add", CHROME, "/v", "1", "/t", "REG_SZ", "/d", ADMIN_ORIGIN, "/f", "/reg:64")
        policies = {CHROME: {"1": ADMIN_ORIGIN}, EDGE: None, CHROMIUM: None}
        self.assertEqual(policy_lists(), policies)
        # A value that would end its quoted argument on the service's command line is refused by a launch
        # condition, and nothing is installed; so is an origin the service or the browsers would refuse, by
        # the tool's check. Under Wine msiexec ends with 1603 and 1627 (on Windows 1603 both), which the
        # shell sees as 67 and 91, as docs/windows.md says.
        quoted = lambda value: value + '" --listen 0.0.0.0 --allow-origin "https://x.example'
        cases = [(["SCALES=counter=%s" % PORT + quoted("")], 67), (["SCALES=counter=\\\\.\\%s\\" % PORT], 67),
                 *[(["SCALES=counter=%s" % PORT, "ALLOW_ORIGINS=" + origins], status) for origins, status in
                   [(quoted("https://pos.example"), 67), ("https://pos.example\\", 67), ("pos.example", 91),
                    ("https://pos.example,https://till.example/", 91), ("http://pos.example", 91)]],
                 *[(["SCALES=counter=%s" % PORT, "ALLOW_ORIGINS=https://pos.example", "PORTAL_ORIGINS=" + portals], status)
                   for portals, status in [("http://portal.example", 91), (quoted("https://portal.example"), 67)]]]
        for properties, status in cases:
            with self.subTest(properties=properties):
                refused = self.install(MSI, "SERVICE=1", *properties)
                self.assertEqual(refused.returncode, status, "the installer took " + " ".join(properties))
                self.assertFalse(os.path.exists(PROGRAM))
                self.assertIsNone(registry(SERVICE_KEY))
                self.assertEqual(policy_lists(), policies)
        self.assertEqual(self.install(MSI, "SERVICE=1").returncode, 67, "SERVICE=1 without a scale was taken")

        path = path_entries()
        # The user's configuration (the port to serve on) and the scale from the command line.
        with socket.socket() as probe:
            probe.bind(("127.0.0.1", 0))
            port = probe.getsockname()[1]
        os.makedirs(os.path.dirname(CONFIG), exist_ok=True)
        with open(CONFIG, "w") as config:
            json.dump({"port": port, "scales": []}, config)
        with Simulator("--weight", "2.5", "--link", self.link):
            done = self.install(MSI, "SERVICE=1", "SCALES=counter=%s:9600,gap=20,no-log" % PORT,
                                "CONFIG=C:\\ProgramData\\wsr37100\\serve.json", "ALLOW_ORIGINS=" + ORIGINS,
                                "PORTAL_ORIGINS=" + PORTAL)
            self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
            for name in INSTALLED:
                self.assertTrue(os.path.isfile(os.path.join(PROGRAM, name)), name)
            # Windows quotes the program's path, Wine does not.
            self.assertEqual(registry(SERVICE_KEY, "ImagePath").replace('wsr37100.exe"', "wsr37100.exe").lstrip('"'),
                             'C:\\Program Files\\wsr37100\\wsr37100.exe serve --windows-service wsr37100 '
                             '--scale "counter=%s:9600,gap=20,no-log" --config "C:\\ProgramData\\wsr37100\\serve.json" '
                             '--allow-origin "%s"' % (PORT, ORIGINS))
            # The origins, then the portal's, after the administrator's entry in Chrome's list, alone in
            # Edge's and Chromium's.
            policies = {CHROME: {"1": ADMIN_ORIGIN, "2": "https://pos.example", "3": "https://till.example:8443",
                                 "4": PORTAL},
                        EDGE: {"1": "https://pos.example", "2": "https://till.example:8443", "3": PORTAL},
                        CHROMIUM: {"1": "https://pos.example", "2": "https://till.example:8443", "3": PORTAL}}
            self.assertEqual(policy_lists(), policies)
            reading = self.get(port, "/v1/scales/counter/reading?stable_ms=3000")
            self.assertEqual((reading["state"], reading["reading"]["weight"]), ("weight", 2.5))
            # A repair puts back a file that went missing, and the service with it.
            os.remove(os.path.join(PROGRAM, "x86", "wsr37100.dll"))
            done = self.install(MSI, "REINSTALL=ALL", "REINSTALLMODE=omus")
            self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
            self.assertTrue(os.path.isfile(os.path.join(PROGRAM, "x86", "wsr37100.dll")))
            self.assertEqual(self.get(port, "/health")["scales"], 1)
            # The newer package with a scale or a configuration the service would refuse is refused before
            # anything changes: this version stays installed and serves on with its settings.
            for refused in ["SCALES=nonsense", "CONFIG=C:\\nonexistent\\serve.json", "ALLOW_ORIGINS=https://pos.example/till",
                            "ALLOW_ORIGINS=http://pos.example"]:
                with self.subTest(upgrade=refused):
                    done = self.install(self.newer_msi, refused)
                    self.assertNotEqual(done.returncode, 0, "the upgrade took " + refused)
                    self.assertEqual(registry(uninstall_key(MSI), "DisplayVersion"), VERSION)
                    self.assertIsNone(registry(uninstall_key(self.newer_msi)))
                    self.assertEqual(registry(SETTINGS_KEY, "Scales"), "counter=%s:9600,gap=20,no-log" % PORT)
                    self.assertEqual(registry(SETTINGS_KEY, "AllowOrigins"), ORIGINS)
                    self.assertEqual(policy_lists(), policies)
                    self.assertEqual(self.get(port, "/health")["scales"], 1)
                    reading = self.get(port, "/v1/scales/counter/reading?stable_ms=3000")
                    self.assertEqual((reading["state"], reading["reading"]["weight"]), ("weight", 2.5))
        self.assertEqual(path_entries(), path + ["c:\\program files\\wsr37100\\"])
        self.assertEqual(registry(uninstall_key(MSI), "DisplayVersion"), VERSION)
        self.assertEqual(registry(SETTINGS_KEY, "Scales"), "counter=%s:9600,gap=20,no-log" % PORT)
        # A new Wine process finds the tool on the PATH.
        found = wine("cmd", "/c", "wsr37100 --version")
        self.assertEqual(found.stdout.strip(), "wsr37100 " + VERSION, found.stderr)

        # The newer package, given no property, replaces this one and keeps the service as it was.
        with Simulator("--weight", "4.25", "--link", self.link):
            done = self.install(self.newer_msi)
            self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
            health = self.get(port, "/health")
            self.assertEqual(health["scales"], 1)
            reading = self.get(port, "/v1/scales/counter/reading?stable_ms=3000")
            self.assertEqual((reading["state"], reading["reading"]["weight"]), ("weight", 4.25))
        # The origins recalled: the same lists, none twice. Then the administrator adds an entry after ours.
        self.assertIn('--allow-origin "%s"' % ORIGINS, registry(SERVICE_KEY, "ImagePath"))
        self.assertEqual(policy_lists(), policies)
        wine("reg", "add", CHROME, "/v", "5", "/t", "REG_SZ", "/d", "https://later.example", "/f", "/reg:64")
        # One product is installed: the newer one.
        self.assertEqual(registry(uninstall_key(self.newer_msi), "DisplayVersion"), newer(VERSION))
        self.assertIsNone(registry(uninstall_key(MSI)))
        self.assertIsNotNone(registry(EVENT_SOURCE_KEY))
        self.assertEqual(path_entries(), path + ["c:\\program files\\wsr37100\\"])
        # The next package given new settings replaces that one, and the service's command line.
        with Simulator("--weight", "1.5", "--link", self.link):
            done = self.install(self.newest_msi, "SCALES=counter=%s:9600,gap=30,no-log" % PORT,
                                "CONFIG=C:\\ProgramData\\wsr37100\\serve.json")
            self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
            self.assertIn('--scale "counter=%s:9600,gap=30,no-log"' % PORT, registry(SERVICE_KEY, "ImagePath"))
            reading = self.get(port, "/v1/scales/counter/reading?stable_ms=3000")
            self.assertEqual((reading["state"], reading["reading"]["weight"]), ("weight", 1.5))
        self.assertIsNone(registry(uninstall_key(self.newer_msi)))
        policies[CHROME] = {"1": ADMIN_ORIGIN, "2": "https://later.example", "3": "https://pos.example",
                            "4": "https://till.example:8443", "5": PORTAL}
        self.assertEqual(policy_lists(), policies)

        # An older package than the installed one is refused (the low byte of 1603), and changes nothing.
        self.assertEqual(self.install(MSI).returncode, 67)
        self.assertEqual(registry(uninstall_key(self.newest_msi), "DisplayVersion"), newer(newer(VERSION)))
        self.assertEqual(policy_lists(), policies)

        # Uninstalled: the service, the files, the PATH entry and the settings are gone; the user's
        # configuration stays.
        done = wine("msiexec", "/x", self.newest_msi, "/qn", timeout=300)
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
        self.assertIsNone(registry(SERVICE_KEY))
        self.assertIsNone(registry(EVENT_SOURCE_KEY))
        self.assertIsNone(registry(SETTINGS_KEY))
        # Only the entries the installer added are gone: the administrator's stay, numbered from 1 on.
        self.assertEqual(policy_lists(), {CHROME: {"1": ADMIN_ORIGIN, "2": "https://later.example"}, EDGE: None,
                                          CHROMIUM: None})
        self.assertEqual(path_entries(), path)
        self.assertIsNone(registry(uninstall_key(self.newest_msi)))
        self.assertFalse(os.path.exists(PROGRAM), os.listdir(PROGRAM) if os.path.exists(PROGRAM) else "")
        with open(CONFIG) as config:
            self.assertEqual(json.load(config)["port"], port)


if __name__ == "__main__":
    unittest.main()
