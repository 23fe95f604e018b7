#include "formats/format.hpp"

#include "image/file_access.hpp"
#include "image/text_lines.hpp"

#include <cerrno>
#include <cstring>
#include <vector>

namespace hexstamp::image {

// Each row is defined in its format's own file.
extern const Format ElfFormat, IntelHexFormat, SRecordFormat, TiTxtFormat, Uf2Format, DfuSeFormat,
    McubootFormat, EspImageFormat, DfuFileFormat, BinaryFormat;

namespace {

// In the order formats are told apart, and listed; a text format is taken only for a whole
// valid record first, so no binary format is mistaken for one. The last row takes the rest.
const Format* const Table[] = {&ElfFormat,     &IntelHexFormat, &SRecordFormat, &TiTxtFormat,
                               &Uf2Format,     &DfuSeFormat,    &McubootFormat, &EspImageFormat,
                               &DfuFileFormat, &BinaryFormat};

// The file's first bytes: enough for every header and for a text format's first line.
struct Start {
    std::vector<std::uint8_t> bytes = std::vector<std::uint8_t>(LineReader::MaxLineLength + 2);
    std::size_t read = 0;
    std::uint64_t size = 0;
};

bool read_start(std::FILE* in, const Report& report, Start& start) {
    start.read = std::fread(start.bytes.data(), 1, start.bytes.size(), in);
    if (std::ferror(in) != 0 || std::fseek(in, 0, SEEK_SET) != 0 ||
        !file_size(in, report, start.size)) {
        report.error(0, "cannot read: %s", std::strerror(errno));
        return false;
    }
    return true;
}

} // namespace

const Format* detect_format(std::FILE* in, const Report& report) {
    Start start;
    if (!read_start(in, report, start)) {
        return nullptr;
    }
    if (start.size == 0) {
        report.error(0, "the file is empty (0 bytes): no image to stamp or show");
        return nullptr;
    }
    const Probe probe{in, report.file, start.bytes.data(), start.read, start.size};
    const Format* found = nullptr;
    for (const Format* format : Table) {
        if (found == nullptr && (format->recognise == nullptr || format->recognise(probe))) {
            found = format;
        }
    }
    // Telling a format may read further into the file.
    if (std::fseek(in, 0, SEEK_SET) != 0) {
        report.error(0, "cannot read: %s", std::strerror(errno));
        return nullptr;
    }
    return found;
}

const Format* resemblance(std::FILE* in, const Report& report, std::string& why) {
    Start start;
    if (!read_start(in, report, start)) {
        return nullptr;
    }
    const Probe probe{in, report.file, start.bytes.data(), start.read, start.size};
    const Format* found = nullptr;
    for (const Format* format : Table) {
        if (found == nullptr && format->resembles != nullptr && format->resembles(probe, why)) {
            found = format;
        }
    }
    return std::fseek(in, 0, SEEK_SET) == 0 ? found : nullptr;
}

std::string recognised_formats() {
    std::vector<const char*> names;
    for (const Format* format : Table) {
        if (format->recognise != nullptr && !format->needs_base) {
            names.push_back(format->name);
        }
    }
    std::string text;
    for (std::size_t index = 0; index < names.size(); ++index) {
        text += index == 0 ? "" : index + 1 == names.size() ? " or " : ", ";
        text += names[index];
    }
    return text;
}

} // namespace hexstamp::image
