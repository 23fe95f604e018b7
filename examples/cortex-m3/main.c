/* Prints the build stamp through semihosting and exits QEMU. */
#include <hexstamp/stamp.h>

#ifndef STAMP_LENGTH
#define STAMP_LENGTH 7
#endif

HEXSTAMP_DEFINE(build_stamp, STAMP_LENGTH);

enum { SysWrite0 = 0x04, SysExit = 0x18, ApplicationExit = 0x20026 };

/* A semihosting request: the debugger (here QEMU) serves the breakpoint 0xAB. */
static void semihost(int operation, const void* argument) {
    register int r0 __asm__("r0") = operation;
    register const void* r1 __asm__("r1") = argument;
    __asm__ volatile("bkpt 0xAB" : "+r"(r0) : "r"(r1) : "memory");
}

/* Writes `value` as `digits` decimal digits ending just before `end`. */
static void put_number(char* end, int value, int digits) {
    for (; digits > 0; --digits) {
        *--end = (char)('0' + value % 10);
        value /= 10;
    }
}

int main(void) {
    struct hexstamp_time time;
    char line[] = "built 0000-00-00 00:00:00\n";
    if (hexstamp_decode(build_stamp, sizeof build_stamp, &time) && time.year >= 0) {
        put_number(line + 10, time.year, 4);
        put_number(line + 13, time.month, 2);
        put_number(line + 16, time.day, 2);
        put_number(line + 19, time.hour, 2);
        put_number(line + 22, time.minute, 2);
        put_number(line + 25, time.second, 2);
        semihost(SysWrite0, line);
    } else {
        semihost(SysWrite0, "unstamped\n");
    }
    semihost(SysExit, (const void*)ApplicationExit);
    return 0;
}
