#pragma once

#include <cstdint>

// What an interrupted run cleans up before it ends: the temporary files it made, and a board
// it halted, which is told to run on.
namespace hexstamp::platform {

// On Ctrl-C, Ctrl-\, a cancelled job or any other signal that ends a process by default
// (on Windows the console's Ctrl-C, Ctrl-Break and close events): removes every temporary file
// remembered, sends the board's server the farewell of the open connection, and ends the
// process as the signal would. A signal the caller ignores stays ignored.
void clean_up_on_interrupt();

// While it lives, the signals above wait: a few renames that must all be done, or all undone,
// are not cut short. They end the process once it is gone. (On Windows, nothing waits.)
class HeldSignals {
  public:
    HeldSignals();
    HeldSignals(const HeldSignals&) = delete;
    HeldSignals& operator=(const HeldSignals&) = delete;
    ~HeldSignals();
};

// A temporary file of the run, removed on an interrupt until forgotten.
void remember_temporary(const char* path);
void forget_temporary(const char* path);

// The bytes sent over the connection `handle` (a socket, or a serial port's descriptor or
// handle) if the process is interrupted while it is open: the packet that leaves the board
// running. At most 15 bytes. One connection at a time.
void farewell_on_interrupt(std::intptr_t handle, bool serial, const char* bytes);
// The connection is closed: nothing is sent on an interrupt.
void forget_farewell(std::intptr_t handle);

} // namespace hexstamp::platform
