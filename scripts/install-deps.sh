#!/usr/bin/env bash
# Installs everything the build and the tests need on a Debian machine, as root.
# Idempotent: packages already present are not touched, and apt is only asked
# when something is missing. Also fetches Debian's libzstd source (the host's
# revision of libzstd-dev, or the next Debian serves: never an older one) and
# Debian's Lua 5.4 source into the directory given as $1, for the Windows
# build (the launcher, and the worked examples).
set -euo pipefail

src_dir="${1:-}"
packages=(
  build-essential cmake ninja-build pkg-config dpkg-dev
  clang libclang-rt-dev
  mingw-w64 g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
  wine wine64
  libzstd-dev zstd
  googletest
  icoutils
  python3
  osslsigncode openssl
)
# `make bench` also needs a plotting tool and GNU time.
if [ "${VORBEL_BENCH_DEPS:-0}" = 1 ]; then packages+=(gnuplot-nox python3 time); fi

sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

updated=0
apt_update() {
  if [ "$updated" -eq 0 ]; then
    "${sudo_cmd[@]}" apt-get update -qq
    updated=1
  fi
}

if [ "${#missing[@]}" -gt 0 ]; then
  echo "installing: ${missing[*]}"
  apt_update
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

[ -n "$src_dir" ] || exit 0
# Absolute: apt runs below it with paths into it.
src_dir=$(realpath -m "$src_dir")

# Debian's libzstd source for the Windows build, unpacked into $src_dir/libzstd.
# The launcher and vorbel-pack.exe link it statically, so it must carry every
# fix the host's library has: the host's own Debian revision, or, when the
# archive does not serve that source (security updates are sometimes published
# without it), the oldest newer version Debian serves as source, from the
# machine's suites or the next release's. Never an older revision.
host_version=$(dpkg-query -W -f='${Version}' libzstd-dev)
stamp="$src_dir/.libzstd-for-$host_version"
zstd_ready() { [ -f "$stamp" ] && [ -f "$src_dir/libzstd/.debian-version" ]; }
# Debian's Lua 5.4 source, unpacked into $src_dir/lua5.4: any revision the
# archive serves, since nothing on the host must match it.
lua_stamp="$src_dir/.lua5.4-source"
if zstd_ready && [ -f "$lua_stamp" ]; then exit 0; fi

# deb-src stanzas for Debian's own entries in the apt configuration, so that no
# archive address is written anywhere by this script. $1: "own" keeps the
# machine's suites; a suite name takes that suite of the main archive instead.
debian_source_entries() {
  local suite=$1 f
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] && [ "$f" != "$src_list" ] || continue
    if [ "$suite" = own ]; then
      awk -v RS= -v ORS='\n\n' '/debian-archive-keyring/ && /Types:[^\n]*deb/ { sub(/Types:[^\n]*/, "Types: deb-src"); print }' "$f"
    else
      awk -v RS= -v ORS='\n\n' -v suite="$suite" '/debian-archive-keyring/ && /Types:[^\n]*deb/ && !/debian-security/ {
        sub(/Types:[^\n]*/, "Types: deb-src"); sub(/Suites:[^\n]*/, "Suites: " suite); print }' "$f"
    fi
  done
  if [ -f /etc/apt/sources.list ]; then
    # One-line format: each "deb" line of Debian's archive gets a "deb-src" twin.
    grep -E '^deb\s' /etc/apt/sources.list | grep -E '/debian(-security)?/?\s' |
      awk -v suite="$suite" '$2 ~ /security/ && suite != "own" { next }
        { printf "Types: deb-src\nURIs: %s\nSuites: %s\nComponents:", $2, (suite == "own" ? $3 : suite); for (i = 4; i <= NF; i++) printf " %s", $i; printf "\n\n" }' || true
  fi
}

# apt-get source needs deb-src entries for the machine's own suites.
src_list=/etc/apt/sources.list.d/vorbel-deb-src.sources
if ! apt-get source --print-uris "libzstd=$host_version" >/dev/null 2>&1; then
  tmp=$(mktemp)
  debian_source_entries own >"$tmp"
  if [ ! -s "$tmp" ]; then
    echo "install-deps: no Debian archive entry found in the apt configuration to derive deb-src from" >&2
    rm -f "$tmp"
    exit 1
  fi
  "${sudo_cmd[@]}" install -m 644 "$tmp" "$src_list"
  rm -f "$tmp"
  updated=0
  apt_update
fi

mkdir -p "$src_dir"

if [ ! -f "$lua_stamp" ]; then
  work=$(mktemp -d "$src_dir/.fetch.XXXXXX")
  if ! (cd "$work" && apt-get source -qq lua5.4 >/dev/null 2>&1); then
    echo "install-deps: could not fetch Debian's lua5.4 source" >&2
    rm -rf "$work"
    exit 1
  fi
  dir=$(find "$work" -mindepth 1 -maxdepth 1 -type d | head -n 1)
  rm -rf "$src_dir/lua5.4"
  mv "$dir" "$src_dir/lua5.4"
  rm -rf "$work"
  touch "$lua_stamp"
  echo "lua5.4 source in $src_dir/lua5.4"
fi
if zstd_ready; then exit 0; fi

work=$(mktemp -d "$src_dir/.fetch.XXXXXX")
fetched=""
# Versions of libzstd's source that apt (with the options given) knows of and
# that are no older than the host's, oldest first: the smallest step up.
no_older_versions() {
  apt-cache "$@" showsrc libzstd 2>/dev/null | sed -n 's/^Version: //p' | sort -u -V |
    while read -r v; do if dpkg --compare-versions "$v" ge "$host_version"; then echo "$v"; fi; done
}
try_versions() {  # apt options...; reads versions on stdin
  local v
  while read -r v; do
    if (cd "$work" && apt-get "$@" source -qq "libzstd=$v" </dev/null >/dev/null 2>&1); then
      fetched=$v
      return 0
    fi
    echo "install-deps: libzstd source $v is not served"
    rm -rf "${work:?}"/*
  done
  return 1
}
try_versions < <(no_older_versions) || true

if [ -z "$fetched" ]; then
  # The next Debian release's suites, through an apt state of this script's own
  # below $src_dir: the machine's sources, lists and installed packages stay
  # as they are.
  codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
  case "$codename" in
    bullseye) later=(bookworm trixie) ;;
    bookworm) later=(trixie) ;;
    trixie) later=(forky) ;;
    *) later=() ;;
  esac
  later+=(stable testing)
  apt_dir="$src_dir/.apt"
  own_apt=(-o Dir::Etc::SourceList=/dev/null -o "Dir::Etc::SourceParts=$apt_dir/parts"
    -o "Dir::State::Lists=$apt_dir/lists" -o "Dir::Cache=$apt_dir/cache")
  for suite in "${later[@]}"; do
    rm -rf "$apt_dir"
    mkdir -p "$apt_dir/parts" "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial"
    debian_source_entries "$suite" >"$apt_dir/parts/debian-src.sources"
    [ -s "$apt_dir/parts/debian-src.sources" ] || continue
    "${sudo_cmd[@]}" apt-get "${own_apt[@]}" update -qq >/dev/null 2>&1 || continue
    if try_versions "${own_apt[@]}" < <(no_older_versions "${own_apt[@]}"); then break; fi
  done
  rm -rf "$apt_dir"
fi
if [ -z "$fetched" ]; then
  echo "install-deps: Debian serves no libzstd source as new as the host's $host_version" >&2
  rm -rf "$work"
  exit 1
fi
dir=$(find "$work" -mindepth 1 -maxdepth 1 -type d | head -n 1)
rm -rf "$src_dir/libzstd"
mv "$dir" "$src_dir/libzstd"
rm -rf "$work"
echo "$fetched" >"$src_dir/libzstd/.debian-version"

# A newer version's changelog can predate a fix that the host's revision
# carries, so a version number proves nothing by itself. The host's changelog
# names one change that shows from outside: streaming decompression needs
# 128 KB less. A frame of 1000 bytes that does not declare its size shows it:
# what a stream that decoded it holds, with the host's library and with the
# fetched source's decoder, must agree (a few bytes of field layout aside).
check="shown: same revision as the host's"
if [ "$fetched" != "$host_version" ]; then
  probe=$(mktemp -d)
  here=$(cd "$(dirname "$0")" && pwd)
  zlib="$src_dir/libzstd/lib"
  head -c 1000 < <(yes vorbel) >"$probe/plain"
  zstd -q -f --no-content-size -c "$probe/plain" >"$probe/frame"
  if gcc -O1 "$here/zstd_stream_memory.c" -o "$probe/host" -lzstd &&
    gcc -O1 -DZSTD_DISABLE_ASM -I"$zlib" -I"$zlib/common" "$here/zstd_stream_memory.c" "$zlib"/common/*.c \
      "$zlib"/decompress/*.c -o "$probe/source"; then
    host_bytes=$("$probe/host" <"$probe/frame")
    source_bytes=$("$probe/source" <"$probe/frame")
    if [ "$source_bytes" -le $((host_bytes + 64)) ]; then
      check="shown: a stream decoding a frame without its size holds $source_bytes bytes with it, $host_bytes with the host's library"
    else
      check="NOT shown: a stream decoding a frame without its size holds $source_bytes bytes with it, $host_bytes with the host's library"
    fi
  else
    check="NOT shown: the memory probe could not be built"
  fi
  rm -rf "$probe"
fi
echo "$check" >"$src_dir/libzstd/.fix-check"
touch "$stamp"
echo "libzstd $fetched source in $src_dir/libzstd (the host's library is $host_version)"
echo "install-deps: the host's streaming-memory fix in it: $check"
