#include "formats/format.hpp"
#include "formats/text_start.hpp"
#include "image/text_image.hpp"

#include <cstring>

// TI-TXT (MSP430 and other TI parts): "@ADDR" starts a section, the lines after it hold bytes
// as pairs of hexadecimal digits apart, and a line "q" ends the file. There is no checksum.
namespace hexstamp::image {

namespace {

constexpr std::size_t MaxLineBytes = 2048;

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

// Where the line's text starts, after its leading blanks.
std::size_t text_start(const Line& line) {
    std::size_t start = 0;
    while (start < line.length && is_space(line.text[start])) {
        ++start;
    }
    return start;
}

// "@ADDR", after any blanks: the section's address.
bool parse_section(const Line& line, std::uint64_t& address, const Report& report) {
    const std::size_t length = trimmed_length(line);
    const std::size_t first = text_start(line) + 1;
    std::size_t at = first;
    address = 0;
    for (; at < length && hex_digit(line.text[at]) >= 0 && address <= 0xFFFFFFFFu; ++at) {
        address = address << 4u | static_cast<unsigned>(hex_digit(line.text[at]));
    }
    if (line.text[first - 1] != '@' || at == first || at != length || address > 0xFFFFFFFFu) {
        report.error(line.number, "a bad address: \"@\" takes 1 to 8 hexadecimal digits");
        return false;
    }
    return true;
}

// The digits of each byte of a data line, where they lie in it.
struct DataLine {
    std::uint8_t bytes[MaxLineBytes];
    std::size_t at[MaxLineBytes];
    std::size_t count = 0;
};

bool read_data(const Line& line, DataLine& data, const Report& report) {
    for (std::size_t at = 0; at < line.length;) {
        if (is_space(line.text[at])) {
            ++at;
            continue;
        }
        std::size_t digits = 0;
        while (at + digits < line.length && !is_space(line.text[at + digits])) {
            if (hex_digit(line.text[at + digits]) < 0) {
                report.error(line.number,
                             "column %zu: '%c' is neither a hexadecimal digit nor \"@\" or \"q\"",
                             at + digits + 1, line.text[at + digits]);
                return false;
            }
            ++digits;
        }
        if (digits != 2) {
            report.error(line.number,
                         "column %zu: a byte of %zu hexadecimal digits; each byte takes 2", at + 1,
                         digits);
            return false;
        }
        data.at[data.count] = at;
        data.bytes[data.count++] =
            static_cast<std::uint8_t>(hex_digit(line.text[at]) * 16 + hex_digit(line.text[at + 1]));
        at += 2;
    }
    return true;
}

bool is_lower(char c) {
    return c >= 'a' && c <= 'f';
}

bool is_upper(char c) {
    return c >= 'A' && c <= 'F';
}

void write_digits(char* at, unsigned value, Letters letters) {
    const char* digits = letters == Letters::Upper ? "0123456789ABCDEF" : "0123456789abcdef";
    at[0] = digits[value >> 4u];
    at[1] = digits[value & 0xFu];
}

class TiTxtSyntax : public TextSyntax {
  public:
    bool line(TextImage& image, const Line& line) override {
        if (ended_) {
            image.report.error(line.number, "text after the \"q\" that ends the file");
            return false;
        }
        const std::size_t start = text_start(line);
        if (line.text[start] == '@') {
            if (!parse_section(line, address_, image.report)) {
                return false;
            }
            in_section_ = true;
            image.text.copy(line);
            return true;
        }
        if ((line.text[start] == 'q' || line.text[start] == 'Q') &&
            trimmed_length(line) == start + 1) {
            if (image.adding()) {
                add_missing(image);
            }
            ended_ = true;
            image.text.copy(line);
            return true;
        }
        return data_line(image, line);
    }

    bool end(TextImage& image) override {
        if (!ended_) {
            image.report.error(0, "no \"q\" line at the end of the TI-TXT file");
        }
        return ended_;
    }

  private:
    void learn_style(TextImage& image, const Line& line, const DataLine& data) {
        for (std::size_t index = 0; index < data.count; ++index) {
            const char* pair = line.text + data.at[index];
            if (hex_digit(pair[0]) > 9 || hex_digit(pair[1]) > 9) {
                image.style.letters =
                    is_lower(pair[0]) || is_lower(pair[1]) ? Letters::Lower : Letters::Upper;
            }
        }
        image.style.learn_ending(line);
    }

    bool data_line(TextImage& image, const Line& line) {
        if (!in_section_) {
            image.report.error(line.number, "data before the first \"@ADDR\" line");
            return false;
        }
        DataLine data;
        if (!read_data(line, data, image.report)) {
            return false;
        }
        learn_style(image, line, data);
        std::uint8_t original[MaxLineBytes];
        std::memcpy(original, data.bytes, data.count);
        const bool touched = image.patch.visit_record(address_, data.bytes, data.count);
        address_ += data.count;
        if (!image.text.writing() || !touched) {
            image.text.copy(line);
            return true;
        }
        // Only the digits of the bytes that changed are written anew, in the case they had.
        char text[LineReader::MaxLineLength];
        std::memcpy(text, line.text, line.length);
        for (std::size_t index = 0; index < data.count; ++index) {
            if (data.bytes[index] != original[index]) {
                char* pair = text + data.at[index];
                const bool lower = is_lower(pair[0]) || is_lower(pair[1]);
                const bool upper = is_upper(pair[0]) || is_upper(pair[1]);
                write_digits(pair, data.bytes[index],
                             lower   ? Letters::Lower
                             : upper ? Letters::Upper
                                     : image.style.letters);
            }
        }
        std::fwrite(text, 1, line.length, image.text.put());
        image.end_as(line);
        return true;
    }

    // The range's bytes no section held, as sections of their own before "q".
    void add_missing(TextImage& image) {
        for_each_missing_run(
            image.patch, [&](std::uint32_t address, std::size_t index, std::size_t count) {
                std::fprintf(image.text.put(),
                             image.style.letters == Letters::Upper ? "@%04X" : "@%04x",
                             unsigned{address});
                image.style.write_ending(image.text.put());
                for (std::size_t byte = 0; byte < count; ++byte) {
                    std::fputs(byte > 0 ? " " : "", image.text.put());
                    write_hex_byte(image.text.put(), image.patch.stamp[index + byte],
                                   image.style.letters);
                }
                image.style.write_ending(image.text.put());
            });
    }

    std::uint64_t address_ = 0;
    bool in_section_ = false;
    bool ended_ = false;
};

bool process(const Job& job) {
    TiTxtSyntax syntax;
    return process_text(job.in, job.out, job.patch, job.report, syntax, job.checks);
}

bool parses(const Line& line, const Report& report) {
    std::uint64_t address = 0;
    return parse_section(line, address, report);
}

bool recognise(const Probe& probe) {
    return starts_with_record(probe, parses);
}

bool resembles(const Probe& probe, std::string& why) {
    return starts_like(probe, '@', false, parses, why);
}

} // namespace

extern const Format TiTxtFormat;
const Format TiTxtFormat{"TI-TXT", true, false, recognise, process, resembles};

} // namespace hexstamp::image
