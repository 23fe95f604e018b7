#include "gdb/client.hpp"

#include "gdb/packet.hpp"
#include "gdb/session.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace hexstamp::gdb {

namespace {

// Without a PacketSize in qSupported's reply, GDB assumes this one.
constexpr std::size_t DefaultPacketSize = 399;

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

// An error reply is a refusal; anything else that is not what `fits` takes cannot answer the
// request.
template <typename Fits>
bool check_reply(Session& session, const std::string& reply, Fits fits, const char* expected) {
    if (is_error(reply)) {
        return session.fail(Failure::Refused, reply);
    }
    return fits(reply) || session.fail(Failure::Malformed, reply, expected);
}

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
        if (!scanned && !session.exchange("qRcmd," + to_hex(scan), Expect::Answer, reply)) {
            return false;
        }
        scanned = scanned || reply == "OK";
    }
    if (!scanned) {
        return session.fail(Failure::NoTarget, reply);
    }
    if (!session.exchange("vAttach;1", Expect::Stop, reply)) {
        return false;
    }
    if (!is_stop_reply(reply) || reply[0] == 'W' || reply[0] == 'X') {
        return session.fail(is_error(reply) ? Failure::Refused : Failure::NoTarget, reply);
    }
    return true;
}

// Hexadecimal digits for at most `want` bytes: a reply may hold fewer, and the rest is asked
// for next; more cannot answer the request.
bool is_memory(const std::string& reply, std::size_t want) {
    return !reply.empty() && reply.size() % 2 == 0 && reply.size() <= 2 * want && all_hex(reply, 0);
}

bool read_chunks(Session& session, std::uint64_t address, std::size_t length, std::size_t chunk,
                 std::uint8_t* bytes, std::uint64_t& received) {
    std::size_t done = 0;
    while (done < length) {
        const std::size_t want = std::min(chunk, length - done);
        char request[32];
        std::snprintf(request, sizeof request, "m%llx,%zx",
                      static_cast<unsigned long long>(address + done), want);
        std::string reply;
        if (!session.exchange(request, Expect::Answer, reply) ||
            !check_reply(
                session, reply, [want](const std::string& data) { return is_memory(data, want); },
                "not the hexadecimal digits of the bytes asked for")) {
            return false;
        }
        for (std::size_t at = 0; at < reply.size(); at += 2) {
            bytes[done++] =
                static_cast<std::uint8_t>(hex_value(reply[at]) * 16 + hex_value(reply[at + 1]));
        }
        received += reply.size() / 2;
    }
    return true;
}

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

bool is_error(const std::string& packet) {
    return (packet.size() == 3 && packet[0] == 'E' && all_hex(packet, 1)) ||
           (packet.size() >= 2 && packet[0] == 'E' && packet[1] == '.');
}

Client::Client(Stream& stream, int milliseconds, std::chrono::steady_clock::time_point deadline)
    : session_(std::make_unique<Session>(stream, milliseconds, deadline)) {}

Client::~Client() = default;

const Outcome& Client::outcome() const {
    return session_->outcome();
}

bool Client::start() {
    std::string features;
    std::string stop;
    // Offers no multiprocess+: once agreed, QEMU refuses a bare continue or detach.
    if (!session_->exchange("qSupported", Expect::Greeting, features)) {
        return false;
    }
    // The server halted the core as it took the connection.
    halted_ = true;
    if (!check_reply(
            *session_, features, [](const std::string&) { return true; }, "")) {
        return false;
    }
    process_server_ = serves_a_process(features);
    chunk_ = std::max<std::size_t>(1, packet_size(features) / 2);
    if (!session_->exchange("?", Expect::Stop, stop) ||
        !check_reply(*session_, stop, is_stop_reply, "not a stop reply")) {
        return false;
    }
    return (stop[0] != 'W' && stop[0] != 'X') || attach(*session_);
}

bool Client::closed_at_greeting() const {
    return !halted_ && session_->outcome().failure == Failure::Closed;
}

bool Client::read(std::uint64_t address, std::size_t length, std::uint8_t* bytes) {
    return read_chunks(*session_, address, length, chunk_, bytes, received_);
}

bool Client::crc(std::uint64_t address, std::uint64_t length, bool& has_crc, std::uint32_t& crc) {
    char request[48];
    std::snprintf(request, sizeof request, "qCRC:%llx,%llx",
                  static_cast<unsigned long long>(address),
                  static_cast<unsigned long long>(length));
    std::string reply;
    if (!session_->exchange(request, Expect::Answer, reply)) {
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
    session_->lift_deadline();
    if (!halted_) {
        // A busy server may take this connection from its backlog long after this client
        // gave up, and halt the core then: the continue waits for it there.
        session_->post("c");
    } else if (process_server_) {
        std::string reply;
        session_->exchange("D", Expect::Answer, reply);
    } else {
        session_->send_only("c");
    }
    session_->outcome() = kept;
}

} // namespace hexstamp::gdb
