#!/usr/bin/env bash
# Builds the launcher for a product whose name and version hold quotes,
# backslashes, markup characters and non-ASCII text, in a tree of its own,
# then checks its image (version resource, manifest) and runs the unit tests
# that compare {PRODUCT} and {VERSION} with the configured text.
#   check_product_name.sh SOURCE_DIR SCRATCH_DIR ZSTD_SOURCE_DIR OBJDUMP WINE_RUN PREFIX WINE64
set -u
source_dir=$1 scratch=$2 zstd=$3 objdump=$4 wine_run=$5 prefix=$6 wine=$7
name='Café "Pro" \ <&> ✓ 𝄞'
version='2.1-beta "x" \ é'

rm -rf "$scratch"
tree=$scratch/tree
cmake -S "$source_dir" -B "$tree" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$source_dir/cmake/mingw-w64-x86_64.cmake" -DCMAKE_BUILD_TYPE=MinSizeRel \
  -DVORBEL_ZSTD_SOURCE_DIR="$zstd" -DVORBEL_DIST_DIR="$scratch/dist" \
  -DVORBEL_PRODUCT_NAME="$name" -DVORBEL_PRODUCT_VERSION="$version" >"$scratch.log" 2>&1 ||
  { cat "$scratch.log"; echo "FAIL: configuring with product name '$name'"; exit 1; }
cmake --build "$tree" --target launcher windows_unit_tests >>"$scratch.log" 2>&1 ||
  { tail -40 "$scratch.log"; echo "FAIL: building with product name '$name'"; exit 1; }

failures=0
[ "$(cat "$tree/product_NAME.txt")" = "$name" ] || { echo "FAIL: the configured name did not arrive whole"; failures=1; }
bash "$source_dir/tests/check_launcher_image.sh" "$tree/launcher/launcher.exe" "$objdump" \
  "$tree/product_NAME.txt" "$tree/product_VERSION.txt" || failures=1
[ -f "$scratch/dist/launcher.exe" ] || { echo "FAIL: the launcher did not reach the product's folder"; failures=1; }
"$wine_run" "$prefix" "$wine" "$tree/windows_unit_tests.exe" --gtest_filter='ExpandPathSpec.ProductAndVersion*' ||
  failures=1

rm -rf "$scratch" "$scratch.log"
exit "$failures"
