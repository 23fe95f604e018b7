#pragma once

#include "image/contents.hpp"
#include "stamp/date_time_stamp.hpp"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace hexstamp::image {

// The address range of a stamp, 1 to MaxStampLength bytes.
struct Range {
    std::uint32_t first = 0;
    std::uint32_t last = 0;
    std::size_t length() const { return static_cast<std::size_t>(last - first) + 1; }
    bool holds(std::uint64_t address) const { return address >= first && address <= last; }
};

// Bytes a format writes besides the stamp's: a hash made anew over them.
struct Extra {
    std::uint64_t address = 0;
    std::vector<std::uint8_t> bytes;
};

// One image's part in a run: the range, the bytes to write there (none: the image is only
// read) and the bytes the image held there before; and, when asked for, every byte it holds.
struct Patch {
    Range range;
    const std::uint8_t* stamp = nullptr;
    Contents* contents = nullptr;
    std::uint8_t found[MaxStampLength] = {};
    bool present[MaxStampLength] = {};

    // Records the image's byte at `address`, and gives the byte to keep there.
    std::uint8_t visit(std::uint64_t address, std::uint8_t byte);
    // Passes a record's data at `address` through visit, and into the contents when asked
    // for; true when it holds bytes of the range.
    bool visit_record(std::uint64_t address, std::uint8_t* data, std::size_t count);
    std::size_t missing() const;
    // Set when copies of the range within one image disagree (the families of a UF2 file):
    // the image then holds no one stamp.
    const char* disagreement = nullptr;
    std::vector<Extra> extras;
    // Writes the extras' bytes that fall in a record; true when there were any.
    bool write_extras(std::uint64_t address, std::uint8_t* data, std::size_t count) const;
    // What the image records of its own build, shown beside the stamp: as text ("MCUboot
    // image 1.2.3+4, its SHA-256 holds") and as members of a JSON object.
    std::string identity;
    std::string identity_json;
};

} // namespace hexstamp::image
