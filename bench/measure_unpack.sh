#!/usr/bin/env bash
# Measures what a start of a packed launcher costs under Wine: unpacking the
# synthetic application tree (make_tree.py), starting the application, and
# removing the directory, against a launcher with the sample application only
# and against the build tool extracting the same payload (under Wine: the same
# file-system costs; on the host: none of Wine's). Timings under Wine
# swing from run to run, so the figures that count are the ratios of one run.
#   bench/measure_unpack.sh [WORK_DIR]        (default build/bench; needs `make` first)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
work=${1:-$root/build/bench}
prefix=$root/build/windows/wine-prefix
wine=$(ls /usr/lib/wine/wine64 2>/dev/null || command -v wine64 || command -v wine)
runs=${RUNS:-3}

mkdir -p "$work"
[ -d "$work/tree" ] || python3 "$root/bench/make_tree.py" "$work/tree"
"$root/scripts/wine-run.sh" "$prefix" "$wine" --init

pack() { "$root/dist/vorbel-pack" build --launcher "$root/dist/launcher.exe" --app "$root/dist/sample_app.dll" \
           --add "$root/dist/sample_helper.dll" "$@"; }
pack -o "$work/small.exe"
pack --add "$work/tree" -o "$work/tree.exe"

# Best of $runs wall-clock seconds of a command.
best() {
  local best_time="" start end elapsed
  for _ in $(seq "$runs"); do
    start=$(date +%s.%N)
    "$@" >/dev/null 2>&1
    end=$(date +%s.%N)
    elapsed=$(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.3f", b - a }')
    if [ -z "$best_time" ] || awk -v e="$elapsed" -v b="$best_time" 'BEGIN { exit !(e < b) }'; then best_time=$elapsed; fi
  done
  echo "$best_time"
}

small=$(best "$root/scripts/wine-run.sh" "$prefix" "$wine" "$work/small.exe" --exit 0)
tree=$(best "$root/scripts/wine-run.sh" "$prefix" "$wine" "$work/tree.exe" --exit 0)
extract() { rm -rf "$work/extracted"; "$@" extract "$work/tree.exe" "$work/extracted"; }
wine_extract=$(best extract "$root/scripts/wine-run.sh" "$prefix" "$wine" "$root/dist/vorbel-pack.exe")
host=$(best extract "$root/dist/vorbel-pack")
rm -rf "$work/extracted"

files=$(find "$work/tree" -type f | wc -l)
bytes=$(find "$work/tree" -type f -printf '%s\n' | awk '{ t += $1 } END { print t }')
echo "tree: $files files, $bytes bytes; payload $(stat -c %s "$work/tree.exe") bytes packed; best of $runs"
echo
echo "| run | seconds | ratio to the sample-only launcher |"
echo "|---|---|---|"
printf '| launcher, sample application only | %.3f | 1.0 |\n' "$small"
ratio() { awk -v a="$1" -v b="$small" 'BEGIN { printf "%.1f", a / b }'; }
printf '| launcher, sample application + tree (unpack, run, delete) | %.3f | %s |\n' "$tree" "$(ratio "$tree")"
printf '| vorbel-pack.exe extract of the same payload, under Wine | %.3f | %s |\n' "$wine_extract" "$(ratio "$wine_extract")"
printf '| host vorbel-pack extract of the same payload | %.3f | %s |\n' "$host" "$(ratio "$host")"
