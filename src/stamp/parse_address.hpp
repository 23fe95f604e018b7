#pragma once

#include <cstdint>
#include <optional>

namespace hexstamp {

// Reads an address the way a user types it: "0x"/"0X" then hexadecimal digits, or a
// decimal number with optional leading blanks and sign from -2147483648 to 4294967295,
// a negative value standing for its 32-bit two's-complement pattern (-1 is 0xFFFFFFFF).
// Reading stops at the first character that cannot continue the number. No number: no
// digits, or a value that does not fit (above 0xFFFFFFFF, or decimal below -2147483648).
std::optional<std::uint32_t> parse_address(const char* text);

} // namespace hexstamp
