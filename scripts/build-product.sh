#!/usr/bin/env bash
# Builds the launcher for another product, in a build tree of its own, so
# that dist/ stays as `make` made it:
#   PRODUCT_NAME='My App' PRODUCT_VERSION=2.1.0 scripts/build-product.sh
# (what `make product PRODUCT_NAME=... PRODUCT_VERSION=...` runs). The
# launcher lands in dist/products/NAME-VERSION/ (CMake names the folder).
set -euo pipefail
cd "$(dirname "$0")/.."
name=${PRODUCT_NAME:?set PRODUCT_NAME to the product name}
version=${PRODUCT_VERSION:-1.0.0}
# The same folder name as CMake gives dist/products/.
folder=$(cmake -DNAME="$name" -DVERSION="$version" -P cmake/product_folder.cmake 2>&1)
tree=build/products/$folder
cmake --preset windows -B "$tree" -DVORBEL_PRODUCT_NAME="$name" -DVORBEL_PRODUCT_VERSION="$version" |
  grep "^-- Product" || true
cmake --build "$tree" --target launcher
