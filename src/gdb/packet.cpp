#include "gdb/packet.hpp"

#include <cstdio>

namespace hexstamp::gdb {

int hex_value(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
}

std::string frame(const std::string& data) {
    unsigned sum = 0;
    for (const char c : data) {
        sum += static_cast<unsigned char>(c);
    }
    char checksum[4];
    std::snprintf(checksum, sizeof checksum, "#%02x", sum & 0xFFu);
    return "$" + data + checksum;
}

void PacketReader::start(bool notification) {
    raw_.clear();
    sum_ = 0;
    notification_ = notification;
    state_ = State::Data;
}

PacketReader::Event PacketReader::feed(char c) {
    switch (state_) {
    case State::Idle:
        if (c == '$' || c == '%') {
            start(c == '%');
        }
        return c == '+' ? Event::Ack : c == '-' ? Event::Nak : Event::None;
    case State::Data:
        if (c == '#') {
            state_ = State::Checksum;
            return Event::None;
        }
        if (c == '$' || c == '%') { // a new packet in the middle of one: the first was cut off
            start(c == '%');
            return Event::None;
        }
        state_ = c == '*' ? State::Count : State::Data;
        break;
    case State::Count: // whatever it is, even '$' or '#'
        state_ = State::Data;
        break;
    case State::Checksum:
        high_ = hex_value(c);
        state_ = State::Checksum2;
        return Event::None;
    case State::Checksum2: {
        state_ = State::Idle;
        const int low = hex_value(c);
        const bool intact =
            high_ >= 0 && low >= 0 && static_cast<unsigned>(high_ * 16 + low) == (sum_ & 0xFFu);
        if (notification_) { // neither acknowledged nor asked for again, whatever its checksum
            return expand() ? Event::Notification : Event::None;
        }
        if (!intact) {
            return Event::BadChecksum;
        }
        return expand() ? Event::Packet : Event::Malformed;
    }
    }
    raw_ += c;
    sum_ += static_cast<unsigned char>(c);
    if (raw_.size() > MaxPacket) {
        state_ = State::Idle;
        return Event::Malformed;
    }
    return Event::None;
}

// "X*C" stands for X and C - 29 more copies of it.
bool PacketReader::expand() {
    packet_.clear();
    for (std::size_t at = 0; at < raw_.size(); ++at) {
        if (raw_[at] != '*') {
            packet_ += raw_[at];
            continue;
        }
        const int repeat =
            at + 1 < raw_.size() ? static_cast<unsigned char>(raw_[at + 1]) - 29 : -1;
        if (packet_.empty() || repeat < 0 ||
            packet_.size() + static_cast<std::size_t>(repeat) > MaxPacket) {
            return false;
        }
        packet_.append(static_cast<std::size_t>(repeat), packet_.back());
        ++at;
    }
    return true;
}

} // namespace hexstamp::gdb
