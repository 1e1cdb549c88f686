#!/usr/bin/env bash
# The main job: set up, build, and walk the library's road end to end with the tervala tool.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
"$root/scripts/build.sh" "$root/build/release" -DCMAKE_BUILD_TYPE=Release
tervala="$root/build/release/bin/tervala"
"$tervala" --help | head -n 1

# One-time passwords for an embedded demo secret (the RFC 4226 test key, in Base32).
demo_secret=GEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQ
now=$(date +%s)
echo "TOTP code now: $("$tervala" totp -t "$now" "$demo_secret"), $((30 - now % 30)) s left"
echo "HOTP codes for counters 0 to 4:"
"$tervala" hotp -c 0 -n 5 "$demo_secret"
