"""The rooms of src/ include only the rooms below them, and only src/platform/ asks which
system it is built for."""
import os
import re
import sys
import unittest

SOURCE = os.path.join(os.path.abspath(sys.argv.pop(1)), "src")
# Each room's level: a room includes itself and the rooms of lower levels, never a peer.
LEVELS = {"digest": 0, "stamp": 0, "gdb": 0, "platform": 0, "image": 1, "formats": 2,
          "board": 3, "cli": 4, "image_cli": 4}
OUTSIDE = {"hexstamp/stamp.h": ["image_cli"]}  # the firmware's header, and who reads it
SYSTEM_TEST = re.compile(r"^\s*#\s*(if|ifdef|elif)\b.*(_WIN32|__MINGW|_MSC_VER|__APPLE__|__linux__)")


def sources():
    """Each source file's name within src/, and its lines."""
    for folder, _, names in os.walk(SOURCE):
        for name in names:
            path = os.path.join(folder, name)
            with open(path, encoding="utf-8") as text:
                yield os.path.relpath(path, SOURCE).replace(os.sep, "/"), text.readlines()


class Includes(unittest.TestCase):
    def test_rooms_include_only_the_rooms_below_them(self):
        wrong = []
        for name, lines in sources():
            room = name.split("/")[0] if "/" in name else None  # None: a program's main
            for number, line in enumerate(lines, 1):
                included = re.match(r'\s*#\s*include\s+"([^"]+)"', line)
                if not included:
                    continue
                target = included[1]
                below = target.split("/")[0]
                allowed = (room in OUTSIDE[target] if target in OUTSIDE else
                           below in LEVELS and (room is None or below == room or
                                                LEVELS[below] < LEVELS[room]))
                if not allowed:
                    wrong.append(f"{name}:{number}: {target}")
        self.assertEqual(wrong, [])

    def test_only_the_platform_room_tells_systems_apart(self):
        wrong = [f"{name}:{number}" for name, lines in sources()
                 if not name.startswith("platform/")
                 for number, line in enumerate(lines, 1) if SYSTEM_TEST.match(line)]
        self.assertEqual(wrong, [])


if __name__ == "__main__":
    unittest.main()
