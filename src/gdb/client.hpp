#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

// A client of the GDB Remote Serial Protocol that reads a running board's memory through its
// debug server, and leaves the board running. It owns no socket: it talks to a Stream, so that
// tests and the fuzzer give it any bytes a server might send.
namespace hexstamp::gdb {

// The bytes to and from a server.
class Stream {
  public:
    virtual ~Stream() = default;
    // Waits at most `milliseconds`: the count of bytes read, 0 when the server closed the
    // connection, -1 when none came in time, -2 on an error.
    virtual long read(char* bytes, std::size_t size, int milliseconds) = 0;
    virtual bool write(const char* bytes, std::size_t size) = 0;
};

// What went wrong, for the message.
enum class Failure {
    None,
    Closed,    // the server closed the connection
    Timeout,   // no answer to a step in time
    OutOfTime, // the whole run's time is up
    Lost,      // the connection failed
    Refused,   // an error reply (E NN, E.text)
    Malformed, // a reply that makes no sense, or that cannot answer the request
    NoTarget,  // the probe found no target to attach to
};

// The most of a server's reply kept for the message.
constexpr std::size_t MaxReplyKept = 256;

struct Outcome {
    Failure failure = Failure::None;
    std::string step;        // the request that failed: "m20000000,7"
    std::string reply;       // the server's bytes, as they came: for Refused and Malformed
    std::string explanation; // what this client makes of them, when the reply does not say
};

// "E NN" and "E.text": the server refuses the request.
bool is_error(const std::string& packet);

class Session;

// A reader's whole conversation with one server: greet, read, and leave the core running.
class Client {
  public:
    // Each step waits at most `milliseconds`, and nothing but leave() waits past `deadline`.
    Client(Stream& stream, int milliseconds,
           std::chrono::steady_clock::time_point deadline =
               std::chrono::steady_clock::time_point::max());
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;
    ~Client();

    // Asks the server's packet size and attaches when the server has no target yet (Black
    // Magic Probe). Every server halts the core when a client connects or attaches.
    bool start();
    // Whether the server closed the connection before it answered the greeting: it may
    // still count the previous client, and a new connection may be taken.
    bool closed_at_greeting() const;
    // Reads `length` bytes at `address`, in packets the server takes.
    bool read(std::uint64_t address, std::size_t length, std::uint8_t* bytes);
    // The server's CRC of `length` bytes at `address` (qCRC). `has_crc` is false when the
    // server computes none: any reply but C and hexadecimal digits, an error included.
    bool crc(std::uint64_t address, std::uint64_t length, bool& has_crc, std::uint32_t& crc);
    // Sets the core running again, whatever else happened; a process served by gdbserver is
    // detached from instead, which leaves it running and untraced.
    void leave();
    // What leave() sends, framed, for a process that is interrupted and cannot finish the
    // conversation: an acknowledgement of any reply on its way, then c (or D).
    const char* farewell() const { return process_server_ ? "+$D#44" : "+$c#63"; }
    const Outcome& outcome() const;
    // The bytes of memory read so far.
    std::uint64_t received() const { return received_; }

  private:
    std::unique_ptr<Session> session_;
    bool halted_ = false;
    bool process_server_ = false;
    std::size_t chunk_ = 0;
    std::uint64_t received_ = 0;
};

} // namespace hexstamp::gdb
