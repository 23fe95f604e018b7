#include "cli/run.hpp"

#include "cli/check_arguments.hpp"
#include "cli/exit_code.hpp"
#include "cli/messages.hpp"
#include "stamp/date_time_stamp.hpp"
#include "stamp/intel_hex.hpp"

namespace hexstamp {

namespace {

int obtain_stamp(std::uint64_t length, std::FILE* err, DateTimeStamp& stamp) {
    stamp = allocate_stamp(static_cast<std::size_t>(length));
    if (!stamp.bytes) {
        messages::out_of_memory(err);
        return OutOfMemory;
    }
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

int run(int argc, const char* const* argv, std::FILE* out, std::FILE* err, TimeSource time_source) {
    AddressRange range;
    int status = check_arguments(argc, argv, err, range);
    DateTimeStamp stamp;
    if (status == Success) {
        status = obtain_stamp(range.length, err, stamp);
    }
    std::tm broken_down{};
    if (status == Success) {
        status = read_time(time_source, err, "\n", broken_down) ? Success : ClockFailed;
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
