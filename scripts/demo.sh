#!/usr/bin/env bash
# The main job: set up, build, and walk the library's road end to end.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
"$root/scripts/build.sh" "$root/build/release" -DCMAKE_BUILD_TYPE=Release
exec "$root/build/release/bin/tervala-demo"
