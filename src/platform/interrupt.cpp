#include "platform/interrupt.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <memory>

#ifdef _WIN32
#include <winsock2.h>

#include "platform/windows.hpp"
#else
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace hexstamp::platform {

namespace {

// Only what an interrupted thread may touch: atomics and fixed buffers, no allocation. A
// remembered path is owned by its slot until forgotten.
constexpr std::size_t TemporarySlots = 256;
std::atomic<char*> temporaries[TemporarySlots];
std::atomic<std::intptr_t> farewell_handle{-1};
std::atomic<bool> farewell_serial{false};
char farewell_text[16];
std::atomic<std::size_t> farewell_length{0};
// How long an interrupted run waits for the server to take its farewell.
constexpr int FarewellMilliseconds = 200;

} // namespace

void remember_temporary(const char* path) {
    const std::size_t size = std::strlen(path) + 1;
    std::unique_ptr<char[]> copy = std::make_unique<char[]>(size);
    std::memcpy(copy.get(), path, size);
    for (std::atomic<char*>& slot : temporaries) {
        char* empty = nullptr;
        if (slot.compare_exchange_strong(empty, copy.get())) {
            copy.release(); // the slot owns it now
            return;
        }
    }
    // More files than slots: the last ones are not removed on an interrupt.
}

void forget_temporary(const char* path) {
    for (std::atomic<char*>& slot : temporaries) {
        char* held = slot.load();
        if (held != nullptr && std::strcmp(held, path) == 0 &&
            slot.compare_exchange_strong(held, nullptr)) {
            std::unique_ptr<char[]> released(held);
            return;
        }
    }
}

void farewell_on_interrupt(std::intptr_t handle, bool serial, const char* bytes) {
    farewell_handle.store(-1);
    const std::size_t length = std::min(std::strlen(bytes), sizeof farewell_text - 1);
    std::memcpy(farewell_text, bytes, length);
    farewell_length.store(length);
    farewell_serial.store(serial);
    farewell_handle.store(handle);
}

void forget_farewell(std::intptr_t handle) {
    farewell_handle.compare_exchange_strong(handle, -1);
}

#ifdef _WIN32

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
            _wremove(windows::widen(path).c_str());
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

HeldSignals::HeldSignals() = default;

HeldSignals::~HeldSignals() = default;

#else

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

// Every signal whose default action ends the process, and that may come from outside while a
// run waits or writes: the terminal's Ctrl-C and Ctrl-\, a cancelled job, a closed pipe,
// timers, limits on CPU time and file size, and the user's own.
constexpr int Ending[] = {SIGINT,  SIGTERM, SIGHUP,  SIGQUIT, SIGPIPE,   SIGALRM,
                          SIGUSR1, SIGUSR2, SIGXCPU, SIGXFSZ, SIGVTALRM, SIGPROF};

} // namespace

void clean_up_on_interrupt() {
    struct sigaction action {};
    action.sa_handler = on_signal;
    action.sa_flags = static_cast<int>(SA_RESETHAND);
    sigemptyset(&action.sa_mask);
    for (const int number : Ending) {
        sigaddset(&action.sa_mask, number);
    }
    for (const int number : Ending) {
        struct sigaction old {};
        // A signal the caller ignores (nohup, a background job) stays ignored.
        if (sigaction(number, nullptr, &old) == 0 && old.sa_handler != SIG_IGN) {
            sigaction(number, &action, nullptr);
        }
    }
}

namespace {

sigset_t ending_signals() {
    sigset_t set;
    sigemptyset(&set);
    for (const int number : Ending) {
        sigaddset(&set, number);
    }
    return set;
}

} // namespace

HeldSignals::HeldSignals() {
    const sigset_t held = ending_signals();
    pthread_sigmask(SIG_BLOCK, &held, nullptr);
}

HeldSignals::~HeldSignals() {
    const sigset_t held = ending_signals();
    pthread_sigmask(SIG_UNBLOCK, &held, nullptr);
}

#endif

} // namespace hexstamp::platform
