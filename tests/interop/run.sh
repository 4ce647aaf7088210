#!/usr/bin/env bash
# Our archives in the other readers: installs the LZH readers that Debian packages (lhasa, 7z,
# unar, bsdtar, the Java LHA tool), builds mklzh, mksfx and nivosfx, and runs the table of
# interop.py. A reader that cannot be installed is skipped with a message, never a failure.
# Ends with "interop: N passed, M failed, K skipped".
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
source "$here/scripts/setup.sh"
need_packages python3 locales
for package in lhasa p7zip-full unar libarchive-tools jlha-utils; do
  (need_packages "$package") || echo "interop: $package cannot be installed; its reader is skipped"
done
# Readers that convert names from Shift-JIS take the target from the locale.
if ! locale -a 2>/dev/null | grep -qix 'ja_JP\.utf-\?8'; then
  localedef -i ja_JP -f UTF-8 ja_JP.UTF-8 || echo "interop: no ja_JP.UTF-8 locale; Japanese names may differ"
fi
configure_native
cmake --build "$build" -j 2 --target mklzh mksfx nivosfx
# The Windows program when it is built, else a stand-in image of the same size.
stub="$here/build/win32/sfx.exe"
if [ ! -f "$stub" ]; then
  stub="$build/interop-stub.exe"
  python3 -c "import sys; d = bytearray(19968); d[0:2] = b'MZ'; open(sys.argv[1], 'wb').write(d)" "$stub"
fi
python3 "$here/tests/interop/interop.py" "$build/tools" "$stub"
