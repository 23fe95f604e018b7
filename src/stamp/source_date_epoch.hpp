#pragma once

#include <cstdint>
#include <ctime>
#include <optional>

namespace hexstamp {

// The latest instant a stamp can hold: 9999-12-31 23:59:59 UTC.
inline constexpr std::uint64_t MaxSourceDateEpoch = 253'402'300'799u;

// Reads SOURCE_DATE_EPOCH as reproducible builds define it: decimal digits only, leading
// zeros allowed, no sign and no blanks, from 0 to MaxSourceDateEpoch. No value otherwise.
std::optional<std::uint64_t> parse_source_date_epoch(const char* text);

// The broken-down UTC time of seconds since the epoch, up to MaxSourceDateEpoch. Computed
// on whole days rather than by gmtime, whose range differs between C runtimes.
std::tm utc_time(std::uint64_t seconds);

} // namespace hexstamp
