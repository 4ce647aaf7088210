#!/usr/bin/env bash
# Whole-process comparison of `nivosfx t` against `libdeflate-gunzip -t` on the same data.
#
#   bench/compare.sh [--runs N] [--mb N] [--cpu] [--scratch DIR] [--build DIR]
#
# Makes two corpora from this machine's own files (text, and programs), packs each with the
# project's encoder as -lh5- and -lh7- and with gzip -9, and times the whole test command of
# each tool, best of N runs. Prints MB/s of original data and our figure against libdeflate's
# in the same run. Times are wall-clock; --cpu takes user plus system time instead, which a
# busy shared machine disturbs less. The corpora and the packed files are kept in the scratch folder, so later
# runs only time. Nothing here is a test: the figures depend on the machine and its load.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

runs=5
mb=40
clock=wall
scratch="${TMPDIR:-/tmp}/nivo-compare"
build="$here/build/native"

while [ $# -gt 0 ]; do
  case "$1" in
    --runs) runs="$2"; shift 2 ;;
    --mb) mb="$2"; shift 2 ;;
    --cpu) clock=cpu; shift ;;
    --scratch) scratch="$2"; shift 2 ;;
    --build) build="$2"; shift 2 ;;
    -h|--help) sed -n '2,10p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "compare.sh: unknown option $1" >&2; exit 10 ;;
  esac
done

# ---- Set-up: packages and the project's programs ----------------------------------------------

setup_tools() {
  source "$here/scripts/setup.sh"
  need_packages libdeflate-tools gzip coreutils
  if [ ! -x "$build/cli/nivosfx" ] || [ ! -x "$build/tools/mklzh" ]; then
    configure_native
    cmake --build "$build" -j 2 --target nivosfx mklzh
  fi
  nivosfx="$build/cli/nivosfx"
  mklzh="$build/tools/mklzh"
  mkdir -p "$scratch"
}

# ---- Corpora ----------------------------------------------------------------------------------

# Concatenates the regular files listed on stdin, in that order, into $1 until it holds $mb MiB.
# When the machine has less, the files are repeated.
fill_corpus() {
  local out="$1" list="$2" want=$((mb * 1024 * 1024))
  [ -s "$out" ] && [ "$(stat -c %s "$out")" -eq "$want" ] && return 0
  [ -s "$list" ] || { echo "compare.sh: no files for $out" >&2; exit 1; }
  local tmp="$out.part"
  : >"$tmp"
  while [ "$(stat -c %s "$tmp")" -lt "$want" ]; do
    tr '\n' '\0' <"$list" | xargs -0 cat >>"$tmp" 2>/dev/null || true
  done
  head -c "$want" "$tmp" >"$out"
  rm -f "$tmp"
}

# Text: licences, copyright files and notes, then C headers, each root in byte order of its paths.
make_text_corpus() {
  local list="$scratch/text.list"
  {
    LC_ALL=C find /usr/share/common-licenses -type f | LC_ALL=C sort
    LC_ALL=C find /usr/share/doc -type f \( -name copyright -o -name '*.txt' \) | LC_ALL=C sort
    LC_ALL=C find /usr/include -type f -name '*.h' | LC_ALL=C sort
  } >"$list"
  fill_corpus "$scratch/text" "$list"
}

# Programs: executables and shared libraries, in byte order of their paths.
make_program_corpus() {
  local list="$scratch/programs.list"
  {
    LC_ALL=C find /usr/bin /usr/sbin -type f | LC_ALL=C sort
    LC_ALL=C find /usr/lib/x86_64-linux-gnu -maxdepth 1 -type f -name '*.so*' | LC_ALL=C sort
  } >"$list"
  fill_corpus "$scratch/programs" "$list"
}

# ---- Packing ----------------------------------------------------------------------------------

# Packs corpus $1 as $1.lh5.lzh, $1.lh7.lzh and $1.gz unless they are newer than the corpus and
# the packer.
pack_corpus() {
  local name="$1" f="$scratch/$1"
  for m in lh5 lh7; do
    if [ ! "$f.$m.lzh" -nt "$f" ] || [ "$mklzh" -nt "$f.$m.lzh" ]; then
      "$mklzh" "$f.$m.lzh" -m "$m" -C "$scratch" "$name"
    fi
  done
  if [ ! "$f.gz" -nt "$f" ]; then
    gzip -9 -n -c "$f" >"$f.gz"
  fi
}

# ---- Timing -----------------------------------------------------------------------------------

# Best time in ns of N runs of a command: wall-clock, or user plus system time with --cpu.
best_time() {
  local best="" t
  for _ in $(seq "$runs"); do
    local real user sys
    read -r real user sys < <( { TIMEFORMAT='%3R %3U %3S'; time "$@" >/dev/null; } 2>&1 )
    if [ "$clock" = cpu ]; then
      t=$(awk -v u="$user" -v s="$sys" 'BEGIN { printf "%d", (u + s) * 1e9 }')
    else
      t=$(awk -v r="$real" 'BEGIN { printf "%d", r * 1e9 }')
    fi
    if [ -z "$best" ] || [ "$t" -lt "$best" ]; then best=$t; fi
  done
  echo "$best"
}

# MB/s (10^6 bytes of original data per second) for a size in bytes and a time in ns.
mbps() { awk -v b="$1" -v ns="$2" 'BEGIN { printf "%.0f", b / (ns / 1e9) / 1e6 }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", b / a }'; }

# One row per method: `nivosfx t` on the archive and `libdeflate-gunzip -t` on the gzip file,
# measured in turn within the same run.
compare_corpus() {
  local name="$1" f="$scratch/$1" size
  size=$(stat -c %s "$f")
  for m in lh5 lh7; do
    local ours ref
    "$nivosfx" t "$f.$m.lzh" >/dev/null || { echo "compare.sh: nivosfx t failed on $f.$m.lzh" >&2; exit 1; }
    libdeflate-gunzip -t "$f.gz"
    ours=$(best_time "$nivosfx" t "$f.$m.lzh")
    ref=$(best_time libdeflate-gunzip -t "$f.gz")
    printf '  %-9s -%s-  %6s MB/s   libdeflate %6s MB/s   ratio %s\n' "$name" "$m" \
      "$(mbps "$size" "$ours")" "$(mbps "$size" "$ref")" "$(ratio "$ours" "$ref")"
  done
}

# ---- Main ---------------------------------------------------------------------------------------

setup_tools
make_text_corpus
make_program_corpus
for c in text programs; do pack_corpus "$c"; done

echo "decoding: nivosfx t against libdeflate-gunzip -t, ${mb} MiB each, best of $runs runs ($clock time)"
echo "  (MB/s of original data; ratio = our speed / libdeflate's, above 1.00 is faster)"
for c in text programs; do compare_corpus "$c"; done
