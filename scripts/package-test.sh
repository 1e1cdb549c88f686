#!/usr/bin/env bash
# Builds the Debian packages (debian/) from a copy of the tree, checks the library's ABI against
# its baseline (abi-check.sh), checks the packages with lintian, installs them, runs the consumer
# checks and the tool against the installed files, then purges them:
#   package-test.sh [WORK_DIR]
# dpkg-buildpackage writes the packages into the parent of the tree it builds, so the tree is
# copied into WORK_DIR/src and everything stays under WORK_DIR.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
work=${1:-$root/build/package}
runner=()
[[ $(id -u) -eq 0 ]] || runner=(sudo)
packages=(tervala libtervala-dev libtervala1)

rm -rf "$work"
mkdir -p "$work/src"
git -C "$root" ls-files -z --cached --others --exclude-standard |
  (cd "$root" && tar --null --files-from=- -cf -) | tar -xf - -C "$work/src"

# debhelper gives the build a home of its own, so the compiler cache is named outright.
if command -v ccache >/dev/null; then
  CCACHE_DIR=$(ccache -k cache_dir)
  export CCACHE_DIR CCACHE_BASEDIR=$work/src
fi
echo "package: building (log in $work/build.log)"
if ! (cd "$work/src" && DEB_BUILD_OPTIONS="noddebs parallel=$(nproc)" dpkg-buildpackage -b -us -uc) \
  >"$work/build.log" 2>&1; then
  tail -n 40 "$work/build.log"
  exit 1
fi
# The package build's library keeps its debug information (only the packaged copy is stripped):
# its ABI against the baseline, without a build of its own.
"$root/scripts/abi-check.sh" "$(readlink -f "$work"/src/obj-*/libtervala.so)"

for deb in "$work"/*.deb; do
  echo "== $(basename "$deb")"
  dpkg-deb --contents "$deb" | awk '{ print $6, $7, $8 }'
done

echo "== lintian"
lintian --fail-on error,warning --display-info "$work"/*.changes
echo "lintian: no errors or warnings"

purge() { "${runner[@]}" apt-get purge -y -qq "${packages[@]}" >/dev/null 2>&1 || true; }
trap purge EXIT
DEBIAN_FRONTEND=noninteractive "${runner[@]}" apt-get install -y -qq "$work"/*.deb >/dev/null

"$root/scripts/consumer-test.sh" --system "$work/consumer"
home=$(mktemp -d "$work/home.XXXXXX")
export HOME=$home XDG_CONFIG_HOME=$home/.config
[[ $(command -v tervala) == /usr/bin/tervala ]]
tervala --version
[[ $(tervala totp --time 59 GEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQ) == 287082 ]]
tervala token --help | grep -q 'token refresh'
# The helper program in /usr/libexec/tervala runs the commands that need the network and the store.
[[ $(tervala uri totp --account alice GEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQ) == otpauth://totp/alice?* ]]
tervala token profiles
for file in /usr/share/man/man1/tervala.1.gz /usr/share/man/man1/tervala-token.1.gz \
  /usr/share/bash-completion/completions/tervala /usr/share/zsh/vendor-completions/_tervala \
  /usr/share/fish/vendor_completions.d/tervala.fish; do
  test -s "$file"
done
echo "package: installed tervala, libtervala1 and libtervala-dev work; purging them"
