#!/usr/bin/env bash
# Builds the Windows program sfx.exe with the i686 MinGW-w64 cross compilers, in build/win32.
# The build prints the linked size and what is left of the 19968-byte image, and fails when
# fewer than 512 bytes of it are left free (win32/CMakeLists.txt); build/win32/sfx.exe is then
# padded to exactly 19968 bytes.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
source "$here/scripts/setup.sh"
need_packages cmake ninja-build g++-mingw-w64-i686 binutils-mingw-w64-i686 python3
stub_build="$here/build/win32"
cmake -S "$here" -B "$stub_build" -G Ninja -DCMAKE_BUILD_TYPE=MinSizeRel \
  -DCMAKE_TOOLCHAIN_FILE="$here/cmake/mingw-i686.cmake" >/dev/null
cmake --build "$stub_build" -j 2
