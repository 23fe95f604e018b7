#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

// The hashes images carry: MD5 (UF2 blocks) and SHA-256 (ESP-IDF app images). Each takes
// its bytes piece by piece.
namespace hexstamp::digest {

class Md5 {
  public:
    Md5();
    void add(const std::uint8_t* bytes, std::size_t count);
    std::array<std::uint8_t, 16> finish();

  private:
    void block(const std::uint8_t* bytes);
    std::uint32_t state_[4];
    std::uint8_t pending_[64] = {};
    std::uint64_t length_ = 0;
};

class Sha256 {
  public:
    Sha256();
    void add(const std::uint8_t* bytes, std::size_t count);
    std::array<std::uint8_t, 32> finish();

  private:
    void block(const std::uint8_t* bytes);
    std::uint32_t state_[8];
    std::uint8_t pending_[64] = {};
    std::uint64_t length_ = 0;
};

} // namespace hexstamp::digest
