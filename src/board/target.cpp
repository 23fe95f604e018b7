#include "board/target.hpp"

#include "image/report.hpp"

#include <cstdlib>
#include <cstring>

namespace hexstamp::image {

namespace {

bool is_serial(const char* text) {
    const bool com = (text[0] == 'C' || text[0] == 'c') && (text[1] == 'O' || text[1] == 'o') &&
                     (text[2] == 'M' || text[2] == 'm') && text[3] != '\0' &&
                     std::strspn(text + 3, "0123456789") == std::strlen(text + 3);
    return com || text[0] == '/' || std::strncmp(text, "\\\\.\\", 4) == 0;
}

bool target_error(std::FILE* err, const char* text, const char* why) {
    say(err,
        "--target '%s': %s; give HOST:PORT, :PORT or a serial port (see hexstamp-image --help)",
        text, why);
    return false;
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

} // namespace hexstamp::image
