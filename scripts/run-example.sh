#!/usr/bin/env bash
# The main job on the embedded default: builds the project and unpacks the bundled example
# archive with nivosfx into ./out/example, then lists what was unpacked.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
source "$here/scripts/setup.sh"
configure_native
cmake --build "$build" -j 2 --target nivosfx mksfx example
dest="${1:-$here/out/example}"
"$build/cli/nivosfx" l "$build/example.lzh"
"$build/cli/nivosfx" x "$build/example.lzh" -d "$dest"
find "$dest" -type f | sort
