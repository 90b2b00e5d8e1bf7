# The shared opening of shell tests that run packed programs under Wine,
# sourced after the arguments are read (paths made absolute: it changes into
# a scratch folder, removed at exit). run() needs $prefix, the Wine prefix.
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
wine=$(ls /usr/lib/wine/wine64 2>/dev/null || command -v wine64 || command -v wine)
run() { "$root/scripts/wine-run.sh" "$prefix" "$wine" "$@"; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
fail() { echo "FAIL: $*"; exit 1; }
