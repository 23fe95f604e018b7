#pragma once

#include "image/report.hpp"

#include <cstdio>
#include <string>

namespace hexstamp::image {

// A new file that takes the place of `target` only when complete: written beside it and
// renamed over it, with the permission bits of `target` (or, for a new file, of `model`).
// Anything not committed is removed, on an interrupt too.
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
