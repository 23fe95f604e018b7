#pragma once

#include "gdb/client.hpp"
#include "gdb/packet.hpp"

#include <chrono>
#include <string>

// One conversation with a server, packet by packet: each request is sent until acknowledged,
// and the reply that belongs to it is taken, skipping what the server sends on its own.
namespace hexstamp::gdb {

using SteadyClock = std::chrono::steady_clock;

// Which replies belong to a request.
enum class Expect {
    Greeting, // qSupported: a stop reply before it is the server's own (QEMU sends one)
    Stop,     // ? and vAttach: a stop reply
    Answer,   // any other: a stop reply cannot answer it
};

// "S05", "T05thread:01;", "W00", "X09": the reason the core stopped, or that it has no process.
bool is_stop_reply(const std::string& packet);

class Session {
  public:
    // Each step waits at most `milliseconds`, and nothing waits past `deadline`.
    Session(Stream& stream, int milliseconds, SteadyClock::time_point deadline)
        : stream_(stream), milliseconds_(milliseconds), deadline_(deadline) {}

    // Sends `request` and gives its reply. The greeting is sent again each second until
    // acknowledged, as a serial port may lose what came before its server was listening.
    bool exchange(const std::string& request, Expect expect, std::string& reply);
    // Sends `request`, waiting only for its acknowledgement.
    bool send_only(const std::string& request);
    // Sends `request` and waits for nothing: for a server that has not answered yet.
    void post(const std::string& request) { send(request); }
    // The run is over: what is sent now (the request that leaves the board running) is not
    // bound by its deadline, only by a step's.
    void lift_deadline() { deadline_ = SteadyClock::time_point::max(); }
    Outcome& outcome() { return outcome_; }
    bool connected() const {
        return outcome_.failure != Failure::Closed && outcome_.failure != Failure::Lost;
    }
    // Records a failure: the server's bytes as they came, and what this client makes of them.
    bool fail(Failure failure, const std::string& reply = "", const char* explanation = "");

  private:
    enum class Got { Ack, Nak, Packet, Nothing };
    // The next acknowledgement or packet, waiting until `wait` at most.
    Got next(SteadyClock::time_point wait);
    // More bytes from the server; false, recorded, when none came in time or it closed.
    bool receive(SteadyClock::time_point until, SteadyClock::time_point wait);
    bool send(const std::string& request);
    // Whether a retry is left, for this packet and for the whole session.
    bool may_retry(int& for_packet);

    Stream& stream_;
    int milliseconds_;
    SteadyClock::time_point deadline_;
    PacketReader reader_;
    char buffer_[512] = {};
    std::size_t begin_ = 0;
    std::size_t end_ = 0;
    int garbled_ = 0; // bad checksums of the packet awaited
    int retries_ = 0; // of the whole session
    Outcome outcome_;
};

} // namespace hexstamp::gdb
