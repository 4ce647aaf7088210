#!/usr/bin/env bash
# Builds the fuzz targets with clang (libFuzzer, ASan, UBSan), makes their seed corpora from the
# shared corpus, and runs every target for a fixed time. Any finding fails the script.
#
#   tests/fuzz/run.sh [SECONDS [TARGET...]]
#
# SECONDS per target defaults to $NIVO_FUZZ_SECONDS, else 30. Inputs that libFuzzer finds
# interesting stay in build/fuzz/work/TARGET for the next run; findings are written to
# build/fuzz/findings/.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
source "$here/scripts/setup.sh"
need_packages cmake ninja-build clang libclang-rt-14-dev

seconds="${1:-${NIVO_FUZZ_SECONDS:-30}}"
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(fuzz_header fuzz_settings fuzz_decode fuzz_extract)

build="$here/build/fuzz"
cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DNIVO_FUZZ=ON -DNIVO_TESTS=OFF \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build "$build" -j 2 --target fuzz_seeds "${targets[@]}"
bin="$build/tests/fuzz"

rm -rf "$build/seeds"
"$bin/fuzz_seeds" "$here/../shared/corpus" "$build/seeds"
mkdir -p "$build/findings" "$build/logs" "$build/tmp"

# Longest input per target: a few headers, a settings block, a member's data, a small archive.
declare -A maxLen=([fuzz_header]=16384 [fuzz_settings]=2048 [fuzz_decode]=16388 [fuzz_extract]=32768)

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
failed=()
for t in "${targets[@]}"; do
  work="$build/work/$t"
  mkdir -p "$work"
  log="$build/logs/$t.log"
  echo "== $t for ${seconds}s"
  if TMPDIR="$build/tmp" "$bin/$t" -max_total_time="$seconds" -timeout=25 -rss_limit_mb=2048 \
       -max_len="${maxLen[$t]:-16384}" -print_final_stats=1 -artifact_prefix="$build/findings/$t-" \
       "$work" "$build/seeds/${t#fuzz_}" >"$log" 2>&1; then
    runs="$(grep -o 'Done [0-9]* runs in [0-9]* second' "$log" | tail -1)"
    echo "   ${runs:-finished}, no finding"
  else
    echo "   FINDING (log: $log)"
    grep -E 'ERROR|runtime error|invariant broken|Test unit written|SUMMARY' "$log" | head -20 || true
    failed+=("$t")
  fi
done
rm -rf "$build/tmp"
if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzz: findings in ${failed[*]}"
  exit 1
fi
echo "fuzz: ${#targets[@]} targets, ${seconds}s each, no finding"
