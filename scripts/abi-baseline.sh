#!/usr/bin/env bash
# Rewrites the ABI baseline abi/<SONAME>.abi from the current public headers: abi-baseline.sh
# [BUILD_DIR]. Only with an additive change or a SONAME bump (docs/abi.md).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
library=$("$root/scripts/abi-library.sh" "${1:-$root/build/abi}")
soname=$(objdump -p "$library" | awk '$1 == "SONAME" { print $2 }')
mkdir -p "$root/abi"
rm -f "$root"/abi/*.abi
abidw --no-corpus-path --no-comp-dir-path --no-show-locs --type-id-style hash --drop-private-types \
  --headers-dir "$root/include/tervala" --out-file "$root/abi/$soname.abi" "$library"
echo "abi: wrote abi/$soname.abi"
