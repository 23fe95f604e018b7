#pragma once

#include <cstdio>
#include <ctime>
#include <optional>

namespace hexstamp {

// Seconds since the epoch, or nothing when the clock cannot be read.
using Clock = std::optional<std::time_t> (*)();

// The system clock, as the process reads it.
std::optional<std::time_t> system_clock();

// The whole run: checks the arguments, writes the stamp records to `out`, reports
// any failure and the closing status line on `err`, and returns the exit status.
int run(int argc, const char* const* argv, std::FILE* out, std::FILE* err, Clock clock);

} // namespace hexstamp
