#include "platform/lock.hpp"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

#ifndef _WIN32
#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace hexstamp::platform {

#ifdef _WIN32

// A lock held on an image would keep Windows from renaming the new file over it: runs over
// the same images there are not kept apart, as the manual says.
FileLocks::Result FileLocks::take(const std::vector<std::string>&, bool, int, std::string&,
                                  std::string&) {
    return Result::Held;
}

void FileLocks::release() {}

#else

namespace {

struct Named {
    std::string path;
    dev_t device;
    ino_t inode;
};

// flock, not fcntl's record locks: those are dropped when the process closes any descriptor of
// the file, as reading the image does.
FileLocks::Result lock_one(const std::string& path, bool exclusive, int seconds, int& descriptor,
                           std::string& why) {
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (true) {
        descriptor = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
        if (descriptor < 0) {
            why = std::strerror(errno);
            return errno == ENOENT ? FileLocks::Result::Held : FileLocks::Result::Failed;
        }
        int locked = flock(descriptor, (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB);
        while (locked != 0 && errno == EWOULDBLOCK && std::chrono::steady_clock::now() < give_up) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            locked = flock(descriptor, (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB);
        }
        if (locked != 0) {
            const int error = errno;
            ::close(descriptor);
            descriptor = -1;
            why = error == EWOULDBLOCK ? "another run holds it" : std::strerror(error);
            return error == EWOULDBLOCK                     ? FileLocks::Result::Busy
                   : error == ENOLCK || error == EOPNOTSUPP ? FileLocks::Result::Unsupported
                                                            : FileLocks::Result::Failed;
        }
        // The run that held it may have renamed a new file over the name meanwhile: that one
        // is locked instead.
        struct stat opened {
        }, named{};
        if (fstat(descriptor, &opened) == 0 && stat(path.c_str(), &named) == 0 &&
            opened.st_dev == named.st_dev && opened.st_ino == named.st_ino) {
            return FileLocks::Result::Held;
        }
        ::close(descriptor);
        descriptor = -1;
    }
}

} // namespace

FileLocks::Result FileLocks::take(const std::vector<std::string>& paths, bool exclusive,
                                  int seconds, std::string& failed, std::string& why) {
    // In the order of the names the links lead to: a run that replaces a file gives it a new
    // inode, never a new name, so every run locks in the same order before and after.
    std::vector<Named> files;
    for (const std::string& path : paths) {
        struct stat status {};
        char* real = realpath(path.c_str(), nullptr);
        if (real != nullptr && stat(real, &status) == 0) {
            files.push_back({real, status.st_dev, status.st_ino});
        }
        std::free(real);
    }
    std::sort(files.begin(), files.end(),
              [](const Named& one, const Named& other) { return one.path < other.path; });
    // One lock for each file, whatever names it goes by: a second would wait on the first.
    std::vector<Named> distinct;
    for (const Named& file : files) {
        const bool seen = std::any_of(distinct.begin(), distinct.end(), [&](const Named& other) {
            return other.device == file.device && other.inode == file.inode;
        });
        if (!seen) {
            distinct.push_back(file);
        }
    }
    for (const Named& file : distinct) {
        int descriptor = -1;
        const Result result = lock_one(file.path, exclusive, seconds, descriptor, why);
        if (result != Result::Held) {
            failed = file.path;
            release();
            return result;
        }
        if (descriptor >= 0) {
            held_.push_back(descriptor);
        }
    }
    return Result::Held;
}

void FileLocks::release() {
    for (const int descriptor : held_) {
        ::close(descriptor);
    }
    held_.clear();
}

#endif

} // namespace hexstamp::platform
