#include "platform/connection.hpp"

#include "platform/interrupt.hpp"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <vector>

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>

#include "platform/windows.hpp"
#else
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>
#endif

namespace hexstamp::platform {

namespace {

using Clock = std::chrono::steady_clock;

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

} // namespace

void Connection::farewell_on_interrupt(const char* bytes) {
    platform::farewell_on_interrupt(handle_, serial_, bytes);
}

void Connection::close_gracefully(int milliseconds) {
    if (handle_ != -1 && !serial_) {
#ifdef _WIN32
        shutdown(static_cast<SOCKET>(handle_), SD_SEND);
#else
        shutdown(static_cast<int>(handle_), SHUT_WR);
#endif
        const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
        char discarded[256];
        while (milliseconds_left(deadline) > 0 &&
               read(discarded, sizeof discarded, milliseconds_left(deadline)) > 0) {
        }
    }
    close();
}

#ifdef _WIN32

namespace {

SOCKET socket_of(std::intptr_t handle) {
    return static_cast<SOCKET>(handle);
}

HANDLE port_of(std::intptr_t handle) {
    return reinterpret_cast<HANDLE>(handle);
}

bool winsock_started() {
    static const bool started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return started;
}

// A socket connected within the deadline, or INVALID_SOCKET with the reason.
SOCKET connect_within(const addrinfo& address, Clock::time_point deadline, std::string& why) {
    const SOCKET s = socket(address.ai_family, address.ai_socktype, address.ai_protocol);
    u_long nonblocking = 1;
    if (s == INVALID_SOCKET || ioctlsocket(s, FIONBIO, &nonblocking) != 0) {
        why = windows::system_message(static_cast<unsigned long>(WSAGetLastError()));
        if (s != INVALID_SOCKET) {
            closesocket(s);
        }
        return INVALID_SOCKET;
    }
    connect(s, address.ai_addr, static_cast<int>(address.ai_addrlen));
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
    if (error != 0) {
        why = windows::system_message(static_cast<unsigned long>(error));
        closesocket(s);
        return INVALID_SOCKET;
    }
    const BOOL on = TRUE;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
    return s;
}

} // namespace

bool Connection::open_tcp(const char* host, const char* port, int milliseconds, std::string& why) {
    if (!winsock_started()) {
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
            why = windows::system_message(static_cast<unsigned long>(resolved));
            continue;
        }
        for (addrinfo* at = found; at != nullptr && handle_ == -1; at = at->ai_next) {
            const SOCKET s = connect_within(*at, deadline, why);
            if (s != INVALID_SOCKET) {
                handle_ = static_cast<std::intptr_t>(s);
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
    const HANDLE port =
        CreateFileW(windows::widen(name.c_str()).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                    OPEN_EXISTING, 0, nullptr);
    if (port == INVALID_HANDLE_VALUE) {
        why = windows::system_message(GetLastError());
        return false;
    }
    DCB settings{};
    settings.DCBlength = sizeof settings;
    const bool read = GetCommState(port, &settings) != 0;
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
    if (!read || SetCommState(port, &settings) == 0) {
        why = "cannot set the port to raw bytes: " + windows::system_message(GetLastError());
        CloseHandle(port);
        return false;
    }
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

void Connection::close() {
    forget_farewell(handle_);
    if (handle_ != -1 && serial_) {
        CloseHandle(port_of(handle_));
    } else if (handle_ != -1) {
        closesocket(socket_of(handle_));
    }
    handle_ = -1;
}

#else

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

// A socket connected within the deadline, or -1 with the reason. It does not block: a
// blocking connect would not keep the deadline.
int connect_within(const addrinfo& address, Clock::time_point deadline, std::string& why) {
    const int descriptor =
        socket(address.ai_family, address.ai_socktype | SOCK_CLOEXEC, address.ai_protocol);
    const int flags = descriptor >= 0 ? fcntl(descriptor, F_GETFL) : -1;
    if (flags < 0 || fcntl(descriptor, F_SETFL, flags | O_NONBLOCK) != 0) {
        why = std::strerror(errno);
        if (descriptor >= 0) {
            ::close(descriptor);
        }
        return -1;
    }
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
    if (tcsetattr(descriptor, TCSANOW, &settings) != 0) {
        why = std::string("cannot set the port to raw bytes: ") + std::strerror(errno);
        ::close(descriptor);
        return false;
    }
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

void Connection::close() {
    forget_farewell(handle_);
    if (handle_ != -1) {
        ::close(static_cast<int>(handle_));
    }
    handle_ = -1;
}

#endif

} // namespace hexstamp::platform
