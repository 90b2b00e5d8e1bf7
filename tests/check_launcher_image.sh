#!/usr/bin/env bash
# Checks the built launcher image with tools nobody here wrote (objdump,
# wrestool): x86-64 GUI executable, imports only from Windows system DLLs
# (runtime libraries linked in statically; shell32 not imported at all), and its resources: manifest,
# version information with the configured product name and version, icon.
# The product strings come from files, so any text survives the trip here.
#   check_launcher_image.sh LAUNCHER.exe OBJDUMP PRODUCT_NAME_FILE PRODUCT_VERSION_FILE
set -u
exe=$1 objdump=$2 product=$(cat "$3") version=$(cat "$4")
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

headers=$("$objdump" -p "$exe") || { echo "FAIL: objdump cannot read $exe"; exit 1; }

grep -q "^Magic.*020b" <<<"$headers" || fail "not a PE32+ image"
grep -q "Subsystem.*(Windows GUI)" <<<"$headers" || fail "subsystem is not Windows GUI"
"$objdump" -f "$exe" | grep -q "x86-64" || fail "not an x86-64 image"

# Every imported DLL must belong to Windows itself.
system_dlls=" kernel32.dll msvcrt.dll shell32.dll user32.dll advapi32.dll ntdll.dll "
while read -r dll; do
  lower=$(tr 'A-Z' 'a-z' <<<"$dll")
  case "$system_dlls" in
    *" $lower "*) ;;
    *) fail "imports $dll, which is not a Windows system DLL" ;;
  esac
done < <(sed -n 's/^\s*DLL Name: //p' <<<"$headers")
grep -qi "DLL Name: msvcrt.dll" <<<"$headers" || fail "does not use msvcrt"
# shell32 is bound on first use: loading it costs each instance a process start's worth under Wine.
! grep -qi "DLL Name: shell32.dll" <<<"$headers" || fail "imports shell32.dll, which it binds on first use"
# The import list is pinned: each DLL more is loaded by both instances of every run.
imports=$(sed -n 's/^\s*DLL Name: //p' <<<"$headers" | tr 'A-Z' 'a-z' | sort | tr '\n' ' ')
# ntdll is in every process already; advapi32 would be loaded by each start.
[ "$imports" = "kernel32.dll msvcrt.dll ntdll.dll " ] ||
  fail "imports $imports; expected kernel32.dll msvcrt.dll ntdll.dll (a new import is loaded by every start)"

resources=$(wrestool -l "$exe" 2>&1) || fail "wrestool cannot list resources: $resources"
grep -q "type=24" <<<"$resources" || fail "no manifest resource"
grep -q "type=16" <<<"$resources" || fail "no version resource"
grep -q "type=14" <<<"$resources" || fail "no icon group"
grep -q "\[type=icon " <<<"$resources" || fail "no icon"

manifest=$(wrestool -x --raw --type=24 "$exe" 2>/dev/null)
for needle in 'level="asInvoker"' 'uiAccess="false"' '<ws2016:longPathAware>true</ws2016:longPathAware>' \
              'name="Microsoft.Windows.Common-Controls" version="6.0.0.0"' \
              '35138b9a-5d96-4fbd-8e2d-a2440225f93a' '8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a'; do
  grep -qF "$needle" <<<"$manifest" || fail "manifest lacks $needle"
done

# The manifest is well-formed XML and names the product in its description.
description=$(python3 -c '
import sys, xml.dom.minidom
document = xml.dom.minidom.parseString(sys.stdin.buffer.read())
node = document.getElementsByTagName("description")[0]
sys.stdout.write("".join(child.data for child in node.childNodes))' <<<"$manifest" 2>&1) ||
  fail "manifest is not well-formed XML: $description"
[ "$description" = "$product" ] || fail "manifest description is '$description', not '$product'"

# Version strings are UTF-16LE in the resource.
utf16() { printf '%s' "$1" | iconv -f UTF-8 -t UTF-16LE | od -An -tx1 | tr -d ' \n'; }
version_hex=$(wrestool -x --raw --type=16 "$exe" 2>/dev/null | od -An -tx1 | tr -d ' \n')
for pair in "ProductName:$product" "ProductVersion:$version"; do
  key=${pair%%:*} value=${pair#*:}
  [[ $version_hex == *"$(utf16 "$key")"* ]] || fail "version resource lacks $key"
  [[ $version_hex == *"$(utf16 "$value")"* ]] || fail "version resource lacks the value '$value' of $key"
done

if [ "$failures" -ne 0 ]; then exit 1; fi
echo "launcher image OK: $(sed -n 's/^\s*DLL Name: //p' <<<"$headers" | tr '\n' ' ')"
