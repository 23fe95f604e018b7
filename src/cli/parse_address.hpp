#pragma once

#include <cstdint>
#include <optional>

namespace hexstamp {

// Reads an address the way a user types it: "0x"/"0X" then hexadecimal digits, or a
// decimal number with optional leading blanks and sign, a negative value standing for
// its 32-bit two's-complement pattern (-1 is 0xFFFFFFFF). Reading stops at the first
// character that cannot continue the number. No number: no digits, or a value that
// does not fit (above 0xFFFFFFFF, or decimal outside the signed 32-bit range).
std::optional<std::uint32_t> parse_address(const char* text);

} // namespace hexstamp
