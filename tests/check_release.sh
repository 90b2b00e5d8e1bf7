#!/usr/bin/env bash
# The release archives as a user meets them: written twice (the second time
# under another umask) and compared byte for byte; SHA256SUMS, the entries,
# their dates and modes checked; the README's Linux and Windows blocks run as
# written with an application DLL; and examples/cmake_project built against
# the unpacked Linux archive, which lies elsewhere than it was installed.
#   check_release.sh SOURCE_DIR HOST_BUILD_DIR WINDOWS_BUILD_DIR WORK_DIR APP_DLL
set -euo pipefail
root=$1 host_tree=$2 windows_tree=$3 work=$4 app_dll=$5
wine=$(ls /usr/lib/wine/wine64 2>/dev/null || command -v wine64 || command -v wine)
wine_run=("$root/scripts/wine-run.sh" "$windows_tree/wine-prefix" "$wine")
fail() { echo "FAIL: $*"; exit 1; }
rm -rf "$work"
mkdir -p "$work"
export SOURCE_DATE_EPOCH=1700000000

release() {
  python3 "$root/scripts/make-release.py" --source "$root" --host-tree "$host_tree" \
    --windows-tree "$windows_tree" --out "$1" >"$work/release.log" 2>&1 || { cat "$work/release.log"; fail "make-release"; }
}
release "$work/first"
(umask 077 && release "$work/second")
version=$("$host_tree/packer/vorbel-pack" --version | head -n 1 | cut -d' ' -f2)
linux=vorbel-$version-linux-x86_64 windows=vorbel-$version-windows-x86_64
for file in $linux.tar.gz $windows.zip SHA256SUMS; do
  cmp "$work/first/$file" "$work/second/$file" || fail "$file differs between two releases of the same build"
done
(cd "$work/first" && sha256sum --quiet -c SHA256SUMS) || fail "SHA256SUMS does not match the archives"
[ "$(wc -l <"$work/first/SHA256SUMS")" = 2 ] || fail "SHA256SUMS should list exactly the two archives"

# Every entry, with its mode and date, as a user's tar and unzip will see them.
python3 - "$work/first" "$linux" "$windows" <<'EOF' || fail "archive entries"
import calendar, sys, tarfile, zipfile
folder, linux, windows = sys.argv[1:]
common = ["README.md", "include/", "include/vorbel_app_main.h", "lib/", "lib/cmake/", "lib/cmake/vorbel/",
          "lib/cmake/vorbel/mingw-w64-x86_64.cmake", "lib/cmake/vorbel/vorbelConfig.cmake",
          "lib/cmake/vorbel/vorbelConfigVersion.cmake", "lib/libvorbel_adapter.a", "share/", "share/doc/",
          "share/doc/vorbel/", "share/doc/vorbel/LICENSE", "share/doc/vorbel/LICENSE.zstd", "share/vorbel/", "share/vorbel/launcher.exe", "bin/"]
executables = {"bin/vorbel-pack", "bin/vorbel-pack.exe", "share/vorbel/launcher.exe"}
def check(top, found, tool):
    expected = sorted(f"{top}/{name}" for name in common + [tool])
    names = [name for name, _, _ in found]
    assert names == expected, f"{top}: entries {names}, expected {expected}"
    for name, mode, stamp in found:
        inner = name[len(top) + 1:]
        want = 0o755 if inner.endswith("/") or inner in executables else 0o644
        assert mode == want, f"{name}: mode {mode:o}, expected {want:o}"
        assert stamp == 1700000000, f"{name}: dated {stamp}"
with tarfile.open(f"{folder}/{linux}.tar.gz") as archive:
    members = archive.getmembers()
    assert all(m.uid == 0 and m.gid == 0 for m in members), "owners other than root"
    check(linux, [(m.name + "/" if m.isdir() else m.name, m.mode, m.mtime) for m in members], "bin/vorbel-pack")
with zipfile.ZipFile(f"{folder}/{windows}.zip") as archive:
    check(windows, [(i.filename, (i.external_attr >> 16) & 0o777, calendar.timegm(i.date_time))
                    for i in archive.infolist()], "bin/vorbel-pack.exe")
EOF

# A README block after its marker, fenced by ```.
readme_block() {
  awk -v marker="<!-- $1 -->" '$0 == marker { found = 1; next }
    found && /^```/ { if (inside) exit; inside = 1; next }
    inside { print }' "$root/README.md"
}
check_probe_output() {
  tr -d '\r' <"$1" >"$1.lf"
  grep -qx "arg=00740077006f00200077006f007200640073" "$1.lf" || fail "$2: MyApp.exe did not get \"two words\" ($(cat "$1.lf"))"
  grep -q '\\myapp.dll$' "$1.lf" || fail "$2: MyApp.exe did not run myapp.dll"
}

mkdir "$work/linux"
cp "$work/first/$linux.tar.gz" "$app_dll" "$work/linux/"
mv "$work/linux/$(basename "$app_dll")" "$work/linux/myapp.dll"
readme_block release-linux >"$work/linux.sh"
grep -q "$linux.tar.gz" "$work/linux.sh" || fail "the README's Linux block does not name $linux.tar.gz"
(cd "$work/linux" && wine() { "${wine_run[@]}" "$@"; } && set -e && . "$work/linux.sh") >"$work/linux.out" 2>&1 \
  || { cat "$work/linux.out"; fail "the README's Linux block"; }
check_probe_output "$work/linux.out" "Linux block"

# Wine has no tar.exe: the block's tar line is done by Python; cmd runs the rest as a batch file.
mkdir "$work/windows"
cp "$work/first/$windows.zip" "$app_dll" "$work/windows/"
mv "$work/windows/$(basename "$app_dll")" "$work/windows/myapp.dll"
readme_block release-windows >"$work/windows.txt"
grep -qx "tar -xf $windows.zip" "$work/windows.txt" || fail "the README's Windows block does not unpack $windows.zip"
(cd "$work/windows" && python3 -m zipfile -e "$windows.zip" .)
grep -v '^tar ' "$work/windows.txt" | sed 's/$/\r/' >"$work/windows/block.bat"
(cd "$work/windows" && "${wine_run[@]}" cmd /c block.bat) >"$work/windows.out" 2>&1 \
  || { cat "$work/windows.out"; fail "the README's Windows block"; }
check_probe_output "$work/windows.out" "Windows block"

# The CMake package of the unpacked archive, moved from where it was installed.
prefix=$work/linux/$linux build=$work/cmake_build
cmake -S "$root/examples/cmake_project" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=MinSizeRel -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_TOOLCHAIN_FILE="$prefix/lib/cmake/vorbel/mingw-w64-x86_64.cmake" >"$work/cmake.log" 2>&1 \
  && cmake --build "$build" >>"$work/cmake.log" 2>&1 || { cat "$work/cmake.log"; fail "examples/cmake_project against the archive"; }
set +e
"${wine_run[@]}" "$build/hello.exe" 5 >"$work/hello.out" 2>&1
status=$?
set -e
[ "$status" = 5 ] && grep -q "argument 1: 5" "$work/hello.out" || fail "hello.exe from the archive's package: status $status, $(cat "$work/hello.out")"
echo "release: $linux.tar.gz and $windows.zip reproducible, listed, and used as the README says"
