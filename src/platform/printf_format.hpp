#pragma once

// Lets the compiler check the arguments of a printf-like function. MinGW names the C99 printf
// it builds with (%zu, %llu) as its format style; elsewhere that is plain printf.
#ifndef __MINGW_PRINTF_FORMAT
#define __MINGW_PRINTF_FORMAT printf
#endif
#define HEXSTAMP_PRINTF(format_index)                                                              \
    __attribute__((format(__MINGW_PRINTF_FORMAT, format_index, format_index + 1)))
