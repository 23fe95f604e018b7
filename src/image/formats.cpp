#include "image/formats.hpp"

#include "platform/platform.hpp"

#include <cerrno>
#include <cstring>

namespace hexstamp::image {

namespace {

bool blank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

Format text_format(const char* start, std::size_t read) {
    std::size_t at = 0;
    while (at < read && blank(start[at])) {
        ++at;
    }
    if (at < read && start[at] == ':') {
        return Format::IntelHex;
    }
    if (at + 1 < read && start[at] == 'S' && start[at + 1] >= '0' && start[at + 1] <= '9') {
        return Format::SRecord;
    }
    return at < read && start[at] == '@' ? Format::TiTxt : Format::Binary;
}

} // namespace

const char* format_name(Format format) {
    switch (format) {
    case Format::Elf:
        return "ELF";
    case Format::IntelHex:
        return "Intel HEX";
    case Format::SRecord:
        return "S-record";
    case Format::TiTxt:
        return "TI-TXT";
    case Format::DfuFile:
        return "a raw binary with a DFU suffix";
    case Format::Uf2:
        return "UF2";
    case Format::EspImage:
        return "an ESP-IDF app image";
    case Format::DfuSe:
        return "DfuSe";
    case Format::Binary:
        break;
    }
    return "raw binary";
}

bool needs_base(Format format) {
    return format == Format::Binary || format == Format::DfuFile;
}

bool is_text(Format format) {
    return format == Format::IntelHex || format == Format::SRecord || format == Format::TiTxt;
}

bool detect_format(std::FILE* in, const Report& report, Format& format) {
    char start[512];
    const std::size_t read = std::fread(start, 1, sizeof start, in);
    std::uint64_t size = 0;
    if (std::ferror(in) != 0 || std::fseek(in, 0, SEEK_SET) != 0 || !file_size(in, report, size)) {
        report.error(0, "cannot read: %s", std::strerror(errno));
        return false;
    }
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(start);
    format = text_format(start, read);
    if (read >= 4 && std::memcmp(start,
                                 "\x7F"
                                 "ELF",
                                 4) == 0) {
        format = Format::Elf;
    } else if (read >= 8 && get_le32(bytes) == 0x0A324655u && get_le32(bytes + 4) == 0x9E5D5157u) {
        format = Format::Uf2;
    } else if (read >= 5 && std::memcmp(start, "DfuSe", 5) == 0) {
        format = Format::DfuSe;
    } else if (format == Format::Binary && read > 0 && bytes[0] == 0xE9 &&
               is_esp_image(bytes, read, in, size)) {
        format = Format::EspImage;
    } else if (format == Format::Binary && has_dfu_suffix(in, size)) {
        format = Format::DfuFile;
    }
    if (!platform::seek(in, 0)) {
        report.error(0, "cannot read: %s", std::strerror(errno));
        return false;
    }
    return true;
}

const char* raw_binary_note(std::FILE* in) {
    std::uint8_t start[64];
    const std::size_t read = std::fread(start, 1, sizeof start, in);
    std::uint64_t size = 0;
    const char* note = platform::size_of(in, size) ? raw_binary_note(start, read, in, size) : "";
    platform::seek(in, 0);
    return note;
}

bool process_image(Format format, std::FILE* in, std::uint32_t base, std::FILE* out, Patch& patch,
                   const std::uint64_t* elf_offset, const Report& report) {
    switch (format) {
    case Format::Elf:
        return process_elf(in, out, patch, elf_offset, report);
    case Format::IntelHex:
        return process_intel_hex(in, out, patch, report);
    case Format::SRecord:
        return process_srecord(in, out, patch, report);
    case Format::TiTxt:
        return process_ti_txt(in, out, patch, report);
    case Format::DfuFile:
        return process_dfu_file(in, base, out, patch, report);
    case Format::Uf2:
        return process_uf2(in, out, patch, report);
    case Format::EspImage:
        return process_esp_image(in, out, patch, report);
    case Format::DfuSe:
        return process_dfuse(in, out, patch, report);
    case Format::Binary:
        break;
    }
    return process_binary(in, base, out, patch, report);
}

} // namespace hexstamp::image
