#include "image/formats.hpp"

namespace hexstamp::image {

bool process_binary(std::FILE* in, std::uint32_t base, std::FILE* out, Patch& patch,
                    const Report& report) {
    std::uint64_t size = 0;
    if (!file_size(in, report, size)) {
        return false;
    }
    if (patch.contents != nullptr &&
        !add_file_bytes(in, 0, size, base, false, *patch.contents, report)) {
        return false;
    }
    const bool inside = patch.range.first >= base && patch.range.last - base < size;
    if (!inside && out != nullptr) {
        report.error(0, "0x%08X-0x%08X lies outside the file, which holds %llu bytes from 0x%08X",
                     unsigned{patch.range.first}, unsigned{patch.range.last},
                     static_cast<unsigned long long>(size), unsigned{base});
        return false;
    }
    // Outside the file, show finds the range's bytes missing.
    return !inside || copy_patched(in, size, patch.range.first - base, out, patch, report);
}

} // namespace hexstamp::image
