#!/usr/bin/env bash
# Compares the ABI of the shared library built from this tree with the baseline in abi/:
# abi-check.sh [LIBRARY | BUILD_DIR], the library as for abi-baseline.sh. Fails on an
# incompatible change unless the SONAME moved with it (docs/abi.md); an additive change passes
# and is shown.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
library=$("$root/scripts/abi-library.sh" "${1:-$root/build/abi}")
baseline=$(ls "$root"/abi/*.abi)
built_soname=$(objdump -p "$library" | awk '$1 == "SONAME" { print $2 }')
baseline_soname=$(sed -n "s/.*<abi-corpus [^>]*soname='\([^']*\)'.*/\1/p" "$baseline" | head -n 1)

status=0
# Types defined outside the public headers (a class's private implementation behind its pointer)
# are the library's own: their layout may change.
headers="$root/include/tervala"
report=$(abidiff --no-show-locs --exported-interfaces-only --hd1 "$headers" --hd2 "$headers" "$baseline" "$library") ||
  status=$?
# abidiff's status is a bit mask: 1 error, 2 usage, 4 a change, 8 an incompatible change. It
# counts a changed layout of a public class as a change only (4); what is left after its own
# filtering of harmless changes is incompatible unless it only adds functions or variables.
if ((status & 3)); then
  echo "$report"
  echo "abi: abidiff could not compare (status $status)" >&2
  exit 1
fi
if ((status & 4)) && grep -qE '^(Functions|Variables) changes summary: ([1-9][0-9]* Removed|[0-9]+ Removed, [1-9][0-9]* Changed)' <<<"$report"; then
  status=$((status | 8))
fi
if ((status & 8)); then
  echo "$report"
  if [[ $built_soname != "$baseline_soname" ]]; then
    echo "abi: incompatible with $baseline_soname, and the SONAME moved to $built_soname: regenerate the" \
      "baseline with scripts/abi-baseline.sh"
    exit 0
  fi
  echo "abi: incompatible change to $built_soname without a new SONAME (docs/abi.md)" >&2
  exit 1
fi
if ((status & 4)); then
  echo "$report"
  echo "abi: additive change to $built_soname; the baseline may be regenerated (scripts/abi-baseline.sh)"
else
  echo "abi: $built_soname matches its baseline"
fi
