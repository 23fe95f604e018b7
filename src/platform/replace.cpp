#include "platform/replace.hpp"

#include <chrono>
#include <cstdio>
#include <cstring>

#ifdef _WIN32
#include "platform/windows.hpp"
#else
#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace hexstamp::platform {

#ifdef _WIN32

std::string unique_name_part() {
    return std::to_string(GetCurrentProcessId()) + "-" +
           std::to_string(std::chrono::steady_clock::now().time_since_epoch().count() % 1000000);
}

bool replace_file(const char* temporary, const char* target, const char*, std::string& why) {
    if (MoveFileExW(windows::widen(temporary).c_str(), windows::widen(target).c_str(),
                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) == 0) {
        why = windows::system_message(GetLastError());
        return false;
    }
    return true;
}

#else

std::string unique_name_part() {
    return std::to_string(getpid()) + "-" +
           std::to_string(std::chrono::steady_clock::now().time_since_epoch().count() % 1000000);
}

bool replace_file(const char* temporary, const char* target, const char* model, std::string& why) {
    struct stat status {};
    const bool replaces = stat(target, &status) == 0;
    if (replaces || stat(model, &status) == 0) {
        // The owner first: changing it may clear the set-user-ID bit that chmod then sets. A
        // new file belongs to whoever made it.
        if (replaces && chown(temporary, status.st_uid, status.st_gid) != 0) {
            [[maybe_unused]] const int kept_group =
                chown(temporary, static_cast<uid_t>(-1), status.st_gid);
        }
        if (chmod(temporary, status.st_mode & 07777) != 0) {
            why = std::strerror(errno);
            return false;
        }
    }
    if (std::rename(temporary, target) != 0) {
        why = std::strerror(errno);
        return false;
    }
    return true;
}

#endif

} // namespace hexstamp::platform
