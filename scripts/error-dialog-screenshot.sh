#!/usr/bin/env bash
# Takes the picture of the error dialog kept in docs/: the sample application
# packed with --error-dialog but without the DLL it imports, run under Wine on
# a virtual X display (Debian's xvfb, xdotool, x11-apps and netpbm). Run by
# hand when the dialog changes, and look at the result before keeping it.
#   error-dialog-screenshot.sh VORBEL-PACK LAUNCHER.exe SAMPLE_APP.dll OUTPUT.png
set -euo pipefail
pack=$(realpath "$1") launcher=$(realpath "$2") app=$(realpath "$3") output=$(realpath -m "$4")
tools="Xvfb xdotool xwd xwdtopnm pnmtopng"
. "$(dirname "$0")/virtual_display.sh"

cp "$app" app.dll  # sample_helper.dll, which it imports, stays behind
"$pack" build --launcher "$launcher" --app app.dll --error-dialog --product-name "Sample Application" \
  -o sample.exe 2>/dev/null

start_display
# A virtual desktop: Wine then draws the windows' frames and titles itself,
# which no window manager does on a bare X display.
"$wine" explorer /desktop=shot,640x400 sample.exe >out.txt 2>err.txt &
run_pid=$!
window=""
for _ in $(seq 60); do
  window=$(xdotool search --name "^Sample Application$" 2>/dev/null | head -1) && [ -n "$window" ] && break
  sleep 1
done
[ -n "$window" ] || { echo "no dialog titled 'Sample Application' appeared"; exit 1; }
sleep 2  # drawn
desktop=$(xdotool search --name "^shot - Wine desktop$" | head -1)
xwd -silent -id "$desktop" | xwdtopnm 2>/dev/null | pnmcrop 2>/dev/null | pnmtopng >"$output"
xdotool key --window "$window" Return || true
wait "$run_pid" || true
tr -d '\r' <err.txt
echo "written: $output"
