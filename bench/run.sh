#!/usr/bin/env bash
# Measures hexstamp beside the floor of process start (an empty C++ program built with the
# same compiler and flags) and beside what a user would write instead (a shell script with
# date and srec_cat, a Python script with intelhex), all in one run, as ratios to hexstamp.
# SOURCE_DATE_EPOCH is set for the whole run: hexstamp-reproducible takes its moment from it,
# and the other commands ignore it.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(cmake g++ hyperfine srecord python3-intelhex valgrind time)
bash scripts/need-packages.sh "${packages[@]}"

cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DHEXSTAMP_BENCH=ON >/dev/null
cmake --build build-bench -j "$(nproc)" >/dev/null
# The portable Linux build: a static PIE executable, as in the release archives.
cmake -S . -B build-bench-static -DCMAKE_BUILD_TYPE=Release -DHEXSTAMP_STATIC=ON >/dev/null
cmake --build build-bench-static -j "$(nproc)" --target hexstamp >/dev/null

export SOURCE_DATE_EPOCH=1709967902
commands=("build-bench/hexstamp 0x0100 0x0106" "build-bench/hexstamp-reproducible 0x0100 0x0106"
          "build-bench-static/hexstamp 0x0100 0x0106" "build-bench/hexstamp_empty"
          "sh bench/stamp.sh" "/usr/bin/python3 bench/stamp.py")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

hyperfine -N --warmup 20 --min-runs 200 --export-json "$work/time.json" "${commands[@]}" >&2

for command in "${commands[@]}"; do
  peak=0
  for _ in 1 2 3 4 5; do
    # shellcheck disable=SC2086 # the command's words are its arguments
    kib=$(/usr/bin/time -f %M $command 2>&1 >/dev/null | tail -n 1)
    ((kib > peak)) && peak=$kib
  done
  printf '%s\t%s\n' "$command" "$peak" >>"$work/memory"
  if command -v valgrind >/dev/null; then
    # shellcheck disable=SC2086
    count=$(valgrind --tool=callgrind --trace-children=yes --callgrind-out-file=/dev/null \
      $command 2>&1 >/dev/null | awk '/Collected :/ { sum += $NF } END { print sum + 0 }')
    printf '%s\t%s\n' "$command" "$count" >>"$work/instructions"
  fi
done
touch "$work/instructions"

echo "Machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | xargs)"
/usr/bin/python3 bench/report.py "$work/time.json" "$work/memory" "$work/instructions"
