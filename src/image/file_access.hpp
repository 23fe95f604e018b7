#pragma once

#include "image/patch.hpp"
#include "image/report.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

// Reading an image file, and writing its new copy, for the binary formats.
namespace hexstamp::image {

// The size of an open file in bytes; false when it cannot be told or the C library cannot
// seek that far.
bool file_size(std::FILE* in, const Report& report, std::uint64_t& size);

// Reads `count` bytes at `offset`.
bool read_at(std::FILE* in, std::uint64_t offset, void* bytes, std::size_t count);

// Reads the whole file, for formats whose checksums cover it; false, with the reason
// reported, when it cannot be read.
bool read_whole_file(std::FILE* in, const Report& report, std::vector<std::uint8_t>& bytes);
// Writes `bytes` to `out` (none: only reading).
void write_bytes(std::FILE* out, const std::vector<std::uint8_t>& bytes);

// Little-endian fields of binary formats.
inline std::uint32_t get_le32(const std::uint8_t* at) {
    return static_cast<std::uint32_t>(at[0]) | static_cast<std::uint32_t>(at[1]) << 8u |
           static_cast<std::uint32_t>(at[2]) << 16u | static_cast<std::uint32_t>(at[3]) << 24u;
}
inline void put_le32(std::uint8_t* at, std::uint32_t value) {
    for (unsigned index = 0; index < 4; ++index) {
        at[index] = static_cast<std::uint8_t>(value >> (8u * index));
    }
}

// Copies the whole file to `out` (null: reads only), passing every byte of the range at
// `offset` through the patch. False, with the reason reported, when the file cannot be read.
bool copy_patched(std::FILE* in, std::uint64_t size, std::uint64_t offset, std::FILE* out,
                  Patch& patch, const Report& report);

} // namespace hexstamp::image
