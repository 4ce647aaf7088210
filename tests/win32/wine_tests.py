#!/usr/bin/env python3
"""The Windows program under Wine, played as a user plays it.

Each scenario composes a self-extracting file with mksfx (the padded program image, a settings
block or none, and an archive packed from files made here or taken from the
corpus), runs it through the driver (tests/win32/driver.cpp) in a fresh Wine prefix without a
display, and checks what the user would see afterwards: the files and their times, the
shortcuts in the prefix's special folders, whether the file to open was started, and the exit
code.

Every scenario runs with code page 932 as the system's code page, as on a Japanese Windows;
those of names, the dialog, the shortcuts and the file opened run again under 1252 (Western)
and 936 (Chinese), each in a prefix of its own: the program must behave the same on all three.

With --test-image, the x86_64 test build of the program runs instead of the 32-bit one, under
64-bit Wine (--wine names its loader): every file that mksfx writes has its first bytes, the
32-bit image, replaced by the test image, padded to its own size, with the settings block and
the archive behind it unchanged. The driver, the marker and the planted DLL are then x86_64
programs too.

Usage: wine_tests.py --mksfx PATH --stub PATH --driver PATH --marker PATH --planted PATH
                     --corpus DIR [--test-image PATH --wine LOADER] [--only SCENARIO...]
"""
import argparse
import hashlib
import json
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import time

# Special folders of the shortcuts, as SHGetSpecialFolderPath takes them.
CSIDL_PROGRAMS, CSIDL_DESKTOPDIRECTORY, CSIDL_SENDTO = 2, 16, 9
SHORTCUT_FOLDERS = [CSIDL_PROGRAMS, CSIDL_DESKTOPDIRECTORY, CSIDL_SENDTO]

# The corpus archives: every method and every header level.
CORPUS_ARCHIVES = ["lh0_l2.lzh", "lh1_l0.lzh", "lh1_l2.lzh", "lh2_l2.lzh", "lh3_l2.lzh",
                   "lh4_l1.lzh", "lh5_l0.lzh", "lh5_l1.lzh", "lh5_l2.lzh", "lh6_l2.lzh",
                   "lh7_l1.lzh", "lh7_l2.lzh", "lz4_l0.lzh", "lz5_l0.lzh", "lzs_l0.lzh"]

TITLE = "展開テスト"
CANNOT_CREATE = "フォルダを作成できません"
NOT_EXTRACTED = "次のファイルを正しく展開できませんでした"

T1, T2, T3 = 1262337634, 1300000000, 1400000000  # member times, UTC seconds

# The system code pages and the locales that give them to Wine.
CODE_PAGES = {932: "ja_JP.UTF-8", 1252: "en_US.UTF-8", 936: "zh_CN.UTF-8"}

# System DLLs that are not "known DLLs", so that Windows looks for them in the program's folder
# first: each is planted there, and Wine is told to prefer such a copy to its own.
PLANTED_DLLS = ["comctl32", "version", "uxtheme", "propsys", "dwmapi", "cryptbase", "profapi",
                "winmm", "msimg32", "oleacc", "ntmarta", "windowscodecs", "textinputframework",
                "dbghelp", "wintrust", "crypt32", "secur32", "mpr", "netapi32", "wtsapi32",
                "shcore", "cfgmgr32", "dxgi", "d3d9", "opengl32", "hid", "riched20", "msctf"]

# What a reader that scans a file for an LZH archive takes for a member's method: "-l??-".
HEADER_LIKE = re.compile(rb"-l..-", re.S)


class Results:
    def __init__(self):
        self.passed = 0
        self.failed = []
        self.skipped = []

    def skip(self, scenario, what, reason):
        self.skipped.append(f"{scenario}: {what} ({reason})")
        print(f"  SKIPPED {what}: {reason}")

    def check(self, scenario, what, ok, detail=""):
        if ok:
            self.passed += 1
        else:
            self.failed.append(f"{scenario}: {what}" + (f" ({detail})" if detail else ""))
            print(f"  FAILED {what}" + (f": {detail}" if detail else ""))


class Wine:
    """A fresh prefix, headless, with the code page as the ANSI code page: 32-bit for the
    program itself, 64-bit for the x86_64 test build."""

    OVERRIDES = "winemenubuilder.exe=d;mscoree=d;mshtml=d"

    def __init__(self, root, loader, arch, code_page):
        self.loader = loader
        home = os.path.join(root, f"home-{code_page}")
        os.makedirs(home)
        self.env = dict(os.environ,
                        WINEARCH=arch, WINEPREFIX=os.path.join(root, f"prefix-{code_page}"),
                        WINEDEBUG="-all", LC_ALL=CODE_PAGES[code_page], TZ="UTC", HOME=home,
                        # No desktop menu entries, and no offer to install Mono or Gecko.
                        WINEDLLOVERRIDES=self.OVERRIDES)
        self.env.pop("DISPLAY", None)
        subprocess.run([loader, "wineboot", "-i"], env=self.env, check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        subprocess.run(["wineserver", "-w"], env=self.env, check=True)
        subprocess.run([loader, "reg", "add", r"HKCU\Software\Wine\Drivers", "/v", "Graphics",
                        "/d", "null", "/f"], env=self.env, check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def run(self, args, cwd, timeout=120, prefer_native=()):
        """prefer_native: DLL names that Wine takes from the program's folder when one lies
        there, as Windows does for every DLL that is not a known DLL."""
        env = self.env
        if prefer_native:
            env = dict(env, WINEDLLOVERRIDES=self.OVERRIDES + ";" + ",".join(prefer_native) + "=n,b")
        p = subprocess.run([self.loader] + args, env=env, cwd=cwd, timeout=timeout,
                           stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        return p.returncode, p.stdout.decode("utf-8", "replace")

    def stop(self):
        subprocess.run(["wineserver", "-k"], env=self.env)


def crc16(data):
    """The members' CRC: CRC-16 with the reflected polynomial 0xA001, starting at 0."""
    crc = 0
    for b in data:
        crc ^= b
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
    return crc


def stored_header(name, size, crc, mtime):
    """The level-0 header of a stored member with any name, even one that the packers refuse:
    the name in code page 932 with "\\" separators (or bytes as they are), the time as DOS
    local time (Wine runs with TZ=UTC)."""
    t = time.gmtime(mtime)
    dos = (t.tm_year - 1980) << 25 | t.tm_mon << 21 | t.tm_mday << 16 | \
        t.tm_hour << 11 | t.tm_min << 5 | t.tm_sec // 2
    raw = name if isinstance(name, bytes) else name.replace("/", "\\").encode("cp932")
    body = b"-lh0-" + struct.pack("<IIIBBB", size, size, dos, 0x20, 0, len(raw)) + \
        raw + struct.pack("<H", crc)
    return bytes([len(body), sum(body) & 0xFF]) + body


def stored_member(name, data, mtime):
    return stored_header(name, len(data), crc16(data), mtime) + data


def files_in(folder):
    """Every file below folder, as paths relative to it, sorted."""
    return sorted(os.path.relpath(os.path.join(r, f), folder) for r, _, names in os.walk(folder) for f in names)


def windows_path(path):
    """Linux folders are drive Z: to Windows programs."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


class Suite:
    def __init__(self, args, root):
        self.args = args
        self.root = root
        self.results = Results()
        self.count = 0
        # The program image is padded to exactly its size: the settings block starts behind it.
        # mksfx writes the 32-bit image; the x86_64 test build, when given, takes its place.
        self.mksfx_image_size = os.path.getsize(args.stub)
        self.test_image = None
        if args.test_image:
            with open(args.test_image, "rb") as f:
                self.test_image = f.read()
        self.image_size = len(self.test_image) if self.test_image else self.mksfx_image_size
        self.arch = "win64" if self.test_image else "win32"
        self.cp = 932
        self.wine = None  # one prefix per code page, made when its scenarios start

    # -- composing ---------------------------------------------------------------------------

    def scenario_dir(self, name):
        self.count += 1
        d = os.path.join(self.root, f"{self.count:02d}-{name}-{self.cp}")
        os.makedirs(d)
        print(f"{name}")
        return d

    def make_files(self, folder, files):
        """files: name -> (bytes, mtime); names use "/"."""
        for name, (data, mtime) in files.items():
            path = os.path.join(folder, name)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as f:
                f.write(data)
            os.utime(path, (mtime, mtime))

    def mksfx(self, output, options, archive_args, runnable=True):
        """mksfx's file; runnable: with the test image in place of the 32-bit one, if any."""
        p = subprocess.run([self.args.mksfx, "--stub", self.args.stub] + options + [output] +
                           archive_args, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        if p.returncode != 0:
            raise RuntimeError(f"mksfx failed: {p.stderr.decode()}")
        if runnable:
            self.put_test_image(output)
        return output

    def put_test_image(self, path):
        if not self.test_image:
            return
        with open(path, "rb") as f:
            data = f.read()
        with open(path, "wb") as f:
            f.write(self.test_image + data[self.mksfx_image_size:])

    def compose(self, output, archive_bytes, block=b"\0"):
        """A file around an archive (and a settings block) that mksfx would refuse: mksfx makes
        the image around a valid archive, and the block and archive are then replaced."""
        valid = os.path.join(os.path.dirname(output), "valid.lzh")
        with open(valid, "wb") as f:
            f.write(bytes([27, 0]) + b"-lh0-" + bytes(8) + bytes(4) + bytes([0x20, 0, 5]) +
                    b"x.txt" + bytes(2) + b"\0")
        self.mksfx(output, [], ["--archive", valid])
        with open(output, "r+b") as f:
            f.seek(self.image_size)
            f.truncate()
            f.write(block + archive_bytes)
        return output

    def drive(self, exe, steps, cwd, **wine_options):
        """Runs the program through the driver; returns its exit code, or None on failure."""
        rc, out = self.wine.run([self.args.driver, "run", windows_path(exe)] + steps, cwd, **wine_options)
        for line in out.splitlines():
            if line.startswith("exit "):
                return int(line.split()[1]), ""
        return None, out.strip()

    def link(self, folder, name):
        rc, out = self.wine.run([self.args.driver, "link", str(folder), name], self.root)
        if out.strip() == "missing":
            return None
        fields = dict(line.split("=", 1) for line in out.splitlines() if "=" in line)
        return fields

    # -- checks ------------------------------------------------------------------------------

    def scenario_name(self):
        return self.current + ("" if self.cp == 932 else f" (code page {self.cp})")

    def check(self, what, ok, detail=""):
        self.results.check(self.scenario_name(), what, ok, detail)

    def skip(self, what, reason):
        self.results.skip(self.scenario_name(), what, reason)

    def check_exit(self, got, want, failure):
        self.check(f"exit code {want}", got == want, failure or f"got {got}")

    def check_files(self, folder, files):
        for name, (data, mtime) in files.items():
            path = os.path.join(folder, name)
            if not os.path.isfile(path):
                self.check(f"{name} extracted", False, "missing")
                continue
            with open(path, "rb") as f:
                same = f.read() == data
            self.check(f"{name} extracted", same, "contents differ")
            got = int(os.stat(path).st_mtime)
            self.check(f"{name} time", got == mtime, f"{got} instead of {mtime}")

    def check_absent(self, folder, names):
        for name in names:
            self.check(f"{name} not written", not os.path.lexists(os.path.join(folder, name)))

    def check_empty(self, folder):
        entries = os.listdir(folder) if os.path.isdir(folder) else []
        self.check(f"nothing written in {os.path.basename(folder)}", not entries, str(entries))

    def check_no_links(self, name):
        for folder in SHORTCUT_FOLDERS:
            self.check(f"no shortcut {name} in folder {folder}", self.link(folder, name) is None)

    # -- scenarios ---------------------------------------------------------------------------

    def builder(self):
        """mksfx itself: the block layout byte for byte, and the refusals."""
        self.current = "mksfx"
        d = self.scenario_dir("mksfx")
        self.make_files(os.path.join(d, "src"), {"tool.exe": (b"MZ", T1)})
        pack = ["-C", os.path.join(d, "src"), "tool.exe"]
        exe = self.mksfx(os.path.join(d, "example.exe"),
                         ["--title", "ABC", "--program-files", "--destination", "Tool",
                          "--target", "tool.exe", "--start-menu", "3", "--desktop", "offered",
                          "--send-to", "never"], pack, runnable=False)
        example = bytes.fromhex("01 03414243 01 04546F6F6C 08746F6F6C2E657865 030100 00")
        with open(exe, "rb") as f:
            data = f.read()
        at = self.mksfx_image_size
        self.check("example settings block", data[at:at + 24] == example, data[at:at + 24].hex())
        self.check("archive behind the block", data[at + 24 + 2:at + 24 + 7] == b"-lh0-")
        found = HEADER_LIKE.search(data)
        self.check("nothing header-like before the archive", found and found.start() == at + 24 + 2,
                   found and hex(found.start()))
        exe = self.mksfx(os.path.join(d, "empty.exe"), ["--settings"], pack, runnable=False)
        with open(exe, "rb") as f:
            f.seek(self.mksfx_image_size)
            self.check("present block with nothing set", f.read(9) == bytes([1] + [0] * 8))
        with open(os.path.join(d, "short.exe"), "wb") as f:
            f.write(b"MZ" + bytes(100))
        refusals = [
            ("no output", [], 10),
            ("nothing to pack", [os.path.join(d, "x.exe")], 10),
            ("title over 255 bytes", ["--title", "題" * 128, os.path.join(d, "x.exe")] + pack, 10),
            ("text outside code page 932", ["--title", "\u00e9\u0301\U0001F600",
                                            os.path.join(d, "x.exe")] + pack, 10),
            ("option byte 256", ["--desktop", "256", os.path.join(d, "x.exe")] + pack, 10),
            ("settings refused and given", ["--no-settings", "--title", "A",
                                            os.path.join(d, "x.exe")] + pack, 10),
            ("image of the wrong size", ["--stub", os.path.join(d, "short.exe"),
                                         os.path.join(d, "x.exe")] + pack, 1),
            ("shortcut without a target", ["--desktop", "1", os.path.join(d, "x.exe")] +
             ["-C", os.path.join(d, "src"), "tool.exe"], 10),
            ("archive the program cannot read", [os.path.join(d, "x.exe"), "--archive", os.path.join(d, "short.exe")], 1),
        ]
        for name, args, want in refusals:
            stub = [] if "--stub" in args else ["--stub", self.args.stub]
            p = subprocess.run([self.args.mksfx] + stub + args, stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE)
            self.check(f"refuses {name} with exit code {want}", p.returncode == want and p.stderr,
                       f"exit {p.returncode}")
        self.check("writes nothing when it refuses", not os.path.exists(os.path.join(d, "x.exe")))

    def without_settings(self):
        """No settings block: no dialog, everything into the current directory, times set."""
        self.current = "without settings"
        d = self.scenario_dir("without-settings")
        files = {"readme.txt": (b"hello\r\n", T1),
                 "sub/data.bin": (bytes(range(256)) * 40, T2),
                 # 表 is 0x95 0x5C in code page 932: its second byte is a backslash.
                 "表示/ソフト.txt": ("日本語".encode("cp932"), T3),
                 # Names that other code pages read as other characters, or as none.
                 "予定/十/能力表.txt": (b"plan", T2),
                 # Names that Shift-JIS cannot hold: stored beside their UTF-16 form, which
                 # names the file (a character beyond U+FFFF is a pair of UTF-16 units).
                 "ÜÖÄüöä/äöüÄÖÜ.txt": (b"umlauts", T1),
                 "日本語/€ 😀.txt": (b"euro", T3)}
        self.make_files(os.path.join(d, "src"), files)
        exe = self.mksfx(os.path.join(d, "setup.exe"), [], ["-C", os.path.join(d, "src"),
                                                            "readme.txt", "sub", "表示", "予定",
                                                            "ÜÖÄüöä", "日本語"])
        with open(exe, "rb") as f:
            f.seek(self.image_size)
            self.check("absent settings block is one zero byte", f.read(1) == b"\0")
        out = os.path.join(d, "out")
        os.makedirs(out)
        code, failure = self.drive(exe, [], out)
        self.check_exit(code, 0, failure)
        self.check_files(out, files)
        self.check_no_links("readme.lnk")

    def corpus(self):
        """Real archives of every method and header level."""
        manifest_path = os.path.join(self.args.corpus, "generated", "manifest.json")
        if not os.path.exists(manifest_path):
            print("corpus: ../shared/corpus is absent, skipped")
            return
        with open(manifest_path) as f:
            manifest = json.load(f)
        for archive in CORPUS_ARCHIVES:
            self.current = f"corpus {archive}"
            d = self.scenario_dir(f"corpus-{archive}")
            exe = self.mksfx(os.path.join(d, "setup.exe"), [],
                             ["--archive", os.path.join(self.args.corpus, "generated", archive)])
            out = os.path.join(d, "out")
            os.makedirs(out)
            code, failure = self.drive(exe, [], out)
            self.check_exit(code, 0, failure)
            bad = []
            for m in manifest["members"]:
                path = os.path.join(out, m["name"])
                if m["folder"]:
                    if not os.path.isdir(path):
                        bad.append(m["name"] + " (no folder)")
                    continue
                if not os.path.isfile(path):
                    bad.append(m["name"] + " (missing)")
                    continue
                with open(path, "rb") as f:
                    if hashlib.sha256(f.read()).hexdigest() != m["sha256"]:
                        bad.append(m["name"] + " (contents)")
                if int(os.stat(path).st_mtime) != m["mtime_utc"]:
                    bad.append(m["name"] + " (time)")
            self.check("members, contents and times as in the manifest", not bad, ", ".join(bad))

    def dialog_initial_state(self):
        """The dialog shows the title, the composed default and the four option bytes; the
        folder browser cancelled changes nothing; Cancel then writes nothing."""
        cases = [
            # (name, settings, expected edit field text relative to the working folder)
            ("drive", ["--destination", r"D:\Apps\Tool"], lambda cwd: r"D:\Apps\Tool"),
            ("program files", ["--destination", r"Apps\Tool", "--program-files"],
             lambda cwd: r"C:\Program Files\Apps\Tool"),
            ("current directory", ["--destination", r"Apps\Tool"],
             lambda cwd: windows_path(cwd) + r"\Apps\Tool"),
            ("empty", [], lambda cwd: windows_path(cwd)),
        ]
        boxes = ["--start-menu", "2", "--desktop", "1", "--send-to", "3"]
        states = ["1002", "checked-disabled", "1003", "unchecked-enabled", "1004", "checked-enabled"]
        for name, settings, expected in cases:
            self.current = f"dialog, {name}"
            d = self.scenario_dir(f"dialog-{name.replace(' ', '-')}")
            self.make_files(os.path.join(d, "src"), {"a.txt": (b"a", T1)})
            exe = self.mksfx(os.path.join(d, "setup.exe"),
                             ["--title", TITLE, "--target", "a.txt", "--open", "a.txt"] + settings + boxes,
                             ["-C", os.path.join(d, "src"), "a.txt"])
            cwd = os.path.join(d, "cwd")
            os.makedirs(cwd)
            steps = ["dialog", TITLE, "edit-is", expected(cwd)]
            for i in range(0, len(states), 2):
                steps += ["box", states[i], states[i + 1]]
            # The folder browser, cancelled, leaves the field as it was.
            steps += ["press", "1001", "answer", "解凍先フォルダの指定", "2", "edit-is", expected(cwd)]
            code, failure = self.drive(exe, steps + ["press", "2"], cwd)
            self.check_exit(code, 0, failure)
            self.check_empty(cwd)
            self.check_no_links("a.lnk")
        # The fourth option byte value: 0 is unchecked and disabled.
        self.current = "dialog, option byte 0"
        d = self.scenario_dir("dialog-option-0")
        self.make_files(os.path.join(d, "src"), {"a.txt": (b"a", T1)})
        exe = self.mksfx(os.path.join(d, "setup.exe"), ["--settings"],
                         ["-C", os.path.join(d, "src"), "a.txt"])
        code, failure = self.drive(exe, ["dialog", "Nivo SFX", "box", "1002", "unchecked-disabled",
                                         "box", "1003", "unchecked-disabled", "box", "1004",
                                         "unchecked-disabled", "press", "2"], d)
        self.check_exit(code, 0, failure)

    def typed_destination(self):
        """OK with a destination two levels below an existing folder: both are made, the
        members land there, the boxes decide the shortcuts, and the file to open is started."""
        self.current = "typed destination"
        d = self.scenario_dir("typed-destination")
        with open(self.args.marker, "rb") as f:
            marker = f.read()
        files = {"bin/tool.app.exe": (marker, T1), "doc/read me.txt": (b"text", T2)}
        self.make_files(os.path.join(d, "src"), files)
        exe = self.mksfx(os.path.join(d, "setup.exe"),
                         ["--title", TITLE, "--destination", r"C:\unused",
                          "--target", r"bin\tool.app.exe", "--open", r"bin\tool.app.exe",
                          "--start-menu", "3", "--desktop", "1", "--send-to", "2"],
                         ["-C", os.path.join(d, "src"), "bin", "doc"])
        base = os.path.join(d, "base")
        os.makedirs(base)
        # ソ is 0x83 0x5C: a backslash byte inside a character, never a separator.
        dest = os.path.join(base, "ソフト", "新しいフォルダ")
        code, failure = self.drive(exe, ["dialog", TITLE, "set-edit", windows_path(dest),
                                         "toggle", "1002", "toggle", "1003", "press", "1"], base)
        self.check_exit(code, 0, failure)
        self.check_files(dest, files)
        target = windows_path(dest) + r"\bin\tool.app.exe"
        expected = {"target": target, "icon": target + ",0", "workdir": windows_path(dest)}
        self.check("no Start menu entry after unticking",
                   self.link(CSIDL_PROGRAMS, "tool.app.lnk") is None)
        for folder, what in [(CSIDL_DESKTOPDIRECTORY, "Desktop (ticked)"),
                             (CSIDL_SENDTO, "Send To (always)")]:
            got = self.link(folder, "tool.app.lnk")
            self.check(f"{what} shortcut", got == expected, str(got))
        launched = os.path.join(dest, "bin", "launched.txt")
        deadline = time.time() + 20
        while not os.path.exists(launched) and time.time() < deadline:
            time.sleep(0.1)
        self.check("the file to open was started", os.path.exists(launched))

    def relative_destination(self):
        """A destination typed relative to the current directory is made there, and the
        shortcut names the full path."""
        self.current = "relative destination"
        d = self.scenario_dir("relative-destination")
        files = {"rel.txt": (b"r", T1)}
        self.make_files(os.path.join(d, "src"), files)
        exe = self.mksfx(os.path.join(d, "setup.exe"),
                         ["--title", TITLE, "--target", "rel.txt", "--desktop", "2"],
                         ["-C", os.path.join(d, "src"), "rel.txt"])
        cwd = os.path.join(d, "cwd")
        os.makedirs(cwd)
        code, failure = self.drive(exe, ["dialog", TITLE, "set-edit", r"x\y", "press", "1"], cwd)
        self.check_exit(code, 0, failure)
        dest = os.path.join(cwd, "x", "y")
        self.check_files(dest, files)
        got = self.link(CSIDL_DESKTOPDIRECTORY, "rel.lnk")
        self.check("shortcut to the full path",
                   got is not None and got.get("target") == windows_path(dest) + r"\rel.txt", str(got))

    def cannot_create(self):
        """A destination that cannot be made: the message, then nothing is written."""
        cases = [("file in the way", lambda d: windows_path(os.path.join(d, "blocker", "sub"))),
                 ("empty field", lambda d: "")]
        for name, typed in cases:
            self.current = f"cannot create, {name}"
            d = self.scenario_dir(f"cannot-create-{name.replace(' ', '-')}")
            self.make_files(os.path.join(d, "src"), {"c.txt": (b"c", T1)})
            exe = self.mksfx(os.path.join(d, "setup.exe"),
                             ["--title", TITLE, "--target", "c.txt", "--desktop", "2"],
                             ["-C", os.path.join(d, "src"), "c.txt"])
            cwd = os.path.join(d, "cwd")
            os.makedirs(cwd)
            with open(os.path.join(d, "blocker"), "wb") as f:
                f.write(b"in the way")
            code, failure = self.drive(exe, ["dialog", TITLE, "set-edit", typed(d), "press", "1",
                                             "message", CANNOT_CREATE], cwd)
            self.check_exit(code, 0, failure)
            self.check_empty(cwd)
            self.check("the file in the way is untouched", os.path.isfile(os.path.join(d, "blocker")))
            self.check_no_links("c.lnk")

    def stopped_during_large_member(self):
        """The abort button, or closing the window, during a large member: that member's file
        is gone, the earlier one stays, nothing after it is written, no shortcut, nothing
        opened, exit code 0."""
        for how in ["abort", "close"]:
            self.current = f"stopped by {how}"
            d = self.scenario_dir(f"stopped-by-{how}")
            src = os.path.join(d, "src")
            self.make_files(src, {"first.txt": (b"first", T1), "last.txt": (b"last", T3)})
            with open(os.path.join(src, "large.bin"), "wb") as f:
                f.truncate(160 << 20)
            with open(self.args.marker, "rb") as f:
                self.make_files(src, {"run.exe": (f.read(), T1)})
            exe = self.mksfx(os.path.join(d, "setup.exe"),
                             ["--title", TITLE, "--target", "first.txt", "--desktop", "2",
                              "--open", "run.exe"],
                             ["-C", src, "first.txt", "large.bin", "last.txt", "run.exe"])
            dest = os.path.join(d, "dest")
            # An old file of the stopped member's name stays as it was.
            self.make_files(dest, {"large.bin": (b"old contents", T2)})
            code, failure = self.drive(exe, ["dialog", TITLE, "set-edit", windows_path(dest),
                                             "press", "1", "progress", TITLE,
                                             "member", "large.bin", how], d)
            self.check_exit(code, 0, failure)
            self.check_files(dest, {"first.txt": (b"first", T1), "large.bin": (b"old contents", T2)})
            self.check_absent(dest, ["last.txt", "run.exe", "launched.txt"])
            left = sorted(set(os.listdir(dest)) - {"first.txt", "large.bin"})
            self.check("no unfinished file left", not left, str(left))
            self.check_no_links("first.lnk")
            os.remove(exe)

    def damaged_archive(self):
        """A member whose data does not match its CRC, and a header of an unknown layout: the
        problem message names the member, nothing is opened, no shortcut, exit code 2."""
        self.current = "damaged member"
        d = self.scenario_dir("damaged-member")
        with open(self.args.marker, "rb") as f:
            marker = f.read()
        damaged = b"this member is damaged on its way"
        self.make_files(os.path.join(d, "src"), {"good.txt": (b"good", T1), "bad.txt": (damaged, T2),
                                                 "run.exe": (marker, T3)})
        exe = self.mksfx(os.path.join(d, "setup.exe"),
                         ["--title", TITLE, "--target", "run.exe", "--desktop", "2",
                          "--open", "run.exe"],
                         ["-C", os.path.join(d, "src"), "good.txt", "bad.txt", "run.exe"])
        with open(exe, "rb") as f:
            data = bytearray(f.read())
        at = data.index(damaged)
        data[at] ^= 0x20
        with open(exe, "wb") as f:
            f.write(data)
        dest = os.path.join(d, "dest")
        # A good file of the damaged member's name is there already: it stays as it was.
        self.make_files(dest, {"bad.txt": (b"the good old file", T1)})
        code, failure = self.drive(exe, ["dialog", TITLE, "set-edit", windows_path(dest),
                                         "press", "1", "message", NOT_EXTRACTED + "|bad.txt"], d)
        self.check_exit(code, 2, failure)
        self.check_files(dest, {"good.txt": (b"good", T1), "bad.txt": (b"the good old file", T1)})
        left = sorted(set(os.listdir(dest)) - {"good.txt", "bad.txt", "run.exe"})
        self.check("no temporary left", not left, str(left))
        self.check_no_links("run.lnk")
        time.sleep(1)
        self.check_absent(dest, ["launched.txt"])

        self.current = "unknown header"
        d = self.scenario_dir("unknown-header")
        name = b"x.txt"
        # A level-0 header whose size and name length give a layout of 21 bytes, which no
        # archiver writes: header size S = 21 + N, and S + 2 bytes in all.
        header = bytes([21 + len(name), 0]) + b"-lh0-" + bytes(8) + bytes(4) + bytes([0x20, 0])
        header += bytes([len(name)]) + name + b"\0"
        exe = self.compose(os.path.join(d, "setup.exe"), header + b"\0")
        out = os.path.join(d, "out")
        os.makedirs(out)
        # One problem, one box: the header named by its offset behind the image and the block.
        at = self.image_size + 1
        code, failure = self.drive(exe, ["message", NOT_EXTRACTED + f"|(header at offset {at})"], out)
        self.check_exit(code, 2, failure)
        self.check_empty(out)

    def device_names(self):
        """Members named like devices, in any component, case and form, and names of streams:
        refused and listed, nothing written to a device, exit code 2; an ordinary member is
        extracted and an existing file is untouched. The packers refuse these names, so the
        archive is written here."""
        self.current = "device names"
        d = self.scenario_dir("device-names")
        # The message names the first eight problems, then "…".
        listed = ["NUL", "COM1.txt", "aux      .txt", "CONIN$", "prn .txt", "a.txt:stream",
                  "conout$.log", "LPT1 . .txt"]
        refused = listed + ["aux", "COM1", "nul.txt", "sub/aux.txt", "Con.tar.gz", "lpt9", "nul.",
                            "com0", "sub/b:c/d.txt", "con         "]
        members = [stored_member(name, b"to a device", T1) for name in refused]
        members.insert(len(members) // 2, stored_member("good.txt", b"good", T2))
        exe = self.compose(os.path.join(d, "setup.exe"), b"".join(members) + b"\0")
        out = os.path.join(d, "out")
        os.makedirs(out)
        self.make_files(out, {"file.txt": (b"kept", T3)})
        code, failure = self.drive(exe, ["message", "|".join([NOT_EXTRACTED] + listed + ["…"])], out)
        self.check_exit(code, 2, failure)
        self.check_files(out, {"good.txt": (b"good", T2), "file.txt": (b"kept", T3)})
        written = files_in(out)
        self.check("only the ordinary files", written == ["file.txt", "good.txt"], str(written))

    def signed(self):
        """A file signed by mksfx with a self-signed certificate: osslsigncode accepts the
        signature, everything up to the archive's end mark is as unsigned, and it unpacks. mksfx
        signs the 32-bit image; the x86_64 test build runs behind the same signed tail, so the
        program's reading past a signature is checked, the 32-bit loader's view of the signed
        header is not."""
        self.current = "signed"
        d = self.scenario_dir("signed")
        files = {"a.txt": (b"signed contents\r\n", T1), "sub/b.bin": (bytes(range(256)) * 8, T2)}
        self.make_files(os.path.join(d, "src"), files)
        key, cert = os.path.join(d, "key.pem"), os.path.join(d, "cert.pem")
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key,
                        "-out", cert, "-days", "2", "-subj", "/CN=Nivo SFX test"], check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        pack = ["-C", os.path.join(d, "src"), "a.txt", "sub"]
        plain = self.mksfx(os.path.join(d, "plain.exe"), [], pack, runnable=False)
        exe = self.mksfx(os.path.join(d, "setup.exe"), ["--sign", cert, "--key", key], pack,
                         runnable=False)
        with open(plain, "rb") as f:
            unsigned = f.read()
        with open(exe, "rb") as f:
            signed = f.read()
        # The image's header gets the certificate table's place and a checksum; the settings
        # block and the archive, end mark included, stay where they were.
        at = self.mksfx_image_size
        self.check("archive unchanged behind the image", signed[at:len(unsigned)] == unsigned[at:])
        self.check("signature behind the end mark", len(signed) > len(unsigned) + 256)
        p = subprocess.run(["osslsigncode", "verify", "-CAfile", cert, "-in", exe],
                           stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        self.check("osslsigncode verify accepts it", p.returncode == 0,
                   p.stdout.decode(errors="replace")[-400:])
        if self.test_image:
            self.skip("the signed 32-bit image started", "no 32-bit Wine here; the x86_64 build "
                      "runs behind the same settings, archive and signature instead")
            self.put_test_image(exe)
        out = os.path.join(d, "out")
        os.makedirs(out)
        code, failure = self.drive(exe, [], out)
        self.check_exit(code, 0, failure)
        self.check_files(out, files)

    def code_page(self):
        """Wine runs with the code page of the scenarios as the ANSI code page."""
        self.current = "code page"
        rc, out = self.wine.run([self.args.driver, "acp"], self.root)
        self.check(f"ANSI code page {self.cp}", out.strip() == str(self.cp), out.strip())

    def names_not_shift_jis(self):
        """A name that is not valid code page 932 is a refused member, never a file under a
        name of the system's own code page: exit code 2, the others extracted."""
        self.current = "names not code page 932"
        d = self.scenario_dir("names-not-cp932")
        members = [stored_member("good.txt", b"good", T1),
                   stored_member(b"bad\x81 .txt", b"bad", T2),      # a lead byte before a space
                   stored_member(b"sub\\\xfc\xfc.txt", b"bad", T2),  # a pair no character has
                   stored_member("予定/表.txt", b"kept", T3),
                   # Not a character of a UTF-16 header: an escape of "/" in a stored name.
                   stored_member(b"up\xfd\xa0\xa0\xcf..\xfd\xa0\xa0\xcfx.txt", b"bad", T2)]
        exe = self.compose(os.path.join(d, "setup.exe"), b"".join(members) + b"\0")
        out = os.path.join(d, "out")
        os.makedirs(out)
        code, failure = self.drive(exe, ["message", NOT_EXTRACTED], out)
        self.check_exit(code, 2, failure)
        self.check_files(out, {"good.txt": (b"good", T1), "予定/表.txt": (b"kept", T3)})
        written = files_in(out)
        self.check("only the valid names", written == ["good.txt", "予定/表.txt"], str(written))

    def empty_target(self):
        """Settings that choose every shortcut but name no target (files of other makers hold
        such blocks): the run finishes and no shortcut is made."""
        self.current = "empty shortcut target"
        d = self.scenario_dir("empty-target")
        title = "空".encode("cp932")
        # Marker, title, Program Files flag, no destination, no target, the three options
        # chosen, no file to open.
        block = bytes([1, len(title)]) + title + bytes([0, 0, 0, 3, 3, 3, 0])
        exe = self.compose(os.path.join(d, "setup.exe"), stored_member("e.txt", b"e", T1) + b"\0",
                           block)
        cwd = os.path.join(d, "cwd")
        os.makedirs(cwd)
        code, failure = self.drive(exe, ["dialog", "空", "press", "1"], cwd)
        self.check_exit(code, 0, failure)
        self.check_files(cwd, {"e.txt": (b"e", T1)})
        self.check_no_links(".lnk")

    def planted_dlls(self):
        """DLLs named like system DLLs beside the program, and Wine told to prefer such a copy
        to its own, as Windows does: none is loaded, by the program or by the shell on its
        behalf, with or without settings, and everything unpacks."""
        self.current = "planted DLLs"
        d = self.scenario_dir("planted-dlls")
        folder = os.path.join(d, "downloads")
        os.makedirs(folder)
        names = [n + ".dll" for n in PLANTED_DLLS]
        for name in names:
            shutil.copy(self.args.planted, os.path.join(folder, name))
        # The trap works: an ordinary program in that folder loads the planted version.dll.
        shutil.copy(self.args.driver, os.path.join(folder, "control.exe"))
        rc, out = self.wine.run([os.path.join(folder, "control.exe"), "load", "version.dll"], folder,
                                prefer_native=PLANTED_DLLS)
        planted_seen = os.path.exists(os.path.join(folder, "version.dll.loaded"))
        self.check("a program without the defence loads the planted DLL", planted_seen, out.strip())
        for f in os.listdir(folder):
            if f.endswith(".loaded"):
                os.remove(os.path.join(folder, f))
        os.remove(os.path.join(folder, "control.exe"))

        with open(self.args.marker, "rb") as f:
            marker = f.read()
        files = {"a.txt": (b"a", T1), "bin/run.exe": (marker, T2)}
        self.make_files(os.path.join(d, "src"), files)
        pack = ["-C", os.path.join(d, "src"), "a.txt", "bin"]
        plain = self.mksfx(os.path.join(folder, "plain.exe"), [], pack)
        exe = self.mksfx(os.path.join(folder, "setup.exe"),
                         ["--title", TITLE, "--target", r"bin\run.exe", "--desktop", "2",
                          "--open", r"bin\run.exe"], pack)
        out = os.path.join(d, "out")
        os.makedirs(out)
        code, failure = self.drive(plain, [], out, prefer_native=PLANTED_DLLS)
        self.check_exit(code, 0, failure)
        self.check_files(out, files)
        dest = os.path.join(d, "dest")
        code, failure = self.drive(exe, ["dialog", TITLE, "set-edit", windows_path(dest), "press", "1"],
                                   d, prefer_native=PLANTED_DLLS)
        self.check_exit(code, 0, failure)
        self.check_files(dest, files)
        got = self.link(CSIDL_DESKTOPDIRECTORY, "run.lnk")
        self.check("shortcut made", got is not None and got.get("target") == windows_path(dest) + r"\bin\run.exe",
                   str(got))
        launched = os.path.join(dest, "bin", "launched.txt")
        deadline = time.time() + 20
        while not os.path.exists(launched) and time.time() < deadline:
            time.sleep(0.1)
        self.check("the file to open was started", os.path.exists(launched))
        loaded = sorted(f for f in os.listdir(folder) if f.endswith(".loaded"))
        self.check("no planted DLL loaded", not loaded, str(loaded))

    def large_file(self):
        """A self-extracting file of 2.7 GB, past what 32-bit signed positions reach, laid out sparsely: a stored
        member of zeros of 2,726,297,600 bytes, then a small one behind it. Both are written."""
        self.current = "large file"
        d = self.scenario_dir("large-file")
        big = 2726297600
        if shutil.disk_usage(d).free < big * 2 + (1 << 30):
            self.skip("a member of 2.7 GB", "less than 6.5 GB free here")
            return
        exe = self.compose(os.path.join(d, "setup.exe"), b"")
        small = stored_member("behind.txt", b"behind the big one", T2)
        with open(exe, "r+b") as f:
            f.seek(0, os.SEEK_END)
            f.write(stored_header("big.bin", big, 0, T1))  # the CRC of zeros is 0
            f.seek(big, os.SEEK_CUR)
            f.write(small + b"\0")
        out = os.path.join(d, "out")
        os.makedirs(out)
        try:
            code, failure = self.drive(exe, ["exit-timeout", "600"], out, timeout=660)
            self.check_exit(code, 0, failure)
            self.check_files(out, {"behind.txt": (b"behind the big one", T2)})
            path = os.path.join(out, "big.bin")
            self.check("big.bin of 2,726,297,600 bytes",
                       os.path.isfile(path) and os.path.getsize(path) == big,
                       str(os.path.getsize(path)) if os.path.exists(path) else "missing")
            with open(path, "rb") as f:
                for at in (0, (1 << 31) - 8, big - 16):
                    f.seek(at)
                    if f.read(16).strip(b"\0"):
                        self.check(f"zeros at {at}", False)
        finally:
            shutil.rmtree(d, ignore_errors=True)

    def run(self):
        everything = [self.code_page, self.builder, self.signed, self.without_settings, self.corpus,
                      self.dialog_initial_state, self.typed_destination, self.relative_destination,
                      self.cannot_create, self.stopped_during_large_member, self.damaged_archive,
                      self.device_names, self.names_not_shift_jis, self.empty_target,
                      self.planted_dlls, self.large_file]
        # Names, the dialog, the shortcuts and the file opened, under the other code pages.
        texts = [self.code_page, self.without_settings, self.typed_destination,
                 self.names_not_shift_jis]
        for code_page, scenarios in [(932, everything), (1252, texts), (936, texts)]:
            scenarios = [s for s in scenarios if not self.args.only or s.__name__ in self.args.only]
            if not scenarios:
                continue
            self.cp = code_page
            print(f"-- code page {code_page}")
            self.wine = Wine(self.root, self.args.wine, self.arch, code_page)
            try:
                for scenario in scenarios:
                    try:
                        scenario()
                    except Exception as e:  # a scenario that cannot even be composed counts as failed
                        self.current = getattr(self, "current", scenario.__name__)
                        self.check("ran", False, repr(e))
            finally:
                self.wine.stop()


def main():
    parser = argparse.ArgumentParser()
    for name in ["mksfx", "stub", "driver", "marker", "planted", "corpus"]:
        parser.add_argument("--" + name, required=True)
    parser.add_argument("--test-image")
    parser.add_argument("--wine", default="wine")
    parser.add_argument("--only", nargs="+", help="run only these scenarios (method names)")
    args = parser.parse_args()
    root = tempfile.mkdtemp(prefix="nivo-wine-")
    started = time.time()
    suite = Suite(args, root)
    suite.run()
    r = suite.results
    print(f"Wine tests took {time.time() - started:.0f} s")
    for f in r.failed:
        print(f"failed: {f}")
    if not r.failed:
        shutil.rmtree(root, ignore_errors=True)
    else:
        print(f"files kept in {root}")
    for s in r.skipped:
        print(f"skipped: {s}")
    print(f"win32: {r.passed} passed, {len(r.failed)} failed" +
          (f", {len(r.skipped)} skipped" if r.skipped else ""))
    return 1 if r.failed else 0


if __name__ == "__main__":
    sys.exit(main())
