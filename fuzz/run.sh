#!/usr/bin/env bash
# Builds the fuzz targets with clang and runs each for N seconds (default 60):
#   fuzz/run.sh [seconds] [target...]
# Targets: pe_resources payload_stream entry_names entry_name_rule (default: all).
# Every target first replays its seeds and saved regressions, then fuzzes on a
# scratch corpus seeded from fuzz/corpus/<target>; nothing under fuzz/ changes.
# A crash, hang or leak stops with a non-zero status; the input that caused it
# is left in $FUZZ_WORK/<target>/ (crash-*, timeout-*, leak-*, oom-*).
# FUZZ_BUILD (default /tmp/fuzz-build) and FUZZ_WORK (default /tmp/fuzz-work) move the trees.
set -euo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
seconds="${1:-60}"
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(pe_resources payload_stream entry_names entry_name_rule)
build="${FUZZ_BUILD:-/tmp/fuzz-build}"
work="${FUZZ_WORK:-/tmp/fuzz-work}"

generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
cmake -S "$here" -B "$build" "${generator[@]}" >/dev/null
cmake --build "$build" >/dev/null

status=0
for target in "${targets[@]}"; do
  binary="$build/${target}_fuzz"
  seeds="$here/corpus/$target"
  options=(-rss_limit_mb=2048 -timeout=10 -print_final_stats=1)
  [ -f "$here/$target.dict" ] && options+=("-dict=$here/$target.dict")
  mkdir -p "$work/$target/corpus"
  # libFuzzer reads corpus directories recursively: this takes regressions/ too.
  replay=("$seeds")

  echo "== $target: replaying seeds and regressions"
  (cd "$work/$target" && "$binary" -runs=0 "${options[@]}" "${replay[@]}") >"$work/$target/replay.log" 2>&1 || {
    echo "FAILED on a saved input; see $work/$target/replay.log"
    status=1
    continue
  }
  echo "== $target: fuzzing for ${seconds}s"
  if (cd "$work/$target" && "$binary" -max_total_time="$seconds" "${options[@]}" corpus "${replay[@]}") \
      >"$work/$target/fuzz.log" 2>&1; then
    grep -E '^(#[0-9]+[[:space:]]+DONE|stat::number_of_executed_units|stat::peak_rss_mb)' "$work/$target/fuzz.log" || true
  else
    echo "FAILED; see $work/$target/fuzz.log and the crash-/timeout-/leak- files beside it"
    status=1
  fi
done
exit $status
