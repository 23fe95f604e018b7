#include "image/replacement.hpp"

#include "platform/files.hpp"
#include "platform/interrupt.hpp"
#include "platform/replace.hpp"

#include <cerrno>
#include <cstring>

namespace hexstamp::image {

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
