#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (only the library and the targets) and runs each for a
# fixed time with a fixed seed on a copy of its committed corpus: fuzz.sh DIR.
# Fails when any target finds a crash, a leak or a broken property; the input is kept and named.
# TERVALA_FUZZ_SECONDS changes the time per target (default 30).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=$1
seconds=${TERVALA_FUZZ_SECONDS:-30}
jobs=$(nproc)

"$root/scripts/build.sh" "$dir" -DCMAKE_CXX_COMPILER=clang++-14 -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTERVALA_FUZZ=ON -DTERVALA_BUILD_TESTS=OFF -DTERVALA_BUILD_CLI=OFF -DTERVALA_INSTALL=OFF

# The longest input each target is given: enough for its format, short enough to stay fast.
declare -A maxLength=([Base32Fuzz]=512 [ReplyFuzz]=8192 [ArchiveFuzz]=4096 [FormEncodingFuzz]=1024)

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$dir/fuzz/findings"

run() {
  local name=$1
  # A copy, so a run never writes into the committed corpus.
  mkdir -p "$work/$name"
  cp -R "$root/fuzz/corpus/$name/." "$work/$name/"
  local options=(-seed=1 -max_total_time="$seconds" -max_len="${maxLength[$name]:-4096}" -timeout=10
                 -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$dir/fuzz/findings/$name-")
  [[ -f "$root/fuzz/$name.dict" ]] && options+=(-dict="$root/fuzz/$name.dict")
  if "$dir/fuzz/$name" "${options[@]}" "$work/$name" >"$dir/fuzz/$name.log" 2>&1; then
    printf '%-18s ok    %s, corpus %s files\n' "$name" \
      "$(grep -m1 -o 'stat::number_of_executed_units: *[0-9]*' "$dir/fuzz/$name.log" | grep -o '[0-9]*$') runs" \
      "$(find "$work/$name" -type f | wc -l)"
  else
    printf '%-18s FAILED (log %s)\n' "$name" "$dir/fuzz/$name.log"
    grep -E 'ERROR|fuzz property|runtime error|Test unit written' "$dir/fuzz/$name.log" | head -n 20
    return 1
  fi
}

targets=()
for source in "$root"/fuzz/*Fuzz.cpp; do
  name=$(basename "$source" .cpp)
  if [[ -x "$dir/fuzz/$name" ]]; then
    targets+=("$name")
  fi
done
if ((${#targets[@]} == 0)); then
  echo "fuzz: no target built yet"
  exit 0
fi

# As many targets at once as there are cores.
status=0
pids=()
for name in "${targets[@]}"; do
  run "$name" &
  pids+=($!)
  if ((${#pids[@]} >= jobs)); then
    wait "${pids[0]}" || status=1
    pids=("${pids[@]:1}")
  fi
done
for pid in "${pids[@]}"; do
  wait "$pid" || status=1
done
exit $status
