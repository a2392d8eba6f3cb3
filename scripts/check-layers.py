#!/usr/bin/env python3
"""Checks that includes run only downward between the folders of the tree.

The product's folders are floors; a file may include its own floor, any floor below it, the
platform layer and the suite's published interface headers (suite/*.h). The platform layer
knows nothing above it; the suite's stand-ins see only the platform layer, the published
headers and each other. Nothing in the product touches files but through the platform layer
(SQLite reads and writes its own files). Includes between the units of a folder (a header and
its source) may not close a circle, except where the system itself pairs two objects.

Usage: scripts/check-layers.py [--list]   (--list prints the floors and exits)
Exit status: 0 when every include keeps the direction, 1 otherwise (each offence is printed).
"""
import os
import re
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

# Top to bottom. Each floor may include itself and anything listed after it.
FLOORS = [
    ("core", "what the file manager calls: DllMain, exports, class table, operation entry points, shell-app messaging"),
    ("menu", "the context menu"),
    ("shell", "item identifiers, the shell folder, its enumerator, icons and view"),
    ("transfer", "the data object and its streams, drag and drop"),
    ("engine", "operations over files and folders, the progress dialog, the verification gate"),
    ("sharing", "the sharing rules and the sharing dialog"),
    ("container", "the container store: schema use, rows, images, conversion launch"),
    ("dialogs", "the message dialogs and the conversion prompt"),
    ("registration", "registration with the registry and the desktop"),
    ("base", "status codes, strings, dialog resources, app object, module tables, settings, item names, suite services"),
    ("util", "CPath and the registry key wrapper"),
]
OTHERS = [
    ("platform/", "the Windows stand-in; includes platform/ only"),
    ("suite/*.h", "the suite's published interfaces; include platform/ and each other"),
    ("suite/<program>/", "the suite's stand-ins; include platform/, suite/*.h and other stand-ins"),
    ("host/", "qvx; includes its own files, the product, platform/ and suite/*.h"),
]
# Headers private to one folder.
PRIVATE = {"platform/ui/UiInternal.h": "platform/ui/"}
# Circles the system's own design makes: a mailslot is opened by name through the handle
# table, which hands a mailslot name back to the mailslot code. A shell folder creates its
# view, and the view lists and binds through the folder it was created for.
ALLOWED_CIRCLES = [{"platform/Handles", "platform/Mailslot"},
                   {"shell/CQvShellFolder", "shell/CQvShellView"}]
# Operating-system file access the product must leave to the platform layer.
OS_FILE_HEADERS = {"fcntl.h", "unistd.h", "dirent.h", "sys/stat.h", "sys/types.h", "sys/mman.h"}
OS_FILE_CALLS = re.compile(r"(?<![\w.>:])(?:::)?(fopen|fdopen|fstat|openat|opendir|fsync)\s*\(")

INCLUDE = re.compile(r'^\s*#\s*include\s+([<"])([^">]+)[">]')
FLOOR_NAMES = [name for name, _ in FLOORS]


def kind_of(path):
    """The layer a repository path belongs to, or None when it is not checked."""
    top = path.split("/", 1)[0]
    if top in FLOOR_NAMES:
        return ("floor", FLOOR_NAMES.index(top))
    if top == "platform":
        return ("platform",)
    if top == "host":
        return ("host",)
    if top == "suite":
        return ("suite-api",) if path.count("/") == 1 else ("suite", path.split("/")[1])
    return None


def allowed(src, dst):
    a, b = kind_of(src), kind_of(dst)
    if a is None or b is None:
        return True
    if b[0] == "suite-api" and a[0] != "platform":
        return True
    if a[0] == "platform":
        return b[0] == "platform"
    if a[0] == "suite-api":
        return b[0] in ("platform", "suite-api")
    if a[0] == "suite":
        return b[0] in ("platform", "suite")
    if a[0] == "host":
        return b[0] in ("floor", "platform", "host")
    # a product floor
    if b[0] == "platform":
        return True
    return b[0] == "floor" and b[1] >= a[1]


def sources():
    for top in FLOOR_NAMES + ["platform", "suite", "host"]:
        for folder, _, files in os.walk(os.path.join(ROOT, top)):
            for name in sorted(files):
                if name.endswith((".h", ".cpp", ".c")):
                    yield os.path.relpath(os.path.join(folder, name), ROOT)


def resolve(src, written):
    for candidate in (os.path.join(os.path.dirname(src), written), written):
        candidate = os.path.normpath(candidate)
        if os.path.isfile(os.path.join(ROOT, candidate)):
            return candidate
    return None


def unit(path):
    return os.path.splitext(path)[0]


def circles(edges):
    """Strongly connected components of more than one unit (Tarjan)."""
    index, low, stack, on, found = {}, {}, [], set(), []
    counter = [0]

    def visit(v):
        index[v] = low[v] = counter[0]
        counter[0] += 1
        stack.append(v)
        on.add(v)
        for w in edges.get(v, ()):
            if w not in index:
                visit(w)
                low[v] = min(low[v], low[w])
            elif w in on:
                low[v] = min(low[v], index[w])
        if low[v] == index[v]:
            component = set()
            while True:
                w = stack.pop()
                on.discard(w)
                component.add(w)
                if w == v:
                    break
            if len(component) > 1:
                found.append(component)

    sys.setrecursionlimit(10000)
    for v in sorted(edges):
        if v not in index:
            visit(v)
    return found


def main():
    if "--help" in sys.argv or "-h" in sys.argv:
        print(__doc__.strip())
        return 0
    if "--list" in sys.argv:
        for name, what in FLOORS:
            print(f"{name + '/':18} {what}; includes the folders below it")
        for name, what in OTHERS:
            print(f"{name:18} {what}")
        return 0
    offences = []
    edges = {}
    for src in sources():
        product = kind_of(src)[0] == "floor"
        with open(os.path.join(ROOT, src), encoding="utf-8", errors="replace") as f:
            for number, line in enumerate(f, 1):
                m = INCLUDE.match(line)
                if m:
                    bracket, written = m.groups()
                    if bracket == "<":
                        if product and written in OS_FILE_HEADERS:
                            offences.append(f"{src}:{number}: <{written}>: file access belongs to platform/")
                        continue
                    dst = resolve(src, written)
                    if dst is None:
                        continue
                    if not allowed(src, dst):
                        offences.append(f"{src}:{number}: includes {dst}, which is not below it")
                    owner = PRIVATE.get(dst)
                    if owner and not src.startswith(owner):
                        offences.append(f"{src}:{number}: includes {dst}, private to {owner}")
                    if unit(dst) != unit(src):
                        edges.setdefault(unit(src), set()).add(unit(dst))
                elif product and OS_FILE_CALLS.search(line.split("//", 1)[0]):
                    offences.append(f"{src}:{number}: calls the system's file functions; use platform/")
    for component in circles(edges):
        if component not in ALLOWED_CIRCLES:
            offences.append("circle of includes: " + " -> ".join(sorted(component)))
    for offence in offences:
        print(offence)
    if offences:
        print(f"check-layers: {len(offences)} include(s) against the direction "
              "(scripts/check-layers.py --list shows the floors)", file=sys.stderr)
        return 1
    print("check-layers: every include runs downward")
    return 0


if __name__ == "__main__":
    sys.exit(main())
