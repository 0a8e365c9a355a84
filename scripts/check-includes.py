#!/usr/bin/env python3
"""Keeps the driver's layers running one way.

The driver's folders stand in layers, and a file includes only from its own
folder or from a layer below it:

    ioctl/  internal/    the routines that decode requests (side by side)
    driver/              the core: the record, dispatch, pass-down, registry
    trace/               trace lines, dumps, guarded reads, name decoders
    platform/            the kernel's declarations

An include that runs up, or across between ioctl/ and internal/, is allowed
only where the main header of the including folder lists it, at its top, as

    //   FROM[, FROM...] -> TO: why

where FROM is a file or a whole folder ("trace/") and TO the included
header. A listed include that no file makes any more fails too, so the lists
stay as short as the code.

Usage: check-includes.py [SOURCE_DIR]   (exit status 1 on any fault)
       check-includes.py --self-test      (the check on a small tree of faults)
"""

import pathlib
import re
import sys
import tempfile

LAYERS = {"platform": 0, "trace": 1, "driver": 2, "ioctl": 3, "internal": 3}

# Where each folder lists its includes across the layers.
MAIN_HEADERS = {
    "platform": "platform/nt.h",
    "trace": "trace/print.h",
    "driver": "driver/dispatch.h",
    "ioctl": "ioctl/catalogue.h",
    "internal": "internal/catalogue.h",
}

INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"')
ALLOWED = re.compile(r"^//\s+([\w./-]+(?:,\s*[\w./-]+)*)\s+->\s+([\w./-]+):")


def folder_of(path):
    return path.split("/", 1)[0]


def allowed_includes(root, folder):
    """The (FROM, TO) pairs in the leading comment of the folder's main header."""
    header = root / MAIN_HEADERS[folder]
    pairs = []
    for line in header.read_text().splitlines():
        if not line.startswith("//"):
            break
        match = ALLOWED.match(line)
        if match:
            for source in re.split(r",\s*", match.group(1)):
                pairs.append((source, match.group(2)))
    return pairs


def covers(source, pattern):
    return source == pattern or (pattern.endswith("/") and source.startswith(pattern))


def check(root):
    """The faults of the tree at root, one line each."""
    faults = []
    allowed = {folder: allowed_includes(root, folder) for folder in LAYERS}
    used = set()

    for folder in LAYERS:
        for path in sorted((root / folder).rglob("*")):
            if path.suffix not in (".h", ".cpp"):
                continue
            source = path.relative_to(root).as_posix()
            for number, line in enumerate(path.read_text().splitlines(), 1):
                match = INCLUDE.match(line)
                if not match:
                    continue
                target = match.group(1)
                above = folder_of(target)
                if above not in LAYERS or above == folder or LAYERS[above] < LAYERS[folder]:
                    continue
                listed = [(f, t) for f, t in allowed[folder] if t == target and covers(source, f)]
                if listed:
                    used.update(listed)
                    continue
                way = "across" if LAYERS[above] == LAYERS[folder] else "up"
                faults.append(f"{source}:{number}: includes {target} ({way} from {folder}/ to {above}/), "
                              f"which {MAIN_HEADERS[folder]} does not list")

    for folder, pairs in allowed.items():
        for pair in pairs:
            if pair not in used:
                faults.append(f"{MAIN_HEADERS[folder]}: lists {pair[0]} -> {pair[1]}, which no file includes any more")

    return faults


def self_test():
    """A tree with one upward include, one listed across and one listed but unused."""
    files = {
        "platform/nt.h": "// ground\n",
        "trace/print.h": "// lines\n",
        "driver/dispatch.h": "// core\n",
        "ioctl/catalogue.h": "// codes\n//   ioctl/a.cpp -> internal/b.h: named\n//   ioctl/ -> internal/c.h: gone\n",
        "internal/catalogue.h": "// codes\n",
        "internal/b.h": '#include "trace/print.h"\n',
        "ioctl/a.cpp": '#include "internal/b.h"\n#include "driver/dispatch.h"\n',
        "trace/print.cpp": '#include "trace/print.h"\n#include "driver/dispatch.h"\n',
    }
    with tempfile.TemporaryDirectory() as directory:
        root = pathlib.Path(directory)
        for name, text in files.items():
            (root / name).parent.mkdir(parents=True, exist_ok=True)
            (root / name).write_text(text)
        faults = check(root)
    expected = ["trace/print.cpp:2: includes driver/dispatch.h (up from trace/ to driver/)",
                "ioctl/catalogue.h: lists ioctl/ -> internal/c.h"]
    missing = [e for e in expected if not any(f.startswith(e) for f in faults)]
    if missing or len(faults) != len(expected):
        print("self-test: expected", expected, "found", faults)
        return 1
    print("self-test: the upward include and the stale listing are caught, the listed one passes")
    return 0


def main():
    if sys.argv[1:] == ["--self-test"]:
        return self_test()
    root = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else pathlib.Path(__file__).parent.parent)
    faults = check(root)
    for fault in faults:
        print(fault)
    if faults:
        print(f"{len(faults)} include(s) against the layers: "
              "platform/ < trace/ < driver/ < ioctl/, internal/")
        return 1
    print("includes: every arrow between the driver's folders runs down or is listed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
