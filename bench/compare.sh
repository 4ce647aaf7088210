#!/usr/bin/env bash
# Whole-process comparison of `nivosfx t` against `libdeflate-gunzip -t` on the same data.
#
#   bench/compare.sh [--runs N] [--mb N] [--cpu] [--scratch DIR] [--build DIR]
#                    [--only decoders|members|packers] [--levels "1 5 9"] [--pack-threads N]
#
# Makes two corpora from this machine's own files (text, and programs), packs each with the
# project's encoder as -lh5- and -lh7- and with gzip -9, and times the whole test command of
# each tool, best of N runs. Prints MB/s of original data and our figure against libdeflate's
# in the same run. Times are wall-clock; --cpu takes user plus system time instead, which a
# busy shared machine disturbs less. The corpora and the packed files are kept in the scratch folder, so later
# runs only time. Nothing here is a test: the figures depend on the machine and its load.
#
# The members section cuts 1000 members of 40 KB (half text, half programs) from the two corpora,
# packs them with mklzh as one archive, and times `nivosfx t` and `nivosfx x` (into an empty
# scratch folder, emptied again between runs and not timed) on one thread against the default,
# one thread per core: MB/s of original data beside each, and the speed-up. Beside it, what the
# machine offers two threads at the moment: two one-thread runs side by side against one.
#
# The packers section packs 40 MB of unique text (documentation and manual pages) and 40 MB of
# unique programs with mklzh -lh7- at every level (-lh5- and -lh6- at the fastest, the default
# and the top level), beside gzip -9 and libdeflate-gzip -12 in the same run: sizes, size
# against libdeflate's, and MB/s of input. Then the peak memory of packing a 150 MB tree.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

runs=5
mb=40
clock=wall
scratch="${TMPDIR:-/tmp}/nivo-compare"
build="$here/build/native"
only=""
levels="1 2 3 4 5 6 7 8 9"
pack_threads=""

while [ $# -gt 0 ]; do
  case "$1" in
    --runs) runs="$2"; shift 2 ;;
    --mb) mb="$2"; shift 2 ;;
    --cpu) clock=cpu; shift ;;
    --scratch) scratch="$2"; shift 2 ;;
    --build) build="$2"; shift 2 ;;
    --only) only="$2"; shift 2 ;;
    --levels) levels="$2"; shift 2 ;;
    --pack-threads) pack_threads="$2"; shift 2 ;;
    -h|--help) sed -n '2,22p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "compare.sh: unknown option $1" >&2; exit 10 ;;
  esac
done

# ---- Set-up: packages and the project's programs ----------------------------------------------

setup_tools() {
  source "$here/scripts/setup.sh"
  need_packages libdeflate-tools gzip coreutils python3 time jlha-utils
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

# best_time for a command that writes into folder $1, which is removed before every run (and
# not timed), so that each run writes new files instead of replacing those of the run before.
best_time_fresh() {
  local folder="$1" best="" t
  shift
  for _ in $(seq "$runs"); do
    rm -rf "$folder"
    t=$(runs=1 best_time "$@")
    if [ -z "$best" ] || [ "$t" -lt "$best" ]; then best=$t; fi
  done
  rm -rf "$folder"
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

# ---- Many members -------------------------------------------------------------------------------

# 1000 files of 40 KB: the first 500 pieces of the text corpus and of the program corpus, packed
# as one archive with mklzh's defaults.
make_members_archive() {
  local dir="$scratch/members" a="$scratch/members.lzh"
  [ -s "$a" ] && [ ! "$mklzh" -nt "$a" ] && return 0
  rm -rf "$dir" && mkdir -p "$dir/text" "$dir/programs"
  head -c $((500 * 40960)) "$scratch/text" | split -b 40960 -a 3 -d - "$dir/text/t"
  head -c $((500 * 40960)) "$scratch/programs" | split -b 40960 -a 3 -d - "$dir/programs/p"
  rm -f "$a"
  "$mklzh" "$a" -C "$dir" . >/dev/null
}

# `nivosfx t` and `nivosfx x` on one thread and on the default threads, measured in turn.
compare_members() {
  local a="$scratch/members.lzh" out="$scratch/members-out" size one all
  size=$(du -sb --apparent-size "$scratch/members" | cut -f1)
  "$nivosfx" t -q "$a" || { echo "compare.sh: nivosfx t failed on $a" >&2; exit 1; }
  echo "many members: $(find "$scratch/members" -type f | wc -l) files, $size bytes, on $(nproc) online cores;" \
    "load before: $(cut -d' ' -f1-3 /proc/loadavg)"
  for cmd in t x; do
    local args=("$cmd" -q "$a") timer=(best_time)
    [ "$cmd" = x ] && args+=(-d "$out") && timer=(best_time_fresh "$out")
    one=$("${timer[@]}" "$nivosfx" "${args[@]}" --threads 1)
    all=$("${timer[@]}" "$nivosfx" "${args[@]}")
    printf '  nivosfx %s  one thread %6s MB/s   default %6s MB/s   speed-up %s\n' "$cmd" \
      "$(mbps "$size" "$one")" "$(mbps "$size" "$all")" "$(ratio "$all" "$one")"
  done
  # What the machine offers to two threads at the moment: two one-thread runs side by side
  # against one alone (2.00 when two cores are free, 1.00 when only one is).
  local pair
  pair=$(best_time bash -c '"$1" t -q "$2" --threads 1 & "$1" t -q "$2" --threads 1; wait' _ "$nivosfx" "$a")
  one=$(best_time bash -c '"$1" t -q "$2" --threads 1; wait' _ "$nivosfx" "$a")
  printf '  two one-thread runs side by side: %s times the work of one in its time\n' "$(ratio "$pair" "$((2 * one))")"
  echo "  load after: $(cut -d' ' -f1-3 /proc/loadavg)"
}

# ---- Packers -----------------------------------------------------------------------------------

# 40 MB (10^6 bytes) of unique files, each once whatever its name: text from the documentation
# and the manual pages (compressed ones unpacked, files with NUL bytes left out), or programs
# (ELF files). Roots in order, each in byte order of its paths; the last file is cut.
make_unique_corpus() {
  local kind="$1" out="$scratch/$1-unique" want=40000000
  [ -s "$out" ] && [ "$(stat -c %s "$out")" -eq "$want" ] && return 0
  python3 - "$kind" "$out.part" "$want" <<'PY'
import gzip, hashlib, os, sys
kind, out, want = sys.argv[1], sys.argv[2], int(sys.argv[3])
roots = ["/usr/share/doc", "/usr/share/man"] if kind == "text" else \
        ["/usr/bin", "/usr/sbin", "/usr/lib", "/usr/libexec"]
seen, total = set(), 0
with open(out, "wb") as o:
    for root in roots:
        for d, dirs, files in os.walk(root):
            dirs.sort()
            for f in sorted(files):
                p = os.path.join(d, f)
                if total >= want or os.path.islink(p) or not os.path.isfile(p):
                    continue
                try:
                    b = open(p, "rb").read()
                    if kind == "text" and p.endswith(".gz"):
                        b = gzip.decompress(b)
                except Exception:
                    continue
                if not b or (kind == "text" and b"\0" in b[:8192]) or (kind != "text" and b[:4] != b"\x7fELF"):
                    continue
                h = hashlib.sha256(b).digest()
                if h in seen:
                    continue
                seen.add(h)
                b = b[:want - total]
                o.write(b)
                total += len(b)
if total < want:
    sys.exit("compare.sh: only %d bytes of %s on this machine" % (total, kind))
PY
  mv "$out.part" "$out"
}

# Seconds of one run of a command (wall-clock, or user plus system time with --cpu).
run_time() {
  local real user sys
  read -r real user sys < <( { TIMEFORMAT='%3R %3U %3S'; time "$@" >/dev/null; } 2>&1 )
  if [ "$clock" = cpu ]; then
    awk -v u="$user" -v s="$sys" 'BEGIN { printf "%.3f", u + s }'
  else
    echo "$real"
  fi
}

# "-5" for a level, "(default)" for none.
level_label() { if [ -n "$1" ]; then echo "-$1"; else echo "(default)"; fi; }

# One line: what, packed bytes, per cent of the original, against libdeflate -12, MB/s.
pack_row() {
  local what="$1" bytes="$2" secs="$3" size="$4" ref="$5"
  awk -v w="$what" -v b="$bytes" -v t="$secs" -v s="$size" -v r="$ref" 'BEGIN {
    printf "  %-22s %11d  %6.2f%%  %7.4f  %7.1f\n", w, b, 100 * b / s, b / r, s / (t > 0 ? t : 1e-9) / 1e6 }'
}

# Packs corpus $1 with the references and with mklzh at the levels, best time of $runs.
pack_corpus_levels() {
  local name="$1" f="$scratch/$1-unique" size ref out="$scratch/packed"
  size=$(stat -c %s "$f")
  mkdir -p "$out"
  local threads_opt=()
  [ -n "$pack_threads" ] && threads_opt=(--threads "$pack_threads")
  echo "$name: $size bytes"
  printf '  %-22s %11s  %7s  %7s  %7s\n' packer bytes "" "vs -12" "MB/s"
  best_of() {  # best seconds of $runs runs of the command
    local best="" t
    for _ in $(seq "$runs"); do
      t=$(run_time "$@")
      if [ -z "$best" ] || awk -v a="$t" -v b="$best" 'BEGIN { exit !(a < b) }'; then best=$t; fi
    done
    echo "$best"
  }
  # Each reference writes its output, as mklzh writes its archive.
  local t
  t=$(best_of bash -c 'libdeflate-gzip -12 -n -c "$1" >"$2"' _ "$f" "$out/$name.ld12.gz")
  ref=$(stat -c %s "$out/$name.ld12.gz")
  pack_row "libdeflate-gzip -12" "$ref" "$t" "$size" "$ref"
  t=$(best_of bash -c 'gzip -9 -n -c "$1" >"$2"' _ "$f" "$out/$name.gz")
  pack_row "gzip -9" "$(stat -c %s "$out/$name.gz")" "$t" "$size" "$ref"
  local runs_list=()
  for l in $levels; do runs_list+=("lh7 $l"); done
  for m in lh5 lh6; do
    for l in 1 "" 9; do runs_list+=("$m $l"); done
  done
  for r in "${runs_list[@]}"; do
    local m="${r% *}" l="${r#* }" a="$out/$name.lzh" level_opt=()
    [ -n "$l" ] && level_opt=("-$l")
    rm -f "$a"
    t=$(best_of "$mklzh" "${level_opt[@]}" "${threads_opt[@]}" -m "$m" -C "$scratch" "$a" "$name-unique")
    "$nivosfx" t "$a" >/dev/null || { echo "compare.sh: nivosfx t failed on $a" >&2; exit 1; }
    pack_row "mklzh -$m- $(level_label "$l")" "$(stat -c %s "$a")" "$t" "$size" "$ref"
  done
}

# A 150 MB tree of this machine's files (the two corpora, then libraries, copied so that it
# does not change), and the peak memory of packing it.
pack_tree_memory() {
  local tree="$scratch/tree" want=150000000
  if [ ! -d "$tree" ]; then
    mkdir -p "$tree.part/corpora" "$tree.part/lib"
    cp "$scratch/text-unique" "$scratch/programs-unique" "$tree.part/corpora/"
    local have=80000000 n=0
    while IFS= read -r -d '' p; do
      [ "$have" -ge "$want" ] && break
      local s; s=$(stat -c %s "$p")
      cp "$p" "$tree.part/lib/$n.$(basename "$p")" 2>/dev/null || continue
      have=$((have + s)); n=$((n + 1))
    done < <(LC_ALL=C find /usr/lib/x86_64-linux-gnu -type f -size +1k -print0 | LC_ALL=C sort -z)
    mv "$tree.part" "$tree"
  fi
  local bytes
  bytes=$(du -sb "$tree" | cut -f1)
  echo "peak memory packing a tree of $bytes bytes (resident set, GNU time):"
  for l in 1 "" 9; do
    local a="$scratch/packed/tree.lzh" kb
    rm -f "$a"
    kb=$( { /usr/bin/time -f %M "$mklzh" ${l:+-$l} ${pack_threads:+--threads $pack_threads} -m lh7 -C "$scratch" "$a" tree >/dev/null; } 2>&1 | tail -1)
    printf '  mklzh -lh7- %-10s %6.1f MB  (archive %d bytes)\n' "$(level_label "$l")" "$(awk -v k="$kb" 'BEGIN { print k * 1024 / 1e6 }')" "$(stat -c %s "$a")"
  done
}

# ---- Main ---------------------------------------------------------------------------------------

setup_tools
if [ "$only" != packers ]; then
  make_text_corpus
  make_program_corpus
fi
if [ -z "$only" ] || [ "$only" = decoders ]; then
  for c in text programs; do pack_corpus "$c"; done

  echo "decoding: nivosfx t against libdeflate-gunzip -t, ${mb} MiB each, best of $runs runs ($clock time)"
  echo "  (MB/s of original data; ratio = our speed / libdeflate's, above 1.00 is faster)"
  for c in text programs; do compare_corpus "$c"; done
fi
if [ -z "$only" ] || [ "$only" = members ]; then
  make_members_archive
  [ -z "$only" ] && echo
  echo "members: best of $runs runs ($clock time); speed-up = one thread's time / the default's"
  compare_members
fi
if [ -z "$only" ] || [ "$only" = packers ]; then
  make_unique_corpus text
  make_unique_corpus programs
  echo
  echo "packers: best of $runs runs ($clock time), mklzh on ${pack_threads:-every} core(s); sizes in bytes,"
  echo "  per cent of the original, against libdeflate-gzip -12 (below 1 is smaller), MB/s of input"
  for c in text programs; do pack_corpus_levels "$c"; done
  echo
  pack_tree_memory
fi
