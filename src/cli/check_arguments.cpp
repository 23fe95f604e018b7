#include "cli/check_arguments.hpp"

#include "cli/exit_code.hpp"
#include "cli/messages.hpp"
#include "stamp/date_time_stamp.hpp"
#include "stamp/parse_address.hpp"

#include <optional>

namespace hexstamp {

int check_arguments(int argc, const char* const* argv, std::FILE* err, AddressRange& range) {
    int status = Success;
    if (argc < 3) {
        messages::usage(err, argc > 0 ? argv[0] : nullptr);
        status = Usage;
    }
    std::optional<std::uint32_t> start;
    if (status == Success) {
        start = parse_address(argv[1]);
        if (!start) {
            messages::bad_start_address(err, argv[1]);
            status = BadStartAddress;
        }
    }
    std::optional<std::uint32_t> end;
    if (status == Success) {
        end = parse_address(argv[2]);
        if (!end) {
            messages::bad_end_address(err, argv[2]);
            status = BadEndAddress;
        }
    }
    if (status == Success && *start > *end) {
        messages::start_after_end(err);
        status = StartAfterEnd;
    }
    if (status == Success) {
        range = AddressRange{*start, *end, std::uint64_t{*end} - *start + 1};
        if (range.length > MaxStampLength) {
            messages::length_too_long(err);
            status = LengthTooLong;
        }
    }
    return status;
}

} // namespace hexstamp
