#include "capture.hpp"
#include "cli/parse_address.hpp"

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
    for (const auto& row : rows) {
        const Outcome outcome = run_with(row.parameters);
        EXPECT_EQ(outcome.status, row.status);
        EXPECT_EQ(outcome.err, row.message + "Exit with code " + std::to_string(row.status) + "\n");
        EXPECT_EQ(outcome.out, "");
    }
}

TEST(Run, WritesTheStampRecordsByteForByte) {
    const struct {
        std::vector<const char*> parameters;
        std::time_t now;
        std::string records;
        const char* zone = "UTC0";
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
    };
    for (const auto& row : rows) {
        const Outcome outcome = run_with(row.parameters, row.now, row.zone);
        EXPECT_EQ(outcome.status, 0);
        EXPECT_EQ(outcome.out, row.records + EofRecord);
        EXPECT_EQ(outcome.err, "Exit with code 0\n");
    }
}

TEST(Run, ClockThatFailsOrCannotBeConvertedGivesStatus6) {
    for (const std::optional<std::time_t> now :
         {std::optional<std::time_t>{}, std::optional<std::time_t>{LLONG_MAX}}) {
        const Outcome outcome = run_with({"0", "6"}, now);
        EXPECT_EQ(outcome.status, 6);
        EXPECT_EQ(outcome.err, "\nUnable to read local time\nExit with code 6\n");
        EXPECT_EQ(outcome.out, "");
    }
}

TEST(Run, UnwritableOutputGivesStatus7) {
    std::FILE* read_only = std::fopen(NullDevice, "r");
    std::FILE* err = std::tmpfile();
    const char* argv[] = {"hexstamp", "0", "6", nullptr};
    fixed_now = At20240309_070502;
    const int status = run(3, argv, read_only, err, fixed_clock);
    std::fclose(read_only);
    EXPECT_EQ(status, 7);
    EXPECT_EQ(contents(err), "\nUnable to write to STDOUT\nExit with code 7\n");
}

TEST(Run, MissingInvocationNameFallsBackToToolName) {
    std::FILE* out = std::tmpfile();
    std::FILE* err = std::tmpfile();
    const char* argv[] = {nullptr};
    EXPECT_EQ(run(0, argv, out, err, system_clock), 255);
    EXPECT_EQ(contents(err), "\nUsage: hexstamp <startaddress> <endendaddress>\n"
                             "Result will be generated to STDOUT\nExit with code 255\n");
    EXPECT_EQ(contents(out), "");
}

} // namespace
} // namespace hexstamp::testing
