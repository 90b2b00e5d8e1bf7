#!/usr/bin/env bash
# `start /min` and `start /max` of a packed program under Wine, fresh and
# cached: the application (the probe's --show-state, whose status is the show
# state its process was started with, 100 for none) gets the state the caller
# asked for, as a program started directly gets it.
#   check_minimized_start.sh VORBEL-PACK LAUNCHER.exe PROBE_APP.dll WINE_PREFIX
set -euo pipefail
pack=$(realpath "$1") launcher=$(realpath "$2") probe=$(realpath "$3") prefix=$(realpath "$4")
. "$(dirname "$0")/support/wine_scratch.sh"

"$pack" build --launcher "$launcher" --app "$probe" -o fresh.exe >/dev/null
# Wine gives every process its prefix's LOCALAPPDATA: the bundles go here instead.
"$pack" build --cache --cache-dir "Z:${work//\//\\}\\local" --launcher "$launcher" --app "$probe" -o cached.exe >/dev/null
state() {  # the status `start /wait` hands back
  local status=0
  run start /wait "$@" >/dev/null 2>&1 || status=$?
  echo "$status"
}
for exe in fresh.exe cached.exe cached.exe; do  # the cached one's first and later start
  for way in /min /max; do
    got=$(state "$way" /unix "$work/$exe" --show-state)
    case "$way:$got" in
      /min:2 | /min:6 | /min:7 | /max:3) ;;  # SW_SHOWMINIMIZED, SW_MINIMIZE, SW_SHOWMINNOACTIVE; SW_SHOWMAXIMIZED
      *) fail "start $way $exe: the application was started with show state $got" ;;
    esac
  done
done
compgen -G "local/cached/*" >/dev/null || fail "the cached program kept no bundle in local/cached"
echo "show state of start /min and /max reaches the application, fresh and cached"
