# The shared opening of the scripts that run a packed program under Wine on a
# virtual X display, sourced after the arguments are read (paths made
# absolute), with the tools they need in $tools (Debian's xvfb and xdotool;
# x11-apps and netpbm for a picture): a scratch folder, removed at exit with
# the display and the Wine server, and start_display, which starts the
# display and a Wine prefix of its own in the scratch folder.
for tool in $tools; do
  command -v "$tool" >/dev/null || { echo "$tool is missing (apt-get install xvfb xdotool x11-apps netpbm)"; exit 1; }
done
wine=$(ls /usr/lib/wine/wine64 2>/dev/null || command -v wine64 || command -v wine)
work=$(mktemp -d)
display_pid=""
cleanup() {
  [ -z "${WINEPREFIX:-}" ] || "$(dirname "$wine")/wineserver" -k 2>/dev/null || true
  [ -z "$display_pid" ] || kill "$display_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
cd "$work"

start_display() {
  local display=:$((90 + RANDOM % 100))
  Xvfb "$display" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
  display_pid=$!
  sleep 1
  export DISPLAY=$display WINEPREFIX=$work/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINEARCH=win64
  "$wine" wineboot -i >/dev/null 2>&1
}
