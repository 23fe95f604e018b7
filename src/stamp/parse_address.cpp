#include "stamp/parse_address.hpp"

#include <cstring>

namespace hexstamp {

namespace {

// Any value above this cannot be an address; accumulation saturates here so that
// arbitrarily long digit runs cannot overflow.
constexpr std::uint64_t Saturated = 0x1'0000'0000u;

// The C locale's blanks, tested without <cctype> so that no char value is undefined.
bool is_blank(char c) {
    return c != '\0' && std::strchr(" \t\n\v\f\r", c) != nullptr;
}

int digit_value(char c, unsigned base) {
    int value = -1;
    if (c >= '0' && c <= '9') {
        value = c - '0';
    } else if (c >= 'a' && c <= 'f') {
        value = c - 'a' + 10;
    } else if (c >= 'A' && c <= 'F') {
        value = c - 'A' + 10;
    }
    return value >= 0 && static_cast<unsigned>(value) < base ? value : -1;
}

// Reads the digits at `text`; no value when there are none.
std::optional<std::uint64_t> read_digits(const char* text, unsigned base) {
    std::optional<std::uint64_t> result;
    std::uint64_t value = 0;
    for (int digit = digit_value(*text, base); digit >= 0; digit = digit_value(*++text, base)) {
        value = value * base + static_cast<std::uint64_t>(digit);
        value = value < Saturated ? value : Saturated;
        result = value;
    }
    return result;
}

std::optional<std::uint32_t> parse_hexadecimal(const char* digits) {
    const std::optional<std::uint64_t> value = read_digits(digits, 16);
    if (!value || *value >= Saturated) {
        return std::nullopt;
    }
    return static_cast<std::uint32_t>(*value);
}

std::optional<std::uint32_t> parse_decimal(const char* text) {
    // Positive values cover every unsigned 32-bit address; negative ones stand for their
    // two's-complement pattern, down to the most negative 32-bit int.
    constexpr std::uint64_t MaxPositive = 0xFFFF'FFFFu;
    constexpr std::uint64_t MaxNegative = 0x8000'0000u;
    while (is_blank(*text)) {
        ++text;
    }
    const bool negative = *text == '-';
    if (*text == '-' || *text == '+') {
        ++text;
    }
    const std::optional<std::uint64_t> magnitude = read_digits(text, 10);
    if (!magnitude || *magnitude > (negative ? MaxNegative : MaxPositive)) {
        return std::nullopt;
    }
    // Negation in 32-bit unsigned arithmetic gives the two's-complement pattern.
    const auto value = static_cast<std::uint32_t>(*magnitude);
    return negative ? static_cast<std::uint32_t>(0u - value) : value;
}

} // namespace

std::optional<std::uint32_t> parse_address(const char* text) {
    const bool hexadecimal = text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    return hexadecimal ? parse_hexadecimal(text + 2) : parse_decimal(text);
}

} // namespace hexstamp
