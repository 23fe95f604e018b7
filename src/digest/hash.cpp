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

// The first 64 bits of the fractional parts of the cube roots of the first 80 primes.
constexpr std::uint64_t Sha512Roots[80] = {
    0x428a2f98d728ae22, 0x7137449123ef65cd, 0xb5c0fbcfec4d3b2f, 0xe9b5dba58189dbbc,
    0x3956c25bf348b538, 0x59f111f1b605d019, 0x923f82a4af194f9b, 0xab1c5ed5da6d8118,
    0xd807aa98a3030242, 0x12835b0145706fbe, 0x243185be4ee4b28c, 0x550c7dc3d5ffb4e2,
    0x72be5d74f27b896f, 0x80deb1fe3b1696b1, 0x9bdc06a725c71235, 0xc19bf174cf692694,
    0xe49b69c19ef14ad2, 0xefbe4786384f25e3, 0x0fc19dc68b8cd5b5, 0x240ca1cc77ac9c65,
    0x2de92c6f592b0275, 0x4a7484aa6ea6e483, 0x5cb0a9dcbd41fbd4, 0x76f988da831153b5,
    0x983e5152ee66dfab, 0xa831c66d2db43210, 0xb00327c898fb213f, 0xbf597fc7beef0ee4,
    0xc6e00bf33da88fc2, 0xd5a79147930aa725, 0x06ca6351e003826f, 0x142929670a0e6e70,
    0x27b70a8546d22ffc, 0x2e1b21385c26c926, 0x4d2c6dfc5ac42aed, 0x53380d139d95b3df,
    0x650a73548baf63de, 0x766a0abb3c77b2a8, 0x81c2c92e47edaee6, 0x92722c851482353b,
    0xa2bfe8a14cf10364, 0xa81a664bbc423001, 0xc24b8b70d0f89791, 0xc76c51a30654be30,
    0xd192e819d6ef5218, 0xd69906245565a910, 0xf40e35855771202a, 0x106aa07032bbd1b8,
    0x19a4c116b8d2d0c8, 0x1e376c085141ab53, 0x2748774cdf8eeb99, 0x34b0bcb5e19b48a8,
    0x391c0cb3c5c95a63, 0x4ed8aa4ae3418acb, 0x5b9cca4f7763e373, 0x682e6ff3d6b2b8a3,
    0x748f82ee5defb2fc, 0x78a5636f43172f60, 0x84c87814a1f0ab72, 0x8cc702081a6439ec,
    0x90befffa23631e28, 0xa4506cebde82bde9, 0xbef9a3f7b2c67915, 0xc67178f2e372532b,
    0xca273eceea26619c, 0xd186b8c721c0c207, 0xeada7dd6cde0eb1e, 0xf57d4f7fee6ed178,
    0x06f067aa72176fba, 0x0a637dc5a2c898a6, 0x113f9804bef90dae, 0x1b710b35131c471b,
    0x28db77f523047d84, 0x32caab7b40c72493, 0x3c9ebe0a15c9bebc, 0x431d67c49c100d4c,
    0x4cc5d4becb3e42b6, 0x597f299cfc657e2a, 0x5fcb6fab3ad6faec, 0x6c44198c4a475817};

constexpr std::uint64_t Sha512Start[8] = {
    0x6a09e667f3bcc908, 0xbb67ae8584caa73b, 0x3c6ef372fe94f82b, 0xa54ff53a5f1d36f1,
    0x510e527fade682d1, 0x9b05688c2b3e6c1f, 0x1f83d9abfb41bd6b, 0x5be0cd19137e2179};
constexpr std::uint64_t Sha384Start[8] = {
    0xcbbb9d5dc1059ed8, 0x629a292a367cd507, 0x9159015a3070dd17, 0x152fecd8f70e5939,
    0x67332667ffc00b31, 0x8eb44a8768581511, 0xdb0c2e0d64f98fa7, 0x47b5481dbefa4fa4};

std::uint64_t rotate_right64(std::uint64_t value, unsigned count) {
    return value >> count | value << (64u - count);
}

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

Sha512::Sha512(Variant variant) : size_(variant == Variant::Sha384 ? 48 : 64) {
    std::memcpy(state_, variant == Variant::Sha384 ? Sha384Start : Sha512Start, sizeof state_);
}

void Sha512::block(const std::uint8_t* bytes) {
    std::uint64_t words[80];
    for (unsigned index = 0; index < 16; ++index) {
        words[index] = 0;
        for (unsigned byte = 0; byte < 8; ++byte) {
            words[index] = words[index] << 8u | bytes[8 * index + byte];
        }
    }
    for (unsigned index = 16; index < 80; ++index) {
        const std::uint64_t low = words[index - 15], high = words[index - 2];
        words[index] =
            words[index - 16] + (rotate_right64(low, 1) ^ rotate_right64(low, 8) ^ low >> 7u) +
            words[index - 7] + (rotate_right64(high, 19) ^ rotate_right64(high, 61) ^ high >> 6u);
    }
    std::uint64_t v[8];
    std::memcpy(v, state_, sizeof v);
    for (unsigned round = 0; round < 80; ++round) {
        const std::uint64_t first =
            v[7] +
            (rotate_right64(v[4], 14) ^ rotate_right64(v[4], 18) ^ rotate_right64(v[4], 41)) +
            ((v[4] & v[5]) ^ (~v[4] & v[6])) + Sha512Roots[round] + words[round];
        const std::uint64_t second =
            (rotate_right64(v[0], 28) ^ rotate_right64(v[0], 34) ^ rotate_right64(v[0], 39)) +
            ((v[0] & v[1]) ^ (v[0] & v[2]) ^ (v[1] & v[2]));
        std::memmove(v + 1, v, 7 * sizeof v[0]);
        v[4] += first;
        v[0] = first + second;
    }
    for (unsigned index = 0; index < 8; ++index) {
        state_[index] += v[index];
    }
}

void Sha512::add(const std::uint8_t* bytes, std::size_t count) {
    while (count > 0) {
        const auto at = static_cast<std::size_t>(length_ % 128);
        const std::size_t taken = count < 128 - at ? count : 128 - at;
        std::memcpy(pending_ + at, bytes, taken);
        length_ += taken;
        bytes += taken;
        count -= taken;
        if (length_ % 128 == 0) {
            block(pending_);
        }
    }
}

// The length in bits takes 128 bits at the end; images are far shorter than 2^61 bytes.
std::array<std::uint8_t, 64> Sha512::finish() {
    std::uint8_t length[16] = {};
    const std::uint64_t bits = length_ * 8;
    for (unsigned index = 0; index < 8; ++index) {
        length[15 - index] = static_cast<std::uint8_t>(bits >> (8u * index));
    }
    const std::uint8_t one = 0x80, zero = 0;
    add(&one, 1);
    while (length_ % 128 != 112) {
        add(&zero, 1);
    }
    add(length, sizeof length);
    std::array<std::uint8_t, 64> digest{};
    for (unsigned index = 0; index < size_; ++index) {
        digest[index] = static_cast<std::uint8_t>(state_[index / 8] >> (8u * (7 - index % 8)));
    }
    return digest;
}

} // namespace hexstamp::digest
