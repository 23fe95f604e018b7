"""What a user would write without hexstamp, with Python's intelhex package."""
import sys
import time

from intelhex import IntelHex

now = time.localtime()
fields = [now.tm_year // 100 - 19, now.tm_year % 100, now.tm_mon, now.tm_mday,
          now.tm_hour, now.tm_min, now.tm_sec]
image = IntelHex()
for offset, value in enumerate(fields):
    image[0x0100 + offset] = (value // 10) << 4 | value % 10
image.write_hex_file(sys.stdout)
