#!/usr/bin/env bash
# Builds hexstamp and runs every check:
# - the test suite with warnings as errors (g++);
# - the same suite built by clang under AddressSanitizer and UndefinedBehaviorSanitizer;
# - the same suite with the file copy that POSIX systems other than Linux build;
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

packages=(cmake g++ make git libgtest-dev faketime tzdata python3 python3-intelhex srecord binutils
          valgrind clang libclang-rt-dev groff dpkg-dev man-db file gcc-arm-none-eabi
          qemu-system-arm dfu-util gdbserver gdb-multiarch gcc-mipsel-linux-gnu gcc-avr avr-libc
          simavr acl attr python3-pytest)
cross=${CROSS:-1}
if ((cross)); then
  packages+=(googletest g++-mingw-w64-x86-64-posix wine wine64 g++-aarch64-linux-gnu arduino-builder
             arduino-core-avr arduino-ctags
             g++-arm-linux-gnueabihf qemu-user qemu-user-static lintian devscripts)
fi
bash scripts/need-packages.sh "${packages[@]}"

# Wine's server outlives its last client for a while, and the services it started with it:
# stop them when the script ends, unless a Wine session was running before it.
if ! pgrep wineserver >/dev/null 2>&1 && command -v wineserver >/dev/null; then
  trap 'wineserver -k 2>/dev/null || true' EXIT
fi

jobs=$(nproc)
export jobs
logs=build-logs
mkdir -p "$logs"
stage_seconds=${STAGE_SECONDS:-1800}

# A stage's whole output goes to its log in build-logs/, so that a run prints a few lines a
# stage (its test summary and time) and a failing stage prints all of its own. No stage runs
# longer than STAGE_SECONDS and no test longer than ctest's --timeout: a hang fails with its
# output instead of stalling the run.
stage() {
  local name=$1 log="$logs/$2.log" started=$SECONDS status=0
  shift 2
  echo "== $name"
  timeout --kill-after=30 "$stage_seconds" bash -c 'set -euo pipefail; "$@"' stage "$@" \
    >"$log" 2>&1 || status=$?
  if ((status)); then
    cat "$log"
    local why="status $status"
    # timeout(1) gives 124, or 137 when the stage also ignored its TERM and was killed.
    ((status == 124 || status == 137)) && why+=", timed out at STAGE_SECONDS=$stage_seconds"
    echo "== $name failed after $((SECONDS - started))s, $why"
    exit "$status"
  fi
  grep -E '^[0-9]+% tests passed|^Ran [0-9]+ tests? in|^Done [0-9]+ runs' "$log" || true
  echo "   done in $((SECONDS - started))s"
}

suite() {  # build folder, then cmake's configure options
  local build=$1
  shift
  cmake -S . -B "$build" -DHEXSTAMP_TESTS=ON -DHEXSTAMP_WERROR=ON "$@"
  cmake --build "$build" -j "$jobs"
  ctest --test-dir "$build" --output-on-failure \
    --timeout 900
}

fuzz() {
  CXX=clang++ cmake -S . -B build-fuzz -DHEXSTAMP_FUZZ=ON -DHEXSTAMP_WERROR=ON
  cmake --build build-fuzz -j "$jobs" --target hexstamp_fuzz
  corpus=$(mktemp -d)
  trap 'rm -rf "$corpus"' EXIT
  build-fuzz/fuzz/hexstamp_fuzz -max_total_time="$1" -timeout=30 -print_final_stats=1 \
    -artifact_prefix=build-fuzz/ "$corpus" fuzz/corpus
}

install_package() {
  (cd build-test && cpack -G DEB -B package >/dev/null)
  local deb
  deb=$(ls build-test/package/hexstamp_*.deb)
  dpkg-deb -c "$deb"
  dpkg -i "$deb"
  trap 'dpkg -r hexstamp' EXIT
  hexstamp 0 6 && SOURCE_DATE_EPOCH=0 hexstamp-reproducible 0 6
  man -w hexstamp && man -w hexstamp-reproducible
  # The Cortex-M3 firmware, built against the installed package.
  HEXSTAMP_PREFIX=/usr /usr/bin/python3 tests/packaging_test.py build-test \
    Packaging.test_cortex_m3_firmware_reads_the_stamp_of_its_elf \
    Packaging.test_firmware_header_needs_nothing_from_a_runtime_library
}
sanitized_suite() {
  CXX=clang++ suite build-sanitize -DHEXSTAMP_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
}
export -f suite sanitized_suite fuzz install_package

stage "test suite" test suite build-test
stage "test suite built by clang, under AddressSanitizer and UndefinedBehaviorSanitizer" \
  sanitize sanitized_suite
stage "test suite without Linux's file calls, as on other POSIX systems" posix \
  suite build-posix -DHEXSTAMP_LINUX_CALLS=OFF
if ((cross)); then
  stage "test suite on win64" win64 suite build-win64 \
    --toolchain cmake/toolchains/x86_64-w64-mingw32.cmake
  stage "test suite on arm64" arm64 suite build-arm64 \
    --toolchain cmake/toolchains/aarch64-linux-gnu.cmake
  stage "test suite on armhf" armhf suite build-armhf \
    --toolchain cmake/toolchains/arm-linux-gnueabihf.cmake
  stage "release: reproducible, lintian-clean, hardened" release \
    /usr/bin/python3 tests/release_test.py
fi

fuzz_seconds=${FUZZ_SECONDS:-60}
if ((fuzz_seconds > 0)); then
  stage "fuzzing the whole run for ${fuzz_seconds}s" fuzz fuzz "$fuzz_seconds"
fi

if [[ ${CI:-} == true && $(id -u) -eq 0 ]] && ! dpkg-query -W hexstamp >/dev/null 2>&1; then
  stage "the Debian package installed, and the Cortex-M3 firmware built against it" \
    install install_package
fi
