#include "capture.hpp"
#include "stamp/parse_address.hpp"
#include "stamp/source_date_epoch.hpp"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace hexstamp::testing {
namespace {

const std::string EofRecord = ":00000001FF\n";

TEST(ParseAddress, ReadsEveryNotationAndRefusesWhatDoesNotFit) {
    const struct {
        const char* text;
        std::optional<std::uint32_t> value;
        // clang-format off
    } rows[] = {
        {"0x10", 0x10},          {"0X10", 0x10},             {"0xaBcD", 0xABCD},
        {"010", 10},             {" 0x10", 0},               {"16abc", 16},
        {"\t+12", 12},           {"-1", 0xFFFFFFFFu},        {"-2147483648", 0x80000000u},
        {"2147483647", INT_MAX}, {"0xFFFFFFFF", 0xFFFFFFFFu}, {"0x000000100", 0x100},
        {"0x0x5", 0},            {"0x100000000", {}},        {"2147483648", 0x80000000u},
        {"4294967295", 0xFFFFFFFFu}, {"4294967296", {}},     {"-2147483649", {}},
        {"99999999999999999999999", {}},
        {"0x", {}},              {"0Xg", {}},                {"abc", {}},
        {"", {}},                {"   ", {}},                 {"-", {}},
        {"+ 5", {}},
    };
    // clang-format on
    for (const auto& row : rows) {
        EXPECT_EQ(parse_address(row.text), row.value) << "text '" << row.text << "'";
    }
}

TEST(SourceDateEpoch, TakesOnlyPlainDigitsUpToTheLastSecondOf9999) {
    const struct {
        const char* text;
        std::optional<std::uint64_t> value;
        // clang-format off
    } rows[] = {
        {"0", 0},                 {"1709967902", 1709967902}, {"0001709967902", 1709967902},
        {"253402300799", 253402300799u}, {"000000000000000253402300799", 253402300799u},
        {"253402300800", {}},     {"999999999999999999999999999999", {}},
        {"18446744073709551616", {}}, // 2^64: wraps to 0 without saturation
        {"", {}},  {"-1", {}},  {"+5", {}},  {" 5", {}},  {"5 ", {}},  {"1.5", {}},
        {"0x10", {}}, {"abc", {}},
    };
    // clang-format on
    for (const auto& row : rows) {
        EXPECT_EQ(parse_source_date_epoch(row.text), row.value) << "text '" << row.text << "'";
    }
}

std::string text(const std::tm& time) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%d-%02d-%02d %02d:%02d:%02d", time.tm_year + 1900,
                  time.tm_mon + 1, time.tm_mday, time.tm_hour, time.tm_min, time.tm_sec);
    return buffer;
}

TEST(SourceDateEpoch, CountsDaysAcrossLeapYearsCenturiesAnd2038) {
    const struct {
        std::uint64_t seconds;
        std::tm utc;
    } rows[] = {
        {0, broken_down(1970, 1, 1, 0, 0, 0)},
        {68169600, broken_down(1972, 2, 29, 0, 0, 0)},
        {951825600, broken_down(2000, 2, 29, 12, 0, 0)},
        {1709967902, broken_down(2024, 3, 9, 7, 5, 2)},
        {2147483647, broken_down(2038, 1, 19, 3, 14, 7)},
        {2147483648, broken_down(2038, 1, 19, 3, 14, 8)},
        {4102444800, broken_down(2100, 1, 1, 0, 0, 0)},
        {4107542399, broken_down(2100, 2, 28, 23, 59, 59)}, // 2100 has no leap day
        {4107542400, broken_down(2100, 3, 1, 0, 0, 0)},
        {4294967296, broken_down(2106, 2, 7, 6, 28, 16)},
        {13574563200, broken_down(2400, 2, 29, 0, 0, 0)},
        {MaxSourceDateEpoch, broken_down(9999, 12, 31, 23, 59, 59)},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(text(utc_time(row.seconds)), text(row.utc)) << row.seconds;
    }
    // Every few days up to the year 3000 (the end of Windows' gmtime), against the C library.
    for (std::time_t seconds = 0; seconds < 32503680000; seconds += 86400 * 7 + 3607) {
        EXPECT_EQ(text(utc_time(static_cast<std::uint64_t>(seconds))), text(*std::gmtime(&seconds)))
            << seconds;
    }
}

TEST(Run, ReportsEachFailureOnceWithEmptyOutput) {
    const std::string usage =
        "\nUsage: hexstamp <startaddress> <endendaddress>\nResult will be generated to STDOUT\n";
    const struct {
        std::vector<const char*> parameters;
        int status;
        std::string message;
    } rows[] = {
        {{}, 255, usage},
        {{"0x10"}, 255, usage},
        {{"abc", "xyz"}, 1, "\nUnable to get startaddress from 'abc' parameter\n"},
        {{"", "5"}, 1, "\nUnable to get startaddress from '' parameter\n"},
        {{"  ", "5"}, 1, "\nUnable to get startaddress from '  ' parameter\n"},
        {{"0x", "5"}, 1, "\nUnable to get startaddress from '0x' parameter\n"},
        {{"4294967296", "5"}, 1, "\nUnable to get startaddress from '4294967296' parameter\n"},
        {{"5", "0x1FFFFFFFF"}, 2, "\nUnable to get endaddress from '0x1FFFFFFFF' parameter\n"},
        {{"-2147483649", "5"}, 1, "\nUnable to get startaddress from '-2147483649' parameter\n"},
        {{"5", "4"}, 3, "\nStartaddress > endaddress\n"},
        {{"2147483648", "5"}, 3, "\nStartaddress > endaddress\n"},
        {{"0x0", "0xFFFFFFFF"}, 4, "\nLength > 16 bytes\n"},
        {{"10", "26"}, 4, "\nLength > 16 bytes\n"},
    };
    // A bad argument wins over a bad SOURCE_DATE_EPOCH, which is read only afterwards.
    for (const Program program : {Plain, Reproducible("1709967902"), Reproducible("abc")}) {
        for (const auto& row : rows) {
            const Outcome outcome = run_with(row.parameters, At20240309_070502, "UTC0", program);
            EXPECT_EQ(outcome.status, row.status);
            EXPECT_EQ(outcome.err,
                      row.message + "Exit with code " + std::to_string(row.status) + "\n");
            EXPECT_EQ(outcome.out, "");
        }
    }
}

TEST(Run, WritesTheStampRecordsByteForByte) {
    const struct {
        std::vector<const char*> parameters;
        std::time_t now;
        std::string records;
        const char* zone = "UTC0";
        Program program = Plain;
    } rows[] = {
        {{"0x0100", "0x0106"}, At20240309_070502, ":0701000001240309070502B9\n"},
        {{"0x0100", "0x0106"}, At20240309_070502, ":07010000012403091235027E\n", "IST-5:30"},
        {{"0x0100", "0x0106"}, At20240309_070502, ":07010000012403082305029E\n", "PST8"},
        {{"0x2000", "0x2009"}, At20240309_070502, ":0A2000000000000124030907050297\n"},
        {{"0x1FF0", "0x1FF2"}, At20240309_070502, ":031FF000070502E0\n"},
        {{"0x0000", "0x0000"}, At20240309_070502, ":0100000002FD\n"},
        {{"10", "25", "ignored"},
         At20240309_070502,
         ":10000A0000000000000000000001240309070502A7\n"},
        {{"0xFFF8", "0x10007"}, At20240309_070502, ":10FFF80000000000000000000001240309070502BA\n"},
        {{"0x7FF0", "0x7FFF"}, At20991231_235959, ":107FF00000000000000000000001991231235959CF\n"},
        {{"-1", "4294967295"}, At20240309_070502, ":02000004FFFFFC\n:01FFFF0002FF\n"},
        {{"3221225472", "3221225487"},
         At20240309_070502,
         ":02000004C0003A\n:1000000000000000000000000001240309070502B1\n"},
        {{"0x0800FFF0", "0x0800FFF6"},
         At19991231_235959,
         ":020000040800F2\n:07FFF0000099123123595959\n"},
        // SOURCE_DATE_EPOCH is UTC whatever the zone; unset or empty, the local clock counts.
        {{"0x0100", "0x0106"},
         0,
         ":0701000001240309070502B9\n",
         "IST-5:30",
         Reproducible("1709967902")},
        {{"0x0100", "0x0106"},
         0,
         ":0701000001240309070502B9\n",
         "PST8",
         Reproducible("0001709967902")},
        {{"0x0100", "0x0106"},
         At20240309_070502,
         ":07010000012403091235027E\n",
         "IST-5:30",
         Reproducible("")},
        {{"0x0100", "0x0106"},
         At20240309_070502,
         ":07010000012403082305029E\n",
         "PST8",
         Reproducible(nullptr)},
        {{"0x0100", "0x0106"},
         At20240309_070502,
         ":070100000070010100000086\n",
         "UTC0",
         Reproducible("0")},
        {{"0x0100", "0x0106"},
         At20240309_070502,
         ":0701000002000101000000F4\n",
         "UTC0",
         Reproducible("4102444800")},
        {{"0x0100", "0x0106"},
         At20240309_070502,
         ":0701000080991231235959C7\n",
         "UTC0",
         Reproducible("253402300799")},
        {{"0x0100", "0x0106"},
         At20240309_070502,
         ":070100000138011903140886\n",
         "UTC0",
         Reproducible("2147483648")},
        // The clock past the ends of signed and unsigned 32-bit seconds.
        {{"0x0100", "0x0106"}, 2147483648, ":070100000138011903140886\n"},
        {{"0x0100", "0x0106"}, 4294967296, ":070100000206020711581668\n", "IST-5:30"},
    };
    for (const auto& row : rows) {
        const Outcome outcome = run_with(row.parameters, row.now, row.zone, row.program);
        EXPECT_EQ(outcome.status, 0);
        EXPECT_EQ(outcome.out, row.records + EofRecord);
        EXPECT_EQ(outcome.err, "Exit with code 0\n");
    }
}

TEST(Run, ClockThatFailsOrCannotBeConvertedGivesStatus6) {
    const std::string clock = "\nUnable to read local time\n";
    const std::string epoch = "\nSOURCE_DATE_EPOCH must be a whole number of seconds from 0 to "
                              "253402300799, not '";
    const struct {
        std::optional<std::time_t> now;
        Program program;
        std::string message;
    } rows[] = {
        {{}, Plain, clock},
        {LLONG_MAX, Plain, clock},
        {{}, Reproducible(""), clock},
        {At20240309_070502, Reproducible("abc"), epoch + "abc'\n"},
        {At20240309_070502, Reproducible("-1"), epoch + "-1'\n"},
        {At20240309_070502, Reproducible("+5"), epoch + "+5'\n"},
        {At20240309_070502, Reproducible(" 5"), epoch + " 5'\n"},
        {At20240309_070502, Reproducible("5 "), epoch + "5 '\n"},
        {At20240309_070502, Reproducible("1.5"), epoch + "1.5'\n"},
        {At20240309_070502, Reproducible("0x10"), epoch + "0x10'\n"},
        {At20240309_070502, Reproducible("253402300800"), epoch + "253402300800'\n"},
        {At20240309_070502, Reproducible("999999999999999999999999999999"),
         epoch + "999999999999999999999999999999'\n"},
    };
    for (const auto& row : rows) {
        const Outcome outcome = run_with({"0", "6"}, row.now, "UTC0", row.program);
        EXPECT_EQ(outcome.status, 6);
        EXPECT_EQ(outcome.err, row.message + "Exit with code 6\n");
        EXPECT_EQ(outcome.out, "");
    }
}

TEST(Run, UnwritableOutputGivesStatus7) {
    std::FILE* read_only = std::fopen(NullDevice, "r");
    std::FILE* err = std::tmpfile();
    const char* argv[] = {"hexstamp", "0", "6", nullptr};
    fixed_now = At20240309_070502;
    const int status = run(3, argv, read_only, err, {fixed_clock, nullptr});
    std::fclose(read_only);
    EXPECT_EQ(status, 7);
    EXPECT_EQ(contents(err), "\nUnable to write to STDOUT\nExit with code 7\n");
}

TEST(Run, MissingInvocationNameFallsBackToToolName) {
    std::FILE* out = std::tmpfile();
    std::FILE* err = std::tmpfile();
    const char* argv[] = {nullptr};
    EXPECT_EQ(run(0, argv, out, err, {system_clock, process_environment}), 255);
    EXPECT_EQ(contents(err), "\nUsage: hexstamp <startaddress> <endendaddress>\n"
                             "Result will be generated to STDOUT\nExit with code 255\n");
    EXPECT_EQ(contents(out), "");
}

} // namespace
} // namespace hexstamp::testing
