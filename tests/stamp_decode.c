/* The firmware header compiled as C: the decoder tests run it as C and as C++. */
#include "hexstamp/stamp.h"

int hexstamp_decode_as_c(const volatile uint8_t* stamp, size_t length, struct hexstamp_time* time);

int hexstamp_decode_as_c(const volatile uint8_t* stamp, size_t length, struct hexstamp_time* time) {
    return hexstamp_decode(stamp, length, time);
}
