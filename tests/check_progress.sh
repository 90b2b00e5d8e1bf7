#!/usr/bin/env bash
# vorbel-pack's progress as a user sees it: on a terminal (a pty from script)
# the level, window and workers, a progress line with the compressed share and time, then the last line with
# the output's size; nothing at all when standard error is a file.
#   check_progress.sh VORBEL-PACK LAUNCHER.exe SAMPLE_APP.dll   (sample_helper.dll beside it)
set -euo pipefail
pack=$(realpath "$1") launcher=$(realpath "$2") app=$(realpath "$3")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
fail() { echo "FAIL: $*"; exit 1; }
head -c 2000000 /dev/urandom >data.bin
build=("$pack" build --launcher "$launcher" --app "$app" --add "$(dirname "$app")/sample_helper.dll"
       --add data.bin --level 1)
# One output file name for both runs: it goes into the version resource.
mkdir quiet shown

"${build[@]}" -o quiet/app.exe 2>quiet.err >quiet.out
[ ! -s quiet.err ] && [ ! -s quiet.out ] || fail "output on a non-terminal: $(cat quiet.err quiet.out)"

script -qec "$(printf '%q ' "${build[@]}") -o shown/app.exe" /dev/null </dev/null >terminal.txt
lines=$(tr '\r' '\n' <terminal.txt)
grep -Eq '^packing at level 1, window [0-9]+ [KM]iB, [0-9]+ workers?( \(of [0-9]+ threads, for memory\))?$' <<<"$lines" ||
  fail "no line with the level, window and workers: $lines"
grep -Eq '^packing: [0-9]+% of [0-9.]+ MB compressed, [0-9]+:[0-9]{2}' <<<"$lines" || fail "no progress line: $lines"
size=$(stat -c %s shown/app.exe)
mb=$(awk -v s="$size" 'BEGIN { printf "%.1f", s / 1e6 }')
grep -Eq "^packed 3 files, [0-9.]+ MB, into $mb MB \([0-9.]+%\) in [0-9]+:[0-9]{2} *$" <<<"$lines" ||
  fail "no last line with the output size $mb MB: $lines"
cmp quiet/app.exe shown/app.exe || fail "the terminal changed the output"
echo "progress: shown on a terminal, silent otherwise"
