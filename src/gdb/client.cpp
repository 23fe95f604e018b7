#include "gdb/client.hpp"

#include "gdb/packet.hpp"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>

namespace hexstamp::gdb {

namespace {

using Clock = std::chrono::steady_clock;

// Without a PacketSize in qSupported's reply, GDB assumes this one.
constexpr std::size_t DefaultPacketSize = 399;
// A server that keeps asking for a packet again, or keeps garbling its reply, is given up on.
constexpr int MaxRetries = 5;

bool all_hex(const std::string& text, std::size_t from) {
    for (std::size_t at = from; at < text.size(); ++at) {
        if (hex_value(text[at]) < 0) {
            return false;
        }
    }
    return true;
}

std::string to_hex(const char* text) {
    std::string hex;
    for (; *text != '\0'; ++text) {
        char pair[3];
        std::snprintf(pair, sizeof pair, "%02x", static_cast<unsigned char>(*text));
        hex += pair;
    }
    return hex;
}

// "S05", "T05thread:01;", "W00", "X09": the reason the core stopped, or that it has no process.
bool is_stop_reply(const std::string& packet) {
    return packet.size() >= 3 && std::strchr("STWX", packet[0]) != nullptr &&
           hex_value(packet[1]) >= 0 && hex_value(packet[2]) >= 0 &&
           (packet[0] == 'T' || packet.size() == 3 || packet[0] != 'S');
}

// "O" and hexadecimal text: console output, which may come at any time.
bool is_console_output(const std::string& packet) {
    return packet.size() >= 3 && packet[0] == 'O' && packet.size() % 2 == 1 && all_hex(packet, 1);
}

bool is_error(const std::string& packet) {
    return packet.size() == 3 && packet[0] == 'E' && all_hex(packet, 1);
}

} // namespace

// One conversation with a server: each request is sent until acknowledged, and its reply
// taken, skipping what the server sends on its own.
class Session {
  public:
    Session(Stream& stream, int milliseconds) : stream_(stream), milliseconds_(milliseconds) {}

    // Sends `request` and gives its reply. `stops` takes a stop reply as the reply; otherwise
    // stop replies are the server's own and skipped.
    // `greeting`: the first request, sent again each second until acknowledged, as a serial
    // port may lose what came before its server was listening.
    bool exchange(const std::string& request, bool stops, std::string& reply,
                  bool greeting = false);
    // Sends `request`, waiting only for its acknowledgement.
    bool send_only(const std::string& request);
    // Sends `request` and waits for nothing: for a server that has not answered yet.
    void post(const std::string& request) { send(request); }
    Outcome& outcome() { return outcome_; }
    bool connected() const {
        return outcome_.failure != Failure::Closed && outcome_.failure != Failure::Lost;
    }

  private:
    enum class Got { Ack, Nak, Packet, Nothing };
    Got next(Clock::time_point deadline);
    bool fail(Failure failure, const std::string& reply = "");
    bool send(const std::string& request);

    Stream& stream_;
    int milliseconds_;
    PacketReader reader_;
    char buffer_[512] = {};
    std::size_t begin_ = 0;
    std::size_t end_ = 0;
    int garbled_ = 0;
    Outcome outcome_;
};

bool Session::fail(Failure failure, const std::string& reply) {
    outcome_.failure = failure;
    outcome_.reply = reply.substr(0, 40);
    return false;
}

bool Session::send(const std::string& request) {
    const std::string packet = frame(request);
    // A write fails when the server has closed the connection.
    return stream_.write(packet.data(), packet.size()) || fail(Failure::Closed);
}

Session::Got Session::next(Clock::time_point deadline) {
    while (true) {
        while (begin_ < end_) {
            switch (reader_.feed(buffer_[begin_++])) {
            case PacketReader::Event::Ack:
                return Got::Ack;
            case PacketReader::Event::Nak:
                return Got::Nak;
            case PacketReader::Event::Packet:
                return stream_.write("+", 1) ? Got::Packet : (fail(Failure::Closed), Got::Nothing);
            case PacketReader::Event::BadChecksum:
                // Asks for the packet again; the server's next copy is taken.
                if (++garbled_ > MaxRetries || !stream_.write("-", 1)) {
                    fail(garbled_ > MaxRetries ? Failure::Malformed : Failure::Closed,
                         "(a bad checksum, again and again)");
                    return Got::Nothing;
                }
                break;
            case PacketReader::Event::Malformed:
                fail(Failure::Malformed, "(a packet longer than any reply, or a bad repeat count)");
                return Got::Nothing;
            case PacketReader::Event::None:
                break;
            }
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        const long count =
            left.count() > 0 ? stream_.read(buffer_, sizeof buffer_, static_cast<int>(left.count()))
                             : -1;
        if (count <= 0) {
            fail(count == 0 ? Failure::Closed : count == -1 ? Failure::Timeout : Failure::Lost);
            return Got::Nothing;
        }
        begin_ = 0;
        end_ = static_cast<std::size_t>(count);
    }
}

bool Session::exchange(const std::string& request, bool stops, std::string& reply, bool greeting) {
    outcome_.step = request;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(milliseconds_);
    const auto patience = std::chrono::milliseconds(1000);
    int resends = greeting ? milliseconds_ / 1000 - 1 : 0;
    Clock::time_point wait = resends > 0 ? std::min(deadline, Clock::now() + patience) : deadline;
    int naks = 0;
    bool acknowledged = false;
    bool ok = send(request);
    while (ok) {
        const Got got = next(wait);
        acknowledged = acknowledged || got == Got::Ack;
        if (got == Got::Nothing && outcome_.failure == Failure::Timeout && wait < deadline) {
            // Silence: unacknowledged, the greeting goes again; acknowledged, its reply is due.
            outcome_.failure = Failure::None;
            const bool again = !acknowledged && resends-- > 0;
            wait = again ? std::min(deadline, Clock::now() + patience) : deadline;
            ok = !again || send(request);
        } else if (got == Got::Nothing) {
            ok = false;
        } else if (got == Got::Nak) {
            ok = ++naks <= MaxRetries ? send(request)
                                      : fail(Failure::Malformed, "(asks again and again for "
                                                                 "the request)");
        } else if (got == Got::Packet && !is_console_output(reader_.packet()) &&
                   (stops || !is_stop_reply(reader_.packet()))) {
            reply = reader_.packet();
            return true;
        }
    }
    return false;
}

bool Session::send_only(const std::string& request) {
    outcome_.step = request;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(milliseconds_);
    bool sent = send(request);
    for (int attempt = 1; sent && attempt <= MaxRetries; ++attempt) {
        const Got got = next(deadline);
        if (got == Got::Ack || got == Got::Nothing) {
            return got == Got::Ack;
        }
        sent = got != Got::Nak || send(request);
    }
    return false;
}

namespace {

std::size_t packet_size(const std::string& features) {
    const char* const key = "PacketSize=";
    const std::size_t at = features.find(key);
    if (at != 0 && (at == std::string::npos || features[at - 1] != ';')) {
        return DefaultPacketSize;
    }
    std::size_t size = 0;
    for (std::size_t digit = at + std::strlen(key);
         digit < features.size() && hex_value(features[digit]) >= 0 && size < 0x100000; ++digit) {
        size = size * 16 + static_cast<std::size_t>(hex_value(features[digit]));
    }
    return size > 0 ? size : DefaultPacketSize;
}

// Black Magic Probe has no target until it has scanned the bus and attached to the first
// one it found; older firmware names the scan swdp_scan.
bool attach(Session& session) {
    std::string reply;
    bool scanned = false;
    for (const char* scan : {"swd_scan", "swdp_scan"}) {
        if (!scanned && !session.exchange("qRcmd," + to_hex(scan), false, reply)) {
            return false;
        }
        scanned = scanned || reply == "OK";
    }
    if (!scanned) {
        session.outcome().failure = Failure::NoTarget;
        session.outcome().reply = reply.substr(0, 40);
        return false;
    }
    if (!session.exchange("vAttach;1", true, reply)) {
        return false;
    }
    if (!is_stop_reply(reply) || reply[0] == 'W' || reply[0] == 'X') {
        session.outcome().failure = is_error(reply) ? Failure::Refused : Failure::NoTarget;
        session.outcome().reply = reply.substr(0, 40);
        return false;
    }
    return true;
}

bool read_chunks(Session& session, std::uint64_t address, std::size_t length, std::size_t chunk,
                 std::uint8_t* bytes) {
    std::size_t done = 0;
    while (done < length) {
        const std::size_t want = std::min(chunk, length - done);
        char request[32];
        std::snprintf(request, sizeof request, "m%llx,%zx",
                      static_cast<unsigned long long>(address + done), want);
        std::string reply;
        if (!session.exchange(request, false, reply)) {
            return false;
        }
        const bool data = !reply.empty() && reply.size() % 2 == 0 && reply.size() <= 2 * want &&
                          all_hex(reply, 0);
        if (!data) {
            session.outcome().failure = is_error(reply) ? Failure::Refused : Failure::Malformed;
            session.outcome().reply = reply.substr(0, 40);
            return false;
        }
        // A reply may hold fewer bytes than asked for: the rest is asked for next.
        for (std::size_t at = 0; at < reply.size(); at += 2) {
            bytes[done++] =
                static_cast<std::uint8_t>(hex_value(reply[at]) * 16 + hex_value(reply[at + 1]));
        }
    }
    return true;
}

} // namespace

namespace {

// gdbserver serves a Linux process, and only a process server offers these.
bool serves_a_process(const std::string& features) {
    return features.find("QDisableRandomization+") != std::string::npos ||
           features.find("qXfer:libraries-svr4:read+") != std::string::npos;
}

// "C" and 1 to 8 hexadecimal digits; anything else is no CRC ("QC1" from a server that takes
// qCRC for qC, an empty reply, an error).
bool parse_crc(const std::string& reply, std::uint32_t& crc) {
    if (reply.size() < 2 || reply.size() > 9 || reply[0] != 'C' || !all_hex(reply, 1)) {
        return false;
    }
    crc = 0;
    for (std::size_t at = 1; at < reply.size(); ++at) {
        crc = crc << 4u | static_cast<std::uint32_t>(hex_value(reply[at]));
    }
    return true;
}

} // namespace

Client::Client(Stream& stream, int milliseconds)
    : session_(std::make_unique<Session>(stream, milliseconds)) {}

Client::~Client() = default;

const Outcome& Client::outcome() const {
    return session_->outcome();
}

bool Client::start() {
    std::string features;
    std::string stop;
    // Offers no multiprocess+: once agreed, QEMU refuses a bare continue or detach.
    if (!session_->exchange("qSupported", false, features, true)) {
        return false;
    }
    // The server halted the core as it took the connection.
    halted_ = true;
    process_server_ = serves_a_process(features);
    chunk_ = std::max<std::size_t>(1, packet_size(features) / 2);
    if (!session_->exchange("?", true, stop)) {
        return false;
    }
    return (stop[0] != 'W' && stop[0] != 'X') || attach(*session_);
}

bool Client::closed_at_greeting() const {
    return !halted_ && session_->outcome().failure == Failure::Closed;
}

bool Client::read(std::uint64_t address, std::size_t length, std::uint8_t* bytes) {
    return read_chunks(*session_, address, length, chunk_, bytes);
}

bool Client::crc(std::uint64_t address, std::uint64_t length, bool& has_crc, std::uint32_t& crc) {
    char request[48];
    std::snprintf(request, sizeof request, "qCRC:%llx,%llx",
                  static_cast<unsigned long long>(address),
                  static_cast<unsigned long long>(length));
    std::string reply;
    if (!session_->exchange(request, false, reply)) {
        return false;
    }
    has_crc = parse_crc(reply, crc);
    return true;
}

void Client::leave() {
    if (!session_->connected()) {
        return;
    }
    const Outcome kept = session_->outcome();
    if (!halted_) {
        // A busy server may take this connection from its backlog long after this client
        // gave up, and halt the core then: the continue waits for it there.
        session_->post("c");
    } else if (process_server_) {
        std::string reply;
        session_->exchange("D", false, reply);
    } else {
        session_->send_only("c");
    }
    session_->outcome() = kept;
}

Outcome read_memory(Stream& stream, std::uint64_t address, std::size_t length, std::uint8_t* bytes,
                    int milliseconds) {
    Client client(stream, milliseconds);
    const bool ok = client.start() && client.read(address, length, bytes);
    const Outcome outcome = ok ? Outcome{} : client.outcome();
    client.leave();
    return outcome;
}

} // namespace hexstamp::gdb
