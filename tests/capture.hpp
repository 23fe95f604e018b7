#pragma once

#include "cli/run.hpp"
#include "platform.hpp"

#include <cstdio>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

namespace hexstamp::testing {

// Instants used throughout, read in UTC.
inline constexpr std::time_t At20240309_070502 = 1709967902;
inline constexpr std::time_t At20991231_235959 = 4102444799;
inline constexpr std::time_t At19991231_235959 = 946684799;

inline std::tm broken_down(int year, int month, int day, int hour, int minute, int second) {
    std::tm time{};
    time.tm_year = year - 1900;
    time.tm_mon = month - 1;
    time.tm_mday = day;
    time.tm_hour = hour;
    time.tm_min = minute;
    time.tm_sec = second;
    return time;
}

struct Outcome {
    int status;
    std::string out;
    std::string err;
};

inline std::string contents(std::FILE* file) {
    std::string text;
    std::rewind(file);
    for (int c = std::fgetc(file); c != EOF; c = std::fgetc(file)) {
        text.push_back(static_cast<char>(c));
    }
    std::fclose(file);
    return text;
}

// What the test clock reads; a clock is a plain function, so it cannot capture.
inline std::optional<std::time_t> fixed_now;
inline std::optional<std::time_t> fixed_clock() {
    return fixed_now;
}

// What SOURCE_DATE_EPOCH holds for hexstamp-reproducible (null: unset).
inline const char* fixed_epoch;
inline const char* fixed_environment(const char* name) {
    return std::string(name) == "SOURCE_DATE_EPOCH" ? fixed_epoch : nullptr;
}

// Which of the two programs runs: plain hexstamp reads no environment.
struct Program {
    bool reproducible = false;
    const char* source_date_epoch = nullptr;
};
inline constexpr Program Plain{};
inline constexpr Program Reproducible(const char* source_date_epoch) {
    return {true, source_date_epoch};
}

// Runs the tool in-process with the given parameters, a fixed clock reading and a zone
// in POSIX TZ syntax without rules, which every C runtime reads alike.
inline Outcome run_with(const std::vector<const char*>& parameters,
                        std::optional<std::time_t> now = At20240309_070502,
                        const char* zone = "UTC0", Program program = Plain) {
    use_time_zone(zone);
    std::vector<const char*> argv{"hexstamp"};
    argv.insert(argv.end(), parameters.begin(), parameters.end());
    const int argc = static_cast<int>(argv.size());
    argv.push_back(nullptr);
    std::FILE* out = std::tmpfile();
    std::FILE* err = std::tmpfile();
    fixed_now = now;
    fixed_epoch = program.source_date_epoch;
    const TimeSource time{fixed_clock, program.reproducible ? fixed_environment : nullptr};
    const int status = run(argc, argv.data(), out, err, time);
    return {status, contents(out), contents(err)};
}

} // namespace hexstamp::testing
