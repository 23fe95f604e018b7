#pragma once

#include <cstdint>
#include <cstdio>

namespace hexstamp {

// A checked address range: start <= end and 1 <= length <= MaxStampLength.
struct AddressRange {
    std::uint32_t start = 0;
    std::uint32_t end = 0;
    std::uint64_t length = 0; // 64 bits: 0 to 0xFFFFFFFF is 2^32 bytes, not 0
};

// Reads and checks the two address parameters in a fixed order, reporting the first
// failure on `err`. Returns the resulting ExitCode; `range` is valid when it is Success.
int check_arguments(int argc, const char* const* argv, std::FILE* err, AddressRange& range);

} // namespace hexstamp
