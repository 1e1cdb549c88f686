#!/usr/bin/env bash
# Installs a built tree into a temporary prefix and builds a tiny program against it, once through
# find_package(Tervala) and once through pkg-config.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
built=$1
work=$2
rm -rf "$work"
mkdir -p "$work"
cmake --install "$built" --prefix "$work/prefix" >/dev/null
test -x "$work/prefix/bin/tervala"

cmake -S "$root/tests/consumer" -B "$work/cmake" -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
cmake --build "$work/cmake" >/dev/null
"$work/cmake/consumer"

PKG_CONFIG_PATH="$work/prefix/lib/pkgconfig:$work/prefix/lib/x86_64-linux-gnu/pkgconfig" \
  bash -c 'c++ -std=c++20 "$0" -o "$1" $(pkg-config --cflags --libs tervala)' \
  "$root/tests/consumer/main.cpp" "$work/consumer-pkgconfig"
"$work/consumer-pkgconfig"
echo "consumer: find_package and pkg-config builds run"
