#!/usr/bin/env python3
"""Keeps the rooms short: no source file over 800 lines, no C/C++ function
over 80 lines.

Every .c, .cpp, .h, .inc, .sh and .py file under the given folders (the whole
tree by default, build directories left out) is measured. A function is
measured from the first line of its head (return type, name, parameters) to
its closing brace; lambdas and local classes count with the function that
holds them. The scanner matches braces after blanking comments, string and
character literals (raw strings too) and preprocessor lines, which is all this
code base needs: no function bodies come from macros.

  scripts/check-size.py [--list] [--max-file N] [--max-function N] [PATH...]

Prints each offender as "path:line: what" and exits 1 when there is one;
--list prints them and exits 0.
"""
import argparse
import os
import re
import sys

SOURCE_SUFFIXES = (".c", ".cpp", ".h", ".inc", ".sh", ".py")
C_SUFFIXES = (".c", ".cpp", ".h", ".inc")
SKIPPED_DIRS = {".git", "build", "node_modules", "__pycache__"}

IDENT = re.compile(r"[A-Za-z_][A-Za-z_0-9]*")
# Words that may stand between a parameter list and the body.
TRAILING_WORDS = {"const", "override", "final", "noexcept", "mutable", "volatile", "try"}


def blank(text):
    """Comments, literals and preprocessor lines become spaces; newlines stay."""
    out = []
    i, n = 0, len(text)
    at_line_start = True
    while i < n:
        c = text[i]
        if at_line_start and c in " \t":
            out.append(c)
            i += 1
            continue
        if at_line_start and c == "#":
            # A preprocessor line, with its continuations.
            while i < n and text[i] != "\n":
                if text[i] == "\\" and i + 1 < n and text[i + 1] == "\n":
                    out.append(" \n")
                    i += 2
                    continue
                out.append(" ")
                i += 1
            continue
        at_line_start = False
        if c == "\n":
            out.append(c)
            at_line_start = True
            i += 1
        elif text.startswith("//", i):
            while i < n and text[i] != "\n":
                out.append(" ")
                i += 1
        elif text.startswith("/*", i):
            end = text.find("*/", i + 2)
            end = n if end < 0 else end + 2
            out.append(re.sub(r"[^\n]", " ", text[i:end]))
            i = end
        elif c == "R" and i + 1 < n and text[i + 1] == '"' and (i == 0 or not (text[i - 1].isalnum() or text[i - 1] == "_")):
            m = re.match(r'R"([^()\\ ]{0,16})\(', text[i:])
            if not m:
                out.append(c)
                i += 1
                continue
            close = ")" + m.group(1) + '"'
            end = text.find(close, i + m.end())
            end = n if end < 0 else end + len(close)
            out.append('"' + re.sub(r"[^\n]", " ", text[i + 1:end - 1]) + '"')
            i = end
        elif c in "\"'":
            # A digit separator (1'000) is not a character literal.
            if c == "'" and i > 0 and text[i - 1].isalnum() and i + 1 < n and text[i + 1].isalnum() \
                    and re.match(r"[0-9A-Fa-fxX']", text[i - 1]):
                prev = re.search(r"[0-9A-Za-z_']*$", text[:i]).group(0)
                if prev[:1].isdigit():
                    out.append(" ")
                    i += 1
                    continue
            j = i + 1
            while j < n and text[j] != c and text[j] != "\n":
                j += 2 if text[j] == "\\" else 1
            j = min(j + 1, n)
            out.append(c + " " * (j - i - 2) + c if j - i >= 2 else c)
            i = j
        else:
            out.append(c)
            i += 1
    return "".join(out)


def classify(head):
    """What a brace opened after `head` (the text since the last ; { or }) is."""
    h = " ".join(head.split())
    if re.search(r"\bnamespace\b", h) or re.fullmatch(r'extern\s*"\s*"', h):
        return "namespace"
    if re.search(r"\b(class|struct|union|enum)\b", h) and "(" not in h:
        return "class"
    if "(" not in h:
        return "other"
    # An initializer whose value is not a lambda.
    eq = re.search(r"(?<![=!<>+\-*/%&|^])=(?!=)", h)
    if eq and "[" not in h[eq.end():eq.end() + 3] and "(" not in h[: eq.start()]:
        return "other"
    words = h.rstrip()
    # Strip what may follow the parameter list: qualifiers, a trailing return type.
    while True:
        m = re.search(r"(\b(" + "|".join(TRAILING_WORDS) + r")|->\s*[\w:<>,\s*&]+|noexcept\s*\([^()]*\)|&&|&)\s*$", words)
        if not m or m.start() == len(words):
            break
        words = words[: m.start()].rstrip()
    if words.endswith(")"):
        return "function"
    return "init"  # a member's brace initializer in a constructor's list, or an aggregate


def functions(text):
    """Yields (name, first line, last line) of every function definition."""
    code = blank(text)
    line_of = []
    line = 1
    for ch in code:
        line_of.append(line)
        if ch == "\n":
            line += 1
    stack = []  # kinds of the open braces
    head_start = 0
    i, n = 0, len(code)
    while i < n:
        c = code[i]
        inside_function = any(kind == "function" for kind, _, _ in stack)
        if c == "{":
            if inside_function:
                stack.append(("nested", i, None))
            else:
                head = code[head_start:i]
                kind = classify(head)
                if kind == "init" and re.search(r"\)\s*(noexcept\s*)?:", " ".join(head.split())):
                    stack.append(("ctor-init", i, None))
                    i += 1
                    continue
                if kind == "init":
                    kind = "other"
                stripped = len(head) - len(head.lstrip())
                stack.append((kind, i, head_start + stripped))
            head_start = i + 1
        elif c == "}":
            if stack:
                kind, _, start = stack.pop()
                if kind == "function":
                    yield name_of(code[start:]), line_of[start], line_of[i]
                if kind != "ctor-init":
                    head_start = i + 1
            else:
                head_start = i + 1
        elif c == ";" and not inside_function:
            head_start = i + 1
        elif c == ":" and not inside_function and code.startswith("::", i):
            i += 2
            continue
        elif c == ":" and not inside_function and re.search(r"\b(public|private|protected)\s*$", code[head_start:i]):
            head_start = i + 1
        i += 1


def name_of(head):
    head = head[: head.find("(")] if "(" in head else head
    names = re.findall(r"[~A-Za-z_][\w:~]*(?:operator\s*\S+)?", head)
    return names[-1] if names else "?"


def walk(paths):
    for root in paths:
        if os.path.isfile(root):
            yield root
            continue
        for folder, dirs, files in os.walk(root):
            dirs[:] = sorted(d for d in dirs if d not in SKIPPED_DIRS and not d.startswith("build"))
            for name in sorted(files):
                if name.endswith(SOURCE_SUFFIXES):
                    yield os.path.join(folder, name)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--list", action="store_true", help="print the offenders, do not fail")
    parser.add_argument("--max-file", type=int, default=800)
    parser.add_argument("--max-function", type=int, default=80)
    parser.add_argument("--functions", action="store_true", help="print every function's length (for checking)")
    parser.add_argument("paths", nargs="*")
    args = parser.parse_args()
    top = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    paths = args.paths or [top]

    offenders = 0
    for path in walk(paths):
        shown = os.path.relpath(path, top) if not args.paths else path
        with open(path, encoding="utf-8", errors="replace") as f:
            text = f.read()
        lines = text.count("\n") + (0 if text.endswith("\n") or not text else 1)
        if lines > args.max_file:
            print(f"{shown}:1: {lines} lines (at most {args.max_file})")
            offenders += 1
        if not path.endswith(C_SUFFIXES):
            continue
        for name, first, last in functions(text):
            length = last - first + 1
            if args.functions:
                print(f"{shown}:{first}: {name} {length}")
            elif length > args.max_function:
                print(f"{shown}:{first}: function {name} is {length} lines (at most {args.max_function})")
                offenders += 1
    if offenders and not (args.list or args.functions):
        print(f"{offenders} over the limits", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
