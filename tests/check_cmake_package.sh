#!/usr/bin/env bash
# The installed package as a user meets it: both trees installed into a
# scratch prefix, examples/cmake_project configured with the installed
# toolchain file and find_package(vorbel), its DLLs and packed program built and
# run under Wine; an added file touched or changed repacks, and so does a change
# to the helper DLL added by $<TARGET_FILE:helper>; a build without changes does
# nothing.
#   check_cmake_package.sh SOURCE_DIR HOST_BUILD_DIR WINDOWS_BUILD_DIR WORK_DIR
set -euo pipefail
root=$1 host_tree=$2 windows_tree=$3 work=$4
wine=$(ls /usr/lib/wine/wine64 2>/dev/null || command -v wine64 || command -v wine)
fail() { echo "FAIL: $*"; exit 1; }
rm -rf "$work"
mkdir -p "$work"
prefix=$work/prefix project=$work/project build=$work/build

cmake --install "$host_tree" --prefix "$prefix" >"$work/install.log"
cmake --install "$windows_tree" --prefix "$prefix" >>"$work/install.log"
for file in bin/vorbel-pack bin/vorbel-pack.exe share/vorbel/launcher.exe lib/libvorbel_adapter.a \
            include/vorbel_app_main.h lib/cmake/vorbel/vorbelConfig.cmake \
            lib/cmake/vorbel/vorbelConfigVersion.cmake lib/cmake/vorbel/mingw-w64-x86_64.cmake \
            share/doc/vorbel/LICENSE share/doc/vorbel/LICENSE.zstd; do
  [ -f "$prefix/$file" ] || fail "not installed: $file"
done

# The example is built from a copy, so that changing its added file leaves the sources alone.
cp -r "$root/examples/cmake_project" "$project"
cmake -S "$project" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=MinSizeRel -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_TOOLCHAIN_FILE="$prefix/lib/cmake/vorbel/mingw-w64-x86_64.cmake" >"$work/configure.log" \
  || { cat "$work/configure.log"; fail "configure"; }
build() { cmake --build "$build" -j2 >"$work/build.log" 2>&1 || { cat "$work/build.log"; fail "build"; }; }
build
grep -q "Packing hello.exe" "$work/build.log" || fail "the first build did not pack"

run() {
  set +e
  "$root/scripts/wine-run.sh" "$windows_tree/wine-prefix" "$wine" "$build/hello.exe" "$@" >"$work/out.txt" 2>"$work/err.txt"
  status=$?
  set -e
  tr -d '\r' <"$work/out.txt" >"$work/out.lf"
}
run 7 "two words"
printf 'Hello from the example project.\nhelper: packed beside hello.dll\nargument 1: 7\nargument 2: two words\n' >"$work/expected.txt"
diff "$work/expected.txt" "$work/out.lf" || fail "hello.exe printed other text (stderr: $(cat "$work/err.txt"))"
[ "$status" = 7 ] || fail "hello.exe exited with $status, not 7"

build
grep -q "no work to do" "$work/build.log" || { cat "$work/build.log"; fail "a build without changes did work"; }

# ninja compares modification times; the pause keeps them apart on coarse clocks.
sleep 1
touch "$project/data/greeting.txt"
build
grep -q "Packing hello.exe" "$work/build.log" || { cat "$work/build.log"; fail "touching the added file did not repack"; }
build
grep -q "no work to do" "$work/build.log" || { cat "$work/build.log"; fail "the build after the repack did work"; }

sleep 1
echo "Changed greeting." >"$project/data/greeting.txt"
build
run
printf 'Changed greeting.\nhelper: packed beside hello.dll\n' | diff - "$work/out.lf" \
  || fail "the repacked program shows another greeting"
[ "$status" = 0 ] || fail "hello.exe without arguments exited with $status"

# The helper DLL, added by its generator expression, is a dependency of the packing (hello.dll does not link it).
sleep 1
sed -i 's/packed beside hello.dll/changed and repacked/' "$project/helper.c"
build
grep -q "Packing hello.exe" "$work/build.log" || { cat "$work/build.log"; fail "changing the helper DLL did not repack"; }
run
printf 'Changed greeting.\nhelper: changed and repacked\n' | diff - "$work/out.lf" \
  || fail "the repacked program shows the helper's old text"

# The installed tool finds the installed launcher by itself (bin/ beside share/vorbel/).
"$prefix/bin/vorbel-pack" build --app "$build/hello.dll" -o "$work/default_launcher.exe" 2>"$work/pack.err" \
  || { cat "$work/pack.err"; fail "the installed vorbel-pack did not find its launcher"; }
echo "installed package: example project built, packed, run and repacked"
