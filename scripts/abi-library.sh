#!/usr/bin/env bash
# Builds the shared library alone, with debug information, for its ABI to be read:
# abi-library.sh DIR. Prints the path of the built library. abi-check.sh and abi-baseline.sh
# build it the same way, so the baseline and the check see the same compiler output.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=$1
"$root/scripts/build.sh" "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_SHARED_LIBS=ON \
  -DTERVALA_BUILD_TESTS=OFF -DTERVALA_BUILD_CLI=OFF -DTERVALA_INSTALL=OFF >&2
readlink -f "$dir/libtervala.so"
