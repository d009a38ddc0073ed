"""The sh blocks of the README and of every guide in docs/, run line by line exactly as written, as a script
would run them (no pause between lines); their fences, relative links and anchors, and the layout table against the tree."""
import glob
import os
import re
import subprocess
import tempfile
import unittest

TOOL = os.environ["WSR37100_TOOL"]
SOURCE = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
BUILD = os.path.dirname(os.path.dirname(os.path.abspath(TOOL)))
CTRL_C_AFTER = 3             # seconds, for a line that runs until Ctrl-C


LANGUAGES = {"sh", "text", "c", "cpp", "csharp", "python", "pascal", "vb", "js", "xml", "html"}
CHECKED = {"c", "cpp", "csharp", "python", "pascal", "js", "xml"}  # compiled or run by code_problem(); sh is run
NOT_RUN = re.compile(r"^<!-- not run: (.*?) -->$")


def documents():
    return ["README.md"] + sorted(os.path.relpath(path, SOURCE) for path in glob.glob(os.path.join(SOURCE, "docs", "*.md")))


def fences(text):
    """Each fenced block: (line number, language, its lines, the reason it is not run or None)."""
    found, lines, opened = [], text.splitlines(), None
    for number, line in enumerate(lines, 1):
        if opened is None and line.lstrip().startswith("```"):
            marker = NOT_RUN.match(lines[number - 2]) if number > 1 else None
            opened = (number, line.strip()[3:], [], marker.group(1) if marker else None)
        elif opened is not None and line.strip() == "```":
            found.append(opened)
            opened = None
        elif opened is not None:
            opened[2].append(line)
    return found + ([opened + ("never closed",)] if opened else [])


def fence_problems(text):
    problems = []
    for number, language, lines, reason, *unclosed in fences(text):
        if unclosed or language not in LANGUAGES:
            problems.append(f"line {number}: a block {unclosed[0] if unclosed else 'in ' + repr(language)}")
        elif reason is not None and (language == "text" or not reason.strip()):
            problems.append(f"line {number}: 'not run' needs a code block and a reason")
        elif reason is None and language not in CHECKED | {"sh", "text"}:
            problems.append(f"line {number}: a {language} block nothing checks: mark it 'not run', with why")
        elif language == "text" and any(line.startswith("$ ") for line in lines):
            problems.append(f"line {number}: a command in a text block: make it sh")
    return problems


def blocks():
    """(document, lines) of every sh block the suite runs."""
    return [(name, lines) for name in documents() for _, language, lines, reason in fences(read(os.path.join(SOURCE, name)))
            if language == "sh" and reason is None]


def code_blocks():
    """(document, line, language, lines, reason or None) of every block in a language other than sh and text."""
    return [(name, number, language, lines, reason) for name in documents()
            for number, language, lines, reason in fences(read(os.path.join(SOURCE, name)))
            if language not in ("sh", "text")]


def split_fragment(lines):
    """A fragment of C, C++ or C# as definitions (up to its last closing brace at the margin) and statements."""
    ends = [i for i, line in enumerate(lines) if line.rstrip() == "}"]
    cut = ends[-1] + 1 if ends else 0
    return "\n".join(lines[:cut]), "\n".join(lines[cut:])


C_HEADERS = {"c": "#include <stdio.h>\n#include <wsr37100.h>\n", "cpp": "#include <cstdio>\n#include <wsr37100.hpp>\n"}
CSHARP_USINGS = "using System;\nusing System.Runtime.InteropServices;\nusing System.Threading;\nusing Wsr37100;\n"


def code_problem(language, lines, work, run_with=None, prints=None):
    """What compiling (and, for a whole C# program or Python, running) one block gives: None when it builds and
    runs, else the compiler's or the program's words. run_with: the port a whole program is given as its
    argument, which must then print `prints`."""
    text = "\n".join(lines) + "\n"
    source = os.path.join(work, "block")
    whole = re.search(r"\b(int|void) +Main\b|\bint main\b", text)
    if language in ("c", "cpp"):
        top, body = split_fragment(lines)
        program = text if whole else f"{C_HEADERS[language]}{top}\nint main(void) {{\n{body}\nreturn 0;\n}}\n"
        compiler = ["cc", "-std=c11", "-x", "c"] if language == "c" else ["c++", "-std=c++20", "-x", "c++"]
        write(source, program)
        commands = [compiler + ["-Wall", "-Werror", "-Wno-unused", "-I", os.path.join(SOURCE, "include"), source,
                                "-L", os.path.join(BUILD, "lib"), "-lwsr37100", "-o", source + ".out"]]
    elif language == "csharp":
        program = text if whole else f"{CSHARP_USINGS}static class Guide\n{{\n{text}}}\n"
        write(source + ".cs", program)
        library = os.path.join(work, "Wsr37100.Net.dll")
        commands = [] if os.path.exists(library) else [
            ["mcs", "-target:library", "-out:" + library, os.path.join(SOURCE, "examples", "csharp", "Wsr37100.cs")]]
        commands.append(["mcs", "-r:" + library, "-target:" + ("exe" if whole else "library"),
                         "-out:" + source + ".exe", source + ".cs"])
        if whole and run_with:
            commands.append(["mono", source + ".exe", run_with])
    elif language == "python":
        write(source + ".py", text)
        commands = [["python3", source + ".py"]]
    elif language == "js":
        write(source + ".mjs", text)
        commands = [["node", "--check", source + ".mjs"]]
    elif language == "pascal":
        write(source + ".pas", f"program guide;\n{{$mode delphi}}\n{text}begin\nend.\n")
        commands = [["fpc", "-s", "-FE" + work, source + ".pas"]]
    else:  # xml
        write(source + ".xml", text)
        commands = [["xmllint", "--noout", source + ".xml"]]
    for command in commands:
        done = subprocess.run(command, cwd=work, capture_output=True, text=True, timeout=300,
                              env={**os.environ, "LD_LIBRARY_PATH": os.path.join(BUILD, "lib"),
                                   "PYTHONPATH": os.path.join(SOURCE, "examples", "python")})
        if done.returncode != 0 or (command[0] == "mono" and done.stdout != prints):
            return f"{' '.join(command[:2])}: {done.returncode} {done.stdout[-2000:]}{done.stderr[-2000:]}"
    return None


def write(path, text):
    with open(path, "w", encoding="utf-8") as file:
        file.write(text)


def anchors(text):
    """GitHub's anchors for a document's headings, outside its blocks."""
    seen, found = {}, set()
    for heading in re.findall(r"^#{1,6} (.*)$", outside_blocks(text), re.M):
        slug = re.sub(r"[^\w\- ]", "", heading.strip().lower()).replace(" ", "-")
        found.add(slug if slug not in seen else f"{slug}-{seen[slug]}")
        seen[slug] = seen.get(slug, 0) + 1
    return found


def outside_blocks(text):
    return re.sub(r"^\s*```.*?^\s*```", "", text, flags=re.S | re.M)


def link_problems(name, text, root=SOURCE):
    """Relative links and anchors of one document that lead nowhere; (problems, links checked)."""
    problems, targets = [], re.findall(r"\]\(([^)\s]+)\)", re.sub(r"`[^`]*`", "", outside_blocks(text)))
    for target in targets:
        if re.match(r"[a-z]+:", target):
            continue
        path, _, anchor = target.partition("#")
        file = os.path.normpath(os.path.join(root, os.path.dirname(name), path))
        if path and not os.path.exists(file):
            problems.append(f"{name}: {target}: no such file")
        elif anchor and anchor not in anchors(read(file) if path.endswith(".md") else text if not path else ""):
            problems.append(f"{name}: {target}: no such heading")
    return problems, len(targets)


def layout_problems(text, root=SOURCE):
    """The layout table of docs/developing.md against the tree: every folder it names exists, and it names every
    top-level folder, every folder of src/ and every folder of tools/."""
    section = text.split("\n## Layout", 1)[-1].split("\n## ", 1)[0]
    named = {row.rstrip("/") for row in re.findall(r"^\| `([^`]+)` \|", section, re.M)}
    tree = {entry for entry in os.listdir(root) if os.path.isdir(os.path.join(root, entry)) and entry not in (".git", "build")}
    tree |= {"tools/" + entry for entry in os.listdir(os.path.join(root, "tools")) if os.path.isdir(os.path.join(root, "tools", entry))}
    tree |= {os.path.relpath(folder, root) for folder, _, _ in os.walk(os.path.join(root, "src"))}
    return sorted(f"{folder}: not in the tree" for folder in named if not os.path.isdir(os.path.join(root, folder))) + \
        sorted(f"{folder}: not in the layout table" for folder in tree - named
               if not any(other.startswith(folder + "/") for other in named))


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
            steps += [line]
        elif "--watch" in command:
            steps += [f"{command} {files} &", f"sleep {CTRL_C_AFTER}", "kill -INT $!", f"wait $!; echo $? > {out}/{i}.rc"]
        else:
            steps += ["{", line, f"}} {files}; echo $? > {out}/{i}.rc"]
    # What the block stopped gets 5 s to end (a second signal would end a simulator before it removes its link);
    # what it left running is then stopped, and its end awaited, before the next block starts; a simulator the
    # block started with --background and stopped by its id is awaited by its link, which it removes last.
    ending = ['for _ in $(seq 50); do [ -z "$(jobs -pr)" ] && break; sleep 0.1; done', "kill $(jobs -pr) 2> /dev/null; wait",
              "for _ in $(seq 50); do [ -L /tmp/scale ] || break; sleep 0.1; done"]
    return "\n".join(steps + ending) + "\n"


class ReadmeTest(unittest.TestCase):
    def test_documents_fences_links_and_layout(self):
        checked = 0
        for name in documents():
            text = read(os.path.join(SOURCE, name))
            problems, links = link_problems(name, text)
            checked += links
            self.assertEqual(fence_problems(text) + problems, [], name)
        self.assertEqual(layout_problems(read(os.path.join(SOURCE, "docs", "developing.md"))), [])
        marked = [(name, reason) for name in documents() for *_, reason in fences(read(os.path.join(SOURCE, name))) if reason]
        print(f"\n{len(documents())} documents, {checked} links, {len(blocks())} blocks run, {len(marked)} marked not run")

    def test_the_checks_catch_a_broken_document(self):
        with tempfile.TemporaryDirectory() as root:
            for folder in ("docs", "src/kept", "tools"):
                os.makedirs(os.path.join(root, folder))
            for text, problems in [
                ("[a](gone.md)", ["docs/a.md: gone.md: no such file"]),
                ("# Here\n[a](#there) [b](#here) [c](../src)", ["docs/a.md: #there: no such heading"]),
                ("```\nx\n```", ["line 1: a block in ''"]),
                ("```sh\nx", ["line 1: a block never closed"]),
                ("<!-- not run:  -->\n```sh\nx\n```", ["line 2: 'not run' needs a code block and a reason"]),
                ("<!-- not run: output -->\n```text\nx\n```", ["line 2: 'not run' needs a code block and a reason"]),
                ("```vb\nx\n```", ["line 1: a vb block nothing checks: mark it 'not run', with why"]),
                ("```text\n$ wsr37100 ports\n```", ["line 1: a command in a text block: make it sh"]),
            ]:
                with self.subTest(text=text):
                    self.assertEqual(link_problems("docs/a.md", text, root)[0] + fence_problems(text), problems)
            table = "## Layout\n| `docs/` | x |\n| `src/` | x |\n| `gone/` | x |\n## Next\n| `src/kept/` | x |\n"
            self.assertEqual(layout_problems(table, root),
                             ["gone: not in the tree", "src/kept: not in the layout table", "tools: not in the layout table"])

    def test_code_blocks_build(self):
        """Every block in a language other than sh compiles (C and C++ against this build, C# with the .NET
        binding), parses, or is marked with why not; a whole C# program weighs the simulator."""
        checked = 0
        # A sanitizer build's library loads only into a program built with the sanitizer: there the
        # blocks are compiled, not run.
        sanitized = re.search(r"lib(a|t|ub)san", subprocess.run(["ldd", TOOL], capture_output=True, text=True).stdout)
        with tempfile.TemporaryDirectory() as work, tempfile.TemporaryFile(mode="w+") as said:
            port = None if sanitized else os.path.join(work, "scale")
            simulator = subprocess.run([TOOL, "simulate", "--weight", "7.5", "--link", os.path.join(work, "scale"),
                                        "--background"], stdout=subprocess.PIPE, stderr=said, text=True, timeout=60)
            self.assertEqual(simulator.returncode, 0)
            try:
                for name, number, language, lines, reason in code_blocks():
                    if reason is None:
                        checked += 1
                        with self.subTest(document=name, line=number, language=language):
                            self.assertIsNone(code_problem(language, lines, work, port, "7.500 kg\n"))
            finally:
                os.kill(int(simulator.stdout), 15)
        marked = len(code_blocks()) - checked
        print(f"\n{checked} blocks compiled or run, {marked} marked not run")
        self.assertTrue(checked)

    def test_a_block_that_does_not_build_is_caught(self):
        with tempfile.TemporaryDirectory() as work:
            for language, lines in [
                ("c", ["WsrOpcoes opcoes = { .tamanho = sizeof opcoes };", "BuscaPesoEx(\"COM1\", opcoes);"]),
                ("cpp", ["WsrOpcoes opcoes{};", "Wsr37100::Monitor monitor(\"COM1\", \"9600\", opcoes);"]),
                ("csharp", ["static double Peso() { return new Scale(\"COM1\", 9600).Weighs(); }"]),
                ("python", ["if True:", "print(1)"]),
                ("js", ["const a = ;"]),
                ("pascal", ["function BuscaPeso(sPorta: PAnsiChar) Double; stdcall; external 'wsr37100.dll';"]),
                ("xml", ["<configuration><dllmap></configuration>"]),
            ]:
                with self.subTest(language=language):
                    self.assertIsNotNone(code_problem(language, lines, work))

    def test_readme_commands(self):
        linked = subprocess.run(["ldd", TOOL], capture_output=True, text=True).stdout
        if re.search(r"lib(a|t|ub)san", linked):
            self.skipTest("a sanitizer build: a plain host program cannot link its library")
        if os.path.lexists("/tmp/scale"):
            self.fail("/tmp/scale exists; the README's simulator needs that path free")
        with tempfile.TemporaryDirectory() as work:
            # The repository as the README sees it: its folders, and this build as build/native.
            for name in ("include", "examples", "scripts", "tools"):
                os.symlink(os.path.join(SOURCE, name), os.path.join(work, name))
            os.makedirs(os.path.join(work, "build"))
            os.symlink(BUILD, os.path.join(work, "build", "native"))
            os.makedirs(os.path.join(work, "home"))
            out = os.path.join(work, "out")
            env = {**os.environ, "HOME": os.path.join(work, "home"),
                   "PATH": os.path.join(work, "build", "native", "bin") + ":" + os.environ["PATH"]}
            env.pop("WSR37100_LIBRARY", None)
            checked = []
            for name, lines in blocks():
                os.makedirs(out, exist_ok=True)
                subprocess.run(["bash", "-c", script(lines, out)], cwd=work, env=env, timeout=600, capture_output=True)
                for i, line in enumerate(lines):
                    if not os.path.exists(f"{out}/{i}.rc"):
                        continue
                    with self.subTest(document=name, line=line):
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
            every = [line for _, lines in blocks() for line in lines if '# prints "' in line]
            self.assertEqual(checked, every)
        self.assertFalse(os.path.lexists("/tmp/scale"))
