#include "digest/crc32.hpp"
#include "formats/format.hpp"
#include "image/file_access.hpp"

#include <algorithm>
#include <cstring>

// USB DFU files: the 16-byte suffix every DFU file ends in, with a CRC over the whole file,
// after a raw binary (a plain DFU file) or after DfuSe's targets and elements (STM32).
namespace hexstamp::image {

namespace {

constexpr std::size_t SuffixSize = 16, PrefixSize = 11, TargetSize = 274, ElementHeader = 8;

bool is_suffix(const std::uint8_t* suffix) {
    return std::memcmp(suffix + 8, "UFD", 3) == 0 && suffix[11] == SuffixSize;
}

// The CRC the suffix holds covers every byte before it: zlib's CRC-32, not inverted.
std::uint32_t crc_of(const std::vector<std::uint8_t>& file) {
    return digest::crc32_reflected(file.data(), file.size() - 4);
}

bool check_suffix(const std::vector<std::uint8_t>& file, const Report& report, Checks* checks) {
    if (file.size() < SuffixSize || !is_suffix(file.data() + file.size() - SuffixSize)) {
        report.error(0, "no DFU suffix (\"UFD\" and its length 16) at the end of the file");
        return false;
    }
    const std::uint32_t held = get_le32(file.data() + file.size() - 4);
    return checked(report, checks, held == crc_of(file), "suffix CRC", 0,
                   "the DFU suffix's CRC is %08X, but the file's is %08X", unsigned{held},
                   unsigned{crc_of(file)});
}

void renew_crc(std::vector<std::uint8_t>& file) {
    put_le32(file.data() + file.size() - 4, crc_of(file));
}

bool check_held(const Patch& patch, std::FILE* out, const char* where, const Report& report) {
    if (out != nullptr && patch.missing() > 0) {
        report.error(0, "0x%08X-0x%08X lies outside %s, which cannot grow",
                     unsigned{patch.range.first}, unsigned{patch.range.last}, where);
        return false;
    }
    return true;
}

// Each target's elements: every length and count within the target, and the targets within
// the image the prefix gives.
bool visit_elements(std::vector<std::uint8_t>& file, Patch& patch, const Report& report) {
    const std::size_t end = file.size() - SuffixSize;
    std::size_t at = PrefixSize;
    for (unsigned target = 0; target < file[10]; ++target) {
        if (end - at < TargetSize || std::memcmp(file.data() + at, "Target", 6) != 0) {
            report.error(0, "target %u: no target header (\"Target\") at 0x%zX", target, at);
            return false;
        }
        const std::uint64_t size = get_le32(file.data() + at + 266);
        const std::uint32_t elements = get_le32(file.data() + at + 270);
        at += TargetSize;
        if (size > end - at) {
            report.error(0, "target %u: its %llu bytes run past the end of the image", target,
                         static_cast<unsigned long long>(size));
            return false;
        }
        const std::size_t target_end = at + static_cast<std::size_t>(size);
        for (std::uint32_t element = 0; element < elements; ++element) {
            const std::uint64_t length =
                target_end - at >= ElementHeader ? get_le32(file.data() + at + 4) : ~0ull;
            if (length > target_end - at - std::min<std::size_t>(target_end - at, ElementHeader)) {
                report.error(0, "target %u, element %u: runs past the end of its target", target,
                             unsigned{element});
                return false;
            }
            patch.visit_record(get_le32(file.data() + at), file.data() + at + ElementHeader,
                               static_cast<std::size_t>(length));
            at += ElementHeader + static_cast<std::size_t>(length);
        }
        if (at != target_end) {
            report.error(0, "target %u: its elements hold %zu bytes, but it says %llu", target,
                         at - (target_end - static_cast<std::size_t>(size)),
                         static_cast<unsigned long long>(size));
            return false;
        }
    }
    if (at != end) {
        report.error(0, "%zu bytes after the last target", end - at);
        return false;
    }
    return true;
}

bool has_dfu_suffix(const Probe& probe) {
    std::uint8_t suffix[SuffixSize];
    return probe.size >= SuffixSize &&
           read_at(probe.in, probe.size - SuffixSize, suffix, SuffixSize) && is_suffix(suffix);
}

bool is_dfuse(const Probe& probe) {
    return probe.read >= 5 && std::memcmp(probe.start, "DfuSe", 5) == 0;
}

bool process_dfuse(const Job& job) {
    std::vector<std::uint8_t> file;
    if (!read_whole_file(job.in, job.report, file) || !check_suffix(file, job.report, job.checks)) {
        return false;
    }
    if (file.size() < PrefixSize + SuffixSize || file[5] != 1) {
        job.report.error(0, "a DfuSe prefix of version %u; only version 1 is known",
                         file.size() > 5 ? unsigned{file[5]} : 0u);
        return false;
    }
    if (get_le32(file.data() + 6) != file.size() - SuffixSize) {
        job.report.error(0, "the prefix says the image holds %u bytes, but it holds %zu",
                         unsigned{get_le32(file.data() + 6)}, file.size() - SuffixSize);
        return false;
    }
    if (!visit_elements(file, job.patch, job.report) ||
        !check_held(job.patch, job.out, "the file's elements", job.report)) {
        return false;
    }
    renew_crc(file);
    write_bytes(job.out, file);
    return true;
}

// A raw binary followed by a DFU suffix, whose CRC is made anew.
bool process_dfu_file(const Job& job) {
    std::vector<std::uint8_t> file;
    if (!read_whole_file(job.in, job.report, file) || !check_suffix(file, job.report, job.checks)) {
        return false;
    }
    job.patch.visit_record(job.parameters.base, file.data(), file.size() - SuffixSize);
    if (!check_held(job.patch, job.out, "the binary before the DFU suffix", job.report)) {
        return false;
    }
    renew_crc(file);
    write_bytes(job.out, file);
    return true;
}

} // namespace

extern const Format DfuSeFormat, DfuFileFormat;
const Format DfuSeFormat{"DfuSe", false, false, is_dfuse, process_dfuse, nullptr};
const Format DfuFileFormat{
    "a raw binary with a DFU suffix", false, true, has_dfu_suffix, process_dfu_file, nullptr};

} // namespace hexstamp::image
