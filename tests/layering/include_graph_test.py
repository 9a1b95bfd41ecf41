#!/usr/bin/env python3
"""Checks the include graph between the folders under src/: the ground pieces include nothing
above them, the platform services know nothing of the commands, and only the entry point
reaches the mode runner. Exits non-zero, naming every offending include, when a rule is broken."""

import pathlib
import re
import sys

SRC = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else "src")

# What each folder may include besides itself. Folders not listed may include anything.
ALLOWED = {
    "base": set(),
    "os": {"base"},
    "crypto": {"base", "os"},
    "json": {"base", "os", "crypto"},
    "platform": {"base", "os", "crypto"},
    "keychain": {"base", "os", "crypto", "platform"},
}
# Only the entry point and the mode runner itself may include the mode runner.
TOP = "front"

INCLUDE = re.compile(r'^\s*#\s*include\s+"([a-z_]+)/')


def main() -> int:
    problems = []
    for path in sorted(SRC.rglob("*")):
        if path.suffix not in {".h", ".cpp"}:
            continue
        relative = path.relative_to(SRC)
        folder = relative.parts[0] if len(relative.parts) > 1 else None
        for number, line in enumerate(path.read_text(errors="replace").splitlines(), 1):
            match = INCLUDE.match(line)
            if not match:
                continue
            target = match.group(1)
            if target == folder:
                continue
            if folder in ALLOWED and target not in ALLOWED[folder]:
                problems.append(f"{relative}:{number}: {folder}/ includes {target}/")
            if target == TOP and folder is not None:
                problems.append(f"{relative}:{number}: only main.cpp reaches the mode runner")
    for problem in problems:
        print(problem)
    print(f"{len(problems)} layering problems")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
