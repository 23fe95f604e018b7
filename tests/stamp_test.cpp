#include "capture.hpp"
#include "stamp/date_time_stamp.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

namespace hexstamp::testing {
namespace {

std::tm broken_down(int year, int month, int day, int hour, int minute, int second) {
    std::tm time{};
    time.tm_year = year - 1900;
    time.tm_mon = month - 1;
    time.tm_mday = day;
    time.tm_hour = hour;
    time.tm_min = minute;
    time.tm_sec = second;
    return time;
}

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

} // namespace
} // namespace hexstamp::testing
