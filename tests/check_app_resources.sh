#!/usr/bin/env bash
# Reads the application's own icon and version information back out of a
# packed program with tools nobody here wrote (wrestool, icotool): the icon
# group must give back the .ico that was packed, byte for byte, and the
# version resource must hold the strings and numbers given on the command line.
#   check_app_resources.sh VORBEL_PACK LAUNCHER.exe APP.dll
set -u
pack=$1 launcher=$2 app=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# An .ico of two of the launcher's images, made by icotool: not the launcher's own group.
wrestool -x --type=14 "$launcher" -o "$work/launcher.ico" || { echo "FAIL: wrestool cannot extract the icon"; exit 1; }
mkdir "$work/png"
icotool -x -o "$work/png" "$work/launcher.ico" || { echo "FAIL: icotool -x"; exit 1; }
icotool -c -o "$work/app.ico" "$work"/png/*_16x16x32.png "$work"/png/*_48x48x32.png ||
  { echo "FAIL: icotool -c"; exit 1; }

"$pack" build --launcher "$launcher" --app "$app" --icon "$work/app.ico" --product-name "Zeta Tool" \
  --product-version 3.1-beta --file-version 3.1.4.1 --company-name "Zeta Ltd" -o "$work/Zeta.exe" 2>"$work/err" ||
  { echo "FAIL: vorbel-pack build: $(cat "$work/err")"; exit 1; }

wrestool -x --type=14 "$work/Zeta.exe" -o "$work/back.ico" || fail "wrestool cannot extract the packed icon"
# wrestool's .ico ends with as many zero bytes as the group has (so does the one
# it makes of the launcher's own icon); everything before them must be the input.
head -c "$(stat -c %s "$work/app.ico")" "$work/back.ico" | cmp -s - "$work/app.ico" ||
  fail "the icon read back differs from the .ico packed"
[ "$(icotool -l "$work/back.ico")" = "$(icotool -l "$work/app.ico")" ] ||
  fail "icotool lists $(icotool -l "$work/back.ico")"
[ "$(icotool -l "$work/back.ico" | wc -l)" -eq 2 ] || fail "icotool lists $(icotool -l "$work/back.ico")"
resources=$(wrestool -l "$work/Zeta.exe")
[ "$(grep -c "\[type=icon " <<<"$resources")" -eq 2 ] || fail "not exactly the two images: $resources"
[ "$(grep -c "\[type=group_icon " <<<"$resources")" -eq 1 ] || fail "not exactly one icon group: $resources"

utf16() { printf '%s' "$1" | iconv -f UTF-8 -t UTF-16LE | od -An -tx1 | tr -d ' \n'; }
version_hex=$(wrestool -x --raw --type=16 "$work/Zeta.exe" | od -An -tx1 | tr -d ' \n')
for text in "Zeta Tool" "3.1-beta" "3.1.4.1" "Zeta Ltd" "Zeta.exe" "CompanyName"; do
  [[ $version_hex == *"$(utf16 "$text")"* ]] || fail "version resource lacks '$text'"
done
[[ $version_hex != *"$(utf16 "launcher.exe")"* ]] || fail "version resource still names launcher.exe"
# VS_FIXEDFILEINFO follows the 38-byte header and key, at byte 40: signature, structure
# version, then file version 3.1 / 4.1 and product version 3.1 / 0.0 as little-endian words.
[ "${version_hex:80:8}" = "bd04effe" ] || fail "no VS_FIXEDFILEINFO signature at byte 40"
[ "${version_hex:96:32}" = "01000300010004000100030000000000" ] || fail "fixed versions are ${version_hex:96:32}"

if [ "$failures" -ne 0 ]; then exit 1; fi
echo "application resources OK: icon and version read back by wrestool and icotool"
