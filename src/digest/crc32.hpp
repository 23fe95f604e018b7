#pragma once

#include <cstddef>
#include <cstdint>

// The CRC-32 variants images and debug servers use. Each call continues from `crc`, so that a
// long run of bytes can be taken piece by piece.
namespace hexstamp::digest {

// GDB's qCRC: polynomial 0x04C11DB7, most significant bit first, starting at 0xFFFFFFFF,
// with no final inversion (the CRC-32/MPEG-2 parameters).
constexpr std::uint32_t Crc32MpegStart = 0xFFFFFFFFu;
std::uint32_t crc32_mpeg2(const std::uint8_t* bytes, std::size_t count,
                          std::uint32_t crc = Crc32MpegStart);

// The reflected CRC-32 (polynomial 0xEDB88320) of zlib and PNG, without the final
// inversion: start from 0xFFFFFFFF and invert the result for zlib's value. A DFU suffix
// holds it uninverted.
constexpr std::uint32_t Crc32Start = 0xFFFFFFFFu;
std::uint32_t crc32_reflected(const std::uint8_t* bytes, std::size_t count,
                              std::uint32_t crc = Crc32Start);

} // namespace hexstamp::digest
