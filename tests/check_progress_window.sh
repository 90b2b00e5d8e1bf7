#!/usr/bin/env bash
# The progress window under Wine on a virtual X display (Debian's xvfb,
# xdotool; x11-apps and netpbm for the picture): a slow start (300 MB of
# incompressible files) shows a window titled with the product name while it
# unpacks, and it is gone when the application runs; in the cached mode,
# where the window is in the application's own process, `start /min` still
# gives the application the minimized state; two first starts at once unpack
# once, and the one that waits shows its window meanwhile. With OUTPUT.png it
# also takes the picture kept in docs/: look at it before keeping it.
#   check_progress_window.sh VORBEL-PACK LAUNCHER.exe PROBE_APP.dll [OUTPUT.png]
set -euo pipefail
pack=$(realpath "$1") launcher=$(realpath "$2") probe=$(realpath "$3") output=${4:+$(realpath -m "$4")}
tools="Xvfb xdotool ${output:+xwd xwdtopnm pnmtopng}"
. "$(dirname "$0")/../scripts/virtual_display.sh"
fail() {
  echo "FAIL: $*"
  exit 1
}

title="Progress Check"
# 300 MB stored as it is, in 1500 files: unpacking takes seconds under Wine
# however fast the disk, and the bar moves evenly (it follows the bytes, the
# time goes to the bytes and to each file's making).
mkdir -p many
head -c 300000000 /dev/urandom | split -b 200000 -a 4 - many/part
"$pack" build --launcher "$launcher" --app "$probe" --add many --level 1 --progress-window \
  --product-name "$title" -o slow.exe >/dev/null
"$pack" build --launcher "$launcher" --app "$probe" --add many --level 1 --progress-window \
  --product-name "$title" --cache --cache-dir "Z:${work//\//\\}\\local" -o cached.exe >/dev/null
rm -r many

start_display

# A virtual desktop: Wine then draws the windows' frames and titles itself,
# which no window manager does on a bare X display.
started=$(date +%s%N)
"$wine" explorer /desktop=shot,640x400 slow.exe --first-window "$title" >out.txt 2>err.txt &
run_pid=$!
window=""
for _ in $(seq 200); do
  window=$(xdotool search --name "^$title\$" 2>/dev/null | head -1) && [ -n "$window" ] && break
  kill -0 "$run_pid" 2>/dev/null || break
  sleep 0.1
done
[ -n "$window" ] || fail "no window titled '$title' appeared while unpacking"
echo "the progress window appeared after $((($(date +%s%N) - started) / 1000000)) ms (Wine's start included)"
if [ -n "$output" ]; then
  sleep 0.2  # drawn
  desktop=$(xdotool search --name "^shot - Wine desktop\$" | head -1)
  xwd -silent -id "$desktop" | xwdtopnm 2>/dev/null | pnmcrop 2>/dev/null | pnmtopng >"$output"
  echo "written: $output"
fi
wait "$run_pid" || true
tr -d '\r' <out.txt | grep -qx "other=gone" || fail "the progress window was still there when the application ran: $(cat out.txt)"
tr -d '\r' <out.txt | grep -qx "window=1" || fail "the application's first window did not open normally: $(cat out.txt)"
echo "the progress window was gone when the application's first window opened"

# start /min in the cached mode, where the window is in the application's own
# process: the application still gets the show state its caller asked for.
# (Wine's ShowWindow does not apply it to the first window by itself, so the
# state given is what shows; the window is never shown with ShowWindow, which
# on Windows would take it.)
"$wine" cmd /c start /wait /min cached.exe --show-state >/dev/null 2>&1 &
run_pid=$!
seen=no
while kill -0 "$run_pid" 2>/dev/null; do
  xdotool search --name "^$title\$" >/dev/null 2>&1 && seen=yes
  sleep 0.1
done
status=0
wait "$run_pid" || status=$?
case "$status" in
  2 | 6 | 7) ;;  # SW_SHOWMINIMIZED, SW_MINIMIZE, SW_SHOWMINNOACTIVE
  *) fail "start /min cached.exe: the application was started with show state $status" ;;
esac
[ "$seen" = yes ] || fail "start /min cached.exe: no progress window was seen"
compgen -G "local/$title/*" >/dev/null || fail "the cached program kept no bundle in local/$title"
echo "start /min of a cached first start: the progress window showed and the application got the minimized state"

# Two first starts of the cached program at once: one unpacks, the other
# waits for it with the same window shown, and both run from the one bundle.
# Each unpack has a working directory of its own, there for seconds here.
rm -r "local/$title"
"$wine" cached.exe --state 5 >one.txt 2>&1 &
one_pid=$!
"$wine" cached.exe --state 6 >two.txt 2>&1 &
two_pid=$!
most_windows=0
declare -A working_seen=()
while kill -0 "$one_pid" 2>/dev/null || kill -0 "$two_pid" 2>/dev/null; do
  windows=$(xdotool search --name "^$title\$" 2>/dev/null | wc -l || true)
  [ "$windows" -gt "$most_windows" ] && most_windows=$windows
  for folder in "local/$title"/unpacking_*; do
    [ -d "$folder" ] && working_seen[$folder]=1
  done
  sleep 0.05
done
status=0
wait "$one_pid" || status=$?
[ "$status" = 5 ] || fail "the first of two first starts ended with $status: $(cat one.txt)"
status=0
wait "$two_pid" || status=$?
[ "$status" = 6 ] || fail "the second of two first starts ended with $status: $(cat two.txt)"
[ "${#working_seen[@]}" = 1 ] || fail "two first starts at once made ${#working_seen[@]} working directories"
[ "$most_windows" -ge 2 ] || fail "the waiting first start showed no progress window ($most_windows at most)"
echo "two first starts at once: one unpack, and both showed the progress window"
