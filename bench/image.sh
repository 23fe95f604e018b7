#!/usr/bin/env bash
# Measures hexstamp-image on images of 1 MiB and 64 MiB (random data, 16-byte records, the
# range in the middle), in one run, beside what it replaces: srec_cat cutting the range out of
# an Intel HEX file and merging a stamp in, and objcopy --update-section writing a section of
# an ELF. Time from hyperfine, peak memory from /usr/bin/time, each as a ratio.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(cmake g++ hyperfine srecord binutils binutils-arm-none-eabi python3 time)
bash scripts/need-packages.sh "${packages[@]}"
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build-bench -j "$(nproc)" --target hexstamp-image hexstamp-reproducible >/dev/null
tool=$PWD/build-bench/hexstamp-image
# The same program without fsync, to tell what writing the image to the disk costs.
cmake -S . -B build-bench-nosync -DCMAKE_BUILD_TYPE=Release -DHEXSTAMP_SYNC=OFF >/dev/null
cmake --build build-bench-nosync -j "$(nproc)" --target hexstamp-image >/dev/null
unsynced=$PWD/build-bench-nosync/hexstamp-image
export SOURCE_DATE_EPOCH=1709967902

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
# An ELF whose stamp section lies between two halves of the data, all in one loadable segment.
cat >image.ld <<'LAYOUT'
SECTIONS { . = 0x08000000;
  .first : { first.o(.data) }  .hexstamp : { stamp.o(.data) }  .second : { second.o(.data) } }
LAYOUT
make_images() { # size in MiB
  local half=$(($1 << 19))
  /usr/bin/python3 -c "import random, sys; random.seed(1); sys.stdout.buffer.write(random.randbytes($half))" >first.bin
  cp first.bin second.bin
  head -c 7 /dev/zero >stamp.bin
  cat first.bin stamp.bin second.bin >"image-$1.bin"
  objcopy -I binary -O ihex --change-addresses 0x08000000 "image-$1.bin" "image-$1.hex"
  objcopy -I binary -O srec --srec-forceS3 --change-addresses 0x08000000 "image-$1.bin" \
    "image-$1.srec"
  for part in first stamp second; do
    arm-none-eabi-objcopy -I binary -O elf32-littlearm -B arm "$part.bin" "$part.o"
  done
  arm-none-eabi-ld -T image.ld -o "image-$1.elf"
  first=$((0x08000000 + half))
  range[$1]="--first $(printf '0x%08X' "$first") --last $(printf '0x%08X' $((first + 6)))"
}
declare -A range
for size in 1 64; do make_images "$size"; done
printf '\x01\x24\x03\x09\x07\x05\x02' >stamp-bytes.bin

commands=()
for size in 1 64; do
  read -r _ first _ last <<<"${range[$size]}"
  end=$(printf '0x%08X' $((last + 1)))
  "${tool%/*}/hexstamp-reproducible" "$first" "$last" >"stamp-$size.hex" 2>/dev/null
  commands+=("$tool stamp ${range[$size]} --output out.hex image-$size.hex"
             "srec_cat image-$size.hex -intel -exclude $first $end stamp-$size.hex -intel -o out.hex -intel"
             "$tool stamp --output out.elf image-$size.elf"
             "arm-none-eabi-objcopy --update-section .hexstamp=stamp-bytes.bin image-$size.elf out.elf"
             "$tool stamp ${range[$size]} --output out.srec image-$size.srec"
             "$tool stamp ${range[$size]} --base 0x08000000 --output out.bin image-$size.bin")
done
# Reading and checking alone: what stamping a text image costs beyond it.
"$tool" stamp ${range[64]} --output stamped-64.hex image-64.hex
commands+=("$tool show ${range[64]} stamped-64.hex")
# Without fsync: the new file and its folder written to the disk cost the difference.
for size in 1 64; do
  commands+=("$unsynced stamp ${range[$size]} --output out.hex image-$size.hex"
             "$unsynced stamp --output out.elf image-$size.elf")
done
hyperfine -N --warmup 2 --min-runs 5 --export-json time.json "${commands[@]}" >&2
for command in "${commands[@]}"; do
  peak=0
  for _ in 1 2 3 4 5; do
    # shellcheck disable=SC2086 # the command's words are its arguments
    kib=$(/usr/bin/time -f %M $command 2>&1 >/dev/null | tail -n 1)
    ((kib > peak)) && peak=$kib
  done
  printf '%s\t%s\n' "$command" "$peak"
done >memory

echo "Machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | xargs)"
/usr/bin/python3 - "$tool" <<'PYTHON'
import json, os, sys
tool = sys.argv[1]
means = {r["command"]: r["mean"] for r in json.load(open("time.json"))["results"]}
rss = dict(line.rsplit("\t", 1) for line in open("memory").read().splitlines())
def label(command):
    words = command.split()
    name = os.path.basename(words[0]) + (" (no fsync)" if "nosync" in words[0] else "")
    return f"{name} {words[1]} {words[-1]}"
print(f"{'command':<50} {'mean ms':>9} {'max RSS KiB':>12}")
for command, mean in means.items():
    print(f"{label(command):<50} {mean * 1000:>9.1f} {rss[command]:>12}")
print()
commands = list(means)
# Beside tools that leave the file in the page cache, the stamp is timed without its fsync,
# whose cost is given on its own.
for size, at, unsynced in [(1, 0, 13), (64, 6, 15)]:
    srec, objcopy = commands[at + 1], commands[at + 3]
    hexes, elfs = commands[unsynced], commands[unsynced + 1]
    print(f"{size} MiB: hexstamp-image is {means[srec] / means[hexes]:.1f}x as fast as srec_cat "
          f"on Intel HEX (target: at least 5x) and {means[objcopy] / means[elfs]:.1f}x as fast "
          f"as objcopy --update-section on ELF (target: at least 1.5x), without fsync")
stamp, show = commands[15], commands[12]
for at, (size, kind) in enumerate([(1, "Intel HEX"), (1, "ELF"), (64, "Intel HEX"), (64, "ELF")]):
    synced = commands[(0 if size == 1 else 6) + (0 if kind == "Intel HEX" else 2)]
    cost = means[synced] - means[commands[13 + at]]
    print(f"fsync of the new file and its folder, {size} MiB {kind}: {cost * 1000:+.1f} ms "
          f"({cost / means[synced] * 100:.0f}% of the stamp)")
print(f"64 MiB Intel HEX: stamp without fsync takes {means[stamp] / means[show]:.2f}x as long "
      f"as show (target: at most 1.3x) and is {means[commands[7]] / means[stamp]:.0f}x as fast "
      f"as srec_cat (target: at least 20x); with fsync, {means[commands[6]] / means[show]:.2f}x")
for offset, kind in enumerate(["Intel HEX", None, "ELF", None, "S-record", "binary"]):
    if kind:
        small, large = int(rss[commands[offset]]), int(rss[commands[offset + 6]])
        print(f"peak memory on {kind}: {small} KiB at 1 MiB, {large} KiB at 64 MiB: "
              f"{large / small:.2f}x (target: within 10%)")
PYTHON
