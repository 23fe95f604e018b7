#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// A client of the GDB Remote Serial Protocol that reads a few bytes of a running board's
// memory through its debug server, and leaves the board running. It owns no socket: it
// talks to a Stream, so that tests and the fuzzer give it any bytes a server might send.
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

// "$data#cs": a packet as sent, with the checksum of its data.
std::string frame(const std::string& data);

// Splits what a server sends into acknowledgements and packets, checking each packet's
// checksum and expanding its run-length encoding.
class PacketReader {
  public:
    enum class Event { None, Ack, Nak, Packet, BadChecksum, Malformed };
    // The longest packet taken, expanded: far more than any reply this client asks for.
    static constexpr std::size_t MaxPacket = 16384;

    Event feed(char c);
    // The last packet's data, expanded.
    const std::string& packet() const { return packet_; }

  private:
    enum class State { Idle, Data, Count, Checksum, Checksum2 };
    bool expand();

    State state_ = State::Idle;
    std::string raw_;
    std::string packet_;
    unsigned sum_ = 0;
    int high_ = 0;
};

// What went wrong, for the message.
enum class Failure {
    None,
    Closed,    // the server closed the connection
    Timeout,   // no answer in time
    Lost,      // the connection failed
    Refused,   // an error reply (E NN)
    Malformed, // a reply that makes no sense
    NoTarget,  // the probe found no target to attach to
};

struct Outcome {
    Failure failure = Failure::None;
    std::string step;  // the request that failed: "m20000000,7"
    std::string reply; // the reply, for Refused and Malformed
};

// Reads `length` bytes at `address`: asks the server's packet size, attaches when the
// server has no target yet (Black Magic Probe), reads, then resumes the core, which every
// server halted when the client connected. Each step waits at most `milliseconds`.
Outcome read_memory(Stream& stream, std::uint32_t address, std::size_t length, std::uint8_t* bytes,
                    int milliseconds);

} // namespace hexstamp::gdb
