# Sourced by the shell checks that run Windows programs under Wine, after they
# set $prefix (the Wine prefix): `run PROGRAM [ARG]...` runs one there quietly,
# a scratch directory is made current and removed on exit, and `fail` ends the
# check with one line.
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
wine=$(ls /usr/lib/wine/wine64 2>/dev/null || command -v wine64 || command -v wine)
run() { "$root/scripts/wine-run.sh" "$prefix" "$wine" "$@"; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
fail() { echo "FAIL: $*"; exit 1; }
