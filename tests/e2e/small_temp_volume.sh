#!/usr/bin/env bash
# Runs the end-to-end test of a %TEMP% that fills up on a real small volume:
# mounts a 1 MiB tmpfs in the build tree, runs that one test under Wine with
# the volume named in VORBEL_SMALL_TEMP, and unmounts it again.
#   small_temp_volume.sh WINE_RUN PREFIX WINE64 E2E_TESTS.exe WORK_DIR
# Exits 77 (a skip for CTest) where no tmpfs can be mounted (not root, no
# mount privilege); the seam-driven unit test of a full disk covers that case.
set -u
wine_run=$1 prefix=$2 wine=$3 tests=$4 work=$5

volume="$work/small-temp"
mkdir -p "$volume"
mountpoint -q "$volume" && umount "$volume"
if ! mount -t tmpfs -o size=1m,mode=0777 vorbel-small-temp "$volume" 2>/dev/null; then
  echo "cannot mount a tmpfs here; skipped"
  exit 77
fi
trap 'umount "$volume" 2>/dev/null || umount -l "$volume"' EXIT
df -h "$volume" | tail -n 1
VORBEL_SMALL_TEMP="Z:$(echo "$volume" | tr / '\\')" \
  "$wine_run" "$prefix" "$wine" "$tests" --gtest_filter='FaultsEndToEnd.ATempVolumeThatFillsUp*'
