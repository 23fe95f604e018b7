#pragma once

#include "image/contents.hpp"

#include <cstdint>
#include <cstdio>
#include <vector>

// Whether a board, or another image, holds exactly the bytes an image holds.
namespace hexstamp::image {

// One region of the image, compared.
struct Compared {
    std::uint64_t first = 0;
    std::uint64_t last = 0;
    bool by_crc = false; // settled by the server's CRC rather than by reading every byte
    bool equal = true;
    std::uint64_t difference = 0; // the first address that differs
    int found = -1;               // the byte there, -1 for none
    std::uint8_t expected = 0;    // the image's byte there
    bool may_be_ram = false;
};

// Compares every region of `image` with the bytes `other` holds at the same addresses.
std::vector<Compared> compare_images(const Contents& image, const Contents& other);

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

// What verify prints of `name` (a board, when `board`, or another image) against the image:
// one line on `out` when every region is equal, with the image's stamp when it has one
// (`stamp` not null); otherwise a line on `err` for each region that differs. With `json`,
// one object on `out`. Returns ImageSuccess or NoStamp.
int print_verdict(const char* name, bool board, const char* image_name, const Contents& image,
                  const std::vector<Compared>& result, const char* stamp, bool json, std::FILE* out,
                  std::FILE* err);

} // namespace hexstamp::image
