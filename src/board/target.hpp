#pragma once

#include <cstdio>
#include <string>

namespace hexstamp::image {

// Where a board's debug server is: a TCP host and port, or a serial port.
struct Target {
    std::string host;
    std::string port;
    std::string serial;
};

// Reads "HOST:PORT", "[IPv6]:PORT", ":PORT" (this machine) or a serial port (/dev/..., COM5).
// False, with the reason on `err`, for anything else or a port outside 1 to 65535.
bool parse_target(const char* text, Target& target, std::FILE* err);

} // namespace hexstamp::image
