#include "capture.hpp"
#include "digest/crc32.hpp"
#include "digest/hash.hpp"
#include "hexstamp/stamp.h"
#include "stamp/date_time_stamp.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

extern "C" int hexstamp_decode_as_c(const volatile std::uint8_t* stamp, std::size_t length,
                                    hexstamp_time* time);

namespace hexstamp::testing {
namespace {

// The stamp as it leaves the tool: each byte in packed BCD.
std::vector<std::uint8_t> emitted(std::size_t length, const std::tm& time) {
    DateTimeStamp stamp = allocate_stamp(length);
    build_stamp(stamp, time);
    std::vector<std::uint8_t> bytes;
    for (std::size_t index = 0; index < stamp.length; ++index) {
        bytes.push_back(to_packed_bcd(stamp.bytes[index]));
    }
    return bytes;
}

TEST(Stamp, AlignsFieldsToTheEndInPackedBcd) {
    const std::tm march = broken_down(2024, 3, 9, 7, 5, 2);
    const struct {
        std::size_t length;
        std::tm time;
        std::vector<std::uint8_t> bytes;
    } rows[] = {
        {7, march, {0x01, 0x24, 0x03, 0x09, 0x07, 0x05, 0x02}},
        {10, march, {0, 0, 0, 0x01, 0x24, 0x03, 0x09, 0x07, 0x05, 0x02}},
        {3, march, {0x07, 0x05, 0x02}},
        {1, march, {0x02}},
        {16,
         broken_down(2099, 12, 31, 23, 59, 59),
         {0, 0, 0, 0, 0, 0, 0, 0, 0, 0x01, 0x99, 0x12, 0x31, 0x23, 0x59, 0x59}},
        {7, broken_down(1999, 12, 31, 23, 59, 60), {0x00, 0x99, 0x12, 0x31, 0x23, 0x59, 0x60}},
        {7, broken_down(2000, 1, 1, 0, 0, 0), {0x01, 0x00, 0x01, 0x01, 0x00, 0x00, 0x00}},
        // Years the layout was not made for still give defined bytes: low 8 bits, then BCD.
        {2, broken_down(2150, 1, 1, 0, 0, 0), {0x00, 0x00}},
        {7, broken_down(2150, 6, 1, 0, 0, 0), {0x02, 0x50, 0x06, 0x01, 0, 0, 0}},
        {7, broken_down(1850, 6, 1, 0, 0, 0), {0x00, 0x46, 0x06, 0x01, 0, 0, 0}},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(emitted(row.length, row.time), row.bytes) << "length " << row.length;
    }
}

// Every record line's bytes, checksum included, must add up to 0 modulo 256.
unsigned line_sum(const std::string& line) {
    unsigned sum = 0;
    for (std::size_t at = 1; at + 1 < line.size(); at += 2) {
        sum += static_cast<unsigned>(std::stoul(line.substr(at, 2), nullptr, 16));
    }
    return sum % 256;
}

std::string hexadecimal(std::uint32_t value) {
    std::ostringstream text;
    text << "0x" << std::hex << value;
    return text.str();
}

TEST(Records, EveryLengthAtEveryStartAndTimeHasAValidChecksum) {
    const std::time_t times[] = {0, At19991231_235959, At20240309_070502, At20991231_235959};
    const std::uint32_t starts[] = {0, 0x1FF0, 0xFFF0, 0x0800FFF0, 0xFFFFFFE0};
    for (const std::time_t now : times) {
        for (const std::uint32_t start : starts) {
            for (std::uint32_t length = 1; length <= MaxStampLength; ++length) {
                const std::string first = hexadecimal(start);
                const std::string last = hexadecimal(start + length - 1);
                std::istringstream lines(run_with({first.c_str(), last.c_str()}, now).out);
                int count = 0;
                for (std::string line; std::getline(lines, line); ++count) {
                    EXPECT_EQ(line_sum(line), 0u) << line;
                }
                EXPECT_EQ(count, start > 0xFFFF ? 3 : 2);
            }
        }
    }
}

std::string text(const hexstamp_time& time) {
    return std::to_string(time.year) + "-" + std::to_string(time.month) + "-" +
           std::to_string(time.day) + " " + std::to_string(time.hour) + ":" +
           std::to_string(time.minute) + ":" + std::to_string(time.second);
}

// The firmware's decoder, compiled as C++ here and as C beside this file.
TEST(Decode, ReadsWhatTheToolWritesAndRefusesEverythingElse) {
    const std::vector<std::uint8_t> march = {0x01, 0x24, 0x03, 0x09, 0x07, 0x05, 0x02};
    const hexstamp_time decoded_march{2024, 3, 9, 7, 5, 2};
    const struct {
        std::vector<std::uint8_t> bytes;
        int valid;
        hexstamp_time time;
    } rows[] = {
        {march, 1, decoded_march},
        {{0, 0, 0, 0x01, 0x24, 0x03, 0x09, 0x07, 0x05, 0x02}, 1, decoded_march},
        {{0x24, 0x03, 0x09, 0x07, 0x05, 0x02}, 1, {-1, 3, 9, 7, 5, 2}},
        {{0x07, 0x05, 0x02}, 1, {-1, -1, -1, 7, 5, 2}},
        {{0x02}, 1, {-1, -1, -1, -1, -1, 2}},
        {{0, 0, 0, 0, 0, 0, 0, 0, 0, 0x01, 0x99, 0x12, 0x31, 0x23, 0x59, 0x59},
         1,
         {2099, 12, 31, 23, 59, 59}},
        {{0x00, 0x99, 0x12, 0x31, 0x23, 0x59, 0x60}, 1, {1999, 12, 31, 23, 59, 60}},
        {{0x80, 0x99, 0x12, 0x31, 0x23, 0x59, 0x59}, 1, {9999, 12, 31, 23, 59, 59}},
        {{0, 0, 0}, 1, {-1, -1, -1, 0, 0, 0}},    // unstamped, but midnight is a time
        {std::vector<std::uint8_t>(4, 0), 0, {}}, // unstamped: no day 0
        {std::vector<std::uint8_t>(7, 0), 0, {}},
        {std::vector<std::uint8_t>(7, 0xFF), 0, {}}, // erased flash
        {std::vector<std::uint8_t>(1, 0xFF), 0, {}},
        {{0x01, 0x24, 0x03, 0x09, 0x07, 0x05, 0x1A}, 0, {}},       // not BCD
        {{0x01, 0x24, 0x13, 0x09, 0x07, 0x05, 0x02}, 0, {}},       // month 13
        {{0x01, 0x24, 0x03, 0x32, 0x07, 0x05, 0x02}, 0, {}},       // day 32
        {{0x01, 0x24, 0x03, 0x09, 0x24, 0x05, 0x02}, 0, {}},       // hour 24
        {{0x01, 0x24, 0x03, 0x09, 0x07, 0x60, 0x02}, 0, {}},       // minute 60
        {{0x01, 0x24, 0x03, 0x09, 0x07, 0x05, 0x61}, 0, {}},       // second 61
        {{0x01, 0x01, 0x24, 0x03, 0x09, 0x07, 0x05, 0x02}, 0, {}}, // padding not zero
        {{}, 0, {}},
        {std::vector<std::uint8_t>(17, 0), 0, {}},
    };
    for (const auto& row : rows) {
        for (const auto decode : {hexstamp_decode, hexstamp_decode_as_c}) {
            hexstamp_time time{};
            const std::uint8_t* bytes = row.bytes.empty() ? march.data() : row.bytes.data();
            EXPECT_EQ(decode(bytes, row.bytes.size(), &time), row.valid) << row.bytes.size();
            if (row.valid) {
                EXPECT_EQ(text(time), text(row.time));
            }
        }
    }
}

// What the tool writes for any instant and length, the decoder reads back.
TEST(Decode, ReadsBackEveryStampTheToolWrites) {
    const std::time_t times[] = {0, At19991231_235959, At20240309_070502, At20991231_235959};
    for (const std::time_t now : times) {
        const std::tm utc = *std::gmtime(&now);
        for (std::size_t length = 1; length <= MaxStampLength; ++length) {
            const std::vector<std::uint8_t> bytes = emitted(length, utc);
            hexstamp_time time{};
            ASSERT_EQ(hexstamp_decode(bytes.data(), length, &time), 1) << now << " " << length;
            const int fields[] = {time.second, time.minute, time.hour, time.day, time.month};
            const int expected[] = {utc.tm_sec, utc.tm_min, utc.tm_hour, utc.tm_mday,
                                    utc.tm_mon + 1};
            for (std::size_t field = 0; field < 5; ++field) {
                EXPECT_EQ(fields[field], field < length ? expected[field] : -1);
            }
            EXPECT_EQ(time.year, length >= 7 ? utc.tm_year + 1900 : -1);
        }
    }
}

} // namespace
} // namespace hexstamp::testing

// Digests as lower-case hexadecimal, as the published test vectors give them.
template <typename Bytes> std::string hex_of(const Bytes& bytes) {
    std::string text;
    for (const auto byte : bytes) {
        char pair[3];
        std::snprintf(pair, sizeof pair, "%02x", unsigned{byte});
        text += pair;
    }
    return text;
}

std::string digest_of(const std::string& kind, const std::string& input, std::size_t split) {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(input.data());
    const std::size_t rest = input.size() - split;
    if (kind == "sha384" || kind == "sha512") {
        hexstamp::digest::Sha512 sha(kind == "sha384" ? hexstamp::digest::Sha512::Variant::Sha384
                                                      : hexstamp::digest::Sha512::Variant::Sha512);
        sha.add(bytes, split);
        sha.add(bytes + split, rest);
        const auto digest = sha.finish();
        return hex_of(std::vector<std::uint8_t>(digest.begin(),
                                                digest.begin() + static_cast<long>(sha.size())));
    }
    if (kind == "md5" || kind == "sha256") { // piece by piece, as images give their bytes
        hexstamp::digest::Md5 md5;
        hexstamp::digest::Sha256 sha256;
        md5.add(bytes, split);
        md5.add(bytes + split, rest);
        sha256.add(bytes, split);
        sha256.add(bytes + split, rest);
        return kind == "md5" ? hex_of(md5.finish()) : hex_of(sha256.finish());
    }
    const std::uint32_t crc =
        kind == "mpeg2" ? hexstamp::digest::crc32_mpeg2(bytes + split, rest,
                                                        hexstamp::digest::crc32_mpeg2(bytes, split))
                        : hexstamp::digest::crc32_reflected(
                              bytes + split, rest, hexstamp::digest::crc32_reflected(bytes, split));
    char text[9];
    std::snprintf(text, sizeof text, "%08x", unsigned{crc});
    return text;
}

TEST(Digest, GivesThePublishedCheckValues) {
    const std::string fox = "The quick brown fox jumps over the lazy dog";
    const std::string two_blocks = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
    const std::string long_two_blocks = "abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhi"
                                        "jklmnoijklmnopjklmnopqklmnopqrlmnopq"
                                        "rsmnopqrstnopqrstu";
    const struct {
        const char* kind;
        std::string input;
        const char* expected;
    } rows[] = {
        {"mpeg2", "123456789", "0376e6e7"},
        {"mpeg2", "", "ffffffff"},
        {"reflected", "123456789", "340bc6d9"}, // zlib's 0xCBF43926, not inverted
        {"md5", "", "d41d8cd98f00b204e9800998ecf8427e"},
        {"md5", "abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"md5", fox, "9e107d9d372bb6826bd81d3542a419d6"},
        {"sha256", "", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"sha256", "abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"sha256", two_blocks, "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {"sha256", std::string(1000, 'a'),
         "41edece42d63e8d9bf515a9ba6932e1c20cbc9f5a5d134645adb5db1b9737ea3"},
        {"sha384", "",
         "38b060a751ac96384cd9327eb1b1e36a21fdb71114be07434c0cc7bf63f6e1da274edebfe76f65fbd51ad2f14"
         "898b95b"},
        {"sha384", "abc",
         "cb00753f45a35e8bb5a03d699ac65007272c32ab0eded1631a8b605a43ff5bed8086072ba1e7cc2358baeca13"
         "4c825a7"},
        {"sha384", long_two_blocks,
         "09330c33f71147e83d192fc782cd1b4753111b173b3b05d22fa08086e3b0f712fcc7c71a557e2db966c3e9fa9"
         "1746039"},
        {"sha512", "",
         "cf83e1357eefb8bdf1542850d66d8007d620e4050b5715dc83f4a921d36ce9ce47d0d13c5d85f2b0ff8318d28"
         "77eec2f63b931bd47417a81a538327af927da3e"},
        {"sha512", "abc",
         "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a2192992a274fc1a836ba3c23a"
         "3feebbd454d4423643ce80e2a9ac94fa54ca49f"},
        {"sha512", long_two_blocks,
         "8e959b75dae313da8cf4f72814fc143f8f7779c6eb9f7fa17299aeadb6889018501d289e4900f7e4331b99dec"
         "4b5433ac7d329eeb6dd26545e96e55b874be909"},
    };
    for (const auto& row : rows) {
        for (const std::size_t split : {std::size_t{0}, row.input.size() / 3}) {
            EXPECT_EQ(digest_of(row.kind, row.input, split), row.expected)
                << row.kind << " of " << row.input.substr(0, 20) << ", split at " << split;
        }
    }
}
