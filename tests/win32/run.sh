#!/usr/bin/env bash
# The Windows program under Wine: installs the cross compilers, Wine and the Japanese locale
# when missing, builds sfx.exe with the test driver and mksfx, and plays the scenarios of
# wine_tests.py in a fresh 32-bit prefix without a display. osslsigncode and openssl sign a file
# with a certificate made for the test. Ends with "N passed, M failed".
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
source "$here/scripts/setup.sh"

sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
# Wine's 32-bit half comes from the i386 architecture.
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  echo "Adding the i386 architecture"
  $sudo dpkg --add-architecture i386
  $sudo apt-get update -qq
fi
need_packages wine wine32:i386 locales python3 osslsigncode openssl
# Code page 932 as the ANSI code page needs a Japanese locale.
if ! locale -a 2>/dev/null | grep -qix 'ja_JP\.utf-\?8'; then
  echo "Generating the ja_JP.UTF-8 locale"
  if grep -q '^# *ja_JP.UTF-8 UTF-8' /etc/locale.gen; then
    $sudo sed -i 's/^# *ja_JP.UTF-8 UTF-8/ja_JP.UTF-8 UTF-8/' /etc/locale.gen
  else
    echo 'ja_JP.UTF-8 UTF-8' | $sudo tee -a /etc/locale.gen >/dev/null
  fi
  $sudo locale-gen >/dev/null
fi

"$here/scripts/build_stub.sh"
configure_native
cmake --build "$build" -j 2 --target mksfx

# Wine runs the 32-bit program in a 32-bit Linux process. A kernel built without 32-bit support
# refuses to start that process ("Exec format error"): the program is built and its size checked
# above, but nothing can run it here, and the suite says so instead of failing.
if ! wine_version=$(wine --version 2>&1); then
  echo "win32: Wine cannot start here: $wine_version"
  echo "win32: this kernel runs no 32-bit programs; the Windows program was built and measured, not run."
  echo "win32: 0 passed, 0 failed, 1 skipped"
  exit 0
fi

exec python3 "$here/tests/win32/wine_tests.py" \
  --mksfx "$build/tools/mksfx" \
  --stub "$here/build/win32/sfx.exe" \
  --driver "$here/build/win32/tests/win32/driver.exe" \
  --marker "$here/build/win32/tests/win32/marker.exe" \
  --corpus "$here/../shared/corpus"
