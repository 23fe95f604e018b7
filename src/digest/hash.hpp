#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

// The hashes images carry: MD5 (UF2 blocks), SHA-256 (ESP-IDF app images, MCUboot), SHA-384
// and SHA-512 (MCUboot). Each takes its bytes piece by piece.
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

// SHA-512, and SHA-384: the same rounds from other initial values, the digest cut to 48 bytes.
class Sha512 {
  public:
    enum class Variant { Sha384, Sha512 };
    explicit Sha512(Variant variant = Variant::Sha512);
    void add(const std::uint8_t* bytes, std::size_t count);
    // 48 or 64 bytes, as the variant gives.
    std::array<std::uint8_t, 64> finish();
    std::size_t size() const { return size_; }

  private:
    void block(const std::uint8_t* bytes);
    std::uint64_t state_[8];
    std::uint8_t pending_[128] = {};
    std::uint64_t length_ = 0;
    std::size_t size_;
};

} // namespace hexstamp::digest
