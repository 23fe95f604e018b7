/* hexstamp/stamp.h: the build stamp inside the firmware, and how the firmware reads it.
 *
 * HEXSTAMP_DEFINE reserves the stamp: zero bytes in the section .hexstamp, which the build
 * overwrites after linking (hexstamp_stamp_elf in the CMake package). hexstamp_decode reads
 * the bytes back as a date and time.
 *
 * Freestanding C99, also valid C++11: no library call, no division, nothing the compiler
 * must fetch from a runtime library, so it builds with -nostdlib for any Cortex-M; on AVR it
 * uses avr-libc's program-memory reads, and nothing else of it.
 *
 * Copyright (c) 2026 The hexstamp developers. MIT licence. */
#ifndef HEXSTAMP_STAMP_H
#define HEXSTAMP_STAMP_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Defines `name` as a stamp of `length` bytes (1 to 16), zero until the build writes it.
 * Volatile, so that the compiler reads the stamped bytes rather than the zeros it saw;
 * `used`, so that it stays even when nothing reads it. Under --gc-sections the linker
 * script keeps it with KEEP(*(.hexstamp)). Aligned to 1, so that the section holds the
 * stamp and nothing else: assemblers (every MIPS one) pad a section to its alignment.
 *
 * In C++ too the stamp has external C linkage, so that its symbol is the name written
 * (--symbol build_stamp), not a mangled local one.
 *
 * On AVR, flash and RAM are apart, and avr-gcc's linker script puts only input sections it
 * names into flash: the stamp goes into .progmem.hexstamp, within .text, and the symbol
 * hexstamp_stamp, a second name for it that the header gives (in assembler, which link-time
 * optimization keeps), is how hexstamp-image finds it there. That linker script keeps no
 * section nothing refers to under --gc-sections (which Arduino links with), so one
 * instruction in .init8, the start-up code the script keeps for users, refers to the stamp:
 * a sketch that never reads it still holds it, and nothing of a runtime library is needed.
 * The firmware reads it from program memory with hexstamp_decode_P. */
#ifdef __cplusplus
#define HEXSTAMP_LINKAGE_ extern "C"
#else
#define HEXSTAMP_LINKAGE_
#endif
#ifdef __AVR__
#define HEXSTAMP_DEFINE(name, length)                                                              \
    HEXSTAMP_LINKAGE_ __attribute__((used, section(".progmem.hexstamp"), aligned(1)))              \
    const uint8_t name[(length)] = {0};                                                            \
    __asm__(".global hexstamp_stamp\n\t.type hexstamp_stamp, @object\n\t.set hexstamp_stamp, " #name \
            "\n\t.size hexstamp_stamp, " #length "\n\t.pushsection .init8,\"ax\",@progbits\n\t"   \
            "ldi r30, lo8(" #name ")\n\t.popsection")
#else
#define HEXSTAMP_DEFINE(name, length)                                                              \
    HEXSTAMP_LINKAGE_ __attribute__((used, section(".hexstamp"), aligned(1)))                      \
    const volatile uint8_t name[(length)] = {0}
#endif

/* A decoded stamp. A field the stamp is too short to hold is -1. */
struct hexstamp_time {
    int year; /* the full year: 2024 */
    int month;
    int day;
    int hour;
    int minute;
    int second;
};

/* The field `from_end` bytes before the stamp's last one (0: seconds) as a number from
 * `low` to `high`; -1 when the stamp is too short to hold it. 0 when it is not valid. */
static inline int hexstamp_field_(const volatile uint8_t* stamp, size_t length, size_t from_end,
                                  int low, int high, int* value) {
    uint8_t byte;
    int tens;
    int units;
    *value = -1;
    if (from_end >= length) {
        return 1;
    }
    byte = stamp[length - 1 - from_end];
    tens = byte >> 4;
    units = byte & 0x0F;
    if (tens > 9 || units > 9) {
        return 0;
    }
    *value = tens * 10 + units;
    return *value >= low && *value <= high;
}

/* Reads a stamp as hexstamp lays it out: zero padding, then century count (0 for 1900, 1 for
 * 2000), year within the century, month, day, hour, minute and second, each a packed-BCD
 * byte, aligned to the end. Returns 1 when every byte is valid; 0 otherwise, and then *time
 * is unspecified. An erased (all 0xFF) stamp and an unstamped (all zero) one of 4 bytes or
 * more are not valid. */
static inline int hexstamp_decode(const volatile uint8_t* stamp, size_t length,
                                  struct hexstamp_time* time) {
    size_t index;
    int century;
    int year;
    if (stamp == NULL || time == NULL || length == 0 || length > 16) {
        return 0;
    }
    for (index = 0; index + 7 < length; ++index) {
        if (stamp[index] != 0) {
            return 0;
        }
    }
    if (!hexstamp_field_(stamp, length, 0, 0, 60, &time->second) ||
        !hexstamp_field_(stamp, length, 1, 0, 59, &time->minute) ||
        !hexstamp_field_(stamp, length, 2, 0, 23, &time->hour) ||
        !hexstamp_field_(stamp, length, 3, 1, 31, &time->day) ||
        !hexstamp_field_(stamp, length, 4, 1, 12, &time->month) ||
        !hexstamp_field_(stamp, length, 5, 0, 99, &year) ||
        !hexstamp_field_(stamp, length, 6, 0, 99, &century)) {
        return 0;
    }
    time->year = century < 0 ? -1 : century * 100 + 1900 + year;
    return 1;
}

#ifdef __AVR__
#include <avr/pgmspace.h>

/* hexstamp_decode for a stamp in program memory, as HEXSTAMP_DEFINE places it on AVR:
 * hexstamp_decode_P(build_stamp, sizeof build_stamp, &built). */
static inline int hexstamp_decode_P(const uint8_t* stamp, size_t length,
                                    struct hexstamp_time* time) {
    uint8_t copy[16];
    size_t index;
    if (stamp == NULL || length == 0 || length > sizeof copy) {
        return 0;
    }
    for (index = 0; index < length; ++index) {
        copy[index] = pgm_read_byte(stamp + index);
    }
    return hexstamp_decode(copy, length, time);
}
#endif

#ifdef __cplusplus
}
#endif

#endif /* HEXSTAMP_STAMP_H */
