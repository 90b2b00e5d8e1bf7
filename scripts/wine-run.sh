#!/usr/bin/env bash
# Runs a Windows program under Wine in a given prefix, quietly:
#   wine-run.sh PREFIX WINE64 PROGRAM.exe [ARG]...
#   wine-run.sh PREFIX WINE64 --init      (creates the prefix if it is missing)
# Wine's own diagnostics are switched off so that a test sees only what the
# program writes.
set -u
prefix=$1 wine=$2
shift 2
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
export WINEARCH=win64 DISPLAY=
if [ "${1:-}" = "--init" ]; then
  if [ ! -f "$prefix/system.reg" ]; then
    mkdir -p "$prefix"
    "$wine" wineboot -i >/dev/null 2>&1
  fi
  # A program that crashes ends with its exception code at once, as under a
  # Windows test machine with error reporting off: Wine's own crash debugger,
  # started by default, once hung on a loaded machine and held the crashed
  # process open. A debugger that cannot be started is skipped.
  if ! grep -q '^"Debugger"="no-crash-debugger' "$prefix/system.reg" 2>/dev/null; then
    "$wine" reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' \
      /v Debugger /t REG_SZ /d 'no-crash-debugger %ld %ld' /f >/dev/null 2>&1
  fi
  "$wine" cmd /c exit 0 >/dev/null 2>&1
  exit 0
fi
exec "$wine" "$@"
