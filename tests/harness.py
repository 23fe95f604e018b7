"""Runs the real hexstamp binary (and hexstamp-reproducible, when a second binary is given),
directly or through the emulator of a cross build (HEXSTAMP_EMULATOR), and builds the records
it should print from an independent reading of the same instant by date(1).

libfaketime freezes the clock of every target: of the native binary, of a Windows .exe under
Wine (a host program reading the host's clock) and of a binary under qemu-user, which serves
the guest's clock calls from the host's clock. There it is preloaded into qemu's own process,
and qemu's -U keeps it out of the guest. The Windows C runtime reads TZ in its own syntax,
a name, the hours west of UTC and a summer-time name, and applies its own summer-time rules."""
import glob
import os
import shlex
import subprocess
import sys
import time

BINARY = os.path.abspath(sys.argv.pop(1)) if len(sys.argv) > 1 else "hexstamp"
REPRODUCIBLE = os.path.abspath(sys.argv.pop(1)) if len(sys.argv) > 1 else None
IMAGE_TOOL = os.path.abspath(sys.argv.pop(1)) if len(sys.argv) > 1 else None
EMULATOR = shlex.split(os.environ.get("HEXSTAMP_EMULATOR", ""))
WINDOWS = BINARY.endswith(".exe")
QEMU = bool(EMULATOR) and "qemu" in os.path.basename(EMULATOR[0])
FAKETIME = sorted(glob.glob("/usr/lib/*/faketime/libfaketime.so.1"))[0]
MARCH_9_2024 = 1709967902  # 2024-03-09 07:05:02 UTC
# A sanitized binary under libfaketime: the sanitizer runtime is not the first library
# loaded, and its allocator must not read the clock. On a new size class it reads the
# monotonic clock through libfaketime, whose first call looks its own symbols up, and the
# lookup allocates: a deadlock on the allocator's lock.
ASAN_UNDER_FAKETIME = "verify_asan_link_order=0:allocator_release_to_os_interval_ms=-1"
TIMEOUT = 120  # seconds for one run, Wine's first start included: a hang fails its test


def lines(text):
    """Text as the target writes it: Windows ends every line of both streams in CR LF."""
    return text.replace("\n", "\r\n") if WINDOWS else text


# Zones as the Windows C runtime names them. Its summer-time rules agree with the zone's
# own only away from the days the clocks change, so only rows marked so use them.
WINDOWS_ZONES = {"UTC": "UTC0", "Europe/Berlin": "CET-1CEST"}


def zone_reaches(tz, away_from_changes=False):
    return not WINDOWS or tz == "UTC" or (away_from_changes and tz in WINDOWS_ZONES)


# time() reads the coarse clock, which the kernel advances once a tick: just after a second
# begins it may still give the previous one. Python's time module has no name for it.
CLOCK_REALTIME_COARSE = 5
TICK = 0.02  # seconds; longer than a tick at any HZ Linux is built with (100 and up)


def clock_window():
    """The window of instants a program started now may stamp from the real clock: call it
    before the run and call what it returns after the run for the list of seconds."""
    try:
        first = int(time.clock_gettime(CLOCK_REALTIME_COARSE))
    except (AttributeError, OSError):  # no coarse clock here: allow for one tick
        first = int(time.time() - TICK)
    return lambda: list(range(first, int(time.time()) + 1))


def invocation_name(binary=BINARY):
    if not WINDOWS:
        return binary
    return subprocess.run(["winepath", "-w", binary], capture_output=True, text=True,
                          check=True, timeout=TIMEOUT).stdout.strip()


def start_wine_server():
    """A Wine server started under a frozen clock stalls its clients: keep one running on
    the real clock (exit status 2: one runs already). The server, and Wine's services that
    a new server's first client starts, keep the streams they are given for as long as they
    run: give them none of the tests' streams."""
    quiet = dict(env=dict(os.environ, WINEDEBUG="-all"), stdin=subprocess.DEVNULL,
                 stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=False,
                 timeout=TIMEOUT)
    if subprocess.run(["wineserver", "-p60"], **quiet).returncode == 0:
        subprocess.run([*EMULATOR, "wineboot"], **quiet)


if __name__ == "__main__" and WINDOWS:
    start_wine_server()


def run(args, epoch=MARCH_9_2024, tz="UTC", binary=BINARY, source_date_epoch=None, **kwargs):
    """Runs the binary with the clock frozen at epoch (None: the real clock) in zone tz, and
    SOURCE_DATE_EPOCH set to source_date_epoch (None: unset). The streams keep their line
    endings; `instants` are the seconds the stamp may hold and `zone` the zone it was read
    in (None: the host's)."""
    frozen = epoch is not None
    env = {key: value for key, value in os.environ.items() if key != "SOURCE_DATE_EPOCH"}
    env.update(TZ=WINDOWS_ZONES.get(tz, tz) if WINDOWS else tz)
    if source_date_epoch is not None:
        env.update(SOURCE_DATE_EPOCH=source_date_epoch)
    if frozen:
        env.update(LD_PRELOAD=FAKETIME, FAKETIME_FMT="%s", FAKETIME=str(epoch),
                   ASAN_OPTIONS=ASAN_UNDER_FAKETIME)
    if WINDOWS:
        start_wine_server()
    kwargs.setdefault("stdout", subprocess.PIPE)
    kwargs.setdefault("timeout", TIMEOUT)
    window = clock_window()
    emulator = [EMULATOR[0], "-U", "LD_PRELOAD", *EMULATOR[1:]] if QEMU and frozen else EMULATOR
    result = subprocess.run([*emulator, binary, *args], env=env, stderr=subprocess.PIPE,
                            **kwargs)
    result.stdout = result.stdout.decode() if result.stdout is not None else None
    result.stderr = result.stderr.decode()
    result.instants = [epoch] if frozen else window()
    result.zone = tz if not WINDOWS or tz in WINDOWS_ZONES else None
    return result


def stamp(epoch, tz, length):
    """Packed-BCD stamp bytes as date(1) sees the instant in that zone (None: the host's)."""
    env = {key: value for key, value in os.environ.items() if key != "TZ"}
    if tz is not None:
        env["TZ"] = tz
    fields = subprocess.run(["date", "-d", f"@{epoch}", "+%C %y %m %d %H %M %S"], env=env,
                            capture_output=True, text=True, check=True).stdout.split()
    fields[0] = str(int(fields[0]) - 19)  # century count: 0 for the 1900s, 1 for the 2000s
    data = [0] * 9 + [int(field, 16) for field in fields]
    return data[len(data) - length:]


def stamps(result, length):
    """Every stamp the run may have written."""
    return [stamp(instant, result.zone, length) for instant in result.instants]


def record(address, record_type, data):
    body = [len(data), (address >> 8) & 0xFF, address & 0xFF, record_type, *data]
    return ":" + "".join(f"{byte:02X}" for byte in body) + f"{-sum(body) & 0xFF:02X}\n"


def hex_file(start, data):
    extended = record(0, 4, [start >> 24, (start >> 16) & 0xFF]) if start > 0xFFFF else ""
    return lines(extended + record(start & 0xFFFF, 0, data) + ":00000001FF\n")


def hex_files(result, start, length):
    """Every output the run may have written for the range."""
    return [hex_file(start, data) for data in stamps(result, length)]


def run_image(args, folder, source_date_epoch=str(MARCH_9_2024)):
    """Runs hexstamp-image in folder, where the images are, on the real clock."""
    return run(args, epoch=None, binary=IMAGE_TOOL, source_date_epoch=source_date_epoch,
               cwd=folder)


FIRMWARE = """#include <stdint.h>
__attribute__((used, section(".hexstamp"))) const volatile uint8_t build_stamp[7] = {0};
const volatile uint8_t too_long[17] = {1};
volatile uint8_t in_ram[7];
void _start(void) { for (;;) { in_ram[0] = build_stamp[0] + too_long[0]; } }
"""
FIRMWARE_LAYOUT = """MEMORY { FLASH : ORIGIN = 0x08000000, LENGTH = 64K  RAM : ORIGIN = 0x20000000, LENGTH = 8K }
SECTIONS { .text : { *(.text*) *(.rodata*) } > FLASH  .hexstamp : { KEEP(*(.hexstamp)) } > FLASH
           .data : { *(.data*) } > RAM AT > FLASH  .bss : { *(.bss*) } > RAM }
"""


def firmware_elf(folder, name="app.elf", *options):
    """A Cortex-M3 ELF with a 7-byte stamp build_stamp in .hexstamp, a 17-byte symbol too_long and a
    .bss symbol in_ram, built by arm-none-eabi-gcc with extra options (-mbig-endian)."""
    source, layout = os.path.join(folder, "app.c"), os.path.join(folder, "app.ld")
    with open(source, "w") as c, open(layout, "w") as ld:
        c.write(FIRMWARE)
        ld.write(FIRMWARE_LAYOUT)
    subprocess.run(["arm-none-eabi-gcc", "-mcpu=cortex-m3", "-mthumb", "-O1", "-nostdlib",
                    *options, "-T", layout, source, "-o", os.path.join(folder, name)],
                   check=True, timeout=TIMEOUT)
    return os.path.join(folder, name)


def readme_recipe(name):
    """The lines of the README's code block marked <!-- recipe: name -->, as written."""
    readme = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "README.md")
    with open(readme, encoding="utf-8") as text:
        block = text.read().split(f"<!-- recipe: {name} -->\n", 1)[1]
    return block.split("```", 2)[1].split("\n", 1)[1]
