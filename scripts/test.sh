#!/usr/bin/env bash
# Builds hexstamp and runs every check:
# - the test suite with warnings as errors (g++);
# - the same suite built by clang under AddressSanitizer and UndefinedBehaviorSanitizer;
# - the same suite on Windows x64 under Wine and on Linux arm64 and armhf under qemu-user,
#   and the release command run twice to prove it reproducible, with lintian and
#   hardening-check on its packages and its static binaries run in an empty root (CROSS=0
#   skips these);
# - a bounded fuzz run (FUZZ_SECONDS, 60 by default; 0 skips it);
# - in CI as root, an install of the Debian package, and the Cortex-M3 firmware example built
#   against it and run under QEMU.
# Installs the Debian packages the checks need when run as root; otherwise prints the
# install line.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(cmake g++ libgtest-dev faketime tzdata python3 python3-intelhex srecord binutils
          valgrind clang libclang-rt-dev groff dpkg-dev man-db file gcc-arm-none-eabi
          qemu-system-arm)
cross=${CROSS:-1}
if ((cross)); then
  packages+=(googletest g++-mingw-w64-x86-64-posix wine wine64 g++-aarch64-linux-gnu
             g++-arm-linux-gnueabihf qemu-user qemu-user-static lintian devscripts)
fi
bash scripts/need-packages.sh "${packages[@]}"

jobs=$(nproc)
echo "== test suite"
cmake -S . -B build-test -DHEXSTAMP_TESTS=ON -DHEXSTAMP_WERROR=ON
cmake --build build-test -j "$jobs"
ctest --test-dir build-test --output-on-failure

echo "== test suite built by clang, under AddressSanitizer and UndefinedBehaviorSanitizer"
CXX=clang++ cmake -S . -B build-sanitize -DHEXSTAMP_TESTS=ON -DHEXSTAMP_WERROR=ON \
  -DHEXSTAMP_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
cmake --build build-sanitize -j "$jobs"
# libfaketime is preloaded ahead of the sanitizer runtime in the process tests.
ASAN_OPTIONS=verify_asan_link_order=0 ctest --test-dir build-sanitize --output-on-failure

cross_suite() {
  echo "== test suite on $1"
  cmake -S . -B "build-$1" --toolchain "cmake/toolchains/$2.cmake" -DHEXSTAMP_TESTS=ON \
    -DHEXSTAMP_WERROR=ON
  cmake --build "build-$1" -j "$jobs"
  ctest --test-dir "build-$1" --output-on-failure
}
if ((cross)); then
  cross_suite win64 x86_64-w64-mingw32
  cross_suite arm64 aarch64-linux-gnu
  cross_suite armhf arm-linux-gnueabihf
  echo "== release: reproducible, lintian-clean, hardened"
  /usr/bin/python3 tests/release_test.py
fi

fuzz_seconds=${FUZZ_SECONDS:-60}
if ((fuzz_seconds > 0)); then
  echo "== fuzzing the whole run for ${fuzz_seconds}s"
  CXX=clang++ cmake -S . -B build-fuzz -DHEXSTAMP_FUZZ=ON -DHEXSTAMP_WERROR=ON
  cmake --build build-fuzz -j "$jobs" --target hexstamp_fuzz
  corpus=$(mktemp -d)
  trap 'rm -rf "$corpus"' EXIT
  build-fuzz/fuzz/hexstamp_fuzz -max_total_time="$fuzz_seconds" -print_final_stats=1 \
    -artifact_prefix=build-fuzz/ "$corpus" fuzz/corpus
fi

if [[ ${CI:-} == true && $(id -u) -eq 0 ]] && ! dpkg-query -W hexstamp >/dev/null 2>&1; then
  echo "== installing the Debian package"
  (cd build-test && cpack -G DEB -B package >/dev/null)
  deb=$(ls build-test/package/hexstamp_*.deb)
  dpkg-deb -c "$deb"
  dpkg -i "$deb"
  hexstamp 0 6 && SOURCE_DATE_EPOCH=0 hexstamp-reproducible 0 6
  man -w hexstamp && man -w hexstamp-reproducible
  echo "== the Cortex-M3 firmware built against the installed package"
  HEXSTAMP_PREFIX=/usr /usr/bin/python3 tests/packaging_test.py build-test \
    Packaging.test_cortex_m3_firmware_reads_the_stamp_of_its_elf \
    Packaging.test_firmware_header_needs_nothing_from_a_runtime_library
  dpkg -r hexstamp
fi
