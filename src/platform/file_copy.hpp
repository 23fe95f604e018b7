#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>

// Copying an image into its new file at the speed of the kernel's own copy.
namespace hexstamp::platform {

// Copies the first `size` bytes of `in` to the start of `out`, through the kernel where it
// can (a copy or a clone within the file system), else through a buffer. Both are flushed
// first; the file positions are left undefined. Holes of a sparse file stay holes.
bool copy_file_data(std::FILE* in, std::FILE* out, std::uint64_t size);

// Copies parts of one file into another on a thread of its own, through the kernel where it
// can, while the caller goes on reading the first through its stream: a text image that
// changes in one line is checked and copied at once. Only where the system reads a file at
// an offset without moving its position (POSIX); elsewhere available() is false.
class FileCopier {
  public:
    FileCopier(std::FILE* in, std::FILE* out);
    FileCopier(const FileCopier&) = delete;
    FileCopier& operator=(const FileCopier&) = delete;
    ~FileCopier();
    static bool available();
    // Copies `length` bytes of `in` from `from` to `out` at `to`, after the copies before.
    void copy(std::uint64_t from, std::uint64_t length, std::uint64_t to);
    // Writes `size` bytes to `out` at `to`, now.
    bool write(const void* bytes, std::size_t size, std::uint64_t to);
    // Waits for every copy and leaves `out` at `end`; false when any copy or write failed.
    bool finish(std::uint64_t end);

  private:
    struct Work;
    std::unique_ptr<Work> work_;
};

// A stream whose bytes are written into memory: after fclose, `*bytes` (to free) holds `*size`
// of them. Where FileCopier is available.
std::FILE* open_memory_stream(char** bytes, std::size_t* size);

} // namespace hexstamp::platform
