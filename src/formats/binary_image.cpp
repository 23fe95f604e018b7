#include "formats/format.hpp"
#include "image/file_access.hpp"

// A raw binary: the bytes from the address of its first byte on, which the file does not hold
// (--base). What no other format takes.
namespace hexstamp::image {

namespace {

bool process(const Job& job) {
    const std::uint32_t base = job.parameters.base;
    const Range& range = job.patch.range;
    std::uint64_t size = 0;
    if (!file_size(job.in, job.report, size)) {
        return false;
    }
    if (job.patch.contents != nullptr) {
        job.patch.contents->add_file(base, job.in, 0, size);
    }
    const bool inside = range.first >= base && range.last - base < size;
    if (!inside && job.out != nullptr) {
        job.report.error(0,
                         "0x%08X-0x%08X lies outside the file, which holds %llu bytes from 0x%08X",
                         unsigned{range.first}, unsigned{range.last},
                         static_cast<unsigned long long>(size), unsigned{base});
        return false;
    }
    // Outside the file, show finds the range's bytes missing.
    return !inside ||
           copy_patched(job.in, size, range.first - base, job.out, job.patch, job.report);
}

} // namespace

extern const Format BinaryFormat;
const Format BinaryFormat{"raw binary", false, true, nullptr, process, nullptr};

} // namespace hexstamp::image
