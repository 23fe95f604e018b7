"""The tool as a user installs and uses it: cmake --install, the man page, the Debian
package and a firmware build that stamps its image through the installed CMake package."""
import os
import subprocess
import sys
import tempfile
import time
import unittest

from intelhex import IntelHex

BUILD = os.path.abspath(sys.argv.pop(1))
SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
from harness import stamp  # noqa: E402 (after the build folder is taken from the arguments)

INSTALLED = ["bin/hexstamp", "bin/hexstamp-reproducible", "share/man/man1/hexstamp.1.gz",
             "share/man/man1/hexstamp-reproducible.1.gz", "share/doc/hexstamp/copyright",
             "share/doc/hexstamp/changelog.gz", "lib/cmake/hexstamp/hexstampConfig.cmake",
             "lib/cmake/hexstamp/hexstampConfigVersion.cmake",
             "lib/cmake/hexstamp/hexstampTargets.cmake",
             "lib/cmake/hexstamp/hexstampStampImage.cmake"]


def sh(*command, **kwargs):
    return subprocess.run(command, capture_output=True, text=True, **kwargs)


class Packaging(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.TemporaryDirectory()
        self.addCleanup(self.folder.cleanup)
        self.tmp = self.folder.name

    def install(self):
        prefix = os.path.join(self.tmp, "prefix")
        self.assertEqual(sh("cmake", "--install", BUILD, "--prefix", prefix).returncode, 0)
        return prefix

    def test_install_puts_binary_documents_and_cmake_package_in_place(self):
        prefix = self.install()
        for path in INSTALLED:
            self.assertTrue(os.path.isfile(os.path.join(prefix, path)), path)
        page = sh("zcat", os.path.join(prefix, "share/man/man1/hexstamp.1.gz")).stdout
        for groff in [["groff", "-ww", "-man", "-z"], ["groff", "-ww", "-t", "-man", "-z"]]:
            self.assertEqual(sh(*groff, input=page).stderr, "")
        self.assertEqual(sh(os.path.join(prefix, "bin/hexstamp"), "0", "6").returncode, 0)

    def test_debian_package_holds_what_install_does(self):
        built = sh("cpack", "-G", "DEB", "-B", self.tmp, cwd=BUILD)
        self.assertEqual(built.returncode, 0, built.stdout + built.stderr)
        [deb] = [os.path.join(self.tmp, f) for f in os.listdir(self.tmp) if f.endswith(".deb")]
        listing = sh("dpkg-deb", "-c", deb).stdout
        print(listing)
        for path in INSTALLED:
            self.assertIn(f"./usr/{path}", listing)

    def test_firmware_build_stamps_its_image_through_the_cmake_package(self):
        prefix = self.install()
        rows = [  # first, last, SOURCE_DATE_EPOCH, zone, what the build says when it fails
            ("0x01F0", "0x01FF", None, "UTC", None),
            ("0x0800FFF0", "0x0800FFFF", None, "UTC", None),
            ("0x0800FFF0", "0x0800FFFF", "946684799", "Asia/Kolkata", None),  # UTC whatever TZ
            ("0x01F0", "0x0210", None, "UTC", "Length > 16 bytes"),
            ("0x01F0", "0x01FF", "yesterday", "UTC", "not 'yesterday'"),
        ]
        for index, (first, last, epoch, tz, failure) in enumerate(rows):
            with self.subTest(first=first, last=last, epoch=epoch):
                build = os.path.join(self.tmp, str(index))
                configure = ["cmake", "-S", os.path.join(SOURCE, "examples/firmware"), "-B",
                             build, f"-DCMAKE_PREFIX_PATH={prefix}", f"-DSTAMP_FIRST={first}",
                             f"-DSTAMP_LAST={last}"]
                self.assertEqual(sh(*configure).returncode, 0)
                env = {k: v for k, v in os.environ.items() if k != "SOURCE_DATE_EPOCH"}
                env.update(TZ=tz, **({"SOURCE_DATE_EPOCH": epoch} if epoch else {}))
                before = int(time.time())
                built = sh("cmake", "--build", build, env=env)
                builds = failure is None
                self.assertEqual(built.returncode == 0, builds, built.stdout + built.stderr)
                merged = os.path.join(build, "app-stamped.hex")
                self.assertEqual(os.path.exists(merged), builds)
                if failure:
                    self.assertIn(failure, built.stdout + built.stderr)
                if builds:
                    instants = [int(epoch)] if epoch else range(before, int(time.time()) + 1)
                    self.check_merged(build, int(first, 16), int(last, 16), instants)

    def check_merged(self, build, first, last, instants):
        app = IntelHex(os.path.join(build, "app.hex")).todict()
        merged = IntelHex(os.path.join(build, "app-stamped.hex")).todict()
        placed = [merged.get(address) for address in range(first, last + 1)]
        self.assertIn(placed, [stamp(instant, "UTC", last - first + 1) for instant in instants])
        for address in range(first, last + 1):
            del merged[address], app[address]
        self.assertEqual(merged, app)


if __name__ == "__main__":
    unittest.main()
