#!/usr/bin/env bash
# dist/zstd-onefile.exe under Wine, as a user runs it: a byte-identical round
# trip through files and through the standard streams, a frame the host's zstd
# reads, and exit statuses passed through (returned by main, and given to exit).
#   check_zstd_onefile.sh ZSTD-ONEFILE.exe WINE_PREFIX
set -euo pipefail
exe=$(realpath "$1") prefix=$2
root=$(cd "$(dirname "$0")/../.." && pwd)
wine=$(ls /usr/lib/wine/wine64 2>/dev/null || command -v wine64 || command -v wine)
zstd_run() { "$root/scripts/wine-run.sh" "$prefix" "$wine" "$exe" "$@"; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"  # relative names: the program's current directory is the caller's
fail() { echo "FAIL: $*"; exit 1; }

{ head -c 300000 /dev/urandom; seq 1 100000; } >input.bin
zstd_run -q -19 input.bin -o input.bin.zst || fail "compress: status $?"
zstd_run -q -d input.bin.zst -o output.bin || fail "decompress: status $?"
cmp input.bin output.bin || fail "round trip through files differs"
zstd -q -d -c input.bin.zst | cmp - input.bin || fail "the host's zstd reads another content"

zstd_run -q -c <input.bin >piped.zst || fail "compress through pipes: status $?"
zstd_run -q -d -c <piped.zst | cmp - input.bin || fail "round trip through the standard streams differs"

status() { set +e; zstd_run "$@" >/dev/null 2>&1; echo $?; set -e; }
[ "$(status -q -t input.bin.zst)" = 0 ] || fail "test of a good frame did not give 0"
[ "$(status -q -d missing.zst)" = 1 ] || fail "a missing input did not give 1"
[ "$(status -q -D missing.dict input.bin -o unused.zst)" = 31 ] || fail "exit(31) for a missing dictionary did not pass"
zstd_run -V | grep -q "Zstandard CLI" || fail "no version line"
echo "zstd-onefile.exe: round trips and exit statuses ok"
