#!/usr/bin/env python3
"""The layers of src/ and tools/ and the circles among their files, from their #include "..." lines.

Usage: python3 scripts/layers.py [FOLDER...]   (default: src and tools beside this script's folder)

A folder is ranked by its name (src or tools). Each layer may include only from the layers below it;
a layer is the deepest folder the ranks below name:

    tools/                                      src/
    cli                the command-line tool    api                  the C entry points
    service            the HTTP service         detection, monitor   finding the scale; following it
    common,            what both use; the       weighing             the weight query
      scale_emulator     scale emulator         replies              decoding the scale's replies
                                                link/open            the table of schemes: opens a link
                                                link/serial,         the transports
                                                  link/network
                                                link                 the link's interface, waits, port names
                                                log                  the daily log, the regional settings
                                                base                 the exception, conversions

A file's "component" is its name without .cpp/.hpp and without a platform suffix
(_posix, _linux, _win32): clock.hpp, clock.cpp and clock_posix.cpp are one. Two
components that include each other's headers, directly or round a longer path,
form a circle even when no header includes another.

Prints, for each folder, the includes that point up or sideways, then the circles among
files, among components and among layers. Exit status 1 when there is any of them, else 0.
"""
import os
import re
import sys

RANKS = {
    "tools": {"common": 0, "scale_emulator": 0, "service": 1, "cli": 2},
    "src": {"base": 0, "log": 1, "link": 2, "link/serial": 3, "link/network": 3, "link/open": 4, "replies": 5,
            "weighing": 6, "detection": 7, "monitor": 7, "api": 8},
}
SOURCES = (".cpp", ".hpp", ".h")
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.MULTILINE)
PLATFORM = re.compile(r"_(posix|linux|win32)$")


def files_below(root):
    for folder, _, names in os.walk(root):
        for name in sorted(names):
            if name.endswith(SOURCES):
                yield os.path.relpath(os.path.join(folder, name), root).replace(os.sep, "/")


def resolve(root, including, name, known, layer):
    """The file of the tree an include names, or None for one outside it (the library's, a package's)."""
    beside = os.path.normpath(os.path.join(os.path.dirname(including), name)).replace(os.sep, "/")
    if beside in known:
        return beside
    # Through some target's include folder: any folder of the tree that holds the path.
    found = sorted(path for path in known if path == name or path.endswith("/" + name))
    same_layer = [path for path in found if layer(path) == layer(including)]
    return (same_layer or found or [None])[0]


def layer_of(ranks):
    """The layer of a path: the deepest folder the ranks name, else its top folder."""
    def layer(path):
        folders = path.split("/")[:-1]
        for depth in range(len(folders), 0, -1):
            if "/".join(folders[:depth]) in ranks:
                return "/".join(folders[:depth])
        return path.split("/", 1)[0]
    return layer


def circles(graph):
    """The strongly connected parts of more than one node (Tarjan), each sorted."""
    index, low, stack, on_stack, parts = {}, {}, [], set(), []

    def visit(node):
        index[node] = low[node] = len(index)
        stack.append(node)
        on_stack.add(node)
        for after in sorted(graph.get(node, ())):
            if after not in index:
                visit(after)
                low[node] = min(low[node], low[after])
            elif after in on_stack:
                low[node] = min(low[node], index[after])
        if low[node] == index[node]:
            part = []
            while True:
                top = stack.pop()
                on_stack.discard(top)
                part.append(top)
                if top == node:
                    break
            if len(part) > 1:
                parts.append(sorted(part))

    for node in sorted(graph):
        if node not in index:
            visit(node)
    return sorted(parts)


def check(root):
    """Prints what is wrong in one tree; the number of problems."""
    ranks = RANKS.get(os.path.basename(os.path.normpath(root)), {})
    layer = layer_of(ranks)

    def component(path):
        stem = os.path.splitext(os.path.basename(path))[0]
        return layer(path) + "/" + PLATFORM.sub("", stem)

    known = set(files_below(root))
    edges = []  # (from file, to file)
    for path in sorted(known):
        with open(os.path.join(root, path), encoding="utf-8", errors="replace") as source:
            for name in INCLUDE.findall(source.read()):
                target = resolve(root, path, name, known, layer)
                if target is not None and target != path:
                    edges.append((path, target))

    def rank(path):
        return ranks.get(layer(path), len(ranks))

    upward = [(a, b) for a, b in edges if layer(a) != layer(b) and rank(b) >= rank(a)]
    print(f"{os.path.basename(os.path.normpath(root))}/: includes up or sideways: {len(upward)}")
    for a, b in upward:
        print(f"  {a} -> {b}   ({layer(a)} -> {layer(b)})")

    problems = len(upward)
    for title, key in (("files", lambda path: path), ("components", component), ("layers", layer)):
        graph = {}
        why = {}
        for a, b in edges:
            if key(a) != key(b):
                graph.setdefault(key(a), set()).add(key(b))
                why.setdefault((key(a), key(b)), []).append(f"{a} -> {b}")
        found = circles(graph)
        problems += len(found)
        print(f"circles among {title}: {len(found)}")
        for part in found:
            print("  " + " <-> ".join(part))
            members = set(part)
            for (a, b), lines in sorted(why.items()):
                if a in members and b in members:
                    shown = lines if len(lines) <= 3 else lines[:3] + [f"(+{len(lines) - 3} more)"]
                    print("    " + "; ".join(shown))
    return problems


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    roots = sys.argv[1:] or [os.path.join(here, "..", tree) for tree in ("src", "tools")]
    return 1 if sum(check(root) for root in roots) else 0


if __name__ == "__main__":
    sys.exit(main())
