#!/usr/bin/env bash
# Sets up, builds and runs the whole suite: a formatting check; a Release build (with the
# benchmarks, so they keep linking) with its default suite, then its stress suite; clang-tidy; the
# install and consumer checks; a shared-library build with its default suite and consumer checks;
# the C++ snippets of the README and docs/ against the installed package, their output compared with
# what the pages state, and the pages' shell blocks against the test endpoint; the Debian packages,
# built, their library's ABI checked against its baseline, lintian-checked, installed, used and
# purged; an AddressSanitizer + UndefinedBehaviorSanitizer build; a ThreadSanitizer build of the
# OAuth tests; short fuzz runs.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${TERVALA_BUILD_ROOT:-$root/build}
jobs=$(nproc)
# Paths below the tree are hashed relative to it, so the build flavours share cached objects.
export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$root}
"$root/scripts/setup.sh"

step() { printf '\n== %s ==\n' "$*"; }
# The default suite first, then the stress suite (ctest label "stress").
suites() {
  ctest --test-dir "$1" --output-on-failure --parallel "$jobs" -LE stress
  ctest --test-dir "$1" --output-on-failure --parallel "$jobs" -L stress
}

step "Formatting"
(cd "$root" && find include src cli tests bench fuzz -name '*.cpp' -o -name '*.hpp' | sort |
  xargs clang-format --dry-run --Werror)
echo "clang-format: clean"

step "Release build and tests"
"$root/scripts/build.sh" "$build/release" -DCMAKE_BUILD_TYPE=Release -DCMAKE_EXPORT_COMPILE_COMMANDS=ON \
  -DTERVALA_BUILD_BENCH=ON
suites "$build/release"

step "clang-tidy over the library and the tool"
run-clang-tidy-14 -p "$build/release" -quiet -j "$jobs" "$root/(src|cli)/" >"$build/clang-tidy.log" 2>&1 || true
if grep -qE '(warning|error):' "$build/clang-tidy.log"; then
  grep -E '(warning|error):' "$build/clang-tidy.log" | sort -u
  exit 1
fi
echo "clang-tidy: clean"

step "Install and consumers"
"$root/scripts/consumer-test.sh" "$build/release" "$build/consumer"
"$root/scripts/consumer-test.sh" --subdirectory "$build/consumer-subdirectory"

step "The pages' C++ snippets against the installed package, and their shell blocks"
"$root/scripts/doc-snippets.sh" "$build/consumer/prefix" "$build/doc-snippets" "$build/release/bin/tervala-test-endpoint"
"$root/scripts/doc-commands.sh" "$build/release/bin" "$build/doc-commands"

# The shared variant proves the hidden symbols stay hidden and the package works as a .so; its
# stress suite and the benchmarks would only repeat the Release build's.
step "Shared-library build, default suite and consumers"
"$root/scripts/build.sh" "$build/shared" -DCMAKE_BUILD_TYPE=Release -DBUILD_SHARED_LIBS=ON
ctest --test-dir "$build/shared" --output-on-failure --parallel "$jobs" -LE stress
"$root/scripts/consumer-test.sh" "$build/shared" "$build/consumer-shared"

# The package build is the shared build with debug information, which abidiff reads the types from.
step "Debian packages: build, the library's ABI, lintian, install, use, purge"
"$root/scripts/package-test.sh" "$build/package"

# The exit runs (hundreds of child processes) stay in the Release stress suite: under the
# sanitizers they would take as long as everything else here together.
step "AddressSanitizer + UndefinedBehaviorSanitizer build and tests"
"$root/scripts/build.sh" "$build/asan" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTERVALA_SANITIZE=address,undefined
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
ctest --test-dir "$build/asan" --output-on-failure --parallel "$jobs" -LE stress
ctest --test-dir "$build/asan" --output-on-failure --parallel "$jobs" -L stress -E OAuthExitStress
unset ASAN_OPTIONS UBSAN_OPTIONS

step "ThreadSanitizer build and OAuth tests"
"$root/scripts/tsan.sh" "$build/tsan"

step "Fuzzing"
"$root/scripts/fuzz.sh" "$build/fuzz"
