#!/usr/bin/env bash
# Installs the Debian 12 packages of the groups named (all of them when none is), only those
# missing: setup.sh [runtime] [build] [endpoint] [test] [lint] [package]
#   runtime   what the library and the tool need at run time: the system's CA certificates
#   build     compiler, CMake, Ninja and the libraries' development files (libsecret: the keyring;
#             libzbar and libpng: the headers of `add --qr-image`, which loads them only when used)
#   endpoint  the HTTP server library of the loopback token endpoint (the demo's server), and curl,
#             the browser stand-in of the documented login
#   test      GoogleTest, Google Benchmark, liboath and oathtool (reference codes), hyperfine and
#             perf (bench/totp-process.sh), ccache, zbar-tools (an independent QR decoder), gcovr,
#             dbus-daemon (dbus-run-session) and gnome-keyring: the keyring tests' own session bus
#             and Secret Service; zsh and fish, whose completions are tested beside bash's; node and
#             npm, and with them the OpenID provider the tests start (oidc-provider, the version
#             tests/provider/package-lock.json pins, installed into tests/provider/node_modules)
#   lint      clang 14 with libFuzzer, clang-format and clang-tidy
#   package   debhelper and lintian (the Debian packages), abigail-tools (the ABI check)
set -euo pipefail

declare -A groups=(
  [runtime]="ca-certificates"
  [build]="build-essential cmake ninja-build pkg-config git libssl-dev libcurl4-openssl-dev libsqlite3-dev nlohmann-json3-dev libprotobuf-dev protobuf-compiler libqrencode-dev libsecret-1-dev libzbar-dev libpng-dev"
  [endpoint]="libcpp-httplib-dev curl"
  [test]="ccache libgtest-dev libgmock-dev libbenchmark-dev liboath-dev oathtool hyperfine linux-perf gettext openssl zbar-tools gcovr dbus-daemon gnome-keyring zsh fish nodejs npm"
  [lint]="clang-14 libclang-rt-14-dev clang-format clang-tidy"
  [package]="dpkg-dev debhelper lintian abigail-tools"
)
wanted=("$@")
((${#wanted[@]} > 0)) || wanted=(runtime build endpoint test lint package)

# A package counts as there when an installed one provides it (a node of another repository
# brings its own npm, and conflicts with Debian's).
provided=" $(dpkg-query -W -f='${db:Status-Abbrev}${Provides},\n' 2>/dev/null | sed -n 's/^ii *//p' |
  sed -E 's/ *\([^)]*\)//g; s/, */ /g' | tr '\n' ' ') "
missing=()
for group in "${wanted[@]}"; do
  [[ -n ${groups[$group]:-} ]] || { echo "setup: no package group '$group'" >&2; exit 2; }
  for package in ${groups[$group]}; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" &&
      [[ $provided != *" $package "* ]]; then
      missing+=("$package")
    fi
  done
done

if ((${#missing[@]} > 0)); then
  echo "setup: installing ${missing[*]}"
  runner=()
  [[ $(id -u) -eq 0 ]] || runner=(sudo)
  "${runner[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${runner[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# The provider the tests start, exactly as the lock file pins it; done again only when the lock
# file changed since (npm ci starts from an empty node_modules).
if [[ " ${wanted[*]} " == *" test "* ]]; then
  provider=$(cd "$(dirname "$0")/../tests/provider" && pwd)
  if ! cmp -s "$provider/package-lock.json" "$provider/node_modules/.installed-lock.json"; then
    echo "setup: installing the test provider into $provider/node_modules"
    (cd "$provider" && npm ci --no-audit --no-fund --loglevel=error)
    cp "$provider/package-lock.json" "$provider/node_modules/.installed-lock.json"
  fi
fi
