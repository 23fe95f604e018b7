"""Runs the real hexstamp binary under a frozen libfaketime clock and builds the
records it should print from an independent reading of the same instant by date(1)."""
import glob
import os
import subprocess
import sys

BINARY = os.path.abspath(sys.argv.pop(1)) if len(sys.argv) > 1 else "hexstamp"
FAKETIME = sorted(glob.glob("/usr/lib/*/faketime/libfaketime.so.1"))[0]
MARCH_9_2024 = 1709967902  # 2024-03-09 07:05:02 UTC


def run(args, epoch=MARCH_9_2024, tz="UTC", **kwargs):
    """With epoch None the real clock runs: libfaketime opens files of its own, which
    would take over a standard output the test has closed."""
    faked = dict(LD_PRELOAD=FAKETIME, FAKETIME_FMT="%s", FAKETIME=str(epoch)) if epoch else {}
    env = dict(os.environ, TZ=tz, **faked)
    kwargs.setdefault("stdout", subprocess.PIPE)
    return subprocess.run([BINARY, *args], env=env, stderr=subprocess.PIPE, text=True, **kwargs)


def stamp(epoch, tz, length):
    """Packed-BCD stamp bytes as date(1) sees the instant in that zone."""
    fields = subprocess.run(["date", "-d", f"@{epoch}", "+%C %y %m %d %H %M %S"],
                            env=dict(os.environ, TZ=tz), capture_output=True, text=True,
                            check=True).stdout.split()
    fields[0] = str(int(fields[0]) - 19)  # century count: 0 for the 1900s, 1 for the 2000s
    data = [0] * 9 + [int(field, 16) for field in fields]
    return data[len(data) - length:]


def record(address, record_type, data):
    body = [len(data), (address >> 8) & 0xFF, address & 0xFF, record_type, *data]
    return ":" + "".join(f"{byte:02X}" for byte in body) + f"{-sum(body) & 0xFF:02X}\n"


def hex_file(start, data):
    extended = record(0, 4, [start >> 24, (start >> 16) & 0xFF]) if start > 0xFFFF else ""
    return extended + record(start & 0xFFFF, 0, data) + ":00000001FF\n"
