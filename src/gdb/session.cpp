#include "gdb/session.hpp"

#include <algorithm>
#include <cstring>

namespace hexstamp::gdb {

namespace {

// A packet may be asked for again, or sent again, this many times; the next packet starts
// afresh. A link that garbles every copy fails at the first packet.
constexpr int RetriesPerPacket = 5;
// A link that garbles most copies, but not all, still fails once the session has retried
// this often.
constexpr int RetriesPerSession = 1000;

bool all_hex(const std::string& text, std::size_t from) {
    for (std::size_t at = from; at < text.size(); ++at) {
        if (hex_value(text[at]) < 0) {
            return false;
        }
    }
    return true;
}

// "O" and hexadecimal text: console output, which may come at any time.
bool is_console_output(const std::string& packet) {
    return packet.size() >= 3 && packet[0] == 'O' && packet.size() % 2 == 1 && all_hex(packet, 1);
}

} // namespace

bool is_stop_reply(const std::string& packet) {
    return packet.size() >= 3 && std::strchr("STWX", packet[0]) != nullptr &&
           hex_value(packet[1]) >= 0 && hex_value(packet[2]) >= 0 &&
           (packet[0] == 'T' || packet.size() == 3 || packet[0] != 'S');
}

bool Session::fail(Failure failure, const std::string& reply, const char* explanation) {
    outcome_.failure = failure;
    outcome_.reply = reply.substr(0, MaxReplyKept);
    outcome_.explanation = explanation;
    return false;
}

bool Session::send(const std::string& request) {
    const std::string packet = frame(request);
    // A write fails when the server has closed the connection.
    return stream_.write(packet.data(), packet.size()) || fail(Failure::Closed);
}

bool Session::may_retry(int& for_packet) {
    return ++for_packet <= RetriesPerPacket && ++retries_ <= RetriesPerSession;
}

Session::Got Session::next(SteadyClock::time_point wait) {
    const SteadyClock::time_point until = std::min(wait, deadline_);
    while (true) {
        while (begin_ < end_) {
            switch (reader_.feed(buffer_[begin_++])) {
            case PacketReader::Event::Ack:
                return Got::Ack;
            case PacketReader::Event::Nak:
                return Got::Nak;
            case PacketReader::Event::Packet:
                garbled_ = 0;
                return stream_.write("+", 1) ? Got::Packet : (fail(Failure::Closed), Got::Nothing);
            case PacketReader::Event::BadChecksum:
                // Asks for the packet again; the server's next copy is taken.
                if (!may_retry(garbled_)) {
                    fail(Failure::Malformed, "", "a bad checksum, again and again");
                    return Got::Nothing;
                }
                if (!stream_.write("-", 1)) {
                    fail(Failure::Closed);
                    return Got::Nothing;
                }
                break;
            case PacketReader::Event::Malformed:
                fail(Failure::Malformed, "",
                     "a packet longer than any reply, or a bad repeat count");
                return Got::Nothing;
            case PacketReader::Event::Notification: // the server's own news, in non-stop mode
            case PacketReader::Event::None:
                break;
            }
        }
        if (!receive(until, wait)) {
            return Got::Nothing;
        }
    }
}

bool Session::receive(SteadyClock::time_point until, SteadyClock::time_point wait) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(until - SteadyClock::now());
    const long count = left.count() > 0
                           ? stream_.read(buffer_, sizeof buffer_, static_cast<int>(left.count()))
                           : -1;
    if (count == -1 && until == deadline_ && until < wait) {
        return fail(Failure::OutOfTime);
    }
    if (count <= 0) {
        return fail(count == 0 ? Failure::Closed : count == -1 ? Failure::Timeout : Failure::Lost);
    }
    begin_ = 0;
    end_ = static_cast<std::size_t>(count);
    return true;
}

bool Session::exchange(const std::string& request, Expect expect, std::string& reply) {
    outcome_.step = request;
    const SteadyClock::time_point due =
        SteadyClock::now() + std::chrono::milliseconds(milliseconds_);
    const auto patience = std::chrono::milliseconds(1000);
    int resends = expect == Expect::Greeting ? milliseconds_ / 1000 - 1 : 0;
    SteadyClock::time_point wait = resends > 0 ? std::min(due, SteadyClock::now() + patience) : due;
    int naks = 0;
    bool acknowledged = false;
    bool ok = send(request);
    while (ok) {
        const Got got = next(wait);
        acknowledged = acknowledged || got == Got::Ack;
        const std::string& packet = reader_.packet();
        if (got == Got::Nothing && outcome_.failure == Failure::Timeout && wait < due) {
            // Silence: unacknowledged, the greeting goes again; acknowledged, its reply is due.
            outcome_.failure = Failure::None;
            const bool again = !acknowledged && resends-- > 0;
            wait = again ? std::min(due, SteadyClock::now() + patience) : due;
            ok = !again || send(request);
        } else if (got == Got::Nothing) {
            ok = false;
        } else if (got == Got::Nak) {
            ok = may_retry(naks) ? send(request)
                                 : fail(Failure::Malformed, "",
                                        "asks again and again for the "
                                        "request");
        } else if (got != Got::Packet || is_console_output(packet) ||
                   (expect == Expect::Greeting && is_stop_reply(packet))) {
            continue;
        } else if (expect == Expect::Answer && is_stop_reply(packet)) {
            return fail(Failure::Malformed, packet, "a stop reply, which cannot answer it");
        } else {
            reply = packet;
            return true;
        }
    }
    return false;
}

bool Session::send_only(const std::string& request) {
    outcome_.step = request;
    const SteadyClock::time_point due =
        SteadyClock::now() + std::chrono::milliseconds(milliseconds_);
    bool sent = send(request);
    int naks = 0;
    while (sent) {
        const Got got = next(due);
        if (got == Got::Ack || got == Got::Nothing) {
            return got == Got::Ack;
        }
        sent = got != Got::Nak || (may_retry(naks) && send(request));
    }
    return false;
}

} // namespace hexstamp::gdb
