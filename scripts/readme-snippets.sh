#!/usr/bin/env bash
# Compiles every ```cpp block of README.md against an installed Tervala and runs it:
#   readme-snippets.sh PREFIX WORK_DIR
# A block right after the line <!-- compile-only --> (for one that needs a token endpoint on the
# network) is compiled but not run. Blocks run with a temporary XDG_CONFIG_HOME, so a stored
# token lands in WORK_DIR, never in the user's settings.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
prefix=$1
work=$2
rm -rf "$work"
mkdir -p "$work/config"

# Each block becomes snippet-N.cpp; a compile-only block gets a marker file beside it.
awk -v out="$work" '
  /^<!-- compile-only/ { compileOnly = 1; next }
  /^```cpp$/ { n++; file = sprintf("%s/snippet-%d.cpp", out, n); if (compileOnly) print "" > (file ".compile-only"); inBlock = 1; next }
  /^```$/ && inBlock { inBlock = 0; close(file); next }
  inBlock { print > file; next }
  NF { compileOnly = 0 }
' "$root/README.md"

libdirs="$prefix/lib:$prefix/lib/x86_64-linux-gnu"
export PKG_CONFIG_PATH="${libdirs//://pkgconfig:}/pkgconfig"
flags=$(pkg-config --cflags --libs tervala)
count=0
for snippet in "$work"/snippet-*.cpp; do
  name=$(basename "$snippet" .cpp)
  # shellcheck disable=SC2086 # the flags are words
  c++ -std=c++20 "$snippet" -o "$work/$name" $flags
  if [[ -e $snippet.compile-only ]]; then
    echo "$name: compiled (needs a token endpoint, not run)"
  else
    LD_LIBRARY_PATH="$libdirs" XDG_CONFIG_HOME="$work/config" "$work/$name" >"$work/$name.out"
    echo "$name: compiled and ran"
  fi
  count=$((count + 1))
done
((count > 0)) || { echo "readme-snippets: no cpp block found" >&2; exit 1; }
