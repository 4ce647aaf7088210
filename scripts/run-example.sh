#!/usr/bin/env bash
# The main job, the whole product on the bundled example: builds the Windows program and the
# Linux tools, packs examples/ into a self-extracting file with mksfx (build/example.exe),
# lists it, and unpacks it with nivosfx into ./out/example (or the folder given).
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
source "$here/scripts/setup.sh"
mkdir -p "$here/build"
stub_log="$here/build/stub.log"
if ! "$here/scripts/build_stub.sh" >"$stub_log" 2>&1; then
  cat "$stub_log" >&2
  exit 1
fi
grep -h 'sfx.exe:' "$stub_log" || true
configure_native
cmake --build "$build" -j 2 --target nivosfx mksfx mklzh
dest="${1:-$here/out/example}"
sfx="$build/example.exe"
"$build/tools/mksfx" --stub "$here/build/win32/sfx.exe" "$sfx" -m lh5 \
  --title "Nivo SFX example" --destination 'Nivo SFX\Example' --open readme.txt \
  -C "$here/examples" readme.txt docs
"$build/cli/nivosfx" l "$sfx"
"$build/cli/nivosfx" x "$sfx" -y -o -d "$dest"
find "$dest" -type f | sort
