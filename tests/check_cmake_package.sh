#!/usr/bin/env bash
# The installed package as a user meets it: both trees installed into a
# scratch prefix, examples/cmake_project configured with the installed
# toolchain file and find_package(vorbel), its DLLs and packed program built and
# run under Wine; an added file touched or changed repacks, and so does a change
# to the helper DLL added by $<TARGET_FILE:helper>; a build without changes does
# nothing; CACHE and CACHE_DIR reach the settings record; SIGN_COMMAND signs
# copies of the DLLs and the packed program.
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

"$prefix/bin/vorbel-pack" list "$build/hello-cached.exe" >"$work/cached.txt"
grep -qx "cache: application 'Hello', bundle [0-9a-f]\{16\}, root {CACHE_DIR}\\\\Example Ltd" "$work/cached.txt" \
  || { cat "$work/cached.txt"; fail "CACHE and CACHE_DIR did not reach hello-cached.exe's settings record"; }
# Generator expressions that come out empty in this configuration are left
# out; a relative one is taken from the project's folder, not the build's.
grep -q "notes[/\\]greeting.txt" "$work/cached.txt" \
  || { cat "$work/cached.txt"; fail "the relative item for this configuration is not in hello-cached.exe"; }
if grep -q "debug-notes" "$work/cached.txt"; then fail "the item for Debug only was packed"; fi
grep -qx "settings: version 3, progress line, 0 built-in arguments" "$work/cached.txt" \
  || { cat "$work/cached.txt"; fail "PROGRESS did not reach hello-cached.exe's settings record"; }

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
# SIGN_COMMAND, with osslsigncode and a throwaway authority: the packed
# program and the DLLs inside it are signed, the build's own DLLs are not, and
# a build without changes signs nothing again.
signing=$work/signing
mkdir -p "$signing"
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$signing/ca.key" -out "$signing/ca.pem" -days 2 \
  -subj "/CN=vorbel throwaway test authority" -addext "basicConstraints=critical,CA:true" \
  -addext "keyUsage=critical,keyCertSign" 2>/dev/null
openssl req -newkey rsa:2048 -nodes -keyout "$signing/signer.key" -out "$signing/signer.csr" \
  -subj "/CN=vorbel test signer" 2>/dev/null
printf 'basicConstraints=critical,CA:false\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=codeSigning\n' \
  >"$signing/signer.ext"
openssl x509 -req -in "$signing/signer.csr" -CA "$signing/ca.pem" -CAkey "$signing/ca.key" -CAcreateserial \
  -out "$signing/signer.pem" -days 2 -extfile "$signing/signer.ext" 2>/dev/null
cat >"$signing/sign.sh" <<SIGN
#!/usr/bin/env bash
set -e
osslsigncode sign -certs "$signing/signer.pem" -key "$signing/signer.key" -h sha256 -in "\$1" -out "\$1.signing" >/dev/null
mv "\$1.signing" "\$1"
echo "signed \$1" >>"$signing/signed.log"
SIGN
chmod +x "$signing/sign.sh"
verifies() { osslsigncode verify -CAfile "$signing/ca.pem" -in "$1" >/dev/null 2>&1; }
signed_build=$work/signed-build
cmake -S "$project" -B "$signed_build" -G Ninja -DCMAKE_BUILD_TYPE=MinSizeRel -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_TOOLCHAIN_FILE="$prefix/lib/cmake/vorbel/mingw-w64-x86_64.cmake" \
  "-DHELLO_SIGN_COMMAND=$signing/sign.sh;{file}" >"$work/configure-signed.log" \
  || { cat "$work/configure-signed.log"; fail "configure with SIGN_COMMAND"; }
cmake --build "$signed_build" -j2 >"$work/build.log" 2>&1 || { cat "$work/build.log"; fail "build with SIGN_COMMAND"; }
verifies "$signed_build/hello-signed.exe" || fail "the packed program is not signed"
if verifies "$signed_build/hello.dll"; then fail "the build's own hello.dll was signed in place"; fi
"$prefix/bin/vorbel-pack" extract "$signed_build/hello-signed.exe" "$signing/extracted" >/dev/null
verifies "$signing/extracted/hello.dll" || fail "hello.dll inside the packed program is not signed"
verifies "$signing/extracted/helper.dll" || fail "the helper inside the packed program is not signed"
[ "$(wc -l <"$signing/signed.log")" = 3 ] || fail "signed other than three files: $(cat "$signing/signed.log")"
cmake --build "$signed_build" -j2 >"$work/build.log" 2>&1
grep -q "no work to do" "$work/build.log" || { cat "$work/build.log"; fail "a signed build without changes did work"; }
[ "$(wc -l <"$signing/signed.log")" = 3 ] || fail "a build without changes signed again"
set +e
"$root/scripts/wine-run.sh" "$windows_tree/wine-prefix" "$wine" "$signed_build/hello-signed.exe" 4 >"$work/out.txt" 2>&1
status=$?
set -e
[ "$status" = 4 ] || fail "the signed program exited with $status: $(cat "$work/out.txt")"
echo "installed package: example project built, packed, run and repacked; signed with SIGN_COMMAND"
