#!/usr/bin/env bash
# Runs fuzz targets for N seconds each (default 60), with ASan and UBSan:
#   fuzz/run.sh [seconds] [target...]                 builds the targets first
#   fuzz/run.sh --built BUILD_DIR seconds target      one built target (the test run's way)
# Targets are named without the "_fuzz" suffix; by default every *_fuzz program
# of the build. Each target first replays its seeds and saved regressions
# (fuzz/corpus/<target>, regressions/ included), then fuzzes on a scratch corpus
# seeded from there. A crash, hang, leak or excess memory use fails the run: the
# input is copied to fuzz/corpus/<target>/regressions/ (commit it with the fix,
# and every later run replays it) and printed in base64, so that a finding in a
# CI log can be recovered too.
# FUZZ_BUILD (default /tmp/fuzz-build) and FUZZ_WORK (default BUILD/work) move the trees.
set -euo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
build="${FUZZ_BUILD:-/tmp/fuzz-build}"
prebuilt=0
if [ "${1:-}" = "--built" ]; then
  build=$2
  prebuilt=1
  shift 2
fi
seconds="${1:-60}"
shift || true
targets=("$@")
work="${FUZZ_WORK:-$build/work}"

if [ $prebuilt -eq 0 ]; then
  generator=()
  command -v ninja >/dev/null && generator=(-G Ninja)
  cmake -S "$here" -B "$build" "${generator[@]}" >/dev/null
  cmake --build "$build" >/dev/null
fi
if [ ${#targets[@]} -eq 0 ]; then
  for binary in "$build"/*_fuzz; do
    [ -x "$binary" ] && targets+=("$(basename "${binary%_fuzz}")")
  done
fi

# Keeps each finding as a regression input and shows it in the log.
keep_findings() {
  local target=$1 found=0
  mkdir -p "$here/corpus/$target/regressions"
  for input in "$work/$target"/crash-* "$work/$target"/timeout-* "$work/$target"/leak-* "$work/$target"/oom-*; do
    [ -f "$input" ] || continue
    found=1
    cp "$input" "$here/corpus/$target/regressions/"
    echo "finding kept as fuzz/corpus/$target/regressions/$(basename "$input"); base64:"
    base64 -w 76 "$input"
  done
  [ $found -eq 1 ] || echo "no input was written; the log says why"
}

status=0
for target in "${targets[@]}"; do
  binary="$build/${target}_fuzz"
  seeds="$here/corpus/$target"
  options=(-rss_limit_mb=2048 -timeout=10 -print_final_stats=1)
  [ -f "$here/$target.dict" ] && options+=("-dict=$here/$target.dict")
  rm -rf "$work/$target"
  mkdir -p "$work/$target/corpus" "$seeds"

  # libFuzzer reads corpus directories recursively: this takes regressions/ too.
  echo "== $target: replaying seeds and regressions"
  if ! (cd "$work/$target" && "$binary" -runs=0 "${options[@]}" "$seeds") >"$work/$target/replay.log" 2>&1; then
    echo "FAILED on a saved input:"
    tail -n 40 "$work/$target/replay.log"
    status=1
    continue
  fi
  echo "== $target: fuzzing for ${seconds}s"
  if (cd "$work/$target" && "$binary" -max_total_time="$seconds" "${options[@]}" corpus "$seeds") \
      >"$work/$target/fuzz.log" 2>&1; then
    grep -E '^(#[0-9]+[[:space:]]+DONE|stat::number_of_executed_units|stat::peak_rss_mb)' "$work/$target/fuzz.log" || true
  else
    echo "FAILED:"
    grep -v -E '^#[0-9]+[[:space:]]+(NEW|REDUCE|pulse)' "$work/$target/fuzz.log" | tail -n 60
    keep_findings "$target"
    status=1
  fi
done
exit $status
