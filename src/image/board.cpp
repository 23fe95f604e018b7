#include "image/board.hpp"

#include "gdb/remote.hpp"
#include "platform/platform.hpp"

#include <cstring>

namespace hexstamp::image {

namespace {

// How long the client waits for the connection and for each answer: no server takes this
// long, and a script waiting on a board that never answers is not left hanging.
constexpr int AnswerMilliseconds = 5000;

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
        std::fprintf(err,
                     "hexstamp-image: %s: the server closed the connection at %s; is a "
                     "debugger already attached?\n",
                     name, step);
        break;
    case gdb::Failure::Timeout:
        std::fprintf(err, "hexstamp-image: %s: no answer to %s within %d s\n", name, step,
                     AnswerMilliseconds / 1000);
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
    platform::Connection connection;
    std::string why;
    const bool serial = !target.serial.empty();
    if (serial ? !connection.open_serial(target.serial.c_str(), why)
               : !connection.open_tcp(target.host.c_str(), target.port.c_str(), AnswerMilliseconds,
                                      why)) {
        std::fprintf(err, "hexstamp-image: %s: cannot %s: %s\n", name,
                     serial ? "open the serial port" : "connect", why.c_str());
        return false;
    }
    StreamOnConnection stream(connection);
    std::uint8_t bytes[MaxStampLength] = {};
    const gdb::Outcome outcome = gdb::read_memory(stream, patch.range.first, patch.range.length(),
                                                  bytes, AnswerMilliseconds);
    if (outcome.failure != gdb::Failure::None) {
        report_failure(name, outcome, err);
        return false;
    }
    for (std::size_t index = 0; index < patch.range.length(); ++index) {
        patch.visit(patch.range.first + index, bytes[index]);
    }
    return true;
}

} // namespace hexstamp::image
