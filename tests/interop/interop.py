#!/usr/bin/env python3
"""Our archives in the other readers: archives written by mklzh and mksfx are extracted by the
LZH readers that Debian packages, and what they write is compared byte for byte with the files
that were packed (links by their targets).

    interop.py TOOLS_DIR STUB [READER...]

TOOLS_DIR holds mklzh and mksfx (and ../cli/nivosfx, which runs as one more reader), STUB is
the program image mksfx puts in front of the archive. A reader whose program is missing is
skipped with a message. A pair listed in LIMITS is a known limitation of that reader: it is
reported with its reason, and fails only if the reader now crashes; every other pair must
extract exactly. Ends with "interop: N passed, M failed, K skipped".
"""
import os
import random
import shutil
import subprocess
import sys
import tempfile

TOOLS, STUB = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
NIVOSFX = os.path.join(TOOLS, "..", "cli", "nivosfx")
# Names are Shift-JIS in the archives; readers that convert names take the target from the locale.
LOCALE = os.environ.get("NIVO_INTEROP_LOCALE", "ja_JP.UTF-8")

# How each reader extracts ARCHIVE into the current folder.
READERS = {
    "lhasa": lambda a: ["lhasa", "xq", a],
    "7z": lambda a: ["7z", "x", "-y", "-bd", a],
    "unar": lambda a: ["unar", "-q", "-D", "-f", a],
    "bsdtar": lambda a: ["bsdtar", "--options", "hdrcharset=CP932", "-xf", a],
    "jlha": lambda a: ["jlha", "x", a],
    "nivosfx": lambda a: [NIVOSFX, "x", "-q", "-y", "-o", a],
}

# (reader, archive kind): what the reader does not do. These pairs are reported, not failed.
LIMITS = {
    ("7z", "links"): "makes no symbolic links",
    ("unar", "links"): "makes no symbolic links",
    ("jlha", "links"): "makes no symbolic links",
    ("lhasa", "unicode"): "does not read UTF-16 names (0x44, 0x45)",
    ("7z", "unicode"): "does not read UTF-16 names (0x44, 0x45)",
    ("unar", "unicode"): "does not read UTF-16 names (0x44, 0x45)",
    ("jlha", "unicode"): "does not read UTF-16 names (0x44, 0x45)",
    ("unar", "sfx"): "does not look for the archive inside a Windows program",
}


def squares():
    # The 30,000 squares, one a line: the -lh5- data that once ended too close to its last code
    # for a reader that peeks 16 bits.
    return "".join("%d\n" % (i * i) for i in range(30000)).encode()


def prose(n, seed):
    words = ("archive member header level folder name time code table block window "
             "distance literal length position stream byte data file").split()
    r = random.Random(seed)
    out = []
    size = 0
    while size < n:
        w = r.choice(words) + (".\n" if r.random() < 0.07 else " ")
        out.append(w)
        size += len(w)
    return "".join(out).encode()[:n]


def noise(n, seed):
    return random.Random(seed).randbytes(n)


def make_main_tree(root):
    files = {
        "sub/n.txt": squares(),
        "text.txt": prose(200000, 1),
        "noise.bin": noise(70000, 2),
        "empty.txt": b"",
        "日本語/はじめに.txt": "はじめに読んでください。\n".encode() * 50,
        "深い/階層/メモ.txt": prose(3000, 3),
        # A big member: several segments of 1 MiB, text and noise by turns.
        "big.bin": b"".join(prose(700000, 10 + i) + noise(300000, 20 + i) for i in range(5)),
    }
    for name, data in files.items():
        path = os.path.join(root, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
    os.makedirs(os.path.join(root, "empty folder"))


def make_link_tree(root):
    os.makedirs(os.path.join(root, "dir2"))
    with open(os.path.join(root, "file1"), "wb") as f:
        f.write(b"the file the links lead to\n")
    os.symlink("../file1", os.path.join(root, "dir2", "symlink1"))
    os.symlink("dir2", os.path.join(root, "dirlink"))


def make_unicode_tree(root):
    os.makedirs(os.path.join(root, "ÜÖÄüöä"))
    with open(os.path.join(root, "ÜÖÄüöä", "äöüÄÖÜ.txt"), "wb") as f:
        f.write(b"Shift-JIS holds none of these letters\n")


def shown(rel):
    """A name as written: UTF-8, or else the Shift-JIS bytes as the archive stores them, which
    readers that convert no names keep."""
    raw = os.fsencode(rel)
    try:
        return raw.decode("utf-8")
    except UnicodeDecodeError:
        return raw.decode("cp932", errors="replace")


def snapshot(root):
    """Every path under root: ('dir',), ('file', bytes) or ('link', target)."""
    tree = {}
    for folder, dirs, files in os.walk(root):
        for name in dirs + files:
            path = os.path.join(folder, name)
            rel = shown(os.path.relpath(path, root))
            if os.path.islink(path):
                tree[rel] = ("link", os.readlink(path))
            elif os.path.isdir(path):
                tree[rel] = ("dir",)
            else:
                with open(path, "rb") as f:
                    tree[rel] = ("file", f.read())
    return tree


def differences(want, got):
    out = []
    for name in sorted(set(want) | set(got)):
        w, g = want.get(name), got.get(name)
        if w == g:
            continue
        if g is None:
            out.append("missing " + name)
        elif w is None:
            out.append("extra " + name)
        elif w[0] != g[0]:
            out.append("%s: a %s, not a %s" % (name, g[0], w[0]))
        elif w[0] == "file":
            out.append("%s: %d bytes differ from the %d packed" % (name, len(g[1]), len(w[1])))
        else:
            out.append("%s: -> %s, not %s" % (name, g[1], w[1]))
    return out


def run(cmd, cwd):
    try:
        return subprocess.run(cmd, cwd=cwd, stdin=subprocess.DEVNULL, capture_output=True, timeout=300,
                              env=dict(os.environ, LC_ALL=LOCALE))
    except subprocess.TimeoutExpired:
        return None


def main():
    wanted = sys.argv[3:] or list(READERS)
    work = tempfile.mkdtemp(prefix="nivo-interop-")
    try:
        return table(work, wanted)
    finally:
        shutil.rmtree(work, ignore_errors=True)


def table(work, wanted):
    trees = {}
    for kind, make in (("main", make_main_tree), ("links", make_link_tree), ("unicode", make_unicode_tree)):
        root = os.path.join(work, "src-" + kind)
        os.makedirs(root)
        make(root)
        trees[kind] = root

    mklzh, mksfx = os.path.join(TOOLS, "mklzh"), os.path.join(TOOLS, "mksfx")
    # name: (kind of limit, command, tree)
    archives = {}
    for method in ("lh0", "lh5", "lh6", "lh7"):
        archives["mklzh -m " + method] = ("main", [mklzh, "-m", method], "main")
    archives["mklzh -9 -m lh5"] = ("main", [mklzh, "-9", "-m", "lh5"], "main")
    for method in ("lh5", "lh7"):
        archives["mksfx -m " + method] = ("sfx", [mksfx, "--stub", STUB, "-m", method], "main")
    archives["mklzh, links"] = ("links", [mklzh], "links")
    archives["mklzh, UTF-16 names"] = ("unicode", [mklzh], "unicode")

    made = {}
    for i, (name, (kind, cmd, tree)) in enumerate(archives.items()):
        out = os.path.join(work, "archive%d%s" % (i, ".exe" if kind == "sfx" else ".lzh"))
        r = run(cmd + [out, "-C", trees[tree], "."], work)
        if r is None or r.returncode != 0:
            print("interop: %s could not be written: %s" % (name, r and r.stderr.decode(errors="replace")))
            return 1
        made[name] = out

    passed = failed = skipped = 0
    for reader in wanted:
        program = READERS[reader](made[next(iter(made))])[0]
        if shutil.which(program) is None and not os.path.exists(program):
            print("skipped: %s is not installed" % reader)
            skipped += len(made)
            continue
        for name, (kind, _, tree) in archives.items():
            dest = os.path.join(work, "out", reader, name.replace(" ", "_").replace(",", ""))
            os.makedirs(dest)
            r = run(READERS[reader](made[name]), dest)
            if r is None:
                diff = ["still running after 300 s"]
            else:
                diff = differences(snapshot(trees[tree]), snapshot(dest))
                if r.returncode != 0:
                    diff.insert(0, "exit code %d: %s" % (r.returncode, r.stderr.decode(errors="replace").strip()[:200]))
            limit = LIMITS.get((reader, kind))
            if not diff:
                passed += 1
                print("pass    %-8s %s%s" % (reader, name, " (listed as a limit: %s)" % limit if limit else ""))
            elif limit and r is not None and r.returncode >= 0:
                skipped += 1
                print("limit   %-8s %s: %s" % (reader, name, limit))
            else:
                failed += 1
                print("FAIL    %-8s %s: %s" % (reader, name, "; ".join(diff[:5])))
            shutil.rmtree(dest, ignore_errors=True)
    print("interop: %d passed, %d failed, %d skipped" % (passed, failed, skipped))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
