#!/usr/bin/env bash
# Installs everything the build and the tests need on a Debian machine, as root.
# Idempotent: packages already present are not touched, and apt is only asked
# when something is missing. Also fetches Debian's libzstd source (same version
# as the host's libzstd-dev) and Debian's Lua 5.4 source into the directory
# given as $1, for the Windows build (the launcher, and the worked examples).
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

# Debian's libzstd source, unpacked into $src_dir/libzstd.
version=$(dpkg-query -W -f='${Version}' libzstd-dev)
upstream=${version#*:}
upstream=${upstream%-*}
upstream=${upstream%+*}
stamp="$src_dir/.libzstd-$version"
# Debian's Lua 5.4 source, unpacked into $src_dir/lua5.4: any revision the
# archive serves, since nothing on the host must match it.
lua_stamp="$src_dir/.lua5.4-source"
if [ -f "$stamp" ] && [ -f "$lua_stamp" ]; then exit 0; fi

# apt-get source needs deb-src entries. They are derived from the machine's own
# Debian entries (the same archives and suites), so no archive address is
# written anywhere by this script.
src_list=/etc/apt/sources.list.d/vorbel-deb-src.sources
if ! apt-get source --print-uris "libzstd=$version" >/dev/null 2>&1; then
  tmp=$(mktemp)
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] && [ "$f" != "$src_list" ] || continue
    # Keep the stanzas of Debian's own archive: "Types: deb" becomes "Types: deb-src".
    awk -v RS= -v ORS='\n\n' '/debian-archive-keyring/ && /Types:[^\n]*deb/ { sub(/Types:[^\n]*/, "Types: deb-src"); print }' "$f" >>"$tmp"
  done
  if [ -f /etc/apt/sources.list ]; then
    # One-line format: each "deb" line of Debian's archive gets a "deb-src" twin.
    grep -E '^deb\s' /etc/apt/sources.list | grep -E '/debian(-security)?/?\s' |
      awk '{ printf "Types: deb-src\nURIs: %s\nSuites: %s\nComponents:", $2, $3; for (i = 4; i <= NF; i++) printf " %s", $i; printf "\n\n" }' >>"$tmp" || true
  fi
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
if [ -f "$stamp" ]; then exit 0; fi

work=$(mktemp -d "$src_dir/.fetch.XXXXXX")
# The exact Debian revision first; if the archive no longer serves it (security
# updates are sometimes published without their source in the mirror), the
# newest revision of the same upstream release that it does serve.
candidates=("$version")
while read -r v; do
  [ "$v" != "$version" ] && [ "${v%-*}" = "${version%-*}" ] && candidates+=("$v")
done < <(apt-cache showsrc libzstd | sed -n 's/^Version: //p' | sort -r -V)
fetched=""
for v in "${candidates[@]}"; do
  if (cd "$work" && apt-get source -qq "libzstd=$v" >/dev/null 2>&1); then fetched=$v; break; fi
  rm -rf "${work:?}"/*
done
if [ -z "$fetched" ]; then
  echo "install-deps: could not fetch Debian's libzstd source for $version" >&2
  exit 1
fi
[ "$fetched" = "$version" ] || echo "install-deps: libzstd source $version is not served; using $fetched (same upstream release)"
dir=$(find "$work" -mindepth 1 -maxdepth 1 -type d | head -n 1)
rm -rf "$src_dir/libzstd"
mv "$dir" "$src_dir/libzstd"
rm -rf "$work"
echo "$upstream" >"$src_dir/libzstd/.upstream-version"
touch "$stamp"
echo "libzstd $version source in $src_dir/libzstd"
