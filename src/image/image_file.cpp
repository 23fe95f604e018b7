#include "image/image_file.hpp"

#include "platform/platform.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

namespace hexstamp::image {

namespace {

constexpr std::size_t ChunkSize = 64 * 1024;
// How much of a text image's unchanged lines waits before it is handed to the copier.
constexpr std::uint64_t CopyBehind = 4 << 20;
// The longest record of either text format is 521 characters; blank lines may be longer,
// but not without bound.
constexpr std::size_t MaxLineLength = 4096;

bool blank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

} // namespace

void Report::error(unsigned long line, const char* format, ...) const {
    if (err == nullptr) { // a question whose answer may be no, not a failure
        return;
    }
    if (line > 0) {
        std::fprintf(err, "hexstamp-image: %s:%lu: ", file, line);
    } else {
        std::fprintf(err, "hexstamp-image: %s: ", file);
    }
    std::va_list arguments;
    va_start(arguments, format);
    std::vfprintf(err, format, arguments);
    va_end(arguments);
    std::fprintf(err, "\n");
}

std::uint8_t Patch::visit(std::uint64_t address, std::uint8_t byte) {
    if (!range.holds(address)) {
        return byte;
    }
    const std::size_t index = static_cast<std::size_t>(address - range.first);
    found[index] = byte;
    present[index] = true;
    return stamp != nullptr ? stamp[index] : byte;
}

bool Patch::visit_record(std::uint64_t address, std::uint8_t* data, std::size_t count) {
    if (contents != nullptr) {
        contents->add(address, data, count);
    }
    // Most records lie outside the range: only those that reach into it are looked into.
    const bool touched = count > 0 && address <= range.last && address + count - 1 >= range.first;
    for (std::size_t index = 0; touched && index < count; ++index) {
        data[index] = visit(address + index, data[index]);
    }
    return touched;
}

std::size_t Patch::missing() const {
    std::size_t count = 0;
    for (std::size_t index = 0; index < range.length(); ++index) {
        count += present[index] ? 0 : 1;
    }
    return count;
}

bool file_size(std::FILE* in, const Report& report, std::uint64_t& size) {
    if (!platform::size_of(in, size)) {
        report.error(0, "cannot tell the file's size: %s", std::strerror(errno));
        return false;
    }
    return true;
}

bool read_at(std::FILE* in, std::uint64_t offset, void* bytes, std::size_t count) {
    return platform::seek(in, offset) && std::fread(bytes, 1, count, in) == count;
}

bool read_whole_file(std::FILE* in, const Report& report, std::vector<std::uint8_t>& bytes) {
    std::uint64_t size = 0;
    if (!file_size(in, report, size)) {
        return false;
    }
    if (size > bytes.max_size()) {
        report.error(0, "too large to read whole: %llu bytes",
                     static_cast<unsigned long long>(size));
        return false;
    }
    bytes.resize(static_cast<std::size_t>(size));
    if (!read_at(in, 0, bytes.data(), bytes.size())) {
        report.error(0, "cannot read the whole file: %s",
                     std::ferror(in) != 0 ? std::strerror(errno) : "it ended early");
        return false;
    }
    return true;
}

void write_bytes(std::FILE* out, const std::vector<std::uint8_t>& bytes) {
    if (out != nullptr) {
        std::fwrite(bytes.data(), 1, bytes.size(), out);
    }
}

bool add_file_bytes(std::FILE* in, std::uint64_t offset, std::uint64_t size, std::uint64_t address,
                    bool may_be_ram, Contents& contents, const Report& report) {
    std::uint8_t chunk[ChunkSize];
    for (std::uint64_t done = 0; done < size;) {
        const auto count =
            static_cast<std::size_t>(std::min<std::uint64_t>(ChunkSize, size - done));
        if (!read_at(in, offset + done, chunk, count)) {
            report.error(0, "cannot read the file at 0x%llX: %s",
                         static_cast<unsigned long long>(offset + done),
                         std::ferror(in) != 0 ? std::strerror(errno) : "it ended early");
            return false;
        }
        contents.add(address + done, chunk, count, may_be_ram);
        done += count;
    }
    return true;
}

bool copy_patched(std::FILE* in, std::uint64_t size, std::uint64_t offset, std::FILE* out,
                  Patch& patch, const Report& report) {
    // The range's bytes are all there is to read; the rest of the file, at most 16 bytes
    // apart, is copied by the kernel where it can.
    const std::size_t length =
        offset < size
            ? static_cast<std::size_t>(std::min<std::uint64_t>(size - offset, patch.range.length()))
            : 0;
    std::uint8_t bytes[MaxStampLength] = {};
    bool ok =
        (out == nullptr || length == patch.range.length()) && read_at(in, offset, bytes, length);
    for (std::size_t index = 0; ok && index < length; ++index) {
        bytes[index] = patch.visit(patch.range.first + index, bytes[index]);
    }
    ok = ok && (out == nullptr ||
                (platform::copy_file_data(in, out, size) && platform::seek(out, offset) &&
                 std::fwrite(bytes, 1, length, out) == length));
    if (!ok && out != nullptr && std::ferror(out) != 0) {
        report.error(0, "cannot write the stamped copy: %s", std::strerror(errno));
    } else if (!ok) {
        report.error(0, "cannot read the whole file: %s",
                     std::ferror(in) != 0 || length == patch.range.length() ? std::strerror(errno)
                                                                            : "it ended early");
    }
    return ok;
}

LineReader::LineReader(std::FILE* in, const Report& report)
    : in_(in), report_(report), buffer_(static_cast<char*>(std::malloc(ChunkSize))) {
    failed_ = buffer_ == nullptr;
    if (failed_) {
        report_.error(0, "out of memory");
    }
}

LineReader::~LineReader() {
    std::free(buffer_);
}

bool LineReader::fill() {
    std::memmove(buffer_, buffer_ + begin_, end_ - begin_);
    end_ -= begin_;
    buffer_offset_ += begin_;
    begin_ = 0;
    end_ += std::fread(buffer_ + end_, 1, ChunkSize - end_, in_);
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
        newline = static_cast<const char*>(std::memchr(buffer_ + begin_, '\n', end_ - begin_));
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
    const std::size_t length =
        newline != nullptr ? static_cast<std::size_t>(newline - (buffer_ + begin_)) : available;
    if (length > MaxLineLength) {
        report_.error(number_ + 1, "line longer than %zu characters; no record is that long",
                      MaxLineLength);
        failed_ = true;
        return false;
    }
    line.text = buffer_ + begin_;
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

namespace {

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

int hex_digit(char c) {
    const unsigned char entry = digit_entry(c);
    return (entry & Invalid) != 0 ? -1 : entry & 0x0F;
}

TextOutput::TextOutput(std::FILE* in, std::FILE* out)
    : out_(out), copier_(out != nullptr && platform::FileCopier::available()
                             ? std::make_unique<platform::FileCopier>(in, out)
                             : nullptr) {}

TextOutput::~TextOutput() {
    if (scratch_ != nullptr) {
        std::fclose(scratch_);
        std::free(bytes_);
    }
}

void TextOutput::copy_run() {
    if (to_ > from_) {
        copier_->copy(from_, to_ - from_, out_at_);
        out_at_ += to_ - from_;
        from_ = to_;
    }
}

// The lines written since the last copy, placed after it.
void TextOutput::collect() {
    if (scratch_ == nullptr) {
        return;
    }
    char* bytes = nullptr;
    std::size_t size = 0;
    std::FILE* written = scratch_;
    scratch_ = nullptr;
    // The stream is closed (its bytes then complete) and a new one opened for the next lines.
    failed_ = std::fclose(written) != 0 || bytes_ == nullptr || failed_;
    bytes = bytes_;
    size = size_;
    bytes_ = nullptr;
    failed_ = failed_ || !copier_->write(bytes, size, out_at_);
    out_at_ += size;
    std::free(bytes);
}

void TextOutput::copy(const Line& line) {
    if (out_ == nullptr) {
        return;
    }
    if (copier_ == nullptr) {
        std::fwrite(line.text, 1, line.length + line.ending_length, out_);
        return;
    }
    collect();
    if (line.offset != to_) {
        copy_run();
        from_ = line.offset;
    }
    to_ = line.offset + line.length + line.ending_length;
    // The copy follows the reading closely, so that it ends soon after the last line is read.
    if (to_ - from_ >= CopyBehind) {
        copy_run();
    }
}

std::FILE* TextOutput::put() {
    if (out_ == nullptr || copier_ == nullptr) {
        return out_;
    }
    copy_run();
    from_ = to_ = 0;
    if (scratch_ == nullptr) {
        scratch_ = platform::open_memory_stream(&bytes_, &size_);
        failed_ = failed_ || scratch_ == nullptr;
    }
    return scratch_ != nullptr ? scratch_ : out_;
}

bool TextOutput::finish() {
    if (copier_ != nullptr) {
        collect();
        copy_run();
        failed_ = !copier_->finish(out_at_) || failed_;
    }
    return !failed_;
}

bool finish_text(TextOutput& text, const Report& report) {
    if (!text.finish()) {
        report.error(0, "cannot write the stamped copy: %s", std::strerror(errno));
        return false;
    }
    return true;
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

void TextStyle::learn(const Line& line, const TextRecord& record) {
    if (line.ending_length > 0) {
        std::memcpy(ending, line.ending, line.ending_length);
        ending[line.ending_length] = '\0';
    }
    if (record.has_letters) {
        letters = record.letters;
    }
}

bool Replacement::open(const char* target, const char* model, const Report& report) {
    // A link stays a link: the file it leads to is the one replaced.
    target_ = platform::real_path(target);
    model_ = model;
    // Beside the target, so that the rename stays within one file system; the new file never
    // overwrites one that happens to have the name already.
    for (int attempt = 0; out_ == nullptr && attempt < 100; ++attempt) {
        temporary_ = target_ + ".hexstamp-" + platform::unique_name_part() + ".tmp";
        out_ = platform::create_file(temporary_.c_str());
        if (out_ == nullptr && errno != EEXIST) {
            break;
        }
    }
    if (out_ == nullptr) {
        report.error(0, "cannot create a file beside %s: %s", target, std::strerror(errno));
        temporary_.clear();
    } else {
        platform::remember_temporary(temporary_.c_str());
    }
    return out_ != nullptr;
}

bool Replacement::finish(const Report& report) {
    const bool written = std::fflush(out_) == 0 && std::ferror(out_) == 0;
    const int error = errno;
    const bool closed = std::fclose(out_) == 0;
    out_ = nullptr;
    if (!written || !closed) {
        report.error(0, "cannot write %s: %s", temporary_.c_str(),
                     std::strerror(written ? errno : error));
    }
    return written && closed;
}

bool Replacement::commit(const Report& report) {
    std::string why;
    if (!platform::replace_file(temporary_.c_str(), target_.c_str(), model_.c_str(), why)) {
        report.error(0, "cannot replace %s: %s", target_.c_str(), why.c_str());
        return false;
    }
    platform::forget_temporary(temporary_.c_str());
    temporary_.clear();
    return true;
}

void Replacement::discard() {
    if (out_ != nullptr) {
        std::fclose(out_);
        out_ = nullptr;
    }
    if (!temporary_.empty()) {
        platform::remove_file(temporary_.c_str());
        platform::forget_temporary(temporary_.c_str());
        temporary_.clear();
    }
}

} // namespace hexstamp::image
