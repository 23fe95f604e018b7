#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

// Every byte an image holds, as regions of consecutive addresses: what a programmer writes
// to the board, and what a board or another image is compared with.
namespace hexstamp::image {

// Consecutive bytes of a region: in memory or, for an ELF or a raw binary, where the open file
// holds them, read when compared, so that memory does not grow with the image.
struct Piece {
    std::uint64_t first = 0;
    std::uint64_t size = 0;
    std::vector<std::uint8_t> bytes; // when no file holds them
    std::FILE* file = nullptr;
    std::uint64_t offset = 0;
    std::uint64_t end() const { return first + size; }
};

struct Region {
    std::uint64_t first = 0;
    std::uint64_t size = 0;
    std::vector<Piece> pieces; // in address order, each continuing the one before
    // A writable ELF segment loaded where it runs: a program linked to run from RAM may have
    // changed it since.
    bool may_be_ram = false;
    std::uint64_t end() const { return first + size; }
    // Reads `count` bytes at `address`, which lie in the region; false when a file fails.
    bool read(std::uint64_t address, std::size_t count, std::uint8_t* into) const;
    // The bytes from `from` up to `to`, a region of their own.
    Region slice(std::uint64_t from, std::uint64_t to) const;
};

class Contents {
  public:
    // Bytes in the order the image gives them; those that continue the last region join it.
    void add(std::uint64_t address, const std::uint8_t* bytes, std::size_t count,
             bool may_be_ram = false);
    // `size` bytes that `file` holds at `offset`, left there.
    void add_file(std::uint64_t address, std::FILE* file, std::uint64_t offset, std::uint64_t size,
                  bool may_be_ram = false);
    void add_region(const Region& region) { regions_.push_back(region); }
    // Sorts the regions by address and joins those that touch; a byte given twice keeps the
    // later value. False when a file cannot be read.
    bool finish();
    const std::vector<Region>& regions() const { return regions_; }
    std::uint64_t byte_count() const;
    // Leaves [first, last] out, splitting the regions it cuts; after finish(). Gives the
    // count of bytes left out.
    std::uint64_t exclude(std::uint64_t first, std::uint64_t last);
    // The region that holds `address`, or null; after finish().
    const Region* find(std::uint64_t address) const;

  private:
    std::vector<Region> regions_;
};

} // namespace hexstamp::image
