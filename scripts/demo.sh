#!/usr/bin/env bash
# The main job: set up, build, and walk the library's road end to end with the tervala tool.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
"$root/scripts/build.sh" "$root/build/release" -DCMAKE_BUILD_TYPE=Release
tervala="$root/build/release/bin/tervala"
"$tervala" --help | head -n 1
