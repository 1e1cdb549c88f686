#!/usr/bin/env bash
# The main job: set up, build, and walk the library's road end to end with the tervala tool.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
mkdir -p "$root/build"
log="$root/build/demo.log"
: >"$log"
# Quiet steps: their output goes to the log, and its end is shown if one fails.
quietly() {
  if ! "$@" >>"$log" 2>&1; then
    echo "failed; the end of $log:"
    tail -n 40 "$log"
    exit 1
  fi
}
echo "installing what the demo needs, if missing (log in build/demo.log) ..."
quietly "$root/scripts/setup.sh" runtime build endpoint
echo "building tervala and the test endpoint ..."
generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
quietly cmake -S "$root" -B "$root/build/demo" "${generator[@]}" -DCMAKE_BUILD_TYPE=Release \
  -DTERVALA_BUILD_TESTS=OFF -DTERVALA_BUILD_TEST_ENDPOINT=ON
quietly cmake --build "$root/build/demo" --parallel "$(nproc)" --target tervala_cli tervala_test_endpoint
tervala="$root/build/demo/bin/tervala"

# One-time passwords for an embedded demo secret (the RFC 4226 test key, in Base32).
demo_secret=GEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQ
now=$(date +%s)
echo "TOTP code now: $("$tervala" totp -t "$now" "$demo_secret"), $((30 - now % 30)) s left"
echo "HOTP codes for counters 0 to 4:"
"$tervala" hotp -c 0 -n 5 "$demo_secret"

# The OAuth road: a password grant against a token endpoint on loopback, the Authorization
# header of the stored token, then a refresh grant with the stored refresh token.
demo_settings=$(mktemp -d)
trap 'rm -rf "$demo_settings"' EXIT
coproc ENDPOINT { "$root/build/demo/bin/tervala-test-endpoint"; }
# bash unsets ENDPOINT_PID once the coprocess ends, so keep the pid (and the pipe) while it runs.
endpoint_pid=$ENDPOINT_PID
endpoint_stdin=${ENDPOINT[1]}
read -r endpoint_port <&"${ENDPOINT[0]}"
token_url="http://127.0.0.1:$endpoint_port/token"
echo "token endpoint on $token_url"
echo "password grant:"
printf 'demo-password\n' | "$tervala" --settings "$demo_settings/settings.sqlite3" token password \
  --url "$token_url" --client-id demo-app --username demo --password-stdin --store
echo "stored token, read back:"
"$tervala" --settings "$demo_settings/settings.sqlite3" token show
echo "refresh grant with the stored refresh token:"
"$tervala" --settings "$demo_settings/settings.sqlite3" token refresh \
  --url "$token_url" --client-id demo-app --stored --store
exec {endpoint_stdin}>&-  # end of its standard input stops the endpoint
wait "$endpoint_pid" || true  # its exit status is not the demo's: it was told to stop
rm -rf "$demo_settings"
echo "tervala and tervala-test-endpoint are in build/demo/bin; for the commands of README.md and docs/:"
echo "  export PATH=\"$root/build/demo/bin:\$PATH\""
