#!/usr/bin/env bash
# Measures verify --target on a 192 KiB image in QEMU's lm3s6965evb (256 KiB of flash), beside
# gdb-multiarch's compare-sections on the same board, in one run, as a ratio; then one --crc
# run against a scripted server that offers qCRC, counting the bytes that cross the link.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(cmake g++ hyperfine gcc-arm-none-eabi qemu-system-arm gdb-multiarch python3)
bash scripts/need-packages.sh "${packages[@]}"
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build-bench -j "$(nproc)" --target hexstamp-image >/dev/null
tool=$PWD/build-bench/hexstamp-image
tests=$PWD/tests

work=$(mktemp -d)
trap 'kill "$qemu" 2>/dev/null || true; rm -rf "$work"' EXIT
cd "$work"
# A board that loops for ever, with 192 KiB of data in flash after its vectors and code.
/usr/bin/python3 - <<'SOURCE'
import random
random.seed(1)
data = ",".join(str(random.randrange(256)) for _ in range(192 * 1024 - 256))
with open("app.c", "w") as c:
    c.write("#include <stdint.h>\nvoid _start(void);\n"
            "__attribute__((used, section(\".vectors\"))) void (*const vectors[2])(void) ="
            " {(void (*)(void))0x20008000, _start};\n"
            f"const uint8_t data[] = {{{data}}};\n"
            "volatile uint8_t sink;\nvoid _start(void) { for (;;) { sink = data[sink]; } }\n")
SOURCE
cat >app.ld <<'LAYOUT'
MEMORY { FLASH : ORIGIN = 0, LENGTH = 256K  RAM : ORIGIN = 0x20000000, LENGTH = 64K }
SECTIONS { .vectors : { KEEP(*(.vectors)) } > FLASH  .text : { *(.text*) *(.rodata*) } > FLASH
           .bss : { *(.bss*) } > RAM }
LAYOUT
arm-none-eabi-gcc -mcpu=cortex-m3 -mthumb -O1 -nostdlib -T app.ld app.c -o app.elf
port=$(/usr/bin/python3 -c 'import socket; s = socket.create_server(("127.0.0.1", 0)); print(s.getsockname()[1])')
qemu-system-arm -M lm3s6965evb -display none -serial null -monitor none -kernel app.elf \
  -gdb "tcp:127.0.0.1:$port" &
qemu=$!
sleep 1

hyperfine -N --warmup 2 --runs 20 --export-json time.json \
  "$tool verify --target 127.0.0.1:$port app.elf" \
  "gdb-multiarch -nx -batch -ex 'target remote 127.0.0.1:$port' -ex compare-sections -ex detach app.elf" \
  >&2
"$tool" verify --target "127.0.0.1:$port" app.elf

/usr/bin/python3 - "$tool" "$tests" <<'REPORT'
import json, os, subprocess, sys, time
sys.path.insert(0, sys.argv[2])
sys.argv[1:] = [sys.argv[1], sys.argv[1], sys.argv[1]]
import harness
results = json.load(open("time.json"))["results"]
ours, gdb = (result["mean"] for result in results)
print(f"verify --target, 192 KiB: {ours * 1000:.0f} ms; gdb-multiarch compare-sections: "
      f"{gdb * 1000:.0f} ms; ratio {ours / gdb:.2f} (target: at most 1.00)")
# The same image against a scripted server that offers qCRC: only a CRC a block crosses.
segments = subprocess.run(["arm-none-eabi-objcopy", "-O", "binary", "app.elf", "app.bin"])
memory = open("app.bin", "rb").read()
for quirks, options in [(["crc"], ["--crc"]), ([], [])]:
    server = harness.GdbServer(0, memory, quirks, crc=bool(options))
    received = [0]
    original = server.reply
    def counted(data, encoded=None, original=original):
        received[0] += len(encoded if encoded is not None else data) + 4
        original(data, encoded)
    server.reply = counted
    started = time.time()
    result = subprocess.run([harness.IMAGE_TOOL, "verify", *options, "--target", server.path,
                             "app.elf"], capture_output=True, text=True)
    elapsed = time.time() - started
    server.close()
    print(f"verify {' '.join(options) or '(reading)'} against a scripted server: status "
          f"{result.returncode}, {received[0]:,} bytes from the server, {elapsed * 1000:.0f} ms")
REPORT
