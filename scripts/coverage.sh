#!/usr/bin/env bash
# Line and branch coverage of the library and the tool by the default suite: a --coverage build
# in DIR (default build/coverage), its default suite, then gcovr over src/ and cli/.
# coverage.sh [DIR]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=${1:-$root/build/coverage}
"$root/scripts/setup.sh" test
# Counters from an earlier run would add to this one's.
[[ -d $dir ]] && find "$dir" -name '*.gcda' -delete
# Atomic counters: the OAuth tests run grants on many threads at once.
"$root/scripts/build.sh" "$dir" -DCMAKE_BUILD_TYPE=Debug "-DCMAKE_CXX_FLAGS=--coverage -fprofile-update=atomic" \
  -DCMAKE_EXE_LINKER_FLAGS=--coverage -DCMAKE_SHARED_LINKER_FLAGS=--coverage
ctest --test-dir "$dir" --output-on-failure --parallel "$(nproc)" -LE stress
# Branches the compiler adds for exceptions are not the code's own decisions.
gcovr --root "$root" --object-directory "$dir" --filter "$root/src/" --filter "$root/cli/" \
  --exclude-throw-branches --exclude-unreachable-branches --print-summary --output /dev/null
