#!/usr/bin/env bash
# Compiles every ```cpp block of README.md and docs/*.md against an installed Tervala, runs it and
# compares what it prints with what the page says it prints:
#   doc-snippets.sh PREFIX WORK_DIR [ENDPOINT_PROGRAM]
# A block states its standard output in a comment block at its end, after its code:
#     // Output:
#     // 287082 valid for «[0-9]+» s
# one line per line printed, «ERE» standing for a part that varies (a code of the current time, a
# serial); a block without one must print nothing. Markers on the line before a block:
#   <!-- compile-only: REASON -->  compiled, not run (REASON is shown: a real server, a keyring)
#   <!-- endpoint -->              run with the URL of a fresh tervala-test-endpoint
#                                  (ENDPOINT_PROGRAM) as its argument, "http://127.0.0.1:PORT"
# Blocks run with a temporary XDG_CONFIG_HOME and no session bus, so a stored token lands in
# WORK_DIR, never in the user's settings or keyring.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
prefix=$1
work=$2
endpoint=${3:-}
rm -rf "$work"
mkdir -p "$work/config"
chmod 700 "$work/config"

# Each block becomes PAGE-N.cpp, with PAGE-N.where (page and line), PAGE-N.mode (the marker) and
# PAGE-N.expected (its Output comment block, the "// " taken off).
for page in "$root/README.md" "$root"/docs/*.md; do
  stem=$(basename "$page" .md)
  awk -v out="$work/$stem" -v where="${page#"$root"/}" '
    /^<!-- compile-only/ { mode = $0; next }
    /^<!-- endpoint -->/ { mode = "endpoint"; next }
    /^```cpp$/ {
      n++; base = sprintf("%s-%d", out, n)
      print where ":" NR + 1 > (base ".where"); close(base ".where")
      printf "%s", mode > (base ".mode"); close(base ".mode")
      printf "" > (base ".expected")
      inBlock = 1; inOutput = 0; mode = ""; next
    }
    /^```$/ && inBlock { inBlock = 0; close(base ".cpp"); close(base ".expected"); next }
    inBlock && /^\/\/ Output:$/ { inOutput = 1; next }
    inBlock && inOutput { sub(/^\/\/ ?/, ""); print > (base ".expected"); next }
    inBlock { print > (base ".cpp"); next }
    NF { mode = "" }
  ' "$page"
done

# Whether one printed line matches one stated line: literal text, «ERE» parts as patterns.
escape() { printf '%s' "$1" | sed 's/[][\.*^$+?(){}|]/\\&/g'; }
matches() {
  local rest=$1 pattern=""
  while [[ $rest == *«*»* ]]; do
    pattern+="$(escape "${rest%%«*}")"
    rest=${rest#*«}
    pattern+="(${rest%%»*})"
    rest=${rest#*»}
  done
  pattern+="$(escape "$rest")"
  [[ $2 =~ ^${pattern}$ ]]
}

# The output of one block against its stated lines; the differences on standard error.
compare() {
  local expected=$1 actual=$2 where=$3 line
  local -a want got
  mapfile -t want <"$expected"
  mapfile -t got <"$actual"
  local fine=1
  ((${#want[@]} == ${#got[@]})) || fine=0
  for ((line = 0; fine && line < ${#want[@]}; ++line)); do
    matches "${want[line]}" "${got[line]}" || fine=0
  done
  if ((!fine)); then
    echo "doc-snippets: $where prints other lines than its Output comment states" >&2
    diff <(printf '%s\n' "${want[@]}") <(printf '%s\n' "${got[@]}") >&2 || true
    return 1
  fi
}

libdirs="$prefix/lib:$prefix/lib/x86_64-linux-gnu"
export PKG_CONFIG_PATH="${libdirs//://pkgconfig:}/pkgconfig"
flags=$(pkg-config --cflags --libs tervala)
ran=0 compiled=0 failed=0
for snippet in "$work"/*.cpp; do
  base=${snippet%.cpp}
  where=$(cat "$base.where")
  mode=$(cat "$base.mode")
  # shellcheck disable=SC2086 # the flags are words
  if ! c++ -std=c++20 "$snippet" -o "$base" $flags; then
    echo "doc-snippets: $where does not compile" >&2
    failed=$((failed + 1))
    continue
  fi
  if [[ $mode == "<!-- compile-only"* ]]; then
    reason=${mode#<!-- compile-only}
    reason=${reason#:}
    echo "$where: compiled, not run:${reason% -->}"
    compiled=$((compiled + 1))
    continue
  fi
  arguments=()
  endpointPid=""
  if [[ $mode == endpoint ]]; then
    [[ -x $endpoint ]] || { echo "doc-snippets: $where needs ENDPOINT_PROGRAM" >&2; exit 2; }
    coproc SERVER { "$endpoint"; }
    endpointPid=$SERVER_PID  # bash unsets SERVER_PID once the coprocess ends
    read -r port <&"${SERVER[0]}"
    arguments=("http://127.0.0.1:$port")
  fi
  status=0
  (cd "$work" && LD_LIBRARY_PATH="$libdirs" XDG_CONFIG_HOME="$work/config" DBUS_SESSION_BUS_ADDRESS=disabled: \
    timeout 60 "$base" "${arguments[@]}" >"$base.out" 2>"$base.err") || status=$?
  if [[ -n $endpointPid ]]; then
    kill "$endpointPid" 2>/dev/null || true
    wait "$endpointPid" 2>/dev/null || true
  fi
  if ((status != 0)); then
    echo "doc-snippets: $where exits with status $status:" >&2
    cat "$base.err" >&2
    failed=$((failed + 1))
  elif ! compare "$base.expected" "$base.out" "$where"; then
    failed=$((failed + 1))
  else
    echo "$where: ran, output as stated"
    ran=$((ran + 1))
  fi
done
echo "doc-snippets: $ran blocks ran with the output their pages state, $compiled compiled only, $failed failed"
((ran + compiled > 0 && failed == 0))
