#!/usr/bin/env python3
"""Every code fence of every Markdown file is closed: a fence left open turns
the rest of the page into code.

    check_fences.py ROOT

Looks at ROOT's *.md files outside build folders and hidden ones. A fence is
a line of three or more backticks or tildes, indented at most three blanks;
it closes with the same character, at least as many, and nothing after.
Prints each open fence and exits 1 on any."""

import pathlib
import re
import sys


def open_fence(path):
    fence = None  # (character, length, line)
    for number, line in enumerate(path.read_text(encoding="utf-8").splitlines(), 1):
        m = re.match(r" {0,3}(`{3,}|~{3,})(.*)$", line)
        if not m:
            continue
        marks, rest = m.group(1), m.group(2)
        if fence is None:
            if marks[0] == "`" and "`" in rest:
                continue  # inline code, not a fence
            fence = (marks[0], len(marks), number)
        elif marks[0] == fence[0] and len(marks) >= fence[1] and not rest.strip():
            fence = None
    return fence


def main(root):
    root = pathlib.Path(root)
    files = [p for p in sorted(root.rglob("*.md"))
             if not any(part.startswith((".", "build")) for part in p.relative_to(root).parts)]
    bad = 0
    for path in files:
        fence = open_fence(path)
        if fence:
            print(f"{path.relative_to(root)}:{fence[2]}: the code fence opened here is never closed")
            bad += 1
    print(f"{len(files)} Markdown files, {bad} with a fence left open")
    return 1 if bad else 0


if __name__ == "__main__":
    if len(sys.argv) != 2:
        print(__doc__)
        sys.exit(2)
    sys.exit(main(sys.argv[1]))
