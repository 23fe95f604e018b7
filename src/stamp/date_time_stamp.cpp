#include "stamp/date_time_stamp.hpp"

namespace hexstamp {

namespace {

// Conversion to unsigned wraps modulo 2^n, so any broken-down time, negative or
// far-future years included, yields its low 8 bits without overflow.
unsigned as_unsigned(int value) {
    return static_cast<unsigned>(value);
}

} // namespace

DateTimeStamp allocate_stamp(std::size_t length) {
    DateTimeStamp stamp;
    // calloc rather than new: no exception and no C++ runtime to load at start-up.
    stamp.bytes.reset(static_cast<std::uint8_t*>(std::calloc(length, 1)));
    stamp.length = stamp.bytes ? length : 0;
    return stamp;
}

void build_stamp(DateTimeStamp& stamp, const std::tm& local_time) {
    // Seconds first: whatever the length, the seconds land on the range's last address.
    const unsigned fields[] = {
        as_unsigned(local_time.tm_sec),        as_unsigned(local_time.tm_min),
        as_unsigned(local_time.tm_hour),       as_unsigned(local_time.tm_mday),
        as_unsigned(local_time.tm_mon) + 1u,   as_unsigned(local_time.tm_year % 100),
        as_unsigned(local_time.tm_year / 100),
    };
    std::size_t index = stamp.length;
    for (const unsigned field : fields) {
        if (index == 0) {
            break;
        }
        --index;
        stamp.bytes[index] = static_cast<std::uint8_t>(field);
    }
}

std::uint8_t to_packed_bcd(std::uint8_t value) {
    const unsigned tens = value / 10u;
    const unsigned units = value % 10u;
    return static_cast<std::uint8_t>((tens << 4u) | units);
}

} // namespace hexstamp
