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

void write_hex_byte(std::FILE* out, unsigned value, Letters letters) {
    if (letters == Letters::Lower) {
        std::fprintf(out, "%02x", value);
    } else {
        std::fprintf(out, "%02X", value);
    }
}

void write_record(std::FILE* out, std::uint8_t type, std::uint16_t address,
                  const std::uint8_t* data, std::uint8_t count, Letters letters) {
    std::fputc(':', out);
    const unsigned header[] = {count, unsigned{address} >> 8u, unsigned{address} & 0xFFu, type};
    for (const unsigned byte : header) {
        write_hex_byte(out, byte, letters);
    }
    for (std::size_t index = 0; index < count; ++index) {
        write_hex_byte(out, data[index], letters);
    }
    write_hex_byte(out, record_checksum(type, address, data, count), letters);
}

void write_records(std::FILE* out, std::uint32_t start_address, const DateTimeStamp& stamp) {
    if (start_address > SixteenBitMask) {
        const std::uint8_t upper[] = {static_cast<std::uint8_t>(start_address >> 24u),
                                      static_cast<std::uint8_t>(start_address >> 16u)};
        write_record(out, ExtendedLinearAddressRecord, 0, upper, 2, Letters::Upper);
        std::fprintf(out, "\n");
    }
    std::uint8_t data[MaxStampLength];
    for (std::size_t index = 0; index < stamp.length; ++index) {
        data[index] = to_packed_bcd(stamp.bytes[index]);
    }
    const auto address = static_cast<std::uint16_t>(start_address & SixteenBitMask);
    write_record(out, DataRecord, address, data, static_cast<std::uint8_t>(stamp.length),
                 Letters::Upper);
    std::fprintf(out, "\n:00000001FF\n");
}

} // namespace hexstamp
