#!/usr/bin/env bash
# Runs every ```sh block of README.md and docs/*.md as a reader would after the two commands: the
# blocks of one page in one shell, one after the other, in a fresh folder, with `tervala` and
# `tervala-test-endpoint` on PATH:
#   doc-commands.sh BIN_DIR WORK_DIR
# BIN_DIR holds tervala, tervala-token and tervala-test-endpoint (build/demo/bin after the demo,
# build/release/bin after scripts/test.sh). Each page's shell runs with `set -eo pipefail`: a
# command of a block that fails ends the page with the block's place. A command that fails on
# purpose says so as a reader would see it (`... || echo "exit $?"`). A block right after
#   <!-- skip: REASON -->
# is not run, and REASON is shown (the two commands themselves, a real provider, a desktop
# keyring). Also checks that README.md's table of set-up groups lists what scripts/setup.sh installs.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bin=$(cd "$1" && pwd)
work=$2
for program in tervala tervala-token tervala-test-endpoint; do
  [[ -x $bin/$program ]] || { echo "doc-commands: no $bin/$program" >&2; exit 2; }
done
rm -rf "$work"
mkdir -p "$work"
work=$(cd "$work" && pwd)

# The set-up table: one row per group of scripts/setup.sh, its packages word for word.
# shellcheck disable=SC2016 # the backticks are the table's own
table=$(sed -nE 's/^\| `([a-z]+)` \| `([^`]*)` \|.*/\1 \2/p' "$root/README.md")
groups=$(sed -nE 's/^ *\[([a-z]+)\]="([^"]*)"$/\1 \2/p' "$root/scripts/setup.sh")
if [[ $table != "$groups" ]]; then
  echo "doc-commands: README.md's set-up table differs from scripts/setup.sh's groups:" >&2
  diff <(echo "$table") <(echo "$groups") >&2 || true
  exit 1
fi
echo "README.md: the set-up table lists scripts/setup.sh's $(wc -l <<<"$groups") groups"

ran=0 skipped=0 failed=0
for page in "$root/README.md" "$root"/docs/*.md; do
  where=${page#"$root"/}
  stem=$(basename "$page" .md)
  script="$work/$stem.sh"
  # Each block is preceded by a line naming it, which the ERR trap reports.
  awk -v where="$where" '
    BEGIN {
      print "set -eo pipefail"
      print "trap '\''echo \"doc-commands: $block: a command failed with status $?\" >&2'\'' ERR"
      print "trap '\''kill $(jobs -p) 2>/dev/null || true'\'' EXIT"
    }
    /^<!-- skip:/ { skip = $0; next }
    /^```sh$/ {
      inBlock = 1
      if (skip != "") {
        reason = skip; sub(/^<!-- skip: */, "", reason); sub(/ *-->$/, "", reason)
        printf "%s:%d: skipped: %s\n", where, NR + 1, reason > "/dev/stderr"
        skipping = 1; skipped++
      } else {
        printf "block=%s:%d\necho \"== $block\" >&2\n", where, NR + 1
        skipping = 0; blocks++
      }
      skip = ""; next
    }
    /^```$/ && inBlock { inBlock = 0; next }
    inBlock && !skipping { print; next }
    NF && !inBlock { skip = "" }
    END { printf "echo \"%s: %d blocks ran\" >&2\n", where, blocks; print blocks + 0 > "/dev/fd/3"; print skipped + 0 > "/dev/fd/3" }
  ' "$page" >"$script" 3>"$work/$stem.counts" 2>"$work/$stem.skipped"
  cat "$work/$stem.skipped"
  { read -r blocks; read -r skips; } <"$work/$stem.counts"
  skipped=$((skipped + skips))
  ((blocks > 0)) || continue
  mkdir -p "$work/$stem/config"
  chmod 700 "$work/$stem/config"
  if (cd "$work/$stem" && PATH="$bin:$PATH" XDG_CONFIG_HOME="$work/$stem/config" \
      DBUS_SESSION_BUS_ADDRESS=disabled: timeout 300 bash "$script" </dev/null >"$work/$stem.log" 2>&1); then
    grep -E '^[^ ]+: [0-9]+ blocks ran$' "$work/$stem.log"
    ran=$((ran + blocks))
  else
    echo "doc-commands: $where failed; the end of its output ($work/$stem.log):" >&2
    tail -n 30 "$work/$stem.log" >&2
    failed=$((failed + 1))
  fi
done
echo "doc-commands: $ran shell blocks ran, $skipped skipped, $failed pages failed"
((ran > 0 && failed == 0))
