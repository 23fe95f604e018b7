#include "stamp/intel_hex.hpp"

namespace hexstamp {

namespace {

constexpr std::uint32_t SixteenBitMask = 0xFFFFu;

} // namespace

std::uint8_t record_checksum(std::uint8_t type, std::uint16_t address, const std::uint8_t* data,
                             std::uint8_t count) {
    unsigned sum = count + (address >> 8u) + (address & 0xFFu) + type;
    for (std::size_t index = 0; index < count; ++index) {
        sum += data[index];
    }
    return static_cast<std::uint8_t>(0u - sum);
}

namespace {

// A byte's two digits in the given case, into `text`.
char* put_hex_byte(char* text, unsigned value, Letters letters) {
    const char* const digits = letters == Letters::Lower ? "0123456789abcdef" : "0123456789ABCDEF";
    text[0] = digits[(value >> 4u) & 0x0Fu];
    text[1] = digits[value & 0x0Fu];
    return text + 2;
}

} // namespace

void write_hex_byte(std::FILE* out, unsigned value, Letters letters) {
    char text[3] = {};
    put_hex_byte(text, value, letters);
    std::fputs(text, out);
}

// The record is laid out in a buffer and written at once: a stamp run prints a record or two,
// and printf's general path for each of its bytes costs more than the rest of the run.
void write_record(std::FILE* out, std::uint8_t type, std::uint16_t address,
                  const std::uint8_t* data, std::uint8_t count, Letters letters) {
    char line[1 + 2 * (4 + 255 + 1) + 1];
    char* at = line;
    *at++ = ':';
    const unsigned header[] = {count, unsigned{address} >> 8u, unsigned{address} & 0xFFu, type};
    for (const unsigned byte : header) {
        at = put_hex_byte(at, byte, letters);
    }
    for (std::size_t index = 0; index < count; ++index) {
        at = put_hex_byte(at, data[index], letters);
    }
    at = put_hex_byte(at, record_checksum(type, address, data, count), letters);
    *at = '\0';
    std::fputs(line, out);
}

void write_records(std::FILE* out, std::uint32_t start_address, const DateTimeStamp& stamp) {
    if (start_address > SixteenBitMask) {
        const std::uint8_t upper[] = {static_cast<std::uint8_t>(start_address >> 24u),
                                      static_cast<std::uint8_t>(start_address >> 16u)};
        write_record(out, ExtendedLinearAddressRecord, 0, upper, 2, Letters::Upper);
        std::fputc('\n', out);
    }
    std::uint8_t data[MaxStampLength];
    for (std::size_t index = 0; index < stamp.length; ++index) {
        data[index] = to_packed_bcd(stamp.bytes[index]);
    }
    const auto address = static_cast<std::uint16_t>(start_address & SixteenBitMask);
    write_record(out, DataRecord, address, data, static_cast<std::uint8_t>(stamp.length),
                 Letters::Upper);
    std::fputs("\n:00000001FF\n", out);
}

} // namespace hexstamp
