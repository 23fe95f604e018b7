"""Independent Intel HEX readers must place the stamp exactly where it belongs."""
import os
import subprocess
import tempfile
import unittest

from intelhex import IntelHex

from harness import TIMEOUT, run, stamps


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


if __name__ == "__main__":
    unittest.main()
