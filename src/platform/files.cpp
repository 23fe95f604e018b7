#include "platform/files.hpp"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#ifdef _WIN32
#include "platform/windows.hpp"

#include <fcntl.h>
#include <io.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace hexstamp::platform {

namespace {

// 64-bit file offsets, also where long has 32 bits.
#ifdef _WIN32
using Offset = __int64;
int seek_to(std::FILE* file, Offset offset, int origin) {
    return _fseeki64(file, offset, origin);
}
Offset tell(std::FILE* file) {
    return _ftelli64(file);
}
#else
static_assert(sizeof(off_t) >= 8, "64-bit file offsets: build with -D_FILE_OFFSET_BITS=64");
using Offset = off_t;
int seek_to(std::FILE* file, Offset offset, int origin) {
    return fseeko(file, offset, origin);
}
Offset tell(std::FILE* file) {
    return ftello(file);
}
#endif

} // namespace

bool seek(std::FILE* file, std::uint64_t offset) {
    return offset <= static_cast<std::uint64_t>(INT64_MAX) &&
           seek_to(file, static_cast<Offset>(offset), SEEK_SET) == 0;
}

bool size_of(std::FILE* file, std::uint64_t& size) {
    const bool sought = seek_to(file, 0, SEEK_END) == 0;
    const Offset end = sought ? tell(file) : -1;
    size = end >= 0 ? static_cast<std::uint64_t>(end) : 0;
    return end >= 0 && seek_to(file, 0, SEEK_SET) == 0;
}

#ifdef _WIN32

std::FILE* open_file(const char* path, const char* mode) {
    return _wfopen(windows::widen(path).c_str(), windows::widen(mode).c_str());
}

std::FILE* create_file(const char* path) {
    const HANDLE handle = CreateFileW(windows::widen(path).c_str(), GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        errno = GetLastError() == ERROR_FILE_EXISTS ? EEXIST : EACCES;
        return nullptr;
    }
    const int descriptor = _open_osfhandle(reinterpret_cast<std::intptr_t>(handle), _O_BINARY);
    std::FILE* file = descriptor >= 0 ? _fdopen(descriptor, "wb") : nullptr;
    if (descriptor < 0) {
        CloseHandle(handle);
    } else if (file == nullptr) {
        _close(descriptor);
    }
    return file;
}

bool remove_file(const char* path) {
    return _wremove(windows::widen(path).c_str()) == 0;
}

bool may_write(const char* path, std::string& why) {
    const DWORD attributes = GetFileAttributesW(windows::widen(path).c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0) {
        why = "read-only";
        return false;
    }
    return true;
}

std::string real_path(const char* path) {
    return path;
}

bool is_terminal(std::FILE* stream) {
    return _isatty(_fileno(stream)) != 0;
}

#else

std::FILE* open_file(const char* path, const char* mode) {
    return std::fopen(path, mode);
}

std::FILE* create_file(const char* path) {
    const int descriptor = ::open(path, O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0666);
    std::FILE* file = descriptor >= 0 ? fdopen(descriptor, "wb") : nullptr;
    if (descriptor >= 0 && file == nullptr) {
        ::close(descriptor);
    }
    return file;
}

bool remove_file(const char* path) {
    return std::remove(path) == 0;
}

namespace {

// In a folder with the sticky bit (/tmp), only the owner of a file, or of the folder, may
// rename another file over it.
bool guarded_by_sticky_folder(const char* path) {
    const std::string name(path);
    const std::size_t slash = name.rfind('/');
    const std::string folder = slash == std::string::npos ? "."
                               : slash == 0               ? "/"
                                                          : name.substr(0, slash);
    struct stat file {
    }, holder{};
    const uid_t user = geteuid();
    return stat(path, &file) == 0 && stat(folder.c_str(), &holder) == 0 &&
           (holder.st_mode & S_ISVTX) != 0 && user != 0 && file.st_uid != user &&
           holder.st_uid != user;
}

} // namespace

bool may_write(const char* path, std::string& why) {
    if (guarded_by_sticky_folder(path)) {
        why = "another user's file in a folder with the sticky bit, as /tmp, where only its "
              "owner may replace it";
        return false;
    }
    if (faccessat(AT_FDCWD, path, W_OK, AT_EACCESS) == 0 || errno == ENOENT) {
        return true;
    }
    struct stat status {};
    const bool read_only =
        errno == EACCES && stat(path, &status) == 0 && (status.st_mode & 0222) == 0;
    why = read_only ? "read-only" : std::strerror(errno);
    return false;
}

bool is_terminal(std::FILE* stream) {
    return isatty(fileno(stream)) != 0;
}

std::string real_path(const char* path) {
    char* real = realpath(path, nullptr);
    std::string result = real != nullptr ? real : path;
    std::free(real);
    return result;
}

#endif

} // namespace hexstamp::platform
