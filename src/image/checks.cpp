#include "image/checks.hpp"

#include <cstdarg>
#include <cstdio>

namespace hexstamp::image {

bool checked(const Report& report, Checks* checks, bool right, const char* what, unsigned long line,
             const char* format, ...) {
    if (checks != nullptr) {
        // An image inside another (MCUboot in Intel HEX) adds its own kind of check.
        if (what != checks->latest && checks->what.find(what) == std::string::npos) {
            checks->what += checks->what.empty() ? what : std::string(" and ") + what;
        }
        checks->latest = what;
        checks->passed += right ? 1 : 0;
    }
    if (right) {
        return true;
    }
    char text[256];
    std::va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);
    if (checks == nullptr) {
        report.error(line, "%s", text);
        return false;
    }
    if (checks->failed++ == 0) {
        std::string where;
        const Report capturing{nullptr, report.file, &where};
        capturing.error(line, "%s", text);
        checks->first_failure = where;
    }
    return true;
}

} // namespace hexstamp::image
