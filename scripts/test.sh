#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: unit, corpus and program tests, the
# sanitizer build, the fuzz targets and the Windows program under Wine.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
source "$here/scripts/setup.sh"
need_packages libasan8 libubsan1
# The Windows program first: the program tests read its image (imports, manifest, size).
"$here/scripts/build_stub.sh"
configure_native
cmake --build "$build" -j 2
(cd "$build" && ctest --output-on-failure -j 2)

# ---- Sanitizer build: the same unit, corpus and program tests under ASan and UBSan. ----
# Only the test programs and what they run are built. Any report fails the run.
sanitize="$here/build/sanitize"
cmake -S "$here" -B "$sanitize" -G Ninja -DCMAKE_BUILD_TYPE=Release -DNIVO_SANITIZE=ON >/dev/null
cmake --build "$sanitize" -j 2 --target nivo_unit_tests nivo_e2e_tests
(cd "$sanitize" &&
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
  ctest --output-on-failure -j 2)

# ---- Further suites: tests/fuzz (every fuzz target for a short time), tests/win32 (Wine). ----
for extra in "$here"/tests/*/run.sh; do
  if [ -x "$extra" ]; then "$extra"; fi
done
