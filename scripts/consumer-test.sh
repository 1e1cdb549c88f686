#!/usr/bin/env bash
# Builds a tiny host program against Tervala and runs it.
#   consumer-test.sh BUILT_DIR WORK_DIR      installs BUILT_DIR into a temporary prefix and builds
#                                            the host through find_package(Tervala) and pkg-config
#   consumer-test.sh --subdirectory WORK_DIR builds the host with add_subdirectory(<this tree>),
#                                            which also checks that the host's cache is left alone
#   consumer-test.sh --system WORK_DIR       builds the host against the Tervala the system has
#                                            installed (its Debian packages)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
generator=()
command -v ninja >/dev/null && generator=(-G Ninja)

if [[ $1 == --subdirectory ]]; then
  work=$2
  rm -rf "$work"
  cmake -S "$root/tests/consumer" -B "$work" "${generator[@]}" -DTERVALA_SOURCE_DIR="$root" >/dev/null
  cmake --build "$work" --parallel "$(nproc)" --target consumer >/dev/null
  "$work/consumer"
  echo "consumer: add_subdirectory build runs, host cache untouched"
  exit 0
fi

if [[ $1 == --system ]]; then
  work=$2
  rm -rf "$work"
  mkdir -p "$work"
  cmake -S "$root/tests/consumer" -B "$work/cmake" "${generator[@]}" >/dev/null
  cmake --build "$work/cmake" >/dev/null
  "$work/cmake/consumer"
  # shellcheck disable=SC2046 # pkg-config's words are meant to split
  c++ -std=c++20 "$root/tests/consumer/main.cpp" -o "$work/consumer-pkgconfig" $(pkg-config --cflags --libs tervala)
  "$work/consumer-pkgconfig"
  echo "consumer: find_package and pkg-config builds against the installed packages run"
  exit 0
fi

built=$1
work=$2
rm -rf "$work"
mkdir -p "$work"
cmake --install "$built" --prefix "$work/prefix" >/dev/null
test -x "$work/prefix/bin/tervala"

cmake -S "$root/tests/consumer" -B "$work/cmake" "${generator[@]}" -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
cmake --build "$work/cmake" >/dev/null
"$work/cmake/consumer"

libdirs="$work/prefix/lib:$work/prefix/lib/x86_64-linux-gnu"
PKG_CONFIG_PATH="${libdirs//://pkgconfig:}/pkgconfig" \
  bash -c 'c++ -std=c++20 "$0" -o "$1" $(pkg-config --cflags --libs tervala)' \
  "$root/tests/consumer/main.cpp" "$work/consumer-pkgconfig"
# A shared build's library is found beside the prefix, as an installed one would be by ld.so.
LD_LIBRARY_PATH="$libdirs" "$work/consumer-pkgconfig"
echo "consumer: find_package and pkg-config builds run"
# The installed tool finds its helper program in libexec/tervala, off the PATH.
test -x "$work/prefix/libexec/tervala/tervala-token"
LD_LIBRARY_PATH="$libdirs" "$work/prefix/bin/tervala" uri totp --account a GEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQ |
  grep -q '^otpauth://totp/a?'
echo "consumer: the installed tool hands its token and uri commands to libexec/tervala/tervala-token"
