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
# Notes of objects whose source is gone (renamed or deleted since an earlier build) would be
# merged with the current ones: drop every note without its object.
command -v ninja >/dev/null && [[ -f $dir/build.ninja ]] && ninja -C "$dir" -t cleandead >/dev/null
find "$dir" -name '*.gcno' | while read -r notes; do
  [[ -e ${notes%.gcno}.o ]] || rm -f "$notes" "${notes%.gcno}.gcda"
done
ctest --test-dir "$dir" --output-on-failure --parallel "$(nproc)" -LE stress
# Branches the compiler adds for exceptions are not the code's own decisions. The report goes to a
# file of the build: gcovr replaces its output file, which must never be /dev/null.
gcovr --root "$root" --object-directory "$dir" --filter "$root/src/" --filter "$root/cli/" \
  --exclude-throw-branches --exclude-unreachable-branches --print-summary --output "$dir/coverage.txt"
