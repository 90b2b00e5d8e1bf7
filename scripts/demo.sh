#!/usr/bin/env bash
# The main job: packs the sample application into dist/demo.exe with
# vorbel-pack, runs it under Wine with a few arguments, and shows its output,
# its exit status and that its extraction directory is gone afterwards. Older
# leftovers in %TEMP% may go too: every run sweeps some.
#   demo.sh WINE_PREFIX WINE64
set -euo pipefail
prefix=$1 wine=$2
cd "$(dirname "$0")/.."
run() { scripts/wine-run.sh "$prefix" "$wine" "$@"; }

run --init
# Shown as typed, so that it serves as the pattern for packing another application.
pack=(dist/vorbel-pack build --launcher dist/launcher.exe --app dist/sample_app.dll
  --add dist/sample_helper.dll --add examples/sample_app/data -o dist/demo.exe)
echo "== ${pack[*]}"
"${pack[@]}"
echo "== packed: $(stat -c %s dist/demo.exe) bytes"
dist/vorbel-pack list dist/demo.exe

temp_dirs() { find "$prefix"/drive_c/users/*/Temp -maxdepth 1 -name 'onefile_*' 2>/dev/null | sort; }
before=$(temp_dirs)
echo "== wine dist/demo.exe \"two words\" café --exit 3"
set +e
run dist/demo.exe "two words" café --exit 3
status=$?
set -e
echo "== exit status: $status"
after=$(temp_dirs)
new=$(comm -13 <(echo "$before") <(echo "$after"))
gone=$(comm -23 <(echo "$before") <(echo "$after"))
if [ -z "$new" ]; then
  echo "== extraction directory removed: nothing new under %TEMP%"
else
  echo "== left under %TEMP%:"; echo "$new"
  exit 1
fi
if [ -n "$gone" ]; then
  echo "== earlier leftovers swept by this run:"; echo "$gone"
fi
[ "$status" -eq 3 ]
