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
    for _ in range(2):
        result = subprocess.run([*emulator, binary, *args], env=env, stderr=subprocess.PIPE,
                                **kwargs)
        # Wine now and then fails to start a program: status 1 and not a byte written, which
        # the programs never give (each says why it fails). Such a start is tried again.
        if not (WINDOWS and result.returncode == 1 and not result.stdout and not result.stderr):
            break
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


def run_image(args, folder, source_date_epoch=str(MARCH_9_2024), **kwargs):
    """Runs hexstamp-image in folder, where the images are, on the real clock."""
    return run(args, epoch=None, binary=IMAGE_TOOL, source_date_epoch=source_date_epoch,
               cwd=folder, **kwargs)


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


# A board for QEMU's mps2-an385: its vector table at 0, a core that loops for ever.
BOARD = FIRMWARE + """__attribute__((used, section(".vectors"))) void (*const vectors[2])(void) =
    {(void (*)(void))0x20008000, _start};
"""
BOARD_LAYOUT = FIRMWARE_LAYOUT.replace("0x08000000", "0").replace(
    "SECTIONS {", "SECTIONS { .vectors : { KEEP(*(.vectors)) } > FLASH")


# An ATmega328P program that prints the stamp it reads from flash on its UART, again and again.
AVR_BOARD = """#include <hexstamp/stamp.h>
#include <avr/io.h>
HEXSTAMP_DEFINE(build_stamp, 7);
static void put(char c) { while (!(UCSR0A & (1 << UDRE0))) {} UDR0 = (uint8_t)c; }
static void put_number(int value, int digits) {
    if (digits > 1) { put_number(value / 10, digits - 1); }
    put((char)('0' + value % 10));
}
int main(void) {
    struct hexstamp_time t;
    UCSR0B = 1 << TXEN0;
    for (;;) {
        if (hexstamp_decode_P(build_stamp, sizeof build_stamp, &t)) {
            put_number(t.year, 4); put('-'); put_number(t.month, 2); put('-'); put_number(t.day, 2);
            put(' '); put_number(t.hour, 2); put(':'); put_number(t.minute, 2); put(':');
            put_number(t.second, 2);
        } else {
            put('?');
        }
        put('\\n');
    }
}
"""


def wait_until(condition, what, seconds=30):
    """Polls condition until it holds; a board or server that never gets there fails its
    test after `seconds` rather than hanging the run."""
    deadline = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > deadline:
            raise AssertionError(f"not {what} within {seconds} s")
        time.sleep(0.05)


def listening(port):
    """Whether a TCP server of this machine listens on the port, asked of the kernel, not of
    the server (a server of one client would take the question for its client)."""
    for table in ["/proc/net/tcp", "/proc/net/tcp6"]:
        with open(table) as entries:
            for entry in entries.readlines()[1:]:
                local, state = entry.split()[1], entry.split()[3]
                if local.endswith(f":{port:04X}") and state == "0A":
                    return True
    return False


def firmware_elf(folder, name="app.elf", *options, code=(FIRMWARE, FIRMWARE_LAYOUT)):
    """A Cortex-M3 ELF with a 7-byte stamp build_stamp in .hexstamp, a 17-byte symbol too_long and a
    .bss symbol in_ram, built by arm-none-eabi-gcc with extra options (-mbig-endian)."""
    source, layout = os.path.join(folder, "app.c"), os.path.join(folder, "app.ld")
    with open(source, "w") as c, open(layout, "w") as ld:
        c.write(code[0])
        ld.write(code[1])
    subprocess.run(["arm-none-eabi-gcc", "-mcpu=cortex-m3", "-mthumb", "-O1", "-nostdlib",
                    *options, "-T", layout, source, "-o", os.path.join(folder, name)],
                   check=True, timeout=TIMEOUT)
    return os.path.join(folder, name)


def readme_recipe(name):
    """The lines of the code block marked <!-- recipe: name --> in the README or the page of
    recipes, as written."""
    top = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    for page in ["README.md", "docs/recipes.md"]:
        with open(os.path.join(top, page), encoding="utf-8") as text:
            parts = text.read().split(f"<!-- recipe: {name} -->\n", 1)
        if len(parts) == 2:
            return parts[1].split("```", 2)[1].split("\n", 1)[1]
    raise KeyError(name)


def checksum(data):
    return f"{sum(data.encode('latin-1')) & 0xFF:02x}"


def frame(data):
    return f"${data}#{checksum(data)}"


# What a reader of a board may send: anything else could change the board or leave it stopped.
ALLOWED = ["qSupported", "?", "qRcmd," + b"swd_scan".hex(), "qRcmd," + b"swdp_scan".hex(),
           "vAttach;1", "m", "c"]


class GdbServer:
    """A scripted GDB server, on TCP at 127.0.0.1 or on a pseudo-terminal, whose memory holds
    `memory` at `address` (or, with no address, the (address, bytes) blocks of `memory`). It
    behaves as each word of `quirks` says, logs the packets the client sends in `sent`, and
    the packets no reader may send in `forbidden` (qCRC is allowed with `crc`, D only to
    gdbserver): rle (runs encoded with '$' and '#' counts), short (PacketSize=8, two bytes a
    reply), nak (one '-' for the first request, one reply with a bad checksum), console (O
    packets), detached (W00 until attached by a scan), error (E01 to every read), hangup
    (closes at once), silent (never answers), crc / badcrc / qc1 / crcerror (qCRC answered
    right, wrong, QC1 or E01; otherwise empty), small (PacketSize=100), dies (closes at the
    third read), busy (as OpenOCD: takes 0.2 s to resume the core after c, and closes a new
    client while it still counts the old one), simavr (no PacketSize, E01 outside memory),
    gdbserver (a process server, which D detaches from), stall (never answers a read), notify (a
    stop notification with a '-' in it before every reply), garble (a copy of each reply with a
    bad checksum before the right one), crawl (a read answered with one byte after a second),
    noisy (a read answered with a newline, an escape sequence and a NUL), refusing (E01 to
    qSupported), slow (reads at 64 KiB/s)."""

    def __init__(self, address, memory, quirks=(), serial=False, crc=False):
        import socket
        import threading
        self.blocks = [(address, bytes(memory))] if address is not None else memory
        self.quirks, self.crc = set(quirks), crc
        self.sent, self.forbidden, self.naks, self.reads, self.rejected = [], [], 0, 0, 0
        self.active = False
        if serial:
            import tty
            self.master, slave = os.openpty()
            tty.setraw(slave)
            self.path = os.ttyname(slave)
            self.slave = slave
        else:
            self.listener = socket.create_server(("127.0.0.1", 0))
            self.listener.settimeout(30)
            self.path = f"127.0.0.1:{self.listener.getsockname()[1]}"
        self.serial = serial
        self.thread = threading.Thread(target=self.serve, daemon=True)
        self.thread.start()

    def serve(self):
        if self.serial:
            return self.converse(lambda: os.read(self.master, 4096),
                                 lambda data: os.write(self.master, data))
        import threading
        while True:  # one client after another
            try:
                connection, _ = self.listener.accept()
            except OSError:
                return
            if self.active:  # only a busy server takes a client while it counts another
                self.rejected += 1
                connection.close()
                continue
            self.active = "busy" in self.quirks
            client = threading.Thread(target=self.client, args=(connection,), daemon=True)
            client.start()
            if not self.active:
                client.join()

    def client(self, connection):
        with connection:
            if "hangup" not in self.quirks:
                connection.sendall(frame("T02thread:01;").encode())  # as QEMU does
                self.converse(lambda: connection.recv(4096), connection.sendall)
        self.active = False

    def converse(self, read, write):
        self.write = lambda text: write(text.encode("latin-1"))
        pending = ""
        while True:
            try:
                data = read()
            except OSError:
                return
            if not data:
                return
            pending += data.decode("latin-1")
            while "#" in pending and len(pending) >= pending.index("#") + 3:
                start, end = pending.find("$"), pending.index("#")
                packet, pending = pending[start + 1:end], pending[end + 3:]
                if start >= 0 and "silent" not in self.quirks:
                    self.answer(packet)
                if "dies" in self.quirks and self.reads == 3:
                    return

    def answer(self, packet):
        self.sent.append(packet)
        allowed = ALLOWED + ["qCRC:"] * self.crc + ["D"] * ("gdbserver" in self.quirks)
        if not any(packet == each or (each in ("m", "qSupported", "qCRC:") and
                                      packet.startswith(each)) for each in allowed):
            self.forbidden.append(packet)
        if "nak" in self.quirks and self.naks == 0:
            self.naks = 1
            self.write("-")
            return
        self.write("+")
        if "console" in self.quirks and packet != "c":
            self.write(frame("O" + b"hello\n".hex()))
        if packet.startswith("qSupported") and "refusing" in self.quirks:
            self.reply("E01")
        elif packet.startswith("qSupported"):
            sizes = {"short": "8", "small": "100", "gdbserver": "47ff;QPassSignals+;"
                     "QDisableRandomization+"}
            size = next((sizes[quirk] for quirk in sizes if quirk in self.quirks), "1000")
            self.reply("qXfer:memory-map:read+" if "simavr" in self.quirks else
                       f"PacketSize={size};qXfer:features:read+")
        elif packet == "?":
            self.reply("W00" if "detached" in self.quirks and "attached" not in self.quirks else "S05")
        elif packet.startswith("qRcmd,"):
            self.write(frame("O" + b"Target voltage: 3.3V\n".hex()))
            self.reply("OK" if packet.endswith(b"swdp_scan".hex()) else "")  # the older spelling
        elif packet == "vAttach;1":
            self.quirks.add("attached")
            self.reply("T05thread:01;")
        elif packet.startswith("m"):
            self.reads += 1
            if "stall" not in self.quirks:
                self.read_memory(packet)
        elif packet.startswith("qCRC:"):
            self.answer_crc(*(int(field, 16) for field in packet[5:].split(",")))
        elif packet == "c" and "busy" in self.quirks:
            time.sleep(0.2)  # resuming the core; the client counts until its close is seen
        elif packet != "c":
            self.reply("OK" if packet == "D" else "")

    def reply(self, data, encoded=None):
        text = encoded if encoded is not None else data
        if "notify" in self.quirks:  # as in non-stop mode; never acknowledged
            self.write("%Stop:T05-thread:01;#00")
        if "garble" in self.quirks:
            self.write(f"${text}#{int(checksum(text), 16) ^ 0x10:02x}")
        if "nak" in self.quirks and self.naks == 1 and data and data[0] in "0123456789abcdef":
            self.naks = 2
            self.write(f"${text}#{int(checksum(text), 16) ^ 1:02x}")
        self.write(f"${text}#{checksum(text)}")

    def memory_at(self, where, count):
        return next((block[where - start:where - start + count] for start, block in self.blocks
                     if start <= where and where + count <= start + len(block)), None)

    def answer_crc(self, where, count):
        answers = {"qc1": "QC1", "crcerror": "E01"}
        memory = self.memory_at(where, count)
        if "crc" in self.quirks or "badcrc" in self.quirks:
            right = crc32_mpeg2(memory) if memory is not None else 0
            return self.reply(f"C{right ^ ('badcrc' in self.quirks):x}")
        self.reply(next((answers[quirk] for quirk in answers if quirk in self.quirks), ""))

    def read_memory(self, packet):
        if "error" in self.quirks:
            return self.reply("E01")
        where, count = (int(field, 16) for field in packet[1:].split(","))
        memory = self.memory_at(where, count)
        if memory is None:
            return self.reply("E01" if "simavr" in self.quirks else "E14")
        if "noisy" in self.quirks:
            return self.reply("nonsense\n\x1b[31mred\x00")
        if "crawl" in self.quirks:
            time.sleep(1)
        if "slow" in self.quirks:
            time.sleep(count / 65536)
        data = memory[:1 if "crawl" in self.quirks else min(count, 2) if "short" in self.quirks
                      else count].hex()
        if "rle" in self.quirks:
            # 8 and 7 copies of a digit, as probe-rs sends them: counts '$' and '#'.
            encoded = data.replace("0" * 8, "0*$").replace("0" * 7, "0*#")
            return self.reply(data, encoded)
        self.reply(data)

    def close(self):
        if self.serial:
            os.close(self.master)
            os.close(self.slave)
        else:
            self.listener.close()


def crc32_mpeg2(data):
    """GDB's qCRC: CRC-32 most significant bit first, from 0xFFFFFFFF, no final inversion."""
    crc = 0xFFFFFFFF
    for byte in data:
        crc ^= byte << 24
        for _ in range(8):
            crc = (crc << 1 ^ 0x04C11DB7 if crc & 0x80000000 else crc << 1) & 0xFFFFFFFF
    return crc


def elf32(segments, machine=40):
    """A little-endian ELF32 executable of one program header for each (load address, run
    address, flags, data) segment, and no sections: 40 is ARM, 83 AVR."""
    import struct
    data_at = 52 + 32 * len(segments)
    header = struct.pack("<4sBBBB8xHHIIIIIHHHHHH", b"\x7fELF", 1, 1, 1, 0, 2, machine, 1, 0, 52,
                         0, 0, 52, 32, len(segments), 40, 0, 0)
    table, body = b"", b""
    for load, run, flags, data in segments:
        table += struct.pack("<IIIIIIII", 1, data_at + len(body), run, load, len(data), len(data),
                             flags, 1)
        body += data
    return header + table + body


class QemuBoard:
    """A Cortex-M3 running `elf` under qemu-system-arm, its GDB server on TCP or on a
    pseudo-terminal (`path`); running() asks QMP whether the core still runs."""

    def __init__(self, folder, elf, serial=False):
        import socket
        self.qmp = os.path.join(folder, "qmp")
        port = socket.create_server(("127.0.0.1", 0))
        gdb = ["-chardev", "pty,id=g", "-gdb", "chardev:g"] if serial else [
            "-gdb", f"tcp:127.0.0.1:{port.getsockname()[1]}"]
        self.path = f"127.0.0.1:{port.getsockname()[1]}"
        port.close()
        self.process = subprocess.Popen(
            ["qemu-system-arm", "-M", "mps2-an385", "-display", "none", "-serial", "null",
             "-monitor", "none", "-kernel", elf, "-qmp", f"unix:{self.qmp},server=on,wait=off",
             *gdb], stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        if serial:  # "char device redirected to /dev/pts/N (label g)"
            self.path = self.process.stdout.readline().split(" to ")[1].split()[0]
        # QMP answers once QEMU is up, its GDB server too.
        wait_until(lambda: self.process.poll() is None and os.path.exists(self.qmp) and
                   self.running() == "running", "QEMU running")

    def running(self):
        import json
        import socket
        with socket.socket(socket.AF_UNIX) as qmp:
            qmp.settimeout(TIMEOUT)
            qmp.connect(self.qmp)
            stream = qmp.makefile("rw")
            stream.readline()
            for command in ["qmp_capabilities", "query-status"]:
                stream.write(json.dumps({"execute": command}) + "\n")
                stream.flush()
                answer = {}
                while "return" not in answer:  # events (STOP, RESUME) may come first
                    answer = json.loads(stream.readline())
            return answer["return"]["status"]

    def close(self):
        self.process.kill()
        self.process.wait()
        self.process.stdout.close()


def serial_port(path):
    """The name the target gives a serial port: under Wine, COM7 linked to the pty."""
    if not WINDOWS:
        return path
    link = os.path.join(os.environ.get("WINEPREFIX", os.path.expanduser("~/.wine")),
                        "dosdevices", "com7")
    if os.path.lexists(link):
        os.remove(link)
    os.symlink(path, link)
    return "COM7"


# Images whose layout carries checksums, built as their formats describe them.
def uf2_file(blocks, family=0xE48BFF56, flags=0x2000, numbers=None, tags=b"", whole=False):
    """UF2 blocks of (address, payload): with flag 0x4000 each carries its payload's MD5, or
    with `whole` the MD5 of all the payloads, from the first block's address on."""
    import hashlib
    import struct
    everything = b"".join(data for _, data in blocks)
    out = b""
    for index, (address, data) in enumerate(blocks):
        body = (data + tags).ljust(476, b"\0")
        region = (blocks[0][0], everything) if whole else (address, data)
        if flags & 0x4000:
            body = body[:452] + struct.pack("<II", region[0], len(region[1])) + \
                hashlib.md5(region[1]).digest()
        number = index if numbers is None else numbers[index]
        out += struct.pack("<8I", 0x0A324655, 0x9E5D5157, flags | (0x8000 if tags else 0),
                           address, len(data), number, len(blocks), family) + body + \
            struct.pack("<I", 0x0AB16F30)
    return out


def esp_image(segments, hashed=True, trailer=b""):
    """An ESP-IDF app image of (address, data) segments, its checksum and SHA-256."""
    import hashlib
    import struct
    image = struct.pack("<BBBBI", 0xE9, len(segments), 2, 0x20, 0x40080000) + bytes(15) + \
        bytes([hashed])
    checksum = 0xEF
    for address, data in segments:
        image += struct.pack("<II", address, len(data)) + data
        for byte in data:
            checksum ^= byte
    image += bytes(15 - len(image) % 16) + bytes([checksum])
    return image + (hashlib.sha256(image).digest() if hashed else b"") + trailer


def dfu_suffix(body, dfu_version=0x011A):
    """`body` and a DFU suffix whose CRC is right."""
    import struct
    import zlib
    whole = body + struct.pack("<4H", 0xFFFF, 0xDF11, 0x0483, dfu_version) + b"UFD\x10"
    return whole + struct.pack("<I", ~zlib.crc32(whole) & 0xFFFFFFFF)


def dfuse_file(elements, target_size=None):
    """A DfuSe file of one target holding (address, data) elements."""
    import struct
    data = b"".join(struct.pack("<II", address, len(part)) + part for address, part in elements)
    target = b"Target\0" + struct.pack("<I", 1) + b"Internal Flash".ljust(255, b"\0") + \
        struct.pack("<II", len(data) if target_size is None else target_size, len(elements))
    return dfu_suffix(b"DfuSe\x01" + struct.pack("<I", 11 + len(target) + len(data)) + b"\x01" +
                      target + data)


def intel_hex(start, data):
    """`data` from `start` as Intel HEX, 16 bytes a record, as objcopy writes it."""
    text, upper = "", None
    for at in range(0, len(data), 16):
        address = start + at
        if address >> 16 != upper:
            upper = address >> 16
            text += record(0, 4, [upper >> 8, upper & 0xFF])
        text += record(address & 0xFFFF, 0, list(data[at:at + 16]))
    return text + ":00000001FF\n"


def tlv(kind, value):
    import struct
    return struct.pack("<HH", kind, len(value)) + value


def mcuboot_image(body, hashed=0x10, header_size=0x20, protected=b"", flags=0, more=b""):
    """An MCUboot image, version 1.2.3+4: header, `body`, a protected TLV area of the
    `protected` entries when given, and a TLV area of a hash TLV (0x10 SHA-256, 0x11 SHA-384,
    0x12 SHA-512, None: none) over all those, then the `more` entries."""
    import hashlib
    import struct
    area = struct.pack("<HH", 0x6908, 4 + len(protected)) + protected if protected else b""
    header = struct.pack("<IIHHIIBBHII", 0x96F3B83D, 0, header_size, len(area), len(body),
                         flags, 1, 2, 3, 4, 0).ljust(header_size, b"\0")
    hashed_part = header + body + area
    entries = more
    if hashed:
        name = {0x10: "sha256", 0x11: "sha384", 0x12: "sha512"}[hashed]
        entries = tlv(hashed, hashlib.new(name, hashed_part).digest()) + more
    return hashed_part + struct.pack("<HH", 0x6907, 4 + len(entries)) + entries


def app_description(project=b"blink", version=b"v1.0", date=b"Mar  9 2024", time=b"07:05:02"):
    """ESP-IDF's esp_app_desc_t, which starts the first segment of an app image."""
    import struct
    return struct.pack("<III4x32s32s16s16s32s32s80x", 0xABCD5432, 0, 0, version, project, time,
                       date, b"v5.1", bytes(32))
