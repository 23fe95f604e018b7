#include "image/text_lines.hpp"

#include <cerrno>
#include <cstring>

namespace hexstamp::image {

namespace {

constexpr std::size_t ChunkSize = 64 * 1024;

bool blank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

// Each character's value as a hexadecimal digit, with a flag for a lower-case or an
// upper-case letter, or Invalid: one lookup decodes, checks and tells the case.
constexpr unsigned char Invalid = 0x80, LowerLetter = 0x10, UpperLetter = 0x20;
struct DigitTable {
    unsigned char entry[256];
    constexpr DigitTable() : entry() {
        for (unsigned c = 0; c < 256; ++c) {
            entry[c] = Invalid;
        }
        for (unsigned c = 0; c < 10; ++c) {
            entry['0' + c] = static_cast<unsigned char>(c);
        }
        for (unsigned c = 0; c < 6; ++c) {
            entry['a' + c] = static_cast<unsigned char>((10 + c) | LowerLetter);
            entry['A' + c] = static_cast<unsigned char>((10 + c) | UpperLetter);
        }
    }
};
constexpr DigitTable Digits;

unsigned char digit_entry(char c) {
    return Digits.entry[static_cast<unsigned char>(c)];
}

} // namespace

LineReader::LineReader(std::FILE* in, const Report& report)
    : in_(in), report_(report), buffer_(ChunkSize) {}

bool LineReader::fill() {
    std::memmove(buffer_.data(), buffer_.data() + begin_, end_ - begin_);
    end_ -= begin_;
    buffer_offset_ += begin_;
    begin_ = 0;
    end_ += std::fread(buffer_.data() + end_, 1, buffer_.size() - end_, in_);
    if (std::ferror(in_) != 0) {
        report_.error(0, "cannot read: %s", std::strerror(errno));
        failed_ = true;
    }
    at_end_ = std::feof(in_) != 0;
    return !failed_;
}

bool LineReader::next(Line& line) {
    if (failed_) {
        return false;
    }
    const char* newline = nullptr;
    while (true) {
        newline =
            static_cast<const char*>(std::memchr(buffer_.data() + begin_, '\n', end_ - begin_));
        if (newline != nullptr || at_end_ || end_ - begin_ > MaxLineLength) {
            break;
        }
        if (!fill()) {
            return false;
        }
    }
    const std::size_t available = end_ - begin_;
    if (available == 0) {
        return false;
    }
    const char* start = buffer_.data() + begin_;
    const std::size_t length =
        newline != nullptr ? static_cast<std::size_t>(newline - start) : available;
    if (length > MaxLineLength) {
        report_.error(number_ + 1, "line longer than %zu characters; no record is that long",
                      MaxLineLength);
        failed_ = true;
        return false;
    }
    line.text = start;
    line.offset = buffer_offset_ + begin_;
    line.number = ++number_;
    line.length = length;
    line.ending_length = newline != nullptr ? 1 : 0;
    if (line.length > 0 && newline != nullptr && line.text[line.length - 1] == '\r') {
        --line.length;
        ++line.ending_length;
    }
    line.ending = line.text + line.length;
    begin_ += line.length + line.ending_length;
    return true;
}

bool is_blank(const Line& line) {
    for (std::size_t index = 0; index < line.length; ++index) {
        if (!blank(line.text[index])) {
            return false;
        }
    }
    return true;
}

int hex_digit(char c) {
    const unsigned char entry = digit_entry(c);
    return (entry & Invalid) != 0 ? -1 : entry & 0x0F;
}

bool decode_hex(const Line& line, std::size_t from, TextRecord& record, const Report& report) {
    const std::size_t digits = line.length - from;
    const char* text = line.text + from;
    unsigned flags = 0;
    record.count = 0;
    for (std::size_t at = 0; at + 1 < digits && record.count < TextRecord::MaxBytes; at += 2) {
        const unsigned high = digit_entry(text[at]);
        const unsigned low = digit_entry(text[at + 1]);
        flags |= high | low;
        record.bytes[record.count++] =
            static_cast<std::uint8_t>((high & 0x0Fu) << 4u | (low & 0x0Fu));
    }
    if (digits % 2 != 0) {
        flags |= digit_entry(text[digits - 1]);
    }
    if ((flags & Invalid) != 0) {
        std::size_t at = 0;
        while (hex_digit(text[at]) >= 0) {
            ++at;
        }
        const unsigned code = static_cast<unsigned char>(text[at]);
        report.error(line.number, "column %zu: '%c' (0x%02X) is not a hexadecimal digit",
                     from + at + 1, code >= 0x20 && code < 0x7F ? text[at] : '?', code);
        return false;
    }
    if (digits % 2 != 0) {
        report.error(line.number, "an odd number of hexadecimal digits (%zu)", digits);
        return false;
    }
    if (digits / 2 > TextRecord::MaxBytes) {
        report.error(line.number, "%zu bytes, more than any record holds", digits / 2);
        return false;
    }
    record.has_letters = (flags & (LowerLetter | UpperLetter)) != 0;
    record.letters =
        (flags & UpperLetter) == 0 && record.has_letters ? Letters::Lower : Letters::Upper;
    return true;
}

} // namespace hexstamp::image
