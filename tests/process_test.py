"""The real binaries as a script sees them: both streams and the exit status. Without
SOURCE_DATE_EPOCH, hexstamp-reproducible must pass every test hexstamp passes."""
import os
import re
import shlex
import shutil
import signal
import struct
import subprocess
import tempfile
import time
import unittest

from harness import (AVR_BOARD, BINARY, BOARD, BOARD_LAYOUT, EMULATOR, IMAGE_TOOL, REPRODUCIBLE, WINDOWS,
                     GdbServer, QemuBoard, app_description, dfu_suffix, dfuse_file, elf32, esp_image,
                     firmware_elf, hex_files, intel_hex, invocation_name, lines, listening,
                     mcuboot_image, readme_recipe, record, run, run_image, serial_port, tlv, uf2_file,
                     wait_until, zone_reaches, TIMEOUT)

BINARIES = [BINARY] + ([REPRODUCIBLE] if REPRODUCIBLE else [])
UNWRITABLE = "\nUnable to write to STDOUT\n"
BAD_EPOCH = "\nSOURCE_DATE_EPOCH must be a whole number of seconds from 0 to 253402300799, " \
            "not '{}'\n"


def usage(binary):
    return f"\nUsage: {invocation_name(binary)} <startaddress> <endendaddress>\n" \
           "Result will be generated to STDOUT\n"


class Process(unittest.TestCase):
    def test_streams_and_status(self):
        for binary in BINARIES:
            with self.subTest(binary=os.path.basename(binary)):
                self.check_streams_and_status(binary)

    def check_streams_and_status(self, binary):
        rows = [
            (["0x0100", "0x0106"], "UTC", 0, ":0701000001240309070502B9\n:00000001FF\n", ""),
            (["0x0100", "0x0106"], "Europe/Berlin", 0,
             ":0701000001240309080502B8\n:00000001FF\n", ""),
            ([], "UTC", 255, "", usage(binary)),
            (["abc", "zz"], "UTC", 1, "", "\nUnable to get startaddress from 'abc' parameter\n"),
            (["1", "zz"], "UTC", 2, "", "\nUnable to get endaddress from 'zz' parameter\n"),
            (["5", "4"], "UTC", 3, "", "\nStartaddress > endaddress\n"),
            (["0", "16"], "UTC", 4, "", "\nLength > 16 bytes\n"),
        ]
        for args, tz, status, out, message in rows:
            with self.subTest(args=args, tz=tz):
                if not zone_reaches(tz):
                    self.skipTest(f"{tz} does not reach the target")
                result = run(args, tz=tz, binary=binary)
                self.assertEqual(result.returncode, status)
                self.assertEqual(result.stdout, lines(out))
                self.assertEqual(result.stderr, lines(f"{message}Exit with code {status}\n"))

    @unittest.skipUnless(REPRODUCIBLE, "needs hexstamp-reproducible")
    def test_source_date_epoch(self):
        """hexstamp ignores SOURCE_DATE_EPOCH; hexstamp-reproducible reads it as UTC, whatever
        the zone, and refuses any text but plain digits up to 9999-12-31 23:59:59, once the
        arguments have passed."""
        march_9 = ":0701000001240309070502B9\n:00000001FF\n"
        rows = [  # binary, arguments, SOURCE_DATE_EPOCH, zone, status, stdout, message
            (BINARY, ["0x0100", "0x0106"], "0", "UTC", 0, None, ""),
            (REPRODUCIBLE, ["0x0100", "0x0106"], "1709967902", "Asia/Kolkata", 0, march_9, ""),
            (REPRODUCIBLE, ["0x0100", "0x0106"], "0", "UTC", 0,
             ":070100000070010100000086\n:00000001FF\n", ""),
            (REPRODUCIBLE, ["0x0100", "0x0106"], "4102444800", "America/New_York", 0,
             ":0701000002000101000000F4\n:00000001FF\n", ""),
            (REPRODUCIBLE, ["0x0100", "0x0106"], "253402300799", "UTC", 0,
             ":0701000080991231235959C7\n:00000001FF\n", ""),
            (REPRODUCIBLE, ["0x0800FFF0", "0x0800FFF6"], "946684799", "UTC", 0,
             ":020000040800F2\n:07FFF0000099123123595959\n:00000001FF\n", ""),
            *[(REPRODUCIBLE, ["0", "6"], text, "UTC", 6, "", BAD_EPOCH.format(text))
              for text in ["abc", "-1", "+5", " 5", "5 ", "1.5", "0x10", "253402300800",
                           "9" * 30]],
            (REPRODUCIBLE, ["abc", "6"], "abc", "UTC", 1, "",
             "\nUnable to get startaddress from 'abc' parameter\n"),
            (REPRODUCIBLE, ["6"], "abc", "UTC", 255, "", usage(REPRODUCIBLE)),
        ]
        for binary, args, epoch, tz, status, out, message in rows:
            with self.subTest(binary=os.path.basename(binary), args=args, epoch=epoch, tz=tz):
                result = run(args, tz=tz, binary=binary, source_date_epoch=epoch)
                # None: the clock's local time at the run, not the variable's instant.
                outs = hex_files(result, 0x0100, 7) if out is None else [lines(out)]
                self.assertEqual(result.returncode, status)
                self.assertIn(result.stdout, outs)
                self.assertEqual(result.stderr, lines(f"{message}Exit with code {status}\n"))

    def test_unwritable_output_is_never_success(self):
        with open("/dev/full", "w") as full:
            results = [run(["0", "6"], binary=binary, stdout=full) for binary in BINARIES] + [
                run(["0", "6"], epoch=None, stdout=None, preexec_fn=lambda: os.close(1))]
        for result in results:
            self.assertEqual(result.returncode, 7)
            self.assertEqual(result.stderr, lines(f"{UNWRITABLE}Exit with code 7\n"))

    def test_stamp_follows_zone_rules_and_calendar_edges(self):
        rows = [
            ("UTC", 1709967902),               # 2024-03-09 07:05:02
            ("Asia/Kolkata", 1709967902),      # +05:30
            ("Europe/Berlin", 1711846799),     # 01:59:59 CET, the second before summer time
            ("Europe/Berlin", 1711846800),     # 03:00:00 CEST
            ("America/New_York", 1710053999),  # 01:59:59 EST
            ("America/New_York", 1710054000),  # 03:00:00 EDT
            ("America/New_York", 1730613599),  # 01:59:59 EDT, the second before winter time
            ("America/New_York", 1730613600),  # 01:00:00 EST
            ("UTC", 946684799),                # 1999-12-31 23:59:59, century count 0
            ("UTC", 946684800),                # 2000-01-01 00:00:00, century count 1
            ("UTC", 1709208000),               # 2024-02-29 12:00:00, a leap day
        ]
        # Past the ends of signed and unsigned 32-bit seconds, away from summer-time changes,
        # so that they run on every target, Windows included.
        past_2038 = [
            2147483648,  # 2038-01-19 03:14:08 UTC, one second past signed 32 bits
            2222121600,  # 2040-06-01 00:00:00 UTC, in summer time
            4102444799,  # 2099-12-31 23:59:59 UTC
            4294967296,  # 2106-02-07 06:28:16 UTC, one second past unsigned 32 bits
        ]
        rows += [(tz, epoch, True) for epoch in past_2038 for tz in ["UTC", "Europe/Berlin"]]
        for tz, epoch, *away_from_changes in rows:
            with self.subTest(tz=tz, epoch=epoch):
                if not zone_reaches(tz, *away_from_changes):
                    self.skipTest(f"{tz} does not reach the target")
                for binary in BINARIES:
                    result = run(["0x7FF0", "0x7FFF"], epoch=epoch, tz=tz, binary=binary)
                    [expected] = hex_files(result, 0x7FF0, 16)
                    self.assertEqual(result.stdout, expected)


def no_core_dump():
    """SIGQUIT's default action leaves no core file beside the images."""
    import resource
    resource.setrlimit(resource.RLIMIT_CORE, (0, 0))


def make_files(folder, files):
    """Each file's text, or ("link", to), ("fifo",) or ("mount", file bound over it); gives
    the mount points."""
    mounted = []
    for name, text in files.items():
        path = os.path.join(folder, name)
        kind = text[0] if isinstance(text, tuple) else None
        if kind == "link":
            os.symlink(text[1], path)
        elif kind == "fifo":
            os.mkfifo(path)
        else:
            with open(path, "wb") as file:
                file.write(b"" if kind == "mount" else text.encode("latin-1"))
        if kind == "mount":
            subprocess.run(["mount", "--bind", os.path.join(folder, text[1]), path], check=True)
            mounted.append(path)
    return mounted


def files_in(folder, names):
    """What make_files would have made for the files now in the folder."""
    found = {}
    for name, made in names.items():
        path = os.path.join(folder, name)
        if os.path.islink(path):
            found[name] = ("link", os.readlink(path))
        elif os.path.exists(path) and not os.path.isfile(path):
            found[name] = ("fifo",)
        elif isinstance(made, tuple) and made[0] == "mount":
            found[name] = made
        else:
            with open(path, "rb") as file:
                found[name] = file.read().decode("latin-1")
    return found


def hex_with(address, data, end=":00000001FF\n"):
    return record(address, 0, data) + end


STAMP_BYTES = [0x01, 0x24, 0x03, 0x09, 0x07, 0x05, 0x02]
SIGNED = "the MCUboot image at 0x00000000 cannot take a stamp: it {}, and its boot loader " \
    "would refuse it. Stamp the ELF (or the unsigned .bin or .hex) before the image is signed"
# MCUboot images that may not take a stamp at 0x40-0x46, and why.
MCUBOOT_REFUSED = [
    (mcuboot_image(bytes(256), more=tlv(0x22, bytes(72))),
     SIGNED.format("is signed (TLV 0x22, an ECDSA signature)")),
    (mcuboot_image(bytes(256), more=tlv(0x24, bytes(64))), SIGNED.format("is signed (TLV 0x24, "
                                                                         "ED25519)")),
    (mcuboot_image(bytes(256), None, more=tlv(0x25, bytes(64))),
     SIGNED.format("is signed without a hash (TLV 0x25, a pure signature)")),
    (mcuboot_image(bytes(256), more=tlv(0x01, bytes(32))),
     SIGNED.format("carries the hash of a signing key (TLV 0x01)")),
    (mcuboot_image(bytes(256), flags=0x08), SIGNED.format("is encrypted (flags 0x04 or 0x08)")),
    (mcuboot_image(bytes(256), flags=0x200), SIGNED.format("is compressed (flags 0x200 or 0x400)")),
    (mcuboot_image(bytes(256), protected=tlv(0x70, b"\1\0\0\0")),
     SIGNED.format("is compressed (TLV 0x70 to 0x73)")),
    (mcuboot_image(bytes(256), header_size=0x200), "0x00000040-0x00000046 lies in the header of "
     "the MCUboot image at 0x00000000; a stamp goes into its application, 0x00000200-0x000002FF"),
    (mcuboot_image(bytes(0x22)), "0x00000040-0x00000046 lies in the TLV area of the MCUboot "
     "image at 0x00000000; a stamp goes into its application, 0x00000020-0x00000041"),
    (mcuboot_image(bytes(256))[:-10], "the MCUboot TLV area at 0x120 says it holds 40 bytes, more "
     "than the file"),
    (mcuboot_image(bytes(256)).replace(b"\x07\x69", b"\x06\x69"),
     "no MCUboot TLV area (magic 0x6907) at 0x120, where its header says"),
    (mcuboot_image(bytes(256), None, more=tlv(0x10, bytes(31))),
     "its hash TLV 0x10 holds 31 bytes, not 32"),
    (mcuboot_image(bytes(256)).replace(bytes(8), b"changed!", 5), "the MCUboot image's SHA-256 "
     "is not the hash of its header and application; it was changed after it was made"),
]
STAMPED = hex_with(0x40, STAMP_BYTES)
STAMP_RANGE = ["--first", "0x40", "--last", "0x46"]
B = "Jürgen 固件.hex"  # a name no ANSI code page holds


@unittest.skipUnless(IMAGE_TOOL, "needs hexstamp-image")
class Image(unittest.TestCase):
    def test_a_refused_image_is_left_as_it_was(self):
        """Status 2, a message naming the file (and line), every file unchanged, no leftover."""
        zeros = hex_with(0x40, [0] * 7)
        srec = "S1130000000102030405060708090A0B0C0D0E0F74\n"
        stamp = ["stamp", *STAMP_RANGE]
        rows = [  # files, arguments, what the message says
            ({"a.hex": zeros.replace("B9", "BA")}, [*stamp, "a.hex"],
             "a.hex:1: bad checksum BA, expected B9"),
            ({"a.hex": zeros.replace("0000B9", "00G0B9")}, [*stamp, "a.hex"],
             "a.hex:1: column 22: 'G' (0x47) is not a hexadecimal digit"),
            ({"a.hex": zeros.replace("00B9", "0B9")}, [*stamp, "a.hex"],
             "a.hex:1: an odd number of hexadecimal digits (23)"),
            ({"a.hex": zeros.replace("0000B9", "B9")}, [*stamp, "a.hex"],
             "a.hex:1: the length byte says 7 data bytes, but the record holds 5"),
            ({"a.hex": record(0, 6, []) + zeros}, [*stamp, "a.hex"], "a.hex:1: unknown record type 06"),
            ({"a.hex": record(0x40, 0, [0] * 7)}, [*stamp, "a.hex"], "a.hex: no end-of-file record"),
            ({"a.hex": zeros + "\n" + record(0x50, 0, [1])}, [*stamp, "a.hex"],
             "a.hex:4: a record after the end-of-file record"),
            ({"a.hex": record(0, 4, [0xFF, 0xFF]) + hex_with(0xFFF8, [0] * 9)}, [*stamp, "a.hex"],
             "a.hex:2: data at 0xFFFFFFF8 runs past address 0xFFFFFFFF"),
            ({"a.srec": srec.replace("74", "75")}, [*stamp, "a.srec"],
             "a.srec:1: bad checksum 75, expected 74"),
            ({"a.srec": "S4030000FC\n"}, [*stamp, "a.srec"], "a.srec:1: unknown record type"),
            ({"a.srec": "S9030000FC\n" + srec}, [*stamp, "a.srec"],
             "a.srec:2: a record after the termination record"),
            ({"a.bin": "\x01\x02"}, [*stamp, "a.bin"], "a.bin: not ELF, Intel HEX, S-record, "
             "TI-TXT, UF2, DfuSe or an ESP-IDF app image; as a raw binary it needs --base ADDRESS"),
            *[({"a.bin": start + "\0" * 0x100}, [*stamp, "a.bin"], f"a.bin:1: {why}, so it is no "
               f"{name} file; as a raw binary it needs --base ADDRESS")
              for start, why, name in [
                  ("@\0\0\x20", 'a bad address: "@" takes 1 to 8 hexadecimal digits', "TI-TXT"),
                  (":\0\0\x20", "column 2: '?' (0x00) is not a hexadecimal digit", "Intel HEX"),
                  ("S1\0\x20", "column 3: '?' (0x00) is not a hexadecimal digit", "S-record"),
                  (" :\0\x20", "a record starts with ':'", "Intel HEX")]],
            ({"a.bin": "x" * 0x46}, [*stamp, "--base", "0", "a.bin"],
             "a.bin: 0x00000040-0x00000046 lies outside the file, which holds 70 bytes"),
            ({"a.hex": zeros}, [*stamp, "--base", "0", "a.hex"],
             "a.hex: --base is for raw binary images, and this is Intel HEX"),
            ({"a.hex": zeros, "b.hex": zeros[:-3]}, [*stamp, "a.hex", "b.hex"],
             "b.hex:2: a record of 4 bytes; the shortest holds 5"),
            ({"a.hex": zeros}, [*stamp, "a.hex", "missing.hex"], "missing.hex: cannot open: "),
            ({"a.hex": zeros}, [*stamp, "a.hex", B], B + ": cannot open: "),
            ({"a.hex": zeros}, ["stamp", "--first", "0x40", "a.hex"], "--first and --last go together"),
            ({"a.hex": zeros}, ["stamp", "--first", "-1", "--last", "5", "a.hex"],
             "--first: '-1' is not an address"),
            ({"a.hex": zeros}, ["stamp", "--first", "0x40", "--last", "0x46 ", "a.hex"],
             "--last: '0x46 ' is not an address"),
            ({"a.hex": zeros}, ["stamp", "--first", "0x40", "--last", "0x50", "a.hex"],
             "the range 0x00000040-0x00000050 holds 17 bytes, but a stamp holds 1 to 16"),
            ({"a.hex": zeros}, [*stamp, "--output", "o.hex", "a.hex", "a.hex"],
             "--output goes with stamp and one IMAGE"),
            ({"a.hex": zeros}, [*stamp, "--output", "-", "a.hex"],
             "--output -: a stamped image goes to a file, not to standard output"),
            ({"a.hex": zeros}, ["stamp", "--first", "0x40", "--last", "0x4F", "a.hex"],
             "a.hex: holds 7 of the 16 bytes of 0x00000040-0x0000004F; give the range"),
            ({"a.srec": srec}, ["stamp", "--first", "0x0C", "--last", "0x12", "a.srec"],
             "a.srec: holds 4 of the 7 bytes of 0x0000000C-0x00000012"),
            ({"a.hex": zeros}, ["stamp", "a.hex"], "no ELF among the images"),
            ({"a.hex": zeros}, ["stamp", "--section", ".x", "a.hex"], "--symbol and --section need an ELF among the images"),
            ({"a.hex": zeros}, [*stamp, "--json", "a.hex"], "--json goes with show"),
            ({"a.hex": zeros}, [*stamp, "--target", ":3333", "a.hex"], "--target goes with show"),
            ({"a.hex": zeros}, ["show", "--target", ":3333"], "no ELF among the images"),
            *[({}, ["show", *STAMP_RANGE, "--target", target], f"--target '{target}': {why}")
              for target, why in [(":0", "the port must be"), ("h:65536", "the port must be"),
                                  ("", "empty"), ("localhost", "no port"), ("[::1]3333", "no port")]],
            ({}, ["show", "--first", "0", "--last", "16", "--target", ":1"], "the range 0x00000000-0x00000010 holds 17 bytes"),
            ({"a.hex": zeros}, ["show", *STAMP_RANGE, "--target", ":1", "a.hex", "a.hex"],
             "show --target compares the board with one IMAGE at most"),
        ]
        # Formats with checksums of their own: each inconsistency refused before any write.
        def text(data):
            return data.decode("latin-1")
        uf2 = uf2_file([(0, bytes(256)), (256, bytes(256))])
        esp = esp_image([(0x40, bytes(64))])
        dfuse = dfuse_file([(0x40, bytes(64))])
        overflowing = bytearray(dfuse[:-16])
        overflowing[11 + 270:11 + 274] = b"\xff" * 4  # elements in the target
        rows += [
            ({"a.uf2": text(uf2[:-100])}, [*stamp, "a.uf2"],
             "a.uf2: a UF2 file is whole 512-byte blocks, but this one has 924 bytes"),
            ({"a.uf2": text(uf2[:1020] + bytes(4))}, [*stamp, "a.uf2"],
             "a.uf2: block 1 (at 0x200): not a UF2 block"),
            ({"a.uf2": text(uf2_file([(0, bytes(256)), (256, bytes(256))], numbers=[0, 0]))},
             [*stamp, "a.uf2"], "a.uf2: block 1: block number 0 of 2, out of turn"),
            ({"a.uf2": text(uf2[:16] + b"\xdd\x01" + uf2[18:])}, [*stamp, "a.uf2"],
             "a.uf2: block 0: a payload of 477 bytes, but a block holds 476 at most"),
            ({"a.uf2": text(uf2_file([(0, bytes(256))], tags=b"\x08\xb0\x6d\xb4firm"))},
             [*stamp, "a.uf2"], "a.uf2: block 0 carries a SHA-2 of the firmware"),
            ({"a.uf2": text(uf2)}, ["stamp", "--first", "0x200", "--last", "0x206", "a.uf2"],
             "a.uf2: no block holds 0x00000200-0x00000206"),
            ({"a.uf2": text(uf2)}, ["stamp", "--first", "0x1FC", "--last", "0x202", "a.uf2"],
             "a.uf2: the blocks of family 0xE48BFF56 hold 4 of the 7 bytes"),
            ({"a.uf2": text(uf2)}, [*stamp, "--base", "0", "a.uf2"],
             "a.uf2: --base is for raw binary images, and this is UF2"),
            ({"a.bin": text(esp[:-33] + b"\x00" + esp[-32:])}, [*stamp, "a.bin"],
             "a.bin: the checksum byte is 00, but the segments give EF"),
            ({"a.bin": text(esp[:-1] + b"\x00")}, [*stamp, "a.bin"],
             "a.bin: the SHA-256 after the checksum is not the image's"),
            ({"a.bin": text(esp[:28] + b"\x00\x10" + esp[30:])}, [*stamp, "a.bin"],
             "a.bin: not ELF, Intel HEX, S-record, TI-TXT, UF2, DfuSe or an ESP-IDF app image (it "
             "starts as an ESP-IDF app image, but its segments run past the end of the file)"),
            ({"a.bin": text(esp + b"signature")}, [*stamp, "a.bin"],
             "a.bin: 9 bytes after the checksum and the hash: a signed or unknown trailer"),
            ({"a.dfu": text(dfuse[:-1] + b"\x00")}, [*stamp, "a.dfu"],
             "a.dfu: the DFU suffix's CRC is"),
            ({"a.dfu": text(dfuse_file([(0x40, bytes(64))], target_size=60))}, [*stamp, "a.dfu"],
             "a.dfu: target 0, element 0: runs past the end of its target"),
            ({"a.dfu": text(dfu_suffix(bytes(overflowing)))}, [*stamp, "a.dfu"],
             "a.dfu: target 0, element 1: runs past the end of its target"),
            *[({"a.bin": text(image)}, [*stamp, "--base", "0", "a.bin"], "a.bin: " + message)
              for image, message in MCUBOOT_REFUSED],
            ({"a.hex": intel_hex(0x1000, MCUBOOT_REFUSED[0][0])},
             ["stamp", "--first", "0x1040", "--last", "0x1046", "a.hex"], "a.hex: the MCUboot "
             "image at 0x00001000 cannot take a stamp: it is signed (TLV 0x22"),
            ({"a.bin": text(mcuboot_image(bytes(256)))}, [*stamp, "a.bin"], "a.bin: an MCUboot "
             "image, which holds no address of its own; it needs --base ADDRESS"),
            ({"a.bin": text(dfu_suffix(mcuboot_image(bytes(256))))}, [*stamp, "--base", "0",
             "a.bin"], "a.bin: an MCUboot image with a DFU suffix, whose CRC would no longer"),
            ({"a.txt": "@0040\n000\nq\n"}, [*stamp, "a.txt"],
             "a.txt:2: column 1: a byte of 3 hexadecimal digits; each byte takes 2"),
            ({"a.txt": "@00G0\n00\nq\n"}, [*stamp, "a.txt"], "a.txt:1: a bad address"),
            ({"a.txt": "@0040\n00 00 00 00 00 00 00\n"}, [*stamp, "a.txt"],
             "a.txt: no \"q\" line at the end"),
            ({"a.txt": "@0040\n00 00 00 00 00 00 00\nq\n00\n"}, [*stamp, "a.txt"],
             "a.txt:4: text after the \"q\""),
        ]
        if shutil.which("arm-none-eabi-gcc"):
            with tempfile.TemporaryDirectory() as folder:
                with open(firmware_elf(folder), "rb") as elf:
                    app = elf.read().decode("latin-1")
            far = app[:0x20] + "\xff\xff\xff\x7f" + app[0x24:]  # e_shoff past the end
            # .hexstamp's contents moved onto the ELF header.
            shoff, = struct.unpack_from("<I", app.encode("latin-1"), 0x20)
            at = shoff + 40 * 2 + 16  # section 2's sh_offset, as readelf lists .hexstamp
            on_header = app[:at] + "\0\0\0\0" + app[at + 4:]
            rows += [({"a.elf": app[:40]}, ["stamp", "a.elf"], "a.elf: truncated ELF: the header "
                      "needs 52 bytes, the file has 40"),
                     ({"a.elf": far}, ["stamp", "a.elf"], "a.elf: the section header table"),
                     ({"a.elf": app}, ["stamp", "--section", ".nosuch", "a.elf"], "a.elf: no section .nosuch. Declare the stamp"),
                     ({"a.elf": on_header}, ["stamp", "a.elf"],
                      "a.elf: 0x08000020-0x08000026 would overwrite the ELF's own headers"),
                     ({"a.elf": app}, ["stamp", "--section", ".bss", "a.elf"],
                      "a.elf: section .bss has no contents in the file"),
                     ({"a.elf": app}, ["stamp", "--symbol", "too_long", "a.elf"],
                      "a.elf: symbol too_long holds 17 bytes, but a stamp holds 1 to 16"),
                     ({"a.elf": app}, ["stamp", "--symbol", "in_ram", "a.elf"],
                      "a.elf: symbol in_ram lies in a section with no contents in the file"),
                     ({"a.elf": app}, [*stamp, "a.elf"], "a.elf: 0x00000040-0x00000046 lies in no "
                      "loadable segment's data in the file"),
                     ({"a.elf": app, "b.hex": zeros}, ["stamp", "a.elf", "b.hex"],
                      "b.hex: holds no byte of 0x08000020-0x08000026, where the ELF places")]
        rows.append(({"a.hex": zeros}, [*stamp, "a.hex"], "SOURCE_DATE_EPOCH must be a whole "
                     "number of seconds from 0 to 253402300799, not 'soon'"))
        huge = bytearray(uf2_file([(0x10000000, bytes(256))], flags=0x6000))
        struct.pack_into("<I", huge, 32 + 456, 0xFFFFFF00)  # an MD5 region of 4 GiB
        rows += [
            ({"a.uf2": text(huge)}, ["stamp", "--first", "0x10000010", "--last", "0x10000016",
                                     "a.uf2"],
             "a.uf2: block 0: its MD5 covers 0x10000000-0x10FFFFEFF, which the file's blocks"),
            ({"a.uf2": text(uf2_file([(256 * n, bytes(256)) for n in range(5)])[:1024])},
             [*stamp, "a.uf2"], "a.uf2: family 0xE48BFF56 has 2 of its 5 blocks: blocks 2 to 4 "
             "are missing"),
            ({"a.hex": ""}, [*stamp, "a.hex"], "a.hex: the file is empty (0 bytes)"),
            ({"a.hex": zeros, "b.hex": zeros}, [*stamp, "--base", "0", "a.hex", "b.hex"],
             "--base is for raw binary images, and none of these is one: a.hex is Intel HEX, "
             "b.hex is Intel HEX"),
        ]
        if not WINDOWS:  # what --output names is a regular file, or is refused untouched
            rows += [({"a.hex": zeros, "out": kind}, [*stamp, "--output", "out", "a.hex"],
                      "out: not a file to write a stamped image to: a FIFO")
                     for kind in [("fifo",), ("link", "/proc/self/fd/1")]]  # stdout: a pipe
        if not WINDOWS and os.geteuid() == 0:  # the second replacement fails: both as they were
            rows.append(({"a.hex": zeros, "c.hex": zeros, "b.hex": ("mount", "c.hex")},
                         [*stamp, "a.hex", "b.hex"], "a.hex: put back as it was"))
        for files, args, message in rows:
            with self.subTest(args=args, message=message), tempfile.TemporaryDirectory() as folder:
                mounted = make_files(folder, files)
                epoch = "soon" if "SOURCE_DATE_EPOCH" in message else "1709967902"
                try:
                    result = run_image(args, folder, source_date_epoch=epoch)
                    self.assertEqual(result.returncode, 2)
                    self.assertIn("hexstamp-image: " + message, result.stderr)
                    self.assertEqual(sorted(os.listdir(folder)), sorted(files))
                    self.assertEqual(files_in(folder, files), files)
                finally:
                    for point in mounted:
                        subprocess.run(["umount", point], check=True)

    def test_show_tells_a_valid_stamp_from_none(self):
        json = '{{"file": "a.hex", "first": "0x00000040", "last": "0x{:08X}", "bytes": {}, ' \
               '"valid": {}, "stamp": {}}}\n'
        rows = [  # image, range, more arguments, status, standard output, message
            (STAMPED, STAMP_RANGE, [], 0, "2024-03-09 07:05:02\n", ""),
            (hex_with(0x40, [0x80, 0x99, 0x12, 0x31, 0x23, 0x59, 0x59]), STAMP_RANGE, [], 0,
             "9999-12-31 23:59:59\n", ""),
            (hex_with(0x40, [0x24, 0x03, 0x09, 0x07, 0x05, 0x02]), ["--first", "0x40", "--last",
             "0x45"], [], 0, "24-03-09 07:05:02\n", ""),
            (hex_with(0x40, [0x07, 0x05, 0x02]), ["--first", "64", "--last", "66"], [], 0,
             "07:05:02\n", ""),
            (hex_with(0x40, [0x02]), ["--first", "64", "--last", "64"], [], 0, "02\n", ""),
            (hex_with(0x40, [0] * 7), STAMP_RANGE, [], 1, "",
             "no stamp at 0x00000040-0x00000046: not stamped, all zero: 00 00 00 00 00 00 00"),
            (hex_with(0x40, [0xFF] * 7), STAMP_RANGE, [], 1, "", "erased, all FF: FF FF FF"),
            (hex_with(0x40, [0x01, 0x24, 0x13, 0x09, 0x07, 0x05, 0x02]), STAMP_RANGE, [], 1, "",
             "a field is out of range: 01 24 13"),
            (hex_with(0x40, [0x01, 0x24, 0x03, 0x09, 0x07, 0x05, 0x1A]), STAMP_RANGE, [], 1, "",
             "not packed BCD"),
            (hex_with(0x3F, [0x01, 0x01, 0x24, 0x03, 0x09, 0x07, 0x05, 0x02]),
             ["--first", "0x3F", "--last", "0x46"], [], 1, "", "the padding before the date"),
            (hex_with(0x40, [0x01, 0x24, 0x03, 0x09, 0x07]), STAMP_RANGE, [], 1, "",
             "bytes of the range are not in the image: 01 24 03 09 07 -- --"),
            (STAMPED, STAMP_RANGE, ["--json"], 0,
             json.format(0x46, '"01240309070502"', "true", '"2024-03-09 07:05:02"'), ""),
            (hex_with(0x40, [0x07, 0x05]), ["--first", "0x40", "--last", "0x42"], ["--json"], 1,
             json.format(0x42, "null", "false", "null"), "are not in the image: 07 05 --"),
        ]
        rows.append(("", ["--base", "0", "--first", "0xC0000000", "--last", "0xC0000006"], [],
                     0, "2024-03-09 07:05:02\n", ""))
        # What the image records of its build, beside the stamp.
        mcuboot = mcuboot_image(bytes(0x20) + bytes(STAMP_BYTES) + bytes(64))
        rows += [
            (esp_image([(0, app_description() + bytes(STAMP_BYTES))]),
             ["--first", "0x100", "--last", "0x106"], [], 0, "2024-03-09 07:05:02 (ESP-IDF app "
             "blink v1.0, built Mar  9 2024 07:05:02 with ESP-IDF v5.1)\n", ""),
            (mcuboot, STAMP_RANGE, ["--base", "0", "--json"], 0,
             json.format(0x46, '"01240309070502"', "true", '"2024-03-09 07:05:02"')[:-2] +
             ', "mcuboot": {"version": "1.2.3+4", "hash": "SHA-256", "hash_holds": true}}\n', ""),
            (mcuboot[:0x40] + b"\x02" + mcuboot[0x41:], STAMP_RANGE, ["--base", "0"], 0,
             "2124-03-09 07:05:02 (MCUboot image 1.2.3+4, its SHA-256 does not hold)\n", ""),
        ]
        # A UF2 file whose two families hold two stamps holds none.
        payload = bytes(0x40) + bytes(STAMP_BYTES)
        rows.append((uf2_file([(0, payload)]) + uf2_file([(0, payload[:-1] + b"\x03")],
                                                         family=0xADA52840), STAMP_RANGE, [], 1,
                     "", "the file's families hold different bytes there: 01 24 03 09 07 05 02"))
        # Several images: one line each, status 0 only when all hold the same valid stamp.
        other = hex_with(0x40, [0x01, 0x24, 0x03, 0x08, 0x17, 0x00, 0x00])
        rows += [
            ((STAMPED, STAMPED), STAMP_RANGE, [], 0, "a.hex: 2024-03-09 07:05:02\n"
             f"{B}: 2024-03-09 07:05:02\n", ""),
            ((STAMPED, other), STAMP_RANGE, [], 1, "a.hex: 2024-03-09 07:05:02\n"
             f"{B}: 2024-03-08 17:00:00\n", f"{B} holds 2024-03-08 17:00:00, a.hex holds "
             "2024-03-09 07:05:02"),
            ((STAMPED, hex_with(0x40, [0] * 7)), STAMP_RANGE, ["--json"], 1,
             json.format(0x46, '"01240309070502"', "true", '"2024-03-09 07:05:02"') +
             json.format(0x46, '"00000000000000"', "false", "null").replace("a.hex", B),
             f"{B}: no stamp at 0x00000040-0x00000046: not stamped, all zero"),
        ]
        if not WINDOWS:  # a name that is not UTF-8, as Latin-1 reads it: JSON stays valid
            rows.append((STAMPED, STAMP_RANGE, ["--json"], 0,
                         json.format(0x46, '"01240309070502"', "true", '"2024-03-09 07:05:02"')
                         .replace('"a.hex"', '"\\u00FF.hex"'), ""))
        for image, rng, more, status, out, message in rows:
            with self.subTest(image=image, rng=rng, more=more), \
                    tempfile.TemporaryDirectory() as folder:
                names = ["\udcff.hex" if "\\u00FF" in out else "a.hex",
                         B][:len(image) if isinstance(image, tuple) else 1]
                for name, text in zip(names, image if isinstance(image, tuple) else [image]):
                    with open(os.path.join(folder, name), "wb") as file:
                        file.write(text if isinstance(text, bytes) else text.encode())
                        if text == "":  # a raw binary with the stamp at 3 GiB, on any platform
                            file.seek(3 << 30)
                            file.write(bytes(STAMP_BYTES))
                result = run_image(["show", *rng, *more, *names], folder)
                self.assertEqual((result.returncode, result.stdout), (status, lines(out)))
                if image == "" and not WINDOWS:  # stamped, a sparse image keeps its holes
                    self.assertEqual(run_image(["stamp", *rng, *names], folder).returncode, 0)
                    self.assertLess(os.stat(os.path.join(folder, names[0])).st_blocks, 1024)
                self.assertEqual(result.stderr.count("\n"), 1 if message else 0)
                self.assertIn(message, result.stderr)
                self.assertTrue(result.stderr.startswith("hexstamp-image: ") or not message)

    @unittest.skipUnless(not WINDOWS and os.geteuid() == 0, "mounts a small file system")
    def test_a_full_file_system_is_a_write_error(self):
        with tempfile.TemporaryDirectory() as folder:
            if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=64k", "tmpfs", folder],
                              capture_output=True).returncode != 0:
                self.skipTest("no tmpfs may be mounted here")
            try:
                with open(os.path.join(folder, "a.bin"), "wb") as image:
                    image.write(bytes(40 << 10))
                result = run_image(["stamp", "--base", "0", *STAMP_RANGE, "a.bin"], folder)
                self.assertEqual(result.returncode, 2)
                self.assertIn("a.bin: cannot write the stamped copy: No space left on device",
                              result.stderr)
                self.assertEqual(os.listdir(folder), ["a.bin"])
            finally:
                subprocess.run(["umount", folder], check=True)

    def test_an_image_the_user_may_not_write_is_refused(self):
        """Before anything is written; root may write any file, as with every Unix tool; a
        replaced image keeps its permission bits and, where the system allows, its owner."""
        as_root = not WINDOWS and os.geteuid() == 0
        rows = [(0o644, None, None, 0, ""),  # mode and owner of the second image, user, ...
                (0o444, None, None, 2 if WINDOWS else 0, "not writable (read-only)" * WINDOWS)]
        if as_root:
            rows += [(0o444, None, "nobody", 2, "not writable (read-only)"),
                     (0o644, None, "nobody", 2, "not writable (Permission denied)"),
                     (0o640, "nobody", None, 0, ""),
                     # A folder with the sticky bit, as /tmp: only the owner may replace it.
                     (0o1666, None, "nobody", 2, "not writable (another user's file in a folder "
                      "with the sticky bit")]
        for mode, owner, user, status, message in rows:
            with self.subTest(mode=oct(mode), owner=owner, user=user), \
                    tempfile.TemporaryDirectory(prefix="C 固件 ") as folder:  # and a folder so named
                os.chmod(folder, 0o777 | mode & 0o1000)
                mode &= 0o777
                for name in ["a.hex", B]:
                    with open(os.path.join(folder, name), "w") as file:
                        file.write(hex_with(0x40, [0] * 7))
                os.chmod(os.path.join(folder, B), mode)
                for name, who in [("a.hex", user), (B, owner)]:
                    if who:
                        shutil.chown(os.path.join(folder, name), who)
                before = os.stat(os.path.join(folder, B))
                result = run_image(["stamp", *STAMP_RANGE, "a.hex", os.path.join(folder, B)],
                                   folder, user=user)
                self.assertEqual(result.returncode, status, result.stderr)
                self.assertIn(f"{B}: {message}" if message else "", result.stderr)
                after = os.stat(os.path.join(folder, B))
                self.assertEqual(sorted(os.listdir(folder)), sorted(["a.hex", B]))
                self.assertEqual((after.st_mode, after.st_uid), (before.st_mode, before.st_uid))
                with open(os.path.join(folder, "a.hex")) as file:
                    self.assertEqual(file.read() == STAMPED, status == 0)

    @unittest.skipIf(WINDOWS, "links, access control lists and process numbers as POSIX has them")
    def test_a_stamp_writes_through_links_and_keeps_what_the_image_had(self):
        """--output through links; access control lists, extended attributes and the mode kept;
        a new file a killed run left removed, one of a live run kept."""
        zeros = hex_with(0x40, [0] * 7)
        gone = subprocess.Popen(["true"])
        gone.wait()
        dead, live = f"a.hex.hexstamp-{gone.pid}-1.tmp", f"a.hex.hexstamp-{os.getpid()}-1.tmp"
        rows = [  # the files, the arguments after stamp and the range, the files afterwards
            ({"a.hex": zeros, "out": ("link", "t.hex"), "t.hex": zeros}, ["--output", "out", "a.hex"],
             {"a.hex": zeros, "out": ("link", "t.hex"), "t.hex": STAMPED}),
            ({"a.hex": zeros, "out": ("link", "made.hex")}, ["--output", "out", "a.hex"],
             {"a.hex": zeros, "out": ("link", "made.hex"), "made.hex": STAMPED}),
            ({"a.hex": zeros, dead: "", live: ""}, ["a.hex"], {"a.hex": STAMPED, live: ""}),
        ]
        for files, args, after in rows:
            with self.subTest(args=args), tempfile.TemporaryDirectory() as folder:
                make_files(folder, files)
                self.assertEqual(run_image(["stamp", *STAMP_RANGE, *args], folder).returncode, 0)
                self.assertEqual(sorted(os.listdir(folder)), sorted(after))
                self.assertEqual(files_in(folder, after), after)
        if not shutil.which("setfacl"):
            return
        with tempfile.TemporaryDirectory() as folder:
            image = os.path.join(folder, "a.hex")
            make_files(folder, {"a.hex": zeros})
            for command in [["setfacl", "-m", "u:nobody:rw", image],
                            ["setfattr", "-n", "user.origin", "-v", "build 42", image]]:
                subprocess.run(command, check=True)
            before = [subprocess.run(command, capture_output=True, text=True).stdout
                      for command in [["getfacl", "-c", image], ["getfattr", "-d", image]]]
            mode = os.stat(image).st_mode
            self.assertEqual(run_image(["stamp", *STAMP_RANGE, "a.hex"], folder).returncode, 0)
            self.assertEqual([subprocess.run(command, capture_output=True, text=True).stdout
                              for command in [["getfacl", "-c", image],
                                              ["getfattr", "-d", image]]], before)
            self.assertEqual((os.stat(image).st_mode, files_in(folder, {"a.hex": ""})),
                             (mode, {"a.hex": STAMPED}))

    @unittest.skipIf(EMULATOR or not os.path.exists("/usr/bin/time"), "measures a native run")
    def test_verify_reads_large_files_on_demand(self):
        """verify X X of a sparse 512 MiB ELF, and of a raw binary as large: under 64 MB."""
        with open(IMAGE_TOOL, "rb") as tool:
            if b"AddressSanitizer" in tool.read():
                self.skipTest("a sanitizer's own memory")
        size = 512 << 20
        with tempfile.TemporaryDirectory() as folder:
            with open(os.path.join(folder, "big.elf"), "wb") as elf:
                elf.write(elf32([(0x08000000, 0x08000000, 5, b"\1")]))
                elf.truncate(52 + 32 + size)  # the segment's file size stays 1: patched below
            with open(os.path.join(folder, "big.elf"), "r+b") as elf:
                elf.seek(52 + 16)
                elf.write(struct.pack("<II", size, size))
            with open(os.path.join(folder, "big.bin"), "wb") as binary:
                binary.truncate(size)
            for args in [["big.elf", "big.elf"], ["--base", "0", "big.bin", "big.bin"]]:
                measured = subprocess.run(["/usr/bin/time", "-f", "%M", IMAGE_TOOL, "verify",
                                           *args], cwd=folder, capture_output=True, text=True)
                self.assertEqual(measured.returncode, 0, measured.stderr)
                self.assertLess(int(measured.stderr.split()[-1]), 64 << 10)

    @unittest.skipIf(WINDOWS, "runs over the same images are kept apart by POSIX locks")
    @unittest.skipUnless(shutil.which("arm-none-eabi-gcc"), "needs gcc-arm-none-eabi")
    def test_runs_over_the_same_images_leave_one_stamp(self):
        """16 runs at once over an ELF and its HEX, each with its own SOURCE_DATE_EPOCH and
        either order: they all succeed, and the files hold one stamp."""
        with tempfile.TemporaryDirectory() as folder:
            firmware_elf(folder, "app.elf")
            subprocess.run(["arm-none-eabi-objcopy", "-O", "ihex", "app.elf", "app.hex"],
                           cwd=folder, check=True)
            for trial in range(5):
                runs = [subprocess.Popen(
                    [*EMULATOR, IMAGE_TOOL, "stamp", *["app.elf", "app.hex"][::1 - 2 * (run % 2)]],
                    cwd=folder, stderr=subprocess.PIPE,
                    env=dict(os.environ, SOURCE_DATE_EPOCH=str(1709967902 + run)))
                    for run in range(16)]
                self.assertEqual([run.communicate(timeout=120)[1] for run in runs], [b""] * 16)
                shown = run_image(["show", "app.elf", "app.hex"], folder)
                self.assertEqual((trial, shown.returncode, shown.stderr), (trial, 0, ""))
            self.assertEqual(sorted(os.listdir(folder)), ["app.c", "app.elf", "app.hex", "app.ld"])

    def test_a_board_is_read_and_left_running(self):
        """Scripted servers, over TCP and a serial port, for what real servers do; each must
        be sent no packet that could change the board (qCRC only with --crc), and the request
        to run on (D to gdbserver's process)."""
        board = bytes(9) + bytes([0x01, 0x24, 0x03, 0x09, 0x07, 0x05, 0x02])
        memory = board + bytes(at * 7 & 0xFF for at in range(0x10010))
        rng = ["--first", "0x20000000", "--last", "0x2000000F"]
        failures = {"error": "the server refused m20000000,10: 'E01'",
                    "hangup": "the server closed the connection at qSupported; is a debugger",
                    "silent": "no answer to qSupported within 5 s; does another debugger",
                    "refusing": "the server refused qSupported: 'E01'",
                    "noisy": "a malformed reply to m20000000,10: 'nonsense\\x0A\\x1B[31mred"
                             "\\x00' (not the hexadecimal digits of the bytes asked for)"}
        shown = (0, "2024-03-09 07:05:02\n", "")
        show = ["show", "--target", "T", *rng]
        rows = [(quirks, serial, show, *((2, "", failures[quirks[0]]) if quirks and
                                                   quirks[0] in failures else shown))
                for quirks in [(), ("rle",), ("short", "nak"), ("console",), ("detached",),
                               ("error",), ("hangup",), ("notify", "short"),
                               ("garble", "short"), ("noisy",), ("refusing",)]
                for serial in [False, True] if not serial or "hangup" not in quirks]
        rows += [(("silent",), False, show, 2, "", failures["silent"]),
                 (("gdbserver",), False, show, *shown)]
        # verify: every byte of an image, read or by CRC.
        def hex_of(*regions):  # the memory's bytes in those regions, 16 a record
            return "".join((record(0, 4, [at >> 24, at >> 16 & 0xFF]) if at & 0xFFFF == 0 else "")
                           + record(at & 0xFFFF, 0, list(memory[at - 0x20000000:][:16]))
                           for first, length in regions
                           for at in range(first, first + length, 16)) + ":00000001FF\n"
        three = hex_of((0x20000000, 16), (0x20000100, 32), (0x20000200, 16))
        changed = three.replace(record(0x100, 0, list(memory[0x100:0x110])), record(
            0x100, 0, list(memory[0x100:0x105]) + [0xEE] + list(memory[0x106:0x110])))
        wide = record(0, 4, [0x20, 0]) + hex_of((0x20000010, 0x10000))
        flash, ram = memory[:0x100], memory[0x100:0x120]
        images = {"three.hex": three, "changed.hex": changed, "wide.hex": wide,
                  "rwx.elf": elf32([(0x20000000, 0x20000000, 7, flash)]),
                  "ram.elf": elf32([(0x20000000, 0x20000000, 5, flash),
                                    (0x20000100, 0x20000100, 6, bytes(32))]),
                  "avr.elf": elf32([(0, 0, 5, memory[:0x100]), (0x100, 0x800100, 6, ram)], 83)}
        verify = ["verify", "--target", "T"]
        held = (0, "T holds three.hex: 3 regions, 64 bytes\n", "")
        rows += [
            ((), False, [*verify, "three.hex"], *held),
            ((), True, [*verify, "three.hex"], *held),
            (("crc",), False, [*verify, "--crc", "--json", "three.hex"], 0, '"method": "crc"', ""),
            (("badcrc",), False, [*verify, "--crc", "three.hex"], *held[:2], "T gave the CRC"),
            *[((quirk,), False, [*verify, "--crc", "--json", "three.hex"], 0, '"method": "read"',
               "") for quirk in ["qc1", "crcerror", "rle"]],  # rle: an empty qCRC reply
            (("crc",), False, [*verify, "--crc", "changed.hex"], 1, "",
             "T differs from changed.hex at 0x20000105: B3, changed.hex has EE"),
            ((), False, [*verify, "changed.hex"], 1, "", "at 0x20000105: B3, changed.hex has EE"),
            (("small",), False, [*verify, "wide.hex"], 0, "1 region, 65,536 bytes", ""),
            (("dies",), False, [*verify, "wide.hex"], 2, "", "the server closed the connection at m20001810,800\n"),
            ((), False, [*verify, "rwx.elf"], 0, "T holds rwx.elf: 1 region, 256 bytes\n", ""),
            ((), False, [*verify, "ram.elf"], 1, "", "at 0x20000100: 90, ram.elf has 00\n"
             "hexstamp-image: note: 0x20000100-0x2000011F is a writable segment of ram.elf "
             "loaded where it runs: it may be RAM"),
            (("simavr",), False, [*verify, "avr.elf"], 0, "holds avr.elf: 1 region, 288 bytes", ""),
            (("notify", "short"), False, [*verify, "three.hex"], *held),
            (("garble", "short"), True, [*verify, "three.hex"], *held),
            (("crawl",), False, [*verify, "--timeout", "3", "three.hex"], 2, "",
             "not done within 3 s (--timeout), at m2000000"),
        ]
        for quirks, serial, args, status, out, message in rows:
            with self.subTest(quirks=quirks, serial=serial, args=args), \
                    tempfile.TemporaryDirectory() as folder:
                for name, image in images.items():
                    with open(os.path.join(folder, name), "wb") as file:
                        file.write(image.encode() if isinstance(image, str) else image)
                server = GdbServer(None if "avr.elf" in args else 0x20000000,
                                   [(0, memory)] if "avr.elf" in args else memory, quirks,
                                   serial, crc="--crc" in args)
                target = serial_port(server.path) if serial else server.path
                result = run_image([target if arg == "T" else arg for arg in args], folder)
                server.close()
                self.assertEqual(result.returncode, status, result.stderr)
                self.assertIn(lines(out.replace("T ", target + " ")), result.stdout)
                self.assertIn(lines(message.replace("T ", target + " ")), result.stderr)
                self.assertEqual(server.forbidden, [])
                if status == 2:  # one printable line
                    self.assertRegex(result.stderr, r"^[ -~]*\r?\n$")
                if server.sent and not {"silent", "dies"} & set(quirks):
                    self.assertEqual(server.sent[-1], "D" if "gdbserver" in quirks else "c")

    @unittest.skipIf(WINDOWS or not shutil.which("script"), "needs script, a pseudo-terminal")
    def test_a_long_read_shows_its_progress_on_a_terminal(self):
        """192 KiB from a server that reads 64 KiB/s: a line rewritten on a terminal, nothing
        on a pipe."""
        memory = bytes(range(256)) * 768
        with tempfile.TemporaryDirectory() as folder:
            with open(os.path.join(folder, "big.bin"), "wb") as image:
                image.write(memory)
            server = GdbServer(0x20000000, memory, ["slow"])
            command = ["verify", "--target", server.path, "--base", "0x20000000", "big.bin"]
            terminal = subprocess.run(["script", "-qec", shlex.join([*EMULATOR, IMAGE_TOOL, *command]),
                                       "/dev/null"], cwd=folder, capture_output=True, timeout=120)
            terminal.stdout = terminal.stdout.decode()  # with its carriage returns
            piped = run_image(command, folder)
            server.close()
        self.assertRegex(terminal.stdout, r"\r.*KiB read, [0-9]+ KiB/s, [0-9]+ s left")
        self.assertIn("holds big.bin: 1 region, 196,608 bytes", terminal.stdout)
        self.assertEqual((piped.returncode, piped.stderr), (0, ""))

    def test_an_interrupted_run_leaves_nothing_behind(self):
        """Ctrl-C or a cancelled job: no temporary file is left, the image is as it was or
        wholly stamped, and a board's server is told to run on before the process ends."""
        rows = [(signal.SIGINT, 0.02), (signal.SIGINT, 0.15), (signal.SIGTERM, 0.05),
                (signal.SIGHUP, 0.1), (signal.SIGINT, None)]  # None: during a board read
        rows += [(number, None) for number in [signal.SIGQUIT, signal.SIGPIPE, signal.SIGUSR1]]
        # Wine turns only SIGINT into a console event (Ctrl-C), once the program has started;
        # it ends the program with 0xC000013A, of which a Unix status keeps 0x3A.
        if WINDOWS:
            rows = [(signal.SIGINT, 0.6), (signal.SIGINT, 1.2), (signal.SIGINT, None)]
        interrupted = [0x3A] if WINDOWS else []
        with tempfile.TemporaryDirectory() as folder:
            image = os.path.join(folder, "big.hex")
            with open(os.path.join(folder, "big.bin"), "wb") as data:
                data.write(os.urandom(16 << 20))
            subprocess.run(["objcopy", "-I", "binary", "-O", "ihex", "big.bin", "big.hex"],
                           cwd=folder, check=True)
            os.remove(os.path.join(folder, "big.bin"))
            with open(image, "rb") as original:
                before = original.read()
            for number, delay in rows:
                with self.subTest(signal=number, delay=delay):
                    server = GdbServer(0x40, bytes(7), ["stall"]) if delay is None else None
                    command = [*EMULATOR, IMAGE_TOOL] + (
                        ["show", "--target", server.path, *STAMP_RANGE] if server else
                        ["stamp", "--first", "0x100", "--last", "0x106", "big.hex"])
                    started = subprocess.Popen(command, cwd=folder, stderr=subprocess.PIPE,
                                               env=dict(os.environ, SOURCE_DATE_EPOCH="0"),
                                               preexec_fn=None if WINDOWS else no_core_dump)
                    time.sleep(delay or 0)
                    for _ in range(600 if server else 0):  # until the read that stalls
                        if server.reads:
                            break
                        time.sleep(0.05)
                    started.send_signal(number)
                    started.communicate(timeout=30)
                    self.assertIn(started.returncode, [-number, 0, *interrupted])
                    self.assertEqual(os.listdir(folder), ["big.hex"])
                    if server:
                        server.close()
                        self.assertEqual((started.returncode in [-number, *interrupted],
                                          server.sent[-1]), (True, "c"))
                        continue
                    with open(image, "rb") as after:
                        stamped = after.read()
                    if stamped != before:  # done before the signal came: wholly stamped
                        shown = run_image(["show", "--first", "0x100", "--last", "0x106",
                                           "big.hex"], folder)
                        self.assertEqual(shown.stdout, lines("1970-01-01 00:00:00\n"))
                        with open(image, "wb") as again:
                            again.write(before)

    def test_back_to_back_runs_find_a_busy_server_free(self):
        """OpenOCD still counts a client for a moment after it resumed the core, and rejects
        the next one meanwhile: a HIL job's runs, one right after the other, all succeed."""
        with tempfile.TemporaryDirectory() as folder:
            server = GdbServer(0x40, bytes(STAMP_BYTES), ["busy"])
            for run_number in range(20):
                result = run_image(["show", "--target", server.path, *STAMP_RANGE], folder)
                self.assertEqual((run_number, result.returncode, result.stderr), (run_number, 0, ""))
            server.close()

    @unittest.skipUnless(shutil.which("mipsel-linux-gnu-gcc"), "needs gcc-mipsel-linux-gnu")
    def test_a_pic32_elf_and_its_hex_at_physical_addresses(self):
        """A PIC32's ELF holds KSEG0 addresses, its HEX the physical ones: the top three bits
        cleared. Both are stamped, shown and verified alike; the section is the stamp alone."""
        with tempfile.TemporaryDirectory() as folder:
            with open(os.path.join(folder, "app.c"), "w") as source:
                source.write("#include <hexstamp/stamp.h>\nHEXSTAMP_DEFINE(build_stamp, 7);\n"
                             "int main(void) { return build_stamp[0]; }\n")
            with open(os.path.join(folder, "app.ld"), "w") as layout:
                layout.write("SECTIONS { .text 0x9D000000 : { *(.text*) }\n"
                             "  .hexstamp 0x9D00FFF0 : { KEEP(*(.hexstamp)) } }\n")
            include = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "include")
            subprocess.run(["mipsel-linux-gnu-gcc", "-O1", "-nostdlib", "-static", "-fno-pic",
                            "-mno-abicalls", "-Wl,-n", "-e", "main", "-I", include, "-T", "app.ld",
                            "app.c", "-o", "app.elf"], cwd=folder, check=True)
            # As the PIC32 toolchain writes it: physical addresses. objcopy takes a MIPS32
            # address as sign-extended to 64 bits.
            subprocess.run(["mipsel-linux-gnu-objcopy", "-O", "ihex", "--change-addresses",
                            "-0xFFFFFFFF80000000", "app.elf", "app.hex"], cwd=folder, check=True)
            for args, out in [(["stamp", "--symbol", "build_stamp", "app.elf", "app.hex"], ""),
                              (["stamp", "app.hex", "app.elf"], ""),
                              (["show", "app.elf", "app.hex"], "app.elf: 2024-03-09 07:05:02\n"
                               "app.hex: 2024-03-09 07:05:02\n"),
                              (["verify", "app.elf", "app.hex"], "app.hex holds app.elf: ")]:
                with self.subTest(args=args):
                    result = run_image(args, folder)
                    self.assertEqual(result.returncode, 0, result.stderr)
                    self.assertIn(lines(out), result.stdout)
            with open(os.path.join(folder, "app.hex")) as stamped:
                self.assertIn(":07FFF00001240309070502CB", stamped.read())

    @unittest.skipUnless(shutil.which("avr-gcc") and shutil.which("simavr"), "needs simavr")
    def test_show_target_reads_a_simavr_board(self):
        """An ATmega328P under simavr, whose GDB server addresses flash from 0 and RAM from
        0x800000: the ELF's stamp, read from flash, is the one the program prints, and it
        prints on once the board check has resumed it."""
        with tempfile.TemporaryDirectory() as folder:
            with open(os.path.join(folder, "app.c"), "w") as source:
                source.write(AVR_BOARD)
            include = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "include")
            subprocess.run(["avr-gcc", "-mmcu=atmega328p", "-Os", "-I", include, "app.c", "-o",
                            "app.elf"], cwd=folder, check=True)
            self.assertEqual(run_image(["stamp", "app.elf"], folder).returncode, 0)
            with open(os.path.join(folder, "uart"), "w") as uart:
                board = subprocess.Popen(["simavr", "-g", "-m", "atmega328p", "-f", "16000000",
                                          "app.elf"], cwd=folder, stdout=uart,
                                         stderr=subprocess.STDOUT)
            try:
                wait_until(lambda: listening(1234), "simavr listening")  # its port, fixed
                for args, out in [(["show"], "2024-03-09 07:05:02\n"),
                                  (["verify"], "localhost:1234 holds app.elf: 1 region, ")]:
                    result = run_image([*args, "--target", "localhost:1234", "app.elf"], folder)
                    self.assertEqual((result.returncode, result.stderr), (0, ""))
                    self.assertIn(lines(out), result.stdout)
                time.sleep(0.5)
                with open(os.path.join(folder, "uart")) as uart:
                    printed = uart.read()
                self.assertIn("2024-03-09 07:05:02", printed)
                self.assertNotIn("?", printed)
            finally:
                board.kill()
                board.wait()

    @unittest.skipUnless(shutil.which("gdbserver"), "needs gdbserver")
    def test_gdbserver_leaves_its_process_running_untraced(self):
        """A process that gdbserver serves is detached from, not continued: else it stays
        traced, and the next signal it gets stops it until a debugger comes. verify of its
        program differs in the writable segments the notes name, and not with them left out."""
        # Debian's python3 is not position-independent: its ELF header lies at 0x400000.
        served = subprocess.Popen(["/usr/bin/python3", "-c", "import time; time.sleep(60)"])
        try:
            result = self.through_gdbserver(served, ["show", "--first", "0x400000", "--last",
                                                     "0x400006"])
            self.assertEqual(result.returncode, 1, result.stderr)
            self.assertIn("7F 45 4C 46 02 01 01", result.stderr)
            served.send_signal(signal.SIGWINCH)  # ignored, unless a tracer still holds it
            time.sleep(0.2)
            with open(f"/proc/{served.pid}/status") as status:
                fields = dict(line.split(":\t", 1) for line in status)
            self.assertEqual((fields["State"][0], fields["TracerPid"].strip()), ("S", "0"))
            differs = self.through_gdbserver(served, ["verify", "/usr/bin/python3"])
            named = [arg for each in re.findall(r"; --exclude (\S+) leaves it out",
                                                differs.stderr) for arg in ["--exclude", each]]
            self.assertEqual((differs.returncode, bool(named)), (1, True), differs.stderr)
            left_out = self.through_gdbserver(served, ["verify", *named, "/usr/bin/python3"])
            self.assertEqual(left_out.returncode, 0, left_out.stderr)
        finally:
            served.kill()
            served.wait()

    def through_gdbserver(self, served, args):
        """A run with `--target` a gdbserver attached to the process, which ends once its one
        client has detached."""
        import socket
        with socket.create_server(("127.0.0.1", 0)) as free:
            port = free.getsockname()[1]
        server = subprocess.Popen(["gdbserver", "--attach", f"127.0.0.1:{port}", str(served.pid)],
                                  stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        try:
            while "Listening on port" not in server.stderr.readline():
                pass
            with tempfile.TemporaryDirectory() as folder:
                result = run_image([args[0], "--target", f"127.0.0.1:{port}", *args[1:]], folder)
            server.wait(timeout=10)
            return result
        finally:
            server.kill()
            server.wait()
            server.stderr.close()

    @unittest.skipUnless(shutil.which("arm-none-eabi-gcc") and shutil.which("qemu-system-arm"),
                         "needs gcc-arm-none-eabi and qemu-system-arm")
    def test_show_target_reads_a_qemu_board(self):
        """show and verify on a running Cortex-M3; gdb-multiarch's compare-sections agrees."""
        with tempfile.TemporaryDirectory() as folder:
            elf = firmware_elf(folder, "app.elf", code=(BOARD, BOARD_LAYOUT))
            self.assertEqual(run_image(["stamp", "app.elf"], folder).returncode, 0)
            text = next(line.split() for line in subprocess.run(
                ["readelf", "-SW", elf], capture_output=True, text=True).stdout.splitlines()
                if " .text " in line)  # [Nr] Name Type Address Off ...
            changed = int(text[text.index(".text") + 2], 16) + 4
            with open(elf, "rb") as original, open(os.path.join(folder, "bad.elf"), "wb") as bad:
                data = bytearray(original.read())
                data[int(text[text.index(".text") + 3], 16) + 4] ^= 0xFF
                bad.write(data)
            for name in ["app", "bad"]:
                subprocess.run(["arm-none-eabi-objcopy", "-O", "ihex", f"{name}.elf",
                                f"{name}.hex"], cwd=folder, check=True)
            differs = f"differs from bad.elf at 0x{changed:08X}: "
            for serial in [False, True]:
                board = QemuBoard(folder, elf, serial)
                try:
                    target = serial_port(board.path) if serial else board.path
                    # The README's board check, as written but for the server's address.
                    recipe, verify = (readme_recipe(name).split("||")[0].replace(
                        "localhost:3333", target).replace("build/app.elf", "app.elf").split()[1:]
                        for name in ["board", "verify"])
                    show = ["show", "--target", target]
                    for args, status, out, message in [
                            (recipe, 0, "2024-03-09 07:05:02\n", ""),
                            ([*show, "--first", "0x100", "--last", "0x106"], 1, "", "all zero"),
                            ([*show, "--first", "0x30000000", "--last", "0x30000006"], 2, "",
                             "E14"),
                            (verify, 0,
                             " holds app.elf: 2 regions, 64 bytes (stamp 2024-03-09 07:05:02)", ""),
                            (["verify", "--target", target, "bad.elf"], 1, "", differs),
                            (["verify", "--target", target, "--exclude",
                              f"0x{changed:08X}-0x{changed:08X}", "bad.elf"], 0,
                             "; 1 byte left out", ""),
                            (["verify", "--target", target, "--exclude", "0x30000000-0x3000FFFF",
                              "bad.elf"], 1, "", differs),
                            (["verify", "app.elf", "app.hex"], 0, "(stamp 2024-03-09 07:05:02)", ""),
                            (["verify", "app.elf", "bad.hex"], 1, "",
                             f"bad.hex differs from app.elf at 0x{changed:08X}: ")]:
                        with self.subTest(serial=serial, args=args):
                            result = run_image(args, folder)
                            self.assertEqual(result.returncode, status, result.stderr)
                            self.assertIn(lines(out), result.stdout if out else lines(out))
                            self.assertIn(message, result.stderr)
                            self.assertEqual(board.running(), "running")
                    for ended_by in [None] + [signal.SIGQUIT] * (not WINDOWS):
                        if not serial and shutil.which("gdb-multiarch"):
                            with self.subTest(held_by="gdb-multiarch", ended_by=ended_by):
                                self.check_a_held_server_is_left_running(folder, board, target,
                                                                         ended_by)
                    if not serial and not WINDOWS and not EMULATOR:
                        with self.subTest(recipes="twister and pytest"):
                            self.check_bench_recipes(folder, target)
                    if not serial and shutil.which("gdb-multiarch") and not WINDOWS:
                        for name, verdict in [("app.elf", "matched"), ("bad.elf", "MIS-MATCHED")]:
                            with self.subTest(cross_check=name):
                                compared = subprocess.run(
                                    ["gdb-multiarch", "-nx", "-batch", "-ex",
                                     f"target remote {target}", "-ex", "compare-sections", "-ex",
                                     "detach", name], cwd=folder, capture_output=True, text=True,
                                    timeout=60)
                                self.assertIn(verdict, compared.stdout)
                                self.assertEqual(verdict == "matched",
                                                 "MIS-MATCHED" not in compared.stdout)
                finally:
                    board.close()

    def check_bench_recipes(self, folder, target):
        """The HIL recipes as written: twister's post-flash script, run as twister runs it, and
        the pytest test, each passing for the board's ELF and failing for another."""
        script = os.path.join(folder, "verify-flash.sh")
        with open(script, "w") as text:
            text.write(readme_recipe("twister"))
        os.chmod(script, 0o755)
        with open(os.path.join(folder, "test_bench.py"), "w") as text:
            text.write(readme_recipe("pytest"))
        path = os.path.dirname(IMAGE_TOOL) + os.pathsep + os.environ["PATH"]
        for elf, passes in [("app.elf", True), ("bad.elf", False)]:
            env = dict(os.environ, PATH=path, HEXSTAMP_ELF=elf, HEXSTAMP_TARGET=target,
                       BOARD_GDB=target, FIRMWARE_ELF=elf)
            flashed = subprocess.run([script], cwd=folder, env=env, capture_output=True,
                                     timeout=TIMEOUT)
            tested = subprocess.run(["/usr/bin/python3", "-m", "pytest", "-q", "-p",
                                     "no:cacheprovider", "test_bench.py"], cwd=folder, env=env,
                                    capture_output=True, text=True, timeout=TIMEOUT)
            self.assertEqual((elf, flashed.returncode == 0, tested.returncode == 0),
                             (elf, passes, passes), tested.stdout)

    def check_a_held_server_is_left_running(self, folder, board, target, ended_by=None):
        """While gdb holds QEMU's server, a run waits in its backlog and gives up, or is ended
        by a signal; QEMU takes that connection once gdb has left, halts, and must find the
        request to run on."""
        holder = subprocess.Popen(["gdb-multiarch", "-nx", "-batch", "-ex",
                                   f"target remote {target}", "-ex", "shell sleep 7", "-ex",
                                   "detach", "app.elf"], cwd=folder, stdout=subprocess.DEVNULL,
                                  stderr=subprocess.DEVNULL)
        wait_until(lambda: board.running() != "running", "halted by gdb")
        if ended_by:
            started = subprocess.Popen([*EMULATOR, IMAGE_TOOL, "show", "--target", target,
                                        "app.elf"], cwd=folder, stderr=subprocess.DEVNULL,
                                       preexec_fn=no_core_dump)
            time.sleep(1)
            started.send_signal(ended_by)
            self.assertEqual(started.wait(timeout=30), -ended_by)
        else:
            result = run_image(["show", "--target", target, "app.elf"], folder)
            self.assertEqual(result.returncode, 2)
            self.assertIn("no answer to qSupported within 5 s; does another debugger hold the "
                          "server?", result.stderr)
        holder.wait(timeout=30)
        time.sleep(1)
        self.assertEqual(board.running(), "running")


if __name__ == "__main__":
    unittest.main()
