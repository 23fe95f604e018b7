"""The tool as a user installs and uses it: cmake --install, the man page, the Debian
package and the firmware example's post-build step."""
import os
import subprocess
import sys
import tempfile
import unittest

from intelhex import IntelHex

BUILD = os.path.abspath(sys.argv.pop(1))
SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def sh(*command, **kwargs):
    return subprocess.run(command, capture_output=True, text=True, **kwargs)


class Packaging(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.TemporaryDirectory()
        self.addCleanup(self.folder.cleanup)
        self.tmp = self.folder.name

    def test_install_puts_binary_and_a_clean_man_page_in_place(self):
        self.assertEqual(sh("cmake", "--install", BUILD, "--prefix", self.tmp).returncode, 0)
        page = os.path.join(self.tmp, "share/man/man1/hexstamp.1")
        for groff in [["groff", "-ww", "-man", "-z"], ["groff", "-ww", "-t", "-man", "-z"]]:
            self.assertEqual(sh(*groff, page).stderr, "")
        self.assertEqual(sh(os.path.join(self.tmp, "bin/hexstamp"), "0", "6").returncode, 0)

    def test_debian_package_holds_binary_and_man_page(self):
        built = sh("cpack", "-G", "DEB", "-B", self.tmp, cwd=BUILD)
        self.assertEqual(built.returncode, 0, built.stdout + built.stderr)
        [deb] = [os.path.join(self.tmp, f) for f in os.listdir(self.tmp) if f.endswith(".deb")]
        listing = sh("dpkg-deb", "-c", deb).stdout
        print(listing)
        for path in ["./usr/bin/hexstamp", "./usr/share/man/man1/hexstamp.1"]:
            self.assertIn(path, listing)

    def test_example_merges_the_stamp_and_fails_with_hexstamp(self):
        for last, builds in [("0x01FF", True), ("0x0210", False)]:
            with self.subTest(last=last):
                build = os.path.join(self.tmp, last)
                sh("cmake", "-S", os.path.join(SOURCE, "examples/firmware"), "-B", build,
                   f"-DHEXSTAMP={BUILD}/hexstamp", f"-DSTAMP_LAST={last}", check=True)
                self.assertEqual(sh("cmake", "--build", build).returncode == 0, builds)
                merged = os.path.join(build, "app-stamped.hex")
                self.assertEqual(os.path.exists(merged), builds)
        app, stamp, merged = (IntelHex(os.path.join(self.tmp, "0x01FF", name)).todict()
                              for name in ["app.hex", "stamp.hex", "app-stamped.hex"])
        self.assertEqual(sorted(stamp), list(range(0x01F0, 0x0200)))
        self.assertEqual(merged, {**app, **stamp})


if __name__ == "__main__":
    unittest.main()
