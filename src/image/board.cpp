#include "image/board.hpp"

#include "gdb/remote.hpp"
#include "image/verify.hpp"
#include "platform/platform.hpp"

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

bool is_serial(const char* text) {
    const bool com = (text[0] == 'C' || text[0] == 'c') && (text[1] == 'O' || text[1] == 'o') &&
                     (text[2] == 'M' || text[2] == 'm') && text[3] != '\0' &&
                     std::strspn(text + 3, "0123456789") == std::strlen(text + 3);
    return com || text[0] == '/' || std::strncmp(text, "\\\\.\\", 4) == 0;
}

bool target_error(std::FILE* err, const char* text, const char* why) {
    std::fprintf(err,
                 "hexstamp-image: --target '%s': %s; give HOST:PORT, :PORT or a serial port "
                 "(see hexstamp-image --help)\n",
                 text, why);
    return false;
}

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
        std::fprintf(err, "hexstamp-image: %s: the server closed the connection at %s%s\n", name,
                     step, outcome.step == "qSupported" ? "; is a debugger already attached?" : "");
        break;
    case gdb::Failure::Timeout:
        std::fprintf(err, "hexstamp-image: %s: no answer to %s within %d s%s\n", name, step,
                     AnswerMilliseconds / 1000,
                     outcome.step == "qSupported" ? "; does another debugger hold the server?"
                                                  : "");
        break;
    case gdb::Failure::Lost:
        std::fprintf(err, "hexstamp-image: %s: the connection failed at %s\n", name, step);
        break;
    case gdb::Failure::Refused:
        std::fprintf(err, "hexstamp-image: %s: the server refused %s: %s\n", name, step, reply);
        break;
    case gdb::Failure::NoTarget:
        std::fprintf(err, "hexstamp-image: %s: the probe found no target to attach to (%s: %s)\n",
                     name, step, reply);
        break;
    case gdb::Failure::Malformed:
    case gdb::Failure::None:
        std::fprintf(err, "hexstamp-image: %s: a malformed reply to %s: '%s'\n", name, step, reply);
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
        std::fprintf(err, "hexstamp-image: %s: cannot %s: %s\n", name,
                     serial ? "open the serial port" : "connect", why.c_str());
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

bool parse_target(const char* text, Target& target, std::FILE* err) {
    if (*text == '\0') {
        return target_error(err, text, "empty");
    }
    if (is_serial(text)) {
        target.serial = text;
        return true;
    }
    const char* colon = std::strrchr(text, ':');
    const char* close = std::strchr(text, ']');
    if (colon == nullptr || (text[0] == '[' && (close == nullptr || close + 1 != colon))) {
        return target_error(err, text, "no port");
    }
    target.host = text[0] == '[' ? std::string(text + 1, close) : std::string(text, colon);
    target.host = target.host.empty() ? "localhost" : target.host;
    target.port = colon + 1;
    const bool digits = !target.port.empty() && target.port.size() <= 5 &&
                        std::strspn(colon + 1, "0123456789") == target.port.size();
    const long port = digits ? std::strtol(colon + 1, nullptr, 10) : 0;
    if (port < 1 || port > 65535) {
        return target_error(err, text, "the port must be a number from 1 to 65535");
    }
    return true;
}

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
