#!/usr/bin/env python3
"""Checks the include graph between the folders under src/. Every folder has a row saying what it
may include besides itself, so that no folder reaches above its layer and no two folders include
each other: the ground pieces include nothing above them, the platform services know nothing of
the commands, the server knows no command (the command table is assembled in front/, with the
modes), and only the entry point reaches the mode runner. A folder without a row fails the test.
Exits non-zero, naming every offending include, when a rule is broken."""

import pathlib
import re
import sys

SRC = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else "src")

GROUND = {"base", "os", "crypto"}
COMMANDS = {"session", "payload", "wrap", "presence", "keychain"}
# What each folder may include besides itself: a folder name allows the whole folder, a path one
# header. The server owns the session table, which the session commands build on; that one header
# is all the server sees of session/, so the two folders do not form a cycle.
ALLOWED = {
    "base": set(),
    "os": {"base"},
    "crypto": {"base", "os"},
    "json": GROUND,
    "platform": GROUND,
    "server": GROUND | {"json", "platform", "session/session_table.h"},
    "session": GROUND | {"server"},
    "payload": GROUND | {"server", "session"},
    "wrap": GROUND | {"server", "session"},
    "presence": GROUND | {"platform", "server", "session"},
    "keychain": GROUND | {"platform"},
    "front": GROUND | {"platform", "server"} | COMMANDS,
    # The key service, a program of its own: it shares the platform's TPM and polkit code and
    # the bus interface's names, nothing of the helper's commands.
    "keyd": GROUND | {"platform"},
    # src/main.cpp
    None: {"front", "os"},
}

INCLUDE = re.compile(r'^\s*#\s*include\s+"(([a-z_]+)/[^"]+)"')


def allowed(folder, target_folder, target_path):
    rules = ALLOWED[folder]
    return target_folder in rules or target_path in rules


def folder_cycle():
    """A cycle among the table's whole-folder rows, or None: the rows themselves must layer."""
    edges = {f: {t for t in rules if "/" not in t} for f, rules in ALLOWED.items() if f}
    state = {}

    def visit(node, trail):
        state[node] = "open"
        for target in sorted(edges.get(node, ())):
            if state.get(target) == "open":
                return trail + [node, target]
            if target not in state:
                found = visit(target, trail + [node])
                if found:
                    return found
        state[node] = "done"
        return None

    for node in sorted(edges):
        if node not in state:
            found = visit(node, [])
            if found:
                return found
    return None


def main() -> int:
    problems = []
    cycle = folder_cycle()
    if cycle:
        problems.append("the layering table has a cycle: " + " -> ".join(cycle))
    folders = {p.name for p in SRC.iterdir() if p.is_dir()}
    for folder in sorted(folders - {f for f in ALLOWED if f}):
        problems.append(f"{folder}/ has no row in the layering table")
    for path in sorted(SRC.rglob("*")):
        if path.suffix not in {".h", ".cpp"}:
            continue
        relative = path.relative_to(SRC)
        folder = relative.parts[0] if len(relative.parts) > 1 else None
        if folder not in ALLOWED:
            continue
        for number, line in enumerate(path.read_text(errors="replace").splitlines(), 1):
            match = INCLUDE.match(line)
            if not match:
                continue
            target_path, target = match.group(1), match.group(2)
            if target == folder:
                continue
            if not allowed(folder, target, target_path):
                problems.append(f"{relative}:{number}: {folder or 'main.cpp'} includes {target_path}")
    for problem in problems:
        print(problem)
    print(f"{len(problems)} layering problems")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
