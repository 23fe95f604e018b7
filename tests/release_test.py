"""The release as it ships: two runs of scripts/release.sh from the same commit, in different
folders, give the same bytes; lintian passes the three Debian packages; the amd64 binaries are
hardened; the Windows .exes taken from the zip pass the process tests under Wine; and the
static binaries of the portable Linux archives run in an otherwise empty root."""
import os
import re
import shlex
import shutil
import subprocess
import sys
import tarfile
import tempfile
import unittest
import zipfile

from harness import GdbServer, clock_window, firmware_elf, hex_file, readme_recipe, stamp

SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
with open(os.path.join(SOURCE, "CMakeLists.txt")) as cmake_lists:
    VERSION = re.search(r"project\(hexstamp VERSION ([0-9.]+)", cmake_lists.read())[1]
ARTIFACTS = ["SHA256SUMS", f"hexstamp-{VERSION}.tar.gz", f"hexstamp-{VERSION}-win64.zip",
             f"hexstamp_{VERSION}_amd64.deb", f"hexstamp_{VERSION}_arm64.deb",
             f"hexstamp_{VERSION}_armhf.deb", f"hexstamp-{VERSION}-linux-x86_64.tar.gz",
             f"hexstamp-{VERSION}-linux-aarch64.tar.gz", f"hexstamp-arduino-{VERSION}.zip"]
# An emulator for the aarch64 binaries that itself needs nothing from the root it runs in.
EMULATORS = {"x86_64": [], "aarch64": ["/qemu-aarch64-static"]}


BLINK = """void setup() { pinMode(LED_BUILTIN, OUTPUT); }
void loop() { digitalWrite(LED_BUILTIN, HIGH); delay(500); digitalWrite(LED_BUILTIN, LOW); delay(500); }
"""
SKETCH = """#include <hexstamp.h>

HEXSTAMP_DEFINE(build_stamp, 7);

void setup() {
    Serial.begin(9600);
}

void loop() {
    struct hexstamp_time built;
    char text[24];
    if (hexstamp_decode_P(build_stamp, sizeof build_stamp, &built)) {
        snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", built.year, built.month,
                 built.day, built.hour, built.minute, built.second);
        Serial.println(text);
    } else {
        Serial.println("not stamped");
    }
    delay(100);
}
"""


def sh(*command, **kwargs):
    """A hang fails its test, not the whole run, with what the command wrote until then."""
    kwargs.setdefault("timeout", 900)
    try:
        return subprocess.run(command, capture_output=True, text=True, **kwargs)
    except subprocess.TimeoutExpired as hung:
        said = [part.decode(errors="replace") if isinstance(part, bytes) else part or ""
                for part in (hung.stdout, hung.stderr)]
        return subprocess.CompletedProcess(command, -9, *said)


class Release(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp()
        cls.dists = []
        env = {k: v for k, v in os.environ.items() if k != "SOURCE_DATE_EPOCH"}
        for folder in ["first", "second/elsewhere"]:
            clone = os.path.join(cls.tmp, folder)
            subprocess.run(["git", "clone", "-q", SOURCE, clone], check=True)
            subprocess.run(["bash", "scripts/release.sh"], cwd=clone, env=env, check=True,
                           stdout=subprocess.DEVNULL, timeout=1200)
            cls.dists.append(os.path.join(clone, "dist"))

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp)

    def artifact(self, name):
        return os.path.join(self.dists[0], name)

    def test_two_runs_give_the_same_bytes(self):
        first, second = self.dists
        self.assertEqual(sorted(os.listdir(first)), sorted(ARTIFACTS))
        self.assertEqual(sorted(os.listdir(second)), sorted(ARTIFACTS))
        for name in ARTIFACTS:
            with open(os.path.join(first, name), "rb") as a, open(os.path.join(second, name),
                                                                   "rb") as b:
                self.assertEqual(a.read(), b.read(), name)
        with open(self.artifact("SHA256SUMS")) as sums:
            print(sums.read())

    def test_lintian_reports_no_error_and_no_warning(self):
        for arch in ["amd64", "arm64", "armhf"]:
            with self.subTest(arch=arch):
                # lintian's own storage goes to TMPDIR: a folder of the run, removed with it.
                scratch = tempfile.mkdtemp(dir=self.tmp)
                report = sh("lintian", "--info", self.artifact(f"hexstamp_{VERSION}_{arch}.deb"),
                            env=dict(os.environ, TMPDIR=scratch))
                print(f"lintian {arch}:", report.stdout or "(nothing)")
                self.assertEqual(report.returncode, 0, report.stdout)
                self.assertNotRegex(report.stdout, r"(?m)^[EW]: ")

    def test_amd64_binaries_are_hardened(self):
        root = os.path.join(self.tmp, "amd64")
        sh("dpkg-deb", "-x", self.artifact(f"hexstamp_{VERSION}_amd64.deb"), root, check=True)
        for program in ["hexstamp", "hexstamp-reproducible", "hexstamp-image"]:
            with self.subTest(program=program):
                report = sh("hardening-check", "--nocfprotection",
                            os.path.join(root, "usr/bin", program))
                print(report.stdout)
                self.assertEqual(report.returncode, 0, report.stdout)
                for check in ["Position Independent Executable", "Stack protected",
                              "Fortify Source functions", "Read-only relocations",
                              "Immediate binding"]:
                    self.assertRegex(report.stdout, f"{check}: yes")

    def test_windows_exe_from_the_zip_passes_the_process_tests(self):
        root = os.path.join(self.tmp, "win64")
        with zipfile.ZipFile(self.artifact(f"hexstamp-{VERSION}-win64.zip")) as zipped:
            names = sorted(os.path.basename(name) for name in zipped.namelist())
            zipped.extractall(root)
        self.assertEqual(names, ["LICENSE", "README.md", "hexstamp-image.exe", "hexstamp-image.txt",
                                 "hexstamp-reproducible.exe", "hexstamp.exe", "hexstamp.txt"])
        exes = [os.path.join(root, f"hexstamp-{VERSION}-win64", name)
                for name in ["hexstamp.exe", "hexstamp-reproducible.exe", "hexstamp-image.exe"]]
        for exe in exes:  # stripped
            self.assertIn("no symbols", sh("x86_64-w64-mingw32-objdump", "-t", exe).stdout)
        env = dict(os.environ, HEXSTAMP_EMULATOR="/usr/bin/env WINEDEBUG=-all wine")
        for test in ["process_test.py", "readers_test.py"]:
            result = sh(sys.executable, os.path.join(SOURCE, "tests", test), *exes, "-v", env=env)
            self.assertEqual(result.returncode, 0, result.stderr)

    def test_windows_recipes_of_the_readme_work_as_written(self):
        """Each IDE's line, its placeholders replaced by the files they stand for, run by the
        IDE directly (none of these runs it through cmd.exe) with the zip's .exe under Wine;
        then every file it names holds the stamp."""
        root = os.path.join(self.tmp, "recipes")
        with zipfile.ZipFile(self.artifact(f"hexstamp-{VERSION}-win64.zip")) as zipped:
            zipped.extractall(root)
        exe = os.path.join(root, f"hexstamp-{VERSION}-win64", "hexstamp-image.exe")
        elf = firmware_elf(root)
        for kind, name in [("ihex", "app.hex"), ("binary", "app.bin")]:
            sh("arm-none-eabi-objcopy", "-O", kind, elf, os.path.join(root, name), check=True)
        symbols = sh("readelf", "-s", elf).stdout
        first = int(next(line.split()[1] for line in symbols.splitlines()
                         if line.endswith(" build_stamp")), 16)
        rows = {  # recipe: its placeholders and what they stand for
            "keil": {"#L": "app.axf", "#H": "app.hex"},
            "iar": {"$TARGET_PATH$": "app.out", "$TARGET_BPATH$": "app"},
            "cubeide": {"${BuildArtifactFileBaseName}": "app"},
            "mcuxpresso": {"${BuildArtifactFileBaseName}": "app", "0x00000000": "0x08000000"},
            # make's functions, as MPLAB X's makefile evaluates them for a production build
            "mplab": {"$(wildcard $(basename ${ImagePath}).hex)": "app.hex",
                      "$(basename ${ImagePath})": "app"},
        }
        env = dict(os.environ, WINEDEBUG="-all", SOURCE_DATE_EPOCH="1709967902")
        for recipe, places in rows.items():
            with self.subTest(recipe=recipe):
                folder = tempfile.mkdtemp(dir=self.tmp)
                for name in ["app.elf", "app.axf", "app.out"]:
                    shutil.copy(elf, os.path.join(folder, name))
                for name in ["app.hex", "app.bin"]:
                    shutil.copy(os.path.join(root, name), folder)
                line = readme_recipe(recipe).strip()
                for placeholder, value in places.items():
                    line = line.replace(placeholder, value)
                words = shlex.split(line)
                ran = sh("wine", exe, *words[1:], cwd=folder, env=env)
                self.assertEqual((ran.returncode, ran.stderr), (0, ""), line)
                for name in [word for word in words if word.startswith("app.")]:
                    base = ["--base", "0x08000000"] if name.endswith(".bin") else []
                    shown = sh("wine", exe, "show", "--first", hex(first), "--last",
                               hex(first + 6), *base, name, cwd=folder, env=env)
                    self.assertEqual(shown.stdout, "2024-03-09 07:05:02\n", name)

    @unittest.skipUnless(shutil.which("arduino-builder") and shutil.which("simavr"),
                         "needs arduino-builder, arduino-core-avr, arduino-ctags and simavr")
    def test_arduino_library_from_its_zip_stamps_a_sketch(self):
        """The zip as "Add .ZIP Library" installs it, an Uno sketch built offline by Debian's
        arduino-builder with the recipe's platform.local.txt hook running the portable
        hexstamp-image: the ELF and the HEX come out stamped, and the sketch, run under
        simavr, prints the stamp it reads from flash."""
        root = os.path.join(self.tmp, "arduino")
        with zipfile.ZipFile(self.artifact(f"hexstamp-arduino-{VERSION}.zip")) as zipped:
            self.assertEqual(sorted(zipped.namelist()), [
                "hexstamp/LICENSE", "hexstamp/library.properties", "hexstamp/src/hexstamp.h",
                "hexstamp/src/hexstamp/stamp.h"])
            zipped.extractall(os.path.join(root, "libraries"))
        with tarfile.open(self.artifact(f"hexstamp-{VERSION}-linux-x86_64.tar.gz")) as archive:
            archive.extractall(root)
        tool = os.path.join(root, f"hexstamp-{VERSION}-linux-x86_64", "hexstamp-image")
        # The board package's folder, with the hook beside its platform.txt.
        shutil.copytree("/usr/share/arduino/hardware/arduino", os.path.join(root, "hardware",
                                                                            "arduino"))
        hook = os.path.join(root, "hardware/arduino/avr/platform.local.txt")
        with open(hook, "w") as text:
            text.write(readme_recipe("arduino").replace("hexstamp-image", tool, 1))
        files = self.build_sketch(root, "app", SKETCH)
        shown = sh(tool, "show", *files)
        self.assertEqual(shown.stdout, "".join(f"{name}: 2024-03-09 07:05:02\n" for name in files))
        ran = sh("timeout", "2", "simavr", "-m", "atmega328p", "-f", "16000000", files[1])
        self.assertIn("2024-03-09 07:05:02", ran.stdout + ran.stderr)
        # The hook is the core's: a sketch that declares the stamp and never reads it is
        # stamped (the linker keeps it), and Blink, which has none, is built as without it.
        declared = self.build_sketch(root, "declared", "#include <hexstamp.h>\n"
                                     "HEXSTAMP_DEFINE(build_stamp, 7);\n" + BLINK)
        self.assertEqual(sh(tool, "show", *declared).returncode, 0)
        blink = self.build_sketch(root, "blink", BLINK)
        os.remove(hook)
        plain = self.build_sketch(root, "plain", BLINK)
        # Byte for byte for the HEX; the ELF by what it loads, since its symbol table names
        # the link's temporary LTO files, which differ from build to build.
        for ours, theirs in zip(blink, plain):
            if ours.endswith(".elf"):
                for elf in (ours, theirs):
                    self.assertEqual(sh("avr-objcopy", "-O", "binary", elf, elf + ".bin")
                                     .returncode, 0)
                ours, theirs = ours + ".bin", theirs + ".bin"
            with open(ours, "rb") as hooked, open(theirs, "rb") as unhooked:
                self.assertEqual(hooked.read(), unhooked.read(), ours)

    def build_sketch(self, root, name, text):
        """The sketch built by Debian's arduino-builder for an Uno: its ELF and HEX."""
        os.makedirs(os.path.join(root, name))
        os.makedirs(os.path.join(root, "build-" + name))
        with open(os.path.join(root, name, name + ".ino"), "w") as sketch:
            sketch.write(text)
        built = sh("arduino-builder", "-hardware", os.path.join(root, "hardware"), "-hardware",
                   "/usr/share/arduino-builder", "-tools", "/usr/share/arduino-builder",
                   "-libraries", os.path.join(root, "libraries"), "-prefs",
                   "tools.ctags.path=/usr/bin",
                   # Debian 12's core needs these with Debian's avr-gcc 5.4 (float.h lacks them).
                   "-prefs", "compiler.cpp.extra_flags=-DDECIMAL_DIG=9 -DFLT_DECIMAL_DIG=9",
                   "-fqbn", "arduino:avr:uno", "-build-path", os.path.join(root, "build-" + name),
                   os.path.join(root, name, name + ".ino"),
                   env=dict(os.environ, SOURCE_DATE_EPOCH="1709967902"))
        self.assertEqual(built.returncode, 0, built.stdout + built.stderr)
        return [os.path.join(root, "build-" + name, f"{name}.ino.{kind}") for kind in ["elf", "hex"]]

    def test_static_binaries_run_in_an_empty_root(self):
        """Only the binary (and, for aarch64, a static qemu) in the root: no loader, no
        library, no zone files. Without TZ that is UTC; with a zone file copied in and TZ
        naming it, the local time. The clock is the real one: any second of the run."""
        kolkata = "/usr/share/zoneinfo/Asia/Kolkata"
        for arch, emulator in EMULATORS.items():
            name = f"hexstamp-{VERSION}-linux-{arch}"
            with tarfile.open(self.artifact(f"{name}.tar.gz")) as archive:
                names = sorted(os.path.basename(n) for n in archive.getnames())
                self.assertEqual(names, sorted([name, "LICENSE", "README.md", "hexstamp",
                                                "hexstamp-reproducible", "hexstamp.1",
                                                "hexstamp-image", "hexstamp-image.1"]))
                archive.extractall(os.path.join(self.tmp, arch))
            for program in ["hexstamp", "hexstamp-reproducible", "hexstamp-image"]:
                binary = os.path.join(self.tmp, arch, name, program)
                headers = sh("readelf", "-l", "-d", binary).stdout
                self.assertNotIn("INTERP", headers)
                self.assertNotIn("NEEDED", headers)
                self.assertIn("DYN (Position-Independent Executable", sh("readelf", "-h",
                                                                          binary).stdout)
                # verify, four formats with their digests and the copier thread took it past 1.3 MB
                self.assertLessEqual(os.path.getsize(binary), 1_400_000, binary)
            self.check_image_tool_in_empty_root(os.path.join(self.tmp, arch, name), emulator)
            for program in ["hexstamp", "hexstamp-reproducible"]:
                binary = os.path.join(self.tmp, arch, name, program)
                for tz, epoch in [(None, None), ("Asia/Kolkata", None), ("Asia/Kolkata", "0")]:
                    with self.subTest(arch=arch, program=program, tz=tz, epoch=epoch):
                        if epoch and program == "hexstamp":
                            continue
                        self.check_empty_root(binary, emulator, tz and kolkata, epoch)

    def check_image_tool_in_empty_root(self, folder, emulator):
        """hexstamp-image replaces a file in place with nothing but itself in the root."""
        root = tempfile.mkdtemp(dir=self.tmp)
        shutil.copy(os.path.join(folder, "hexstamp-image"), os.path.join(root, "tool"))
        if emulator:
            shutil.copy(shutil.which(os.path.basename(emulator[0])), root + emulator[0])
        with open(os.path.join(root, "a.hex"), "w") as image:
            image.write(":0700400000000000000000B9\n:00000001FF\n")
        env = {"PATH": "/", "SOURCE_DATE_EPOCH": "1709967902"}
        # A board's GDB server, by number and by the name localhost, with no name service.
        port = GdbServer(0x40, bytes([1, 0x24, 3, 9, 7, 5, 2])).path.split(":")[1]
        shown = "2024-03-09 07:05:02\n"
        for command, out, source in [("stamp", "", "/a.hex"), ("show", shown, "/a.hex"),
                                     ("show", shown, "--target=127.0.0.1:" + port),
                                     ("show", shown, "--target=localhost:" + port)]:
            result = sh(shutil.which("chroot"), root, *emulator, "/tool", command, "--first",
                        "0x40", "--last", "0x46", source, env=env)
            self.assertEqual((result.returncode, result.stdout, result.stderr), (0, out, ""))

    def check_empty_root(self, binary, emulator, zone_file, epoch):
        root = tempfile.mkdtemp(dir=self.tmp)
        shutil.copy(binary, os.path.join(root, "tool"))
        if emulator:
            shutil.copy(shutil.which(os.path.basename(emulator[0])), root + emulator[0])
        env = {"PATH": "/"}
        if zone_file:
            shutil.copy(zone_file, os.path.join(root, "zone"))
            env["TZ"] = "/zone"
        if epoch:
            env["SOURCE_DATE_EPOCH"] = epoch
        window = clock_window()
        chroot = shutil.which("chroot")
        result = sh(chroot, root, *emulator, "/tool", "0x0100", "0x0106", env=env)
        instants = [int(epoch)] if epoch else window()
        zone = "UTC" if epoch or not zone_file else zone_file
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stderr, "Exit with code 0\n")
        self.assertIn(result.stdout, [hex_file(0x0100, stamp(i, zone, 7)) for i in instants])


if __name__ == "__main__":
    unittest.main(verbosity=2)
