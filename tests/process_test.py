"""The real binaries as a script sees them: both streams and the exit status. Without
SOURCE_DATE_EPOCH, hexstamp-reproducible must pass every test hexstamp passes."""
import os
import unittest

from harness import (BINARY, REPRODUCIBLE, hex_files, invocation_name, lines, run,
                     zone_reaches)

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


if __name__ == "__main__":
    unittest.main()
