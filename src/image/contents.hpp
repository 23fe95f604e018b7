#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// Every byte an image holds, as regions of consecutive addresses: what a programmer writes
// to the board, and what a board or another image is compared with.
namespace hexstamp::image {

struct Region {
    std::uint64_t first = 0;
    std::vector<std::uint8_t> bytes;
    // A writable ELF segment loaded where it runs: a program linked to run from RAM may have
    // changed it since.
    bool may_be_ram = false;
    std::uint64_t end() const { return first + bytes.size(); }
};

class Contents {
  public:
    // Bytes in the order the image gives them; those that continue the last region join it.
    void add(std::uint64_t address, const std::uint8_t* bytes, std::size_t count,
             bool may_be_ram = false);
    // Sorts the regions by address and joins those that touch; a byte given twice keeps the
    // later value.
    void finish();
    const std::vector<Region>& regions() const { return regions_; }
    std::uint64_t byte_count() const;
    // The region that holds `address`, or null; after finish().
    const Region* find(std::uint64_t address) const;

  private:
    std::vector<Region> regions_;
};

} // namespace hexstamp::image
