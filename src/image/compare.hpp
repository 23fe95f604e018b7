#pragma once

#include "image/contents.hpp"

#include <cstdint>
#include <vector>

// Whether another image, or a board, holds exactly the bytes an image holds.
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

    // The comparison of `region`, so far equal.
    static Compared of(const Region& region);
    // The first difference, at `address`, where `found` stands (-1: no byte) and the image
    // holds `expected_there`.
    void differs(std::uint64_t address, int found_there, std::uint8_t expected_there);
};

// The bytes compared at a time: memory does not grow with the image.
constexpr std::size_t CompareBlock = 64 * 1024;

// Compares every region of `image` with the bytes `other` holds at the same addresses. False
// when a file that holds them cannot be read.
bool compare_images(const Contents& image, const Contents& other, std::vector<Compared>& result);

} // namespace hexstamp::image
