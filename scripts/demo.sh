#!/usr/bin/env bash
# The main job: set up, build, and walk the library's road end to end with the tervala tool.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
mkdir -p "$root/build"
echo "building (log in build/release.log) ..."
if ! "$root/scripts/build.sh" "$root/build/release" -DCMAKE_BUILD_TYPE=Release >"$root/build/release.log" 2>&1; then
  tail -n 40 "$root/build/release.log"
  exit 1
fi
tervala="$root/build/release/bin/tervala"

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
coproc ENDPOINT { "$root/build/release/bin/tervala-test-endpoint"; }
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
endpoint_stdin=${ENDPOINT[1]}
exec {endpoint_stdin}>&-  # end of its standard input stops the endpoint
wait "$ENDPOINT_PID"
rm -rf "$demo_settings"
