#!/usr/bin/env python3
"""Checks the include graph between the folders under src/. Every folder has a row saying what it
may include besides itself, so that no folder reaches above its layer and no two folders include
each other: the ground pieces include nothing above them; the platform's contracts know no
backend; each backend, named after the outside service it talks to, knows the contracts and the
ground, and the system bus below the two that use it; only the assembly knows every backend; the
server knows no command (the command table is assembled in front/, with the modes); and only the
entry point reaches the mode runner. A folder without a row fails the test, and so does a row
that names a folder that does not exist. Exits non-zero, naming every offending include, when a
rule is broken."""

import pathlib
import re
import sys

SRC = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else "src")

GROUND = {"base", "os", "crypto"}
# The Linux backends: one folder per outside service.
LINUX_BACKENDS = {"file_store", "keyring", "system_bus", "polkit", "tpm", "key_service"}
COMMANDS = {"session", "payload", "wrap", "presence", "secrets"}
# What each folder may include besides itself: whole folders only.
ALLOWED = {
    "base": set(),
    "os": {"base"},
    "crypto": {"base", "os"},
    "json": GROUND,
    # The service contracts, the protection ladder and the stores built on the contracts alone.
    "platform": GROUND,
    "system_bus": GROUND,
    "file_store": GROUND | {"platform"},
    "keyring": GROUND | {"platform"},
    "polkit": GROUND | {"platform", "system_bus"},
    "tpm": GROUND | {"platform"},
    "key_service": GROUND | {"platform", "system_bus"},
    "macos": GROUND | {"platform"},
    # The one place that chooses the backends of a machine.
    "assembly": GROUND | {"platform"} | LINUX_BACKENDS,
    "server": GROUND | {"json", "platform"},
    "session": GROUND | {"server"},
    "payload": GROUND | {"server"},
    "wrap": GROUND | {"server"},
    "presence": GROUND | {"platform", "server"},
    "secrets": GROUND | {"platform"},
    "front": GROUND | {"platform", "server"} | COMMANDS,
    # The key service, a program of its own: it shares the TPM, polkit and bus code and the bus
    # interface's names with the helper, nothing of the helper's commands.
    "keyd": GROUND | {"platform", "system_bus", "polkit", "tpm", "key_service"},
    # src/main.cpp
    None: {"front", "os"},
}

INCLUDE = re.compile(r'^\s*#\s*include\s+"(([a-z_]+)/[^"]+)"')


def allowed(folder, target_folder):
    return target_folder in ALLOWED[folder]


def folder_cycle():
    """A cycle among the table's whole-folder rows, or None: the rows themselves must layer."""
    edges = {f: rules for f, rules in ALLOWED.items() if f}
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
    for folder in sorted({f for f in ALLOWED if f} - folders):
        problems.append(f"the layering table has a row for {folder}/, which does not exist")
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
            if not allowed(folder, target):
                problems.append(f"{relative}:{number}: {folder or 'main.cpp'} includes {target_path}")
    for problem in problems:
        print(problem)
    print(f"{len(problems)} layering problems")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
