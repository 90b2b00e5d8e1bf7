#!/usr/bin/env bash
# Reads a packed launcher back with tools nobody here wrote: the payload that
# vorbel-pack embeds must come out of the image byte for byte through
# wrestool, objdump must walk the rewritten resource directory down to it, and
# the launcher's own resources must all still be there.
#   check_packed_image.sh VORBEL_PACK LAUNCHER.exe APP.dll OBJDUMP PRODUCT_NAME_FILE PRODUCT_VERSION_FILE
set -u
pack=$1 launcher=$2 app=$3 objdump=$4 product_file=$5 version_file=$6
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

mkdir -p "$work/data/sub"
head -c 300000 /dev/urandom >"$work/data/sub/random.bin"
"$pack" build --launcher "$launcher" --app "$app" --add "$work/data" --level 3 -o "$work/first.exe" ||
  { echo "FAIL: vorbel-pack build"; exit 1; }

# The payload as wrestool sees it, embedded again as it stands into a fresh
# copy of the launcher, must come back out identical.
wrestool -x --raw --type=10 --name=27 "$work/first.exe" >"$work/payload.bin"
[ "$(head -c 3 "$work/payload.bin")" = "VUQ" ] || fail "the payload read by wrestool does not start with VUQ"
"$pack" embed --launcher "$launcher" --payload "$work/payload.bin" -o "$work/second.exe" || fail "vorbel-pack embed"
wrestool -x --raw --type=10 --name=27 "$work/second.exe" >"$work/again.bin"
cmp -s "$work/payload.bin" "$work/again.bin" || fail "the payload embedded again differs"
"$pack" verify "$work/second.exe" >/dev/null || fail "vorbel-pack verify of the image embedded again"

# objdump walks the resource directory: type 10 (RT_RCDATA) with id 27 (0x1b).
directory=$("$objdump" -p "$work/second.exe" | sed -n '/Resource Directory section/,$p')
grep -q "Entry: ID: 0x00000a" <<<"$directory" || fail "objdump finds no RT_RCDATA type"
grep -q "Entry: ID: 0x00001b" <<<"$directory" || fail "objdump finds no id 27"
size=$(stat -c %s "$work/payload.bin")
grep -qi "Size: 0x$(printf '%06x' "$size")," <<<"$directory" || fail "objdump finds no leaf of $size bytes"

# Every other resource is still there, with the same checks as the launcher.
bash "$here/check_launcher_image.sh" "$work/second.exe" "$objdump" "$product_file" "$version_file" >/dev/null ||
  fail "$(bash "$here/check_launcher_image.sh" "$work/second.exe" "$objdump" "$product_file" "$version_file")"
# The version resource names the packed file now (OriginalFilename), so its size may change.
wrestool -l "$launcher" | sed 's/offset=0x[0-9a-f]* //; /type=version/s/ size=[0-9]*//' | sort >"$work/before.txt"
wrestool -l "$work/second.exe" | grep -v -- "--type=10 --name=27" |
  sed 's/offset=0x[0-9a-f]* //; /type=version/s/ size=[0-9]*//' | sort >"$work/after.txt"
cmp -s "$work/before.txt" "$work/after.txt" || fail "resources changed: $(diff "$work/before.txt" "$work/after.txt")"
utf16() { printf '%s' "$1" | iconv -f UTF-8 -t UTF-16LE | od -An -tx1 | tr -d ' \n'; }
[[ $(wrestool -x --raw --type=16 "$work/second.exe" | od -An -tx1 | tr -d ' \n') == *"$(utf16 second.exe)"* ]] ||
  fail "the version resource's OriginalFilename is not second.exe"
for type in 3 14 24; do
  for name in $(wrestool -l --type=$type "$launcher" | sed -n 's/.*--name=\([0-9]*\).*/\1/p'); do
    cmp -s <(wrestool -x --raw --type=$type --name="$name" "$launcher") \
           <(wrestool -x --raw --type=$type --name="$name" "$work/second.exe") ||
      fail "resource type $type name $name changed"
  done
done

if [ "$failures" -ne 0 ]; then exit 1; fi
echo "packed image OK: payload of $size bytes read back by wrestool and objdump"
