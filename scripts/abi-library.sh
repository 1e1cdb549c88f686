#!/usr/bin/env bash
# Builds the shared library alone, as the Debian package builds it (dpkg-buildflags: -g -O2 and
# the hardening flags), for its ABI to be read: abi-library.sh DIR|LIBRARY. Prints the path of
# the library, or of LIBRARY when it is one already.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=$1
if [[ -f $dir ]]; then
  readlink -f "$dir"  # a library built already (the package build's)
  exit 0
fi
"$root/scripts/build.sh" "$dir" -DCMAKE_BUILD_TYPE=None -DCMAKE_CXX_FLAGS="$(dpkg-buildflags --get CXXFLAGS)" \
  -DBUILD_SHARED_LIBS=ON -DTERVALA_BUILD_TESTS=OFF -DTERVALA_BUILD_CLI=OFF -DTERVALA_INSTALL=OFF >&2
readlink -f "$dir/libtervala.so"
