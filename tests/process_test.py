"""The real binary as a script sees it: both streams and the exit status."""
import os
import unittest

from harness import FREEZABLE, hex_files, invocation_name, lines, run, zone_reaches

USAGE = f"\nUsage: {invocation_name()} <startaddress> <endendaddress>\n" \
        "Result will be generated to STDOUT\n"
UNWRITABLE = "\nUnable to write to STDOUT\n"


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
                if not zone_reaches(tz):
                    self.skipTest(f"{tz} does not reach the target")
                result = run(args, tz=tz)
                # On a clock that cannot be frozen, the stamp of any second the run spanned.
                outs = [lines(out)] if FREEZABLE or not out else hex_files(result, 0x0100, 7)
                self.assertEqual(result.returncode, status)
                self.assertIn(result.stdout, outs)
                self.assertEqual(result.stderr, lines(f"{message}Exit with code {status}\n"))

    def test_unwritable_output_is_never_success(self):
        with open("/dev/full", "w") as full:
            results = [run(["0", "6"], stdout=full),
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
            ("UTC", 4102444799),               # 2099-12-31 23:59:59
            ("UTC", 1709208000),               # 2024-02-29 12:00:00, a leap day
        ]
        for tz, epoch in rows:
            with self.subTest(tz=tz, epoch=epoch):
                if not zone_reaches(tz):
                    self.skipTest(f"{tz} does not reach the target")
                result = run(["0x7FF0", "0x7FFF"], epoch=epoch, tz=tz)
                self.assertIn(result.stdout, hex_files(result, 0x7FF0, 16))


if __name__ == "__main__":
    unittest.main()
