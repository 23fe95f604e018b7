#pragma once

#include "image/compare.hpp"
#include "image/contents.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

namespace hexstamp::image {

// A board's memory, as its debug server gives it.
class BoardMemory {
  public:
    virtual ~BoardMemory() = default;
    virtual bool read(std::uint64_t address, std::size_t length, std::uint8_t* bytes) = 0;
    // False when the connection failed; `has_crc` false when the server computes none.
    virtual bool crc(std::uint64_t address, std::uint64_t length, bool& has_crc,
                     std::uint32_t& crc) = 0;
};

// Compares every region of `image` with the board: read in blocks and compared as they
// arrive, or, with `use_crc`, by the server's CRC of each bounded block, read only where the
// CRCs differ. A CRC that differs where the bytes read are equal is the server's mistake,
// noted on `err` (with `name`), and reading takes over. False when the board cannot be read.
bool compare_board(const Contents& image, BoardMemory& board, bool use_crc, const char* name,
                   std::vector<Compared>& result, std::FILE* err);

} // namespace hexstamp::image
