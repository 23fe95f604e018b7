#pragma once

#include "board/target.hpp"
#include "image/compare.hpp"
#include "image/contents.hpp"
#include "image/patch.hpp"

#include <cstdint>
#include <cstdio>
#include <vector>

// A running board, read through its debug probe's GDB server and left running.
namespace hexstamp::image {

// Where the board is, and how a run with it goes.
struct Board {
    const char* name; // as the user gave it, for messages
    Target target;
    // The bound on the connection and the reads together, in seconds; 0 for the default.
    unsigned timeout = 0;
    // Whether a long read may show its progress on a terminal.
    bool progress = true;
};

// The default bound for reading `bytes`: a minute, and a second for every 4 KiB. The slowest
// probe over SWD reads 50 KB/s, ten times that rate: it never reaches the bound, while a server
// that answers a byte at a time does within about a minute.
unsigned default_timeout(std::uint64_t bytes);

// Reads the range's bytes from the board into the patch, and leaves the board running.
// False, with the reason on `err`, when the server cannot be reached or answers wrongly.
bool read_board(const Board& board, Patch& patch, std::FILE* err);

// Compares every region of the image with the board (by the server's CRCs with `use_crc`),
// and leaves the board running. False, with the reason on `err`, as read_board.
bool verify_board(const Board& board, const Contents& image, bool use_crc,
                  std::vector<Compared>& result, std::FILE* err);

} // namespace hexstamp::image
