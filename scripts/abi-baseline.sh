#!/usr/bin/env bash
# Rewrites the ABI baseline abi/<SONAME>.abi: abi-baseline.sh [LIBRARY | BUILD_DIR]. LIBRARY is a
# libtervala.so built with debug information (the package build's, under build/package); without
# one the library is built into BUILD_DIR (build/abi) as the package builds it. Only with an
# additive change or a SONAME bump (docs/abi.md).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
library=$("$root/scripts/abi-library.sh" "${1:-$root/build/abi}")
soname=$(objdump -p "$library" | awk '$1 == "SONAME" { print $2 }')
mkdir -p "$root/abi"
rm -f "$root"/abi/*.abi
# The exported functions and variables and the types they reach; the compiler's -ffile-prefix-map
# makes header paths relative, so the types are not filtered by header folder.
abidw --no-corpus-path --no-comp-dir-path --no-show-locs --exported-interfaces-only --drop-undefined-syms \
  --out-file "$root/abi/$soname.abi" "$library"
echo "abi: wrote abi/$soname.abi"
