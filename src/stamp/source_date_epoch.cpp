#include "stamp/source_date_epoch.hpp"

#include <algorithm>

namespace hexstamp {

namespace {

constexpr std::uint64_t SecondsPerDay = 86'400;

struct CivilDate {
    std::uint64_t year;
    unsigned month; // 1 to 12
    unsigned day;   // 1 to 31
};

// The Gregorian date of a day counted from 1970-01-01. The calendar repeats every 400
// years (146097 days); counting from 0000-03-01 puts the leap day at the end of each year.
CivilDate civil_from_days(std::uint64_t days) {
    constexpr std::uint64_t DaysFromMarch0000To1970 = 719'468;
    constexpr std::uint64_t DaysPerEra = 146'097;
    const std::uint64_t shifted = days + DaysFromMarch0000To1970;
    const std::uint64_t era = shifted / DaysPerEra;
    const std::uint64_t day_of_era = shifted % DaysPerEra;
    const std::uint64_t year_of_era =
        (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
    const std::uint64_t day_of_year =
        day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
    const std::uint64_t month_from_march = (5 * day_of_year + 2) / 153;
    const auto day = static_cast<unsigned>(day_of_year - (153 * month_from_march + 2) / 5 + 1);
    const auto month =
        static_cast<unsigned>(month_from_march < 10 ? month_from_march + 3 : month_from_march - 9);
    const std::uint64_t year = era * 400 + year_of_era + (month <= 2 ? 1 : 0);
    return {year, month, day};
}

} // namespace

std::optional<std::uint64_t> parse_source_date_epoch(const char* text) {
    const char* const digits = text;
    std::uint64_t value = 0;
    for (; *text >= '0' && *text <= '9'; ++text) {
        // Past the limit the value stays there, so no run of digits can overflow.
        value =
            std::min(value * 10 + static_cast<std::uint64_t>(*text - '0'), MaxSourceDateEpoch + 1);
    }
    if (text == digits || *text != '\0' || value > MaxSourceDateEpoch) {
        return std::nullopt;
    }
    return value;
}

std::tm utc_time(std::uint64_t seconds) {
    const CivilDate date = civil_from_days(seconds / SecondsPerDay);
    const auto second_of_day = static_cast<int>(seconds % SecondsPerDay);
    std::tm time{};
    time.tm_year = static_cast<int>(date.year) - 1900;
    time.tm_mon = static_cast<int>(date.month) - 1;
    time.tm_mday = static_cast<int>(date.day);
    time.tm_hour = second_of_day / 3600;
    time.tm_min = second_of_day / 60 % 60;
    time.tm_sec = second_of_day % 60;
    return time;
}

} // namespace hexstamp
