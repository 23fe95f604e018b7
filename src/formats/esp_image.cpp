#include "digest/hash.hpp"
#include "formats/format.hpp"
#include "image/file_access.hpp"

#include <cstdio>
#include <cstring>

// The application image ESP-IDF makes from the ELF (the .bin): a header, segments at the
// addresses the code and data run at, a checksum byte and, usually, a SHA-256. The boot
// loader refuses an image whose checksum or hash is wrong.
namespace hexstamp::image {

namespace {

constexpr std::uint8_t Magic = 0xE9, ChecksumSeed = 0xEF;
constexpr std::size_t HeaderSize = 24, SegmentHeader = 8, HashSize = 32, MaxSegments = 16;
constexpr std::size_t HashAppended = 23;

// Where the checksum byte lies after segments that end at `end`: the position that makes the
// image, with it, a whole number of 16-byte lines.
std::uint64_t checksum_position(std::uint64_t end) {
    return end + (15 - end % 16);
}

// Offsets within the file, which is in memory by the time they index it.
struct Layout {
    std::size_t segments_end = 0;
    std::size_t checksum_at = 0;
};

// Walks the segment headers; false when they do not lead to a checksum within `size`.
template <typename ReadHeader>
bool walk(unsigned count, std::uint64_t size, ReadHeader read_header, Layout& layout) {
    std::uint64_t at = HeaderSize;
    for (unsigned index = 0; index < count; ++index) {
        std::uint8_t header[SegmentHeader];
        if (at + SegmentHeader > size || !read_header(at, header)) {
            return false;
        }
        at += SegmentHeader + get_le32(header + 4);
    }
    if (checksum_position(at) >= size) {
        return false;
    }
    layout.segments_end = static_cast<std::size_t>(at);
    layout.checksum_at = static_cast<std::size_t>(checksum_position(at));
    return true;
}

bool check_image(const std::vector<std::uint8_t>& file, const Layout& layout,
                 const Report& report) {
    const bool hashed = file[HashAppended] == 1;
    const std::uint64_t explained = layout.checksum_at + 1 + (hashed ? HashSize : 0);
    if (file.size() < explained) {
        report.error(0, "the image ends inside its SHA-256 (%zu bytes, %llu expected)", file.size(),
                     static_cast<unsigned long long>(explained));
        return false;
    }
    if (file.size() > explained) {
        report.error(0,
                     "%llu bytes after the checksum%s: a signed or unknown trailer; stamp the "
                     "ELF before the image is made",
                     static_cast<unsigned long long>(file.size() - explained),
                     hashed ? " and the hash" : "");
        return false;
    }
    for (std::size_t at = layout.segments_end; at < layout.checksum_at; ++at) {
        if (file[at] != 0) {
            report.error(0, "a byte that is not zero at 0x%llX, in the padding before the checksum",
                         static_cast<unsigned long long>(at));
            return false;
        }
    }
    return true;
}

// The checksum byte: 0xEF and every segment's data, XORed.
std::uint8_t checksum_of(const std::vector<std::uint8_t>& file, unsigned count) {
    std::uint8_t sum = ChecksumSeed;
    std::size_t at = HeaderSize;
    for (unsigned index = 0; index < count; ++index) {
        const std::size_t length = get_le32(file.data() + at + 4);
        for (std::size_t byte = 0; byte < length; ++byte) {
            sum = static_cast<std::uint8_t>(sum ^ file[at + SegmentHeader + byte]);
        }
        at += SegmentHeader + length;
    }
    return sum;
}

std::array<std::uint8_t, HashSize> hash_of(const std::vector<std::uint8_t>& file,
                                           std::uint64_t checksum_at) {
    digest::Sha256 sha256;
    sha256.add(file.data(), static_cast<std::size_t>(checksum_at + 1));
    return sha256.finish();
}

bool check_sums(const std::vector<std::uint8_t>& file, unsigned count, const Layout& layout,
                const Report& report, Checks* checks) {
    const std::uint8_t sum = checksum_of(file, count);
    const bool hashed = file[HashAppended] == 1;
    const char* what = hashed ? "checksum byte and SHA-256" : "checksum byte";
    return checked(report, checks, file[layout.checksum_at] == sum, what, 0,
                   "the checksum byte is %02X, but the segments give %02X",
                   unsigned{file[layout.checksum_at]}, unsigned{sum}) &&
           checked(report, checks,
                   !hashed || std::memcmp(hash_of(file, layout.checksum_at).data(),
                                          file.data() + layout.checksum_at + 1, HashSize) == 0,
                   what, 0, "the SHA-256 after the checksum is not the image's");
}

// A text field of the app description, NUL-padded; what is not printable ASCII shows as "?",
// so that neither a terminal nor a JSON string takes it for more than text.
using Field = char[33];
void field_text(const std::uint8_t* field, std::size_t size, Field& text) {
    std::size_t at = 0;
    for (; at < size && field[at] != 0; ++at) {
        const bool plain =
            field[at] >= 0x20 && field[at] < 0x7F && field[at] != '"' && field[at] != '\\';
        text[at] = plain ? static_cast<char>(field[at]) : '?';
    }
    text[at] = '\0';
}

// The app description ESP-IDF puts first in the first segment (esp_app_desc_t): the project,
// version, date and time of the build, as `esptool image_info` prints them.
void describe_app(const std::vector<std::uint8_t>& file, unsigned count, Patch& patch) {
    constexpr std::uint32_t AppDescriptionMagic = 0xABCD5432u;
    constexpr std::size_t Version = 16, Project = 48, Time = 80, Date = 96, Idf = 112, End = 144;
    const std::uint8_t* const data = file.data() + HeaderSize + SegmentHeader;
    if (count == 0 || get_le32(file.data() + HeaderSize + 4) < End ||
        get_le32(data) != AppDescriptionMagic) {
        return;
    }
    Field project, version, date, time, idf;
    field_text(data + Project, 32, project);
    field_text(data + Version, 32, version);
    field_text(data + Date, 16, date);
    field_text(data + Time, 16, time);
    field_text(data + Idf, 32, idf);
    char text[320];
    std::snprintf(text, sizeof text, "ESP-IDF app %s %s, built %s %s with ESP-IDF %s", project,
                  version, date, time, idf);
    patch.identity = text;
    std::snprintf(text, sizeof text,
                  "\"esp_app\": {\"project\": \"%s\", \"version\": \"%s\", \"date\": \"%s\", "
                  "\"time\": \"%s\", \"idf_version\": \"%s\"}",
                  project, version, date, time, idf);
    patch.identity_json = text;
}

bool lays_out_segments(const Probe& probe) {
    Layout layout;
    return walk(
        probe.start[1], probe.size,
        [&probe](std::uint64_t at, std::uint8_t* header) {
            return read_at(probe.in, at, header, SegmentHeader);
        },
        layout);
}

bool has_header(const Probe& probe) {
    return probe.read >= HeaderSize && probe.start[0] == Magic && probe.start[1] >= 1 &&
           probe.start[1] <= MaxSegments;
}

// A segment count of 1 to 16 whose segments' lengths lead to a checksum within the file.
bool is_esp_image(const Probe& probe) {
    return has_header(probe) && lays_out_segments(probe);
}

bool starts_as_esp_image(const Probe& probe, std::string& why) {
    if (has_header(probe) && probe.start[HashAppended] <= 1 && !lays_out_segments(probe)) {
        why = "its segments run past the end of the file";
        return true;
    }
    return false;
}

bool process(const Job& job) {
    std::FILE* const out = job.out;
    Patch& patch = job.patch;
    const Report& report = job.report;
    std::vector<std::uint8_t> file;
    if (!read_whole_file(job.in, report, file)) {
        return false;
    }
    const unsigned count = file.size() > 1 ? file[1] : 0;
    Layout layout;
    const auto header_in_memory = [&file](std::uint64_t at, std::uint8_t* header) {
        std::memcpy(header, file.data() + at, SegmentHeader);
        return true;
    };
    if (!walk(count, file.size(), header_in_memory, layout)) {
        report.error(0, "its segments run past the end of the file");
        return false;
    }
    if (!check_image(file, layout, report) ||
        !check_sums(file, count, layout, report, job.checks)) {
        return false;
    }
    describe_app(file, count, patch);
    std::size_t at = HeaderSize;
    for (unsigned index = 0; index < count; ++index) {
        const std::size_t length = get_le32(file.data() + at + 4);
        patch.visit_record(get_le32(file.data() + at), file.data() + at + SegmentHeader, length);
        at += SegmentHeader + length;
    }
    if (out != nullptr && patch.missing() > 0) {
        report.error(0,
                     "0x%08X-0x%08X lies outside the image's segments, which cannot grow; "
                     "reserve the stamp in the firmware",
                     unsigned{patch.range.first}, unsigned{patch.range.last});
        return false;
    }
    file[layout.checksum_at] = checksum_of(file, count);
    if (file[HashAppended] == 1) {
        const auto hash = hash_of(file, layout.checksum_at);
        std::memcpy(file.data() + layout.checksum_at + 1, hash.data(), HashSize);
    }
    write_bytes(out, file);
    return true;
}

} // namespace

extern const Format EspImageFormat;
const Format EspImageFormat{"an ESP-IDF app image", false,   false,
                            is_esp_image,           process, starts_as_esp_image};

} // namespace hexstamp::image
