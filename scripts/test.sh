#!/usr/bin/env bash
# Sets up, builds and runs the whole suite: a formatting check, a Release build, clang-tidy, the install and
# consumer check, an AddressSanitizer + UndefinedBehaviorSanitizer build, a ThreadSanitizer build
# of the OAuth tests, and short fuzz runs.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${TERVALA_BUILD_ROOT:-$root/build}
jobs=$(nproc)
"$root/scripts/setup.sh"

step() { printf '\n== %s ==\n' "$*"; }

step "Formatting"
(cd "$root" && find include src cli tests bench fuzz -name '*.cpp' -o -name '*.hpp' | sort |
  xargs clang-format --dry-run --Werror)
echo "clang-format: clean"

step "Release build and tests"
"$root/scripts/build.sh" "$build/release" -DCMAKE_BUILD_TYPE=Release -DCMAKE_EXPORT_COMPILE_COMMANDS=ON
ctest --test-dir "$build/release" --output-on-failure --parallel "$jobs"

step "clang-tidy over the library and the tool"
run-clang-tidy-14 -p "$build/release" -quiet -j "$jobs" "$root/(src|cli)/" >"$build/clang-tidy.log" 2>&1 || true
if grep -qE '(warning|error):' "$build/clang-tidy.log"; then
  grep -E '(warning|error):' "$build/clang-tidy.log" | sort -u
  exit 1
fi
echo "clang-tidy: clean"

step "Install and consumer"
"$root/scripts/consumer-test.sh" "$build/release" "$build/consumer"

step "AddressSanitizer + UndefinedBehaviorSanitizer build and tests"
"$root/scripts/build.sh" "$build/asan" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTERVALA_SANITIZE=address,undefined
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir "$build/asan" --output-on-failure --parallel "$jobs"

if [[ -x "$root/scripts/tsan.sh" ]]; then
  step "ThreadSanitizer build and OAuth tests"
  "$root/scripts/tsan.sh" "$build/tsan"
fi

if [[ -x "$root/scripts/fuzz.sh" ]]; then
  step "Fuzzing"
  "$root/scripts/fuzz.sh" "$build/fuzz"
fi
