#!/usr/bin/env python3
"""Fails when a source file includes a header from a layer above its own, or from another front
end. The layers, from the bottom; a folder may include its own headers and those below it."""
import pathlib
import re
import sys

LAYERS = [
    ["common"],
    ["platform"],
    ["lzh"],
    ["decode"],
    ["extract"],
    ["command_line"],
    ["win32", "cli", "tools"],  # the front ends, which never include one another
]
RANK = {folder: rank for rank, folders in enumerate(LAYERS) for folder in folders}
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"/]+)/[^"]+"', re.M)


def violations(root):
    for folder, rank in RANK.items():
        for path in sorted((root / folder).glob("*")):
            if path.suffix not in (".h", ".cpp"):
                continue
            for used in INCLUDE.findall(path.read_text(encoding="utf-8", errors="replace")):
                if used == folder or used not in RANK:
                    continue
                if RANK[used] > rank or (RANK[used] == rank and len(LAYERS[rank]) > 1):
                    yield f"{path.relative_to(root)} includes a header of {used}/"


def self_test():
    """The check itself: a tree with one include running up and one across the front ends."""
    import tempfile
    with tempfile.TemporaryDirectory() as d:
        root = pathlib.Path(d)
        for folder in RANK:
            (root / folder).mkdir()
        (root / "decode/a.cpp").write_text('#include "extract/b.h"\n#include "lzh/c.h"\n')
        (root / "tools/a.cpp").write_text('#include "cli/b.h"\n#include "tools/c.h"\n')
        (root / "lzh/a.h").write_text('#include <cstdio>\n#include "common/b.h"\n')
        found = sorted(violations(root))
    expected = ["decode/a.cpp includes a header of extract/", "tools/a.cpp includes a header of cli/"]
    if found != expected:
        print(f"the check finds {found}, not {expected}")
        return False
    return True


def main():
    if not self_test():
        return 1
    root = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else ".").resolve()
    missing = [f for f in RANK if not (root / f).is_dir()]
    if missing:
        print("no such layer folder: " + ", ".join(missing))
        return 1
    found = list(violations(root))
    for line in found:
        print(line)
    print(f"{len(found)} includes reach a layer above their own")
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
