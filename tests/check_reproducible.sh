#!/usr/bin/env bash
# Builds the shipped Windows images a second time, from scratch, in another
# build tree, and compares them byte for byte with the first build's: the same
# sources and toolchain must give the same bytes wherever the tree lies. Also
# checks that no build path is written into them.
#   check_reproducible.sh SOURCE_DIR FIRST_BUILD_DIR SCRATCH_DIR ZSTD_SOURCE_DIR TARGET=IMAGE...
# IMAGE is the image's path relative to a build tree.
set -u
source_dir=$1 first=$2 scratch=$3 zstd=$4
shift 4
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

rm -rf "$scratch"
second=$scratch/another/build-tree
cmake -S "$source_dir" -B "$second" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$source_dir/cmake/mingw-w64-x86_64.cmake" -DCMAKE_BUILD_TYPE=MinSizeRel \
  -DVORBEL_ZSTD_SOURCE_DIR="$zstd" -DVORBEL_DIST_DIR="$scratch/dist" \
  -DVORBEL_PRODUCT_NAME="$(cat "$first/product_NAME.txt")" \
  -DVORBEL_PRODUCT_VERSION="$(cat "$first/product_VERSION.txt")" >"$scratch.log" 2>&1 ||
  { cat "$scratch.log"; echo "FAIL: configuring the second tree"; exit 1; }

targets=() images=()
for pair in "$@"; do targets+=("${pair%%=*}"); images+=("${pair#*=}"); done
cmake --build "$second" --target "${targets[@]}" >>"$scratch.log" 2>&1 ||
  { tail -40 "$scratch.log"; echo "FAIL: building the second tree"; exit 1; }

utf16() { printf '%s' "$1" | iconv -f UTF-8 -t UTF-16LE; }
for image in "${images[@]}"; do
  cmp -s "$first/$image" "$second/$image" ||
    fail "$image differs between the two trees: $(cmp "$first/$image" "$second/$image" | head -1)"
  for path in "$source_dir" "$first" "$second"; do
    if grep -qaF "$path" "$first/$image" || grep -qaF "$(utf16 "$path")" "$first/$image"; then
      fail "$image holds the build path $path"
    fi
  done
done

rm -rf "$scratch" "$scratch.log"
if [ "$failures" -ne 0 ]; then exit 1; fi
echo "reproducible: ${images[*]}"
