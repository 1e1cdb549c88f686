#!/usr/bin/env bash
# Builds the shared library alone, as the Debian package builds it (dpkg-buildflags: -g -O2 and
# the hardening flags), for its ABI to be read: abi-library.sh DIR. Prints the library's path.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=$1
"$root/scripts/build.sh" "$dir" -DCMAKE_BUILD_TYPE=None -DCMAKE_CXX_FLAGS="$(dpkg-buildflags --get CXXFLAGS)" \
  -DBUILD_SHARED_LIBS=ON -DTERVALA_BUILD_TESTS=OFF -DTERVALA_BUILD_CLI=OFF -DTERVALA_INSTALL=OFF >&2
readlink -f "$dir/libtervala.so"
