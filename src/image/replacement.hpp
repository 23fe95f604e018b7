#pragma once

#include "image/report.hpp"

#include <cstdio>
#include <string>

namespace hexstamp::image {

// A new file that takes the place of `target` only when complete: written beside the file the
// target leads to through any links, flushed to the disk, and renamed over it with what the old
// file had (owner, permissions, access control lists, extended attributes) or, for a new file,
// the permissions of `model`. The old file is kept until the set of images it belongs to is
// done, so that a failure puts it back. Anything not committed is removed, on an interrupt too.
class Replacement {
  public:
    Replacement() = default;
    Replacement(const Replacement&) = delete;
    Replacement& operator=(const Replacement&) = delete;
    ~Replacement() { discard(); }
    bool open(const char* target, const char* model, const Report& report);
    std::FILE* out() const { return out_; }
    // Closes the new file, checking every write, once its data is on the disk. False, with
    // the reason reported, on error.
    bool finish(const Report& report);
    // Renames the finished file over the target, keeping the old one.
    bool commit(const Report& report);
    // Puts the old file back (a file that was new is removed). False, reported, when it cannot.
    bool undo(const Report& report);
    // The set is done: the old file goes.
    void done();
    void discard();

  private:
    std::FILE* out_ = nullptr;
    std::string target_;
    std::string temporary_;
    std::string backup_;
    std::string model_;
    bool existed_ = false;
};

// The file `path` leads to through any links, to be written: false, reported, when it is no
// regular file (a device, a FIFO, a terminal, a folder) or cannot be made.
bool writable_destination(const char* path, const Report& report);

} // namespace hexstamp::image
