#include "cli/run.hpp"

#include "cli/check_arguments.hpp"
#include "cli/exit_code.hpp"
#include "cli/messages.hpp"
#include "cli/source_date_epoch.hpp"
#include "stamp/date_time_stamp.hpp"
#include "stamp/intel_hex.hpp"

#include <cstdlib>

namespace hexstamp {

static_assert(sizeof(std::time_t) >= 8,
              "hexstamp needs a 64-bit time_t to stamp dates past 2038-01-19: on 32-bit Linux, "
              "build with -D_TIME_BITS=64 -D_FILE_OFFSET_BITS=64 (glibc 2.34 or later)");

namespace {

int obtain_stamp(std::uint64_t length, std::FILE* err, DateTimeStamp& stamp) {
    stamp = allocate_stamp(static_cast<std::size_t>(length));
    if (!stamp.bytes) {
        messages::out_of_memory(err);
        return OutOfMemory;
    }
    return Success;
}

// localtime applies the platform's time zone and daylight-saving rules; it fails
// for instants whose year does not fit its fields.
int read_local_time(Clock clock, std::FILE* err, const char* lead, std::tm& local_time) {
    const std::optional<std::time_t> now = clock();
    const std::tm* converted = now ? std::localtime(&*now) : nullptr;
    if (converted == nullptr) {
        messages::clock_failed(err, lead);
        return ClockFailed;
    }
    local_time = *converted;
    return Success;
}

// A reproducible build fixes the moment by SOURCE_DATE_EPOCH, in UTC so that the stamp
// does not depend on the zone of the machine that builds.
int read_source_date_epoch(const char* text, std::FILE* err, const char* lead, std::tm& utc) {
    const std::optional<std::uint64_t> seconds = parse_source_date_epoch(text);
    if (!seconds) {
        messages::bad_source_date_epoch(err, text, lead);
        return ClockFailed;
    }
    utc = utc_time(*seconds);
    return Success;
}

// Buffered write errors (a full disk, a closed descriptor) surface only on flush.
int finish_output(std::FILE* out, std::FILE* err) {
    if (std::fflush(out) != 0 || std::ferror(out) != 0) {
        messages::output_failed(err);
        return OutputFailed;
    }
    return Success;
}

} // namespace

int read_time(const TimeSource& source, std::FILE* err, const char* lead, std::tm& broken_down) {
    const char* epoch =
        source.environment != nullptr ? source.environment("SOURCE_DATE_EPOCH") : nullptr;
    return epoch != nullptr && *epoch != '\0'
               ? read_source_date_epoch(epoch, err, lead, broken_down)
               : read_local_time(source.clock, err, lead, broken_down);
}

std::optional<std::time_t> system_clock() {
    const std::time_t now = std::time(nullptr);
    return now == static_cast<std::time_t>(-1) ? std::nullopt : std::optional<std::time_t>(now);
}

const char* process_environment(const char* name) {
    return std::getenv(name);
}

int run(int argc, const char* const* argv, std::FILE* out, std::FILE* err, TimeSource time_source) {
    AddressRange range;
    int status = check_arguments(argc, argv, err, range);
    DateTimeStamp stamp;
    if (status == Success) {
        status = obtain_stamp(range.length, err, stamp);
    }
    std::tm broken_down{};
    if (status == Success) {
        status = read_time(time_source, err, "\n", broken_down);
    }
    if (status == Success) {
        build_stamp(stamp, broken_down);
        write_records(out, range.start, stamp);
        status = finish_output(out, err);
    }
    messages::exit_status(err, status);
    return status;
}

} // namespace hexstamp
