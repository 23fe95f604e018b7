#!/usr/bin/env bash
# Builds hexstamp with its tests (warnings as errors) and runs every test.
# Installs the Debian packages the tests need when run as root; otherwise says how.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(cmake g++ libgtest-dev faketime tzdata python3)
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'ok installed' || missing+=("$package")
done
if ((${#missing[@]})); then
  if [[ $(id -u) -ne 0 ]]; then
    echo "Missing packages; install them with:" >&2
    echo "  sudo apt-get install -y ${missing[*]}" >&2
    exit 1
  fi
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
fi

cmake -S . -B build-test -DHEXSTAMP_TESTS=ON -DHEXSTAMP_WERROR=ON
cmake --build build-test -j "$(nproc)"
ctest --test-dir build-test --output-on-failure
