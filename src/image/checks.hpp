#pragma once

#include "image/report.hpp"
#include "platform/printf_format.hpp"

#include <cstdint>
#include <string>

namespace hexstamp::image {

// What an image's own checks found (record checksums, MD5s, CRCs, hashes), for verify IMAGE:
// a check that fails is counted and the image read on, where otherwise it is refused.
struct Checks {
    std::string what; // "record checksums and image hash": empty when the format carries none
    const char* latest = nullptr; // the kind of the last check counted, already in `what`
    std::uint64_t passed = 0;
    std::uint64_t failed = 0;
    std::string first_failure; // "app.hex:12: bad checksum 3A, expected 3B"
};

// Whether the image may be read on after a check of `what` that is `right` or not: always with
// `checks`, which counts it; without, only when it is right, the failure reported at `line`.
bool checked(const Report& report, Checks* checks, bool right, const char* what, unsigned long line,
             const char* format, ...) HEXSTAMP_PRINTF(6);

// A check that holds and that nothing counts, as every record's checksum of a file being
// stamped: no call of checked for it, which would cost a tenth of reading a HEX file.
inline bool holds_uncounted(const Checks* checks, bool right) {
    return right && checks == nullptr;
}

} // namespace hexstamp::image
