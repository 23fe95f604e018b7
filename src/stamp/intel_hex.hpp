#pragma once

#include "stamp/date_time_stamp.hpp"

#include <cstdint>
#include <cstdio>

namespace hexstamp {

// Writes the stamp as one Intel HEX data record at `start_address`, followed by the
// end-of-file record. A start above 0xFFFF is preceded by an Extended Linear Address
// record so that readers place the data at the full 32-bit address.
void write_records(std::FILE* out, std::uint32_t start_address, const DateTimeStamp& stamp);

} // namespace hexstamp
