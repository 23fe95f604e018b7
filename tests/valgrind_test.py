"""Every way a run can end leaves no memory error and no leaked block."""
import subprocess
import unittest

from harness import BINARY, TIMEOUT

VALGRIND_FAILED = 99  # apart from every exit status of the tool


class Valgrind(unittest.TestCase):
    def test_every_status_is_clean(self):
        rows = [([], 255), (["abc", "1"], 1), (["1", "x"], 2), (["5", "4"], 3),
                (["0", "16"], 4), (["0", "6"], 0), (["0x0800FFF0", "0x0800FFFF"], 0)]
        with open("/dev/full", "w") as full:
            for args, status, out in [(*row, subprocess.DEVNULL) for row in rows] + [
                    (["0", "6"], 7, full)]:
                with self.subTest(args=args):
                    result = subprocess.run(
                        ["valgrind", "-q", f"--error-exitcode={VALGRIND_FAILED}",
                         "--leak-check=full", "--errors-for-leak-kinds=definite", BINARY, *args],
                        stdout=out, stderr=subprocess.PIPE, text=True, timeout=TIMEOUT)
                    self.assertEqual(result.returncode, status, result.stderr)
                    self.assertNotIn("==", result.stderr)


if __name__ == "__main__":
    unittest.main()
