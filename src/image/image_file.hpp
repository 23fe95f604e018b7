#pragma once

#include "image/contents.hpp"
#include "platform/platform.hpp"
#include "stamp/date_time_stamp.hpp"
#include "stamp/intel_hex.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

// What every image format shares: diagnostics that name the file and line, the stamp's
// range and bytes, detection of the format, a streaming line reader and the atomic
// replacement of a file.
namespace hexstamp::image {

// MinGW names the C99 printf it builds with (%zu, %llu) as its format style; elsewhere that
// is plain printf.
#ifndef __MINGW_PRINTF_FORMAT
#define __MINGW_PRINTF_FORMAT printf
#endif
#define HEXSTAMP_PRINTF(format_index)                                                              \
    __attribute__((format(__MINGW_PRINTF_FORMAT, format_index, format_index + 1)))

// Exit statuses of hexstamp-image, as grep's: for show, 1 means the range holds no stamp.
enum ImageStatus : int {
    ImageSuccess = 0,
    NoStamp = 1,
    ImageFailed = 2,
};

// Diagnostics about one file: "hexstamp-image: FILE: ..." or "hexstamp-image: FILE:LINE: ...";
// with no stream, none.
struct Report {
    std::FILE* err;
    const char* file;
    // Line 0: the message concerns the whole file.
    void error(unsigned long line, const char* format, ...) const HEXSTAMP_PRINTF(3);
};

// The address range of a stamp, 1 to MaxStampLength bytes.
struct Range {
    std::uint32_t first = 0;
    std::uint32_t last = 0;
    std::size_t length() const { return static_cast<std::size_t>(last - first) + 1; }
    bool holds(std::uint64_t address) const { return address >= first && address <= last; }
};

// One image's part in a run: the range, the bytes to write there (none: the image is only
// read) and the bytes the image held there before; and, when asked for, every byte it holds.
struct Patch {
    Range range;
    const std::uint8_t* stamp = nullptr;
    Contents* contents = nullptr;
    std::uint8_t found[MaxStampLength] = {};
    bool present[MaxStampLength] = {};

    // Records the image's byte at `address`, and gives the byte to keep there.
    std::uint8_t visit(std::uint64_t address, std::uint8_t byte);
    // Passes a record's data at `address` through visit, and into the contents when asked
    // for; true when it holds bytes of the range.
    bool visit_record(std::uint64_t address, std::uint8_t* data, std::size_t count);
    std::size_t missing() const;
    // Set when copies of the range within one image disagree (the families of a UF2 file):
    // the image then holds no one stamp.
    const char* disagreement = nullptr;
};

// The size of an open file in bytes; false when it cannot be told or the C library cannot
// seek that far.
bool file_size(std::FILE* in, const Report& report, std::uint64_t& size);

// Reads `count` bytes at `offset`.
bool read_at(std::FILE* in, std::uint64_t offset, void* bytes, std::size_t count);

// Reads the whole file, for formats whose checksums cover it; false, with the reason
// reported, when it cannot be read.
bool read_whole_file(std::FILE* in, const Report& report, std::vector<std::uint8_t>& bytes);
// Writes `bytes` to `out` (none: only reading).
void write_bytes(std::FILE* out, const std::vector<std::uint8_t>& bytes);

// Little-endian fields of binary formats.
inline std::uint32_t get_le32(const std::uint8_t* at) {
    return static_cast<std::uint32_t>(at[0]) | static_cast<std::uint32_t>(at[1]) << 8u |
           static_cast<std::uint32_t>(at[2]) << 16u | static_cast<std::uint32_t>(at[3]) << 24u;
}
inline void put_le32(std::uint8_t* at, std::uint32_t value) {
    for (unsigned index = 0; index < 4; ++index) {
        at[index] = static_cast<std::uint8_t>(value >> (8u * index));
    }
}

// Adds `size` bytes of the file at `offset` to the contents, at `address`. False, with the
// reason reported, when the file cannot be read.
bool add_file_bytes(std::FILE* in, std::uint64_t offset, std::uint64_t size, std::uint64_t address,
                    bool may_be_ram, Contents& contents, const Report& report);

// Copies the whole file to `out` (null: reads only), passing every byte of the range at
// `offset` through the patch. False, with the reason reported, when the file cannot be read.
bool copy_patched(std::FILE* in, std::uint64_t size, std::uint64_t offset, std::FILE* out,
                  Patch& patch, const Report& report);

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
    LineReader(std::FILE* in, const Report& report);
    LineReader(const LineReader&) = delete;
    LineReader& operator=(const LineReader&) = delete;
    ~LineReader();
    // False at the end of the file, or on an error (then failed() is true).
    bool next(Line& line);
    bool failed() const { return failed_; }

  private:
    bool fill();

    std::FILE* in_;
    const Report& report_;
    char* buffer_;
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

// The new file of a text image: lines that stay as they were are copied from the input in
// long runs, by the kernel on a thread of its own where it can, while the lines after them
// are read and checked, so that a stamp that changes one line of a large file costs little
// more than reading it; lines that change or are added are written. Without `out`, it only
// reads.
class TextOutput {
  public:
    TextOutput(std::FILE* in, std::FILE* out);
    // Not moved: the memory stream writes into this object's members.
    TextOutput(TextOutput&&) = delete;
    TextOutput(const TextOutput&) = delete;
    TextOutput& operator=(const TextOutput&) = delete;
    TextOutput& operator=(TextOutput&&) = delete;
    ~TextOutput();
    bool writing() const { return out_ != nullptr; }
    // A line, unchanged.
    void copy(const Line& line);
    // The stream to write changed or added lines to, in the place of the lines not copied.
    std::FILE* put();
    // False when the copy or a write failed.
    bool finish();

  private:
    void copy_run();
    void collect();

    std::FILE* out_;
    std::unique_ptr<platform::FileCopier> copier_;
    std::FILE* scratch_ = nullptr; // the written lines, in memory until they are placed
    char* bytes_ = nullptr;
    std::size_t size_ = 0;
    std::uint64_t from_ = 0; // the run of lines to copy: [from_, to_)
    std::uint64_t to_ = 0;
    std::uint64_t out_at_ = 0; // where the new file's next byte goes
    bool failed_ = false;
};

// Finishes the new file of a text image; false, with the reason reported, when it failed.
bool finish_text(TextOutput& text, const Report& report);

// What the text formats share about a line: its bytes from `from` on, decoded from pairs of
// hexadecimal digits, the case of its letters and its line ending, to reuse for new lines.
struct TextRecord {
    static constexpr std::size_t MaxBytes = 262;
    std::uint8_t bytes[MaxBytes];
    std::size_t count = 0;
    Letters letters = Letters::Upper;
    bool has_letters = false;
};
bool decode_hex(const Line& line, std::size_t from, TextRecord& record, const Report& report);

// The line ending and letter case that lines added to a text file take from the file.
struct TextStyle {
    char ending[3] = "\n";
    Letters letters = Letters::Upper;
    void learn(const Line& line, const TextRecord& record);
    void write_ending(std::FILE* out) const { std::fputs(ending, out); }
};

// Calls `add(address, index, count)` for each run of the range's bytes that no record held,
// split so that no run crosses a 64 KiB boundary.
template <typename Add> void for_each_missing_run(const Patch& patch, Add add) {
    std::size_t index = 0;
    while (index < patch.range.length()) {
        if (patch.present[index]) {
            ++index;
            continue;
        }
        const std::uint32_t address = patch.range.first + static_cast<std::uint32_t>(index);
        std::size_t count = 1;
        while (index + count < patch.range.length() && !patch.present[index + count] &&
               ((address + count) & 0xFFFFu) != 0) {
            ++count;
        }
        add(address, index, count);
        index += count;
    }
}

// A new file that takes the place of `target` only when complete: written beside it and
// renamed over it, with the permission bits of `target` (or, for a new file, of `model`).
// Anything not committed is removed.
class Replacement {
  public:
    Replacement() = default;
    Replacement(const Replacement&) = delete;
    Replacement& operator=(const Replacement&) = delete;
    ~Replacement() { discard(); }
    bool open(const char* target, const char* model, const Report& report);
    std::FILE* out() const { return out_; }
    // Closes the new file, checking every write. False, with the reason reported, on error.
    bool finish(const Report& report);
    // Renames the finished file over the target.
    bool commit(const Report& report);
    void discard();

  private:
    std::FILE* out_ = nullptr;
    std::string target_;
    std::string temporary_;
    std::string model_;
};

} // namespace hexstamp::image
