#include "board/board.hpp"

#include "board/compare_board.hpp"
#include "gdb/client.hpp"
#include "image/report.hpp"
#include "platform/connection.hpp"

#include <chrono>
#include <cstring>
#include <thread>

namespace hexstamp::image {

namespace {

// How long the client waits for the connection and for each answer: no server takes this
// long, and a script waiting on a board that never answers is not left hanging.
constexpr int AnswerMilliseconds = 5000;
// A server that closed a new connection before answering may still count the previous
// client (OpenOCD does for a moment after it resumed the core): it is asked again meanwhile.
constexpr auto BusyPatience = std::chrono::milliseconds(1000);
constexpr auto BusyPause = std::chrono::milliseconds(100);
// How long the client waits for the server to close its end after the last packet.
constexpr int ClosingMilliseconds = 500;

class StreamOnConnection : public gdb::Stream {
  public:
    explicit StreamOnConnection(platform::Connection& connection) : connection_(connection) {}
    long read(char* bytes, std::size_t size, int milliseconds) override {
        return connection_.read(bytes, size, milliseconds);
    }
    bool write(const char* bytes, std::size_t size) override {
        return connection_.write(bytes, size);
    }

  private:
    platform::Connection& connection_;
};

void report_failure(const char* name, const gdb::Outcome& outcome, std::FILE* err) {
    const char* const step = outcome.step.c_str();
    const char* const reply = outcome.reply.c_str();
    switch (outcome.failure) {
    case gdb::Failure::Closed:
        say(err, "%s: the server closed the connection at %s%s", name, step,
            outcome.step == "qSupported" ? "; is a debugger already attached?" : "");
        break;
    case gdb::Failure::Timeout:
        say(err, "%s: no answer to %s within %d s%s", name, step, AnswerMilliseconds / 1000,
            outcome.step == "qSupported" ? "; does another debugger hold the server?" : "");
        break;
    case gdb::Failure::Lost:
        say(err, "%s: the connection failed at %s", name, step);
        break;
    case gdb::Failure::Refused:
        say(err, "%s: the server refused %s: %s", name, step, reply);
        break;
    case gdb::Failure::NoTarget:
        say(err, "%s: the probe found no target to attach to (%s: %s)", name, step, reply);
        break;
    case gdb::Failure::Malformed:
    case gdb::Failure::None:
        say(err, "%s: a malformed reply to %s: '%s'", name, step, reply);
        break;
    }
}

// The board's part in a run, given the client once the server has answered and halted the
// core. False when the board could not be read.
class BoardWork {
  public:
    virtual ~BoardWork() = default;
    virtual bool run(gdb::Client& client) = 0;
};

bool open_connection(const char* name, const Target& target, platform::Connection& connection,
                     std::FILE* err) {
    std::string why;
    const bool serial = !target.serial.empty();
    if (serial ? !connection.open_serial(target.serial.c_str(), why)
               : !connection.open_tcp(target.host.c_str(), target.port.c_str(), AnswerMilliseconds,
                                      why)) {
        say(err, "%s: cannot %s: %s", name, serial ? "open the serial port" : "connect",
            why.c_str());
        return false;
    }
    return true;
}

// Connects, gives the attached client to `work`, then leaves the board running and closes
// once the server has taken the last packet, on every path.
bool with_board(const char* name, const Target& target, BoardWork& work, std::FILE* err) {
    const auto give_up = std::chrono::steady_clock::now() + BusyPatience;
    while (true) {
        platform::Connection connection;
        if (!open_connection(name, target, connection, err)) {
            return false;
        }
        StreamOnConnection stream(connection);
        gdb::Client client(stream, AnswerMilliseconds);
        connection.farewell_on_interrupt(client.farewell());
        const bool started = client.start();
        connection.farewell_on_interrupt(client.farewell());
        const bool ok = started && work.run(client);
        const gdb::Outcome outcome = client.outcome();
        client.leave();
        if (!ok && client.closed_at_greeting() && std::chrono::steady_clock::now() < give_up) {
            connection.close();
            std::this_thread::sleep_for(BusyPause);
            continue;
        }
        connection.close_gracefully(ClosingMilliseconds);
        if (!ok) {
            report_failure(name, outcome, err);
        }
        return ok;
    }
}

class ReadRange : public BoardWork {
  public:
    explicit ReadRange(Patch& patch) : patch_(patch) {}
    bool run(gdb::Client& client) override {
        std::uint8_t bytes[MaxStampLength] = {};
        if (!client.read(patch_.range.first, patch_.range.length(), bytes)) {
            return false;
        }
        for (std::size_t index = 0; index < patch_.range.length(); ++index) {
            patch_.visit(patch_.range.first + index, bytes[index]);
        }
        return true;
    }

  private:
    Patch& patch_;
};

class ClientMemory : public BoardMemory {
  public:
    explicit ClientMemory(gdb::Client& client) : client_(client) {}
    bool read(std::uint64_t address, std::size_t length, std::uint8_t* bytes) override {
        return client_.read(address, length, bytes);
    }
    bool crc(std::uint64_t address, std::uint64_t length, bool& has_crc,
             std::uint32_t& crc) override {
        return client_.crc(address, length, has_crc, crc);
    }

  private:
    gdb::Client& client_;
};

class CompareImage : public BoardWork {
  public:
    CompareImage(const char* name, const Contents& image, bool use_crc,
                 std::vector<Compared>& result, std::FILE* err)
        : name_(name), image_(image), use_crc_(use_crc), result_(result), err_(err) {}
    bool run(gdb::Client& client) override {
        ClientMemory memory(client);
        return compare_board(image_, memory, use_crc_, name_, result_, err_);
    }

  private:
    const char* name_;
    const Contents& image_;
    bool use_crc_;
    std::vector<Compared>& result_;
    std::FILE* err_;
};

} // namespace

bool read_board(const char* name, const Target& target, Patch& patch, std::FILE* err) {
    ReadRange work(patch);
    return with_board(name, target, work, err);
}

bool verify_board(const char* name, const Target& target, const Contents& image, bool use_crc,
                  std::vector<Compared>& result, std::FILE* err) {
    CompareImage work(name, image, use_crc, result, err);
    return with_board(name, target, work, err);
}

} // namespace hexstamp::image
