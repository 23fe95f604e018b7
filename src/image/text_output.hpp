#pragma once

#include "image/report.hpp"
#include "image/text_lines.hpp"
#include "platform/file_copy.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>

namespace hexstamp::image {

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

} // namespace hexstamp::image
