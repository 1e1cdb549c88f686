#!/usr/bin/env bash
# One TOTP code, the whole process, tervala against oathtool side by side:
#   bench/totp-process.sh [PATH_TO_TERVALA]   (default build/release/bin/tervala)
# Needs oathtool, perf and hyperfine (scripts/setup.sh test). Prints the CPU time (task-clock) and
# page faults of each program, the median of ROUNDS rounds taken in turn so that a busy machine
# weighs on both alike; then hyperfine's comparison; then the shared libraries each program maps,
# the usual cause of a slow start. On a busy machine wall times swing: compare the CPU times.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
tervala=${1:-$root/build/release/bin/tervala}
secret=GEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQ
time=1700000000
ours=("$tervala" totp -t "$time" "$secret")
theirs=(oathtool --totp -b -N "@$time" "$secret")
names=(tervala oathtool)
# One program's CPU time per run (milliseconds, the mean of RUNS runs) and page faults: "TIME FAULTS".
measure() {
  # perf stat -x, prints "value,unit,event,..." lines; task-clock is in milliseconds.
  perf stat -x, -r "${RUNS:-40}" -e task-clock,page-faults "$@" 2>&1 >/dev/null |
    awk -F, '/task-clock/ {t = $1} /page-faults/ {p = $1} END {printf "%.3f %d\n", t, p}'
}

# Both must print the same code, or the comparison means nothing.
code=$("${ours[@]}")
reference=$("${theirs[@]}")
[[ $code == "$reference" ]] || { echo "codes differ: tervala $code, oathtool $reference" >&2; exit 1; }

if command -v perf >/dev/null; then
  rounds=${ROUNDS:-7}
  declare -a samples=("" "")
  for ((round = 0; round < rounds; round++)); do
    samples[0]+=$(measure "${ours[@]}")$'\n'
    samples[1]+=$(measure "${theirs[@]}")$'\n'
  done
  declare -a medians
  for i in 0 1; do
    sort -n <<<"${samples[i]}" | awk -v name="${names[i]}" 'NF {t[++n] = $1; p = $2}
      END {printf "%-10s CPU %.2f ms per call (median of %d rounds, %.2f to %.2f), %d page faults\n",
           name, t[int((n + 1) / 2)], n, t[1], t[n], p}'
    medians[i]=$(sort -n <<<"${samples[i]}" | awk 'NF {t[++n] = $1} END {print t[int((n + 1) / 2)]}')
  done
  awk -v a="${medians[0]}" -v b="${medians[1]}" 'BEGIN {printf "tervala takes %.2fx oathtool'"'"'s CPU time (goal: at most 2x)\n", a / b}'
else
  echo "perf is missing (Debian: linux-perf): no CPU times, only hyperfine's wall times" >&2
fi

if command -v hyperfine >/dev/null; then
  hyperfine -N --warmup 20 --runs "${HYPERFINE_RUNS:-300}" "$(printf '%q ' "${ours[@]}")" \
    "$(printf '%q ' "${theirs[@]}")"
fi
# LABEL then a command: its CPU time against the bare `tervala totp SECRET`, whole processes
# measured in turn, the median of ROUNDS rounds each (goal: at most 3x).
beside_totp() {
  local label=$1 i round
  shift
  local -a samples=("" "") medians
  for ((round = 0; round < ${ROUNDS:-7}; round++)); do
    samples[0]+=$(measure "$@" | cut -d' ' -f1)$'\n'
    samples[1]+=$(measure "${ours[@]}" | cut -d' ' -f1)$'\n'
  done
  for i in 0 1; do
    medians[i]=$(sort -n <<<"${samples[i]}" | awk 'NF {t[++n] = $1} END {print t[int((n + 1) / 2)]}')
  done
  awk -v l="$label" -v a="${medians[0]}" -v b="${medians[1]}" 'BEGIN {
    printf "%s CPU %.2f ms, totp SECRET %.2f ms: %.2fx (goal: at most 3x)\n", l, a, b, a / b}'
}

if command -v perf >/dev/null; then
  store=$(mktemp -d)
  trap 'rm -rf "$store"' EXIT
  # The account book: `tervala code NAME` from a file book.
  "$tervala" --settings "$store/settings.sqlite3" add --file-store \
    "otpauth://totp/Bench:bench?secret=$secret&issuer=Bench" >/dev/null
  named=("$tervala" --settings "$store/settings.sqlite3" code -t "$time" bench)
  [[ $("${named[@]}") == "$code" ]] || { echo "the book's code differs" >&2; exit 1; }
  beside_totp "code NAME (file book)" "${named[@]}"
  # `token get --header` of a good token in the file store, as scripts run it once per request;
  # the token comes from a password grant at the test endpoint beside the tool in the build tree.
  endpoint=$(dirname "$tervala")/tervala-test-endpoint
  if [[ -x $endpoint ]]; then
    coproc TOKEN_ENDPOINT { "$endpoint"; }
    endpoint_pid=$TOKEN_ENDPOINT_PID
    read -r port <&"${TOKEN_ENDPOINT[0]}"
    printf 'demo-password\n' | "$tervala" --settings "$store/settings.sqlite3" token password \
      --url "http://127.0.0.1:$port/token" --client-id bench --username demo --password-stdin --store >/dev/null
    kill "$endpoint_pid" 2>/dev/null || true
    get=("$tervala" --settings "$store/settings.sqlite3" token get --header)
    "${get[@]}" >/dev/null
    beside_totp "token get (file store)" "${get[@]}"
  fi
fi

for program in "$tervala" "$(command -v oathtool)"; do
  printf '%s maps %s shared libraries\n' "$(basename "$program")" "$(ldd "$program" | grep -c '=>')"
done
