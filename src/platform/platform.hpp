#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

// Everything hexstamp-image asks of the operating system beyond the C library: file names in
// UTF-8, 64-bit file offsets, the replacement of a file, the kernel's file copy, and the
// connections to a debug server. Each differs between POSIX and Windows, here and nowhere else.
namespace hexstamp::platform {

// Windows hands a program its arguments in the ANSI code page, which cannot name every file:
// there they are read again from the wide command line, as UTF-8. Elsewhere, as given.
void utf8_arguments(int& argc, char**& argv);

// fopen for a UTF-8 file name.
std::FILE* open_file(const char* path, const char* mode);
// Like fopen's "wbx": creates a new file, failing with EEXIST if one has the name.
std::FILE* create_file(const char* path);
bool remove_file(const char* path);

// Seeks to a 64-bit offset; tells a file's size (leaving it at its start).
bool seek(std::FILE* file, std::uint64_t offset);
bool size_of(std::FILE* file, std::uint64_t& size);

// Copies the first `size` bytes of `in` to the start of `out`, through the kernel where it
// can (a copy or a clone within the file system), else through a buffer. Both are flushed
// first; the file positions are left undefined.
bool copy_file_data(std::FILE* in, std::FILE* out, std::uint64_t size);

// Copies parts of one file into another on a thread of its own, through the kernel where it
// can, while the caller goes on reading the first through its stream: a text image that
// changes in one line is checked and copied at once. Only where the system reads a file at
// an offset without moving its position (POSIX); elsewhere available() is false.
class FileCopier {
  public:
    FileCopier(std::FILE* in, std::FILE* out);
    FileCopier(const FileCopier&) = delete;
    FileCopier& operator=(const FileCopier&) = delete;
    ~FileCopier();
    static bool available();
    // Copies `length` bytes of `in` from `from` to `out` at `to`, after the copies before.
    void copy(std::uint64_t from, std::uint64_t length, std::uint64_t to);
    // Writes `size` bytes to `out` at `to`, now.
    bool write(const void* bytes, std::size_t size, std::uint64_t to);
    // Waits for every copy and leaves `out` at `end`; false when any copy or write failed.
    bool finish(std::uint64_t end);

  private:
    struct Work;
    Work* work_;
};

// A stream whose bytes are written into memory: after fclose, `*bytes` (to free) holds `*size`
// of them. Where FileCopier is available.
std::FILE* open_memory_stream(char** bytes, std::size_t* size);

// Whether the user could open an existing file for writing. False with the reason when not;
// true also when there is no such file (creating it is checked when it happens).
bool may_write(const char* path, std::string& why);

// The file a path leads to, through any symbolic links; the path itself when it names no
// file yet.
std::string real_path(const char* path);

// Gives the new file `temporary` the permission bits, and where the system allows the owner
// and group, of `model`, then renames it over `target`. False with the reason on failure.
bool replace_file(const char* temporary, const char* target, const char* model, std::string& why);

// On Ctrl-C or a cancelled job (SIGINT, SIGTERM, SIGHUP; on Windows the console's Ctrl-C,
// Ctrl-Break and close events): removes every temporary file remembered, sends the board's
// server the farewell of the open connection, and ends the process as the signal would.
void clean_up_on_interrupt();
// A temporary file of the run, removed on an interrupt until forgotten.
void remember_temporary(const char* path);
void forget_temporary(const char* path);
// Part of a file name that no other process, and no earlier run, takes.
std::string unique_name_part();

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
