"""The README's sh blocks, run line by line exactly as written, as a user would type them."""
import os
import re
import subprocess
import tempfile
import unittest

TOOL = os.environ["WSR37100_TOOL"]
SOURCE = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
BUILD = os.path.dirname(os.path.dirname(os.path.abspath(TOOL)))
PAUSE_AFTER_BACKGROUND = 1   # seconds, as a user types the next line
CTRL_C_AFTER = 3             # seconds, for a line that runs until Ctrl-C


def blocks():
    text = read(os.path.join(SOURCE, "README.md"))
    return [block.strip("\n").splitlines() for block in re.findall(r"^```sh\n(.*?)^```", text, re.S | re.M)]


def read(path):
    with open(path, encoding="utf-8") as file:
        return file.read()


def script(lines, out):
    """One bash script per block; `make` lines are the build itself, which runs them."""
    steps = ["set -m"]
    for i, line in enumerate(lines):
        command = line.split("#", 1)[0].strip()
        if not command or command.startswith("make"):
            continue
        files = f"> {out}/{i}.out 2> {out}/{i}.err"
        if command.endswith("&"):
            steps += [line, f"sleep {PAUSE_AFTER_BACKGROUND}"]
        elif "--watch" in command:
            steps += [f"{command} {files} &", f"sleep {CTRL_C_AFTER}", "kill -INT $!", f"wait $!; echo $? > {out}/{i}.rc"]
        else:
            steps += ["{", line, f"}} {files}; echo $? > {out}/{i}.rc"]
    return "\n".join(steps) + "\n"


class ReadmeTest(unittest.TestCase):
    def test_readme_commands(self):
        linked = subprocess.run(["ldd", TOOL], capture_output=True, text=True).stdout
        if re.search(r"lib(a|t|ub)san", linked):
            self.skipTest("a sanitizer build: a plain host program cannot link its library")
        if os.path.lexists("/tmp/scale"):
            self.fail("/tmp/scale exists; the README's simulator needs that path free")
        with tempfile.TemporaryDirectory() as work:
            # The repository as the README sees it: its folders, and this build as build/native.
            for name in ("include", "examples"):
                os.symlink(os.path.join(SOURCE, name), os.path.join(work, name))
            os.makedirs(os.path.join(work, "build"))
            os.symlink(BUILD, os.path.join(work, "build", "native"))
            os.makedirs(os.path.join(work, "home"))
            out = os.path.join(work, "out")
            env = {**os.environ, "HOME": os.path.join(work, "home"),
                   "PATH": os.path.join(work, "build", "native", "bin") + ":" + os.environ["PATH"]}
            env.pop("WSR37100_LIBRARY", None)
            checked = []
            for lines in blocks():
                os.makedirs(out, exist_ok=True)
                subprocess.run(["bash", "-c", script(lines, out)], cwd=work, env=env, timeout=600, capture_output=True)
                for i, line in enumerate(lines):
                    if not os.path.exists(f"{out}/{i}.rc"):
                        continue
                    with self.subTest(line=line):
                        status, stdout, stderr = int(read(f"{out}/{i}.rc")), read(f"{out}/{i}.out"), read(f"{out}/{i}.err")
                        printed = re.search(r'# prints "(.*)"', line)
                        if printed:
                            checked.append(line)
                            self.assertEqual((status, stdout), (0, printed.group(1) + "\n"), stderr)
                        elif "--watch" in line:
                            self.assertEqual(status, 130, stderr)
                        else:  # without a scale a reading is "no reading" (3); never a failure or usage error
                            self.assertIn(status, (0, 2, 3), stderr)
                subprocess.run(["rm", "-rf", out])
            every = [line for lines in blocks() for line in lines if '# prints "' in line]
            self.assertEqual(checked, every)
        self.assertFalse(os.path.lexists("/tmp/scale"))
