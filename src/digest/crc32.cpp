#include "digest/crc32.hpp"

#include <array>

namespace hexstamp::digest {

namespace {

// One entry for each value of the byte shifted out of the top of the register.
std::array<std::uint32_t, 256> mpeg2_table() {
    std::array<std::uint32_t, 256> table{};
    for (std::uint32_t value = 0; value < 256; ++value) {
        std::uint32_t crc = value << 24u;
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 0x80000000u) != 0 ? crc << 1u ^ 0x04C11DB7u : crc << 1u;
        }
        table[value] = crc;
    }
    return table;
}

std::array<std::uint32_t, 256> reflected_table() {
    std::array<std::uint32_t, 256> table{};
    for (std::uint32_t value = 0; value < 256; ++value) {
        std::uint32_t crc = value;
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 1u) != 0 ? crc >> 1u ^ 0xEDB88320u : crc >> 1u;
        }
        table[value] = crc;
    }
    return table;
}

} // namespace

std::uint32_t crc32_reflected(const std::uint8_t* bytes, std::size_t count, std::uint32_t crc) {
    static const std::array<std::uint32_t, 256> table = reflected_table();
    for (std::size_t index = 0; index < count; ++index) {
        crc = crc >> 8u ^ table[(crc ^ bytes[index]) & 0xFFu];
    }
    return crc;
}

std::uint32_t crc32_mpeg2(const std::uint8_t* bytes, std::size_t count, std::uint32_t crc) {
    static const std::array<std::uint32_t, 256> table = mpeg2_table();
    for (std::size_t index = 0; index < count; ++index) {
        crc = crc << 8u ^ table[(crc >> 24u ^ bytes[index]) & 0xFFu];
    }
    return crc;
}

} // namespace hexstamp::digest
