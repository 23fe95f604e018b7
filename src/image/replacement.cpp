#include "image/replacement.hpp"

#include "platform/files.hpp"
#include "platform/interrupt.hpp"
#include "platform/replace.hpp"

#include <cerrno>
#include <cstring>

namespace hexstamp::image {

bool writable_destination(const char* path, const Report& report) {
    std::string resolved;
    std::string why;
    bool exists = false;
    if (!platform::resolve_destination(path, resolved, exists, why)) {
        report.error(0, "not a file to write a stamped image to: %s", why.c_str());
        return false;
    }
    if (exists && !platform::may_write(resolved.c_str(), why)) {
        report.error(0, "not writable (%s)", why.c_str());
        return false;
    }
    return true;
}

bool Replacement::open(const char* target, const char* model, const Report& report) {
    std::string why;
    // A link stays a link: the file it leads to is the one replaced, or made.
    if (!platform::resolve_destination(target, target_, existed_, why)) {
        report.error(0, "not a file to write a stamped image to: %s", why.c_str());
        return false;
    }
    model_ = existed_ ? target_ : model;
    platform::remove_stale_temporaries(target_.c_str());
    // Beside the target, so that the rename stays within one file system; the new file never
    // overwrites one that happens to have the name already.
    for (int attempt = 0; out_ == nullptr && attempt < 100; ++attempt) {
        const std::string unique = platform::unique_name_part();
        temporary_ = target_ + ".hexstamp-" + unique + ".tmp";
        backup_ = target_ + ".hexstamp-" + unique + ".orig";
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
    const bool synced = written && platform::sync_file(out_);
    const int sync_error = errno;
    const bool closed = std::fclose(out_) == 0;
    out_ = nullptr;
    std::string why;
    const bool given = written && synced && closed &&
                       platform::take_attributes(temporary_.c_str(), model_.c_str(), existed_, why);
    if (!written || !synced || !closed) {
        report.error(0, "cannot write the stamped copy: %s",
                     std::strerror(!written  ? error
                                   : !synced ? sync_error
                                             : errno));
    } else if (!given) {
        report.error(0, "cannot give the stamped copy what the image had: %s", why.c_str());
    }
    return given;
}

bool Replacement::commit(const Report& report) {
    std::string why;
    if (!platform::replace_keeping(temporary_.c_str(), target_.c_str(), backup_.c_str(), why)) {
        report.error(0, "cannot replace %s: %s", target_.c_str(), why.c_str());
        return false;
    }
    platform::forget_temporary(temporary_.c_str());
    temporary_.clear();
    return true;
}

bool Replacement::undo(const Report& report) {
    std::string why;
    bool put_back = existed_ ? platform::restore_backup(backup_.c_str(), target_.c_str(), why)
                             : platform::remove_file(target_.c_str());
    if (!put_back && !existed_) {
        why = std::strerror(errno);
    }
    if (!put_back) {
        report.error(0, "cannot put %s back as it was (%s)%s%s", target_.c_str(), why.c_str(),
                     existed_ ? "; it is kept as " : "", existed_ ? backup_.c_str() : "");
    }
    platform::sync_folder(target_.c_str());
    return put_back;
}

void Replacement::done() {
    if (existed_) {
        platform::remove_file(backup_.c_str());
    }
    platform::sync_folder(target_.c_str());
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
