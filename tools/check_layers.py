#!/usr/bin/env python3
"""Checks that every file under src/ includes only headers of the layers its own layer may use.

    check_layers.py SRC_DIR

A file belongs to the unit of the longest folder below that holds it (src/ui/qt/x.cpp: ui/qt);
an include is resolved as the compiler resolves it (the including file's folder first for quoted
includes, then SRC_DIR) and belongs to the unit of the header it names. Includes that resolve
outside SRC_DIR (the system's, the toolkits', the tools') are not checked. Exit code 0 when every
include is allowed, 1 with one line per fault otherwise, 2 for a bad command line.
"""

import os
import re
import sys

# The layers and what each may use directly; a unit may also use whatever those use, and itself.
# docs/architecture.md draws the same graph.
ARROWS = {
    "app": ["ui/qt", "ui/win32", "ui/console", "worker", "platform/linux", "platform/win32"],
    "ui/headless": ["ui"],
    "ui/console": ["ui"],
    "ui/qt": ["ui"],
    "ui/win32": ["ui"],
    "ui": ["host"],
    "worker": ["flash"],
    "flash": ["device"],
    "device": ["package"],
    "package": ["host"],
    "host": ["platform"],
    "platform/sim": ["platform", "sim"],
    "platform/linux": ["platform"],
    "platform/win32": ["platform"],
    "platform": [],
    # The emulated machine and quiver-sim, beside the program.
    "simapp": ["app", "ui/headless", "ui/console", "platform/sim", "json"],
    "sim": ["formats"],
    "formats": [],
    "json": [],
}

# ---- Known exceptions ----------------------------------------------------------------------
# (unit, header) pairs allowed although the graph forbids them, each with the reason beside it;
# none today. The check fails on an exception that nothing needs any more.
KNOWN_EXCEPTIONS = []
# ---------------------------------------------------------------------------------------------

SOURCE_SUFFIXES = (".h", ".hpp", ".cpp", ".cc", ".inc")
INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]')


def allowed_units():
    """Every unit with the units it may use: the closure of ARROWS."""
    allowed = {}
    for unit in ARROWS:
        seen = {unit}
        todo = list(ARROWS[unit])
        while todo:
            used = todo.pop()
            if used not in seen:
                seen.add(used)
                todo.extend(ARROWS[used])
        allowed[unit] = seen
    return allowed


def unit_of(relative):
    """The unit of a path relative to src/ ("ui/qt/x.h" -> "ui/qt"), None outside every unit."""
    parts = relative.split("/")[:-1]
    for length in range(len(parts), 0, -1):
        candidate = "/".join(parts[:length])
        if candidate in ARROWS:
            return candidate
    return None


def resolve(src, including_dir, kind, name):
    """The included file relative to src/, or None when it is not one of src/'s."""
    candidates = [os.path.join(including_dir, name)] if kind == '"' else []
    candidates.append(os.path.join(src, name))
    for path in candidates:
        if os.path.isfile(path):
            relative = os.path.relpath(os.path.realpath(path), os.path.realpath(src))
            if relative.startswith(".."):
                return None
            return relative.replace(os.sep, "/")
    return None


def check(src):
    """The faults found under src, one text each."""
    allowed = allowed_units()
    exceptions = set(KNOWN_EXCEPTIONS)
    used_exceptions = set()
    faults = []
    for folder, _, files in sorted(os.walk(src)):
        for file_name in sorted(files):
            if not file_name.endswith(SOURCE_SUFFIXES):
                continue
            path = os.path.join(folder, file_name)
            relative = os.path.relpath(path, src).replace(os.sep, "/")
            unit = unit_of(relative)
            if unit is None:
                faults.append(f"src/{relative}: its folder is in no layer; add it to ARROWS in "
                              "tools/check_layers.py and to docs/architecture.md")
                continue
            with open(path, encoding="utf-8", errors="replace") as source:
                for number, line in enumerate(source, 1):
                    match = INCLUDE.match(line)
                    if not match:
                        continue
                    header = resolve(src, folder, match.group(1), match.group(2))
                    if header is None:
                        continue
                    target = unit_of(header)
                    if target in allowed[unit]:
                        continue
                    if (unit, header) in exceptions:
                        used_exceptions.add((unit, header))
                        continue
                    may_use = ", ".join(sorted(allowed[unit] - {unit})) or "nothing else"
                    faults.append(f"src/{relative}:{number}: {unit} may not include {header} "
                                  f"(layer {target or 'none'}); {unit} may use {may_use}")
    for unit, header in sorted(exceptions - used_exceptions):
        faults.append(f"known exception ({unit!r}, {header!r}) is no longer needed: delete it "
                      "from KNOWN_EXCEPTIONS in tools/check_layers.py")
    return faults


def main(argv):
    if len(argv) != 2 or not os.path.isdir(argv[1]):
        print("usage: check_layers.py SRC_DIR", file=sys.stderr)
        return 2
    faults = check(argv[1])
    for fault in faults:
        print(fault)
    if faults:
        print(f"{len(faults)} include(s) break the layers (docs/architecture.md)")
        return 1
    print("every include under src/ keeps to the layers")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
