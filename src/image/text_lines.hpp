#pragma once

#include "image/report.hpp"
#include "stamp/intel_hex.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

// The lines of a text image, and the pairs of hexadecimal digits that the text formats hold
// their bytes in.
namespace hexstamp::image {

// One line of a text image: its characters and its line ending ("\n", "\r\n" or none).
struct Line {
    const char* text = nullptr;
    std::size_t length = 0;
    const char* ending = nullptr;
    std::size_t ending_length = 0;
    unsigned long number = 0;
    std::uint64_t offset = 0; // where the line starts in the file
};

// Reads a text image line by line through a buffer of fixed size, so that memory does not
// grow with the file. A line longer than any record is refused.
class LineReader {
  public:
    // The longest record of any text format is 521 characters; blank lines may be longer,
    // but not without bound.
    static constexpr std::size_t MaxLineLength = 4096;

    LineReader(std::FILE* in, const Report& report);
    LineReader(const LineReader&) = delete;
    LineReader& operator=(const LineReader&) = delete;
    // False at the end of the file, or on an error (then failed() is true).
    bool next(Line& line);
    bool failed() const { return failed_; }

  private:
    bool fill();

    std::FILE* in_;
    const Report& report_;
    std::vector<char> buffer_;
    std::size_t begin_ = 0;
    std::size_t end_ = 0;
    std::uint64_t buffer_offset_ = 0; // where the buffer's first byte lies in the file
    unsigned long number_ = 0;
    bool at_end_ = false;
    bool failed_ = false;
};

// Whether a line holds nothing but blanks.
bool is_blank(const Line& line);

// The value of a hexadecimal digit, or -1.
int hex_digit(char c);

// A line's bytes from `from` on, decoded from pairs of hexadecimal digits, and the case of
// their letters, to reuse for lines written anew.
struct TextRecord {
    static constexpr std::size_t MaxBytes = 262;
    std::uint8_t bytes[MaxBytes];
    std::size_t count = 0;
    Letters letters = Letters::Upper;
    bool has_letters = false;
};
bool decode_hex(const Line& line, std::size_t from, TextRecord& record, const Report& report);

} // namespace hexstamp::image
