#!/usr/bin/env bash
# ThreadSanitizer build of the OAuth client's tests only (request threads, concurrent grants,
# server trust callbacks, the CLI): tsan.sh DIR
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=${1:?usage: tsan.sh BUILD_DIR}
generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
cmake -S "$root" -B "$dir" "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTERVALA_SANITIZE=thread >/dev/null
cmake --build "$dir" --parallel "$(nproc)" --target OAuthExchangeTest ServerTrustTest TokenCliTest LoadTest
# These executables' suites (the exchange's own, its lenient replies, server trust, the tool's token
# commands, the load test); targets left unbuilt show as *_NOT_BUILT.
# The load test runs with 200 grants in flight here (1000 in the other builds).
TERVALA_LOAD_GRANTS=200 TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
  ctest --test-dir "$dir" --output-on-failure --parallel "$(nproc)" -R 'OAuth|Lenient|CertificateFile|TokenCli|LoadTest' -E '_NOT_BUILT$'
