#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: unit, corpus and program tests, the
# sanitizer build, and the Windows program under Wine.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
source "$here/scripts/setup.sh"
configure_native
cmake --build "$build" -j 2
(cd "$build" && ctest --output-on-failure -j 2)
for extra in "$here"/tests/*/run.sh; do
  if [ -x "$extra" ]; then "$extra"; fi
done
