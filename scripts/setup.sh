#!/usr/bin/env bash
# Installs what building, testing and benchmarking Tervala needs on Debian 12, only when missing.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config git
  libssl-dev libcurl4-openssl-dev libsqlite3-dev nlohmann-json3-dev
  libprotobuf-dev protobuf-compiler
  libgtest-dev libgmock-dev libbenchmark-dev libcpp-httplib-dev liboath-dev
  clang-14 libclang-rt-14-dev clang-format clang-tidy gettext openssl
)

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$package")
  fi
done

if ((${#missing[@]} > 0)); then
  echo "setup: installing ${missing[*]}"
  runner=()
  [[ $(id -u) -eq 0 ]] || runner=(sudo)
  "${runner[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${runner[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
