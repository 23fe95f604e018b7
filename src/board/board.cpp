#include "board/board.hpp"

#include "board/compare_board.hpp"
#include "board/progress.hpp"
#include "gdb/client.hpp"
#include "image/report.hpp"
#include "platform/connection.hpp"
#include "platform/files.hpp"

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>

namespace hexstamp::image {

namespace {

using Clock = std::chrono::steady_clock;

// How long the client waits for the connection and for each answer: no server takes this
// long, and a script waiting on a board that never answers is not left hanging.
constexpr int AnswerMilliseconds = 5000;
// A server that closed a new connection before answering may still count the previous
// client (OpenOCD does for a moment after it resumed the core): it is asked again meanwhile.
constexpr auto BusyPatience = std::chrono::milliseconds(1000);
constexpr auto BusyPause = std::chrono::milliseconds(100);
// How long the client waits for the server to close its end after the last packet.
constexpr int ClosingMilliseconds = 500;
// The most of a server's reply a message quotes.
constexpr std::size_t QuotedLength = 60;

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

// A server's bytes in a message of one printable line: every byte outside printable ASCII
// as \xNN, a backslash and a quote escaped, and a long reply cut with "...".
std::string quoted(const std::string& reply) {
    std::string text = "'";
    for (std::size_t at = 0; at < reply.size() && at < QuotedLength; ++at) {
        const auto c = static_cast<unsigned char>(reply[at]);
        char escaped[5];
        std::snprintf(escaped, sizeof escaped, c < 0x20 || c > 0x7E ? "\\x%02X" : "%c", c);
        text += c == '\\' || c == '\'' ? std::string("\\") + reply[at] : std::string(escaped);
    }
    return text + (reply.size() > QuotedLength ? "'..." : "'");
}

std::string grouped(std::uint64_t value) {
    std::string digits = std::to_string(value);
    for (std::size_t at = digits.size(); at > 3; at -= 3) {
        digits.insert(at - 3, ",");
    }
    return digits;
}

// The board's part in a run, given the client once the server has answered and halted the
// core. False when the board could not be read.
class BoardWork {
  public:
    explicit BoardWork(Progress& progress) : progress_(progress) {}
    virtual ~BoardWork() = default;
    virtual bool run(gdb::Client& client) = 0;
    Progress& progress() { return progress_; }

  private:
    Progress& progress_;
};

void report_failure(const Board& board, const gdb::Outcome& outcome, const Progress& progress,
                    unsigned timeout, std::FILE* err) {
    const char* const name = board.name;
    const char* const step = outcome.step.c_str();
    const std::string reply = quoted(outcome.reply);
    const std::string why = outcome.explanation.empty() ? "" : " (" + outcome.explanation + ")";
    const bool greeting = outcome.step == "qSupported";
    switch (outcome.failure) {
    case gdb::Failure::Closed:
        say(err, "%s: the server closed the connection at %s%s", name, step,
            greeting ? "; is a debugger already attached?" : "");
        break;
    case gdb::Failure::Timeout:
        say(err, "%s: no answer to %s within %d s%s", name, step, AnswerMilliseconds / 1000,
            greeting ? "; does another debugger hold the server?" : "");
        break;
    case gdb::Failure::OutOfTime:
        say(err, "%s: not done within %u s (--timeout), at %s: %s of %s bytes read", name, timeout,
            step, grouped(progress.done()).c_str(), grouped(progress.total()).c_str());
        break;
    case gdb::Failure::Lost:
        say(err, "%s: the connection failed at %s", name, step);
        break;
    case gdb::Failure::Refused:
        say(err, "%s: the server refused %s: %s", name, step, reply.c_str());
        break;
    case gdb::Failure::NoTarget:
        say(err, "%s: the probe found no target to attach to (%s: %s)", name, step, reply.c_str());
        break;
    case gdb::Failure::Malformed:
    case gdb::Failure::None:
        say(err, "%s: a malformed reply to %s: %s%s", name, step, reply.c_str(), why.c_str());
        break;
    }
}

int milliseconds_until(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return static_cast<int>(std::clamp<long long>(left, 1, AnswerMilliseconds));
}

bool open_connection(const Board& board, Clock::time_point deadline,
                     platform::Connection& connection, std::FILE* err) {
    std::string why;
    const Target& target = board.target;
    const bool serial = !target.serial.empty();
    if (serial ? !connection.open_serial(target.serial.c_str(), why)
               : !connection.open_tcp(target.host.c_str(), target.port.c_str(),
                                      milliseconds_until(deadline), why)) {
        say(err, "%s: cannot %s: %s", board.name, serial ? "open the serial port" : "connect",
            why.c_str());
        return false;
    }
    return true;
}

// Connects, gives the attached client to `work`, then leaves the board running and closes
// once the server has taken the last packet, on every path.
bool with_board(const Board& board, BoardWork& work, std::FILE* err) {
    const unsigned timeout =
        board.timeout > 0 ? board.timeout : default_timeout(work.progress().total());
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(timeout);
    const Clock::time_point give_up = std::min(deadline, Clock::now() + BusyPatience);
    while (true) {
        platform::Connection connection;
        if (!open_connection(board, deadline, connection, err)) {
            return false;
        }
        StreamOnConnection stream(connection);
        gdb::Client client(stream, AnswerMilliseconds, deadline);
        connection.farewell_on_interrupt(client.farewell());
        const bool started = client.start();
        connection.farewell_on_interrupt(client.farewell());
        const bool ok = started && work.run(client);
        const gdb::Outcome outcome = client.outcome();
        client.leave();
        if (!ok && client.closed_at_greeting() && Clock::now() < give_up) {
            connection.close();
            std::this_thread::sleep_for(BusyPause);
            continue;
        }
        connection.close_gracefully(ClosingMilliseconds);
        work.progress().finish();
        if (!ok && outcome.failure != gdb::Failure::None) { // else the work said why
            report_failure(board, outcome, work.progress(), timeout, err);
        }
        return ok;
    }
}

class ReadRange : public BoardWork {
  public:
    ReadRange(Patch& patch, Progress& progress) : BoardWork(progress), patch_(patch) {}
    bool run(gdb::Client& client) override {
        std::uint8_t bytes[MaxStampLength] = {};
        const bool ok = client.read(patch_.range.first, patch_.range.length(), bytes);
        progress().advance(client.received());
        if (!ok) {
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

// The board's memory through the client, the bytes of each block counted as they are read.
class ClientMemory : public BoardMemory {
  public:
    ClientMemory(gdb::Client& client, Progress& progress) : client_(client), progress_(progress) {}
    bool read(std::uint64_t address, std::size_t length, std::uint8_t* bytes) override {
        const std::uint64_t before = client_.received();
        const bool ok = client_.read(address, length, bytes);
        progress_.advance(client_.received() - before); // a failed read's bytes too
        return ok;
    }
    bool crc(std::uint64_t address, std::uint64_t length, bool& has_crc,
             std::uint32_t& crc) override {
        return client_.crc(address, length, has_crc, crc);
    }

  private:
    gdb::Client& client_;
    Progress& progress_;
};

class CompareImage : public BoardWork {
  public:
    CompareImage(const char* name, const Contents& image, bool use_crc,
                 std::vector<Compared>& result, Progress& progress, std::FILE* err)
        : BoardWork(progress), name_(name), image_(image), use_crc_(use_crc), result_(result),
          err_(err) {}
    bool run(gdb::Client& client) override {
        ClientMemory memory(client, progress());
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

unsigned default_timeout(std::uint64_t bytes) {
    return static_cast<unsigned>(60 + bytes / 4096);
}

bool read_board(const Board& board, Patch& patch, std::FILE* err) {
    Progress progress(board.name, patch.range.length(), err, false);
    ReadRange work(patch, progress);
    return with_board(board, work, err);
}

bool verify_board(const Board& board, const Contents& image, bool use_crc,
                  std::vector<Compared>& result, std::FILE* err) {
    Progress progress(board.name, image.byte_count(), err,
                      board.progress && platform::is_terminal(err));
    CompareImage work(board.name, image, use_crc, result, progress, err);
    return with_board(board, work, err);
}

} // namespace hexstamp::image
