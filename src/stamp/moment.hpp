#pragma once

#include <cstdio>
#include <ctime>
#include <optional>

// The moment a run stamps, as every program of the tool reads it: the clock in local time or,
// for reproducible builds, SOURCE_DATE_EPOCH in UTC.
namespace hexstamp {

// Seconds since the epoch, or nothing when the clock cannot be read.
using Clock = std::optional<std::time_t> (*)();

// An environment variable's value, or null when it is unset.
using Environment = const char* (*)(const char* name);

// The system clock, as the process reads it.
std::optional<std::time_t> system_clock();

// The process environment, as the process reads it.
const char* process_environment(const char* name);

// Where a run takes its moment from. hexstamp reads the clock as local time and no
// environment; hexstamp-reproducible also reads SOURCE_DATE_EPOCH, which, when set and
// not empty, stands for the clock and is read as UTC.
struct TimeSource {
    Clock clock = system_clock;
    Environment environment = nullptr;
};

// Reads the moment to stamp, once: SOURCE_DATE_EPOCH in UTC when the source reads the
// environment and it is set and not empty, else the clock in local time. On failure writes,
// after `lead`, why on `err` and returns false.
bool read_time(const TimeSource& source, std::FILE* err, const char* lead, std::tm& broken_down);

} // namespace hexstamp
