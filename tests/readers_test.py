"""Independent Intel HEX readers must place the stamp exactly where it belongs, in what
hexstamp writes and in every image hexstamp-image stamps."""
import os
import shutil
import struct
import subprocess
import tempfile
import unittest

from intelhex import IntelHex

from harness import (IMAGE_TOOL, MARCH_9_2024, TIMEOUT, WINDOWS, dfu_suffix, dfuse_file,
                     esp_image, firmware_elf, intel_hex, lines, mcuboot_image, record, run,
                     run_image, stamp, stamps, tlv, uf2_file)

ARM_GCC = shutil.which("arm-none-eabi-gcc")


def tool(*command):
    result = subprocess.run(command, capture_output=True, text=True, timeout=TIMEOUT)
    if result.returncode != 0 or result.stderr:
        raise AssertionError(f"{command[0]} failed: {result.stderr}")
    return result.stdout


def objcopy(path, out):
    tool("objcopy", "-I", "ihex", "-O", "binary", path, out)
    tool("objcopy", "-I", "ihex", "-O", "verilog", path, out + ".v")
    with open(out, "rb") as data, open(out + ".v") as verilog:
        return int(verilog.readline()[1:], 16), data.read()


def srecord(path, out):
    info = tool("srec_info", path, "-intel")
    first = int(info.split("Data:")[1].split("-")[0], 16)
    tool("srec_cat", path, "-intel", "-offset", f"-{first}", "-o", out, "-binary")
    with open(out, "rb") as data:
        return first, data.read()


def intelhex(path, _out):
    memory = IntelHex(path).todict()
    first = min(memory)
    return first, bytes(memory.get(first + offset, -1) for offset in range(len(memory)))


class Readers(unittest.TestCase):
    def test_readers_place_the_stamp_at_its_address(self):
        ranges = [(start, length) for start in [0, 0x1FF0, 0x7FF0, 0x0800FFF0, 0xFFFFFFF0]
                  for length in [1, 7, 16]] + [(0xFFF8, 16)]
        with tempfile.TemporaryDirectory() as folder:
            path, out = os.path.join(folder, "stamp.hex"), os.path.join(folder, "stamp.bin")
            for start, length in ranges:
                # Binary mode: the file holds the line endings exactly as the tool wrote them.
                with open(path, "wb") as hex_file:
                    result = run([hex(start), hex(start + length - 1)], stdout=hex_file)
                expected = [(start, bytes(data)) for data in stamps(result, length)]
                for reader in [objcopy, srecord, intelhex]:
                    with self.subTest(start=hex(start), length=length, reader=reader.__name__):
                        self.assertIn(reader(path, out), expected)

    @unittest.skipUnless(IMAGE_TOOL, "needs hexstamp-image")
    def test_stamped_images_hold_the_stamp_and_nothing_else_changed(self):
        sixteen = [record(address, 0, list(range(address & 0xFF, (address & 0xFF) + 16)))
                   for address in range(0, 0x60, 16)]
        hex_a = "".join(sixteen) + ":00000001FF\n"
        linear = record(0, 4, [0x08, 0x00]) + hex_a.replace(":00000001FF\n", "")
        segment = record(0, 2, [0x10, 0x00]) + hex_a
        srec = ("S00600004844521B\nS1130000000102030405060708090A0B0C0D0E0F74\n"
                "S1130010101112131415161718191A1B1C1D1E1F64\nS5030002FA\nS9030000FC\n")
        rows = [  # format, image, first, last, options, lines rewritten, lines added
            ("ihex", hex_a, 0x0044, 0x004A, [], 1, 0),
            ("ihex", hex_a, 0x0038, 0x0047, [], 2, 0),
            ("ihex", hex_a, 0x0060, 0x0066, [], 0, 1),
            ("ihex", linear + ":00000001FF\n", 0x0800FFF0, 0x0800FFFF, [], 0, 1),
            ("ihex", segment, 0x00020000, 0x00020006, [], 0, 3),  # 02 0000, 04 0002, data
            ("ihex", hex_a.lower().replace("\n", "\r\n"), 0xFFFC, 0x10002, [], 0, 3),
            ("srec", srec, 0x0020, 0x0026, [], 1, 1),  # and the S5 count
            ("srec", srec.replace("S5030002FA\nS9030000FC\n", ""), 0x20000, 0x20006, [], 0, 1),
            ("binary", bytes(range(256)), 0x08000080, 0x08000086, ["--base", "0x08000000"], 0, 0),
            # A stamp across two blocks, each block's MD5 made anew; two families alike.
            ("uf2", uf2_file([(0x10000000 + 256 * n, PAYLOAD) for n in range(4)], flags=0x6000),
             0x100000FC, 0x10000102, [], 0, 0),
            ("uf2", uf2_file([(0x10000000, PAYLOAD)]) + uf2_file([(0x10000000, PAYLOAD)],
                                                                 family=0xADA52840),
             0x10000010, 0x10000016, [], 0, 0),
            # 4096 blocks, each with the MD5 of all 1 MiB: that MD5 is made once.
            ("uf2", uf2_file([(0x10000000 + 256 * n, bytes([n & 0xFF]) * 256) for n in range(4096)],
                             flags=0x6000, whole=True), 0x10080000, 0x10080006, [], 0, 0),
            ("esp", esp_image([(0x3F400020, bytes(64)), (0x40080000, PAYLOAD)]), 0x40080010,
             0x40080016, [], 0, 0),
            ("esp", esp_image([(0x40080000, PAYLOAD)], hashed=False), 0x400800F9, 0x400800FF, [],
             0, 0),
            ("dfuse", dfuse_file([(0x08000000, PAYLOAD), (0x08004000, PAYLOAD)]), 0x08004010,
             0x08004016, [], 0, 0),
            ("dfu", dfu_suffix(PAYLOAD, 0x0100), 0x08000010, 0x08000016, ["--base", "0x08000000"],
             0, 0),
            ("titxt", "@8000\n00 01 02 03 04 05 06 07 08 09 0a 0b 0c 0d 0e 0f\r\n10 11\r\nq\r\n",
             0x800A, 0x8010, [], 2, 0),
            ("titxt", "@8000\n00 01\nQ\n", 0xA000, 0xA006, [], 0, 2),
            # The hash made anew; the second HEX holds two images, the stamp in the second.
            ("mcuboot", mcuboot_image(PAYLOAD), 0x08000040, 0x08000046, ["--base", "0x08000000"],
             0, 0),
            ("mcuboot", mcuboot_image(PAYLOAD, 0x11, protected=tlv(0x50, b"seq1")), 0x08000111,
             0x0800011F, ["--base", "0x08000000"], 0, 0),
            ("mcuboot", mcuboot_image(PAYLOAD * 2, 0x12, 0x200), 0x0800C200, 0x0800C206,
             ["--base", "0x0800C000"], 0, 0),
            ("mcuhex", intel_hex(0xC000, mcuboot_image(PAYLOAD, 0x10, 0x200, tlv(0x50, b"seq1"))),
             0xC210, 0xC216, [], 4, 0),
            ("mcuhex", intel_hex(0x10000, mcuboot_image(PAYLOAD[::-1]))[:-12] + intel_hex(
                0x20000, mcuboot_image(PAYLOAD, 0x11)), 0x20040, 0x20046, [], 5, 0),
            ("titxt", "  @8000\n00 01 02 03 04 05 06 07\nq\n", 0x8001, 0x8007, [], 1, 0),
        ]
        # Binaries that start as a text format would, given --base: an initial stack pointer
        # of 0x20000040 is "@", 0x2000003A ":".
        rows += [("binary", start + bytes(range(252)), 0x08000080, 0x08000086,
                  ["--base", "0x08000000"], 0, 0)
                 for start in [b"@\0\0\x20", b":\0\0\x20", b"S1\0\x20", b" :\0\x20"]]
        if ARM_GCC:
            rows += [("elf", None, None, None, [], 0, 0),
                     ("elf", None, None, None, ["--symbol", "build_stamp"], 0, 0),
                     ("elf", "-mbig-endian", None, None, [], 0, 0)]
        for kind, image, first, last, options, rewritten, added in rows:
            with self.subTest(kind=kind, first=first, options=options, image=str(image)[:12]):
                with tempfile.TemporaryDirectory() as folder:
                    self.check_stamped(folder, kind, image, first, last, options, rewritten,
                                       added)

    def check_stamped(self, folder, kind, image, first, last, options, rewritten, added):
        name = os.path.join(folder, f"image.{kind}")
        if kind == "elf":
            firmware_elf(folder, "image.elf", *([image] if image else []))
            first = int(symbol_address(name), 16)
            last = first + 6
        else:
            with open(name, "wb") as file:
                file.write(image.encode() if isinstance(image, str) else image)
        with open(name, "rb") as original:
            before = original.read()
        os.chmod(name, 0o640)  # kept by the file that replaces it (Windows has no such bits)
        memory = [read(name, options) for read in READERS[kind]]
        rng = [] if kind == "elf" else ["--first", hex(first), "--last", hex(last)]
        result = run_image(["stamp", *rng, *options, "image." + kind], folder)
        self.assertEqual((result.returncode, result.stderr), (0, ""))
        if not WINDOWS:
            self.assertEqual(os.stat(name).st_mode & 0o777, 0o640)
        self.assertEqual([leftover for leftover in os.listdir(folder) if "hexstamp-" in leftover],
                         [])
        expected = stamp(MARCH_9_2024, "UTC", last - first + 1)
        for read, earlier in zip(READERS[kind], memory):
            earlier.update({first + index: byte for index, byte in enumerate(expected)})
            self.assertEqual(read(name, options), earlier, read.__name__)
        with open(name, "rb") as stamped:
            after = stamped.read()
        if kind in ("elf", "binary"):
            changed = [at for at in range(len(before)) if before[at] != after[at]]
            self.assertEqual(len(after), len(before))
            self.assertLess(changed[-1] - changed[0], last - first + 1)
        elif kind in ("uf2", "esp", "dfuse", "dfu", "mcuboot"):  # the readers checked every checksum
            self.assertEqual(len(after), len(before))
        else:
            old, new = before.splitlines(True), after.splitlines(True)
            self.assertEqual(len([line for line in old if line not in new]), rewritten)
            self.assertEqual(len(new) - len(old), added)
        shown = run_image(["show", *rng, *options, "image." + kind], folder)
        built = " (MCUboot image 1.2.3+4, its SHA-{} holds)".format(
            {0x10: 256, 0x11: 384, 0x12: 512}[mcuboot_hash(by_intelhex(name, options))[-1][0]]) \
            if kind.startswith("mcu") else ""
        self.assertEqual(shown.stdout, lines("2024-03-09 07:05:02\n"[-3 * (last - first + 1):]
                                             if last - first < 6 else
                                             f"2024-03-09 07:05:02{built}\n"))
        self.check_whole(folder, name, kind, options, after)

    def check_whole(self, folder, name, kind, options, stamped):
        """verify IMAGE alone: whole by the image's own checks, then with one of them broken."""
        checked = run_image(["verify", *options, os.path.basename(name)], folder)
        has_checks = kind in BROKEN and (kind != "uf2" or
                                         struct.unpack_from("<I", stamped, 8)[0] & 0x4000 != 0)
        self.assertEqual((checked.returncode, "whole by its own checks" in checked.stdout,
                          checked.stderr), (0, has_checks, ""))
        if not has_checks:
            return
        offset, what = BROKEN[kind](stamped)
        broken = bytearray(stamped)
        digit = kind in ("ihex", "srec")  # another hexadecimal digit, else another byte
        broken[offset] = (ord("1") if broken[offset] == ord("0") else ord("0")) if digit else \
            broken[offset] ^ 0x01
        with open(name, "wb") as file:
            file.write(broken)
        checked = run_image(["verify", *options, os.path.basename(name)], folder)
        self.assertEqual(checked.returncode, 1, checked.stderr)
        self.assertIn(what, checked.stderr)
        with open(name, "rb") as file:
            self.assertEqual(file.read(), bytes(broken))


def symbol_address(elf):
    symbols = subprocess.run(["readelf", "-s", elf], capture_output=True, text=True).stdout
    return next(line.split()[1] for line in symbols.splitlines() if line.endswith(" build_stamp"))


def tool_to_dict(command, out):
    subprocess.run(command, check=True, capture_output=True, timeout=TIMEOUT)
    return IntelHex(out).todict()


def base(options):
    return int(options[options.index("--base") + 1], 16) if "--base" in options else 0


def by_objcopy(path, options):
    kind = {".ihex": "ihex", ".srec": "srec", ".binary": "binary"}.get(os.path.splitext(path)[1])
    command = ["arm-none-eabi-objcopy" if kind is None else "objcopy", "-O", "ihex"]
    if kind:
        command += ["-I", kind] + (["--change-addresses", hex(base(options))] if
                                   kind == "binary" else [])
    return tool_to_dict([*command, path, path + ".out"], path + ".out")


def by_srec_cat(path, options):
    kind = {".ihex": "-intel", ".srec": "-motorola", ".binary": "-binary"}[
        os.path.splitext(path)[1]]
    return tool_to_dict(["srec_cat", path, kind, "-offset", hex(base(options)), "-o",
                         path + ".out", "-intel"], path + ".out")


def by_intelhex(path, options):
    memory = IntelHex()
    if path.endswith((".binary", ".mcuboot")):
        memory.loadbin(path, offset=base(options))
    else:
        memory.loadhex(path)
    return memory.todict()


PAYLOAD = bytes(range(256))


def by_uf2(path, _options):
    """Every main-flash block's payload, each MD5 region checked with hashlib; families must
    agree."""
    import hashlib
    import struct
    memory, regions = {}, set()
    with open(path, "rb") as file:
        data = file.read()
    for at in range(0, len(data), 512):
        flags, address, size = struct.unpack_from("<III", data, at + 8)
        payload = data[at + 32:at + 32 + size]
        if flags & 0x4000:
            regions.add(struct.unpack_from("<II16s", data, at + 32 + 452))
        for index, byte in enumerate(payload):
            assert memory.setdefault(address + index, byte) == byte, "families differ"
    for first, length, digest in regions:
        assert hashlib.md5(bytes(memory[first + at] for at in range(length))).digest() == \
            digest, "MD5"
    return memory


def by_esp(path, _options):
    """The segments, with the checksum and the SHA-256 checked by hashlib."""
    import hashlib
    import struct
    with open(path, "rb") as file:
        data = file.read()
    memory, at, checksum = {}, 24, 0xEF
    for _ in range(data[1]):
        address, length = struct.unpack_from("<II", data, at)
        for index, byte in enumerate(data[at + 8:at + 8 + length]):
            memory[address + index] = byte
            checksum ^= byte
        at += 8 + length
    at += 15 - at % 16
    assert data[at] == checksum, "checksum"
    assert data[23] != 1 or hashlib.sha256(data[:at + 1]).digest() == data[at + 1:], "SHA-256"
    return memory


def by_dfu_suffix(path, options):
    """dfu-suffix -c must accept the CRC; the elements (or the binary) by their addresses."""
    import struct
    checked = subprocess.run(["dfu-suffix", "-c", path], capture_output=True, text=True)
    assert checked.returncode == 0 and "CRC" in checked.stdout, checked.stdout + checked.stderr
    with open(path, "rb") as file:
        data = file.read()[:-16]
    if not data.startswith(b"DfuSe"):
        return {base(options) + index: byte for index, byte in enumerate(data)}
    memory, at = {}, 11 + 274
    while at < len(data):
        address, length = struct.unpack_from("<II", data, at)
        memory.update({address + index: byte for index, byte in
                       enumerate(data[at + 8:at + 8 + length])})
        at += 8 + length
    return memory


def mcuboot_hash(memory):
    """The hash TLV of each MCUboot image in `memory` (which must all hold), by hashlib."""
    import hashlib
    images = sorted(at for at in memory if at % 4 == 0 and
                    bytes(memory.get(at + n, 0) for n in range(4)) == b"\x3d\xb8\xf3\x96")
    hashes = []
    for start in images:
        image = bytes(memory[at] for at in range(start, max(memory) + 1) if at in memory)
        header, protected, size = struct.unpack_from("<HHI", image, 8)
        hashed = header + size + protected
        kind, length = struct.unpack_from("<HH", image, hashed + 4)
        name = {0x10: "sha256", 0x11: "sha384", 0x12: "sha512"}[kind]
        assert hashlib.new(name, image[:hashed]).digest() == image[hashed + 8:hashed + 8 + length]
        hashes.append((kind, range(start + hashed + 8, start + hashed + 8 + length)))
    return hashes


def by_mcuboot(path, options):
    """The bytes from --base (or the HEX's records), every MCUboot image's hash checked and
    left out."""
    memory = by_intelhex(path, options)
    for _, hashed in mcuboot_hash(memory):
        for at in hashed:
            del memory[at]
    return memory


def by_srec_cat_ti_txt(path, _options):
    return tool_to_dict(["srec_cat", path, "-ti-txt", "-o", path + ".out", "-intel"], path + ".out")


def last_record(data, is_data):
    """The offset of the last digit of the last data record's checksum, and what verify names."""
    offset, last = 0, None
    for line in data.decode("latin-1").splitlines(True):
        if is_data(line):
            last = offset + len(line.rstrip("\r\n")) - 1
        offset += len(line)
    return last, "bad checksum"


# Where each format's own check lies, to break it: the offset of a byte, and what verify names.
BROKEN = {"ihex": lambda data: last_record(data, lambda line: line[7:9] == "00"),
          "srec": lambda data: last_record(data, lambda line: line[:2] in ("S1", "S2", "S3")),
          "uf2": lambda data: (32 + 452 + 8, "block 0: its MD5"),
          "esp": lambda data: (len(data) - 1, "SHA-256" if data[23] == 1 else "checksum byte"),
          "dfuse": lambda data: (len(data) - 1, "CRC"),
          "dfu": lambda data: (len(data) - 1, "CRC"),
          "mcuboot": lambda data: (len(data) - 1, "image hash"),
          "mcuhex": lambda data: last_record(data, lambda line: line[7:9] == "00")}

READERS = {"ihex": [by_objcopy, by_srec_cat, by_intelhex], "srec": [by_objcopy, by_srec_cat],
           "binary": [by_objcopy, by_srec_cat, by_intelhex], "elf": [by_objcopy],
           "uf2": [by_uf2], "esp": [by_esp], "dfuse": [by_dfu_suffix], "dfu": [by_dfu_suffix],
           "titxt": [by_srec_cat_ti_txt], "mcuboot": [by_mcuboot], "mcuhex": [by_mcuboot]}


if __name__ == "__main__":
    unittest.main()
