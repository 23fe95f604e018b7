#include "image/report.hpp"

#include <cstdarg>

namespace hexstamp::image {

const char* const ProgramPrefix = "hexstamp-image: ";

void say_prefix(std::FILE* err) {
    std::fputs(ProgramPrefix, err);
}

void say(std::FILE* err, const char* format, ...) {
    say_prefix(err);
    std::va_list arguments;
    va_start(arguments, format);
    std::vfprintf(err, format, arguments);
    va_end(arguments);
    std::fputc('\n', err);
}

void Report::error(unsigned long line, const char* format, ...) const {
    std::va_list arguments;
    va_start(arguments, format);
    if (capture != nullptr) {
        char text[512];
        std::vsnprintf(text, sizeof text, format, arguments);
        char where[32] = "";
        if (line > 0) {
            std::snprintf(where, sizeof where, ":%lu", line);
        }
        *capture = std::string(file) + where + ": " + text;
    } else if (err != nullptr) { // without a stream, a question whose answer may be no
        say_prefix(err);
        if (line > 0) {
            std::fprintf(err, "%s:%lu: ", file, line);
        } else {
            std::fprintf(err, "%s: ", file);
        }
        std::vfprintf(err, format, arguments);
        std::fputc('\n', err);
    }
    va_end(arguments);
}

} // namespace hexstamp::image
