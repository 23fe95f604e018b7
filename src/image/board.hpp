#pragma once

#include "image/image_file.hpp"
#include "image/verify.hpp"

#include <cstdio>
#include <string>
#include <vector>

// The stamp a running board holds, read through its debug probe's GDB server.
namespace hexstamp::image {

// Where the server is: a TCP host and port, or a serial port.
struct Target {
    std::string host;
    std::string port;
    std::string serial;
};

// Reads "HOST:PORT", "[IPv6]:PORT", ":PORT" (this machine) or a serial port (/dev/..., COM5).
// False, with the reason on `err`, for anything else or a port outside 1 to 65535.
bool parse_target(const char* text, Target& target, std::FILE* err);

// Reads the range's bytes from the board into the patch, and leaves the board running.
// False, with the reason on `err`, when the server cannot be reached or answers wrongly.
bool read_board(const char* name, const Target& target, Patch& patch, std::FILE* err);

// Compares every region of the image with the board (by the server's CRCs with `use_crc`),
// and leaves the board running. False, with the reason on `err`, as read_board.
bool verify_board(const char* name, const Target& target, const Contents& image, bool use_crc,
                  std::vector<Compared>& result, std::FILE* err);

} // namespace hexstamp::image
