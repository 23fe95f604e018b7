#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <memory>

namespace hexstamp {

// The largest address range, in bytes, that one stamp may cover.
inline constexpr std::size_t MaxStampLength = 16;

// The date and time of a run laid out at the end of an address range:
// byte 0 belongs at the range's first address, byte length - 1 at its last.
struct DateTimeStamp {
    struct Free {
        void operator()(std::uint8_t* memory) const { std::free(memory); }
    };
    std::unique_ptr<std::uint8_t[], Free> bytes;
    std::size_t length = 0;
};

// Zero-filled stamp of the given length; `bytes` is null when memory is short.
DateTimeStamp allocate_stamp(std::size_t length);

// Stores century count, year, month, day, hour, minute and second as plain
// binary values, aligned to the end of the stamp; fields that do not fit are left out.
void build_stamp(DateTimeStamp& stamp, const std::tm& local_time);

// Two decimal digits in one byte, so that 59 prints as hexadecimal "59".
std::uint8_t to_packed_bcd(std::uint8_t value);

} // namespace hexstamp
