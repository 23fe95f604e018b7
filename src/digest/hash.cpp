#include "digest/hash.hpp"

#include <cstring>

namespace hexstamp::digest {

namespace {

std::uint32_t rotate_left(std::uint32_t value, unsigned count) {
    return value << count | value >> (32u - count);
}

std::uint32_t rotate_right(std::uint32_t value, unsigned count) {
    return value >> count | value << (32u - count);
}

// Both hashes take 64-byte blocks and end with a 1 bit, zeros and the length in bits.
template <typename Hash>
void add_bytes(Hash hash, std::uint8_t* pending, std::uint64_t& length, const std::uint8_t* bytes,
               std::size_t count) {
    while (count > 0) {
        const std::size_t at = static_cast<std::size_t>(length % 64);
        const std::size_t taken = count < 64 - at ? count : 64 - at;
        std::memcpy(pending + at, bytes, taken);
        length += taken;
        bytes += taken;
        count -= taken;
        if (length % 64 == 0) {
            hash(pending);
        }
    }
}

void length_bytes(std::uint64_t bits, bool big_endian, std::uint8_t (&out)[8]) {
    for (unsigned index = 0; index < 8; ++index) {
        out[big_endian ? 7 - index : index] = static_cast<std::uint8_t>(bits >> (8u * index));
    }
}

constexpr std::uint32_t Md5Sines[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};
constexpr unsigned Md5Shifts[16] = {7, 12, 17, 22, 5, 9, 14, 20, 4, 11, 16, 23, 6, 10, 15, 21};

constexpr std::uint32_t Sha256Roots[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

} // namespace

Md5::Md5() : state_{0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476} {}

void Md5::block(const std::uint8_t* bytes) {
    std::uint32_t words[16];
    for (unsigned index = 0; index < 16; ++index) {
        words[index] = static_cast<std::uint32_t>(bytes[4 * index]) |
                       static_cast<std::uint32_t>(bytes[4 * index + 1]) << 8u |
                       static_cast<std::uint32_t>(bytes[4 * index + 2]) << 16u |
                       static_cast<std::uint32_t>(bytes[4 * index + 3]) << 24u;
    }
    std::uint32_t a = state_[0], b = state_[1], c = state_[2], d = state_[3];
    for (unsigned round = 0; round < 64; ++round) {
        std::uint32_t mixed = 0;
        unsigned word = 0;
        if (round < 16) {
            mixed = (b & c) | (~b & d);
            word = round;
        } else if (round < 32) {
            mixed = (d & b) | (~d & c);
            word = (5 * round + 1) % 16;
        } else if (round < 48) {
            mixed = b ^ c ^ d;
            word = (3 * round + 5) % 16;
        } else {
            mixed = c ^ (b | ~d);
            word = (7 * round) % 16;
        }
        const std::uint32_t next = d;
        d = c;
        c = b;
        b += rotate_left(a + mixed + Md5Sines[round] + words[word],
                         Md5Shifts[round / 16 * 4 + round % 4]);
        a = next;
    }
    state_[0] += a;
    state_[1] += b;
    state_[2] += c;
    state_[3] += d;
}

void Md5::add(const std::uint8_t* bytes, std::size_t count) {
    add_bytes([this](const std::uint8_t* full) { block(full); }, pending_, length_, bytes, count);
}

std::array<std::uint8_t, 16> Md5::finish() {
    std::uint8_t length[8];
    length_bytes(length_ * 8, false, length);
    const std::uint8_t one = 0x80, zero = 0;
    add(&one, 1);
    while (length_ % 64 != 56) {
        add(&zero, 1);
    }
    add(length, sizeof length);
    std::array<std::uint8_t, 16> digest{};
    for (unsigned index = 0; index < 16; ++index) {
        digest[index] = static_cast<std::uint8_t>(state_[index / 4] >> (8u * (index % 4)));
    }
    return digest;
}

Sha256::Sha256()
    : state_{0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
             0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19} {}

void Sha256::block(const std::uint8_t* bytes) {
    std::uint32_t words[64];
    for (unsigned index = 0; index < 16; ++index) {
        words[index] = static_cast<std::uint32_t>(bytes[4 * index]) << 24u |
                       static_cast<std::uint32_t>(bytes[4 * index + 1]) << 16u |
                       static_cast<std::uint32_t>(bytes[4 * index + 2]) << 8u |
                       static_cast<std::uint32_t>(bytes[4 * index + 3]);
    }
    for (unsigned index = 16; index < 64; ++index) {
        const std::uint32_t low = words[index - 15], high = words[index - 2];
        words[index] =
            words[index - 16] + (rotate_right(low, 7) ^ rotate_right(low, 18) ^ low >> 3u) +
            words[index - 7] + (rotate_right(high, 17) ^ rotate_right(high, 19) ^ high >> 10u);
    }
    std::uint32_t v[8];
    std::memcpy(v, state_, sizeof v);
    for (unsigned round = 0; round < 64; ++round) {
        const std::uint32_t first =
            v[7] + (rotate_right(v[4], 6) ^ rotate_right(v[4], 11) ^ rotate_right(v[4], 25)) +
            ((v[4] & v[5]) ^ (~v[4] & v[6])) + Sha256Roots[round] + words[round];
        const std::uint32_t second =
            (rotate_right(v[0], 2) ^ rotate_right(v[0], 13) ^ rotate_right(v[0], 22)) +
            ((v[0] & v[1]) ^ (v[0] & v[2]) ^ (v[1] & v[2]));
        std::memmove(v + 1, v, 7 * sizeof v[0]);
        v[4] += first;
        v[0] = first + second;
    }
    for (unsigned index = 0; index < 8; ++index) {
        state_[index] += v[index];
    }
}

void Sha256::add(const std::uint8_t* bytes, std::size_t count) {
    add_bytes([this](const std::uint8_t* full) { block(full); }, pending_, length_, bytes, count);
}

std::array<std::uint8_t, 32> Sha256::finish() {
    std::uint8_t length[8];
    length_bytes(length_ * 8, true, length);
    const std::uint8_t one = 0x80, zero = 0;
    add(&one, 1);
    while (length_ % 64 != 56) {
        add(&zero, 1);
    }
    add(length, sizeof length);
    std::array<std::uint8_t, 32> digest{};
    for (unsigned index = 0; index < 32; ++index) {
        digest[index] = static_cast<std::uint8_t>(state_[index / 4] >> (8u * (3 - index % 4)));
    }
    return digest;
}

} // namespace hexstamp::digest
