#include "stamp/intel_hex.hpp"

namespace hexstamp {

namespace {

constexpr std::uint32_t SixteenBitMask = 0xFFFFu;

// Two's complement of the byte sum of count, address and record type; the data
// bytes are subtracted by the caller as they are printed.
std::uint8_t header_checksum(std::uint8_t count, std::uint16_t address, std::uint8_t type) {
    const unsigned sum = count + (address >> 8u) + (address & 0xFFu) + type;
    return static_cast<std::uint8_t>(0u - sum);
}

void write_extended_linear_address(std::FILE* out, std::uint16_t upper_address) {
    constexpr std::uint8_t ExtendedLinearAddressType = 0x04;
    const std::uint8_t checksum =
        static_cast<std::uint8_t>(header_checksum(2, 0, ExtendedLinearAddressType) -
                                  (upper_address >> 8u) - (upper_address & 0xFFu));
    std::fprintf(out, ":02000004%04X%02X\n", unsigned{upper_address}, unsigned{checksum});
}

} // namespace

void write_records(std::FILE* out, std::uint32_t start_address, const DateTimeStamp& stamp) {
    if (start_address > SixteenBitMask) {
        write_extended_linear_address(out, static_cast<std::uint16_t>(start_address >> 16u));
    }
    const auto count = static_cast<std::uint8_t>(stamp.length);
    const auto address = static_cast<std::uint16_t>(start_address & SixteenBitMask);
    std::uint8_t checksum = header_checksum(count, address, 0x00);
    std::fprintf(out, ":%02X%04X00", unsigned{count}, unsigned{address});
    for (std::size_t index = 0; index < stamp.length; ++index) {
        const std::uint8_t data = to_packed_bcd(stamp.bytes[index]);
        std::fprintf(out, "%02X", unsigned{data});
        checksum = static_cast<std::uint8_t>(checksum - data);
    }
    std::fprintf(out, "%02X\n:00000001FF\n", unsigned{checksum});
}

} // namespace hexstamp
