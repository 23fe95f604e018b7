#include "image/formats.hpp"

#include <cstring>

// TI-TXT (MSP430 and other TI parts): "@ADDR" starts a section, the lines after it hold bytes
// as pairs of hexadecimal digits apart, and a line "q" ends the file. There is no checksum.
namespace hexstamp::image {

namespace {

constexpr std::size_t MaxLineBytes = 2048;

struct TiTxtImage {
    TextOutput text;
    Patch& patch;
    const Report& report;
    TextStyle style;
    std::uint64_t address = 0;
    bool in_section = false;
    bool ended = false;
};

bool is_space(char c) {
    return c == ' ' || c == '\t';
}

std::size_t trimmed_length(const Line& line) {
    std::size_t length = line.length;
    while (length > 0 && is_space(line.text[length - 1])) {
        --length;
    }
    return length;
}

bool section_line(TiTxtImage& image, const Line& line) {
    const std::size_t length = trimmed_length(line);
    std::uint64_t address = 0;
    std::size_t at = 1;
    for (; at < length && hex_digit(line.text[at]) >= 0 && address <= 0xFFFFFFFFu; ++at) {
        address = address << 4u | static_cast<unsigned>(hex_digit(line.text[at]));
    }
    if (at == 1 || at != length || address > 0xFFFFFFFFu) {
        image.report.error(line.number, "a bad address: \"@\" takes 1 to 8 hexadecimal digits");
        return false;
    }
    image.address = address;
    image.in_section = true;
    image.text.copy(line);
    return true;
}

// The digits of each byte of a data line, where they lie in it.
struct DataLine {
    std::uint8_t bytes[MaxLineBytes];
    std::size_t at[MaxLineBytes];
    std::size_t count = 0;
};

bool read_data(TiTxtImage& image, const Line& line, DataLine& data) {
    for (std::size_t at = 0; at < line.length;) {
        if (is_space(line.text[at])) {
            ++at;
            continue;
        }
        std::size_t digits = 0;
        while (at + digits < line.length && !is_space(line.text[at + digits])) {
            if (hex_digit(line.text[at + digits]) < 0) {
                image.report.error(line.number,
                                   "column %zu: '%c' is neither a hexadecimal digit "
                                   "nor \"@\" or \"q\"",
                                   at + digits + 1, line.text[at + digits]);
                return false;
            }
            ++digits;
        }
        if (digits != 2) {
            image.report.error(line.number,
                               "column %zu: a byte of %zu hexadecimal digits; each "
                               "byte takes 2",
                               at + 1, digits);
            return false;
        }
        data.at[data.count] = at;
        data.bytes[data.count++] =
            static_cast<std::uint8_t>(hex_digit(line.text[at]) * 16 + hex_digit(line.text[at + 1]));
        at += 2;
    }
    return true;
}

void write_digits(char* at, unsigned value, Letters letters) {
    const char* digits = letters == Letters::Upper ? "0123456789ABCDEF" : "0123456789abcdef";
    at[0] = digits[value >> 4u];
    at[1] = digits[value & 0xFu];
}

bool data_line(TiTxtImage& image, const Line& line) {
    if (!image.in_section) {
        image.report.error(line.number, "data before the first \"@ADDR\" line");
        return false;
    }
    DataLine data;
    if (!read_data(image, line, data)) {
        return false;
    }
    for (std::size_t index = 0; index < data.count; ++index) {
        const char* pair = line.text + data.at[index];
        if (hex_digit(pair[0]) > 9 || hex_digit(pair[1]) > 9) {
            image.style.letters =
                (pair[0] >= 'a' && pair[0] <= 'f') || (pair[1] >= 'a' && pair[1] <= 'f')
                    ? Letters::Lower
                    : Letters::Upper;
        }
    }
    if (line.ending_length > 0) {
        std::memcpy(image.style.ending, line.ending, line.ending_length);
        image.style.ending[line.ending_length] = '\0';
    }
    std::uint8_t original[MaxLineBytes];
    std::memcpy(original, data.bytes, data.count);
    const bool touched = image.patch.visit_record(image.address, data.bytes, data.count);
    image.address += data.count;
    if (!image.text.writing() || !touched) {
        image.text.copy(line);
        return true;
    }
    // Only the digits of the bytes that changed are written anew, in the case they had.
    char text[4096];
    std::memcpy(text, line.text, line.length);
    for (std::size_t index = 0; index < data.count; ++index) {
        if (data.bytes[index] != original[index]) {
            char* pair = text + data.at[index];
            const bool lower =
                (pair[0] >= 'a' && pair[0] <= 'f') || (pair[1] >= 'a' && pair[1] <= 'f');
            const bool upper =
                (pair[0] >= 'A' && pair[0] <= 'F') || (pair[1] >= 'A' && pair[1] <= 'F');
            write_digits(pair, data.bytes[index],
                         lower   ? Letters::Lower
                         : upper ? Letters::Upper
                                 : image.style.letters);
        }
    }
    std::fwrite(text, 1, line.length, image.text.put());
    std::fwrite(line.ending, 1, line.ending_length, image.text.put());
    return true;
}

// The range's bytes no section held, as sections of their own before "q".
void add_missing(TiTxtImage& image) {
    for_each_missing_run(image.patch, [&](std::uint32_t address, std::size_t index,
                                          std::size_t count) {
        std::fprintf(image.text.put(), image.style.letters == Letters::Upper ? "@%04X" : "@%04x",
                     unsigned{address});
        image.style.write_ending(image.text.put());
        for (std::size_t byte = 0; byte < count; ++byte) {
            std::fputs(byte > 0 ? " " : "", image.text.put());
            write_hex_byte(image.text.put(), image.patch.stamp[index + byte], image.style.letters);
        }
        image.style.write_ending(image.text.put());
    });
}

bool ti_txt_line(TiTxtImage& image, const Line& line) {
    if (is_blank(line)) {
        image.text.copy(line);
        return true;
    }
    if (image.ended) {
        image.report.error(line.number, "text after the \"q\" that ends the file");
        return false;
    }
    std::size_t start = 0;
    while (is_space(line.text[start])) {
        ++start;
    }
    if (line.text[start] == '@') {
        return section_line(image, line);
    }
    if ((line.text[start] == 'q' || line.text[start] == 'Q') && trimmed_length(line) == start + 1) {
        if (image.text.writing() && image.patch.stamp != nullptr) {
            add_missing(image);
        }
        image.ended = true;
        image.text.copy(line);
        return true;
    }
    return data_line(image, line);
}

} // namespace

bool process_ti_txt(std::FILE* in, std::FILE* out, Patch& patch, const Report& report) {
    TiTxtImage image{TextOutput(in, out), patch, report, {}};
    const bool ok =
        for_each_line(in, report, [&](const Line& line) { return ti_txt_line(image, line); });
    if (ok && !image.ended) {
        report.error(0, "no \"q\" line at the end of the TI-TXT file");
        return false;
    }
    return ok && finish_text(image.text, report);
}

} // namespace hexstamp::image
