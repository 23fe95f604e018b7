"""The tool as a user installs and uses it: cmake --install, the man page, the Debian
package, a firmware build that stamps its image through the installed CMake package, and a
Cortex-M3 firmware that stamps its ELF and reads the stamp back under QEMU. With
HEXSTAMP_PREFIX set (/usr once the .deb is installed), the firmware builds against that
installation instead of a private one."""
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

from intelhex import IntelHex

BUILD = os.path.abspath(sys.argv.pop(1))
SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
# Test names may follow the build folder: keep them from the harness, which takes any
# argument it sees for a binary to run.
SELECTED = sys.argv[1:]
del sys.argv[1:]
from harness import clock_window, firmware_elf, readme_recipe, stamp, uf2_file  # noqa: E402 (after the build folder is taken from the arguments)
sys.argv += SELECTED

INSTALLED = ["bin/hexstamp", "bin/hexstamp-reproducible", "bin/hexstamp-image",
             "share/man/man1/hexstamp.1.gz", "share/man/man1/hexstamp-reproducible.1.gz",
             "share/man/man1/hexstamp-image.1.gz", "share/doc/hexstamp/copyright",
             "share/doc/hexstamp/changelog.gz", "lib/cmake/hexstamp/hexstampConfig.cmake",
             "lib/cmake/hexstamp/hexstampConfigVersion.cmake",
             "lib/cmake/hexstamp/hexstampTargets.cmake",
             "lib/cmake/hexstamp/hexstampStampImage.cmake",
             "lib/cmake/hexstamp/hexstampStampElf.cmake",
             "include/hexstamp-firmware/hexstamp/stamp.h"]
CORTEX_M3 = os.path.join(SOURCE, "examples/cortex-m3")
QEMU = ["qemu-system-arm", "-M", "mps2-an385", "-nographic", "-semihosting-config",
        "enable=on,target=native", "-kernel"]
FIRMWARE_TOOLS = shutil.which("arm-none-eabi-gcc") and shutil.which("qemu-system-arm")


def sh(*command, **kwargs):
    kwargs.setdefault("timeout", 900)  # a hang fails the test, not the whole run
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
        for name in ["hexstamp", "hexstamp-image"]:
            page = sh("zcat", os.path.join(prefix, f"share/man/man1/{name}.1.gz")).stdout
            for groff in [["groff", "-ww", "-man", "-z"], ["groff", "-ww", "-t", "-man", "-z"]]:
                self.assertEqual(sh(*groff, input=page).stderr, "")
        self.assertEqual(sh(os.path.join(prefix, "bin/hexstamp"), "0", "6").returncode, 0)
        with open(os.path.join(SOURCE, "CMakeLists.txt")) as cmake_lists:
            version = re.search(r"project\(hexstamp VERSION ([0-9.]+)", cmake_lists.read())[1]
        self.assertEqual(sh(os.path.join(prefix, "bin/hexstamp-image"), "--version").stdout,
                         f"hexstamp-image {version}\n")

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
            ("0x01F0", "0x0210", None, "UTC", "holds 33 bytes, but a stamp holds 1 to 16"),
            ("0x01F0", "0x01FF", "yesterday", "UTC", "not 'yesterday'"),
        ]
        for index, (first, last, epoch, tz, failure) in enumerate(rows):
            with self.subTest(first=first, last=last, epoch=epoch):
                build = os.path.join(self.tmp, str(index))
                configure = ["cmake", "-S", os.path.join(SOURCE, "examples/firmware"), "-B",
                             build, f"-DCMAKE_PREFIX_PATH={prefix}", f"-DSTAMP_FIRST={first}",
                             f"-DSTAMP_LAST={last}"]
                self.assertEqual(sh(*configure, env=dict(os.environ, PATH=self.without_srecord())
                                    ).returncode, 0)
                env = {k: v for k, v in os.environ.items() if k != "SOURCE_DATE_EPOCH"}
                env.update(TZ=tz, PATH=self.without_srecord(),
                           **({"SOURCE_DATE_EPOCH": epoch} if epoch else {}))
                window = clock_window()
                built = sh("cmake", "--build", build, env=env)
                builds = failure is None
                self.assertEqual(built.returncode == 0, builds, built.stdout + built.stderr)
                merged = os.path.join(build, "app-stamped.hex")
                self.assertEqual(os.path.exists(merged), builds)
                if failure:
                    self.assertIn(failure, built.stdout + built.stderr)
                if builds:
                    instants = [int(epoch)] if epoch else window()
                    self.check_merged(build, int(first, 16), int(last, 16), instants)

    def without_srecord(self):
        """PATH with an srec_cat first that fails the build: the package needs none."""
        folder = os.path.join(self.tmp, "no-srecord")
        os.makedirs(folder, exist_ok=True)
        with open(os.path.join(folder, "srec_cat"), "w") as fake:
            fake.write("#!/bin/sh\necho srec_cat must not be needed >&2\nexit 1\n")
        os.chmod(os.path.join(folder, "srec_cat"), 0o755)
        return folder + os.pathsep + os.environ["PATH"]

    @unittest.skipUnless(FIRMWARE_TOOLS, "needs gcc-arm-none-eabi and qemu-system-arm")
    def test_cortex_m3_firmware_reads_the_stamp_of_its_elf(self):
        prefix = os.environ.get("HEXSTAMP_PREFIX") or self.install()
        rows = [  # configure arguments, SOURCE_DATE_EPOCH, stamp bytes or build error
            ([], "1709967902", bytes([0x01, 0x24, 0x03, 0x09, 0x07, 0x05, 0x02])),
            (["-DSTAMP_LENGTH=16"], "4102444799",
             bytes(9) + bytes([0x01, 0x99, 0x12, 0x31, 0x23, 0x59, 0x59])),
            (["-DSTAMP_SYMBOL=build_stamp"], "1709967902",
             bytes([0x01, 0x24, 0x03, 0x09, 0x07, 0x05, 0x02])),
            (["-DSTAMP_ELF=OFF"], "1709967902", None),
            (["-DSTAMP_LENGTH=17"], "1709967902", "section .hexstamp holds 17 bytes"),
            (["-DSTAMP_SECTION=.nosuch"], "1709967902", "no section .nosuch. Declare the stamp"),
            ([], "soon", "not 'soon'"),
        ]
        for index, (options, epoch, expected) in enumerate(rows):
            with self.subTest(options=options, epoch=epoch):
                build = os.path.join(self.tmp, f"m3-{index}")
                configure = sh("cmake", "-S", CORTEX_M3, "-B", build, "--toolchain",
                               os.path.join(CORTEX_M3, "arm-none-eabi.cmake"),
                               f"-DCMAKE_PREFIX_PATH={prefix}", *options)
                self.assertEqual(configure.returncode, 0, configure.stdout + configure.stderr)
                env = dict(os.environ, SOURCE_DATE_EPOCH=epoch, PATH=self.without_srecord())
                elf = os.path.join(build, "firmware.elf")
                said_first = None
                for attempt in range(2):  # a failed stamp leaves nothing that looks up to date
                    built = sh("cmake", "--build", build, env=env)
                    said_first = said_first or built.stdout
                    self.assertEqual(built.returncode != 0, isinstance(expected, str),
                                     built.stdout + built.stderr)
                    if isinstance(expected, str):
                        self.assertIn("Linking", built.stdout)
                        said = " ".join((built.stdout + built.stderr).split())
                        self.assertIn("hexstamp-image: ", said)
                        self.assertIn(expected, said)
                        self.assertIn("firmware.elf was not stamped", said)
                        self.assertEqual([name for name in os.listdir(build)
                                          if name.startswith("firmware.elf")], [])
                if not isinstance(expected, str):
                    self.check_firmware(build, expected)
                if not options and expected and not isinstance(expected, str):
                    self.assertIn("Stamping --section .hexstamp of firmware", said_first)

    @unittest.skipUnless(FIRMWARE_TOOLS, "needs gcc-arm-none-eabi")
    def test_readme_recipes_for_make_and_a_ci_job(self):
        """As written: the last commit's time in a git checkout, a clear failure outside one."""
        env = dict(os.environ, PATH=os.path.join(self.install(), "bin") + os.pathsep +
                   os.environ["PATH"], GIT_COMMITTER_DATE="@1709967902 +0000")
        env.pop("SOURCE_DATE_EPOCH", None)
        checkout, elsewhere = os.path.join(self.tmp, "checkout"), os.path.join(self.tmp, "else")
        for folder in [checkout, elsewhere]:
            os.makedirs(os.path.join(folder, "build"))
            firmware_elf(os.path.join(folder, "build"))
            sh("arm-none-eabi-objcopy", "-O", "ihex", "app.elf", "app.hex", cwd=folder + "/build")
            with open(os.path.join(folder, "build", "Makefile"), "w") as makefile:
                makefile.write(readme_recipe("make"))
        for command in [["git", "init", "-q"], ["git", "add", "build/app.c"],
                        ["git", "-c", "user.name=t", "-c", "user.email=t@t", "commit", "-qm", "t"]]:
            self.assertEqual(sh(*command, cwd=checkout, env=env).returncode, 0)
        for folder, works in [(checkout, True), (elsewhere, False)]:
            with self.subTest(works=works):
                made = sh("make", "-C", "build", "stamp", cwd=folder, env=env)
                self.assertEqual(made.returncode == 0, works, made.stderr)
                shown = sh("hexstamp-image", "show", "build/app.elf", cwd=folder, env=env)
                self.assertEqual(shown.stdout, "2024-03-09 07:05:02\n" if works else "")
                if not works:  # before make shows a command it will not run
                    self.assertIn("SOURCE_DATE_EPOCH is not set and this is not a git checkout",
                                  made.stderr)
                    self.assertNotIn("hexstamp-image", made.stdout)
                shell = sh("sh", "-c", readme_recipe("shell"), cwd=os.path.join(folder, "build"),
                           env=env)
                self.assertEqual((shell.returncode == 0, shell.stdout),
                                 (works, "2024-03-09 07:05:02\n" if works else ""))

    @unittest.skipUnless(FIRMWARE_TOOLS, "needs gcc-arm-none-eabi")
    def test_pico_recipe_stamps_every_output_of_the_sdk(self):
        """The recipe's declaration, linked as the SDK links (--gc-sections, flash at
        0x10000000 after the boot stage), and its stamp command: the ELF, UF2, HEX and BIN."""
        folder = os.path.join(self.tmp, "pico")
        os.makedirs(folder)
        with open(os.path.join(folder, "app.c"), "w") as source:
            source.write(readme_recipe("pico-declaration") + "void _start(void) { for (;;) {} }\n")
        with open(os.path.join(folder, "memmap.ld"), "w") as layout:
            layout.write("MEMORY { FLASH(rx) : ORIGIN = 0x10000000, LENGTH = 2048k\n"
                         "         RAM(rwx) : ORIGIN = 0x20000000, LENGTH = 256k }\n"
                         "ENTRY(_start)\nSECTIONS { .boot2 : { LONG(0) . = 256; } > FLASH\n"
                         "  .text : { *(.text*) } > FLASH  .rodata : { *(.rodata*) } > FLASH\n"
                         "  .data : { *(.data*) } > RAM AT > FLASH  .bss : { *(.bss*) } > RAM }\n")
        keep = readme_recipe("pico-link").split('"LINKER:')[1].split('"')[0]
        self.assertEqual(sh("arm-none-eabi-gcc", "-mcpu=cortex-m0plus", "-mthumb", "-O2",
                            "-nostdlib", "-ffunction-sections", "-fdata-sections",
                            "-Wl,--gc-sections", f"-Wl,{keep}", "-T", "memmap.ld", "app.c", "-o",
                            "app.elf", cwd=folder).returncode, 0)
        for kind in ["ihex", "binary"]:
            sh("arm-none-eabi-objcopy", "-O", kind, "app.elf",
               "app." + {"ihex": "hex", "binary": "bin"}[kind], cwd=folder)
        with open(os.path.join(folder, "app.bin"), "rb") as binary:
            data = binary.read()
        with open(os.path.join(folder, "app.uf2"), "wb") as uf2:
            uf2.write(uf2_file([(0x10000000 + at, data[at:at + 256].ljust(256, b"\0"))
                                for at in range(0, len(data), 256)]))
        command = [line.split("COMMAND ", 1)[1] for line in readme_recipe("pico").splitlines()
                   if "COMMAND " in line][0].removesuffix(")").replace("$<TARGET_FILE:app>", "app.elf")
        env = dict(os.environ, SOURCE_DATE_EPOCH="1709967902",
                   PATH=os.path.join(self.install(), "bin") + os.pathsep + os.environ["PATH"])
        stamped = sh("sh", "-c", command, cwd=folder, env=env)
        self.assertEqual((stamped.returncode, stamped.stderr), (0, ""))
        files = ["app.elf", "app.uf2", "app.hex", "app.bin"]
        shown = sh("hexstamp-image", "show", "--symbol", "build_stamp", "--base", "0x10000000",
                   *files, cwd=folder, env=env)
        self.assertEqual(shown.stdout, "".join(f"{name}: 2024-03-09 07:05:02\n" for name in files))

    @unittest.skipUnless(FIRMWARE_TOOLS, "needs gcc-arm-none-eabi")
    def test_readme_quick_start_runs_as_pasted(self):
        """Its blocks, in order, in a shell in a copy of the sources: the programs, a stamped
        firmware and show's lines, with no warning from the compiler."""
        files = sh("git", "ls-files", "-z", cwd=SOURCE).stdout.split("\0")
        for name in filter(None, files):
            os.makedirs(os.path.dirname(os.path.join(self.tmp, name)), exist_ok=True)
            shutil.copy(os.path.join(SOURCE, name), os.path.join(self.tmp, name))
        with open(os.path.join(SOURCE, "README.md"), encoding="utf-8") as readme:
            section = readme.read().split("## Quick start", 1)[1].split("\n## ", 1)[0]
        script = "".join(re.findall(r"```sh\n(.*?)```", section, re.S))
        try:
            ran = sh("bash", "-e", "-c", script, cwd=self.tmp,
                     env=dict(os.environ, SOURCE_DATE_EPOCH="1709967902"))
        finally:  # the board block's QEMU, should the block have stopped before its end
            sh("pkill", "-f", "-kernel board.elf")
        self.assertEqual(ran.returncode, 0, ran.stderr)
        self.assertIn("app.elf: 2024-03-09 07:05:02\napp.hex: 2024-03-09 07:05:02\n"
                      "2024-03-09 07:05:02\nlocalhost:1234 holds board.elf: 2 regions, ",
                      ran.stdout)
        self.assertIn('"status": "running"', ran.stdout.splitlines()[-1])
        self.assertNotIn("warning", ran.stderr)

    def check_firmware(self, build, stamp_bytes):
        elf = os.path.join(build, "firmware.elf")
        ran = sh(*QEMU, elf, stdin=subprocess.DEVNULL, timeout=60)
        self.assertEqual(ran.returncode, 0, ran.stderr)
        printed = ran.stdout + ran.stderr
        if stamp_bytes is None:
            self.assertEqual(printed, "unstamped\n")
            return
        fields = [f"{b:02X}" for b in stamp_bytes[-7:]]
        year = int(fields[0]) * 100 + 1900 + int(fields[1])
        self.assertEqual(printed, f"built {year}-{fields[2]}-{fields[3]} "
                                  f"{fields[4]}:{fields[5]}:{fields[6]}\n")
        headers = sh("arm-none-eabi-objdump", "-h", elf).stdout
        size, address = re.search(r"\.hexstamp\s+(\w+)\s+\w+\s+(\w+)", headers).groups()
        self.assertEqual(int(size, 16), len(stamp_bytes))
        image = IntelHex(os.path.join(build, "firmware.hex"))
        first = int(address, 16)
        self.assertEqual(bytes(image[first + i] for i in range(len(stamp_bytes))), stamp_bytes)

    @unittest.skipUnless(FIRMWARE_TOOLS, "needs gcc-arm-none-eabi")
    def test_firmware_header_needs_nothing_from_a_runtime_library(self):
        prefix = os.environ.get("HEXSTAMP_PREFIX") or self.install()
        include = os.path.join(prefix, "include/hexstamp-firmware")
        self.assertEqual(os.listdir(include), ["hexstamp"])
        self.assertEqual(os.listdir(os.path.join(include, "hexstamp")), ["stamp.h"])
        program = ("#include <hexstamp/stamp.h>\nHEXSTAMP_DEFINE(stamp, 16);\n"
                   "int decode(struct hexstamp_time* t) { return hexstamp_decode%s(stamp, 16, t); }\n")
        # In C++ too the stamp's symbol is the name written, with external linkage; on AVR it
        # is read from program memory, and has the name the tools look for as well.
        targets = [("arm-none-eabi-", [f"-mcpu={cpu}", "-mthumb", "-nostdlib"], "", ["stamp"])
                   for cpu in ["cortex-m0", "cortex-m3"]]
        if shutil.which("avr-gcc"):
            targets.append(("avr-", ["-mmcu=atmega328p"], "_P", ["hexstamp_stamp", "stamp"]))
        for language in [["-x", "c", "-std=c99"], ["-x", "c++", "-std=c++11"]]:
            for prefix, flags, suffix, symbols in targets:
                with self.subTest(language=language[1], target=flags[0]):
                    obj = os.path.join(self.tmp, "decode.o")
                    built = sh(f"{prefix}gcc", *flags, "-O2", "-Wall", "-Wextra", "-pedantic",
                               "-Werror", f"-I{include}", *language, "-c", "-", "-o", obj,
                               input=program % suffix)
                    self.assertEqual(built.returncode, 0, built.stderr)
                    self.assertEqual(sh(f"{prefix}nm", "-u", obj).stdout, "")
                    defined = sh(f"{prefix}nm", "-g", "--defined-only", obj).stdout.split()
                    self.assertEqual([name for name in defined if name.endswith("stamp")], symbols)

    def check_merged(self, build, first, last, instants):
        app = IntelHex(os.path.join(build, "app.hex")).todict()
        merged = IntelHex(os.path.join(build, "app-stamped.hex")).todict()
        placed = [merged.get(address) for address in range(first, last + 1)]
        self.assertIn(placed, [stamp(instant, "UTC", last - first + 1) for instant in instants])
        for address in range(first, last + 1):
            del merged[address]
            app.pop(address, None)  # a range beyond the application's data is added
        self.assertEqual(merged, app)


if __name__ == "__main__":
    unittest.main()
