#include "platform/replace.hpp"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <vector>

#ifdef _WIN32
#include "platform/windows.hpp"

#include <io.h>
#else
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/xattr.h>
#endif
#endif

namespace hexstamp::platform {

namespace {

constexpr const char* Infix = ".hexstamp-";
constexpr const char* Suffix = ".tmp";

std::string folder_of(const std::string& path) {
    const std::size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

std::string name_of(const std::string& path) {
    const std::size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The process number a temporary file of `target` carries in `entry`, or 0 when the entry is no
// such file.
unsigned long temporary_of(const std::string& target_name, const std::string& entry) {
    const std::string start = target_name + Infix;
    const std::size_t suffix = std::strlen(Suffix);
    if (entry.size() <= start.size() + suffix || entry.compare(0, start.size(), start) != 0 ||
        entry.compare(entry.size() - suffix, suffix, Suffix) != 0) {
        return 0;
    }
    const std::string number = entry.substr(start.size());
    const std::size_t digits = number.find_first_not_of("0123456789");
    return digits > 0 && digits != std::string::npos && number[digits] == '-'
               ? std::strtoul(number.c_str(), nullptr, 10)
               : 0;
}

} // namespace

#ifdef _WIN32

std::string unique_name_part() {
    return std::to_string(GetCurrentProcessId()) + "-" +
           std::to_string(std::chrono::steady_clock::now().time_since_epoch().count() % 1000000);
}

bool resolve_destination(const char* path, std::string& resolved, bool& exists, std::string& why) {
    const DWORD attributes = GetFileAttributesW(windows::widen(path).c_str());
    exists = attributes != INVALID_FILE_ATTRIBUTES;
    resolved = path;
    if (exists && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        why = "a folder";
        return false;
    }
    return true;
}

// ReplaceFile keeps the replaced file's security descriptor, attributes and streams.
bool take_attributes(const char*, const char*, bool, std::string&) {
    return true;
}

bool sync_file(std::FILE* file) {
    const HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
    return std::fflush(file) == 0 && FlushFileBuffers(handle) != 0;
}

void sync_folder(const char*) {} // the renames below write through

bool replace_keeping(const char* temporary, const char* target, const char* backup,
                     std::string& why) {
    const std::wstring wide_target = windows::widen(target);
    const bool exists = GetFileAttributesW(wide_target.c_str()) != INVALID_FILE_ATTRIBUTES;
    const bool replaced = exists
                              ? ReplaceFileW(wide_target.c_str(), windows::widen(temporary).c_str(),
                                             windows::widen(backup).c_str(),
                                             REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr) != 0
                              : MoveFileExW(windows::widen(temporary).c_str(), wide_target.c_str(),
                                            MOVEFILE_WRITE_THROUGH) != 0;
    if (!replaced) {
        why = windows::system_message(GetLastError());
    }
    return replaced;
}

bool restore_backup(const char* backup, const char* target, std::string& why) {
    if (MoveFileExW(windows::widen(backup).c_str(), windows::widen(target).c_str(),
                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) == 0) {
        why = windows::system_message(GetLastError());
        return false;
    }
    return true;
}

void remove_stale_temporaries(const char* target) {
    const std::string folder = folder_of(target);
    const std::string name = name_of(target);
    WIN32_FIND_DATAW found;
    const HANDLE search = FindFirstFileW(
        windows::widen((folder + "\\" + name + Infix + "*" + Suffix).c_str()).c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        return;
    }
    do {
        const std::string entry = windows::narrow(found.cFileName);
        const unsigned long process = temporary_of(name, entry);
        const HANDLE running =
            process != 0 ? OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(process)) : nullptr;
        if (process != 0 && running == nullptr && GetLastError() == ERROR_INVALID_PARAMETER) {
            DeleteFileW(windows::widen((folder + "\\" + entry).c_str()).c_str());
        }
        if (running != nullptr) {
            CloseHandle(running);
        }
    } while (FindNextFileW(search, &found) != 0);
    FindClose(search);
}

#else

namespace {

const char* kind_of(mode_t mode) {
    return S_ISFIFO(mode)   ? "a FIFO"
           : S_ISCHR(mode)  ? "a character device"
           : S_ISBLK(mode)  ? "a block device"
           : S_ISDIR(mode)  ? "a folder"
           : S_ISSOCK(mode) ? "a socket"
                            : "no regular file";
}

// The name a chain of symbolic links ends in when it names no file: `path`'s own last link.
bool dangling_end(std::string path, std::string& end, std::string& why) {
    for (int hop = 0; hop < 40; ++hop) {
        struct stat status {};
        if (lstat(path.c_str(), &status) != 0 || !S_ISLNK(status.st_mode)) {
            end = path;
            return true;
        }
        std::vector<char> link(4096);
        const ssize_t length = readlink(path.c_str(), link.data(), link.size() - 1);
        if (length < 0) {
            why = std::strerror(errno);
            return false;
        }
        const std::string leads(link.data(), static_cast<std::size_t>(length));
        path = leads[0] == '/' ? leads : folder_of(path) + "/" + leads;
    }
    why = std::strerror(ELOOP);
    return false;
}

#ifdef __linux__
bool is_access_list(const char* name) {
    return std::strncmp(name, "system.posix_acl_", 17) == 0;
}

// Every extended attribute the user may read and set, access control lists among them; an
// access control list that cannot be given fails, as the new file would then let in more.
bool copy_extended_attributes(const char* from, const char* to, std::string& why) {
    const ssize_t size = llistxattr(from, nullptr, 0);
    std::vector<char> names(size > 0 ? static_cast<std::size_t>(size) : 0);
    const ssize_t listed = size > 0 ? llistxattr(from, names.data(), names.size()) : 0;
    for (std::size_t at = 0; listed > 0 && at < static_cast<std::size_t>(listed);
         at += std::strlen(names.data() + at) + 1) {
        const char* name = names.data() + at;
        const ssize_t length = lgetxattr(from, name, nullptr, 0);
        std::vector<char> value(length > 0 ? static_cast<std::size_t>(length) : 0);
        const bool copied = length >= 0 &&
                            lgetxattr(from, name, value.data(), value.size()) == length &&
                            lsetxattr(to, name, value.data(), value.size(), 0) == 0;
        if (!copied && is_access_list(name)) {
            why = std::string("cannot give it the access control list: ") + std::strerror(errno);
            return false;
        }
    }
    return true;
}
#else
bool copy_extended_attributes(const char*, const char*, std::string&) {
    return true;
}
#endif

} // namespace

std::string unique_name_part() {
    static unsigned serial = 0;
    return std::to_string(getpid()) + "-" +
           std::to_string(std::chrono::steady_clock::now().time_since_epoch().count() % 1000000 +
                          serial++);
}

bool resolve_destination(const char* path, std::string& resolved, bool& exists, std::string& why) {
    struct stat status {};
    exists = stat(path, &status) == 0;
    if (exists && !S_ISREG(status.st_mode)) {
        why = kind_of(status.st_mode);
        return false;
    }
    if (exists) {
        char* real = realpath(path, nullptr);
        resolved = real != nullptr ? real : path;
        std::free(real);
        return true;
    }
    if (errno != ENOENT || !dangling_end(path, resolved, why)) {
        why = why.empty() ? std::strerror(errno) : why;
        return false;
    }
    struct stat folder {};
    if (stat(folder_of(resolved).c_str(), &folder) != 0 || !S_ISDIR(folder.st_mode)) {
        why = "no folder " + folder_of(resolved) + " to make it in";
        return false;
    }
    return true;
}

bool take_attributes(const char* temporary, const char* model, bool replaces, std::string& why) {
    struct stat status {};
    if (stat(model, &status) != 0) {
        return true; // nothing to take after
    }
    // The owner first: changing it may clear the set-user-ID bit that chmod then sets. A new
    // file belongs to whoever made it.
    if (replaces && chown(temporary, status.st_uid, status.st_gid) != 0) {
        [[maybe_unused]] const int kept_group =
            chown(temporary, static_cast<uid_t>(-1), status.st_gid);
    }
    if (chmod(temporary, status.st_mode & 07777) != 0) {
        why = std::strerror(errno);
        return false;
    }
    return !replaces || copy_extended_attributes(model, temporary, why);
}

#ifdef HEXSTAMP_NO_SYNC
bool sync_file(std::FILE* file) {
    return std::fflush(file) == 0;
}

void sync_folder(const char*) {}
#else
bool sync_file(std::FILE* file) {
    return std::fflush(file) == 0 && fsync(fileno(file)) == 0;
}

void sync_folder(const char* path) {
    const int folder = ::open(folder_of(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder >= 0) {
        [[maybe_unused]] const int synced = fsync(folder); // not every file system syncs folders
        ::close(folder);
    }
}
#endif

bool replace_keeping(const char* temporary, const char* target, const char* backup,
                     std::string& why) {
    // A second link keeps the target whole under its name until the rename; where links cannot
    // be made, the target moves aside for that moment.
    const bool linked = link(target, backup) == 0;
    const bool kept = linked || errno == ENOENT || std::rename(target, backup) == 0;
    if (!kept || std::rename(temporary, target) != 0) {
        why = std::strerror(errno);
        if (kept && !linked) {
            std::rename(backup, target);
        } else if (linked) {
            unlink(backup);
        }
        return false;
    }
    return true;
}

bool restore_backup(const char* backup, const char* target, std::string& why) {
    if (std::rename(backup, target) != 0) {
        why = std::strerror(errno);
        return false;
    }
    return true;
}

void remove_stale_temporaries(const char* target) {
    const std::string folder = folder_of(target);
    const std::string name = name_of(target);
    DIR* listing = opendir(folder.c_str());
    for (const dirent* entry = listing != nullptr ? readdir(listing) : nullptr; entry != nullptr;
         entry = readdir(listing)) {
        const unsigned long process = temporary_of(name, entry->d_name);
        // No such process: a process of another user that still runs answers EPERM.
        if (process != 0 && process != static_cast<unsigned long>(getpid()) &&
            kill(static_cast<pid_t>(process), 0) != 0 && errno == ESRCH) {
            unlink((folder + "/" + entry->d_name).c_str());
        }
    }
    if (listing != nullptr) {
        closedir(listing);
    }
}

#endif

} // namespace hexstamp::platform
