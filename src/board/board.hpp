#pragma once

#include "board/target.hpp"
#include "image/compare.hpp"
#include "image/contents.hpp"
#include "image/patch.hpp"

#include <cstdio>
#include <vector>

// A running board, read through its debug probe's GDB server and left running.
namespace hexstamp::image {

// Reads the range's bytes from the board into the patch, and leaves the board running.
// False, with the reason on `err`, when the server cannot be reached or answers wrongly.
bool read_board(const char* name, const Target& target, Patch& patch, std::FILE* err);

// Compares every region of the image with the board (by the server's CRCs with `use_crc`),
// and leaves the board running. False, with the reason on `err`, as read_board.
bool verify_board(const char* name, const Target& target, const Contents& image, bool use_crc,
                  std::vector<Compared>& result, std::FILE* err);

} // namespace hexstamp::image
