#pragma once

#include <cstddef>
#include <string>

// The GDB Remote Serial Protocol's framing: bytes in, packets out, and back.
namespace hexstamp::gdb {

// "$data#cs": a packet as sent, with the checksum of its data.
std::string frame(const std::string& data);

// The value of a hexadecimal digit, either case, or -1.
int hex_value(char c);

// Splits what a server sends into acknowledgements, packets and notifications, checking each
// packet's checksum and expanding its run-length encoding. A notification ("%Stop:T05...#xx",
// from a server in non-stop mode) is framed as a packet is, and is never acknowledged: the
// characters inside it are not acknowledgements.
class PacketReader {
  public:
    enum class Event { None, Ack, Nak, Packet, Notification, BadChecksum, Malformed };
    // The longest packet taken, expanded: far more than any reply this client asks for.
    static constexpr std::size_t MaxPacket = 16384;

    Event feed(char c);
    // The last packet's data, expanded.
    const std::string& packet() const { return packet_; }

  private:
    enum class State { Idle, Data, Count, Checksum, Checksum2 };
    bool expand();

    void start(bool notification);

    State state_ = State::Idle;
    bool notification_ = false;
    std::string raw_;
    std::string packet_;
    unsigned sum_ = 0;
    int high_ = 0;
};

} // namespace hexstamp::gdb
