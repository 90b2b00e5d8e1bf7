#!/usr/bin/env bash
# Whole dependency chains, with a C++ DLL built without -static (it imports
# libstdc++-6.dll, which imports libgcc_s_seh-1.dll and libwinpthread-1.dll):
# --search-path with the toolchain's folders adds all three in one run and the
# program runs under Wine; --strict without them refuses and writes nothing;
# a payload that lacks the last of the chain stops at start-up with a line of
# its own naming that DLL and a DLL of the payload that imports it.
#   check_dependency_chain.sh VORBEL-PACK LAUNCHER.exe SHARED_RUNTIME.dll MINGW_CXX WINE_PREFIX
set -euo pipefail
pack=$(realpath "$1") launcher=$(realpath "$2") app=$(realpath "$3") cxx=$4 prefix=$5
. "$(dirname "$0")/support/wine_scratch.sh"
cp "$app" app.dll

# Where this toolchain keeps the DLLs (the C++ ones and winpthread lie apart).
folder_of() {
  local file
  file=$("$cxx" -print-file-name="$1")
  [ -f "$file" ] || fail "$cxx does not know $1"
  dirname "$(realpath "$file")"
}
gcc_folder=$(folder_of libstdc++-6.dll) pthread_folder=$(folder_of libwinpthread-1.dll)

"$pack" build --launcher "$launcher" --app app.dll --search-path "$gcc_folder" --search-path "$pthread_folder" \
  --strict --level 1 -o chain.exe 2>err.txt || { cat err.txt; fail "packing with --search-path"; }
listed=$("$pack" list chain.exe | awk '$1 ~ /^[0-9]+$/ {print $2}' | tr '\n' ' ')
[ "$listed" = "app.dll libgcc_s_seh-1.dll libstdc++-6.dll libwinpthread-1.dll " ] || fail "packed: $listed"
set +e
run chain.exe 42 >out.txt 2>&1
status=$?
set -e
[ "$status" = 42 ] || fail "chain.exe 42 exited with $status: $(cat out.txt)"

set +e
"$pack" build --launcher "$launcher" --app app.dll --strict -o strict.exe 2>err.txt
status=$?
set -e
[ "$status" = 1 ] || fail "--strict without the DLLs: status $status"
[ ! -e strict.exe ] || fail "--strict left strict.exe"
grep -q "^vorbel-pack: app.dll: imports libstdc++-6.dll, " err.txt || fail "--strict: $(cat err.txt)"
grep -q "imports libgcc_s_seh-1.dll, .*the mingw-w64 toolchain holds it in" err.txt || fail "--strict: $(cat err.txt)"
grep -q "^vorbel-pack: strict.exe: not written" err.txt || fail "--strict: $(cat err.txt)"

# libstdc++-6.dll is unpacked, but what it imports from winpthread is not.
"$pack" build --launcher "$launcher" --app app.dll --add "$gcc_folder/libstdc++-6.dll" \
  --add "$gcc_folder/libgcc_s_seh-1.dll" --level 1 -o short.exe 2>/dev/null
set +e
run short.exe 42 >out.txt 2>err.txt
status=$?
set -e
tr -d '\r' <err.txt >err.lf
[ "$status" = 2 ] || fail "without libwinpthread-1.dll: status $status"
grep -q "^Error, load DLL. (\[Error 126\] " err.lf || fail "no Error 126: $(cat err.lf)"
# Both import it; the one named is the first whose imports are read (app.dll's own order decides).
grep -Eqx "Error, 'lib(stdc\+\+-6|gcc_s_seh-1)\.dll' imports 'libwinpthread-1\.dll', which is neither among the unpacked files nor in the system directory\." err.lf \
  || fail "the missing DLL is not named on a line of its own: $(cat err.lf)"
echo "dependency chains: added in one run, refused by --strict, named at start-up"
