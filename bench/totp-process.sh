#!/usr/bin/env bash
# One TOTP code, the whole process, tervala against oathtool side by side:
#   bench/totp-process.sh [PATH_TO_TERVALA]   (default build/release/bin/tervala)
# Needs hyperfine and oathtool (scripts/setup.sh test). Prints hyperfine's comparison, then the
# shared libraries each program maps, the usual cause of a slow start.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
tervala=${1:-$root/build/release/bin/tervala}
secret=GEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQ
time=1700000000

# Both must print the same code, or the comparison means nothing.
ours=$("$tervala" totp -t "$time" "$secret")
theirs=$(oathtool --totp -b -N "@$time" "$secret")
[[ $ours == "$theirs" ]] || { echo "codes differ: tervala $ours, oathtool $theirs" >&2; exit 1; }

hyperfine -N --warmup 20 --runs "${RUNS:-300}" \
  "$tervala totp -t $time $secret" "oathtool --totp -b -N @$time $secret"
for program in "$tervala" "$(command -v oathtool)"; do
  printf '%s maps %s shared libraries\n' "$(basename "$program")" "$(ldd "$program" | grep -c '=>')"
done
