#pragma once

#include "stamp/moment.hpp"

#include <cstdio>

namespace hexstamp {

// The whole run: checks the arguments, writes the stamp records to `out`, reports
// any failure and the closing status line on `err`, and returns the exit status.
int run(int argc, const char* const* argv, std::FILE* out, std::FILE* err, TimeSource time_source);

} // namespace hexstamp
