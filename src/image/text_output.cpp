#include "image/text_output.hpp"

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace hexstamp::image {

namespace {

// How much of a text image's unchanged lines waits before it is handed to the copier.
constexpr std::uint64_t CopyBehind = 4 << 20;

} // namespace

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
    std::FILE* written = scratch_;
    scratch_ = nullptr;
    // The stream is closed (its bytes then complete) and a new one opened for the next lines.
    failed_ = std::fclose(written) != 0 || bytes_ == nullptr || failed_;
    char* bytes = bytes_;
    const std::size_t size = size_;
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

} // namespace hexstamp::image
