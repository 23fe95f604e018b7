#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace hexstamp::platform {

// A connection to a debug server: a TCP socket or a serial port.
class Connection {
  public:
    Connection() = default;
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;
    ~Connection() { close(); }

    // "HOST" and "PORT" of a TCP server, within `milliseconds`; numeric addresses and
    // localhost need no name service.
    bool open_tcp(const char* host, const char* port, int milliseconds, std::string& why);
    // A serial port: /dev/ttyACM0, COM5.
    bool open_serial(const char* path, std::string& why);
    // Waits at most `milliseconds` for bytes: their count, 0 when the peer closed the
    // connection, -1 when none came in time, -2 on an error.
    long read(char* bytes, std::size_t size, int milliseconds);
    bool write(const char* bytes, std::size_t size);
    // Closes as GDB does, once the server has taken the last packet: ends the sending side
    // and waits at most `milliseconds` for the server to close its own. A server that still
    // counts this client refuses the next one.
    void close_gracefully(int milliseconds);
    void close();
    // The bytes sent to the server if the process is interrupted while this connection is
    // open: the packet that leaves the board running. At most 15 bytes.
    void farewell_on_interrupt(const char* bytes);

  private:
    std::intptr_t handle_ = -1;
    bool serial_ = false;
};

} // namespace hexstamp::platform
