"""Each Windows .exe must start on any Windows: it may import only the system's own DLLs,
not the compiler's runtime (libstdc++, libgcc, winpthread)."""
import subprocess
import sys
import unittest

OBJDUMP, EXES = sys.argv[1], sys.argv[2:]
del sys.argv[1:]
SYSTEM_DLLS = {"kernel32.dll", "msvcrt.dll", "advapi32.dll", "user32.dll", "ntdll.dll",
               "ws2_32.dll"}


class Imports(unittest.TestCase):
    def test_only_system_dlls(self):
        for exe in EXES:
            with self.subTest(exe=exe):
                headers = subprocess.run([OBJDUMP, "-p", exe], capture_output=True, text=True,
                                         check=True).stdout
                dlls = {line.split(":", 1)[1].strip() for line in headers.splitlines()
                        if "DLL Name:" in line}
                print(exe, "imports:", ", ".join(sorted(dlls)))
                self.assertTrue(dlls)
                self.assertLessEqual({dll.lower() for dll in dlls}, SYSTEM_DLLS)


if __name__ == "__main__":
    unittest.main()
