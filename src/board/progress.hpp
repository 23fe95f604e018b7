#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>

namespace hexstamp::image {

// How far a long read of a board has come, on one line of a terminal that is rewritten: bytes
// of the total, rate and time left. Shown only once the read has taken half a second, and
// never when `shown` is false (standard error is no terminal, or the output is JSON).
class Progress {
  public:
    Progress(const char* name, std::uint64_t total, std::FILE* err, bool shown);
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;
    ~Progress() { finish(); }
    void advance(std::uint64_t bytes);
    std::uint64_t done() const { return done_; }
    std::uint64_t total() const { return total_; }
    // Clears the line, so that messages after it stand alone.
    void finish();

  private:
    using Clock = std::chrono::steady_clock;
    const char* name_;
    std::uint64_t total_;
    std::FILE* err_;
    bool shown_;
    Clock::time_point started_ = Clock::now();
    Clock::time_point drawn_{};
    std::uint64_t done_ = 0;
    int width_ = 0; // of the line drawn, 0 when none is
};

} // namespace hexstamp::image
