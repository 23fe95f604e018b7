#include "board/progress.hpp"

#include "image/report.hpp"

namespace hexstamp::image {

namespace {

constexpr auto ShownAfter = std::chrono::milliseconds(500);
constexpr auto Redrawn = std::chrono::milliseconds(100);

} // namespace

Progress::Progress(const char* name, std::uint64_t total, std::FILE* err, bool shown)
    : name_(name), total_(total), err_(err), shown_(shown) {}

void Progress::advance(std::uint64_t bytes) {
    done_ += bytes;
    const Clock::time_point now = Clock::now();
    if (!shown_ || now - started_ < ShownAfter || now - drawn_ < Redrawn || done_ >= total_) {
        return;
    }
    drawn_ = now;
    const double seconds = std::chrono::duration<double>(now - started_).count();
    const double rate = static_cast<double>(done_) / seconds;
    const double left = rate > 0 ? static_cast<double>(total_ - done_) / rate : 0;
    std::fputc('\r', err_);
    say_prefix(err_);
    const int width =
        std::fprintf(err_, "%s: %llu of %llu KiB read, %.0f KiB/s, %.0f s left", name_,
                     static_cast<unsigned long long>(done_ / 1024),
                     static_cast<unsigned long long>(total_ / 1024), rate / 1024, left + 0.5);
    std::fprintf(err_, "%*s", width_ > width ? width_ - width : 0, "");
    width_ = width > width_ ? width : width_;
    std::fflush(err_);
}

void Progress::finish() {
    if (width_ > 0) {
        std::fprintf(err_, "\r%*s\r", width_ + 16, "");
        std::fflush(err_);
        width_ = 0;
    }
}

} // namespace hexstamp::image
