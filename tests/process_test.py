"""The real binary as a script sees it: both streams and the exit status."""
import unittest

from harness import BINARY, MARCH_9_2024, hex_file, run, stamp

USAGE = f"\nUsage: {BINARY} <startaddress> <endendaddress>\nResult will be generated to STDOUT\n"


class Process(unittest.TestCase):
    def test_streams_and_status(self):
        rows = [
            (["0x0100", "0x0106"], "UTC", 0, ":0701000001240309070502B9\n:00000001FF\n", ""),
            (["0x0100", "0x0106"], "Europe/Berlin", 0,
             ":0701000001240309080502B8\n:00000001FF\n", ""),
            ([], "UTC", 255, "", USAGE),
            (["abc", "zz"], "UTC", 1, "", "\nUnable to get startaddress from 'abc' parameter\n"),
            (["1", "zz"], "UTC", 2, "", "\nUnable to get endaddress from 'zz' parameter\n"),
            (["5", "4"], "UTC", 3, "", "\nStartaddress > endaddress\n"),
            (["0", "16"], "UTC", 4, "", "\nLength > 16 bytes\n"),
        ]
        for args, tz, status, out, message in rows:
            with self.subTest(args=args, tz=tz):
                result = run(args, tz=tz)
                self.assertEqual((result.returncode, result.stdout), (status, out))
                self.assertEqual(result.stderr, f"{message}Exit with code {status}\n")

    def test_stamp_follows_the_zone_rules(self):
        for tz in ["UTC", "America/New_York", "Asia/Kolkata"]:
            with self.subTest(tz=tz):
                out = run(["0x7FF0", "0x7FFF"], tz=tz).stdout
                self.assertEqual(out, hex_file(0x7FF0, stamp(MARCH_9_2024, tz, 16)))


if __name__ == "__main__":
    unittest.main()
