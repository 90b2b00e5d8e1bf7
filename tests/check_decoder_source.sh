#!/usr/bin/env bash
# The Windows images that link libzstd carry the Debian version of the source
# they were built from; it must be the version the source tree says it is, and
# never older than the host's libzstd-dev, so that the launcher's decoder has
# every fix the host's library has.
#   check_decoder_source.sh ZSTD_SOURCE_DIR IMAGE...
set -u
source_dir=$1
shift
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
expected=$(head -n 1 "$source_dir/.debian-version")
host=$(dpkg-query -W -f='${Version}' libzstd-dev)
dpkg --compare-versions "$expected" ge "$host" || fail "the source $expected is older than the host's libzstd-dev $host"
for image in "$@"; do
  found=$(grep -aoE 'libzstd source: [[:alnum:].+~:-]+' "$image" | sort -u)
  [ "$found" = "libzstd source: $expected" ] || fail "$image carries '${found:-nothing}', expected 'libzstd source: $expected'"
done
echo "source $expected, host $host: $(head -n 1 "$source_dir/.fix-check" 2>/dev/null)"
[ "$failures" -eq 0 ]
