#include "platform/file_copy.hpp"

#include "platform/files.hpp"

#include <algorithm>
#include <cstring>
#include <vector>

#ifndef _WIN32
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <deque>
#endif

namespace hexstamp::platform {

namespace {

bool all_zero(const char* bytes, std::size_t count) {
    return count == 0 || (bytes[0] == 0 && std::memcmp(bytes, bytes + 1, count - 1) == 0);
}

// A block of zeros before the last is sought over, not written: where the file system
// allows it, a sparse image keeps its holes.
bool copy_through_buffer(std::FILE* in, std::FILE* out, std::uint64_t size) {
    std::vector<char> buffer(1 << 20);
    bool ok = seek(in, 0) && seek(out, 0);
    for (std::uint64_t at = 0; ok && at < size;) {
        const auto want =
            static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), size - at));
        ok = std::fread(buffer.data(), 1, want, in) == want;
        at += want;
        ok = ok && (at < size && all_zero(buffer.data(), want)
                        ? seek(out, at)
                        : std::fwrite(buffer.data(), 1, want, out) == want);
    }
    return ok;
}

} // namespace

#ifdef _WIN32

bool copy_file_data(std::FILE* in, std::FILE* out, std::uint64_t size) {
    return std::fflush(out) == 0 && copy_through_buffer(in, out, size);
}

// Reading at an offset moves a Windows file's position: text is written through the stream.
struct FileCopier::Work {};

FileCopier::FileCopier(std::FILE*, std::FILE*) {}

FileCopier::~FileCopier() = default;

bool FileCopier::available() {
    return false;
}

void FileCopier::copy(std::uint64_t, std::uint64_t, std::uint64_t) {}

bool FileCopier::write(const void*, std::size_t, std::uint64_t) {
    return false;
}

bool FileCopier::finish(std::uint64_t) {
    return false;
}

std::FILE* open_memory_stream(char**, std::size_t*) {
    return nullptr;
}

#else

namespace {

// Copies `length` bytes between two files at the given offsets, moving neither position. Its
// buffer is its own: the copier's thread and the program's thread may copy at once.
bool copy_at(int from, off_t read_at, std::uint64_t length, int to, off_t write_at) {
#if defined(__linux__) && !defined(HEXSTAMP_NO_LINUX_CALLS)
    while (length > 0) {
        const ssize_t copied = copy_file_range(
            from, &read_at, to, &write_at,
            static_cast<std::size_t>(std::min<std::uint64_t>(length, std::uint64_t{1} << 30)), 0);
        if (copied <= 0) {
            break; // not across these file systems, or not by this kernel: pread and pwrite
        }
        length -= static_cast<std::uint64_t>(copied);
    }
#endif
    char buffer[1 << 16];
    while (length > 0) {
        const ssize_t got = pread(
            from, buffer, static_cast<std::size_t>(std::min<std::uint64_t>(length, sizeof buffer)),
            read_at);
        if (got <= 0 || pwrite(to, buffer, static_cast<std::size_t>(got), write_at) != got) {
            return false;
        }
        read_at += got;
        write_at += got;
        length -= static_cast<std::uint64_t>(got);
    }
    return true;
}

// fallocate, copy_file_range and SEEK_DATA are Linux's; other POSIX systems copy through a
// buffer. HEXSTAMP_NO_LINUX_CALLS builds that path on Linux, to test it.
#if defined(__linux__) && !defined(HEXSTAMP_NO_LINUX_CALLS)
// Copies the data extents of `in`, at the same offsets, so that the holes of a sparse image
// stay holes.
bool copy_extents(int in, int out, std::uint64_t size) {
    struct stat status {};
    const auto end_of_file = static_cast<off_t>(size);
    // Blocks allocated now, not when the rename over the image makes the file system flush
    // them (ext4 does, for a file that replaces another), which would take as long again.
    // Where the file system allocates none ahead, the copy goes on without.
    if (fstat(in, &status) == 0 && static_cast<std::uint64_t>(status.st_blocks) * 512 >= size) {
        [[maybe_unused]] const int allocated = fallocate(out, 0, 0, end_of_file);
    }
    for (off_t data = 0; data < end_of_file;) {
        off_t from = lseek(in, data, SEEK_DATA);
        if (from < 0) {
            break; // ENXIO: only a hole is left
        }
        off_t hole = lseek(in, from, SEEK_HOLE);
        hole = hole < 0 ? end_of_file : std::min(hole, end_of_file);
        if (!copy_at(in, from, static_cast<std::uint64_t>(hole - from), out, from)) {
            return false;
        }
        data = hole;
    }
    return ftruncate(out, end_of_file) == 0;
}
#endif

} // namespace

bool copy_file_data(std::FILE* in, std::FILE* out, std::uint64_t size) {
    if (std::fflush(out) != 0) {
        return false;
    }
#if defined(__linux__) && !defined(HEXSTAMP_NO_LINUX_CALLS)
    if (copy_extents(fileno(in), fileno(out), size)) {
        return true;
    }
#endif
    // Not across these file systems, or not by this kernel or system: through a buffer.
    return copy_through_buffer(in, out, size);
}

// The worker is a POSIX thread: std::thread would bring much of the C++ library along
// (std::system_error, the demangler) into a static program that otherwise needs none of it.
struct FileCopier::Work {
    struct Part {
        std::uint64_t from, length, to;
    };
    int in, out;
    pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t changed = PTHREAD_COND_INITIALIZER;
    std::deque<Part> parts;
    bool done = false;
    bool failed = false;
    bool running = false;
    pthread_t worker{};

    static void* run(void* self) {
        static_cast<Work*>(self)->copy_parts();
        return nullptr;
    }

    void copy_parts() {
        pthread_mutex_lock(&lock);
        while (true) {
            while (!done && parts.empty()) {
                pthread_cond_wait(&changed, &lock);
            }
            if (parts.empty()) {
                break;
            }
            const Part part = parts.front();
            parts.pop_front();
            pthread_mutex_unlock(&lock);
            const bool copied = copy_at(in, static_cast<off_t>(part.from), part.length, out,
                                        static_cast<off_t>(part.to));
            pthread_mutex_lock(&lock);
            failed = failed || !copied;
        }
        pthread_mutex_unlock(&lock);
    }

    // Without a thread, each part is copied when it is given.
    void add(const Part& part) {
        if (!running) {
            failed = failed || !copy_at(in, static_cast<off_t>(part.from), part.length, out,
                                        static_cast<off_t>(part.to));
            return;
        }
        pthread_mutex_lock(&lock);
        parts.push_back(part);
        pthread_cond_signal(&changed);
        pthread_mutex_unlock(&lock);
    }

    void stop() {
        if (!running) {
            return;
        }
        pthread_mutex_lock(&lock);
        done = true;
        pthread_cond_signal(&changed);
        pthread_mutex_unlock(&lock);
        pthread_join(worker, nullptr);
        running = false;
    }
};

FileCopier::FileCopier(std::FILE* in, std::FILE* out) : work_(std::make_unique<Work>()) {
    work_->in = fileno(in);
    work_->out = fileno(out);
#if defined(__linux__) && !defined(HEXSTAMP_NO_LINUX_CALLS)
    // The new file's blocks allocated now, as for copy_file_data: else the rename over the
    // image makes ext4 flush them. finish() cuts the file to its size.
    struct stat status {};
    if (fstat(work_->in, &status) == 0 && status.st_size > 0) {
        [[maybe_unused]] const int allocated = fallocate(work_->out, 0, 0, status.st_size);
    }
#endif
    work_->running = pthread_create(&work_->worker, nullptr, Work::run, work_.get()) == 0;
}

FileCopier::~FileCopier() {
    work_->stop();
}

bool FileCopier::available() {
    return true;
}

void FileCopier::copy(std::uint64_t from, std::uint64_t length, std::uint64_t to) {
    work_->add({from, length, to});
}

bool FileCopier::write(const void* bytes, std::size_t size, std::uint64_t to) {
    return pwrite(work_->out, bytes, size, static_cast<off_t>(to)) == static_cast<ssize_t>(size);
}

bool FileCopier::finish(std::uint64_t end) {
    work_->stop();
    return !work_->failed && ftruncate(work_->out, static_cast<off_t>(end)) == 0 &&
           lseek(work_->out, static_cast<off_t>(end), SEEK_SET) == static_cast<off_t>(end);
}

std::FILE* open_memory_stream(char** bytes, std::size_t* size) {
    return open_memstream(bytes, size);
}

#endif

} // namespace hexstamp::platform
