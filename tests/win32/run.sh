#!/usr/bin/env bash
# The Windows program under Wine: installs the cross compilers, Wine and the Japanese locale
# when missing, builds sfx.exe with the test driver and mksfx, and plays the scenarios of
# wine_tests.py in a fresh prefix without a display. osslsigncode and openssl sign a file with a
# certificate made for the test. Ends with "win32: N passed, M failed[, K skipped]".
#
# Wine runs the 32-bit program in a 32-bit Linux process. A kernel built without 32-bit support
# refuses to start one ("Exec format error"), as on the CI machines. There the suite runs on the
# x86_64 build of the same source (cmake/mingw-x86_64.cmake, in build/win64) under 64-bit Wine,
# in each file in place of the 32-bit image. That run checks all the behaviour of the shared
# source: reading, extracting, the windows, the dialog, the shortcuts, the exit codes. It cannot
# check the i686 image itself: its linker script, its import tables without lookup tables, its
# i486 code with pushed arguments and no stack probes, and any 32-bit-only code path; the 32-bit
# program is still built and its size checked.
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
need_packages wine wine32:i386 wine64 g++-mingw-w64-x86-64-win32 locales python3 osslsigncode openssl
# The suite runs the program under three ANSI code pages, which Wine takes from the locale:
# 932 (Japanese), 1252 (Western) and 936 (Chinese).
missing_locales=()
for l in ja_JP en_US zh_CN; do
  locale -a 2>/dev/null | grep -qix "$l\.utf-\?8" || missing_locales+=("$l")
done
if [ ${#missing_locales[@]} -gt 0 ]; then
  echo "Generating the locales ${missing_locales[*]} (UTF-8)"
  for l in "${missing_locales[@]}"; do
    if grep -q "^# *$l.UTF-8 UTF-8" /etc/locale.gen; then
      $sudo sed -i "s/^# *$l.UTF-8 UTF-8/$l.UTF-8 UTF-8/" /etc/locale.gen
    else
      echo "$l.UTF-8 UTF-8" | $sudo tee -a /etc/locale.gen >/dev/null
    fi
  done
  $sudo locale-gen >/dev/null
fi

"$here/scripts/build_stub.sh"
configure_native
cmake --build "$build" -j 2 --target mksfx

suite=(python3 "$here/tests/win32/wine_tests.py" --mksfx "$build/tools/mksfx"
       --stub "$here/build/win32/sfx.exe" --corpus "$here/../shared/corpus")
if wine_version=$(wine --version 2>&1); then
  echo "win32: running the suite on the 32-bit program ($wine_version)"
  exec "${suite[@]}" --driver "$here/build/win32/tests/win32/driver.exe" \
    --marker "$here/build/win32/tests/win32/marker.exe" --planted "$here/build/win32/tests/win32/planted.dll"
fi

wine64=/usr/lib/wine/wine64
if ! wine64_version=$("$wine64" --version 2>&1); then
  echo "win32: neither the 32-bit nor the 64-bit Wine starts here: $wine_version; $wine64_version"
  echo "win32: the Windows program was built and measured, not run."
  echo "win32: 0 passed, 0 failed, 1 skipped"
  exit 0
fi
echo "win32: the 32-bit Wine does not start: $wine_version"
echo "win32: this kernel runs no 32-bit programs; running the suite on the x86_64 build of the same source under 64-bit Wine"
test_build="$here/build/win64"
cmake -S "$here" -B "$test_build" -G Ninja -DCMAKE_BUILD_TYPE=MinSizeRel \
  -DCMAKE_TOOLCHAIN_FILE="$here/cmake/mingw-x86_64.cmake" >/dev/null
cmake --build "$test_build" -j 2
exec "${suite[@]}" --test-image "$test_build/sfx.exe" --wine "$wine64" \
  --driver "$test_build/tests/win32/driver.exe" --marker "$test_build/tests/win32/marker.exe" \
  --planted "$test_build/tests/win32/planted.dll"
