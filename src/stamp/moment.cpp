#include "stamp/moment.hpp"

#include "stamp/source_date_epoch.hpp"

#include <cstdlib>

namespace hexstamp {

static_assert(sizeof(std::time_t) >= 8,
              "hexstamp needs a 64-bit time_t to stamp dates past 2038-01-19: on 32-bit Linux, "
              "build with -D_TIME_BITS=64 -D_FILE_OFFSET_BITS=64 (glibc 2.34 or later)");

namespace {

// localtime applies the platform's time zone and daylight-saving rules; it fails
// for instants whose year does not fit its fields.
bool read_local_time(Clock clock, std::FILE* err, const char* lead, std::tm& local_time) {
    const std::optional<std::time_t> now = clock();
    const std::tm* converted = now ? std::localtime(&*now) : nullptr;
    if (converted == nullptr) {
        std::fprintf(err, "%sUnable to read local time\n", lead);
        return false;
    }
    local_time = *converted;
    return true;
}

// A reproducible build fixes the moment by SOURCE_DATE_EPOCH, in UTC so that the stamp
// does not depend on the zone of the machine that builds.
bool read_source_date_epoch(const char* text, std::FILE* err, const char* lead, std::tm& utc) {
    const std::optional<std::uint64_t> seconds = parse_source_date_epoch(text);
    if (!seconds) {
        std::fprintf(err,
                     "%sSOURCE_DATE_EPOCH must be a whole number of seconds from 0 to "
                     "253402300799, not '%s'\n",
                     lead, text);
        return false;
    }
    utc = utc_time(*seconds);
    return true;
}

} // namespace

std::optional<std::time_t> system_clock() {
    const std::time_t now = std::time(nullptr);
    return now == static_cast<std::time_t>(-1) ? std::nullopt : std::optional<std::time_t>(now);
}

const char* process_environment(const char* name) {
    return std::getenv(name);
}

bool read_time(const TimeSource& source, std::FILE* err, const char* lead, std::tm& broken_down) {
    const char* epoch =
        source.environment != nullptr ? source.environment("SOURCE_DATE_EPOCH") : nullptr;
    return epoch != nullptr && *epoch != '\0'
               ? read_source_date_epoch(epoch, err, lead, broken_down)
               : read_local_time(source.clock, err, lead, broken_down);
}

} // namespace hexstamp
