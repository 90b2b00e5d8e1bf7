#!/usr/bin/env bash
# dist/lua-onefile.exe under Wine, as a user runs it: main.lua runs by
# default and finds its packed module through os.getenv("VORBEL_ONEFILE_CONTENTS"),
# arguments with *, "" and quotes reach the script exactly (--exact-arguments),
# and the exit status comes back.
#   check_lua_onefile.sh LUA-ONEFILE.exe WINE_PREFIX
set -euo pipefail
exe=$(realpath "$1") prefix=$2
root=$(cd "$(dirname "$0")/../.." && pwd)
wine=$(ls /usr/lib/wine/wine64 2>/dev/null || command -v wine64 || command -v wine)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# Files a wildcard would match if anything expanded it.
cd "$work" && touch one.txt two.txt
fail() { echo "FAIL: $*"; exit 1; }

out=$("$root/scripts/wine-run.sh" "$prefix" "$wine" "$exe" | tr -d '\r')
[ "$out" = "hello from a packed module, 0 arguments" ] || fail "default run printed: $out"

# Wine quotes each argument as CommandLineToArgvW reads it back; *.txt and ?
# go unquoted, where the runtime's start-up would match them to files.
out=$("$root/scripts/wine-run.sh" "$prefix" "$wine" "$exe" '*.txt' '' 'say "hi"' 'a b' '' '?' | tr -d '\r')
expected='hello from a packed module, 6 arguments
arg 1 [*.txt]
arg 2 []
arg 3 [say "hi"]
arg 4 [a b]
arg 5 []
arg 6 [?]'
[ "$out" = "$expected" ] || fail "arguments came through as:
$out
expected:
$expected"

set +e
"$root/scripts/wine-run.sh" "$prefix" "$wine" "$exe" --exit 42 >/dev/null 2>&1
status=$?
set -e
[ "$status" = 42 ] || fail "os.exit(42) gave status $status"
echo "lua-onefile.exe: script, module, exact arguments and exit status ok"
