#!/usr/bin/env bash
# Configures and builds one flavour of the tree: build.sh DIR [extra cmake arguments...]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=$1
shift
generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
# A compiler cache, when there is one, lets the later flavours reuse the earlier ones' objects.
launcher=()
if command -v ccache >/dev/null && [[ -z ${CMAKE_CXX_COMPILER_LAUNCHER:-} ]]; then
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
cmake -S "$root" -B "$dir" "${generator[@]}" "${launcher[@]}" "$@" >/dev/null
cmake --build "$dir" --parallel "$(nproc)"
