#include "platform/platform.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <vector>

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>
#else
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <pthread.h>

#include <deque>
#endif

namespace hexstamp::platform {

namespace {

using Clock = std::chrono::steady_clock;

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

// What an interrupt cleans up. Only what an interrupted thread may touch: atomics and fixed
// buffers, no allocation.
constexpr std::size_t TemporarySlots = 256;
std::atomic<char*> temporaries[TemporarySlots];
std::atomic<std::intptr_t> farewell_handle{-1};
std::atomic<bool> farewell_serial{false};
char farewell_text[16];
std::atomic<std::size_t> farewell_length{0};
// How long an interrupted run waits for the server to take its farewell.
constexpr int FarewellMilliseconds = 200;

int milliseconds_left(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return static_cast<int>(std::max<long long>(0, left));
}

// The loopback addresses that "localhost" names, so that a static program in an empty root,
// with no name service, still reaches a server on this machine.
std::vector<std::string> candidate_hosts(const char* host) {
    std::string lower(host);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; });
    if (lower == "localhost") {
        return {"127.0.0.1", "::1"};
    }
    return {host};
}

bool all_zero(const char* bytes, std::size_t count) {
    return count == 0 || (bytes[0] == 0 && std::memcmp(bytes, bytes + 1, count - 1) == 0);
}

// A block of zeros before the last is sought over, not written: where the file system
// allows it, a sparse image keeps its holes.
bool copy_through_buffer(std::FILE* in, std::FILE* out, std::uint64_t size) {
    static char buffer[1 << 20];
    bool ok = seek(in, 0) && seek(out, 0);
    for (std::uint64_t at = 0; ok && at < size;) {
        const auto want =
            static_cast<std::size_t>(std::min<std::uint64_t>(sizeof buffer, size - at));
        ok = std::fread(buffer, 1, want, in) == want;
        at += want;
        ok =
            ok && (at < size && all_zero(buffer, want) ? seek(out, at)
                                                       : std::fwrite(buffer, 1, want, out) == want);
    }
    return ok;
}

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

namespace {

std::wstring widen(const char* text) {
    const int length = MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0);
    std::wstring wide(length > 0 ? static_cast<std::size_t>(length) : 1, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text, -1, &wide[0], length);
    wide.resize(wide.size() - 1);
    return wide;
}

std::string narrow(const wchar_t* text) {
    const int length = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    std::string utf8(length > 0 ? static_cast<std::size_t>(length) : 1, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, &utf8[0], length, nullptr, nullptr);
    utf8.resize(utf8.size() - 1);
    return utf8;
}

std::string system_message(unsigned long code) {
    wchar_t* text = nullptr;
    FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                       FORMAT_MESSAGE_IGNORE_INSERTS,
                   nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::string message = text != nullptr ? narrow(text) : "error " + std::to_string(code);
    LocalFree(text);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                                message.back() == '.' || message.back() == ' ')) {
        message.pop_back();
    }
    return message;
}

SOCKET socket_of(std::intptr_t handle) {
    return static_cast<SOCKET>(handle);
}

HANDLE port_of(std::intptr_t handle) {
    return reinterpret_cast<HANDLE>(handle);
}

} // namespace

// The C runtime's own reading of the wide command line, as it gives wmain its arguments; the
// shell's CommandLineToArgvW would load the whole of the shell and the window system.
struct StartupInfo {
    int new_mode;
};
extern "C" int __wgetmainargs(int* argc, wchar_t*** argv, wchar_t*** environment,
                              int expand_wildcards, StartupInfo* info);

void utf8_arguments(int& argc, char**& argv) {
    static std::vector<std::string> texts;
    static std::vector<char*> pointers;
    int count = 0;
    wchar_t** wide = nullptr;
    wchar_t** environment = nullptr;
    StartupInfo info{0};
    if (__wgetmainargs(&count, &wide, &environment, 0, &info) != 0 || wide == nullptr) {
        return;
    }
    for (int index = 0; index < count; ++index) {
        texts.push_back(narrow(wide[index]));
    }
    for (std::string& text : texts) {
        pointers.push_back(&text[0]);
    }
    pointers.push_back(nullptr);
    argc = count;
    argv = pointers.data();
    SetConsoleOutputCP(CP_UTF8);
}

std::FILE* open_file(const char* path, const char* mode) {
    return _wfopen(widen(path).c_str(), widen(mode).c_str());
}

namespace {

// Runs on a thread of its own, while the program's thread goes on: only removes and sends.
BOOL WINAPI on_console_event(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) {
        return FALSE;
    }
    const std::intptr_t handle = farewell_handle.exchange(-1);
    const std::size_t length = farewell_length.load();
    if (handle != -1 && farewell_serial.load()) {
        DWORD count = 0;
        WriteFile(reinterpret_cast<HANDLE>(handle), farewell_text, static_cast<DWORD>(length),
                  &count, nullptr);
    } else if (handle != -1) {
        const SOCKET socket = static_cast<SOCKET>(handle);
        send(socket, farewell_text, static_cast<int>(length), 0);
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(socket, &readable);
        timeval wait{0, FarewellMilliseconds * 1000};
        select(0, &readable, nullptr, nullptr, &wait);
        shutdown(socket, SD_SEND);
    }
    for (std::atomic<char*>& slot : temporaries) {
        if (char* path = slot.exchange(nullptr)) {
            _wremove(widen(path).c_str());
        }
    }
    // As the default handler ends a console program, but never with status 0, which Wine's
    // gives.
    ExitProcess(static_cast<UINT>(STATUS_CONTROL_C_EXIT));
}

} // namespace

void clean_up_on_interrupt() {
    SetConsoleCtrlHandler(on_console_event, TRUE);
}

std::string unique_name_part() {
    return std::to_string(GetCurrentProcessId()) + "-" +
           std::to_string(Clock::now().time_since_epoch().count() % 1000000);
}

// Shared for deletion: Windows deletes no open file otherwise, and a Ctrl-C handler must
// remove the new file while the program's thread still writes it.
std::FILE* create_file(const char* path) {
    const HANDLE handle =
        CreateFileW(widen(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                    nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
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
    return _wremove(widen(path).c_str()) == 0;
}

bool copy_file_data(std::FILE* in, std::FILE* out, std::uint64_t size) {
    return std::fflush(out) == 0 && copy_through_buffer(in, out, size);
}

// Reading at an offset moves a Windows file's position: text is written through the stream.
struct FileCopier::Work {};

FileCopier::FileCopier(std::FILE*, std::FILE*) : work_(nullptr) {}

FileCopier::~FileCopier() = default;

bool FileCopier::available() {
    return false;
}

void FileCopier::copy(std::uint64_t, std::uint64_t, std::uint64_t) {}

bool FileCopier::write(const void*, std::size_t, std::uint64_t) {
    return false;
}

bool FileCopier::finish(std::uint64_t) {
    return false;
}

std::FILE* open_memory_stream(char**, std::size_t*) {
    return nullptr;
}

bool may_write(const char* path, std::string& why) {
    const DWORD attributes = GetFileAttributesW(widen(path).c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0) {
        why = "read-only";
        return false;
    }
    return true;
}

std::string real_path(const char* path) {
    return path;
}

bool replace_file(const char* temporary, const char* target, const char*, std::string& why) {
    if (MoveFileExW(widen(temporary).c_str(), widen(target).c_str(),
                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) == 0) {
        why = system_message(GetLastError());
        return false;
    }
    return true;
}

bool Connection::open_tcp(const char* host, const char* port, int milliseconds, std::string& why) {
    static const bool started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    if (!started) {
        why = "Winsock did not start";
        return false;
    }
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
    why = "no address";
    for (const std::string& name : candidate_hosts(host)) {
        addrinfo hints{};
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* found = nullptr;
        const int resolved = getaddrinfo(name.c_str(), port, &hints, &found);
        if (resolved != 0) {
            why = system_message(static_cast<unsigned long>(resolved));
            continue;
        }
        for (addrinfo* at = found; at != nullptr && handle_ == -1; at = at->ai_next) {
            const SOCKET s = socket(at->ai_family, at->ai_socktype, at->ai_protocol);
            if (s == INVALID_SOCKET) {
                why = system_message(static_cast<unsigned long>(WSAGetLastError()));
                continue;
            }
            u_long nonblocking = 1;
            ioctlsocket(s, FIONBIO, &nonblocking);
            connect(s, at->ai_addr, static_cast<int>(at->ai_addrlen));
            fd_set writable, failed;
            FD_ZERO(&writable);
            FD_ZERO(&failed);
            FD_SET(s, &writable);
            FD_SET(s, &failed);
            const int left = milliseconds_left(deadline);
            timeval wait{left / 1000, (left % 1000) * 1000};
            int error = WSAETIMEDOUT;
            int length = sizeof error;
            if (select(0, nullptr, &writable, &failed, &wait) > 0) {
                getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length);
            }
            if (error == 0) {
                const BOOL on = TRUE;
                setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on),
                           sizeof on);
                handle_ = static_cast<std::intptr_t>(s);
            } else {
                why = system_message(static_cast<unsigned long>(error));
                closesocket(s);
            }
        }
        freeaddrinfo(found);
        if (handle_ != -1) {
            return true;
        }
    }
    return false;
}

bool Connection::open_serial(const char* path, std::string& why) {
    const bool bare = (path[0] == 'C' || path[0] == 'c') && std::strchr(path, '\\') == nullptr;
    const std::string name = bare ? std::string("\\\\.\\") + path : path;
    const HANDLE port = CreateFileW(widen(name.c_str()).c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                    nullptr, OPEN_EXISTING, 0, nullptr);
    if (port == INVALID_HANDLE_VALUE) {
        why = system_message(GetLastError());
        return false;
    }
    DCB settings{};
    settings.DCBlength = sizeof settings;
    GetCommState(port, &settings);
    settings.BaudRate = CBR_115200;
    settings.ByteSize = 8;
    settings.Parity = NOPARITY;
    settings.StopBits = ONESTOPBIT;
    settings.fBinary = TRUE;
    settings.fOutxCtsFlow = FALSE;
    settings.fOutxDsrFlow = FALSE;
    settings.fOutX = FALSE;
    settings.fInX = FALSE;
    settings.fDtrControl = DTR_CONTROL_ENABLE;
    settings.fRtsControl = RTS_CONTROL_ENABLE;
    SetCommState(port, &settings);
    handle_ = reinterpret_cast<std::intptr_t>(port);
    serial_ = true;
    return true;
}

long Connection::read(char* bytes, std::size_t size, int milliseconds) {
    if (serial_) {
        // Each ReadFile waits a short while and returns what came by then: not every serial
        // driver returns at the first byte, as the documented "any byte" timeouts ask.
        const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
        DWORD count = 0;
        do {
            COMMTIMEOUTS timeouts{
                0, 0, static_cast<DWORD>(std::min(20, std::max(milliseconds_left(deadline), 1))), 0,
                0};
            SetCommTimeouts(port_of(handle_), &timeouts);
            if (ReadFile(port_of(handle_), bytes, static_cast<DWORD>(size), &count, nullptr) == 0) {
                return -2;
            }
        } while (count == 0 && milliseconds_left(deadline) > 0);
        return count > 0 ? static_cast<long>(count) : -1;
    }
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(socket_of(handle_), &readable);
    timeval wait{milliseconds / 1000, (milliseconds % 1000) * 1000};
    const int ready = select(0, &readable, nullptr, nullptr, &wait);
    if (ready <= 0) {
        return ready == 0 ? -1 : -2;
    }
    const int count = recv(socket_of(handle_), bytes, static_cast<int>(size), 0);
    return count >= 0 ? count : WSAGetLastError() == WSAECONNRESET ? 0 : -2;
}

bool Connection::write(const char* bytes, std::size_t size) {
    while (size > 0) {
        long sent = 0;
        if (serial_) {
            DWORD count = 0;
            sent =
                WriteFile(port_of(handle_), bytes, static_cast<DWORD>(size), &count, nullptr) != 0
                    ? static_cast<long>(count)
                    : -1;
        } else {
            sent = send(socket_of(handle_), bytes, static_cast<int>(size), 0);
            if (sent < 0 && WSAGetLastError() == WSAEWOULDBLOCK) {
                fd_set writable;
                FD_ZERO(&writable);
                FD_SET(socket_of(handle_), &writable);
                timeval wait{5, 0};
                sent = select(0, nullptr, &writable, nullptr, &wait) > 0 ? 0 : -1;
            }
        }
        if (sent < 0) {
            return false;
        }
        bytes += sent;
        size -= static_cast<std::size_t>(sent);
    }
    return true;
}

namespace {

void end_sending(std::intptr_t handle) {
    shutdown(socket_of(handle), SD_SEND);
}

} // namespace

void Connection::close() {
    std::intptr_t mine = handle_;
    farewell_handle.compare_exchange_strong(mine, -1);
    if (handle_ != -1 && serial_) {
        CloseHandle(port_of(handle_));
    } else if (handle_ != -1) {
        closesocket(socket_of(handle_));
    }
    handle_ = -1;
}

#else

void utf8_arguments(int&, char**&) {}

namespace {

extern "C" void on_signal(int number) {
    const int saved = errno;
    const std::intptr_t handle = farewell_handle.exchange(-1);
    if (handle != -1) {
        const int descriptor = static_cast<int>(handle);
        const std::size_t length = farewell_length.load();
        const ssize_t sent = farewell_serial.load()
                                 ? ::write(descriptor, farewell_text, length)
                                 : send(descriptor, farewell_text, length, MSG_NOSIGNAL);
        pollfd entry{descriptor, POLLIN, 0};
        if (sent > 0) {
            poll(&entry, 1, FarewellMilliseconds);
        }
        shutdown(descriptor, SHUT_WR);
    }
    for (std::atomic<char*>& slot : temporaries) {
        if (char* path = slot.exchange(nullptr)) {
            unlink(path);
        }
    }
    errno = saved;
    // The handler was reset on entry: the signal, raised again, ends the process once the
    // handler returns, with the status the caller expects (130 for SIGINT in a shell).
    raise(number);
}

} // namespace

void clean_up_on_interrupt() {
    struct sigaction action {};
    action.sa_handler = on_signal;
    action.sa_flags = static_cast<int>(SA_RESETHAND);
    sigemptyset(&action.sa_mask);
    for (const int number : {SIGINT, SIGTERM, SIGHUP}) {
        sigaddset(&action.sa_mask, number);
    }
    for (const int number : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction old {};
        // A signal the caller ignores (nohup, a background job) stays ignored.
        if (sigaction(number, nullptr, &old) == 0 && old.sa_handler != SIG_IGN) {
            sigaction(number, &action, nullptr);
        }
    }
}

std::string unique_name_part() {
    return std::to_string(getpid()) + "-" +
           std::to_string(Clock::now().time_since_epoch().count() % 1000000);
}

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

// Copies `length` bytes between two files at the given offsets, moving neither position.
bool copy_at(int from, off_t read_at, std::uint64_t length, int to, off_t write_at) {
#if defined(__linux__) && !defined(HEXSTAMP_NO_LINUX_CALLS)
    while (length > 0) {
        const ssize_t copied = copy_file_range(
            from, &read_at, to, &write_at,
            static_cast<std::size_t>(std::min<std::uint64_t>(length, std::uint64_t{1} << 30)), 0);
        if (copied <= 0) {
            break; // not across these file systems, or not by this kernel: pread and pwrite
        }
        length -= static_cast<std::uint64_t>(copied);
    }
#endif
    static char buffer[1 << 16];
    while (length > 0) {
        const ssize_t got = pread(
            from, buffer, static_cast<std::size_t>(std::min<std::uint64_t>(length, sizeof buffer)),
            read_at);
        if (got <= 0 || pwrite(to, buffer, static_cast<std::size_t>(got), write_at) != got) {
            return false;
        }
        read_at += got;
        write_at += got;
        length -= static_cast<std::uint64_t>(got);
    }
    return true;
}

} // namespace

// fallocate, copy_file_range and SEEK_DATA are Linux's; other POSIX systems copy through a
// buffer. HEXSTAMP_NO_LINUX_CALLS builds that path on Linux, to test it.
#if defined(__linux__) && !defined(HEXSTAMP_NO_LINUX_CALLS)
namespace {

// Copies the data extents of `in`, at the same offsets, so that the holes of a sparse image
// stay holes.
bool copy_extents(int in, int out, std::uint64_t size) {
    struct stat status {};
    const auto end_of_file = static_cast<off_t>(size);
    // Blocks allocated now, not when the rename over the image makes the file system flush
    // them (ext4 does, for a file that replaces another), which would take as long again.
    if (fstat(in, &status) == 0 && static_cast<std::uint64_t>(status.st_blocks) * 512 >= size) {
        fallocate(out, 0, 0, end_of_file);
    }
    for (off_t data = 0; data < end_of_file;) {
        off_t from = lseek(in, data, SEEK_DATA);
        if (from < 0) {
            break; // ENXIO: only a hole is left
        }
        off_t hole = lseek(in, from, SEEK_HOLE);
        hole = hole < 0 ? end_of_file : std::min(hole, end_of_file);
        if (!copy_at(in, from, static_cast<std::uint64_t>(hole - from), out, from)) {
            return false;
        }
        data = hole;
    }
    return ftruncate(out, end_of_file) == 0;
}

} // namespace
#endif

bool copy_file_data(std::FILE* in, std::FILE* out, std::uint64_t size) {
    if (std::fflush(out) != 0) {
        return false;
    }
#if defined(__linux__) && !defined(HEXSTAMP_NO_LINUX_CALLS)
    if (copy_extents(fileno(in), fileno(out), size)) {
        return true;
    }
#endif
    // Not across these file systems, or not by this kernel or system: through a buffer.
    return copy_through_buffer(in, out, size);
}

// The worker is a POSIX thread: std::thread would bring much of the C++ library along
// (std::system_error, the demangler) into a static program that otherwise needs none of it.
struct FileCopier::Work {
    struct Part {
        std::uint64_t from, length, to;
    };
    int in, out;
    pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t changed = PTHREAD_COND_INITIALIZER;
    std::deque<Part> parts;
    bool done = false;
    bool failed = false;
    bool running = false;
    pthread_t worker{};

    static void* run(void* self) {
        static_cast<Work*>(self)->copy_parts();
        return nullptr;
    }

    void copy_parts() {
        pthread_mutex_lock(&lock);
        while (true) {
            while (!done && parts.empty()) {
                pthread_cond_wait(&changed, &lock);
            }
            if (parts.empty()) {
                break;
            }
            const Part part = parts.front();
            parts.pop_front();
            pthread_mutex_unlock(&lock);
            const bool copied = copy_at(in, static_cast<off_t>(part.from), part.length, out,
                                        static_cast<off_t>(part.to));
            pthread_mutex_lock(&lock);
            failed = failed || !copied;
        }
        pthread_mutex_unlock(&lock);
    }

    // Without a thread, each part is copied when it is given.
    void add(const Part& part) {
        if (!running) {
            failed = failed || !copy_at(in, static_cast<off_t>(part.from), part.length, out,
                                        static_cast<off_t>(part.to));
            return;
        }
        pthread_mutex_lock(&lock);
        parts.push_back(part);
        pthread_cond_signal(&changed);
        pthread_mutex_unlock(&lock);
    }

    void stop() {
        if (!running) {
            return;
        }
        pthread_mutex_lock(&lock);
        done = true;
        pthread_cond_signal(&changed);
        pthread_mutex_unlock(&lock);
        pthread_join(worker, nullptr);
        running = false;
    }
};

FileCopier::FileCopier(std::FILE* in, std::FILE* out) : work_(new Work) {
    work_->in = fileno(in);
    work_->out = fileno(out);
#if defined(__linux__) && !defined(HEXSTAMP_NO_LINUX_CALLS)
    // The new file's blocks allocated now, as for copy_file_data: else the rename over the
    // image makes ext4 flush them. finish() cuts the file to its size.
    struct stat status {};
    if (fstat(work_->in, &status) == 0 && status.st_size > 0) {
        fallocate(work_->out, 0, 0, status.st_size);
    }
#endif
    work_->running = pthread_create(&work_->worker, nullptr, Work::run, work_) == 0;
}

FileCopier::~FileCopier() {
    work_->stop();
    delete work_;
}

bool FileCopier::available() {
    return true;
}

void FileCopier::copy(std::uint64_t from, std::uint64_t length, std::uint64_t to) {
    work_->add({from, length, to});
}

bool FileCopier::write(const void* bytes, std::size_t size, std::uint64_t to) {
    return pwrite(work_->out, bytes, size, static_cast<off_t>(to)) == static_cast<ssize_t>(size);
}

bool FileCopier::finish(std::uint64_t end) {
    work_->stop();
    return !work_->failed && ftruncate(work_->out, static_cast<off_t>(end)) == 0 &&
           lseek(work_->out, static_cast<off_t>(end), SEEK_SET) == static_cast<off_t>(end);
}

std::FILE* open_memory_stream(char** bytes, std::size_t* size) {
    return open_memstream(bytes, size);
}

bool may_write(const char* path, std::string& why) {
    if (faccessat(AT_FDCWD, path, W_OK, AT_EACCESS) == 0 || errno == ENOENT) {
        return true;
    }
    struct stat status {};
    const bool read_only =
        errno == EACCES && stat(path, &status) == 0 && (status.st_mode & 0222) == 0;
    why = read_only ? "read-only" : std::strerror(errno);
    return false;
}

std::string real_path(const char* path) {
    char* real = realpath(path, nullptr);
    std::string result = real != nullptr ? real : path;
    std::free(real);
    return result;
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

namespace {

bool wait_for(int descriptor, short events, int milliseconds, short& happened) {
    pollfd entry{descriptor, events, 0};
    int ready = 0;
    do {
        ready = poll(&entry, 1, milliseconds);
    } while (ready < 0 && errno == EINTR);
    happened = entry.revents;
    return ready > 0;
}

int connect_within(const addrinfo& address, Clock::time_point deadline, std::string& why) {
    const int descriptor =
        socket(address.ai_family, address.ai_socktype | SOCK_CLOEXEC, address.ai_protocol);
    if (descriptor < 0) {
        why = std::strerror(errno);
        return -1;
    }
    fcntl(descriptor, F_SETFL, fcntl(descriptor, F_GETFL) | O_NONBLOCK);
    int error = 0;
    if (connect(descriptor, address.ai_addr, address.ai_addrlen) != 0) {
        short happened = 0;
        error = errno == EINPROGRESS ? ETIMEDOUT : errno;
        socklen_t length = sizeof error;
        if (error == ETIMEDOUT &&
            wait_for(descriptor, POLLOUT, milliseconds_left(deadline), happened)) {
            getsockopt(descriptor, SOL_SOCKET, SO_ERROR, &error, &length);
        }
    }
    if (error != 0) {
        why = std::strerror(error);
        ::close(descriptor);
        return -1;
    }
    const int on = 1;
    setsockopt(descriptor, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return descriptor;
}

} // namespace

bool Connection::open_tcp(const char* host, const char* port, int milliseconds, std::string& why) {
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
    why = "no address";
    for (const std::string& name : candidate_hosts(host)) {
        addrinfo hints{};
        hints.ai_socktype = SOCK_STREAM;
        hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
        addrinfo* found = nullptr;
        int resolved = getaddrinfo(name.c_str(), port, &hints, &found);
        if (resolved == EAI_NONAME) {
            hints.ai_flags = AI_NUMERICSERV;
            resolved = getaddrinfo(name.c_str(), port, &hints, &found);
        }
        if (resolved != 0) {
            why = gai_strerror(resolved);
            continue;
        }
        for (const addrinfo* at = found; at != nullptr && handle_ == -1; at = at->ai_next) {
            handle_ = connect_within(*at, deadline, why);
        }
        freeaddrinfo(found);
        if (handle_ != -1) {
            return true;
        }
    }
    return false;
}

bool Connection::open_serial(const char* path, std::string& why) {
    const int descriptor = ::open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    termios settings{};
    if (descriptor < 0 || tcgetattr(descriptor, &settings) != 0) {
        why = std::strerror(errno);
        if (descriptor >= 0) {
            ::close(descriptor);
        }
        return false;
    }
    // Raw bytes both ways: no echo, no line editing, no translation of CR or LF.
    cfmakeraw(&settings);
    settings.c_cflag |= CLOCAL | CREAD;
    cfsetspeed(&settings, B115200);
    tcsetattr(descriptor, TCSANOW, &settings);
    handle_ = descriptor;
    serial_ = true;
    return true;
}

long Connection::read(char* bytes, std::size_t size, int milliseconds) {
    const int descriptor = static_cast<int>(handle_);
    short happened = 0;
    if (!wait_for(descriptor, POLLIN, milliseconds, happened)) {
        return -1;
    }
    ssize_t count = 0;
    do {
        count = ::read(descriptor, bytes, size);
    } while (count < 0 && errno == EINTR);
    if (count < 0 && errno == EAGAIN) {
        return -1;
    }
    // A server that went away reads as a reset, a serial port's other end as EIO: closed.
    if (count < 0 && (errno == ECONNRESET || (serial_ && errno == EIO))) {
        return 0;
    }
    return count >= 0 ? static_cast<long>(count) : -2;
}

bool Connection::write(const char* bytes, std::size_t size) {
    const int descriptor = static_cast<int>(handle_);
    while (size > 0) {
        const ssize_t sent = serial_ ? ::write(descriptor, bytes, size)
                                     : send(descriptor, bytes, size, MSG_NOSIGNAL);
        short happened = 0;
        if (sent < 0 && (errno == EAGAIN || errno == EINTR) &&
            (errno == EINTR || wait_for(descriptor, POLLOUT, 5000, happened))) {
            continue;
        }
        if (sent < 0) {
            return false;
        }
        bytes += sent;
        size -= static_cast<std::size_t>(sent);
    }
    return true;
}

namespace {

void end_sending(std::intptr_t handle) {
    shutdown(static_cast<int>(handle), SHUT_WR);
}

} // namespace

void Connection::close() {
    std::intptr_t mine = handle_;
    farewell_handle.compare_exchange_strong(mine, -1);
    if (handle_ != -1) {
        ::close(static_cast<int>(handle_));
    }
    handle_ = -1;
}

#endif

void remember_temporary(const char* path) {
    const std::size_t size = std::strlen(path) + 1;
    char* copy = new char[size];
    std::memcpy(copy, path, size);
    for (std::atomic<char*>& slot : temporaries) {
        char* empty = nullptr;
        if (slot.compare_exchange_strong(empty, copy)) {
            return;
        }
    }
    delete[] copy; // more files than slots: the last ones are not removed on an interrupt
}

void forget_temporary(const char* path) {
    for (std::atomic<char*>& slot : temporaries) {
        char* held = slot.load();
        if (held != nullptr && std::strcmp(held, path) == 0 &&
            slot.compare_exchange_strong(held, nullptr)) {
            delete[] held;
            return;
        }
    }
}

void Connection::farewell_on_interrupt(const char* bytes) {
    farewell_handle.store(-1);
    const std::size_t length = std::min(std::strlen(bytes), sizeof farewell_text - 1);
    std::memcpy(farewell_text, bytes, length);
    farewell_length.store(length);
    farewell_serial.store(serial_);
    farewell_handle.store(handle_);
}

void Connection::close_gracefully(int milliseconds) {
    if (handle_ != -1 && !serial_) {
        end_sending(handle_);
        const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
        char discarded[256];
        while (milliseconds_left(deadline) > 0 &&
               read(discarded, sizeof discarded, milliseconds_left(deadline)) > 0) {
        }
    }
    close();
}

} // namespace hexstamp::platform
